#include <sstream>
#include <string>
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
    EXPECT_EQ("ok\n", runCommand(chip(), "fw-upgrade 2"));
    EXPECT_EQ(static_cast<uint32_t>(TOP_FW_UPGRADING), state());
    EXPECT_EQ(static_cast<uint32_t>(TOP_FW_UPGRADING), state());
    EXPECT_EQ(static_cast<uint32_t>(TOP_DRV_NOT_STARTED), state());

    EXPECT_EQ("ok\n", runCommand(chip(), "fail init 5 1"));
    EXPECT_EQ(5, initChip());
    EXPECT_EQ("ok\n", runCommand(chip(), "startup-seconds 0"));
    EXPECT_EQ(0, initChip());
    ASSERT_TRUE(waitForState(TOP_DRV_RUNNING));

    EXPECT_EQ("ok\n", runCommand(chip(), "  kill-api  "));
    EXPECT_EQ("ok\n", runCommand(chip(), "lock 0"));
    EXPECT_EQ("ok\n", runCommand(chip(), "service 0"));
    EXPECT_EQ("ok\n", runCommand(chip(), "freeze-counters 1"));
    EXPECT_EQ("ok\n", runCommand(chip(), "counters 4294967295 12"));
    std::string st = runCommand(chip(), "state");
    ASSERT_EQ(0u, st.rfind("ok ", 0)) << st;
    EXPECT_EQ('\n', st.back());
    EXPECT_EQ("0", field(st, "state"));
    EXPECT_EQ("1", field(st, "api-dead"));
    EXPECT_EQ("1", field(st, "configured"));
    EXPECT_EQ("0", field(st, "lock"));
    EXPECT_EQ("1", field(st, "clock"));
    EXPECT_EQ("0", field(st, "service"));
    EXPECT_EQ("0x0a000001", field(st, "master"));
    EXPECT_EQ("0xc0a8ff66", field(st, "own"));
    EXPECT_EQ("-4", field(st, "log-mean-sync"));
    EXPECT_EQ("4294967295", field(st, "sls"));
    EXPECT_EQ("12", field(st, "norx"));
    EXPECT_EQ("1", field(st, "frozen"));

    EXPECT_EQ("ok\n", runCommand(chip(), "phase-samples 5,-3,10"));
    float f = 0;
    for (float want : {5.0f, -3.0f, 10.0f}) {
        EXPECT_EQ(0, topDrvAdapIf_getPhaseError(&f));
        EXPECT_EQ(want, f);
    }
    EXPECT_EQ("ok\n", runCommand(chip(), "phase 50 0"));
    EXPECT_EQ(0, topDrvAdapIf_getPhaseError(&f));
    EXPECT_EQ(50.0f, f);

    EXPECT_EQ("ok\n", runCommand(chip(), "set-state 7"));
    EXPECT_EQ(7u, state());
    std::string j = runCommand(chip(), "journal 2");
    EXPECT_EQ(0u, j.rfind("ok 2\n", 0)) << j;
    EXPECT_NE(std::string::npos, j.find("topDrvAdapIf_getPhaseError() = 0 -> 50\n")) << j;
    EXPECT_NE(std::string::npos, j.find("topDrvAdapIf_getStateInfo() = 0 -> 7\n")) << j;

    EXPECT_EQ("ok\n", runCommand(chip(), "fail getStateInfo 3"));
    uint32_t v;
    EXPECT_EQ(3, topDrvAdapIf_getStateInfo(&v));
    EXPECT_EQ(3, topDrvAdapIf_getStateInfo(&v));
    EXPECT_EQ("ok\n", runCommand(chip(), "clear-fail"));
    EXPECT_EQ(0, topDrvAdapIf_getStateInfo(&v));

    EXPECT_EQ("ok\n", runCommand(chip(), "fw-upgrade forever"));
    for (int i = 0; i < 10; ++i) EXPECT_EQ(static_cast<uint32_t>(TOP_FW_UPGRADING), state());
    EXPECT_EQ("ok\n", runCommand(chip(), "set-state 6"));
    EXPECT_EQ(static_cast<uint32_t>(TOP_DRV_NOT_STARTED), state());
    EXPECT_EQ(0u, runCommand(chip(), "help").rfind("ok commands:", 0));
}

TEST_F(ChipTest, MalformedCommandsAreAnsweredWithAnErrorAndChangeNothing) {
    runChip();
    std::string before = runCommand(chip(), "state");
    std::vector<std::string> bad = {
        "",
        "bogus",
        "state now",
        "fail nosuch 5",
        "fail init x",
        "fail init 5 0",
        "fail init",
        "lock 2",
        "clock on",
        "counters -1 0",
        "counters 1",
        "counters 4294967296 0",
        "fw-upgrade 0",
        "fw-upgrade-seconds 0",
        "startup-seconds -1",
        "phase-samples 1,,2",
        "phase 1",
        "seed -1",
        "sync-loss 1001",
        "journal x",
        "freeze-counters auto",
        "set-state x",
    };
    for (auto const& cmd : bad) {
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
