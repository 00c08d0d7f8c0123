#include "TopFlowAdapter.h"

#include <chrono>

#include "AdminStateClient.h"
#include "FaultServiceClient.h"
#include "REFLECT_objectStub.h"
#include "REFLECT_orb.h"
#include "TopAlarmReporter.h"
#include "TopPerfService.h"
#include "TopTrace.h"
#include "UnitIdClient.h"
#include "tmgr.h"
#include "topDrvAdapIf.h"

namespace {

// The chip's own side of the link: fixed, as on every card.
constexpr uint32_t kOwnAddress = 0xC0A8FF66;  // 192.168.255.102
constexpr uint32_t kNetmask = 0xFFFFFFFC;     // 255.255.255.252
constexpr uint32_t kGateway = 0xC0A8FF65;     // 192.168.255.101

AdminStateClient adminStateOf(TopFlowClient const& flow) { return flow.getFaultSvc().getAdminState(); }

TopEventFacade::Event_t eventOf(uint32_t key, int32_t condition, bool raise, uint32_t owner) {
    TopEventFacade::Event_t e;
    e.flowKey = key;
    e.condition = condition;
    e.report = raise ? TopEventFacade::Event_t::RAISE : TopEventFacade::Event_t::CANCEL;
    e.owner = owner;
    return e;
}

// The notification's arguments belong to its observer, and the next
// notification replaces them: a callback takes its own copy before it
// makes a remote call.
TipprmiSequence<TipprmiAny> argumentsOf(TreflectObserver* notification) {
    TipprmiSequence<TipprmiAny> const* args = notification->currentArguments();
    return args ? *args : TipprmiSequence<TipprmiAny>();
}

OSWrap::TimeSpec wallClockNow() {
    auto const ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch());
    return OSWrap::TimeSpec(0, ns.count());
}

}  // namespace

std::atomic<TopFlowAdapter::StateListener*> TopFlowAdapter::stateListener_{nullptr};
uint32_t TopFlowAdapter::chipOwner_ = 0;

namespace {
std::atomic<uint32_t> gAdapterSerials{0};
}

void TopFlowAdapter::enterState(int32_t state) {
    int32_t const previous = state_;
    state_ = state;
    stateSince_ = wallClockNow();
    if (StateListener* listener = stateListener_.load()) listener->stateChanged(*this, previous);
}

uint32_t TopFlowAdapter::foldAddress(TipprmiArray<short, 4> const& address) {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v = (v << 8) | static_cast<uint32_t>(static_cast<int32_t>(address[i]));
    return v;
}

TopFlowAdapter::TopFlowAdapter(TopFlowClient const& flow)
    : serial_(++gAdapterSerials),
      flow_(flow),
      perfService_(nullptr),
      eventKey_(static_cast<uint32_t>(UnitIdClient(flow.getLocationId()).getIdentifier())),
      masterIp_(0),
      logMeanSyncValue_(0),
      state_(DISABLED),
      pending_(false),
      logMeanSyncObserver_(this, &TopFlowAdapter::detectSetLogMeanSyncValue),
      masterIpObserver_(this, &TopFlowAdapter::detectSetMasterIp4Addr),
      driverInfoObserver_(this, &TopFlowAdapter::detectGetDriverInfo),
      adminObserver_(this, &TopFlowAdapter::detectFaultSvcStateChange),
      supervisor_(this, &TopFlowAdapter::oPeriodicTopDrvInfoRead, "TopFlowAdapterTimer"),
      closed_(false),
      generation_(0),
      latestRun_(0),
      perfWanted_(false),
      perfBusy_(false),
      disables_(0),
      stateSince_(wallClockNow()) {
    RunPermissionGuard permission;
    TOP_TRACE("%s() called", "TopFlowAdapter");
    observeOperations();
    readRate(logMeanSyncValue_);
    readMaster(masterIp_);
    applyAdminState(true);
    observeAdminState();
    // A change made between the first read and the observation reached nobody.
    applyAdminState(true);
    supervisor_.start(OSWrap::TimeSpec(10, 0), true, true);
    TOP_TRACE_STATE("%s(): Top API supervisor timer started", "TopFlowAdapter");
    registerAlarms();
}

TopFlowAdapter::~TopFlowAdapter() { close(); }

void TopFlowAdapter::close() {
    RunPermissionGuard permission;
    if (closed_) return;
    closed_ = true;
    // Before the first yield: a start-up wait that ends meanwhile must not
    // apply this adapter's values to a chip a newer adapter configures.
    newGeneration();
    TOP_TRACE("~%s()", "~TopFlowAdapter");
    gate_.close();
    // A lost flow's handle sends nothing: its actor is gone, and its observers with it.
    if (!flowLost()) {
        flow_.operation("setLogMeanSyncValue")->removeObserver(&logMeanSyncObserver_);
        flow_.operation("setMasterIp4Addr")->removeObserver(&masterIpObserver_);
        flow_.operation("getDriverInfo")->removeObserver(&driverInfoObserver_);
        adminStateOf(flow_).operation("notifyPermissionStateChange")->removeObserver(&adminObserver_);
    }
    disableAdapter();
    // Both run on threads that take the run permission: they are waited for without it.
    std::list<std::unique_ptr<WaitRun> > runs;
    runs.swap(topStartUpWait_);
    {
        RunPermissionRelease released;
        supervisor_.stop();
        for (auto& run : runs) run->join();
    }
    TOP_TRACE_STATE("%s(): Top API supervisor timer stopped", "~TopFlowAdapter");
    unregisterAlarms();
}

bool TopFlowAdapter::flowLost() const { return !flow_.getStub_()->isValid(); }

void TopFlowAdapter::rebind(TopFlowClient const& flow) {
    RunPermissionGuard permission;
    TreflectCallGate::Pass pass(gate_);
    if (!pass) return;
    flow_ = flow;
    observeOperations();
    observeAdminState();
    // Applied as they come, each only if no notification overtook its read:
    // a chip that still matches the flow is left alone.
    short rate = logMeanSyncValue_;
    if (readRate(rate) && rate != logMeanSyncValue_) {
        logMeanSyncValue_ = rate;
        applyLogMeanSyncValue("rebind");
    }
    uint32_t master = masterIp_;
    if (readMaster(master) && master != masterIp_) {
        uint32_t const previous = masterIp_;
        masterIp_ = master;
        applyMasterIp(previous);
    }
    unregisterAlarms();
    registerAlarms();
    // A wait under way tells the new flow itself when it ends.
    if (state_ == RUNNING) {
        initStatusDown_ = false;
        flow_.setTopDrvInitStatus(true);
    }
    applyAdminState(true);
}

void TopFlowAdapter::observeOperations() {
    if (!flow_.operation("setLogMeanSyncValue")->postObserve(&logMeanSyncObserver_))
        TOP_TRACE_ERROR("%s(): Unable to start observation of setLogMeanSyncValue", "TopFlowAdapter");
    if (!flow_.operation("setMasterIp4Addr")->postObserve(&masterIpObserver_))
        TOP_TRACE_ERROR("%s(): Unable to start observation of setMasterIp4Addr", "TopFlowAdapter");
    if (!flow_.operation("getDriverInfo")->preObserve(&driverInfoObserver_))
        TOP_TRACE_ERROR("%s(): Unable to start observation of getDriverInfo", "TopFlowAdapter");
}

void TopFlowAdapter::observeAdminState() {
    if (!adminStateOf(flow_).operation("notifyPermissionStateChange")->postObserve(&adminObserver_))
        TOP_TRACE_ERROR("%s(): Unable to start observation of AdminState::notifyPermissionStateChange",
                        "TopFlowAdapter");
}

void TopFlowAdapter::registerAlarms() {
    TopAlarmReporter* alarms = TopAlarmReporter::instance();
    // Both conditions are read before either record is claimed: the records
    // then change hands together, with no yield between.
    ConditionClient const syncSourceLost = flow_.getSyncSourceLost();
    ConditionClient const masterServiceUnavailable = flow_.getMasterServiceUnavailable();
    alarms->registerCondition(eventOf(eventKey_, TopEventFacade::Event_t::SYNC_SOURCE_LOST, false, serial_),
                              syncSourceLost, OSWrap::TimeSpec(2, 0), OSWrap::TimeSpec(10, 0));
    alarms->registerCondition(eventOf(eventKey_, TopEventFacade::Event_t::MASTER_SERVICE_UNAVAILABLE, false, serial_),
                              masterServiceUnavailable, OSWrap::TimeSpec(60, 0), OSWrap::TimeSpec(60, 0));
}

void TopFlowAdapter::unregisterAlarms() {
    TopAlarmReporter* alarms = TopAlarmReporter::instance();
    alarms->unregisterCondition(eventOf(eventKey_, TopEventFacade::Event_t::SYNC_SOURCE_LOST, false, serial_));
    alarms->unregisterCondition(eventOf(eventKey_, TopEventFacade::Event_t::MASTER_SERVICE_UNAVAILABLE, false, serial_));
}

bool TopFlowAdapter::readRate(short& rate) {
    uint32_t const ticket = rate_.begin();
    short const value = flow_.getLogMeanSyncValue();
    if (!rate_.settle(ticket)) return false;
    rate = value;
    return true;
}

bool TopFlowAdapter::readMaster(uint32_t& master) {
    uint32_t const ticket = master_.begin();
    uint32_t const value = foldAddress(flow_.getMasterIp4Addr());
    if (!master_.settle(ticket)) return false;
    master = value;
    return true;
}

bool TopFlowAdapter::adminEnabling() {
    RunPermissionGuard permission;
    return adminStateOf(flow_).internalGet() == 1;
}

void TopFlowAdapter::applyAdminState(bool onChange) {
    uint32_t const ticket = admin_.begin();
    bool const enabling = adminEnabling();
    // Reads overtake each other while they wait for their answers: the latest one is the truth.
    if (!admin_.settle(ticket)) return;
    if (onChange && enabling == (state_ != DISABLED)) return;
    if (enabling)
        enableAdapter();
    else
        disableAdapter();
}

// ---- enable, disable, the chip ----

void TopFlowAdapter::enableAdapter() {
    TOP_TRACE("%s()", "enableAdapter");
    if (state_ != DISABLED) {
        TOP_TRACE_STATE("%s(): Top is already enabled", "enableAdapter");
        return;
    }
    enterState(ENABLED);
    chipStart();
}

void TopFlowAdapter::disableAdapter() {
    TOP_TRACE("%s()", "disableAdapter");
    if (state_ == DISABLED) {
        TOP_TRACE_STATE("%s(): Top is already disabled", "disableAdapter");
        return;
    }
    // State and chip change before the performance service's deletion lets
    // other threads run: an enable meanwhile finds both off and starts afresh.
    enterState(DISABLED);
    newGeneration();
    perfWanted_ = false;
    ++disables_;
    chipStop();
    reconcilePerfService();
}

void TopFlowAdapter::chipStart() {
    if (state_ != ENABLED || masterIp_ == 0) return;
    chipConfiguration();
    // Whether or not the chip took the configuration.
    perfWanted_ = true;
    reconcilePerfService();
}

// One construction or deletion at a time, each giving the run permission up;
// whoever runs them goes on until the service matches what is wanted. A
// service built across a disable is stale: its counters began before it.
void TopFlowAdapter::reconcilePerfService() {
    if (perfBusy_) return;
    perfBusy_ = true;
    for (;;) {
        if (perfWanted_ && !perfService_) {
            uint32_t const disables = disables_;
            Performance::TopPerfService* service;
            {
                RunPermissionGuard permission;
                service = new Performance::TopPerfService(flow_);
            }
            if (disables == disables_) {
                perfService_ = service;
            } else {
                RunPermissionGuard permission;
                delete service;
            }
        } else if (!perfWanted_ && perfService_) {
            Performance::TopPerfService* service = perfService_;
            perfService_ = nullptr;
            RunPermissionGuard permission;
            delete service;
        } else {
            break;
        }
    }
    perfBusy_ = false;
}

void TopFlowAdapter::chipConfiguration() {
    if (masterIp_ == 0) {
        TOP_TRACE_ERROR("Top Master Ip address is 0");
        return;
    }
    TOP_TRACE("Configuring TOP [ownIpAddr 0x%x, netmask 0x%x],[GW 0x%x],[TopMaster 0x%x]", kOwnAddress, kNetmask,
              kGateway, masterIp_);
    TOP_TRACE("tmgr_taskIdSelf()=%u", static_cast<unsigned>(tmgr_taskIdSelf()));
    if (topDrvAdapIf_init(kOwnAddress, kNetmask, kGateway, masterIp_, logMeanSyncValue_, 0) != 0) {
        TOP_TRACE_ERROR("TOP chip configuration FAILED");
        return;
    }
    TOP_TRACE("TOP chip successfully configured, startung up ...");
    chipOwner_ = serial_;
    enterState(STARTING);
    pending_ = false;
    // A fresh run of its own: an earlier one still waiting ends by itself.
    newGeneration();
    latestRun_ = generation_;
    runTickets_.push_back(latestRun_);
    reapWaitRuns();
    std::unique_ptr<WaitRun> run(
        new WaitRun(this, &TopFlowAdapter::DrvStartUpWait, 0x80000, 3, 0, "topStartUpWait", true));
    if (run->start())
        topStartUpWait_.push_back(std::move(run));
    else
        runTickets_.pop_back();
}

void TopFlowAdapter::newGeneration() {
    wakeRuns_.lock();
    ++generation_;
    wakeRuns_.broadcast();
    wakeRuns_.unlock();
}

void TopFlowAdapter::reapWaitRuns() {
    for (auto it = topStartUpWait_.begin(); it != topStartUpWait_.end();) {
        if ((*it)->isRunning()) {
            ++it;
            continue;
        }
        (*it)->join();
        it = topStartUpWait_.erase(it);
    }
}

void TopFlowAdapter::chipStop() {
    // A closing adapter whose chip a newer adapter configured since leaves it alone.
    if (closed_ && chipOwner_ != serial_) {
        TOP_TRACE_STATE("Top chip runs another flow adapter's configuration: left running");
        return;
    }
    uint32_t driverState = 0;
    topDrvAdapIf_getStateInfo(&driverState);
    if (driverState == TOP_DRV_NOT_STARTED) {
        TOP_TRACE_STATE("Top driver is not started");
        return;
    }
    if (topDrvAdapIf_deinit() != 0) {
        TOP_TRACE_ERROR("Disabling TOP chip FAILED");
    } else {
        TOP_TRACE("Disabling TOP chip Successfully");
        chipOwner_ = 0;
    }
}

bool TopFlowAdapter::driverReady() const {
    uint32_t driverState = 0;
    return topDrvAdapIf_getStateInfo(&driverState) == 0 && state_ == RUNNING && driverState == TOP_DRV_RUNNING;
}

// ---- observations ----

bool TopFlowAdapter::flowReportsNoException() {
    return flow_.getStub_()->getExceptionContainer().getExceptionType() == 0;
}

void TopFlowAdapter::applyLogMeanSyncValue(char const* caller) {
    if (!driverReady()) {
        pending_ = true;
    } else if (topDrvAdapIf_setMessageRate(logMeanSyncValue_) != 0) {
        TOP_TRACE_ERROR("%s(): Failed set message rate = %d to top driver", caller, logMeanSyncValue_);
    }
}

void TopFlowAdapter::applyMasterIp(uint32_t previous) {
    if (!driverReady()) {
        pending_ = true;
        // An enabled adapter that waited for its first master address starts now.
        if (previous == 0) chipStart();
    } else if (topDrvAdapIf_setMasterIp(masterIp_) != 0) {
        TOP_TRACE_ERROR("Failed setting master ip address to top driver");
    }
}

bool TopFlowAdapter::detectSetLogMeanSyncValue(TreflectObserver* notification) {
    RunPermissionGuard permission;
    TreflectCallGate::Pass pass(gate_);
    if (!pass) return true;
    TOP_TRACE("%s() called ", "detectSetLogMeanSyncValue");
    {
        uint32_t const ticket = rate_.begin();
        TipprmiSequence<TipprmiAny> const args = argumentsOf(notification);
        short value = logMeanSyncValue_;
        if (flowReportsNoException() && observedArgument(args, 1, value) && rate_.settle(ticket))
            logMeanSyncValue_ = value;
    }
    TOP_TRACE("Top SetLogMeanSyncValue %d ", logMeanSyncValue_);
    applyLogMeanSyncValue("detectSetLogMeanSyncValue");
    return true;
}

bool TopFlowAdapter::detectSetMasterIp4Addr(TreflectObserver* notification) {
    RunPermissionGuard permission;
    TreflectCallGate::Pass pass(gate_);
    if (!pass) return true;
    TOP_TRACE("%s() called ", "detectSetMasterIp4Addr");
    uint32_t previous = masterIp_;
    {
        uint32_t const ticket = master_.begin();
        TipprmiSequence<TipprmiAny> const args = argumentsOf(notification);
        TipprmiArray<short, 4> address;
        if (flowReportsNoException() && observedArgument(args, 1, address) && master_.settle(ticket)) {
            // The exception test yields: "previous" is what this notice replaces.
            previous = masterIp_;
            masterIp_ = foldAddress(address);
        }
    }
    TOP_TRACE("Top Master IP Addr %x ", masterIp_);
    applyMasterIp(previous);
    return true;
}

bool TopFlowAdapter::detectFaultSvcStateChange(TreflectObserver*) {
    RunPermissionGuard permission;
    TreflectCallGate::Pass pass(gate_);
    if (!pass) return true;
    TOP_TRACE("%s()", "detectFaultSvcStateChange");
    applyAdminState(false);
    return true;
}

bool TopFlowAdapter::detectGetDriverInfo(TreflectObserver*) {
    RunPermissionGuard permission;
    TreflectCallGate::Pass pass(gate_);
    if (!pass) return true;
    TopFlowClient::DriverInfo info;
    if (!flowReportsNoException() || !driverReady()) return true;
    uint32_t lock = 0, service = 0, clock = 0;
    if (topDrvAdapIf_getLockState(&lock) != 0) {
        TOP_TRACE_ERROR("%s(): getLockState failed, setting to MASTER_STATE_UNLOCKED", "detectGetDriverInfo");
        info.masterLockState = 1;
    } else {
        info.masterLockState = lock == 1 ? 0 : 1;
    }
    if (topDrvAdapIf_getMasterServiceState(&service) == 0 && topDrvAdapIf_getMasterClockState(&clock) == 0) {
        info.masterClockState = TopFlowClient::MasterClockState(clock != 1 ? 2 : service != 1 ? 3 : 0);
    } else {
        TOP_TRACE_ERROR("%s(): getMasterClockState failed, setting to MASTER_CLOCK_UNKNOWN", "detectGetDriverInfo");
        info.masterClockState = TopFlowClient::MasterClockState(1);
    }
    flow_.setDriverInfo(info);
    return true;
}

// ---- the driver's start-up and its supervision ----

// A run acts for the configuration that started it. When a disable or a
// newer configuration comes, it stops waiting at once and leaves the
// adapter's state, pending values and the flow's init status to their owner.
int TopFlowAdapter::DrvStartUpWait() {
    RunPermissionGuard permission;
    TOP_TRACE("%s() called ", "DrvStartUpWait");
    uint32_t const mine = runTickets_.front();
    runTickets_.pop_front();
    if (state_ != STARTING) {
        TOP_TRACE_ERROR("%s(): Unknown adapter state = %d", "DrvStartUpWait", state_);
        // Begun after the disable that ended its configuration: the run this
        // one superseded left the flow's flag to it.
        if (mine == latestRun_ && initStatusDown_) {
            TOP_TRACE("Setting the topDrvInitStatus to true, as driver startup is done.");
            initStatusDown_ = false;
            flow_.setTopDrvInitStatus(true);
        }
        return 0;
    }
    if (mine != latestRun_) return 0;
    TOP_TRACE("%s(): starting wating loop for driver to finish ", "DrvStartUpWait");
    TOP_TRACE("Setting the topDrvInitStatus to false, till the driver start up.");
    initStatusDown_ = true;
    flow_.setTopDrvInitStatus(false);
    uint32_t driverState = 0;
    TreflectORB::releaseRunPermission();
    for (;;) {
        topDrvAdapIf_getStateInfo(&driverState);
        if (driverState == TOP_DRV_RUNNING || driverState == TOP_DRV_NOT_STARTED || generation_ != mine) break;
        wakeRuns_.lock();
        if (generation_ == mine) wakeRuns_.wait(OSWrap::TimeSpec(1, 0));
        wakeRuns_.unlock();
    }
    TreflectORB::getRunPermission();
    if (latestRun_ == mine) {
        TOP_TRACE("Setting the topDrvInitStatus to true, as driver startup is done.");
        initStatusDown_ = false;
        flow_.setTopDrvInitStatus(true);
    }
    bool const current = generation_ == mine;
    if (driverState == TOP_DRV_RUNNING) {
        TOP_TRACE("%s(): Driver start up successfully finished", "DrvStartUpWait");
        if (current) {
            if (pending_) {
                if (topDrvAdapIf_setMessageRate(logMeanSyncValue_) != 0)
                    TOP_TRACE_ERROR("%s(): Failed set message rate = %d to top driver", "DrvStartUpWait",
                                    logMeanSyncValue_);
                if (topDrvAdapIf_setMasterIp(masterIp_) != 0)
                    TOP_TRACE_ERROR("Failed setting master ip address to top driver");
            }
            enterState(RUNNING);
        }
    } else if (driverState == TOP_DRV_NOT_STARTED) {
        if (current) {
            TOP_TRACE_ERROR("%s(): Driver went down while starting up", "DrvStartUpWait");
            enterState(ENABLED);
        } else if (state_ == DISABLED) {
            TOP_TRACE_STATE("%s(): Device disabled while starting up driver", "DrvStartUpWait");
        }
    } else {
        TOP_TRACE_ERROR("%s(): Unknown driver state = %d", "DrvStartUpWait", static_cast<int>(driverState));
    }
    if (current) pending_ = false;
    return 0;
}

// On the timer's thread: the run permission keeps the adapter still meanwhile.
int TopFlowAdapter::oPeriodicTopDrvInfoRead() {
    RunPermissionGuard permission;
    TreflectCallGate::Pass pass(gate_);
    if (!pass || !driverReady()) return 0;
    uint32_t api = 0;
    topDrvAdapIf_getApiState(&api);
    if (api != 1) return 0;
    TOP_TRACE_ERROR("%s(): ToP API certified dead - reviving procedure!", "oPeriodicTopDrvInfoRead");
    TOP_TRACE("%s(): API dead stop ToP driver", "oPeriodicTopDrvInfoRead");
    chipStop();
    TOP_TRACE("%s(): restart ToP driver to revive API", "oPeriodicTopDrvInfoRead");
    chipConfiguration();
    TOP_TRACE_ERROR("%s(): ToP reviving procedure done", "oPeriodicTopDrvInfoRead");
    return 0;
}

// Called with the run permission held. Posting gives it up: a teardown that
// starts meanwhile waits, so no report of this adapter follows its records'
// removal (a re-created flow may own the same key by then).
void TopFlowAdapter::pollConditions() {
    TreflectCallGate::Pass pass(gate_);
    // Nobody would hear the reports of a flow whose actor went away.
    if (!pass || flowLost()) return;
    bool const ready = driverReady();
    bool locked = false;
    uint32_t lock = 0;
    if (ready) locked = topDrvAdapIf_getLockState(&lock) == 0 && lock == 1;
    TopEventFacade* bus = TopEventFacade::instance();
    bus->post(eventOf(eventKey_, TopEventFacade::Event_t::MASTER_SERVICE_UNAVAILABLE, !ready, serial_));
    bus->post(eventOf(eventKey_, TopEventFacade::Event_t::SYNC_SOURCE_LOST, ready && !locked, serial_));
}
