// Alarm reporting: each (flow key, condition) has a record that debounces
// its raise and cancel reports with delays of its own; a thread sends the
// changes that fall due, in batches, with one dispatchAlarms call.
#pragma once

#include <stdint.h>

#include <map>
#include <string>

#include "AfwSingleton.h"
#include "ConditionClient.h"
#include "OSWrap.h"
#include "PhysicalServicesClient.h"
#include "REFLECT_ConditionVar.h"
#include "TopEventFacade.h"

template <class Event_t>
class AlarmReporter : public EventHandler<Event_t> {
public:
    typedef typename Event_t::Key Key;
    typedef TipprmiSequence<PhysicalServicesClient::Alarm> Batch;

    // Record phases: nothing sent yet, a change pending, the model knows the
    // value, a final cancel due.
    enum Phase : int32_t { NEW = 0, PENDING = 1, SENT = 2, WITHDRAWING = 3 };
    enum State : int32_t { CREATED = 0, WAITING = 1, DISPATCHING = 2, STARTED = 4, STOP = 8 };

    struct Record {
        PhysicalServicesClient::Alarm alarm;
        OSWrap::TimeSpec deadline;
        int32_t phase = NEW;
        OSWrap::TimeSpec raiseDelay, cancelDelay;
        uint32_t owner = 0;  // the registering event's owner
    };

    // No deadline.
    static OSWrap::TimeSpec const MAX_TIME;

    AlarmReporter(std::string const& threadName, unsigned stackSize, OSWrap::Priority priority,
                  OSWrap::SchedulingPolicy policy, OSWrap::TimeSpec const& raiseDelay,
                  OSWrap::TimeSpec const& cancelDelay, OSWrap::TimeSpec const& window);
    // Stops the thread when it runs.
    ~AlarmReporter() override;

    // Debounces a report; runs on the posting thread. A report of another
    // owner than the record's is ignored.
    void handle(Event_t const& event) override;
    virtual void registerAlarm(Event_t const& event, ConditionClient const& condition);
    virtual void registerAlarm(Event_t const& event, ConditionClient const& condition,
                               OSWrap::TimeSpec const& raiseDelay, OSWrap::TimeSpec const& cancelDelay);
    // Registers the record for the event's owner: one that another owner
    // holds is taken over, as if just registered with this condition and
    // these delays; one the owner holds already is left as it is.
    void claimAlarm(Event_t const& event, ConditionClient const& condition, OSWrap::TimeSpec const& raiseDelay,
                    OSWrap::TimeSpec const& cancelDelay);
    // Erases the record, unless another owner than the event's holds it.
    void removeAlarm(Event_t const& event);
    // Starts the reporting thread once; true when this call started it.
    bool start();
    // A record as if just registered.
    void rearm(Event_t const& event);
    // A final cancel is sent for the record, which then goes.
    void withdraw(Event_t const& event);
    // Ends the reporting thread and clears the table.
    void stop();

    // Collection, with the lock held: the earliest deadline of a record with
    // something to send, and the changes due by `limit` (raises first).
    OSWrap::TimeSpec earliestDeadline() const;
    void gather(OSWrap::TimeSpec const& limit, Batch& batch);

    int32_t state();
    size_t size();
    // The record of a key, for inspection; a default one when there is none.
    Record record(Event_t const& event);
    // Where `now` comes from (tests put a clock of their own).
    void setClock(OSWrap::TimeSpec (*now)()) { now_ = now; }

private:
    // The reporting thread: a handler thread for its whole life; holds the
    // run permission except while it waits on the condition or for an answer.
    int run();
    bool collect(Batch& batch);
    std::string textOf(PhysicalServicesClient::Alarm const& alarm);
    // Called with the lock held.
    void arm(Record& r, ConditionClient const& condition, OSWrap::TimeSpec const& raiseDelay,
             OSWrap::TimeSpec const& cancelDelay, uint32_t owner);
    static bool ownedBy(Record const& r, Event_t const& event) { return !event.owner || r.owner == event.owner; }

    std::map<Key, Record> table_;
    TreflectConditionVar condition_;
    OSWrap::MethodThread<AlarmReporter> thread_;
    int32_t state_;
    OSWrap::TimeSpec raiseDelay_, cancelDelay_, window_;
    OSWrap::TimeSpec (*now_)();
};

// The task's alarm reporter and its registration with the event bus.
class TopAlarmReporter {
public:
    typedef TopEventFacade::Event_t Event_t;

    static TopAlarmReporter* instance() { return Afw::Singleton<TopAlarmReporter>::get(); }
    virtual ~TopAlarmReporter() {}

    // The event's owner takes the record over (a closing adapter of the same
    // key may still hold it) and its key is routed to the reporter.
    void registerCondition(Event_t const& event, ConditionClient const& condition, OSWrap::TimeSpec const& raiseDelay,
                           OSWrap::TimeSpec const& cancelDelay);
    // Ends the owner's routing; the record goes only if the owner still holds it.
    void unregisterCondition(Event_t const& event);
    bool start() { return reporter_.start(); }
    AlarmReporter<Event_t>& reporter() { return reporter_; }

private:
    friend class Afw::Singleton<TopAlarmReporter>;
    TopAlarmReporter();
    AlarmReporter<Event_t> reporter_;
};
