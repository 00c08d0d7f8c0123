// The simulated chip driven in process: its life and the text commands. The
// card scenarios drive the rest of it (failures, counters, samples) through
// its control channel and its environment.
#include <cstdlib>
#include <vector>

#include "ChipCommand.h"
#include "ChipTestSupport.h"

using namespace chiptest;
using testsupport::countRecords;
using testsupport::waitUntil;
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
    // The same failure list from the environment is ignored whole when any part of it is malformed.
    for (char const* bad : {"init", "init:0", "init:x", "bogus:5", "init:5:0", "init:5:1:2", "getSLS:1,init:"}) {
        setenv("TOPADAPTER_TOPDRV_FAIL", bad, 1);
        for (auto const& x : topdrv::Config::fromEnvironment().failures) EXPECT_EQ(0, x.status) << bad;
        EXPECT_EQ(1u, countRecords(std::string("TOPADAPTER_TOPDRV_FAIL=") + bad + " ignored")) << bad;
    }
    unsetenv("TOPADAPTER_TOPDRV_FAIL");
}
