// The answering side of one monitored object's PerformanceService object:
// keeps every counter's history over the last 96 intervals, asks
// its user for current values, follows the interval timer object so that its
// user learns of every change of interval, and is linked under the monitored
// object's absolute name (PerfSvcAdpLink), which routes the PerformanceService
// object's trigger calls to its handlers.
#pragma once

#include <map>
#include <string>

#include "OSWrap.h"
#include "PerformanceServiceClient.h"
#include "PerformanceServiceUserIf.h"
#include "PsIntervalTimerClient.h"
#include "REFLECT_CallGate.h"
#include "REFLECT_Mutex.h"
#include "REFLECT_ObserverSkeleton.h"

namespace Performance {

class PerformanceServiceAdapter {
public:
    static constexpr unsigned long kHistoryLength = 96;
    typedef TipprmiArray<unsigned long, 96> History;

    // Entry 0 is the most recent interval, entry 95 the oldest.
    struct CounterHistory {
        CounterHistory() : count(0), history() {}
        unsigned short count;
        History history;
    };
    typedef std::map<unsigned long, CounterHistory> HistoryTable;

    class PsTimerObserver : public TreflectObserver {
    public:
        enum Kind : unsigned long { CREATED = 0, DELETED = 1, INTERVAL = 2 };
        PsTimerObserver(PerformanceServiceAdapter* adapter, unsigned long kind);
        // Always 1.
        bool handleNotification() override;

    private:
        PerformanceServiceAdapter* adapter_;
        unsigned long kind_;
    };

    // Both register the adapter (with the link registry, and with the
    // interval timer object when `followTimer`). Called with the run permission.
    PerformanceServiceAdapter(PerformanceServiceUserIf* user, TreflectObject const& monitored, bool const& followTimer,
                              bool const& autoCreate);
    PerformanceServiceAdapter(PerformanceServiceUserIf* user, std::string const& name, bool const& followTimer,
                              bool const& autoCreate);
    // Closes the adapter if its user did not.
    ~PerformanceServiceAdapter();
    PerformanceServiceAdapter(PerformanceServiceAdapter const&) = delete;
    PerformanceServiceAdapter& operator=(PerformanceServiceAdapter const&) = delete;

    // The interval length in seconds.
    static unsigned long getIntervalLength() { return 900; }
    std::string const& getName() const { return name_; }

    // Takes the registrations back once no handler runs any more; from then
    // on nothing reaches the user. The user calls it first thing in its own
    // teardown. Called with the run permission held; gives it up to wait.
    void close();
    // A handler's passage, for the link that routes triggers here: taken
    // under the link's lock, so the adapter cannot go between its lookup and
    // the call. False once the adapter is closed. With the run permission held.
    bool enterHandler() { return gate_.enter(); }
    void leaveHandler() { gate_.leave(); }

    // ---- the history table (under the lock) ----
    // Closes one interval of a counter.
    void addHistoricData(unsigned long const& ident, unsigned long const& value);
    bool removeCounter(unsigned long const& ident);
    // Overwrites the most recent entry of an existing counter.
    bool setLatestHistoricData(unsigned long const& ident, unsigned long const& value);
    // False when the counter is unknown.
    bool getHistoricData(unsigned long const& ident, unsigned short& count, History& history);

    // ---- trigger handlers: each answers on `ps` with one remote call ----
    void getCurrentData(PerformanceServiceClient const& ps, unsigned long const& ident);      // 1
    void getHistoricData(PerformanceServiceClient const& ps, unsigned long const& ident);     // 2
    void existMonitoring(PerformanceServiceClient const& ps, unsigned long const& ident);     // 4
    void startMonitoring(PerformanceServiceClient const& ps, unsigned long const& ident);     // 5
    void stopMonitoring(PerformanceServiceClient const& ps, unsigned long const& ident);      // 6
    void resetMonitoring(PerformanceServiceClient const& ps);                                 // 7
    void getAdapterData(PerformanceServiceClient const& ps, TipprmiSequence<unsigned long> const& idents);  // 8

    // ---- the interval timer object ----
    void timerCreated(TreflectObject const& timer);
    void timerDeleted(TreflectObject const& timer);
    void intervalChanged();

private:
    void registration();
    // With the lock held: ident 0 asks for any counter.
    bool exists(unsigned long ident) const;

    PerformanceServiceUserIf* user_;
    std::string name_;
    bool autoCreate_;
    HistoryTable table_;
    OSWrap::Mutex lock_;
    bool followTimer_;
    PsIntervalTimerClient* timer_;
    PsTimerObserver* creationObserver_;
    PsTimerObserver* deletionObserver_;
    PsTimerObserver* changeObserver_;
    TreflectCallGate gate_;
    bool closed_;
    // Timer creations and deletions one at a time: each gives the run
    // permission up, and two together would follow two timers.
    TreflectMutex timerLock_;
};

}  // namespace Performance
