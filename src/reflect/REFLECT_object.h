// TreflectObject: the application's handle on an object of the management
// model, local or in another actor. A small value, freely copied; all handles
// on one object share its stub. Generated client proxies derive from it.
#pragma once

#include <stddef.h>

#include <string>

#include "IPPRMI_objectClient.h"
#include "IPPRMI_stream.h"
#include "REFLECT_memberFactory.h"

class TreflectMetaObject;
class TreflectMetaOperation;
class TreflectObserver;
class TreflectObjectStub;

class TreflectObject : public TipprmiObjectClient {
public:
    // A handle on an OID without text: the shared invalid stub.
    TreflectObject();
    explicit TreflectObject(TipprmiObjectSkeleton const* s);
    explicit TreflectObject(TipprmiOID const& oid);
    TreflectObject(TreflectORB const* orb, TipprmiOID const& oid);
    TreflectObject(TreflectObject const& other);
    // Releases the stub and destroys every member tied to this handle.
    ~TreflectObject() override;
    TreflectObject& operator=(TreflectObject const& other);

    using TipprmiObjectClient::connect;

    // The stub this handle holds now; it changes with connect and assignment.
    TreflectObjectStub* getStub() const { return stub_; }

    // Members by name; a miss logs and yields the static error member.
    virtual TreflectAttribute* attribute(std::string const& name) const;
    virtual TreflectOperation* operation(std::string const& name) const;
    // The meta object of the nearest known class of the object, or null.
    virtual TreflectMetaObject* meta() const;

    // The object's place in its server's naming tree.
    virtual std::string getAbsName() const;
    virtual std::string getRelName() const;
    virtual TreflectObject getParent() const;
    virtual TreflectObject getChild(std::string const& name) const;
    virtual TipprmiSequence<TreflectObject> getChilds() const;
    virtual void registerChild(std::string const& name, TreflectObject const& obj) const;
    virtual void unregisterChild(std::string const& name) const;

    virtual void connect(TipprmiOID const& oid);

    // Asks the object's server to notify `obs` of calls of `op`: kind 0
    // before the call executes, any other kind after.
    virtual void registerObserver(unsigned long kind, TreflectMetaOperation const* op, TreflectObserver* obs) const;
    // Removes `obs` from every operation of the object.
    virtual void removeObserver(TreflectMetaOperation const* op, TreflectObserver* obs) const;

    // Bare handles come from a free list of 256-slot blocks.
    static void* operator new(size_t size);
    static void operator delete(void* p, size_t size);

    static TreflectErrorAttribute errorAttribute;
    static TreflectErrorOperation errorOperation;
    static void* newList_;
};

TIPPRMI_MIN_WIRE_SIZE(TreflectObject, 16);
