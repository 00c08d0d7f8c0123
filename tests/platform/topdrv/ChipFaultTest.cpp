#include <atomic>
#include <cstdlib>
#include <thread>
#include <tuple>
#include <vector>

#include "ChipTestSupport.h"

using namespace chiptest;
using testsupport::countRecords;
using topdrv::Fn;

TEST_F(ChipTest, EveryFunctionReturnsItsInjectedStatusAndChangesNothing) {
    std::vector<Call> calls = everyFunction();
    ASSERT_EQ(topdrv::kFnCount, calls.size());
    auto snapshot = [&] {
        topdrv::Status s = chip().status();
        return std::make_tuple(s.state, s.masterIp, s.logMeanSync, s.phaseSamples);
    };
    int status = 40;
    for (auto const& c : calls) {
        SCOPED_TRACE(topdrv::fnName(c.fn));
        chip().setState(TOP_DRV_RUNNING);
        auto before = snapshot();
        chip().injectFailure(c.fn, ++status, 2);
        uint32_t v = 0xabcdef;
        float f = -1.25f;
        EXPECT_EQ(status, c.run(&v, &f));
        EXPECT_EQ(status, c.run(&v, &f));
        EXPECT_EQ(0xabcdefu, v);
        EXPECT_EQ(-1.25f, f);
        EXPECT_EQ(before, snapshot());
        std::vector<topdrv::JournalEntry> j = chip().journal(1);
        ASSERT_EQ(1u, j.size());
        EXPECT_EQ(c.fn, j[0].fn);
        EXPECT_EQ(status, j[0].result);
        EXPECT_EQ(2u, countRecords(std::string(topdrv::fnName(c.fn)) + ": failing with status " +
                                   std::to_string(status)));
        // The count is used up: the function works again.
        EXPECT_EQ(0, c.run(&v, &f));
    }

    chip().setState(TOP_DRV_RUNNING);
    chip().injectFailure(Fn::GetSLS, 9);
    uint32_t v = 0;
    for (int i = 0; i < 5; ++i) EXPECT_EQ(9, topDrvAdapIf_getSLS(&v));
    chip().injectFailure(Fn::GetSLS, 0);
    EXPECT_EQ(0, topDrvAdapIf_getSLS(&v));
    chip().injectFailure(Fn::GetLockState, 3);
    chip().injectFailure(Fn::Deinit, -1);
    chip().clearFailures();
    EXPECT_EQ(0, topDrvAdapIf_getLockState(&v));
    EXPECT_EQ(0, topDrvAdapIf_deinit());
}

TEST_F(ChipTest, AFailedStatePollDoesNotShortenTheUpgrade) {
    cfg.fwUpgradePolls = 1;
    cfg.failures[static_cast<unsigned>(Fn::GetStateInfo)] = {5, 3};
    powerUp();
    uint32_t v = 0;
    for (int i = 0; i < 3; ++i) EXPECT_EQ(5, topDrvAdapIf_getStateInfo(&v));
    expectUpgradePolls(1);
}

TEST(ChipConfig, FailureListsParseOrAreRejectedWhole) {
    topdrv::Failure f[topdrv::kFnCount];
    auto failure = [&](Fn fn) {
        return std::make_pair(f[static_cast<unsigned>(fn)].status, f[static_cast<unsigned>(fn)].remaining);
    };
    std::string error;
    ASSERT_TRUE(topdrv::parseFailures("init:5,getSLS:-2:3,topDrvAdapIf_deinit:1", f, &error)) << error;
    EXPECT_EQ(std::make_pair(5, -1), failure(Fn::Init));
    EXPECT_EQ(std::make_pair(-2, 3), failure(Fn::GetSLS));
    EXPECT_EQ(1, failure(Fn::Deinit).first);
    EXPECT_EQ(0, failure(Fn::GetLockState).first);
    for (char const* bad : {"init", "init:0", "init:x", "bogus:5", "init:5:0", "init:5:1:2", "getSLS:1,init:"}) {
        topdrv::Failure g[topdrv::kFnCount];
        error.clear();
        EXPECT_FALSE(topdrv::parseFailures(bad, g, &error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
        for (auto const& x : g) EXPECT_EQ(0, x.status) << bad;
    }
    Fn fn;
    EXPECT_TRUE(topdrv::fnFromName("GETNORXSYNCMSG", &fn));
    EXPECT_EQ(Fn::GetNoRxSyncMsg, fn);
    EXPECT_FALSE(topdrv::fnFromName("topDrvAdapIf_", &fn));
}

TEST(ChipConfig, PowerUpConditionsComeFromTheEnvironment) {
    std::pair<char const*, char const*> const vars[] = {
        {"TOPADAPTER_TOPDRV_FW_UPGRADE_POLLS", "4"},   {"TOPADAPTER_TOPDRV_STARTUP_SECONDS", "0.5"},
        {"TOPADAPTER_TOPDRV_LOCK_SECONDS", "abc"},     {"TOPADAPTER_TOPDRV_SEED", "77"},
        {"TOPADAPTER_TOPDRV_SLS_START", "4294967295"}, {"TOPADAPTER_TOPDRV_NORX_START", "-1"},
        {"TOPADAPTER_TOPDRV_PHASE_MEAN", "-12.5"},     {"TOPADAPTER_TOPDRV_FAIL", "getSLS:9:1"},
    };
    for (auto const& v : vars) setenv(v.first, v.second, 1);
    topdrv::Config c = topdrv::Config::fromEnvironment();
    EXPECT_EQ(4u, c.fwUpgradePolls);
    EXPECT_DOUBLE_EQ(0.5, c.startupSeconds);
    EXPECT_DOUBLE_EQ(2.0, c.lockSeconds);
    EXPECT_EQ(77u, c.seed);
    EXPECT_EQ(0xFFFFFFFFu, c.slsStart);
    EXPECT_EQ(0u, c.noRxStart);
    EXPECT_DOUBLE_EQ(-12.5, c.phaseMean);
    EXPECT_EQ(9, c.failures[static_cast<unsigned>(Fn::GetSLS)].status);
    EXPECT_EQ(1, c.failures[static_cast<unsigned>(Fn::GetSLS)].remaining);
    EXPECT_EQ(1u, countRecords("TOPADAPTER_TOPDRV_LOCK_SECONDS=abc ignored"));
    EXPECT_EQ(1u, countRecords("TOPADAPTER_TOPDRV_NORX_START=-1 ignored"));

    setenv("TOPADAPTER_TOPDRV_FAIL", "getSLS", 1);
    c = topdrv::Config::fromEnvironment();
    EXPECT_EQ(0, c.failures[static_cast<unsigned>(Fn::GetSLS)].status);
    EXPECT_EQ(1u, countRecords("TOPADAPTER_TOPDRV_FAIL=getSLS ignored"));

    // A power-up without arguments reads the environment.
    setenv("TOPADAPTER_TOPDRV_FAIL", "getStateInfo:6:1", 1);
    topdrv::control().powerUp();
    uint32_t v = 0;
    EXPECT_EQ(6, topDrvAdapIf_getStateInfo(&v));
    expectUpgradePolls(4);
    EXPECT_EQ(0xFFFFFFFFu, topdrv::control().status().sls);
    for (auto const& var : vars) unsetenv(var.first);
}

TEST_F(ChipTest, JournalKeepsEachCallWithArgumentsAndResult) {
    chip().setStartupSeconds(1000);
    ASSERT_EQ(0, initChip(kMaster, -4));
    EXPECT_EQ(TOP_DRV_ERR_STATE, topDrvAdapIf_setMasterIp(kMaster));
    uint32_t v;
    ASSERT_EQ(0, topDrvAdapIf_getStateInfo(&v));
    ASSERT_EQ(0, topDrvAdapIf_deinit());
    std::vector<topdrv::JournalEntry> j = chip().journal();
    ASSERT_EQ(4u, j.size());
    EXPECT_EQ(Fn::Init, j[0].fn);
    EXPECT_EQ("0xc0a8ff66, 0xfffffffc, 0xc0a8ff65, 0x0a000001, -4, 0", j[0].args);
    EXPECT_EQ(0, j[0].result);
    EXPECT_EQ(Fn::SetMasterIp, j[1].fn);
    EXPECT_EQ("0x0a000001", j[1].args);
    EXPECT_EQ(TOP_DRV_ERR_STATE, j[1].result);
    EXPECT_EQ(Fn::GetStateInfo, j[2].fn);
    EXPECT_EQ("2", j[2].value);
    EXPECT_EQ(Fn::Deinit, j[3].fn);
    for (size_t i = 0; i < j.size(); ++i) EXPECT_EQ(i + 1, j[i].seq);

    // Bounded: the newest entries stay, the counts stay exact.
    size_t const extra = topdrv::Chip::kJournalCapacity + 100;
    for (size_t i = 0; i < extra; ++i) topDrvAdapIf_getStateInfo(&v);
    j = chip().journal();
    ASSERT_EQ(topdrv::Chip::kJournalCapacity, j.size());
    EXPECT_EQ(4 + extra, j.back().seq);
    EXPECT_EQ(j.back().seq - topdrv::Chip::kJournalCapacity + 1, j.front().seq);
    EXPECT_EQ(1 + extra, chip().callCount(Fn::GetStateInfo));
    chip().clearJournal();
    EXPECT_TRUE(chip().journal().empty());
    EXPECT_EQ(1u, chip().callCount(Fn::Init));
}

TEST_F(ChipTest, ConcurrentCallsFromFourThreadsStayConsistent) {
    runChip();
    chip().setStartupSeconds(0);
    chip().clearJournal();
    uint64_t base[topdrv::kFnCount];
    for (unsigned i = 0; i < topdrv::kFnCount; ++i) base[i] = chip().callCount(static_cast<Fn>(i));

    int const kThreads = 4, kIterations = 1500;
    std::vector<std::vector<uint64_t>> counts(kThreads, std::vector<uint64_t>(topdrv::kFnCount, 0));
    std::atomic<int> badResults{0}, badValues{0};
    std::vector<Call> calls = everyFunction();
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            uint64_t x = 0x9E3779B97F4A7C15ull * static_cast<uint64_t>(t + 1);
            for (int i = 0; i < kIterations; ++i) {
                x ^= x << 13;
                x ^= x >> 7;
                x ^= x << 17;
                if (t == 3 && i % 100 == 0) {
                    chip().forceLock(static_cast<int>(x % 3) - 1);
                    chip().status();
                    continue;
                }
                // Thread 0 also reconfigures and disables the chip; the others mostly query.
                Call const& c = calls[t == 0 ? x % calls.size() : 2 + x % (calls.size() - 2)];
                uint32_t v = 0;
                float f = 0;
                int rc = c.run(&v, &f);
                ++counts[t][static_cast<unsigned>(c.fn)];
                if (rc != 0 && rc != TOP_DRV_ERR_STATE) ++badResults;
                bool isState = c.fn == Fn::GetStateInfo, isFlag = c.fn == Fn::GetLockState || c.fn == Fn::GetApiState;
                if (rc == 0 && isState && v != TOP_DRV_RUNNING && v != TOP_DRV_NOT_STARTED && v != TOP_DRV_STARTING)
                    ++badValues;
                if (rc == 0 && isFlag && v > 1) ++badValues;
                // Keep the chip mostly configured.
                if (t == 0 && c.fn == Fn::Deinit) calls[0].run(&v, &f);
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(0, badResults.load());
    EXPECT_EQ(0, badValues.load());
    uint64_t total = 0;
    for (unsigned i = 0; i < topdrv::kFnCount; ++i) {
        uint64_t sum = 0;
        for (int t = 0; t < kThreads; ++t) sum += counts[t][i];
        // Thread 0 re-inits after each deinit.
        if (static_cast<Fn>(i) == Fn::Init) sum += counts[0][static_cast<unsigned>(Fn::Deinit)];
        EXPECT_EQ(sum, chip().callCount(static_cast<Fn>(i)) - base[i]) << topdrv::fnName(static_cast<Fn>(i));
        total += sum;
    }
    std::vector<topdrv::JournalEntry> j = chip().journal();
    ASSERT_EQ(std::min<uint64_t>(total, topdrv::Chip::kJournalCapacity), j.size());
    for (size_t i = 1; i < j.size(); ++i) ASSERT_EQ(j[i - 1].seq + 1, j[i].seq);
}
