// The task's root in the management model: follows the TopFlow objects as
// they are created and deleted, keeps one flow adapter for each flow of its
// own unit, and polls the flows' alarm conditions every 10 s.
//
// When the model's actor goes away, the adapters of its flows stay, chips
// running: the restarted model announces its flows again and each adapter
// follows its flow there (the flow's location key is its identity). Those
// the model no longer has are let go once it answers again.
#pragma once

#include <map>
#include <vector>

#include <boost/shared_ptr.hpp>

#include "AfwSingleton.h"
#include "OSWrap.h"
#include "REFLECT_ObserverSkeleton.h"
#include "TopFlowAdapter.h"
#include "TopServicesClient.h"
#include "UnitIdClient.h"

class TopServicesAdapter {
public:
    // Clients of one object are one key: they share its stub.
    struct ByStub {
        bool operator()(TopFlowClient const& a, TopFlowClient const& b) const { return a.getStub_() < b.getStub_(); }
    };
    // An entry of the table (Concurrency.txt, "the adapter table"): claimed
    // by a creation notice before its first yield, live once its adapter is
    // built, closing from the moment a deletion (or the sweep) takes it down
    // until it is erased. Only the handler that made an entry building or
    // closing erases it.
    struct Entry {
        enum Phase { BUILDING, LIVE, CLOSING };
        Phase phase;
        boost::shared_ptr<TopFlowAdapter> adapter;  // null while building
    };
    typedef std::map<TopFlowClient, Entry, ByStub> Table;

    static TopServicesAdapter* instance();
    virtual ~TopServicesAdapter();

    TopServicesClient getSvc() const { return services_; }
    // Starts following the TopFlow objects, those that exist included.
    void start();
    void stop();
    // Starts the 10-second poll once.
    void startEventPoller();

    bool detectTopFlowCreation(TreflectObserver* notification);
    bool detectTopFlowDeletion(TreflectObserver* notification);

    // The live adapters, in key order, kept alive by the copy; with the run
    // permission held. Building and closing entries are nobody's to read.
    std::vector<boost::shared_ptr<TopFlowAdapter> > liveAdapters() const;

private:
    friend class Afw::Singleton<TopServicesAdapter>;
    TopServicesAdapter();
    // "OSWTimer", every 10 s on the timer's thread: takes the run permission,
    // which posting and the orphans' lookups give up while they wait.
    int poll();
    // A flow of a restarted model takes over the adapter of its predecessor;
    // `flow`'s entry is building and this handler's.
    bool adoptOrphan(TopFlowClient const& flow, UnitIdClient const& location);
    // Lets go the adapters whose flow the restarted model no longer has.
    void sweepOrphans();
    // Moves an orphan's adapter to the live entry of its flow in the
    // restarted model (replacing a building entry of this handler's).
    void reattach(Table::iterator orphan, TopFlowClient const& flow);
    // Takes a live entry's adapter down and erases the entry.
    void closeEntry(Table::iterator it);
    // The entry of `flow` if it still holds `adapter` in `phase`.
    Table::iterator entryOf(TopFlowClient const& flow, Entry::Phase phase,
                            boost::shared_ptr<TopFlowAdapter> const& adapter);

    Table table_;
    TopServicesClient services_;
    unsigned long ownUnit_;
    OSWrap::AttachedTimer<TopServicesAdapter> poller_;
    bool timerRunning_;
    bool topPresent_;
    TreflectNotificator<TopServicesAdapter> creationObserver_, deletionObserver_;
    // Polls since the model answers again while adapters wait for their flows.
    unsigned modelBackPolls_;
};
