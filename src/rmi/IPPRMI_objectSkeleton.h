// Server side of a remote object: registered with the ORB of its namespace,
// it receives requests as (class code, method code, request stream).
#pragma once

#include "IPPRMI_objectBase.h"

class TreflectORB;
class TipprmiObjectClient;

class TipprmiObjectSkeleton : public TipprmiObjectBase {
public:
    // Method codes every skeleton answers itself.
    enum { kSetExceptionContainer = 2100, kGetExceptionContainer = 2101 };

    // An OID without text in namespace 1, internal OID 0, not connected.
    TipprmiObjectSkeleton();
    // Connects to `orb`, or to the ORB of the OID's namespace when null.
    TipprmiObjectSkeleton(TreflectORB* orb, TipprmiOID const& oid);
    explicit TipprmiObjectSkeleton(TipprmiOID const& oid);
    // Unregisters from its ORB (after the handler-state check).
    ~TipprmiObjectSkeleton() override;
    TipprmiObjectSkeleton(TipprmiObjectSkeleton const&) = delete;
    TipprmiObjectSkeleton& operator=(TipprmiObjectSkeleton const&) = delete;

    TreflectOrbId orbId() const override;
    // 2100 and 2101; any other method code is logged and refused (false).
    bool dispatch(bool transaction, unsigned long cc, unsigned long mc, TipprmiStream& in,
                  TipprmiStream& out) override;
    void setExceptionContainer(TipprmiExceptionContainer const& c) const override;
    TipprmiExceptionContainer getExceptionContainer() const override;
    // Moves the registration to `orb` (or the OID's namespace ORB); the stored
    // OID is not changed. Called with the run permission held.
    virtual void connect(TreflectORB* orb, TipprmiOID const& oid);
    // A handle on this skeleton, made on first use and owned by it; a new
    // connect deletes it, so holders must not keep it across one.
    virtual TipprmiObjectClient* getClient() const;

    TreflectORB* getORB() const { return orb_; }
    void setORB(TreflectORB* orb) { orb_ = orb; }

protected:
    // Deletes the client handle; the next getClient() makes a new one.
    void dropClient_() const;

    // Every response of a skeleton begins with its status container.
    void prepareResponseStream_(TipprmiStream& out) const;

    mutable TipprmiObjectClient* client_;

private:
    mutable TipprmiExceptionContainer exception_;
    TreflectORB* orb_;
};
