// One TopFlow object of the management model bound to the ToP chip: enables
// and configures the chip from the flow's administrative state, master
// address and message rate, waits for the driver's start-up, revives a
// driver whose API died, answers the flow's driver information and polls the
// flow's two alarm conditions.
//
// Every member is used under the run permission, which handler threads give
// up inside remote calls: any operation that makes one may find the adapter
// changed when it returns. What the adapters share with each other and with
// the task's other handlers, who changes it, and what is held across a yield
// is written down in Concurrency.txt beside this file; a new handler is
// written against it.
#pragma once

#include <stdint.h>

#include <atomic>
#include <deque>
#include <list>
#include <memory>

#include "OSWrap.h"
#include "REFLECT_CallGate.h"
#include "REFLECT_ObserverSkeleton.h"
#include "TopFlowClient.h"

namespace Performance {
class TopPerfService;
}

class TopFlowAdapter {
public:
    // Adapter states.
    enum State : int32_t { DISABLED = 0, ENABLED = 1, STARTING = 2, RUNNING = 3 };

    // One value read from the model, by reads that give the run permission up
    // and by notifications: the latest one begun wins (Concurrency.txt,
    // "flow values"). Used under the run permission.
    class LatestWins {
    public:
        // Before the read or the notification's first yield.
        uint32_t begin() { return ++begun_; }
        // Whether its outcome may be stored: nothing begun later was stored.
        bool settle(uint32_t ticket) {
            if (ticket < settled_) return false;
            settled_ = ticket;
            return true;
        }

    private:
        uint32_t begun_ = 0, settled_ = 0;
    };

    // Told of every change of an adapter's state, on the changing thread,
    // with or without the run permission; must return without waiting.
    class StateListener {
    public:
        virtual ~StateListener() {}
        virtual void stateChanged(TopFlowAdapter const& flow, int32_t previous) = 0;
    };
    // The process-wide listener (null: none).
    static void setStateListener(StateListener* listener) { stateListener_.store(listener); }

    // Called with the run permission held (an ORB handler thread).
    explicit TopFlowAdapter(TopFlowClient const& flow);
    // Closes the adapter if nobody did.
    ~TopFlowAdapter();
    TopFlowAdapter(TopFlowAdapter const&) = delete;
    TopFlowAdapter& operator=(TopFlowAdapter const&) = delete;

    // Takes the adapter down now: observations, chip, timer, start-up waits,
    // alarm records. Whoever drops the last reference later only frees it.
    // Called with the run permission held; gives it up while it waits.
    // Order: end the start-up waits' say, close the gate and wait for the
    // callbacks inside, stop observing, disable (the chip only if this
    // adapter still owns it; the performance service), stop the timer and
    // join the waits without the permission, drop the alarm records it still
    // owns.
    void close();
    bool closing() const { return closed_; }
    // The flow's actor went away: its handle is invalid for good.
    bool flowLost() const;
    // Follows the same flow in a restarted model: observes it, takes over its
    // values without touching a chip that still matches them, and reports the
    // alarm conditions to it afresh. Called with the run permission held.
    void rebind(TopFlowClient const& flow);

    void enableAdapter();
    void disableAdapter();

    // Observation callbacks; each returns 1.
    bool detectSetLogMeanSyncValue(TreflectObserver* notification);
    bool detectSetMasterIp4Addr(TreflectObserver* notification);
    bool detectGetDriverInfo(TreflectObserver* notification);
    bool detectFaultSvcStateChange(TreflectObserver* notification);

    // Body of each "topStartUpWait" run; returns 0. Holds the run permission
    // except while it polls the driver.
    int DrvStartUpWait();
    // The API supervisor, every 10 s on the timer's thread; returns 0. Takes
    // the run permission for its whole body, which never gives it up.
    int oPeriodicTopDrvInfoRead();
    // Posts the flow's two alarm conditions (the services adapter's poll).
    void pollConditions();

    // The driver runs and the adapter knows it.
    bool driverReady() const;
    int32_t state() const { return state_; }
    uint32_t eventKey() const { return eventKey_; }
    uint32_t masterIp() const { return masterIp_; }
    short logMeanSyncValue() const { return logMeanSyncValue_; }
    bool pending() const { return pending_; }
    bool countersRun() const { return perfService_ != nullptr; }
    TopFlowClient const& flow() const { return flow_; }
    // Wall-clock time of the last change of state (of construction before).
    OSWrap::TimeSpec stateSince() const { return stateSince_; }

    // The flow's master address, element 0 the most significant octet.
    static uint32_t foldAddress(TipprmiArray<short, 4> const& address);
    // The adapter whose configuration the chip runs (0: none); the run
    // permission guards it (Concurrency.txt, "the chip").
    static uint32_t chipOwner() { return chipOwner_; }
    uint32_t serial() const { return serial_; }

private:
    typedef OSWrap::MethodThread<TopFlowAdapter> WaitRun;

    // Every write of the adapter state: records its time and tells the listener.
    void enterState(int32_t state);

    bool adminEnabling();
    // Reads the administrative state and applies it, unless a later read was
    // applied meanwhile; `onChange`: only when it differs from the adapter's.
    void applyAdminState(bool onChange);
    void observeOperations();
    void observeAdminState();
    // The flow's exception test (a remote call).
    bool flowReportsNoException();
    // The alarm records of the event key, owned by this adapter (Concurrency.txt, "alarm records").
    void registerAlarms();
    void unregisterAlarms();
    // Read the flow's value into `value` (remote calls) unless a notification
    // began after the read; tell whether it was stored.
    bool readRate(short& value);
    bool readMaster(uint32_t& value);
    void applyLogMeanSyncValue(char const* caller);
    void applyMasterIp(uint32_t previous);
    void chipStart();
    void chipConfiguration();
    void chipStop();
    // Makes the flow's performance service exist exactly while the chip start wants it.
    void reconcilePerfService();
    // Ends the start-up waits of earlier generations.
    void newGeneration();
    void reapWaitRuns();

    uint32_t const serial_;  // owner token of the chip and the alarm records; never 0
    TopFlowClient flow_;
    Performance::TopPerfService* perfService_;
    uint32_t eventKey_;
    uint32_t masterIp_;
    short logMeanSyncValue_;
    int32_t state_;
    bool pending_;
    // One run per chip configuration; a finished run is joined by the next.
    std::list<std::unique_ptr<WaitRun> > topStartUpWait_;
    TreflectNotificator<TopFlowAdapter> logMeanSyncObserver_, masterIpObserver_, driverInfoObserver_, adminObserver_;
    OSWrap::AttachedTimer<TopFlowAdapter> supervisor_;

    TreflectCallGate gate_;  // Concurrency.txt, "an adapter's own members"
    bool closed_;
    // Bumped by every chip configuration, disable and close; read by the
    // waits without the run permission (Concurrency.txt).
    std::atomic<uint32_t> generation_;
    uint32_t latestRun_;              // generation of the latest configuration
    std::deque<uint32_t> runTickets_;  // generations of runs not yet begun
    bool initStatusDown_ = false;      // a run told the flow the driver is starting; nobody told it the end
    OSWrap::ConditionVar wakeRuns_;
    // The chip start asked for a performance service and no disable came
    // since; perfBusy_: a construction or deletion is under way (Concurrency.txt).
    bool perfWanted_;
    bool perfBusy_;
    uint32_t disables_;
    LatestWins admin_, rate_, master_;
    OSWrap::TimeSpec stateSince_;
    static std::atomic<StateListener*> stateListener_;
    static uint32_t chipOwner_;
};
