#include "IPPRMI_objectBase.h"

#include <cstdio>

#include "Log.h"
#include "REFLECT_orb.h"

TipprmiObjectBase::TipprmiObjectBase(TipprmiOID const& oid, unsigned long internalOid)
    : internalOid_(internalOid), oid_(oid) {}

TipprmiObjectBase::TipprmiObjectBase(TipprmiObjectBase const& other)
    : internalOid_(other.internalOid_), oid_(other.oid_) {}

TipprmiObjectBase& TipprmiObjectBase::operator=(TipprmiObjectBase const& other) {
    internalOid_ = other.internalOid_;
    oid_ = other.oid_;
    return *this;
}

TipprmiObjectBase::~TipprmiObjectBase() {}

TipprmiOID TipprmiObjectBase::getOID() const {
    if (hasOID()) return oid_;
    // Longest form: "rmi_" + 8 + "_" + 8 hex digits.
    char text[22];
    std::snprintf(text, sizeof text, "rmi_%X_%lX", static_cast<unsigned>(orbId().value()),
                  getInternalOID() & 0xFFFFFFFFul);
    return TipprmiOID(text, NSID_UNIT);
}

unsigned long TipprmiObjectBase::getInternalOID() const { return internalOid_; }

NamespaceId TipprmiObjectBase::getNamespaceId() const { return oid_.getNamespaceId(); }

bool TipprmiObjectBase::dispatch(bool, unsigned long, unsigned long, TipprmiStream&, TipprmiStream&) {
    return false;
}

void TipprmiObjectBase::setExceptionContainer(TipprmiExceptionContainer const&) const {
    TA_LOG(2, "%s should never be called", "setExceptionContainer");
}

TipprmiExceptionContainer TipprmiObjectBase::getExceptionContainer() const {
    TA_LOG(2, "%s should never be called", "getExceptionContainer");
    return TipprmiExceptionContainer();
}

bool TipprmiObjectBase::hasOID() const { return oid_.getIdString() != nullptr; }
