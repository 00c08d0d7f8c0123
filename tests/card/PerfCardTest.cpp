// Performance monitoring on the simulated card: the model's PerformanceService
// object of a flow triggered as its clients would, answered by the task
// before the trigger completes. Intervals are driven through the model's
// interval timer (ModelControl.changeOfInterval); its own 15-minute timer is off.
#include <map>

#include "SimulatedCard.h"

using namespace cardtest;

namespace {

typedef std::vector<unsigned long> Idents;
typedef ModelControlClient::PerformanceRecord Record;

enum Command { CURRENT = 1, HISTORIC = 2, EXIST = 4, START = 5, STOP = 6, RESET = 7, ADAPTER = 8 };

unsigned long u32(long v) { return static_cast<unsigned long>(static_cast<uint32_t>(v)); }

class PerfCard : public Card {
protected:
    // A running flow 1 whose PerformanceService object's trigger the task observes.
    void startFlow(std::map<std::string, std::string> chipEnv = {}) {
        ASSERT_NO_FATAL_FAILURE(startModel({"1:1:1:10.0.0.1"}, {"--interval", "0"}));
        ASSERT_NO_FATAL_FAILURE(startTask(chipEnv));
        ASSERT_TRUE(traced("Driver start up successfully finished"));
        ASSERT_TRUE(waitUntil([&] { return perf().triggerObservers == 1; })) << task->output();
    }
    Record perf(unsigned long key = 1) {
        return model_([&](ModelControlClient& c) { return c.getPerformance(key); });
    }
    // Triggers `command` on the flow's service; the record afterwards, or
    // nothing when the task did not answer. No other flow's service is answered.
    std::unique_ptr<Record> trigger(unsigned long command, Idents const& idents, unsigned long key = 1) {
        unsigned long const before = perf(key).answers, others = perf(3 - key).answers;
        TipprmiSequence<unsigned long> seq;
        for (unsigned long i : idents) seq.push_back(i);
        model_([&](ModelControlClient& c) { c.triggerPerformance(key, seq, command); });
        Record const after = perf(key);
        EXPECT_LE(after.answers, before + 1);
        EXPECT_EQ(others, perf(3 - key).answers) << "answered on another flow's service";
        return after.answers == before ? nullptr : std::make_unique<Record>(after);
    }
    // An answer the test relies on: without it a failure and an empty record.
    Record answer(unsigned long command, Idents const& idents, unsigned long key = 1) {
        std::unique_ptr<Record> r = trigger(command, idents, key);
        return r ? *r : (ADD_FAILURE() << "command " << command << " not answered", Record());
    }
    std::vector<unsigned long> history(unsigned long ident, unsigned long entries) {
        std::unique_ptr<Record> r = trigger(HISTORIC, {ident});
        std::vector<unsigned long> h;
        for (unsigned long i = 0; r && i < entries; ++i) h.push_back(r->history[i]);
        return h;
    }
    // Minimum, average and maximum of the last closed interval.
    std::vector<unsigned long> closedPhaseErrors() {
        return {history(2, 1).at(0), history(3, 1).at(0), history(4, 1).at(0)};
    }
    void interval() {
        model_([](ModelControlClient& c) { c.changeOfInterval(); });
    }
    void counters(unsigned long sls, unsigned long noRx) {
        chip("counters " + std::to_string(sls) + " " + std::to_string(noRx));
    }
    // Closes an interval whose counters end at these values.
    void interval(unsigned long sls, unsigned long noRx) {
        counters(sls, noRx);
        interval();
    }
};

}  // namespace

// Per-interval differences of the two driver counters, modulo 2^32 across a
// wrap, the seconds without lock capped at 900 above 898; the current value
// is the difference from the interval's start; 96 intervals are kept.
TEST_F(PerfCard, DriverCountersBecomeIntervalDifferencesAcrossAWrap) {
    ASSERT_NO_FATAL_FAILURE(startFlow());
    chip("freeze-counters 1");
    interval(100, 200);  // the base of what follows, whatever the first interval held
    interval(4294967290ul, 4294967280ul);
    interval(10, 20);  // both wrapped
    interval(909, 20);
    interval(1807, 25);
    EXPECT_EQ((std::vector<unsigned long>{898, 900, 16, 900}), history(1, 4));
    EXPECT_EQ((std::vector<unsigned long>{5, 0, 36, 4294967080ul}), history(5, 4));
    EXPECT_EQ(5u, answer(HISTORIC, {1}).elapsed);
    counters(1900, 24);  // no-rx-sync "went back": the forward distance
    EXPECT_EQ(93u, answer(CURRENT, {1}).current);
    EXPECT_EQ(4294967295ul, answer(CURRENT, {5}).current);

    // After 100 more intervals a counter holds the last 96, the newest first.
    unsigned long noRx = 0;
    for (unsigned long i = 1; i <= 100; ++i) interval(0, noRx += i);  // interval i misses i messages
    Record const r = answer(HISTORIC, {5});
    EXPECT_EQ(96u, r.elapsed);
    for (unsigned long k = 0; k < 96; ++k) ASSERT_EQ(100 - k, r.history[k]) << "entry " << k;
    EXPECT_EQ(96u, answer(HISTORIC, {2}).elapsed);
}

// Every command as the model records the answer; unknown counters, wrong
// identifier counts and commands 3 and 9 are not answered.
TEST_F(PerfCard, TriggerCommandsAreAnsweredOnThePerformanceService) {
    ASSERT_NO_FATAL_FAILURE(startFlow());
    chip("freeze-counters 1");
    // No interval closed yet: no counter has a history.
    EXPECT_EQ(0u, answer(EXIST, {0}).existMonitoring);
    EXPECT_FALSE(trigger(HISTORIC, {1}));
    EXPECT_EQ(0u, answer(START, {1}).existMonitoring);  // auto-create: existence only
    interval(50, 60);
    counters(53, 61);

    EXPECT_EQ(3u, answer(CURRENT, {1}).current);
    EXPECT_FALSE(trigger(CURRENT, {9}));
    for (Command c : {CURRENT, HISTORIC, EXIST, START, STOP})  // one identifier each, not none or two
        for (Idents const& wrong : {Idents{}, Idents{1, 5}}) EXPECT_FALSE(trigger(c, wrong)) << c;
    EXPECT_EQ(1u, answer(HISTORIC, {5}).elapsed);
    EXPECT_FALSE(trigger(3, {1}));
    EXPECT_FALSE(trigger(9, {1}));
    EXPECT_EQ(0u, answer(EXIST, {9}).existMonitoring);
    EXPECT_EQ(1u, answer(EXIST, {0}).existMonitoring);
    EXPECT_EQ(0u, answer(START, {9}).existMonitoring);
    EXPECT_EQ(1u, answer(START, {4}).existMonitoring);
    EXPECT_EQ(1u, answer(STOP, {9}).existMonitoring);  // auto-create: any counter
    EXPECT_EQ(1u, answer(STOP, {1}).existMonitoring);
    EXPECT_EQ(1u, answer(EXIST, {1}).existMonitoring);  // ... and the table stays

    // Every identifier that has a value or a history, in the order asked.
    Record const a = answer(ADAPTER, {9, 5, 1, 2, 3, 4});
    ASSERT_EQ(5u, a.adapterData.getLength());
    Idents const order = {5, 1, 2, 3, 4};
    for (unsigned long i = 0; i < 5; ++i) {
        PerformanceServiceClient::IdentData_t const& d = a.adapterData[i];
        EXPECT_EQ((Idents{order[i], 1, 1}), (Idents{d.ident, d.valid, d.elapsed}));
    }
    EXPECT_EQ(1u, a.adapterData[0].current);
    EXPECT_EQ(3u, a.adapterData[1].current);
    EXPECT_FALSE(trigger(ADAPTER, {9, 10}));
    EXPECT_FALSE(trigger(ADAPTER, {}));
    EXPECT_EQ(1u, answer(ADAPTER, {2}).adapterData.getLength()) << "one identifier is enough";

    // A reset empties the histories and keeps the counters.
    EXPECT_EQ(1u, answer(RESET, {}).existMonitoring);
    Record const reset = answer(HISTORIC, {5});
    EXPECT_EQ(0u, reset.elapsed);
    EXPECT_EQ(0u, reset.history[0]);
    EXPECT_EQ(1u, answer(EXIST, {5}).existMonitoring);
}

// Disabling the flow deletes its performance service: the adapter leaves
// the link, "trigger" is no longer observed and goes unanswered. Enabled
// again, a new service starts with empty histories, observed once. A second
// flow of the unit has a service of its own, which answers its own
// PerformanceService object. A flow deleted and made again is paired with its
// new PerformanceService object.
TEST_F(PerfCard, PerformanceServiceFollowsTheFlowsStateAndLife) {
    ASSERT_NO_FATAL_FAILURE(startFlow());
    interval();
    EXPECT_EQ(1u, answer(EXIST, {0}).existMonitoring);

    model_([](ModelControlClient& c) { return c.setAdminState(1, 0); });
    ASSERT_TRUE(traced("~TopPerfService()"));
    EXPECT_TRUE(waitUntil([&] { return perf().triggerObservers == 0; }));
    EXPECT_FALSE(trigger(EXIST, {0}));
    interval();  // nobody follows it now

    model_([](ModelControlClient& c) { return c.setAdminState(1, 1); });
    ASSERT_TRUE(traced("Driver start up successfully finished", 2));
    EXPECT_TRUE(waitUntil([&] { return perf().triggerObservers == 1; }));
    EXPECT_EQ(0u, answer(EXIST, {0}).existMonitoring);
    interval();
    EXPECT_EQ(1u, answer(HISTORIC, {1}).elapsed);
    model_([](ModelControlClient& c) { return c.createFlow(2, kOwn, 1, ip(10, 0, 0, 2)).isConnected(); });
    EXPECT_TRUE(waitUntil([&] { return perf(2).triggerObservers == 1; }));
    EXPECT_EQ(0u, answer(EXIST, {0}, 2).existMonitoring);
    EXPECT_FALSE(trigger(HISTORIC, {1}, 2));
    EXPECT_EQ(1u, answer(EXIST, {0}).existMonitoring);

    model_([](ModelControlClient& c) { return c.deleteFlow(1); });
    ASSERT_TRUE(traced("~TopPerfService()", 2));
    model_([](ModelControlClient& c) { return c.createFlow(1, kOwn, 1, ip(10, 0, 0, 1)).isConnected(); });
    ASSERT_TRUE(traced("Driver start up successfully finished", 3));
    EXPECT_TRUE(waitUntil([&] { return perf().triggerObservers == 1; }));
    EXPECT_EQ(0u, answer(EXIST, {0}).existMonitoring);
    EXPECT_EQ(0u, task->countOutput("PerfSvcAdpLink("));
}

// Minimum, average and maximum of the chip's phase error, sampled every
// 60 s (0.6 s at this scale) and closed with each interval (the running
// average of given samples: TopPerfServiceTest).
TEST_F(PerfCard, PhaseErrorStatisticsFollowTheChip) {
    scale = "100";
    ASSERT_NO_FATAL_FAILURE(startFlow({{"TOPADAPTER_TOPDRV_SEED", "7"},
                                       {"TOPADAPTER_TOPDRV_PHASE_MEAN", "50"},
                                       {"TOPADAPTER_TOPDRV_PHASE_SPREAD", "10"}}));
    // Seeded samples within 50 +- 10 ns, the first one (at the start of the
    // interval) included: the service itself started before the driver ran.
    ASSERT_TRUE(traced("OnTimerExpire()"));
    interval();
    ASSERT_TRUE(traced("OnTimerExpire()", 3));
    interval();
    std::vector<unsigned long> const closed = closedPhaseErrors();
    EXPECT_GE(closed[0], 40u);
    EXPECT_LE(closed[0], closed[1]);
    EXPECT_LE(closed[1], closed[2]);
    EXPECT_LT(closed[2], 60u);

    // A constant phase error, truncated toward zero: every statistic of the
    // next whole interval.
    chip("phase -12.7 0");
    interval();
    ASSERT_TRUE(traced("OnTimerExpire()", task->countOutput("OnTimerExpire()") + 2));
    EXPECT_EQ(u32(-12), answer(CURRENT, {3}).current);
    interval();
    EXPECT_EQ((std::vector<unsigned long>{u32(-12), u32(-12), u32(-12)}), closedPhaseErrors());
}
