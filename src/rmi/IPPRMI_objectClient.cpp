#include "IPPRMI_objectClient.h"

#include "IPPRMI_objectSkeleton.h"
#include "REFLECT_objectStub.h"

namespace {

TreflectObjectHandler& handler() { return *TreflectObjectHandler::getInstance(); }

TreflectORB::TreflectObjectLocation locationOf(TipprmiObjectSkeleton const* s) {
    return TreflectORB::TreflectObjectLocation(s->getInternalOID(), s->orbId(), s->hasOID() ? s->getOID() : TipprmiOID(),
                                               const_cast<TipprmiObjectSkeleton*>(s));
}

}  // namespace

TipprmiObjectClient::TipprmiObjectClient() : stub_(handler().adoptStub(TipprmiOID())) {}

TipprmiObjectClient::TipprmiObjectClient(TipprmiOID const& oid) : stub_(handler().adoptStub(oid)) {}

TipprmiObjectClient::TipprmiObjectClient(TreflectORB const* orb, TipprmiOID const& oid)
    : stub_(handler().adoptStub(orb, oid)) {}

TipprmiObjectClient::TipprmiObjectClient(TipprmiObjectSkeleton const* s) : stub_(handler().adoptStub(locationOf(s))) {}

TipprmiObjectClient::TipprmiObjectClient(TreflectObjectStub* stub) : stub_(stub) {}

TipprmiObjectClient::TipprmiObjectClient(TipprmiObjectClient const& other)
    : stub_(handler().adoptStub(other.stub_)) {}

TipprmiObjectClient& TipprmiObjectClient::operator=(TipprmiObjectClient const& other) {
    if (this != &other) {
        // Adopt first: releasing first could delete the stub both share.
        TreflectObjectStub* adopted = handler().adoptStub(other.stub_);
        handler().releaseStub(stub_);
        stub_ = adopted;
    }
    return *this;
}

TipprmiObjectClient::~TipprmiObjectClient() { handler().releaseStub(stub_); }

bool TipprmiObjectClient::forwardMsg(TreflectOrbId const& dest, bool transaction, TipprmiStream& in,
                                     TipprmiStream& out) const {
    return stub_->forwardMsg(dest, transaction, in, out);
}

bool TipprmiObjectClient::dispatch(bool transaction, unsigned long cc, unsigned long mc, TipprmiStream& in,
                                   TipprmiStream& out) const {
    return stub_->dispatch(transaction, cc, mc, in, out);
}

void TipprmiObjectClient::connect(TreflectORB const* orb, TipprmiOID const& oid) {
    handler().releaseStub(stub_);
    stub_ = handler().adoptStub(orb, oid);
}

void TipprmiObjectClient::connect(TipprmiObjectSkeleton* s) {
    handler().releaseStub(stub_);
    stub_ = handler().adoptStub(locationOf(s));
}

TipprmiObjectSkeleton* TipprmiObjectClient::getServer() const { return stub_->getServer(); }

TipprmiOID TipprmiObjectClient::getOID() const { return stub_->getOID(); }

bool TipprmiObjectClient::isConnected() const { return stub_->isConnected(); }

TipprmiStream& TipprmiObjectClient::prepareRequestStream_(bool transaction, unsigned long cc, unsigned long mc,
                                                          TipprmiStream& s) const {
    s.clear();
    return stub_->prepareRequestStream_(transaction, cc, mc, s);
}

TipprmiStream& TipprmiObjectClient::prepareResponseStream_(bool transaction, TipprmiStream& s) const {
    return stub_->prepareResponseStream_(transaction, s);
}

bool TipprmiObjectClient::operator==(TipprmiObjectClient const& other) const { return *stub_ == *other.stub_; }

TipprmiStream& operator<<(TipprmiStream& s, TipprmiObjectClient const& v) {
    return s << static_cast<TreflectObjectLocationIf const&>(*v.getStub_());
}

TipprmiStream& operator>>(TipprmiStream& s, TipprmiObjectClient& v) {
    TreflectORB::TreflectObjectLocation loc;
    s >> loc;
    handler().releaseStub(v.stub_);
    v.stub_ = handler().adoptStub(loc);
    return s;
}
