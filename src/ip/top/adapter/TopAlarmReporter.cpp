#include "TopAlarmReporter.h"

#include "Log.h"
#include "REFLECT_objectStub.h"
#include "REFLECT_orb.h"

template <class Event_t>
OSWrap::TimeSpec const AlarmReporter<Event_t>::MAX_TIME(0x7FFFFFFF, 0x7FFFFFFF);

template <class Event_t>
AlarmReporter<Event_t>::AlarmReporter(std::string const& threadName, unsigned stackSize, OSWrap::Priority priority,
                                      OSWrap::SchedulingPolicy policy, OSWrap::TimeSpec const& raiseDelay,
                                      OSWrap::TimeSpec const& cancelDelay, OSWrap::TimeSpec const& window)
    : thread_(this, &AlarmReporter::run, stackSize, priority, policy, threadName, true),
      state_(CREATED),
      raiseDelay_(raiseDelay),
      cancelDelay_(cancelDelay),
      window_(window),
      now_(&OSWrap::Clock::getTime) {}

template <class Event_t>
AlarmReporter<Event_t>::~AlarmReporter() {
    stop();
}

template <class Event_t>
void AlarmReporter<Event_t>::registerAlarm(Event_t const& event, ConditionClient const& condition) {
    registerAlarm(event, condition, raiseDelay_, cancelDelay_);
}

template <class Event_t>
void AlarmReporter<Event_t>::registerAlarm(Event_t const& event, ConditionClient const& condition,
                                           OSWrap::TimeSpec const& raiseDelay, OSWrap::TimeSpec const& cancelDelay) {
    condition_.lock();
    if (!table_.count(event.key())) arm(table_[event.key()], condition, raiseDelay, cancelDelay, event.owner);
    condition_.unlock();
}

template <class Event_t>
void AlarmReporter<Event_t>::claimAlarm(Event_t const& event, ConditionClient const& condition,
                                        OSWrap::TimeSpec const& raiseDelay, OSWrap::TimeSpec const& cancelDelay) {
    condition_.lock();
    auto it = table_.find(event.key());
    if (it == table_.end() || it->second.owner != event.owner)
        arm(table_[event.key()], condition, raiseDelay, cancelDelay, event.owner);
    condition_.unlock();
}

template <class Event_t>
void AlarmReporter<Event_t>::arm(Record& r, ConditionClient const& condition, OSWrap::TimeSpec const& raiseDelay,
                                 OSWrap::TimeSpec const& cancelDelay, uint32_t owner) {
    r.alarm.condition = condition;
    r.alarm.raise = false;
    r.phase = NEW;
    r.raiseDelay = raiseDelay;
    r.cancelDelay = cancelDelay;
    r.deadline = now_() + raiseDelay + OSWrap::TimeSpec(1, 0);
    r.owner = owner;
    condition_.signal();
}

template <class Event_t>
void AlarmReporter<Event_t>::removeAlarm(Event_t const& event) {
    condition_.lock();
    auto it = table_.find(event.key());
    if (it != table_.end() && ownedBy(it->second, event)) table_.erase(it);
    condition_.unlock();
}

template <class Event_t>
void AlarmReporter<Event_t>::rearm(Event_t const& event) {
    condition_.lock();
    auto it = table_.find(event.key());
    if (it != table_.end()) {
        it->second.alarm.raise = false;
        it->second.phase = NEW;
        it->second.deadline = now_() + it->second.raiseDelay + OSWrap::TimeSpec(1, 0);
        condition_.signal();
    }
    condition_.unlock();
}

template <class Event_t>
void AlarmReporter<Event_t>::withdraw(Event_t const& event) {
    condition_.lock();
    auto it = table_.find(event.key());
    if (it != table_.end()) {
        it->second.alarm.raise = true;
        it->second.phase = WITHDRAWING;
        it->second.deadline = now_();
        condition_.signal();
    }
    condition_.unlock();
}

template <class Event_t>
bool AlarmReporter<Event_t>::start() {
    condition_.lock();
    bool const starting = state_ == CREATED;
    if (starting) {
        state_ = STARTED;
        thread_.start();
    }
    condition_.unlock();
    return starting;
}

template <class Event_t>
void AlarmReporter<Event_t>::stop() {
    condition_.lock();
    bool const running = state_ != CREATED && state_ != STOP;
    state_ = STOP;
    condition_.signal();
    condition_.unlock();
    if (running) {
        // The thread needs the run permission to see the request.
        RunPermissionRelease released;
        thread_.join();
    }
    condition_.lock();
    table_.clear();
    condition_.unlock();
}

template <class Event_t>
int32_t AlarmReporter<Event_t>::state() {
    condition_.lock();
    int32_t const s = state_;
    condition_.unlock();
    return s;
}

template <class Event_t>
size_t AlarmReporter<Event_t>::size() {
    condition_.lock();
    size_t const n = table_.size();
    condition_.unlock();
    return n;
}

template <class Event_t>
typename AlarmReporter<Event_t>::Record AlarmReporter<Event_t>::record(Event_t const& event) {
    condition_.lock();
    auto it = table_.find(event.key());
    Record r = it == table_.end() ? Record() : it->second;
    condition_.unlock();
    return r;
}

// The condition's name and, between angle brackets, its parent's identifier.
template <class Event_t>
std::string AlarmReporter<Event_t>::textOf(PhysicalServicesClient::Alarm const& alarm) {
    TreflectObject const parent = alarm.condition.getParent();
    char const* id = parent.isConnected() ? parent.getOID().getIdString() : nullptr;
    return alarm.condition.getRelName() + "<" + (id ? id : "?") + ">";
}

template <class Event_t>
void AlarmReporter<Event_t>::handle(Event_t const& event) {
    RunPermissionGuard permission;
    condition_.lock();
    auto it = table_.find(event.key());
    if (it != table_.end() && it->second.phase != WITHDRAWING && ownedBy(it->second, event)) {
        Record& r = it->second;
        bool const desired = event.report == Event_t::RAISE;
        if (desired != r.alarm.raise) {
            r.alarm.raise = desired;
            // Back to the value last sent before its deadline: the pending change goes.
            if (r.phase != NEW) r.phase = r.phase == PENDING ? SENT : PENDING;
            if (r.phase != SENT) {
                TA_LOG(6, "Detect: %s %s ", desired ? "Raise" : "Cancel", textOf(r.alarm).c_str());
                r.deadline = now_() + (desired ? r.raiseDelay : r.cancelDelay);
                condition_.signal();
            }
        }
    }
    condition_.unlock();
}

template <class Event_t>
OSWrap::TimeSpec AlarmReporter<Event_t>::earliestDeadline() const {
    OSWrap::TimeSpec earliest = MAX_TIME;
    for (auto const& entry : table_) {
        Record const& r = entry.second;
        bool const due = (r.phase == WITHDRAWING && r.alarm.raise) || r.phase == NEW || r.phase == PENDING;
        if (due && r.deadline < earliest) earliest = r.deadline;
    }
    return earliest;
}

// A condition whose actor went away is read by nobody, and its identifiers
// may already name another object of that actor's successor (a restarted
// model makes its objects in the same order): its changes go unsent.
template <class Event_t>
void AlarmReporter<Event_t>::gather(OSWrap::TimeSpec const& limit, Batch& batch) {
    batch.setLength(0);
    auto send = [&batch](Record const& r) {
        if (r.alarm.condition.getStub_()->isValid()) batch.push_back(r.alarm);
    };
    for (auto& entry : table_) {
        Record& r = entry.second;
        if ((r.phase == NEW || r.phase == PENDING) && r.alarm.raise && r.deadline <= limit) {
            send(r);
            r.phase = SENT;
        }
    }
    for (auto it = table_.begin(); it != table_.end();) {
        Record& r = it->second;
        if (r.phase == WITHDRAWING && r.alarm.raise && r.deadline <= limit) {
            r.alarm.raise = false;
            send(r);
            it = table_.erase(it);
            continue;
        }
        if ((r.phase == NEW || r.phase == PENDING) && !r.alarm.raise && r.deadline <= limit) {
            send(r);
            r.phase = SENT;
        }
        ++it;
    }
}

template <class Event_t>
bool AlarmReporter<Event_t>::collect(Batch& batch) {
    condition_.lock();
    OSWrap::TimeSpec now = now_();
    OSWrap::TimeSpec const earliest = earliestDeadline();
    if (now < earliest && state_ != STOP) {
        state_ = WAITING;
        condition_.wait(earliest == MAX_TIME ? OSWrap::TimeSpec::INFINITETIME : earliest - now);
        now = now_();
    }
    gather(now + window_, batch);
    bool const going = state_ != STOP;
    condition_.unlock();
    return going;
}

template <class Event_t>
int AlarmReporter<Event_t>::run() {
    TreflectORB::enterHandlerState(true);
    {
        TipprmiOID const name(PhysicalServicesClient::NAME, NSID_UNIT);
        PhysicalServicesClient services(name);
        Batch batch;
        while (state() != STOP && collect(batch)) {
            if (batch.getLength() == 0) continue;
            condition_.lock();
            if (state_ != STOP) state_ = DISPATCHING;
            condition_.unlock();
            // A handle on a model that went away stays invalid; its successor is found by name.
            if (!services.getStub_()->isValid()) services = PhysicalServicesClient(name);
            services.dispatchAlarms(batch);
        }
    }
    TreflectORB::leaveHandlerState(true);
    return 0;
}

template class AlarmReporter<TopEventFacade::Event_t>;

// ---- the task's reporter ----

TopAlarmReporter::TopAlarmReporter()
    : reporter_("TopAlarmReporter", 0x10000, 5, 0, OSWrap::TimeSpec(2, 500000000), OSWrap::TimeSpec(11, 500000000),
                OSWrap::TimeSpec(0, 500000000)) {}

void TopAlarmReporter::registerCondition(Event_t const& event, ConditionClient const& condition,
                                         OSWrap::TimeSpec const& raiseDelay, OSWrap::TimeSpec const& cancelDelay) {
    reporter_.claimAlarm(event, condition, raiseDelay, cancelDelay);
    TopEventFacade::instance()->subscribe(event, &reporter_);
}

void TopAlarmReporter::unregisterCondition(Event_t const& event) {
    TopEventFacade::instance()->unsubscribe(event, &reporter_);
    reporter_.removeAlarm(event);
}
