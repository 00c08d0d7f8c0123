// A ToP flow's performance service in one process: the arithmetic of its
// counters against the in-process chip, and the link registry pairing it
// with the model's PerformanceService and interval timer objects, served
// here, in either order.
#include <gtest/gtest.h>

#include "ConditionServer.h"
#include "LogCapture.h"
#include "Model.h"
#include "PerfSvcAdpLink.h"
#include "StandaloneNode.h"
#include "TopChip.h"
#include "TopPerfService.h"

using namespace Performance;
using testsupport::expectError;

namespace {

testsupport::StandaloneNode const gStandaloneNode;
int const gNoControlChannel = [] { return setenv("TOPADAPTER_TOPDRV_CONTROL", "0", 1); }();

struct Perf : ::testing::Test {
    Perf() {
        chip.powerUp();
        chip.setState(0);
        chip.freezeCounters(true);
        chip.setPhaseError(0, 0);
    }
    static std::vector<unsigned long> history(TopPerfService& s, unsigned long ident, unsigned n) {
        unsigned short count = 0;
        PerformanceServiceAdapter::History h;
        std::vector<unsigned long> out;
        if (s.adapter().getHistoricData(ident, count, h))
            for (unsigned i = 0; i < n; ++i) out.push_back(h[i]);
        return out;
    }
    RunPermissionGuard permission;
    topdrv::Chip& chip = topdrv::control();
    ConditionServerBase flow{TipprmiOID("TopFlow-7"), nullptr, "flow"};
};

}  // namespace

// Samples -1, 1 five times and 14 after a first 0, each truncated toward
// zero: the running average, in integers truncated toward zero, ends at 1,
// where the mean is 2 and the midrange 6. A reading of ident 3 asks the
// driver nothing, one of an unknown ident is refused; counters that cannot
// be read read and store their base, which becomes 0; a new interval starts
// with one sample.
TEST_F(Perf, PhaseErrorsAndCountersOverIntervals) {
    chip.queuePhaseErrors({0.7f, -1.6f, 1.2f, 1.5f, 1.9f, 1.0f, 1.3f, 14.8f});
    chip.setCounters(50, 60);
    TopPerfService s("/flow");
    int32_t const want[][3] = {{-1, 0, 0}, {-1, 0, 1}, {-1, 0, 1}, {-1, 0, 1},
                               {-1, 0, 1}, {-1, 0, 1}, {-1, 1, 14}};  // min, average, max
    for (auto const& w : want) {
        s.OnTimerExpire();
        TopPerfService::PhaseErrors const p = s.phaseErrors();
        EXPECT_EQ((std::vector<int32_t>{w[0], w[1], w[2]}), (std::vector<int32_t>{p.minimum, p.average, p.maximum}));
    }
    uint64_t const reads = chip.callCount(topdrv::Fn::GetStateInfo);
    unsigned long v = 0;
    EXPECT_TRUE(s.getCurrentData(3, v));
    EXPECT_EQ(1u, v);
    EXPECT_EQ(reads, chip.callCount(topdrv::Fn::GetStateInfo));
    expectError("getCurrentData() ident is not in the table 9");
    EXPECT_FALSE(s.getCurrentData(9, v));
    EXPECT_EQ(1u, testsupport::countRecords("getCurrentData() ident is not in the table 9"));

    chip.setCounters(100, 4294967280ul);
    s.changeOfInterval();
    chip.setState(6);
    EXPECT_TRUE(s.getCurrentData(1, v));
    EXPECT_EQ(100u, v);  // the base
    s.changeOfInterval();
    EXPECT_EQ(1u, testsupport::countRecords("getCurrentData(): read error, counter 1"));
    EXPECT_EQ(2u, testsupport::countRecords("changeOfInterval(): read error, counter "));  // 1 and 5
    EXPECT_EQ((std::vector<unsigned long>{100, 50}), history(s, 1, 2));
    EXPECT_EQ((std::vector<unsigned long>{4294967280ul, 4294967220ul}), history(s, 5, 2));
    EXPECT_EQ((std::vector<unsigned long>{0, 4294967295ul}), history(s, 2, 2));
    EXPECT_EQ((std::vector<unsigned long>{0, 1}), history(s, 3, 2));
    EXPECT_EQ((std::vector<unsigned long>{0, 14}), history(s, 4, 2));
    EXPECT_EQ(0u, s.dataMap().at(1) + s.dataMap().at(5));
}

// PerformanceService object first, adapter first, a replacing object, a
// stale deletion, foreign and unknown unregistrations, a deletion without a
// record; and malformed triggers (the commands: PerfCardTest).
TEST_F(Perf, LinkObservesTriggerWhileBothSidesArePresent) {
    PerfSvcAdpLink& link = *PerfSvcAdpLink::instance();
    sim::PerformanceServiceObject ps1(flow.getClient(), 1), ps2(flow.getClient(), 2), ps3(flow.getClient(), 3);
    ps1.sendCreationEvent(PerformanceServiceClient::staticMeta());
    EXPECT_EQ(0u, ps1.record.triggerObservers);
    {
        TopPerfService s("/flow");
        EXPECT_EQ(1u, ps1.record.triggerObservers);

        ps2.sendCreationEvent(PerformanceServiceClient::staticMeta());
        EXPECT_EQ(0u, ps1.record.triggerObservers);
        EXPECT_EQ(1u, ps2.record.triggerObservers);
        ps1.sendDeletionEvent(PerformanceServiceClient::staticMeta());  // replaced already: nothing changes
        expectError("unreg unknown Adp for /flow");
        expectError("unreg Adp for unknown /elsewhere");
        EXPECT_FALSE(link.unregisterAdapter("/flow", nullptr));
        EXPECT_FALSE(link.unregisterAdapter("/elsewhere", nullptr));
        EXPECT_EQ(2u, testsupport::countRecords("Adp for"));

        // Missing, empty or unreadable arguments: nothing happens.
        expectError("count out of bounds");
        TipprmiSequence<unsigned long> one;
        one.push_back(4);
        TipprmiSequence<TipprmiAny> args;
        link.trigger(nullptr);
        for (TipprmiAny const& a : {TipprmiAny(), TipprmiAny(std::string("/flow")), TipprmiAny(one), TipprmiAny()})
            link.trigger(&args), args.push_back(a);  // too short, then no command
        link.trigger(&args);
        args[3] = TipprmiAny(4ul);
        for (TipprmiAny const& a : {TipprmiAny(std::string("/flow")), TipprmiAny(0xFFFFFFFFul), TipprmiAny(one)})
            args[2] = a, link.trigger(&args);  // a string or a hostile count for the identifiers, then good ones
        EXPECT_EQ(1u, ps2.record.answers);
    }
    EXPECT_EQ(0u, ps2.record.triggerObservers);  // the handle stays, unobserved
    {
        TopPerfService s("/flow");
        EXPECT_EQ(1u, ps2.record.triggerObservers);
        ps2.sendDeletionEvent(PerformanceServiceClient::staticMeta());
        EXPECT_EQ(0u, ps2.record.triggerObservers);
        ps3.sendCreationEvent(PerformanceServiceClient::staticMeta());
        EXPECT_EQ(1u, ps3.record.triggerObservers);
        ps3.sendDeletionEvent(PerformanceServiceClient::staticMeta());
    }
    PerfSvcAdpLink::Link l;
    EXPECT_FALSE(link.lookup("/flow", l) || l.ps || l.adp);
    ps3.sendDeletionEvent(PerformanceServiceClient::staticMeta());  // a second time: no record
    EXPECT_EQ(1u, testsupport::countRecords("missed creation of PS /flow"));
}

// The interval timer object that appears last is the one followed.
TEST_F(Perf, AdapterFollowsTheLatestIntervalTimer) {
    sim::PsIntervalTimerObject first(0);
    first.sendCreationEvent(PsIntervalTimerClient::staticMeta());
    TopPerfService s("/flow");
    first.tick();
    PsIntervalTimerServerBase second(TipprmiOID("PsIntervalTimer-2"), nullptr, "second");
    second.sendCreationEvent(PsIntervalTimerClient::staticMeta());
    first.tick();
    PsIntervalTimerClient(*second.getClient()).changeOfInterval();
    unsigned short count = 0;
    PerformanceServiceAdapter::History h;
    EXPECT_TRUE(s.adapter().getHistoricData(1, count, h));
    EXPECT_EQ(2u, count);
    second.sendDeletionEvent(PsIntervalTimerClient::staticMeta());
    first.sendDeletionEvent(PsIntervalTimerClient::staticMeta());
}
