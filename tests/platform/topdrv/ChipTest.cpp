// The simulated chip driven in process: its life, its call order, its
// counters and samples, failure injection and the text commands.
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <thread>
#include <tuple>
#include <vector>

#include "ChipCommand.h"
#include "ChipTestSupport.h"

using namespace chiptest;
using testsupport::countRecords;
using testsupport::waitUntil;
using topdrv::Fn;
using topdrv::runCommand;

namespace {

// The in-process tests drive the chip directly; no control socket needed.
int const gNoControlChannel = [] { return setenv("TOPADAPTER_TOPDRV_CONTROL", "0", 1); }();

uint32_t lockState() { return query(topDrvAdapIf_getLockState); }

// The chip's clock all but stands still for the scope, so that what follows a
// change is read before its delay ends, however slow the machine.
struct Frozen {
    Frozen() { OSWrap::setTimeScale(1e-9); }
    ~Frozen() { OSWrap::setTimeScale(kScale); }
};

}  // namespace

TEST_F(ChipTest, AfterTheUpgradeInitStartsTheChipWhichLocksAfterTheScaledDelaysUntilANewMasterOrADeadApi) {
    cfg.fwUpgradePolls = 3;
    cfg.startupSeconds = 10;  // 100 ms
    cfg.lockSeconds = 5;      // 50 ms
    powerUp();
    uint32_t v = 77;
    EXPECT_EQ(TOP_DRV_ERR_STATE, initChip());
    EXPECT_EQ(TOP_DRV_ERR_STATE, topDrvAdapIf_getLockState(&v));
    EXPECT_EQ(77u, v);
    EXPECT_EQ(1u, countRecords("topDrvAdapIf_init refused: firmware upgrade in progress (state 1)"));
    expectUpgradePolls(3);  // refused calls do not count

    auto t0 = Clock::now();
    {
        Frozen still;
        ASSERT_EQ(0, initChip());
        EXPECT_EQ(uint32_t{TOP_DRV_STARTING}, state());
    }
    ASSERT_TRUE(waitUntil([&] {
        uint32_t s = state();
        if (s == TOP_DRV_STARTING) return false;
        EXPECT_EQ(uint32_t{TOP_DRV_RUNNING}, s);
        EXPECT_GE(Clock::now() - t0, real(10)) << "running before the start-up delay";
        return true;
    }));
    ASSERT_TRUE(waitUntil([&] { return lockState() == 1; }));
    EXPECT_GE(Clock::now() - t0, real(15)) << "locked before the lock delay";
    EXPECT_EQ(2u, query(topDrvAdapIf_getMasterClockState) + query(topDrvAdapIf_getMasterServiceState));
    t0 = Clock::now();
    {
        Frozen still;
        ASSERT_EQ(0, topDrvAdapIf_setMasterIp(kMaster + 1));
        EXPECT_EQ(0u, lockState());
    }
    ASSERT_TRUE(waitUntil([] { return lockState() == 1; }));
    EXPECT_GE(Clock::now() - t0, real(5));
    ASSERT_EQ(0, topDrvAdapIf_setMasterIp(kMaster + 1));
    EXPECT_EQ(1u, lockState()) << "the same master again keeps the lock";
    // Forced states win over the model until given back.
    chip().forceLock(0);
    chip().forceMasterService(0);
    EXPECT_EQ(0u, lockState() + query(topDrvAdapIf_getMasterServiceState));
    chip().forceLock(-1);
    EXPECT_TRUE(waitUntil([] { return lockState() == 1; }));
    // A dead API shows only in its state, and stays dead until the next init.
    chip().killApi();
    EXPECT_EQ(0, topDrvAdapIf_setMasterIp(kMaster + 2));
    EXPECT_EQ(uint32_t{TOP_DRV_RUNNING}, state());
    EXPECT_EQ(1u, query(topDrvAdapIf_getApiState));
    EXPECT_EQ(0, topDrvAdapIf_deinit());
    EXPECT_TRUE(chip().status().apiDead);
    runChip();
    EXPECT_EQ(0u, query(topDrvAdapIf_getApiState));

    // An upgrade by time, started by hand from any state, unconfigures the chip.
    t0 = Clock::now();
    {
        Frozen still;
        chip().startFirmwareUpgrade(0, 50);  // 500 ms
        EXPECT_FALSE(chip().status().configured);
        EXPECT_EQ(uint32_t{TOP_FW_UPGRADING}, state());
    }
    ASSERT_TRUE(waitForState(TOP_DRV_NOT_STARTED));
    EXPECT_GE(Clock::now() - t0, real(50));
}

TEST_F(ChipTest, CallsOutOfOrderOrWithBadArgumentsAreRefusedWithOneWarningEach) {
    ASSERT_EQ(uint32_t{TOP_DRV_NOT_STARTED}, state());
    uint32_t v = 77;
    float f = 7.5f;
    // Only init and the state poll are admitted before init.
    for (auto const& c : everyFunction()) {
        if (c.fn == Fn::Init || c.fn == Fn::GetStateInfo) continue;
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
    EXPECT_TRUE(state() == TOP_DRV_NOT_STARTED && v == 77u && f == 7.5f) << "refusals change nothing";
    for (auto const& r : testsupport::records("refused")) EXPECT_EQ(4, r.severity) << r.text;

    // Only the low 32 bits of an address count; a chip still starting may be disabled.
    runChip();
    EXPECT_EQ(0, topDrvAdapIf_setMasterIp(~0xFFFFFFFFul | (kMaster + 1)));
    EXPECT_EQ(kMaster + 1, chip().status().masterIp);
    EXPECT_EQ(TOP_DRV_ERR_PARAM, topDrvAdapIf_setMessageRate(70000));
    chip().setStartupSeconds(1000);
    ASSERT_EQ(0, initChip());
    EXPECT_EQ(uint32_t{TOP_DRV_STARTING}, state());
    EXPECT_EQ(0, topDrvAdapIf_deinit());
    EXPECT_EQ(TOP_DRV_ERR_STATE, topDrvAdapIf_deinit());
    // A state set by hand is reported as it is, and deinit leaves it.
    chip().setState(7);
    EXPECT_EQ(7u, state());
    EXPECT_EQ(TOP_DRV_ERR_STATE, topDrvAdapIf_getLockState(&v));
    EXPECT_EQ(0, topDrvAdapIf_deinit());
    EXPECT_EQ(uint32_t{TOP_DRV_NOT_STARTED}, state());
}

TEST_F(ChipTest, CountersAdvanceOncePerSecondWithoutLockWrapModulo2To32AndFollowTheLockAndTheRate) {
    chip().setStartupSeconds(0);
    ASSERT_EQ(0, initChip(kMaster, -2));  // 4 sync messages per second
    ASSERT_TRUE(waitForState(TOP_DRV_RUNNING));
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
    EXPECT_GE(double(distance), std::chrono::duration<double>(readStart - t0After).count() * kScale - 1)
        << "SLS runs slower than one per second";
    EXPECT_LE(double(distance), std::chrono::duration<double>(t1 - t0).count() * kScale)
        << "SLS runs faster than one per second";
    ASSERT_TRUE(waitUntil([&] {
        noRx = query(topDrvAdapIf_getNoRxSyncMsg);
        return noRx < noRxStart && noRx < 0x1000;
    }));
    EXPECT_GE(uint32_t(noRx - noRxStart), 16u);

    chip().setCounters(0, 0);
    ASSERT_TRUE(waitUntil([&] { return chip().status().sls >= 20; }));
    topdrv::Status s = chip().status();
    EXPECT_LE(std::abs(long(s.noRxSync) - 4 * long(s.sls)), 4L) << "sls " << s.sls << " norx " << s.noRxSync;

    // Locked without loss: neither counter moves.
    chip().forceLock(1);
    topdrv::Status before = chip().status();
    OSWrap::TimeSpec later = OSWrap::Clock::getTime() + OSWrap::TimeSpec(5, 0);
    ASSERT_TRUE(waitUntil([&] { return OSWrap::Clock::getTime() >= later; }));
    EXPECT_TRUE(before.sls == chip().status().sls && before.noRxSync == chip().status().noRxSync);
    // Locked with half the messages lost: only no-rx-sync moves.
    chip().setSyncLossPerMille(500);
    ASSERT_TRUE(waitUntil([&] { return chip().status().noRxSync >= before.noRxSync + 10; }));
    EXPECT_EQ(before.sls, chip().status().sls);
}

// Queued and fixed samples: CommandsDriveTheChip.
TEST_F(ChipTest, PhaseErrorSamplesAreTheSameForTheSameSeed) {
    auto samples = [&](uint64_t seed, size_t n) {
        if (seed) {
            cfg.seed = seed;
            powerUp();
            runChip();
        }
        std::vector<float> out(n);
        for (float& f : out) EXPECT_EQ(0, topDrvAdapIf_getPhaseError(&f));
        return out;
    };
    cfg.phaseMean = 100;
    cfg.phaseSpread = 30;
    std::vector<float> a = samples(42, 200);
    EXPECT_TRUE(*std::min_element(a.begin(), a.end()) >= 70 && *std::max_element(a.begin(), a.end()) <= 130);
    EXPECT_EQ(a, samples(42, 200));
    EXPECT_NE(a, samples(43, 200));
    chip().setSeed(42);
    EXPECT_EQ(a, samples(0, 200));
    EXPECT_EQ(a[199], chip().status().lastPhaseError);
}

TEST_F(ChipTest, EveryFunctionReturnsItsInjectedStatusForItsCountAndChangesNothing) {
    int status = 40;
    for (auto const& c : everyFunction()) {
        SCOPED_TRACE(topdrv::fnName(c.fn));
        chip().setState(TOP_DRV_RUNNING);
        topdrv::Status before = chip().status();
        chip().injectFailure(c.fn, ++status, 2);
        uint32_t v = 0xabcdef;
        float f = -1.25f;
        EXPECT_EQ(status, c.run(&v, &f));
        EXPECT_EQ(status, c.run(&v, &f));
        EXPECT_TRUE(v == 0xabcdefu && f == -1.25f);
        topdrv::Status after = chip().status();
        EXPECT_EQ(std::make_tuple(before.state, before.masterIp, before.logMeanSync, before.phaseSamples),
                  std::make_tuple(after.state, after.masterIp, after.logMeanSync, after.phaseSamples));
        EXPECT_EQ(status, chip().journal(1).at(0).result);
        EXPECT_EQ(2u, countRecords(topdrv::fnName(c.fn) + (": failing with status " + std::to_string(status))));
        EXPECT_EQ(0, c.run(&v, &f)) << "the count is used up";
    }
    chip().injectFailure(Fn::GetSLS, 9);
    uint32_t v = 0;
    for (int i = 0; i < 5; ++i) EXPECT_EQ(9, topDrvAdapIf_getSLS(&v));
    chip().clearFailures();
    EXPECT_EQ(0, topDrvAdapIf_getSLS(&v));
}

TEST(ChipConfig, PowerUpConditionsComeFromTheEnvironmentAndAMalformedFailureListIsIgnoredWhole) {
    std::pair<char const*, char const*> const vars[] = {
        {"TOPADAPTER_TOPDRV_FW_UPGRADE_POLLS", "2"}, {"TOPADAPTER_TOPDRV_SLS_START", "4294967295"},
        {"TOPADAPTER_TOPDRV_FAIL", "getStateInfo:6:1,topDrvAdapIf_getSLS:-2"}};
    for (auto const& v : vars) setenv(v.first, v.second, 1);
    topdrv::control().powerUp();  // without arguments: from the environment
    uint32_t v = 0;
    EXPECT_EQ(6, topDrvAdapIf_getStateInfo(&v));
    expectUpgradePolls(2);
    EXPECT_EQ(0xFFFFFFFFu, topdrv::control().status().sls);
    EXPECT_EQ(-2, topDrvAdapIf_getSLS(&v));
    for (char const* bad : {"init", "init:0", "init:x", "bogus:5", "init:5:0", "init:5:1:2", "getSLS:1,init:"}) {
        setenv("TOPADAPTER_TOPDRV_FAIL", bad, 1);
        for (auto const& x : topdrv::Config::fromEnvironment().failures) EXPECT_EQ(0, x.status) << bad;
        EXPECT_EQ(1u, countRecords(std::string("TOPADAPTER_TOPDRV_FAIL=") + bad + " ignored")) << bad;
    }
    for (auto const& var : vars) unsetenv(var.first);
}

TEST_F(ChipTest, ConcurrentCallsGetValidAnswersAndAreAllJournaled) {
    runChip();
    std::vector<Call> const calls = everyFunction();
    std::atomic<int> bad{0};
    uint64_t const before = chip().journal(1).at(0).seq;
    std::vector<std::thread> threads;
    for (size_t t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            // Thread 0 also disables and reconfigures the chip; the others only query it.
            for (size_t i = 0; i < 1500; ++i) {
                Call const& c = calls[t == 0 ? (i * 7) % calls.size() : 2 + (i * t) % (calls.size() - 2)];
                uint32_t v = 0;
                float f = 0;
                int rc = c.run(&v, &f);
                bool flag = Fn::GetApiState <= c.fn && c.fn <= Fn::GetMasterServiceState;
                bad += (rc != 0 && rc != TOP_DRV_ERR_STATE) || (rc == 0 && flag && v > 1);
            }
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(0, bad.load());
    std::vector<topdrv::JournalEntry> j = chip().journal();
    ASSERT_EQ(topdrv::Chip::kJournalCapacity, j.size());
    EXPECT_EQ(before + 4 * 1500, j.back().seq);
    for (size_t i = 1; i < j.size(); ++i) ASSERT_EQ(j[i - 1].seq + 1, j[i].seq);
}

TEST_F(ChipTest, CommandsDriveTheChipAndMalformedOnesAreAnsweredWithAnErrorAndChangeNothing) {
    for (char const* cmd : {"fw-upgrade 2", "fail init 5 1", "startup-seconds 0"})
        EXPECT_EQ("ok\n", runCommand(chip(), cmd)) << cmd;
    expectUpgradePolls(2);
    EXPECT_EQ(5, initChip());
    EXPECT_EQ(0, initChip());
    ASSERT_TRUE(waitForState(TOP_DRV_RUNNING));
    for (char const* cmd : {"  kill-api  ", "lock 0", "service 0", "freeze-counters 1", "counters 4294967295 12",
                            "phase-samples 5,-3,10", "phase 50 0", "fail getSLS 3"})
        EXPECT_EQ("ok\n", runCommand(chip(), cmd)) << cmd;
    std::string st = runCommand(chip(), "state");
    ASSERT_EQ(0u, st.rfind("ok ", 0)) << st;
    st.back() = ' ';
    for (char const* e : {" api-dead=1 ", " lock=0 ", " service=0 ", " master=0x0a000001 ", " sls=4294967295 ",
                          " norx=12 ", " frozen=1 "})
        EXPECT_NE(std::string::npos, st.find(e)) << e << " in " << st;
    std::vector<float> phase(4);
    for (float& f : phase) EXPECT_EQ(0, topDrvAdapIf_getPhaseError(&f));
    EXPECT_EQ((std::vector<float>{5, -3, 10, 50}), phase);
    uint32_t v;
    EXPECT_EQ(3, topDrvAdapIf_getSLS(&v));
    std::string j = runCommand(chip(), "journal 2");
    EXPECT_TRUE(j.rfind("ok 2\n", 0) == 0 && j.find(" topDrvAdapIf_getPhaseError() = 0 -> 50\n") != std::string::npos &&
                j.find(" topDrvAdapIf_getSLS() = 3\n") != std::string::npos)
        << j;

    std::string before = runCommand(chip(), "state");
    for (char const* cmd : {"", "bogus", "state now", "fail nosuch 5", "fail init x", "fail init 5 0", "fail init",
                            "lock 2", "clock on", "counters -1 0", "counters 1", "counters 4294967296 0",
                            "fw-upgrade 0", "fw-upgrade-seconds 0", "startup-seconds -1", "phase-samples 1,,2",
                            "phase 1", "seed -1", "sync-loss 1001", "journal x", "freeze-counters auto",
                            "set-state x"}) {
        size_t warnings = countRecords("topchip control:");
        std::string reply = runCommand(chip(), cmd);
        EXPECT_EQ(0u, reply.rfind("error: ", 0)) << "'" << cmd << "' -> " << reply;
        EXPECT_EQ('\n', reply.back());
        EXPECT_EQ(warnings + 1, countRecords("topchip control:")) << cmd;
    }
    EXPECT_EQ(1u, countRecords("unknown command 'bogus'"));
    EXPECT_EQ(before, runCommand(chip(), "state"));
}
