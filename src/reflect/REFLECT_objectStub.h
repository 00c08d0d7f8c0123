// Object stubs: the one shared record per object location behind every client
// handle. A stub turns a call into a direct call on the local server object or
// into a request forwarded by the ORB; the process-wide handler hands stubs
// out so that one location has one live stub.
#pragma once

#include <map>

#include "IPPRMI_objectBase.h"
#include "REFLECT_orb.h"

class TipprmiObjectSkeleton;

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

    // Looks the object up again; an invalid stub stays as it is.
    virtual void connect(TreflectORB const* orb, TipprmiOID const& oid);
    virtual void connect(TipprmiOID const& oid) { connect(nullptr, oid); }
    virtual void connect(TipprmiObjectSkeleton* s);
    virtual bool isConnected() const { return isValid() && getInternalOID() != 0; }
    virtual char const* className() const { return "TreflectObjectStub"; }
    // Local: the server's container; remote: method codes 2100/2101.
    void setExceptionContainer(TipprmiExceptionContainer const& c) const override;
    TipprmiExceptionContainer getExceptionContainer() const override;

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

private:
    // The id of this process's ORB for the stub's namespace, as the diagnostics print it.
    unsigned ownOrbId() const;
    // Moves the stub to another location; a stub the handler holds is filed
    // again under its new key, so that the container stays ordered.
    void relocate_(TipprmiOID const& oid, unsigned long internalOid, TreflectOrbId const& orbId,
                   TipprmiObjectSkeleton* object);

    TreflectOrbId orbId_;
    TipprmiObjectSkeleton* object_;
    int refCount_;
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
