#include <climits>
#include <cstdlib>
#include <functional>
#include <vector>

#include "ChipTestSupport.h"

using namespace chiptest;
using testsupport::countRecords;
using testsupport::waitUntil;

namespace {

// The in-process tests drive the chip directly; no control socket needed.
int const gNoControlChannel = [] { return setenv("TOPADAPTER_TOPDRV_CONTROL", "0", 1); }();

uint32_t lockState() {
    uint32_t v = 0xdead;
    EXPECT_EQ(0, topDrvAdapIf_getLockState(&v));
    return v;
}

// Waits until the scaled clock has moved on by `protocolSeconds`.
bool protocolTimePasses(double protocolSeconds) {
    OSWrap::TimeSpec end =
        OSWrap::Clock::getTime() + OSWrap::TimeSpec(0, static_cast<int64_t>(protocolSeconds * 1e9));
    return waitUntil([&] { return OSWrap::Clock::getTime() >= end; });
}

}  // namespace

TEST_F(ChipTest, PowerUpUpgradeAnswersTheConfiguredPollsAndAdmitsNothingElse) {
    cfg.fwUpgradePolls = 3;
    powerUp();
    uint32_t v = 77;
    EXPECT_EQ(TOP_DRV_ERR_STATE, initChip());
    EXPECT_EQ(TOP_DRV_ERR_STATE, topDrvAdapIf_deinit());
    EXPECT_EQ(TOP_DRV_ERR_STATE, topDrvAdapIf_getLockState(&v));
    EXPECT_EQ(77u, v);
    EXPECT_EQ(1u, countRecords("topDrvAdapIf_init refused: firmware upgrade in progress (state 1)"));
    EXPECT_EQ(1u, countRecords("topDrvAdapIf_deinit refused: driver state 1"));
    // Refused calls are no polls: still three upgrade answers.
    for (int i = 0; i < 3; ++i) EXPECT_EQ(static_cast<uint32_t>(TOP_FW_UPGRADING), state()) << "poll " << i;
    EXPECT_EQ(static_cast<uint32_t>(TOP_DRV_NOT_STARTED), state());
    EXPECT_EQ(static_cast<uint32_t>(TOP_DRV_NOT_STARTED), state());
}

TEST_F(ChipTest, UpgradeEndsAfterItsScaledDurationOrItsPollsWhicheverComesFirst) {
    cfg.fwUpgradeSeconds = 50;  // 500 ms at the test's scale
    auto t0 = Clock::now();
    powerUp();
    uint32_t first = state();
    if (Clock::now() - t0 < real(50)) {
        EXPECT_EQ(static_cast<uint32_t>(TOP_FW_UPGRADING), first);
    }
    ASSERT_TRUE(waitForState(TOP_DRV_NOT_STARTED));
    EXPECT_GE(Clock::now() - t0, real(50));

    cfg.fwUpgradePolls = 2;
    cfg.fwUpgradeSeconds = 1000;
    powerUp();
    EXPECT_EQ(static_cast<uint32_t>(TOP_FW_UPGRADING), state());
    EXPECT_EQ(static_cast<uint32_t>(TOP_FW_UPGRADING), state());
    EXPECT_EQ(static_cast<uint32_t>(TOP_DRV_NOT_STARTED), state());
}

TEST_F(ChipTest, InitStartsTheChipAfterTheScaledDelayAndItLocksAfterTheLockDelay) {
    cfg.startupSeconds = 10;  // 100 ms
    cfg.lockSeconds = 5;      // 50 ms
    powerUp();
    ASSERT_EQ(static_cast<uint32_t>(TOP_DRV_NOT_STARTED), state());
    auto t0 = Clock::now();
    ASSERT_EQ(0, initChip());
    bool sawStarting = false;
    ASSERT_TRUE(waitUntil([&] {
        uint32_t s = state();
        if (s == TOP_DRV_STARTING) {
            sawStarting = true;
            return false;
        }
        EXPECT_EQ(static_cast<uint32_t>(TOP_DRV_RUNNING), s);
        EXPECT_GE(Clock::now() - t0, real(10)) << "running before the start-up delay";
        return true;
    }));
    EXPECT_TRUE(sawStarting);
    ASSERT_TRUE(waitUntil([&] {
        if (lockState() != 1) return false;
        EXPECT_GE(Clock::now() - t0, real(15)) << "locked before the lock delay";
        return true;
    }));
    uint32_t clock = 0, service = 0;
    EXPECT_EQ(0, topDrvAdapIf_getMasterClockState(&clock));
    EXPECT_EQ(0, topDrvAdapIf_getMasterServiceState(&service));
    EXPECT_EQ(1u, clock);
    EXPECT_EQ(1u, service);
    topdrv::Status st = chip().status();
    EXPECT_TRUE(st.configured);
    EXPECT_EQ(kMaster, st.masterIp);
    EXPECT_EQ(-4, st.logMeanSync);
}

TEST_F(ChipTest, CallsOutOfOrderAreRefusedWithOneWarningEach) {
    ASSERT_EQ(static_cast<uint32_t>(TOP_DRV_NOT_STARTED), state());
    uint32_t v = 77;
    float f = 7.5f;
    struct Case {
        std::function<int()> call;
        int status;
        char const* fragment;
    };
    std::vector<Case> cases = {
        {[] { return topDrvAdapIf_deinit(); }, TOP_DRV_ERR_STATE, "topDrvAdapIf_deinit refused: driver state 6"},
        {[] { return topDrvAdapIf_setMasterIp(kMaster); }, TOP_DRV_ERR_STATE,
         "topDrvAdapIf_setMasterIp refused: driver state 6"},
        {[] { return topDrvAdapIf_setMessageRate(-3); }, TOP_DRV_ERR_STATE,
         "topDrvAdapIf_setMessageRate refused: driver state 6"},
        {[&] { return topDrvAdapIf_getApiState(&v); }, TOP_DRV_ERR_STATE, "topDrvAdapIf_getApiState refused"},
        {[&] { return topDrvAdapIf_getLockState(&v); }, TOP_DRV_ERR_STATE, "topDrvAdapIf_getLockState refused"},
        {[&] { return topDrvAdapIf_getMasterClockState(&v); }, TOP_DRV_ERR_STATE,
         "topDrvAdapIf_getMasterClockState refused"},
        {[&] { return topDrvAdapIf_getMasterServiceState(&v); }, TOP_DRV_ERR_STATE,
         "topDrvAdapIf_getMasterServiceState refused"},
        {[&] { return topDrvAdapIf_getSLS(&v); }, TOP_DRV_ERR_STATE, "topDrvAdapIf_getSLS refused"},
        {[&] { return topDrvAdapIf_getNoRxSyncMsg(&v); }, TOP_DRV_ERR_STATE, "topDrvAdapIf_getNoRxSyncMsg refused"},
        {[&] { return topDrvAdapIf_getPhaseError(&f); }, TOP_DRV_ERR_STATE, "topDrvAdapIf_getPhaseError refused"},
        {[] { return initChip(0); }, TOP_DRV_ERR_PARAM, "topDrvAdapIf_init refused: master address 0"},
        {[] { return topDrvAdapIf_init(kOwnIp, kNetmask, kGateway, kMaster, -4, 1); }, TOP_DRV_ERR_PARAM,
         "last argument must be 0"},
        {[] { return initChip(kMaster, 40000); }, TOP_DRV_ERR_PARAM, "log mean sync value outside 16 bits"},
        {[] { return topDrvAdapIf_init(kOwnIp, 0xFF00FF00, kGateway, kMaster, -4, 0); }, TOP_DRV_ERR_PARAM,
         "netmask not contiguous"},
        {[] { return topDrvAdapIf_init(kOwnIp, kNetmask, 0xC0A80001, kMaster, -4, 0); }, TOP_DRV_ERR_PARAM,
         "gateway not a different host of the own subnet"},
        {[] { return initChip(kOwnIp); }, TOP_DRV_ERR_PARAM, "master address is the own address"},
        {[] { return topDrvAdapIf_getStateInfo(nullptr); }, TOP_DRV_ERR_PARAM, "null pointer"},
    };
    for (auto const& c : cases) {
        size_t before = countRecords(c.fragment);
        EXPECT_EQ(c.status, c.call()) << c.fragment;
        EXPECT_EQ(before + 1, countRecords(c.fragment)) << c.fragment;
        EXPECT_EQ(static_cast<uint32_t>(TOP_DRV_NOT_STARTED), state()) << c.fragment;
    }
    EXPECT_EQ(77u, v);
    EXPECT_EQ(7.5f, f);
    for (auto const& r : testsupport::records()) {
        if (r.text.find("refused") != std::string::npos) {
            EXPECT_EQ(4, r.severity) << r.text;
        }
    }

    // Only the low 32 bits of an address count.
    runChip();
#if ULONG_MAX > 0xFFFFFFFFul
    EXPECT_EQ(0, topDrvAdapIf_setMasterIp((1ul << 40) | (kMaster + 1)));
#else
    EXPECT_EQ(0, topDrvAdapIf_setMasterIp(kMaster + 1));
#endif
    EXPECT_EQ(kMaster + 1, chip().status().masterIp);

    EXPECT_EQ(TOP_DRV_ERR_PARAM, topDrvAdapIf_setMasterIp(0));
    EXPECT_EQ(TOP_DRV_ERR_PARAM, topDrvAdapIf_setMessageRate(70000));
    EXPECT_EQ(TOP_DRV_ERR_PARAM, topDrvAdapIf_getLockState(nullptr));
    EXPECT_EQ(1u, countRecords("topDrvAdapIf_setMasterIp refused: 0x00000000 is not a master address"));
    EXPECT_EQ(0, topDrvAdapIf_deinit());
    EXPECT_EQ(static_cast<uint32_t>(TOP_DRV_NOT_STARTED), state());
    EXPECT_FALSE(chip().status().configured);
    EXPECT_EQ(TOP_DRV_ERR_STATE, topDrvAdapIf_deinit());

    // A chip still starting may be disabled.
    chip().setStartupSeconds(1000);
    ASSERT_EQ(0, initChip());
    EXPECT_EQ(static_cast<uint32_t>(TOP_DRV_STARTING), state());
    EXPECT_EQ(0, topDrvAdapIf_deinit());
    EXPECT_EQ(static_cast<uint32_t>(TOP_DRV_NOT_STARTED), state());
}

TEST_F(ChipTest, DeadApiStaysDeadUntilTheNextInit) {
    runChip();
    uint32_t api = 9;
    EXPECT_EQ(0, topDrvAdapIf_getApiState(&api));
    EXPECT_EQ(0u, api);
    chip().killApi();
    EXPECT_EQ(0, topDrvAdapIf_getApiState(&api));
    EXPECT_EQ(1u, api);
    // The chip still runs and answers; only its API is declared dead.
    EXPECT_EQ(static_cast<uint32_t>(TOP_DRV_RUNNING), state());
    EXPECT_EQ(0, topDrvAdapIf_setMasterIp(kMaster + 1));
    EXPECT_EQ(0, topDrvAdapIf_getApiState(&api));
    EXPECT_EQ(1u, api);
    EXPECT_EQ(0, topDrvAdapIf_deinit());
    EXPECT_TRUE(chip().status().apiDead);
    runChip();
    EXPECT_EQ(0, topDrvAdapIf_getApiState(&api));
    EXPECT_EQ(0u, api);
}

TEST_F(ChipTest, ANewMasterDropsTheLockUntilTheChipHasLockedAgain) {
    cfg.lockSeconds = 5;
    powerUp();
    runChip();
    ASSERT_TRUE(waitUntil([] { return lockState() == 1; }));
    auto t0 = Clock::now();
    ASSERT_EQ(0, topDrvAdapIf_setMasterIp(kMaster + 1));
    uint32_t first = lockState();
    if (Clock::now() - t0 < real(5)) {
        EXPECT_EQ(0u, first);
    }
    ASSERT_TRUE(waitUntil([] { return lockState() == 1; }));
    EXPECT_GE(Clock::now() - t0, real(5));
    EXPECT_EQ(kMaster + 1, chip().status().masterIp);
    // The same master again keeps the lock.
    ASSERT_EQ(0, topDrvAdapIf_setMasterIp(kMaster + 1));
    EXPECT_EQ(1u, lockState());
    // Forced states win over the model until given back.
    chip().forceLock(0);
    chip().forceMasterClock(0);
    chip().forceMasterService(0);
    uint32_t clock = 9, service = 9;
    EXPECT_EQ(0u, lockState());
    EXPECT_EQ(0, topDrvAdapIf_getMasterClockState(&clock));
    EXPECT_EQ(0, topDrvAdapIf_getMasterServiceState(&service));
    EXPECT_EQ(0u, clock);
    EXPECT_EQ(0u, service);
    chip().forceMasterClock(-1);
    EXPECT_EQ(0, topDrvAdapIf_getMasterClockState(&clock));
    EXPECT_EQ(1u, clock);
    chip().forceLock(-1);
    ASSERT_TRUE(waitUntil([] { return lockState() == 1; }));
}

TEST_F(ChipTest, SetStateJumpsAndUnknownStatesAreReportedAsTheyAre) {
    chip().setState(7);
    EXPECT_EQ(7u, state());
    uint32_t v = 0;
    EXPECT_EQ(TOP_DRV_ERR_STATE, topDrvAdapIf_getLockState(&v));
    EXPECT_EQ(0, topDrvAdapIf_deinit());  // allowed in any state but 6 and 1
    EXPECT_EQ(static_cast<uint32_t>(TOP_DRV_NOT_STARTED), state());
    chip().setState(TOP_FW_UPGRADING);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(static_cast<uint32_t>(TOP_FW_UPGRADING), state());
    chip().setState(TOP_DRV_RUNNING);
    EXPECT_EQ(static_cast<uint32_t>(TOP_DRV_RUNNING), state());
    chip().startFirmwareUpgrade(2, 0);
    EXPECT_FALSE(chip().status().configured);
    EXPECT_EQ(2u, chip().status().fwPollsLeft);
    EXPECT_EQ(static_cast<uint32_t>(TOP_FW_UPGRADING), state());
    EXPECT_EQ(static_cast<uint32_t>(TOP_FW_UPGRADING), state());
    EXPECT_EQ(static_cast<uint32_t>(TOP_DRV_NOT_STARTED), state());
}

TEST_F(ChipTest, CountersAdvanceOncePerSecondWithoutLockAndWrapModulo2To32) {
    runChip();
    chip().forceLock(0);
    uint32_t const slsStart = 0xFFFFFFFEu, noRxStart = 0xFFFFFFF0u;
    auto t0 = Clock::now();
    chip().setCounters(slsStart, noRxStart);
    auto t0After = Clock::now();
    uint32_t sls = 0, noRx = 0;
    Clock::time_point readStart;
    ASSERT_TRUE(waitUntil([&] {
        readStart = Clock::now();
        EXPECT_EQ(0, topDrvAdapIf_getSLS(&sls));
        return sls < slsStart && sls < 0x1000;
    }));
    auto t1 = Clock::now();
    uint32_t distance = sls - slsStart;  // modulo 2^32
    double atLeast = std::chrono::duration<double>(readStart - t0After).count() * kScale;
    double atMost = std::chrono::duration<double>(t1 - t0).count() * kScale;
    EXPECT_GE(static_cast<double>(distance), atLeast - 1) << "SLS runs slower than one per second";
    EXPECT_LE(static_cast<double>(distance), atMost) << "SLS runs faster than one per second";
    ASSERT_TRUE(waitUntil([&] {
        EXPECT_EQ(0, topDrvAdapIf_getNoRxSyncMsg(&noRx));
        return noRx < noRxStart && noRx < 0x1000;
    }));
    EXPECT_GE(static_cast<uint32_t>(noRx - noRxStart), 16u);
}

TEST_F(ChipTest, CountersFollowTheLockAndTheMessageRate) {
    chip().setStartupSeconds(0);
    ASSERT_EQ(0, initChip(kMaster, -2));  // 4 sync messages per second
    ASSERT_TRUE(waitForState(TOP_DRV_RUNNING));
    chip().forceLock(0);
    chip().setCounters(0, 0);
    ASSERT_TRUE(waitUntil([&] { return chip().status().sls >= 20; }));
    topdrv::Status s = chip().status();
    EXPECT_LE(std::abs(static_cast<long>(s.noRxSync) - 4 * static_cast<long>(s.sls)), 4L)
        << "sls " << s.sls << " norx " << s.noRxSync;

    // Locked without loss: neither counter moves.
    chip().forceLock(1);
    topdrv::Status before = chip().status();
    ASSERT_TRUE(protocolTimePasses(5));
    topdrv::Status after = chip().status();
    EXPECT_EQ(before.sls, after.sls);
    EXPECT_EQ(before.noRxSync, after.noRxSync);

    // Locked with half the messages lost: only no-rx-sync moves, at half the rate.
    chip().setSyncLossPerMille(500);
    ASSERT_EQ(0, topDrvAdapIf_setMessageRate(0));  // 1 per second
    chip().setCounters(0, 0);
    ASSERT_TRUE(waitUntil([&] { return chip().status().noRxSync >= 10; }));
    EXPECT_EQ(0u, chip().status().sls);

    // Frozen counters change only when set.
    chip().freezeCounters(true);
    chip().setCounters(5, 7);
    chip().forceLock(0);
    ASSERT_TRUE(protocolTimePasses(5));
    uint32_t sls = 0, noRx = 0;
    EXPECT_EQ(0, topDrvAdapIf_getSLS(&sls));
    EXPECT_EQ(0, topDrvAdapIf_getNoRxSyncMsg(&noRx));
    EXPECT_EQ(5u, sls);
    EXPECT_EQ(7u, noRx);
    chip().freezeCounters(false);
    EXPECT_TRUE(waitUntil([&] { return chip().status().sls > 5; }));
}

TEST(SplitMix64, MatchesTheReferenceSequence) {
    topdrv::SplitMix64 g(1234567);
    uint64_t const expected[] = {6457827717110365317ull, 3203168211198807973ull, 9817491932198370423ull,
                                 4593380528125082431ull, 16408922859458223821ull};
    for (uint64_t e : expected) EXPECT_EQ(e, g.next());
    for (int i = 0; i < 1000; ++i) {
        double u = g.unit();
        ASSERT_GE(u, 0.0);
        ASSERT_LT(u, 1.0);
    }
}

TEST_F(ChipTest, PhaseErrorSamplesAreTheSameForTheSameSeed) {
    auto samples = [&](size_t n) {
        std::vector<float> out;
        for (size_t i = 0; i < n; ++i) {
            float f = 0;
            EXPECT_EQ(0, topDrvAdapIf_getPhaseError(&f));
            out.push_back(f);
        }
        return out;
    };
    cfg.seed = 42;
    cfg.phaseMean = 100;
    cfg.phaseSpread = 30;
    powerUp();
    runChip();
    std::vector<float> a = samples(200);
    double sum = 0;
    for (float f : a) {
        EXPECT_GE(f, 70.0f);
        EXPECT_LE(f, 130.0f);
        sum += f;
    }
    EXPECT_NEAR(100.0, sum / static_cast<double>(a.size()), 5.0);

    powerUp();
    runChip();
    EXPECT_EQ(a, samples(200));
    chip().setSeed(42);
    EXPECT_EQ(a, samples(200));

    cfg.seed = 43;
    powerUp();
    runChip();
    EXPECT_NE(a, samples(200));

    // Queued samples come first, then the sequence goes on where it was.
    cfg.seed = 42;
    powerUp();
    runChip();
    chip().queuePhaseErrors({5, -3, 10});
    std::vector<float> b = samples(5);
    EXPECT_EQ((std::vector<float>{5, -3, 10, a[0], a[1]}), b);
    EXPECT_EQ(5u, chip().status().phaseSamples);
    EXPECT_EQ(a[1], chip().status().lastPhaseError);

    chip().setPhaseError(-12, 0);
    float f = 0;
    EXPECT_EQ(0, topDrvAdapIf_getPhaseError(&f));
    EXPECT_EQ(-12.0f, f);
}
