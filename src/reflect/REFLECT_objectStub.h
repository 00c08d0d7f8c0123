// Object stubs: the one shared record per object location behind every client
// handle. A stub turns a call into a direct call on the local server object or
// into a request forwarded by the ORB; the process-wide handler hands stubs
// out so that one location has one live stub.
#pragma once

#include <map>
#include <string>

#include "IPPRMI_objectBase.h"
#include "REFLECT_memberFactory.h"
#include "REFLECT_orb.h"

class TipprmiObjectSkeleton;
class TreflectServerObject;
class TreflectObject;
class TreflectMetaObject;
class TreflectMetaOperation;
class TreflectObserver;

// Built-in method codes (class code 0) of the reflective operations, which
// every server object answers.
namespace ReflectMethod {
enum : unsigned long {
    kRegisterObserver = 1000,
    kRemoveObserver = 1001,
    kGetAbsName = 1100,
    kGetRelName = 1101,
    kGetParent = 1103,
    kGetChild = 1104,
    kGetChilds = 1105,
    kRegisterChild = 1106,
    kUnregisterChild = 1107,
    kGetClassIdSeq = 1108
};
}  // namespace ReflectMethod

class TreflectObjectStub : public TreflectObjectLocationIf, public TipprmiObjectBase {
public:
    // Object pointer of a stub whose ORB has disappeared.
    static TipprmiObjectSkeleton* const INVALIDOBJECT;

    TreflectObjectStub();
    explicit TreflectObjectStub(TreflectObjectLocationIf const& loc);
    explicit TreflectObjectStub(TipprmiObjectSkeleton const* s);
    TreflectObjectStub(TreflectObjectStub const& other);
    // Copies the location; the reference count stays.
    TreflectObjectStub& operator=(TreflectObjectStub const& other);
    ~TreflectObjectStub() override;

    bool hasOID() const override { return TipprmiObjectBase::hasOID(); }
    TipprmiOID getOID() const override { return TipprmiObjectBase::getOID(); }
    TreflectOrbId orbId() const override { return orbId_; }
    unsigned long getInternalOID() const override { return TipprmiObjectBase::getInternalOID(); }
    NamespaceId getNamespaceId() const override { return TipprmiObjectBase::getNamespaceId(); }
    // The local server object, or null when remote or invalid.
    TipprmiObjectSkeleton* getServer() const override { return isValid() ? object_ : nullptr; }

    virtual bool forwardMsg(TreflectOrbId const& dest, bool transaction, TipprmiStream& in,
                            TipprmiStream& out) const;
    // A local call, a forwarded request, or a refusal with a type-1 status in `out`.
    virtual bool dispatch(bool transaction, unsigned long cc, unsigned long mc, TipprmiStream& in,
                          TipprmiStream& out) const;
    bool dispatch(bool transaction, unsigned long cc, unsigned long mc, TipprmiStream& in,
                  TipprmiStream& out) override {
        return static_cast<TreflectObjectStub const*>(this)->dispatch(transaction, cc, mc, in, out);
    }

    // The meta object of the first class code of the object known here;
    // cached until the stub connects again.
    virtual TreflectMetaObject* meta() const;
    // The naming tree, from the local server object or through the built-in
    // method codes.
    virtual std::string getAbsName() const;
    virtual std::string getRelName() const;
    virtual TreflectObject getParent() const;
    virtual TreflectObject getChild(std::string const& name) const;
    virtual TipprmiSequence<TreflectObject> getChilds() const;
    virtual void registerChild(std::string const& name, TreflectObject const& obj) const;
    virtual void unregisterChild(std::string const& name) const;

    // Looks the object up again; an invalid stub stays as it is.
    virtual void connect(TreflectORB const* orb, TipprmiOID const& oid);
    virtual void connect(TipprmiOID const& oid) { connect(nullptr, oid); }
    virtual void connect(TipprmiObjectSkeleton* s);
    virtual bool isConnected() const { return isValid() && getInternalOID() != 0; }
    virtual char const* className() const { return "TreflectObjectStub"; }
    // Local: the server's container; remote: method codes 2100/2101.
    void setExceptionContainer(TipprmiExceptionContainer const& c) const override;
    TipprmiExceptionContainer getExceptionContainer() const override;
    // Observer registration at the object's server (method codes 1000, 1001).
    virtual void registerObserver(unsigned long kind, TreflectMetaOperation const* op, TreflectObserver* obs) const;
    virtual void removeObserver(TreflectMetaOperation const* op, TreflectObserver* obs) const;

    // Clears `s` and writes the request header (nothing for a local object).
    TipprmiStream& prepareRequestStream_(bool transaction, unsigned long cc, unsigned long mc,
                                         TipprmiStream& s);
    // Reads the status container; a failure stops every later read of `s`.
    TipprmiStream& prepareResponseStream_(bool transaction, TipprmiStream& s) const;

    // The object pointer as it stands: INVALIDOBJECT once invalidated.
    TipprmiObjectSkeleton* object() const { return object_; }
    bool isValid() const { return object_ != INVALIDOBJECT; }
    void setInvalid() { object_ = INVALIDOBJECT; }
    void incRefCount() { ++refCount_; }
    // True when fewer than one reference remains.
    bool decRefCount() { return --refCount_ < 1; }
    int refCount() const { return refCount_; }

    static TreflectErrorAttribute errorAttribute;
    static TreflectErrorOperation errorOperation;

private:
    // The local object as a server object; null when remote, invalid, or a
    // plain skeleton without a naming tree.
    TreflectServerObject* localServer() const;
    // The id of this process's ORB for the stub's namespace, as the diagnostics print it.
    unsigned ownOrbId() const;
    // Moves the stub to another location; a stub the handler holds is filed
    // again under its new key, so that the container stays ordered.
    void relocate_(TipprmiOID const& oid, unsigned long internalOid, TreflectOrbId const& orbId,
                   TipprmiObjectSkeleton* object);

    TreflectOrbId orbId_;
    TipprmiObjectSkeleton* object_;
    int refCount_;
    mutable TreflectMetaObject* metaCache_;
};

// Location order: namespace, internal OID, then the OIDs when both locations
// have one and the ORBs agree, else the ORB ids.
bool operator<(TreflectObjectLocationIf const& a, TreflectObjectLocationIf const& b);
// Same OID when both have one, else same internal OID, ORB, namespace and object.
bool operator==(TreflectObjectStub const& a, TreflectObjectStub const& b);

class TreflectObjectStubContainer {
public:
    struct ltOID {
        bool operator()(TreflectObjectLocationIf const* a, TreflectObjectLocationIf const* b) const {
            return *a < *b;
        }
    };

    // The first valid stub filed under `loc`, or null.
    TreflectObjectStub* find(TreflectObjectLocationIf const& loc) const;
    void insert(TreflectObjectStub* s);
    // Removes exactly `s`; false when it was not held.
    bool erase(TreflectObjectStub* s);
    void invalidateStubs(TreflectOrbId const& id);
    size_t size() const { return stubs_.size(); }

private:
    std::multimap<TreflectObjectLocationIf const*, TreflectObjectStub*, ltOID> stubs_;
};

// Process-wide keeper of the stubs. Every adoption and release runs under the
// run permission, which is the only guard of the stubs and the container.
class TreflectObjectHandler : public TreflectObjectStubContainer {
public:
    // Shared by every handle on an OID without text; never deleted.
    class TreflectObjectInvalidStub : public TreflectObjectStub {
    public:
        TreflectObjectInvalidStub();
    };

    static TreflectObjectHandler* getInstance();

    TreflectObjectStub* adoptStub(TipprmiOID const& oid);
    TreflectObjectStub* adoptStub(TreflectORB const* orb, TipprmiOID const& oid);
    TreflectObjectStub* adoptStub(TreflectObjectLocationIf const& loc);
    TreflectObjectStub* adoptStub(TreflectObjectStub* s);
    void releaseStub(TreflectObjectStub* s);
    // A stub that lost its object and has an OID looks it up again.
    void checkConnect(TreflectObjectStub* s);

    TreflectObjectStub* invalidStub() { return &invalidStub_; }

private:
    TreflectObjectHandler();
    ~TreflectObjectHandler() = delete;

    TreflectObjectInvalidStub invalidStub_;
};
