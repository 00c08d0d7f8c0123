#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "ChipControl.h"
#include "ChipTestSupport.h"

using namespace chiptest;
using testsupport::countRecords;

namespace {

// A node directory and an actor name of this test process only.
std::string const gNodeDir = [] {
    char templ[] = "/tmp/topchip-test-XXXXXX";
    char const* dir = mkdtemp(templ);
    std::string d = dir ? dir : "/tmp";
    setenv("TOPADAPTER_NODE_DIR", d.c_str(), 1);
    setenv("TOPADAPTER_ACTOR", ("chipTest" + std::to_string(getpid())).c_str(), 1);
    unsetenv("TOPADAPTER_TOPDRV_CONTROL");
    return d;
}();

// Registered after gNodeDir is built, so it runs before the string goes away.
int const gRemoveNodeDir = std::atexit([] { rmdir(gNodeDir.c_str()); });

std::string const kPid = std::to_string(getpid());

struct ToolRun {
    int exitCode = -1;
    std::string output;
};

ToolRun topchip(std::vector<std::string> const& args) {
    testsupport::ChildProcess p(testsupport::builtExecutable("topchip"), args, {});
    ToolRun r;
    int status = 0;
    EXPECT_TRUE(p.waitForExit(std::chrono::milliseconds(10000), &status));
    if (WIFEXITED(status)) r.exitCode = WEXITSTATUS(status);
    r.output = p.output();
    return r;
}

// Output of a tool run that must succeed.
std::string topchipOk(std::vector<std::string> const& args) {
    ToolRun r = topchip(args);
    EXPECT_EQ(0, r.exitCode) << r.output;
    return r.output;
}

// The id of a process that has ended.
pid_t endedPid() {
    pid_t child = fork();
    if (child == 0) _exit(0);
    EXPECT_GT(child, 0);
    waitpid(child, nullptr, 0);
    return child;
}

int connectRaw(std::string const& path) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Everything the server sends until it closes (or 5 s pass).
std::string readToEnd(int fd) {
    std::string out;
    char buf[512];
    for (;;) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 5000) <= 0) return out + "<timeout>";
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) return out;
        out.append(buf, static_cast<size_t>(n));
    }
}

// Sends raw bytes on a connection of its own, ends the stream and returns the whole reply.
std::string exchangeRaw(std::string const& path, std::string const& bytes) {
    int fd = connectRaw(path);
    if (fd < 0) return "<cannot connect>";
    std::string reply = "<send failed>";
    if (send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size())) {
        shutdown(fd, SHUT_WR);
        reply = readToEnd(fd);
    }
    close(fd);
    return reply;
}

class ChipControlChannel : public ::testing::Test {
protected:
    void SetUp() override {
        topdrv::Config cfg;
        cfg.fwUpgradePolls = 0;
        cfg.startupSeconds = 0;
        topdrv::control().powerUp(cfg);
        path = topdrv::controlChannelPath();
        ASSERT_EQ(gNodeDir + "/topchip-" + kPid + ".ctl", path);
    }
    static void runChip() {
        ASSERT_EQ(0, initChip());
        ASSERT_TRUE(waitForState(TOP_DRV_RUNNING));
    }
    std::string path;
};

}  // namespace

TEST_F(ChipControlChannel, ToolCommandsReachTheChipOfThisProcess) {
    struct stat st;
    ASSERT_EQ(0, stat(path.c_str(), &st));
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(0600u, st.st_mode & 0777);

    runChip();
    EXPECT_EQ("ok\n", topchipOk({"-d", gNodeDir, "-p", kPid, "kill-api"}));
    EXPECT_EQ(1u, query(topDrvAdapIf_getApiState));
    topchipOk({"-p", kPid, "fail", "init", "5"});
    EXPECT_EQ(5, initChip());
    std::string out = topchipOk({"-p", kPid, "state"});
    EXPECT_NE(std::string::npos, out.find(" state=0 ")) << out;
    EXPECT_NE(std::string::npos, out.find(" api-dead=1 ")) << out;
    out = topchipOk({"-p", kPid, "journal", "1"});
    EXPECT_NE(std::string::npos, out.find("topDrvAdapIf_init(0xc0a8ff66, 0xfffffffc, 0xc0a8ff65, 0x0a000001, -4, 0) = 5"))
        << out;
}

TEST_F(ChipControlChannel, TheActorsWellKnownNameLeadsToTheSameChip) {
    std::string actor = topdrv::ownActorName();
    std::string name = topdrv::controlNamePath(actor);
    char target[256] = {};
    ASSERT_GT(readlink(name.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ("topchip-" + kPid + ".ctl", std::string(target));

    runChip();
    topchipOk({"-n", actor, "lock", "0"});
    EXPECT_EQ(0u, query(topDrvAdapIf_getLockState));
    // Without -p or -n the tool addresses TOPADAPTER_ACTOR, inherited here.
    topchipOk({"lock", "1"});
    EXPECT_EQ(1u, query(topDrvAdapIf_getLockState));

    std::string out = topchipOk({"--list"});
    EXPECT_NE(std::string::npos, out.find(path + " pid " + kPid + " alive")) << out;
    EXPECT_NE(std::string::npos, out.find(name + " pid " + kPid + " alive name " + actor)) << out;
}

TEST_F(ChipControlChannel, ToolReportsRefusalsAndUnreachableChips) {
    ToolRun r = topchip({"-p", kPid, "bogus", "word"});
    EXPECT_EQ(1, r.exitCode) << r.output;
    EXPECT_EQ("error: unknown command 'bogus'\n", r.output);
    EXPECT_EQ(1u, countRecords("topchip control: unknown command 'bogus' in 'bogus word'"));

    r = topchip({"-p", std::to_string(endedPid()), "state"});
    EXPECT_EQ(2, r.exitCode) << r.output;
    EXPECT_NE(std::string::npos, r.output.find("cannot reach")) << r.output;
    for (std::vector<std::string> const& args : {std::vector<std::string>{"-p", kPid}, {"-p", "abc", "state"},
                                                 {"-x", "state"}})
        EXPECT_EQ(2, topchip(args).exitCode) << args[0];
}

TEST_F(ChipControlChannel, MisbehavingPeersDoNotStopTheChannel) {
    EXPECT_EQ("error: command longer than 1023 bytes\n", exchangeRaw(path, std::string(2000, 'x')));
    // A peer that connects and leaves at once.
    int fd = connectRaw(path);
    ASSERT_GE(fd, 0);
    close(fd);
    // A command ended by the end of the stream instead of a newline.
    EXPECT_EQ(0u, exchangeRaw(path, "state").rfind("ok state=", 0));
    // Control bytes are made harmless before they reach the log.
    EXPECT_EQ("error: unknown command 'junk'\n", exchangeRaw(path, "\x01\x7f\xffjunk\n"));

    // A silent peer is dropped after a second; the next one is served.
    int silent = connectRaw(path);
    ASSERT_GE(silent, 0);
    std::string reply, error;
    ASSERT_TRUE(topdrv::sendControlCommand(path, "state", &reply, &error, 5000)) << error;
    EXPECT_EQ(0u, reply.rfind("ok state=", 0)) << reply;
    EXPECT_EQ("", readToEnd(silent));
    close(silent);
    EXPECT_EQ(1u, countRecords("topchip control: no command within 1000 ms"));
    EXPECT_EQ(1u, countRecords("topchip control: command longer than 1023 bytes refused"));
}

TEST_F(ChipControlChannel, ChannelsOfEndedProcessesAreRemoved) {
    pid_t child = endedPid();
    std::string dead = gNodeDir + "/topchip-" + std::to_string(child) + ".ctl";
    std::string ghost = gNodeDir + "/topchip-ghost.ctl";
    std::string other = gNodeDir + "/unrelated-file";
    for (auto const& f : {dead, other}) {
        FILE* fp = std::fopen(f.c_str(), "w");
        ASSERT_NE(nullptr, fp);
        std::fclose(fp);
    }
    ASSERT_EQ(0, symlink(("topchip-" + std::to_string(child) + ".ctl").c_str(), ghost.c_str()));

    topdrv::removeStaleChannels();
    struct stat st;
    EXPECT_NE(0, lstat(dead.c_str(), &st));
    EXPECT_NE(0, lstat(ghost.c_str(), &st));
    for (auto const& kept : {other, path, topdrv::controlNamePath(topdrv::ownActorName())})
        EXPECT_EQ(0, lstat(kept.c_str(), &st)) << kept;
    std::remove(other.c_str());
}
