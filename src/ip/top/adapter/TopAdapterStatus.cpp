#include "TopAdapterStatus.h"

#include <algorithm>
#include <chrono>
#include <vector>

#include "Env.h"
#include "HandlerThreadPolicies.h"
#include "Log.h"
#include "REFLECT_orb.h"
#include "TopAlarmReporter.h"
#include "TopServicesAdapter.h"
#include "UnitInformation.h"
#include "topDrvAdapIf.h"

TopAdapterStatus* TopAdapterStatus::instance_ = nullptr;

namespace {

typedef TopAdapterStatusClient::StateChange StateChange;
typedef AlarmReporter<TopEventFacade::Event_t> Reporter;

void split(OSWrap::TimeSpec const& t, unsigned long& sec, unsigned long& ms) {
    sec = static_cast<unsigned long>(t.seconds());
    ms = static_cast<unsigned long>(t.nanoseconds() / 1000000);
}

OSWrap::TimeSpec wallClockNow() {
    auto const ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch());
    return OSWrap::TimeSpec(0, ns.count());
}

}  // namespace

void TopAdapterStatus::start() {
    RunPermissionGuard permission;
    if (instance_) return;
    instance_ = new TopAdapterStatus(UnitInformation::instance()->getUnitNumber());
    TopFlowAdapter::setStateListener(instance_);
}

TopAdapterStatus::TopAdapterStatus(unsigned long unit)
    : TopAdapterStatusServerBase(TipprmiOID(TopAdapterStatusClient::NAME + "-" + std::to_string(unit)), nullptr,
                                 TopAdapterStatusClient::NAME),
      dropped_(0),
      stopping_(false),
      notifier_(this, &TopAdapterStatus::run, 0x10000, 3, 0, "TopStatusNotifier", true) {
    notifier_.start();
    // Tools find the tasks of a node as instances of the class.
    sendCreationEvent(TopAdapterStatusClient::staticMeta());
}

TopAdapterStatus::~TopAdapterStatus() {
    TopFlowAdapter::setStateListener(nullptr);
    queueLock_.lock();
    stopping_ = true;
    queueLock_.signal();
    queueLock_.unlock();
    {
        RunPermissionRelease released;
        notifier_.join();
    }
    sendDeletionEvent(TopAdapterStatusClient::staticMeta());
}

void TopAdapterStatus::stateChanged(TopFlowAdapter const& flow, int32_t previous) {
    StateChange c;
    c.key = flow.eventKey();
    c.previous = previous;
    c.state = flow.state();
    c.masterIp = flow.masterIp();
    split(flow.stateSince(), c.sec, c.ms);
    queueLock_.lock();
    if (queue_.size() < kMaxQueued) {
        queue_.push_back(c);
        queueLock_.signal();
    } else if (dropped_++ == 0) {
        TA_LOG(4, "TopAdapterStatus: state changes not announced: the notifier is held up");
    }
    queueLock_.unlock();
}

int TopAdapterStatus::run() {
    for (;;) {
        queueLock_.lock();
        while (queue_.empty() && !stopping_) queueLock_.wait();
        if (stopping_) {
            queueLock_.unlock();
            return 0;
        }
        StateChange const c = queue_.front();
        queue_.pop_front();
        if (queue_.empty() && dropped_ > 0) {
            TA_LOG(4, "TopAdapterStatus: %lu state changes were not announced", dropped_);
            dropped_ = 0;
        }
        queueLock_.unlock();
        // Observers are told through the served operation itself; the call
        // gives the run permission up while they answer.
        RunPermissionGuard permission;
        TopAdapterStatusClient(*getClient()).stateChanged(c);
    }
}

TopAdapterStatusClient::FlowStatus TopAdapterStatus::statusOf(TopFlowAdapter const& flow) {
    TopAdapterStatusClient::FlowStatus s;
    s.key = flow.eventKey();
    s.state = flow.state();
    split(flow.stateSince(), s.sinceSec, s.sinceMs);
    s.masterIp = flow.masterIp();
    s.logMeanSyncValue = flow.logMeanSyncValue();
    s.pending = flow.pending();
    s.counting = flow.countersRun();
    return s;
}

TopAdapterStatusClient::TaskStatus TopAdapterStatus::getStatus() {
    TopAdapterStatusClient::TaskStatus t;
    t.topSupported = envInfoTimingOverPacketSupported() != 0;
    t.unit = UnitInformation::instance()->getUnitNumber();
    uint32_t driver = 0, api = 0;
    t.driverState = topDrvAdapIf_getStateInfo(&driver) == 0 ? static_cast<long>(driver) : -1;
    // The driver refuses the API's state unless it runs; an operator's look
    // must not break its call order.
    t.apiState = t.driverState == TOP_DRV_RUNNING && topDrvAdapIf_getApiState(&api) == 0 ? static_cast<long>(api) : -1;
    split(wallClockNow(), t.nowSec, t.nowMs);
    if (!t.topSupported) return t;
    // The adapters are read first and kept alive: reading the alarm records
    // waits for the reporter's lock without the run permission, and the
    // table may change meanwhile.
    std::vector<boost::shared_ptr<TopFlowAdapter> > const adapters = TopServicesAdapter::instance()->liveAdapters();
    for (auto const& adapter : adapters) t.flows.push_back(statusOf(*adapter));
    Reporter& reporter = TopAlarmReporter::instance()->reporter();
    for (unsigned long i = 0; i < t.flows.getLength(); ++i) {
        for (int32_t condition = 1; condition <= 2; ++condition) {
            TopEventFacade::Event_t e;
            e.flowKey = static_cast<uint32_t>(t.flows[i].key);
            e.condition = condition;
            e.report = TopEventFacade::Event_t::CANCEL;
            Reporter::Record const r = reporter.record(e);
            TopAdapterStatusClient::AlarmStatus a;
            a.condition = condition;
            a.raise = r.alarm.raise;
            a.phase = r.phase;
            bool const due = r.phase == Reporter::NEW || r.phase == Reporter::PENDING ||
                             (r.phase == Reporter::WITHDRAWING && r.alarm.raise);
            a.dueMs = due ? static_cast<long>((r.deadline - OSWrap::Clock::getTime()).totalNanoseconds() / 1000000) : -1;
            if (a.dueMs < -1) a.dueMs = 0;
            t.flows[i].alarms.push_back(a);
        }
    }
    // Key order, as an operator reads them.
    std::vector<TopAdapterStatusClient::FlowStatus> sorted;
    for (unsigned long i = 0; i < t.flows.getLength(); ++i) sorted.push_back(t.flows[i]);
    std::sort(sorted.begin(), sorted.end(),
              [](TopAdapterStatusClient::FlowStatus const& a, TopAdapterStatusClient::FlowStatus const& b) {
                  return a.key < b.key;
              });
    t.flows.setLength(0);
    for (auto const& f : sorted) t.flows.push_back(f);
    return t;
}
