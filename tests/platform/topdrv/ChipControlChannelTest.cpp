// The simulated chip's text commands and its control channel, reached by the
// topchip tool and by raw peers. The card scenarios drive the rest of the chip
// (its delays, failures, counters and samples) through that channel and its
// environment.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "ChipCommand.h"
#include "ChipControl.h"
#include "LogCapture.h"
#include "StandaloneNode.h"
#include "TopChip.h"
#include "topDrvAdapIf.h"

using testsupport::countRecords;
using topdrv::runCommand;

namespace {

// A node directory and an actor name of this test process only.
std::string const gNodeDir = [] {
    setenv("TOPADAPTER_ACTOR", ("chipTest" + std::to_string(getpid())).c_str(), 1);
    unsetenv("TOPADAPTER_TOPDRV_CONTROL");
    return testsupport::privateNodeDirectory();
}();

std::string const kPid = std::to_string(getpid());

// Runs the tool; its exit code and output.
std::pair<int, std::string> topchip(std::vector<std::string> const& args) {
    testsupport::ChildProcess p(testsupport::builtExecutable("topchip"), args, {});
    int const code = p.exitCode(std::chrono::milliseconds(10000));
    return {code, p.output()};
}

// Output of a tool run that must succeed.
std::string topchipOk(std::vector<std::string> const& args) {
    auto r = topchip(args);
    EXPECT_EQ(0, r.first) << r.second;
    return r.second;
}

// The id of a process that has ended.
pid_t endedPid() {
    pid_t child = fork();
    if (child == 0) _exit(0);
    waitpid(child, nullptr, 0);
    return child;
}

bool contains(std::string const& text, std::string const& part) { return text.find(part) != std::string::npos; }

// The value of a query that must succeed.
uint32_t query(int (*fn)(uint32_t*)) {
    uint32_t v = 0xdead;
    EXPECT_EQ(0, fn(&v));
    return v;
}

uint32_t state() { return query(topDrvAdapIf_getStateInfo); }

// The configuration the flow adapter passes; the chip runs at once.
int initChip() { return topDrvAdapIf_init(0xC0A8FF66, 0xFFFFFFFC, 0xC0A8FF65, 0x0A000001, -4, 0); }
bool running() { return testsupport::waitUntil([] { return state() == TOP_DRV_RUNNING; }); }

class ChipControlChannel : public ::testing::Test {
protected:
    void SetUp() override {
        topdrv::Config cfg;
        cfg.fwUpgradePolls = 0;
        cfg.startupSeconds = 0;
        topdrv::control().powerUp(cfg);
        path = topdrv::controlChannelPath();
        ASSERT_EQ(gNodeDir + "/topchip-" + kPid + ".ctl", path);
        ASSERT_EQ(0, initChip());
        ASSERT_TRUE(running());
    }
    std::string path;
};

}  // namespace

TEST_F(ChipControlChannel, ToolCommandsReachTheChipOfThisProcessByPidOrNameAndMisbehavingPeersDoNotStopIt) {
    struct stat st;
    ASSERT_EQ(0, stat(path.c_str(), &st));
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(0600u, st.st_mode & 0777);
    std::string actor = topdrv::ownActorName(), name = topdrv::controlNamePath(actor);
    char target[256] = {};
    ASSERT_GT(readlink(name.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ("topchip-" + kPid + ".ctl", std::string(target));

    EXPECT_EQ("ok\n", topchipOk({"-d", gNodeDir, "-p", kPid, "kill-api"}));
    EXPECT_EQ(1u, query(topDrvAdapIf_getApiState));
    topchipOk({"-n", actor, "lock", "0"});
    EXPECT_EQ(0u, query(topDrvAdapIf_getLockState));
    topchipOk({"lock", "1"});  // without -p or -n: TOPADAPTER_ACTOR, inherited here
    EXPECT_EQ(1u, query(topDrvAdapIf_getLockState));
    std::string out = topchipOk({"--list"});
    EXPECT_TRUE(contains(out, path + " pid " + kPid + " alive")) << out;
    EXPECT_TRUE(contains(out, name + " pid " + kPid + " alive name " + actor)) << out;

    // Refusals and unreachable chips are reported; misbehaving peers do not stop the channel.
    auto r = topchip({"-p", kPid, "bogus", "word"});
    EXPECT_EQ(1, r.first);
    EXPECT_EQ("error: unknown command 'bogus'\n", r.second);
    EXPECT_EQ(1u, countRecords("topchip control: unknown command 'bogus' in 'bogus word'"));
    r = topchip({"-p", std::to_string(endedPid()), "state"});
    EXPECT_EQ(2, r.first);
    EXPECT_TRUE(contains(r.second, "cannot reach")) << r.second;
    EXPECT_EQ(2, topchip({"-p", "abc", "state"}).first);

    // Too long: refused, and the channel goes on (the answer may be lost to the reset of the unread rest).
    std::string reply, error;
    topdrv::sendControlCommand(path, std::string(2000, 'x'), &reply, &error);
    // Control bytes are made harmless before they reach the log.
    EXPECT_TRUE(topdrv::sendControlCommand(path, "\x01\x7f\xffjunk", &reply, &error) &&
                reply == "error: unknown command 'junk'\n")
        << error << reply;
    // A silent peer is dropped after a second; the next one is served meanwhile.
    int silent = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    ASSERT_EQ(0, connect(silent, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
    ASSERT_TRUE(topdrv::sendControlCommand(path, "state", &reply, &error, 5000)) << error;
    EXPECT_EQ(0u, reply.rfind("ok state=", 0)) << reply;
    char byte;
    EXPECT_TRUE(testsupport::waitUntil([&] { return recv(silent, &byte, 1, MSG_DONTWAIT) == 0; }));
    close(silent);
    EXPECT_EQ(1u, countRecords("topchip control: no command within 1000 ms"));
    EXPECT_EQ(1u, countRecords("topchip control: command longer than 1023 bytes refused"));
}

TEST_F(ChipControlChannel, CommandsDriveTheChipAndMalformedOnesAreAnsweredWithAnErrorAndChangeNothing) {
    topdrv::Chip& chip = topdrv::control();
    EXPECT_EQ("ok\n", runCommand(chip, "fw-upgrade 2"));
    // Refused calls do not count towards the upgrade's polls.
    EXPECT_EQ(TOP_DRV_ERR_STATE, initChip());
    EXPECT_EQ("ok\n", runCommand(chip, "fail init 5 1"));
    for (uint32_t want : {TOP_FW_UPGRADING, TOP_FW_UPGRADING, TOP_DRV_NOT_STARTED}) EXPECT_EQ(want, state());
    EXPECT_EQ(5, initChip());
    EXPECT_EQ(0, initChip());
    ASSERT_TRUE(running());
    for (char const* cmd : {"  kill-api  ", "lock 0", "service 0", "freeze-counters 1", "counters 4294967295 12",
                            "phase-samples 5,-3,10", "phase 50 0", "fail getSLS 3"})
        EXPECT_EQ("ok\n", runCommand(chip, cmd)) << cmd;
    std::string st = runCommand(chip, "state");
    ASSERT_EQ(0u, st.rfind("ok ", 0)) << st;
    st.back() = ' ';
    for (char const* e : {" api-dead=1 ", " lock=0 ", " service=0 ", " master=0x0a000001 ", " sls=4294967295 ",
                          " norx=12 ", " frozen=1 "})
        EXPECT_TRUE(contains(st, e)) << e << " in " << st;
    std::vector<float> phase(4);
    for (float& f : phase) EXPECT_EQ(0, topDrvAdapIf_getPhaseError(&f));
    EXPECT_EQ((std::vector<float>{5, -3, 10, 50}), phase);
    uint32_t v;
    EXPECT_EQ(3, topDrvAdapIf_getSLS(&v));
    std::string j = runCommand(chip, "journal 2");
    EXPECT_TRUE(j.rfind("ok 2\n", 0) == 0 && contains(j, " topDrvAdapIf_getPhaseError() = 0 -> 50\n") &&
                contains(j, " topDrvAdapIf_getSLS() = 3\n"))
        << j;

    std::string before = runCommand(chip, "state");
    for (char const* cmd : {"", "bogus", "state now", "fail nosuch 5", "fail init x", "fail init 5 0", "fail init",
                            "lock 2", "clock on", "counters -1 0", "counters 1", "counters 4294967296 0",
                            "fw-upgrade 0", "fw-upgrade-seconds 0", "startup-seconds -1", "phase-samples 1,,2",
                            "phase 1", "seed -1", "sync-loss 1001", "journal x", "freeze-counters auto",
                            "set-state x"}) {
        size_t warnings = countRecords("topchip control:");
        std::string reply = runCommand(chip, cmd);
        EXPECT_EQ(0u, reply.rfind("error: ", 0)) << "'" << cmd << "' -> " << reply;
        EXPECT_EQ('\n', reply.back());
        EXPECT_EQ(warnings + 1, countRecords("topchip control:")) << cmd;
    }
    EXPECT_EQ(before, runCommand(chip, "state"));
    // The same failure list from the environment is ignored whole when any part of it is malformed.
    for (char const* bad : {"init", "init:0", "init:x", "bogus:5", "init:5:0", "init:5:1:2", "getSLS:1,init:"}) {
        setenv("TOPADAPTER_TOPDRV_FAIL", bad, 1);
        for (auto const& x : topdrv::Config::fromEnvironment().failures) EXPECT_EQ(0, x.status) << bad;
        EXPECT_EQ(1u, countRecords(std::string("TOPADAPTER_TOPDRV_FAIL=") + bad + " ignored")) << bad;
    }
    unsetenv("TOPADAPTER_TOPDRV_FAIL");
}
