// Meta objects: the run-time description of one remote interface (name,
// class code, base interfaces, named operations and attributes). They let
// code reach an object's members by name and name the class whose creations
// and deletions are observed.
#pragma once

#include <list>
#include <map>
#include <set>
#include <string>

#include "REFLECT_memberFactory.h"

class TreflectMetaObject;

class TreflectMetaMember {
public:
    TreflectMetaMember(std::string const& name, TreflectMetaObject const* containing)
        : name_(name), containing_(containing) {}
    virtual ~TreflectMetaMember() {}

    std::string const& name() const { return name_; }
    TreflectMetaObject const* containingMetaObject() const { return containing_; }

private:
    std::string name_;
    TreflectMetaObject const* containing_;
};

class TreflectMetaOperation : public TreflectMetaMember, public TreflectMemberFactory<TreflectOperation> {
public:
    TreflectMetaOperation(std::string const& name, int methodCode, TreflectMetaObject const* containing)
        : TreflectMetaMember(name, containing), methodCode_(methodCode) {}

    int id() const { return methodCode_; }
    void registerParameter(std::string const& name, std::string const& value) { parameters_[name] = value; }
    std::map<std::string, std::string> const& parameterMap() const { return parameters_; }

private:
    int methodCode_;
    std::map<std::string, std::string> parameters_;
};

class TreflectMetaAttribute : public TreflectMetaMember, public TreflectMemberFactory<TreflectAttribute> {
public:
    // `set` is null for a read-only attribute.
    TreflectMetaAttribute(std::string const& name, TreflectMetaObject const* containing,
                          TreflectMetaOperation const* get, TreflectMetaOperation const* set)
        : TreflectMetaMember(name, containing), constLength_(1), get_(get), set_(set), typeMeta_(nullptr) {}

    int constLength() const { return constLength_; }
    void setConstLength(int n) { constLength_ = n; }
    std::string const& typeName() const { return typeName_; }
    TreflectMetaOperation const* metaOperGet() const { return get_; }
    TreflectMetaOperation const* metaOperSet() const { return set_; }
    TreflectMetaObject* typeMeta() const { return typeMeta_; }
    // The attribute holds objects of the interface `m`.
    void registerType(TreflectMetaObject* m);

private:
    int constLength_;
    std::string typeName_;
    TreflectMetaOperation const* get_;
    TreflectMetaOperation const* set_;
    TreflectMetaObject* typeMeta_;
};

class TreflectMetaObject {
public:
    // Rows of an interface's static member tables.
    struct MetaOpData {
        char const* name;
        int methodCode;
    };
    struct MetaAttrData {
        char const* name;
    };

    // Enters the interface repository.
    TreflectMetaObject(std::string const& name, unsigned long classCode);
    // Leaves the repository and deletes the meta members.
    virtual ~TreflectMetaObject();
    TreflectMetaObject(TreflectMetaObject const&) = delete;
    TreflectMetaObject& operator=(TreflectMetaObject const&) = delete;

    virtual std::string name() const { return name_; }
    // Completes the base interfaces and the member tables, once.
    virtual void completeMetaInformation() = 0;

    unsigned long getClassId() const { return classCode_; }
    unsigned long id() const { return classCode_; }
    bool isCompleted() const { return completed_; }

    // A later member of the same name replaces the earlier one.
    void registerAttribute(TreflectMetaAttribute* a);
    void registerOperation(TreflectMetaOperation* o);
    bool registerParent(TreflectMetaObject* p);
    bool registerChild(TreflectMetaObject* c);

    // Own members first, then the bases' in order; a miss logs, and returns null.
    TreflectMetaAttribute* metaAttribute(std::string const& name) const;
    TreflectMetaOperation* metaOperation(std::string const& name) const;
    // As metaOperation, without the log line.
    TreflectMetaOperation* metaOperation_(std::string const& name) const;
    void attributeList(std::list<TreflectMetaAttribute*>& list) const;
    void operationList(std::list<TreflectMetaOperation*>& list) const;
    bool isA(TreflectMetaObject const* other) const;
    std::set<TreflectMetaObject*> const& parents() const { return parents_; }
    std::set<TreflectMetaObject*> const& children() const { return children_; }

    // Registers the members of the static tables; a null table registers nothing.
    void completeMetaInformationHelper(MetaOpData* ops, unsigned int nOps, MetaAttrData* attrs, unsigned int nAttrs);

    // Creations and deletions of objects of this class, wherever they live.
    bool observeCreations(TreflectObserver* obs, bool plusExisting);
    bool observeDeletions(TreflectObserver* obs);
    void removeObserver(TreflectObserver* obs);

protected:
    // For completion hooks: true once, for the call that is to do the work.
    bool beginCompletion() {
        if (completed_) return false;
        completed_ = true;
        return true;
    }
    // Completes `base` and makes it a parent.
    void completeBase(TreflectMetaObject& base) {
        base.completeMetaInformation();
        registerParent(&base);
    }

private:
    bool completed_;
    std::string name_;
    unsigned long classCode_;
    std::map<std::string, TreflectMetaAttribute*> attributes_;
    std::map<std::string, TreflectMetaOperation*> operations_;
    std::set<TreflectMetaObject*> parents_;
    std::set<TreflectMetaObject*> children_;
};
