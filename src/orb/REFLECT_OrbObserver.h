// Appearing and disappearing ORBs: the observer service that tells other
// code of them on its own thread, and the ORBs that appeared after a
// class-wide subscription was sent to every member of the group.
#pragma once

#include <list>
#include <set>
#include <vector>

#include "OSWrap.h"
#include "REFLECT_orbId.h"
#include "Transport.h"

class TreflectObserver;

class TreflectOrbObserverIf {
public:
    // 1 appear, 2 disappear, 3 both.
    typedef int Appear_t;
    enum : Appear_t { kAppear = 1, kDisappear = 2, kAll = 3 };

    virtual ~TreflectOrbObserverIf() {}
    // `appear` is 1 or 2.
    virtual void orbAppearance(Transport::TerminationId const& t, Appear_t const& appear) = 0;
};

class TreflectOrbObserver {
public:
    typedef TreflectOrbObserverIf::Appear_t Appear_t;
    struct OrbObserver_t {
        TreflectOrbObserverIf* observer;
        Appear_t mask;
    };
    struct OrbAppear_t {
        Transport::TerminationId termId;
        Appear_t appear;
        OrbAppear_t() : termId(), appear(0) {}
        OrbAppear_t(Transport::TerminationId const& t, Appear_t a) : termId(t), appear(a) {}
    };

    static char const* typeStr(Appear_t appear);

    // Starts the "OrbObsWorker" thread.
    TreflectOrbObserver();
    // Stops and joins the worker.
    ~TreflectOrbObserver();
    TreflectOrbObserver(TreflectOrbObserver const&) = delete;
    TreflectOrbObserver& operator=(TreflectOrbObserver const&) = delete;

    // Adds `mask` to the observer's events; with mask 1 and `notifyExisting`
    // every present termination is reported at once, on the calling thread.
    bool subscribe(TreflectOrbObserverIf* obs, Appear_t const& mask, bool notifyExisting);
    void unsubscribe(TreflectOrbObserverIf const* obs);
    // Queues an event for the worker; never waits for a callback.
    void notify(Transport::TerminationId const& t, Appear_t const& appear);
    void display() const;

    // Worker body: delivers queued events until the observer is destroyed.
    void handler();
    // Waits, in 30-second periods, until an event is queued; false once stopping.
    bool appeared();
    // Takes the first queued event; false when there is none.
    bool getAppearance(OrbAppear_t& e);
    void notifyExistingOrbs(TreflectOrbObserverIf* obs);
    std::list<OrbObserver_t>::iterator obsFind(TreflectOrbObserverIf const* obs);

private:
    std::list<OrbObserver_t> observers_;
    mutable OSWrap::Mutex mutex_;
    std::list<OrbAppear_t> events_;
    OSWrap::ConditionVar condition_;
    bool stopping_;
    OSWrap::MethodThread<TreflectOrbObserver> worker_;
};

class TreflectMissedOrbs {
public:
    explicit TreflectMissedOrbs(bool creation) : creation_(creation) {}

    // A broadcast subscription went to `members`: they are known, none missed.
    void start(std::list<Transport::TerminationId> const& members);
    // An ORB appeared; it was missed unless the broadcast reached it.
    void add(TreflectOrbId const& id);
    // An ORB went away: a successor under its id appears (and is added) anew.
    void forget(TreflectOrbId const& id);
    bool empty() const;
    size_t size() const;
    // Subscribes class `classCode` at every missed ORB; created objects they
    // report go to `observer`.
    void notify(unsigned long classCode, TreflectObserver& observer, bool plusExisting);

private:
    std::vector<TreflectOrbId> missed_;
    std::set<TreflectOrbId> known_;
    mutable OSWrap::Mutex mutex_;
    bool creation_;
};
