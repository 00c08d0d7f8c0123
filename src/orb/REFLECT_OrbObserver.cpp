#include "REFLECT_OrbObserver.h"

#include <algorithm>
#include <vector>

#include "Log.h"
#include "REFLECT_ObserverSkeleton.h"
#include "REFLECT_object.h"
#include "REFLECT_orb.h"

// ---- ORB observer service ----

char const* TreflectOrbObserver::typeStr(Appear_t appear) {
    switch (appear) {
    case TreflectOrbObserverIf::kAppear:
        return "Appear";
    case TreflectOrbObserverIf::kDisappear:
        return "Disappear";
    case TreflectOrbObserverIf::kAll:
        return "All";
    default:
        return "ERROR";
    }
}

TreflectOrbObserver::TreflectOrbObserver()
    : stopping_(false), worker_(this, &TreflectOrbObserver::handler, 524288, 3, 0, "OrbObsWorker", true) {
    worker_.start();
}

TreflectOrbObserver::~TreflectOrbObserver() {
    condition_.lock();
    stopping_ = true;
    condition_.unlock();
    condition_.broadcast();
    worker_.join();
}

std::list<TreflectOrbObserver::OrbObserver_t>::iterator TreflectOrbObserver::obsFind(
    TreflectOrbObserverIf const* obs) {
    return std::find_if(observers_.begin(), observers_.end(),
                        [obs](OrbObserver_t const& o) { return o.observer == obs; });
}

bool TreflectOrbObserver::subscribe(TreflectOrbObserverIf* obs, Appear_t const& mask, bool notifyExisting) {
    if (!obs) return false;
    mutex_.lock();
    auto it = obsFind(obs);
    if (it != observers_.end())
        it->mask |= mask;
    else
        observers_.push_back(OrbObserver_t{obs, mask});
    mutex_.unlock();
    if (notifyExisting && mask == TreflectOrbObserverIf::kAppear) notifyExistingOrbs(obs);
    return true;
}

void TreflectOrbObserver::unsubscribe(TreflectOrbObserverIf const* obs) {
    mutex_.lock();
    auto it = obsFind(obs);
    if (it != observers_.end()) observers_.erase(it);
    mutex_.unlock();
}

void TreflectOrbObserver::notifyExistingOrbs(TreflectOrbObserverIf* obs) {
    for (auto const& t : Transport::TransportLayer::instance().getTerminations())
        obs->orbAppearance(t, TreflectOrbObserverIf::kAppear);
}

void TreflectOrbObserver::notify(Transport::TerminationId const& t, Appear_t const& appear) {
    condition_.lock();
    events_.push_back(OrbAppear_t(t, appear));
    condition_.unlock();
    condition_.signal();
}

bool TreflectOrbObserver::appeared() {
    condition_.lock();
    while (events_.empty() && !stopping_) condition_.wait(OSWrap::TimeSpec(30, 0));
    bool const live = !stopping_;
    condition_.unlock();
    return live;
}

bool TreflectOrbObserver::getAppearance(OrbAppear_t& e) {
    condition_.lock();
    bool const found = !events_.empty();
    if (found) {
        e = events_.front();
        events_.pop_front();
    }
    condition_.unlock();
    return found;
}

void TreflectOrbObserver::handler() {
    while (appeared()) {
        OrbAppear_t e;
        if (!getAppearance(e)) continue;
        mutex_.lock();
        std::vector<OrbObserver_t> const copy(observers_.begin(), observers_.end());
        mutex_.unlock();
        for (auto const& o : copy) {
            if (o.mask != e.appear && o.mask != TreflectOrbObserverIf::kAll) continue;
            TreflectORB::enterHandlerState(true);
            o.observer->orbAppearance(e.termId, e.appear);
            TreflectORB::leaveHandlerState(true);
        }
    }
}

void TreflectOrbObserver::display() const {
    mutex_.lock();
    TA_LOG(5, "ORB (termId=0x%X) has %d observer registered:",
           static_cast<unsigned>(TreflectORB::getInstance(NSID_UNIT)->termId().value()),
           static_cast<int>(observers_.size()));
    for (auto const& o : observers_)
        TA_LOG(5, "   Observer 0x%08X registered for %s",
               static_cast<unsigned>(reinterpret_cast<uintptr_t>(o.observer)), typeStr(o.mask));
    mutex_.unlock();
}

// ---- ORBs missed by a broadcast subscription ----

void TreflectMissedOrbs::start(std::list<Transport::TerminationId> const& members) {
    TreflectORB* orb = TreflectORB::getInstance(NSID_UNIT);
    mutex_.lock();
    missed_.clear();
    known_.clear();
    for (auto const& t : members) known_.insert(orb->convertId(t));
    mutex_.unlock();
}

void TreflectMissedOrbs::add(TreflectOrbId const& id) {
    mutex_.lock();
    if (!known_.count(id) && std::find(missed_.begin(), missed_.end(), id) == missed_.end()) missed_.push_back(id);
    mutex_.unlock();
}

// Short-lived peers (operator tools) come and go all day: without this the
// list, and every later first observer's subscriptions, would grow with them.
void TreflectMissedOrbs::forget(TreflectOrbId const& id) {
    mutex_.lock();
    missed_.erase(std::remove(missed_.begin(), missed_.end(), id), missed_.end());
    known_.erase(id);
    mutex_.unlock();
}

bool TreflectMissedOrbs::empty() const {
    mutex_.lock();
    bool const none = missed_.empty();
    mutex_.unlock();
    return none;
}

size_t TreflectMissedOrbs::size() const {
    mutex_.lock();
    size_t const n = missed_.size();
    mutex_.unlock();
    return n;
}

void TreflectMissedOrbs::notify(unsigned long classCode, TreflectObserver& observer, bool plusExisting) {
    mutex_.lock();
    std::vector<TreflectOrbId> const missed = missed_;
    mutex_.unlock();
    TreflectORB* orb = TreflectORB::getInstance(NSID_UNIT);
    for (TreflectOrbId const& id : missed) {
        if (!creation_) {
            orb->registerForODN(classCode, &id);
            continue;
        }
        std::vector<TreflectObject> objects;
        orb->registerForOCN(classCode, plusExisting ? &objects : nullptr, &id);
        for (TreflectObject const& o : objects) TreflectORB::handToObserver(observer, o);
    }
}
