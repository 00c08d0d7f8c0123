// Common base of every object the ORB can hold: an explicit identifier
// (possibly without text) and the internal object id the ORB gave it.
#pragma once

#include "IPPRMI_oid.h"
#include "IPPRMI_stream.h"

class TreflectOrbId;

class TipprmiObjectBase {
public:
    TipprmiObjectBase(TipprmiOID const& oid, unsigned long internalOid);
    TipprmiObjectBase(TipprmiObjectBase const& other);
    TipprmiObjectBase& operator=(TipprmiObjectBase const& other);
    virtual ~TipprmiObjectBase();

    // The explicit OID, or the generated text form "rmi_<orb id>_<internal id>"
    // (upper-case hex) in namespace 1 when the object has no id text.
    virtual TipprmiOID getOID() const;
    virtual unsigned long getInternalOID() const;
    virtual NamespaceId getNamespaceId() const;
    virtual TreflectOrbId orbId() const = 0;
    virtual bool dispatch(bool transaction, unsigned long cc, unsigned long mc, TipprmiStream& in,
                          TipprmiStream& out);
    virtual void setExceptionContainer(TipprmiExceptionContainer const& c) const;
    virtual TipprmiExceptionContainer getExceptionContainer() const;
    virtual bool hasOID() const;

    void setInternalOID(unsigned long const& id) { internalOid_ = id; }
    void setOID(TipprmiOID const& oid) { oid_ = oid; }

private:
    unsigned long internalOid_;
    TipprmiOID oid_;
};
