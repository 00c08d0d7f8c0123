// The alarm records' phases and deadlines on a clock of the test's own (the
// reporting thread is not started: the test gathers the batches itself). The
// event bus routes the card scenarios' alarms of several flows and conditions.
#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "ConditionServer.h"
#include "LogCapture.h"
#include "PhysicalServicesServer.h"
#include "REFLECT_objectStub.h"
#include "StandaloneNode.h"
#include "TopAlarmReporter.h"

using Event = TopEventFacade::Event_t;
using testsupport::waitUntil;

namespace {

testsupport::StandaloneNode const gStandaloneNode;

Event event(uint32_t key, int32_t condition, bool raise = true) {
    return Event{key, condition, raise ? Event::RAISE : Event::CANCEL};
}

OSWrap::TimeSpec gNow(1000, 0);
OSWrap::TimeSpec now() { return gNow; }
OSWrap::TimeSpec at(double s) { return OSWrap::TimeSpec(1000, 0) + OSWrap::TimeSpec::fromMilliseconds(int64_t(s * 1000)); }

// The model's side of the reporting thread: how many changes its first batch carried.
struct Services : PhysicalServicesServerBase {
    Services()
        : PhysicalServicesServerBase(TipprmiOID(PhysicalServicesClient::NAME), nullptr, PhysicalServicesClient::NAME) {}
    void dispatchAlarms(TipprmiSequence<PhysicalServicesClient::Alarm> const& alarms) override {
        if (!first) first = alarms.getLength();
    }
    std::atomic<unsigned long> first{0};
};

class AlarmRecords : public ::testing::Test {
protected:
    AlarmRecords()
        : reporter("test", 0x10000, 5, 0, OSWrap::TimeSpec(2, 500000000), OSWrap::TimeSpec(11, 500000000),
                   OSWrap::TimeSpec(0, 500000000)) {
        gNow = at(0);
        reporter.setClock(&now);
    }
    // The batch gathered at `seconds`, as (key, condition, raise) triples.
    std::vector<std::vector<long>> batchAt(double seconds) {
        gNow = at(seconds);
        AlarmReporter<Event>::Batch batch;
        reporter.gather(gNow + OSWrap::TimeSpec(0, 500000000), batch);
        std::vector<std::vector<long>> out;
        for (unsigned long i = 0; i < batch.getLength(); ++i)
            out.push_back({long(batch[i].condition.getServer() == &sync ? 1 : 2), long(batch[i].raise)});
        return out;
    }
    void report(double seconds, int32_t condition, bool raise) {
        gNow = at(seconds);
        reporter.handle(event(7, condition, raise));
    }
    RunPermissionGuard permission;
    ConditionServerBase flow{TipprmiOID("TopFlow-7"), nullptr, "flow"};
    ConditionServerBase sync{TipprmiOID(), flow.getClient(), "syncSourceLost"};
    ConditionServerBase service{TipprmiOID(), flow.getClient(), "masterServiceUnavailable"};
    AlarmReporter<Event> reporter;
};

}  // namespace

// Registration sends one cancel after the raise delay and a second; changes
// due within the window go in one batch, raises first. (A raise and its
// cancel within the delay after a send: the card's alarm scenario.)
TEST_F(AlarmRecords, DebounceByPhaseAndDeadline) {
    reporter.registerAlarm(event(7, 1), ConditionClient(&sync), OSWrap::TimeSpec(2, 0), OSWrap::TimeSpec(10, 0));
    reporter.registerAlarm(event(7, 2), ConditionClient(&service), OSWrap::TimeSpec(60, 0), OSWrap::TimeSpec(60, 0));
    reporter.registerAlarm(event(7, 1), ConditionClient(&service), OSWrap::TimeSpec(99, 0), OSWrap::TimeSpec(99, 0));  // kept: the first
    EXPECT_EQ(at(3), reporter.earliestDeadline());
    EXPECT_TRUE(batchAt(2.4).empty());
    EXPECT_EQ((std::vector<std::vector<long>>{{1, 0}}), batchAt(2.6));
    EXPECT_EQ((std::vector<std::vector<long>>{{2, 0}}), batchAt(61));
    EXPECT_EQ(AlarmReporter<Event>::MAX_TIME, reporter.earliestDeadline());

    // A cancel and a raise due 0.2 s apart: one batch, the raise first.
    report(200, 1, true);
    EXPECT_EQ((std::vector<std::vector<long>>{{1, 1}}), batchAt(202));
    report(250.2, 2, true);
    report(300, 1, false);
    EXPECT_EQ((std::vector<std::vector<long>>{{2, 1}, {1, 0}}), batchAt(310));

    // A withdrawn record sends its final cancel and goes; a removed one goes silently.
    reporter.withdraw(event(7, 1));
    EXPECT_EQ((std::vector<std::vector<long>>{{1, 0}}), batchAt(361));
    reporter.removeAlarm(event(7, 2));
    EXPECT_EQ(0u, reporter.size());

    // A condition whose actor went away sends nothing: its identifiers may
    // name another object of that actor's successor.
    reporter.registerAlarm(event(8, 1), ConditionClient(TipprmiOID("rmi_5A5A0101_7")), OSWrap::TimeSpec(2, 0),
                           OSWrap::TimeSpec(10, 0));
    reporter.registerAlarm(event(7, 1), ConditionClient(&sync), OSWrap::TimeSpec(2, 0), OSWrap::TimeSpec(10, 0));
    TreflectObjectHandler::getInstance()->invalidateStubs(TreflectOrbId(0x5A5A0101ul));
    EXPECT_EQ((std::vector<std::vector<long>>{{1, 0}}), batchAt(400));
    EXPECT_EQ(AlarmReporter<Event>::MAX_TIME, reporter.earliestDeadline());

    // The reporting thread, woken when a change falls due, takes the one due
    // 0.3 s later along (the clock stands still from here).
    Services services;
    gNow = at(500);
    reporter.registerAlarm(event(7, 2), ConditionClient(&service), OSWrap::TimeSpec(2, 0), OSWrap::TimeSpec(10, 0));
    report(500.7, 1, true);
    gNow = at(502.7);
    reporter.start();
    RunPermissionRelease released;
    ASSERT_TRUE(waitUntil([&] { return services.first.load() != 0; }));
    EXPECT_EQ(2u, services.first.load());
}
