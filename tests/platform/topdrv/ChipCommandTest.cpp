#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "ChipCommand.h"
#include "ChipTestSupport.h"

using namespace chiptest;
using testsupport::countRecords;
using topdrv::runCommand;

namespace {

// Value of "key=value" in a state line.
std::string field(std::string const& line, std::string const& key) {
    std::istringstream in(line);
    std::string w;
    while (in >> w)
        if (w.compare(0, key.size() + 1, key + "=") == 0) return w.substr(key.size() + 1);
    return "<missing " + key + ">";
}

}  // namespace

TEST_F(ChipTest, CommandsDriveTheChip) {
    auto ok = [&](char const* cmd) { EXPECT_EQ("ok\n", runCommand(chip(), cmd)) << cmd; };
    ok("fw-upgrade 2");
    expectUpgradePolls(2);
    ok("fail init 5 1");
    EXPECT_EQ(5, initChip());
    ok("startup-seconds 0");
    EXPECT_EQ(0, initChip());
    ASSERT_TRUE(waitForState(TOP_DRV_RUNNING));

    for (char const* cmd : {"  kill-api  ", "lock 0", "service 0", "freeze-counters 1", "counters 4294967295 12"})
        ok(cmd);
    std::string st = runCommand(chip(), "state");
    ASSERT_EQ(0u, st.rfind("ok ", 0)) << st;
    EXPECT_EQ('\n', st.back());
    std::pair<char const*, char const*> const expected[] = {
        {"state", "0"},         {"api-dead", "1"},          {"configured", "1"},
        {"lock", "0"},          {"clock", "1"},             {"service", "0"},
        {"master", "0x0a000001"}, {"own", "0xc0a8ff66"},    {"log-mean-sync", "-4"},
        {"sls", "4294967295"},  {"norx", "12"},             {"frozen", "1"},
    };
    for (auto const& e : expected) EXPECT_EQ(e.second, field(st, e.first)) << e.first;

    ok("phase-samples 5,-3,10");
    float f = 0;
    for (float want : {5.0f, -3.0f, 10.0f}) {
        EXPECT_EQ(0, topDrvAdapIf_getPhaseError(&f));
        EXPECT_EQ(want, f);
    }
    ok("phase 50 0");
    EXPECT_EQ(0, topDrvAdapIf_getPhaseError(&f));
    EXPECT_EQ(50.0f, f);

    ok("set-state 7");
    EXPECT_EQ(7u, state());
    std::string j = runCommand(chip(), "journal 2");
    EXPECT_EQ(0u, j.rfind("ok 2\n", 0)) << j;
    EXPECT_NE(std::string::npos, j.find("topDrvAdapIf_getPhaseError() = 0 -> 50\n")) << j;
    EXPECT_NE(std::string::npos, j.find("topDrvAdapIf_getStateInfo() = 0 -> 7\n")) << j;

    ok("fail getStateInfo 3");
    uint32_t v;
    EXPECT_EQ(3, topDrvAdapIf_getStateInfo(&v));
    EXPECT_EQ(3, topDrvAdapIf_getStateInfo(&v));
    ok("clear-fail");
    EXPECT_EQ(0, topDrvAdapIf_getStateInfo(&v));

    ok("fw-upgrade forever");
    for (int i = 0; i < 10; ++i) EXPECT_EQ(uint32_t{TOP_FW_UPGRADING}, state());
    ok("set-state 6");
    EXPECT_EQ(uint32_t{TOP_DRV_NOT_STARTED}, state());
    EXPECT_EQ(0u, runCommand(chip(), "help").rfind("ok commands:", 0));
}

TEST_F(ChipTest, MalformedCommandsAreAnsweredWithAnErrorAndChangeNothing) {
    runChip();
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
    // Nothing changed but the counters, which run on.
    std::string after = runCommand(chip(), "state");
    for (char const* key : {"state", "api-dead", "lock", "clock", "service", "master", "log-mean-sync", "frozen",
                            "phase-samples"})
        EXPECT_EQ(field(before, key), field(after, key)) << key;
    uint32_t v = 0;
    EXPECT_EQ(0, topDrvAdapIf_getLockState(&v));
    EXPECT_EQ(0, topDrvAdapIf_deinit());
}
