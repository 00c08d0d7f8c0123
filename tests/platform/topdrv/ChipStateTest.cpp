#include <cstdlib>
#include <vector>

#include "ChipTestSupport.h"

using namespace chiptest;
using testsupport::countRecords;
using testsupport::waitUntil;

namespace {

// The in-process tests drive the chip directly; no control socket needed.
int const gNoControlChannel = [] { return setenv("TOPADAPTER_TOPDRV_CONTROL", "0", 1); }();

uint32_t lockState() { return query(topDrvAdapIf_getLockState); }

// Waits until the scaled clock has moved on by `protocolSeconds`.
bool protocolTimePasses(double protocolSeconds) {
    OSWrap::TimeSpec end =
        OSWrap::Clock::getTime() + OSWrap::TimeSpec(0, static_cast<int64_t>(protocolSeconds * 1e9));
    return waitUntil([&] { return OSWrap::Clock::getTime() >= end; });
}

}  // namespace

TEST_F(ChipTest, FirmwareUpgradeAdmitsOnlyStatePollsAndEndsAfterItsPollsOrItsScaledDuration) {
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
    expectUpgradePolls(3);
    EXPECT_EQ(uint32_t{TOP_DRV_NOT_STARTED}, state());

    cfg.fwUpgradePolls = 0;
    cfg.fwUpgradeSeconds = 50;  // 500 ms at the test's scale
    auto t0 = Clock::now();
    powerUp();
    uint32_t first = state();
    if (Clock::now() - t0 < real(50)) {
        EXPECT_EQ(uint32_t{TOP_FW_UPGRADING}, first);
    }
    ASSERT_TRUE(waitForState(TOP_DRV_NOT_STARTED));
    EXPECT_GE(Clock::now() - t0, real(50));

    // Also started by hand, from any state; it unconfigures the chip.
    runChip();
    chip().startFirmwareUpgrade(2, 0);
    EXPECT_FALSE(chip().status().configured);
    expectUpgradePolls(2);
}

TEST_F(ChipTest, InitStartsTheChipAfterTheScaledDelayAndItLocksAfterTheLockDelay) {
    cfg.startupSeconds = 10;  // 100 ms
    cfg.lockSeconds = 5;      // 50 ms
    powerUp();
    auto t0 = Clock::now();
    ASSERT_EQ(0, initChip());
    bool sawStarting = false;
    ASSERT_TRUE(waitUntil([&] {
        uint32_t s = state();
        if (s == TOP_DRV_STARTING) return !(sawStarting = true);
        EXPECT_EQ(uint32_t{TOP_DRV_RUNNING}, s);
        EXPECT_GE(Clock::now() - t0, real(10)) << "running before the start-up delay";
        return true;
    }));
    EXPECT_TRUE(sawStarting);
    ASSERT_TRUE(waitUntil([&] { return lockState() == 1; }));
    EXPECT_GE(Clock::now() - t0, real(15)) << "locked before the lock delay";
    EXPECT_EQ(1u, query(topDrvAdapIf_getMasterClockState));
    EXPECT_EQ(1u, query(topDrvAdapIf_getMasterServiceState));
}

TEST_F(ChipTest, CallsOutOfOrderOrWithBadArgumentsAreRefusedWithOneWarningEach) {
    ASSERT_EQ(uint32_t{TOP_DRV_NOT_STARTED}, state());
    uint32_t v = 77;
    float f = 7.5f;
    // Only init and the state poll are admitted before init.
    for (auto const& c : everyFunction()) {
        if (c.fn == topdrv::Fn::Init || c.fn == topdrv::Fn::GetStateInfo) continue;
        std::string fragment = std::string(topdrv::fnName(c.fn)) + " refused";
        size_t before = countRecords(fragment);
        EXPECT_EQ(TOP_DRV_ERR_STATE, c.run(&v, &f)) << fragment;
        EXPECT_EQ(before + 1, countRecords(fragment)) << fragment;
    }
    EXPECT_EQ(1u, countRecords("topDrvAdapIf_setMessageRate refused: driver state 6"));
    struct Case {
        int (*call)();
        char const* fragment;
    } const badArguments[] = {
        {[] { return initChip(0); }, "topDrvAdapIf_init refused: master address 0"},
        {[] { return topDrvAdapIf_init(kOwnIp, kNetmask, kGateway, kMaster, -4, 1); }, "last argument must be 0"},
        {[] { return initChip(kMaster, 40000); }, "log mean sync value outside 16 bits"},
        {[] { return topDrvAdapIf_init(kOwnIp, 0xFF00FF00, kGateway, kMaster, -4, 0); }, "netmask not contiguous"},
        {[] { return topDrvAdapIf_init(kOwnIp, kNetmask, 0xC0A80001, kMaster, -4, 0); },
         "gateway not a different host of the own subnet"},
        {[] { return initChip(kOwnIp); }, "master address is the own address"},
        {[] { return topDrvAdapIf_getStateInfo(nullptr); }, "null pointer"},
    };
    for (auto const& c : badArguments) {
        size_t before = countRecords(c.fragment);
        EXPECT_EQ(TOP_DRV_ERR_PARAM, c.call()) << c.fragment;
        EXPECT_EQ(before + 1, countRecords(c.fragment)) << c.fragment;
    }
    EXPECT_EQ(uint32_t{TOP_DRV_NOT_STARTED}, state());
    EXPECT_EQ(77u, v);
    EXPECT_EQ(7.5f, f);
    for (auto const& r : testsupport::records()) {
        if (r.text.find("refused") != std::string::npos) {
            EXPECT_EQ(4, r.severity) << r.text;
        }
    }

    // Only the low 32 bits of an address count.
    runChip();
    EXPECT_EQ(0, topDrvAdapIf_setMasterIp(~0xFFFFFFFFul | (kMaster + 1)));  // high bits set where longs have them
    EXPECT_EQ(kMaster + 1, chip().status().masterIp);
    EXPECT_EQ(TOP_DRV_ERR_PARAM, topDrvAdapIf_setMasterIp(0));
    EXPECT_EQ(TOP_DRV_ERR_PARAM, topDrvAdapIf_setMessageRate(70000));
    EXPECT_EQ(TOP_DRV_ERR_PARAM, topDrvAdapIf_getLockState(nullptr));
    EXPECT_EQ(1u, countRecords("topDrvAdapIf_setMasterIp refused: 0x00000000 is not a master address"));
    EXPECT_EQ(0, topDrvAdapIf_deinit());
    EXPECT_EQ(uint32_t{TOP_DRV_NOT_STARTED}, state());
    EXPECT_FALSE(chip().status().configured);
    EXPECT_EQ(TOP_DRV_ERR_STATE, topDrvAdapIf_deinit());

    // A chip still starting may be disabled.
    chip().setStartupSeconds(1000);
    ASSERT_EQ(0, initChip());
    EXPECT_EQ(uint32_t{TOP_DRV_STARTING}, state());
    EXPECT_EQ(0, topDrvAdapIf_deinit());
    EXPECT_EQ(uint32_t{TOP_DRV_NOT_STARTED}, state());

    // States set by hand are reported as they are; deinit leaves any but 6 and 1.
    chip().setState(7);
    EXPECT_EQ(7u, state());
    EXPECT_EQ(TOP_DRV_ERR_STATE, topDrvAdapIf_getLockState(&v));
    EXPECT_EQ(0, topDrvAdapIf_deinit());
    EXPECT_EQ(uint32_t{TOP_DRV_NOT_STARTED}, state());
    chip().setState(TOP_FW_UPGRADING);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(uint32_t{TOP_FW_UPGRADING}, state());
}

TEST_F(ChipTest, DeadApiStaysDeadUntilTheNextInit) {
    runChip();
    EXPECT_EQ(0u, query(topDrvAdapIf_getApiState));
    chip().killApi();
    EXPECT_EQ(1u, query(topDrvAdapIf_getApiState));
    // The chip still runs and answers; only its API is declared dead.
    EXPECT_EQ(uint32_t{TOP_DRV_RUNNING}, state());
    EXPECT_EQ(0, topDrvAdapIf_setMasterIp(kMaster + 1));
    EXPECT_EQ(1u, query(topDrvAdapIf_getApiState));
    EXPECT_EQ(0, topDrvAdapIf_deinit());
    EXPECT_TRUE(chip().status().apiDead);
    runChip();
    EXPECT_EQ(0u, query(topDrvAdapIf_getApiState));
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
    // The same master again keeps the lock.
    ASSERT_EQ(0, topDrvAdapIf_setMasterIp(kMaster + 1));
    EXPECT_EQ(1u, lockState());
    // Forced states win over the model until given back.
    chip().forceLock(0);
    chip().forceMasterClock(0);
    chip().forceMasterService(0);
    EXPECT_EQ(0u, lockState());
    EXPECT_EQ(0u, query(topDrvAdapIf_getMasterClockState));
    EXPECT_EQ(0u, query(topDrvAdapIf_getMasterServiceState));
    chip().forceMasterClock(-1);
    EXPECT_EQ(1u, query(topDrvAdapIf_getMasterClockState));
    chip().forceLock(-1);
    ASSERT_TRUE(waitUntil([] { return lockState() == 1; }));
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
        sls = query(topDrvAdapIf_getSLS);
        return sls < slsStart && sls < 0x1000;
    }));
    auto t1 = Clock::now();
    uint32_t distance = sls - slsStart;  // modulo 2^32
    double atLeast = std::chrono::duration<double>(readStart - t0After).count() * kScale;
    double atMost = std::chrono::duration<double>(t1 - t0).count() * kScale;
    EXPECT_GE(static_cast<double>(distance), atLeast - 1) << "SLS runs slower than one per second";
    EXPECT_LE(static_cast<double>(distance), atMost) << "SLS runs faster than one per second";
    ASSERT_TRUE(waitUntil([&] {
        noRx = query(topDrvAdapIf_getNoRxSyncMsg);
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
    EXPECT_EQ(before.sls, chip().status().sls);
    EXPECT_EQ(before.noRxSync, chip().status().noRxSync);

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
    EXPECT_EQ(5u, query(topDrvAdapIf_getSLS));
    EXPECT_EQ(7u, query(topDrvAdapIf_getNoRxSyncMsg));
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
        std::vector<float> out(n);
        for (float& f : out) EXPECT_EQ(0, topDrvAdapIf_getPhaseError(&f));
        return out;
    };
    auto restart = [&](uint64_t seed) {
        cfg.seed = seed;
        powerUp();
        runChip();
    };
    cfg.phaseMean = 100;
    cfg.phaseSpread = 30;
    restart(42);
    std::vector<float> a = samples(200);
    double sum = 0;
    for (float f : a) {
        EXPECT_GE(f, 70.0f);
        EXPECT_LE(f, 130.0f);
        sum += f;
    }
    EXPECT_NEAR(100.0, sum / static_cast<double>(a.size()), 5.0);
    restart(42);
    EXPECT_EQ(a, samples(200));
    chip().setSeed(42);
    EXPECT_EQ(a, samples(200));
    restart(43);
    EXPECT_NE(a, samples(200));

    // Queued samples come first, then the sequence goes on where it was.
    restart(42);
    chip().queuePhaseErrors({5, -3, 10});
    EXPECT_EQ((std::vector<float>{5, -3, 10, a[0], a[1]}), samples(5));
    EXPECT_EQ(a[1], chip().status().lastPhaseError);
    chip().setPhaseError(-12, 0);
    EXPECT_EQ(std::vector<float>{-12.0f}, samples(1));
}
