#include "REFLECT_ObserverSkeleton.h"

#include "Log.h"

TreflectObserverSkeleton::TreflectObserverSkeleton(TipprmiOID const& oid, TreflectObject const* parent,
                                                   std::string const& name)
    : TreflectServerObject(oid, parent, name) {
    dropClient_();
}

TreflectObserverClient* TreflectObserverSkeleton::getClient() const {
    if (!client_) client_ = new TreflectObserverClient(this);
    return static_cast<TreflectObserverClient*>(client_);
}

TipprmiSequence<unsigned long> TreflectObserverSkeleton::getServerClassIdSeq() const {
    TipprmiSequence<unsigned long> ids;
    ids.push_back(kClassCode);
    return ids;
}

bool TreflectObserverSkeleton::dispatch(bool transaction, unsigned long cc, unsigned long mc, TipprmiStream& in,
                                        TipprmiStream& out) {
    bool ok;
    if (cc != kClassCode) {
        ok = TreflectServerObject::dispatch(transaction, cc, mc, in, out);
        if (ok) return true;
    } else if (mc != TreflectObserverClient::kNotify) {
        ok = TreflectServerObject::dispatch(transaction, cc, mc, in, out);
    } else {
        TreflectObject source;
        unsigned long observedCc = 0, observedMc = 0;
        TipprmiSequence<TipprmiAny> args;
        in >> source >> observedCc >> observedMc >> args;
        bool delivered = false;
        Life const alive = life();
        bool const result = getClient()->notify(source, observedCc, observedMc, args, delivered);
        // A callback that gave the run permission up may have outlived its observer.
        if (alive.gone())
            out << TipprmiExceptionContainer();
        else
            prepareResponseStream_(out);
        out << result << delivered;
        ok = true;
    }
    if (!ok)
        TA_LOG(3, "TreflectObserverSkeleton[oid=%s]::dispatch(cc=0x%08lX, mc=%d) - METHOD NOT FOUND",
               getOID().getIdString(), cc & 0xFFFFFFFFul, static_cast<int>(mc));
    return ok;
}

TreflectObserver::TreflectObserver(TipprmiOID const& oid, TreflectObject const* parent, std::string const& name)
    : TreflectObserverSkeleton(oid, parent, name), arguments_(nullptr), notified_(0), source_(nullptr) {}

bool TreflectObserver::notify(TreflectObject const& source, unsigned long const&, unsigned long const&,
                              TipprmiSequence<TipprmiAny> const& args, bool& delivered) {
    delivered = true;
    setSource(&source);
    TipprmiSequence<TipprmiAny> copy(args);
    arguments_ = &copy;
    notified_ = 1;
    Life const alive = life();
    bool const result = handleNotification();
    if (!alive.gone()) arguments_ = nullptr;
    return result;
}
