// The process-wide table from class code to meta object. Meta objects enter
// it when they are built and leave when they are destroyed; the first meta
// object of a class code wins.
#pragma once

#include <map>
#include <vector>

class TreflectMetaObject;

class InterfaceRepository {
public:
    static InterfaceRepository* instance();

    bool registerInterface(TreflectMetaObject* m);
    bool unregisterInterface(TreflectMetaObject* m);
    // The completed meta object of `classCode`, or null.
    TreflectMetaObject* findInterface(unsigned long classCode) const;
    // Every registered class code, ascending.
    std::vector<unsigned long> getIfIds() const;

private:
    InterfaceRepository() {}
    static InterfaceRepository* instance_;
    std::map<unsigned long, TreflectMetaObject*> interfaces_;
};
