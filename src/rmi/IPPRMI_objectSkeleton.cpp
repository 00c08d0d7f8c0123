#include "IPPRMI_objectSkeleton.h"

#include "IPPRMI_objectClient.h"
#include "Log.h"
#include "REFLECT_orb.h"

TipprmiObjectSkeleton::TipprmiObjectSkeleton() : TipprmiObjectBase(TipprmiOID(), 0), client_(nullptr), orb_(nullptr) {}

TipprmiObjectSkeleton::TipprmiObjectSkeleton(TreflectORB* orb, TipprmiOID const& oid)
    : TipprmiObjectBase(oid, oid.getNamespaceId()), client_(nullptr), orb_(nullptr) {
    connect(orb, oid);
}

TipprmiObjectSkeleton::TipprmiObjectSkeleton(TipprmiOID const& oid)
    : TipprmiObjectBase(oid, oid.getNamespaceId()), client_(nullptr), orb_(nullptr) {
    connect(nullptr, oid);
}

TipprmiObjectSkeleton::~TipprmiObjectSkeleton() {
    if (orb_) {
        TreflectORB::checkHandlerState();
        orb_->unregisterObject(this);
    }
    dropClient_();
}

void TipprmiObjectSkeleton::connect(TreflectORB* orb, TipprmiOID const& oid) {
    TreflectORB::checkHandlerState();
    if (orb_) orb_->unregisterObject(this);
    if (!orb) orb = TreflectORB::getInstance(oid.getNamespaceId());
    orb_ = orb;
    orb_->registerObject(this);
    dropClient_();
}

TipprmiObjectClient* TipprmiObjectSkeleton::getClient() const {
    if (!client_) client_ = new TipprmiObjectClient(this);
    return client_;
}

void TipprmiObjectSkeleton::dropClient_() const {
    delete client_;
    client_ = nullptr;
}

TreflectOrbId TipprmiObjectSkeleton::orbId() const { return orb_ ? orb_->orbId() : TreflectOrbId(); }

void TipprmiObjectSkeleton::setExceptionContainer(TipprmiExceptionContainer const& c) const { exception_ = c; }

TipprmiExceptionContainer TipprmiObjectSkeleton::getExceptionContainer() const { return exception_; }

void TipprmiObjectSkeleton::prepareResponseStream_(TipprmiStream& out) const { out << exception_; }

bool TipprmiObjectSkeleton::dispatch(bool, unsigned long, unsigned long mc, TipprmiStream& in, TipprmiStream& out) {
    switch (mc) {
    case kSetExceptionContainer: {
        TipprmiExceptionContainer c;
        in >> c;
        setExceptionContainer(c);
        prepareResponseStream_(out);
        return true;
    }
    case kGetExceptionContainer:
        prepareResponseStream_(out);
        out << getExceptionContainer();
        return true;
    default:
        TA_LOG(3, "Unknown method code %d", static_cast<int>(mc));
        return false;
    }
}
