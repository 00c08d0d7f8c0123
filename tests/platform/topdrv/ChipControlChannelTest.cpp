// The chip's control channel, reached by the topchip tool and by raw peers.
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
#include "ChipControl.h"
#include "ChipTestSupport.h"
#include "StandaloneNode.h"

using namespace chiptest;
using testsupport::countRecords;

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
        ASSERT_TRUE(waitForState(TOP_DRV_RUNNING));
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
