#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "LogCapture.h"
#include "NodeDir.h"
#include "OSWrap.h"
#include "tmgr.h"

using testsupport::countRecords;
using testsupport::expectError;

namespace {

using Clock = std::chrono::steady_clock;

// A node directory of this test process, so marker files stay private to it.
std::string const gNodeDir = [] {
    char templ[] = "/tmp/tmgr-test-XXXXXX";
    char const* dir = mkdtemp(templ);
    std::string d = dir ? dir : "/tmp";
    setenv("TOPADAPTER_NODE_DIR", d.c_str(), 1);
    return d;
}();

// Registered after gNodeDir is built, so it runs before the string goes away.
int const gRemoveNodeDir = std::atexit([] { rmdir(gNodeDir.c_str()); });

char const* const kStepNames[] = {"setMainThreadKey", "libInit",    "taskPropInit",
                                  "initDoneWait",     "configDone", "waitForCardReady"};
int const kNotRun = 1;

// Runs the first `count` steps of the handshake for task 100, each only if the
// one before succeeded; the results, kNotRun for steps not run.
std::vector<int> handshake(int count, TaskProperties* p = nullptr) {
    TaskProperties own;
    if (!p) p = &own;
    std::function<int()> const steps[] = {
        [] { return tmgr_setMainThreadKey(); },   [] { return tmgr_libInit(); },
        [&] { return tmgr_taskPropInit(p); },     [] { return tmgr_initDoneWait(100); },
        [] { return tmgr_configDone(100); },      [] { return tmgr_waitForCardReady(); },
    };
    std::vector<int> results(count, kNotRun);
    for (int i = 0; i < count && (i == 0 || results[i - 1] == 0); ++i) results[i] = steps[i]();
    return results;
}

class Tmgr : public ::testing::Test {
protected:
    void SetUp() override {
        for (char const* v : {"TOPADAPTER_TASK_ID", "TOPADAPTER_TMGR_FAIL", "TOPADAPTER_CARD_READY"}) unsetenv(v);
        std::remove(tmgr::cardReadyMarkerPath().c_str());
        tmgr::reset();
    }
    void TearDown() override {
        OSWrap::setTimeScale(1);
        std::remove(tmgr::cardReadyMarkerPath().c_str());
    }

    // A fresh task manager in the given card-ready mode, up to the card-ready wait.
    static void handshakeToConfigDone(char const* cardReady) {
        setenv("TOPADAPTER_CARD_READY", cardReady, 1);
        tmgr::reset();
        ASSERT_EQ(std::vector<int>(5, 0), handshake(5));
    }
};

struct Waiter {
    std::atomic<bool> done{false};
    int result = -2;
    Clock::time_point returned;
    double cpuSeconds = 0;
    std::thread thread{[this] {
        struct rusage a, b;
        getrusage(RUSAGE_THREAD, &a);
        result = tmgr_waitForCardReady();
        getrusage(RUSAGE_THREAD, &b);
        returned = Clock::now();
        auto secs = [](timeval t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
        cpuSeconds = secs(b.ru_utime) - secs(a.ru_utime) + secs(b.ru_stime) - secs(a.ru_stime);
        done = true;
    }};
};

}  // namespace

TEST_F(Tmgr, HandshakeInOrderSucceedsAndFillsTheTaskProperties) {
    TaskProperties p;
    std::memset(&p, 0xff, sizeof p);
    EXPECT_EQ(std::vector<int>(3, 0), handshake(3, &p));
    EXPECT_EQ(100, tmgr_taskIdSelf());
    EXPECT_EQ(100, p.taskId);
    EXPECT_EQ(static_cast<int>(getpid()), p.pid);
    EXPECT_GT(std::strlen(p.name), 0u);
    EXPECT_LT(std::strlen(p.name), sizeof p.name);
    EXPECT_EQ(0, tmgr_taskPropInit(&p));  // may be repeated
    EXPECT_EQ(0, tmgr_initDoneWait(100));
    EXPECT_EQ(0, tmgr_configDone(100));
    EXPECT_EQ(0, tmgr_waitForCardReady());
    EXPECT_EQ(0, tmgr_waitForCardReady());

    // The task id comes from the environment when it is a valid one.
    setenv("TOPADAPTER_TASK_ID", "4242", 1);
    tmgr::reset();
    EXPECT_EQ(4242, tmgr_taskIdSelf());
    ASSERT_EQ(std::vector<int>(3, 0), handshake(3, &p));
    EXPECT_EQ(4242, p.taskId);
    setenv("TOPADAPTER_TASK_ID", "70000", 1);
    tmgr::reset();
    EXPECT_EQ(100, tmgr_taskIdSelf());
    EXPECT_EQ(1u, countRecords("TOPADAPTER_TASK_ID=70000 ignored"));
}

TEST_F(Tmgr, CallsOutOfOrderAreRefusedAndLogged) {
    expectError("refused");
    TaskProperties p;
    struct Case {
        int stepsDone;  // handshake steps run first
        std::function<int()> call;
        char const* fragment;
    };
    std::vector<Case> cases = {
        {0, [] { return tmgr_libInit(); }, "tmgr_libInit refused: no main thread key"},
        {0, [&] { return tmgr_taskPropInit(&p); }, "tmgr_taskPropInit refused: the task is not attached"},
        {0, [] { return tmgr_initDoneWait(100); }, "tmgr_initDoneWait refused: the task is not attached"},
        {0, [] { return tmgr_configDone(100); }, "tmgr_configDone refused: initialisation not reported"},
        {0, [] { return tmgr_waitForCardReady(); }, "tmgr_waitForCardReady refused: configuration not"},
        {1, [] { return tmgr_setMainThreadKey(); }, "tmgr_setMainThreadKey refused: the main thread key exists"},
        {2, [] { return tmgr_libInit(); }, "tmgr_libInit refused: the task is attached already"},
        {2, [] { return tmgr_taskPropInit(nullptr); }, "tmgr_taskPropInit refused: no property record"},
        {2, [] { return tmgr_initDoneWait(100); }, "tmgr_initDoneWait refused: task properties not"},
        {3, [] { return tmgr_initDoneWait(101); }, "tmgr_initDoneWait refused: task id 101 is not this task"},
        {3, [] { return tmgr_configDone(100); }, "tmgr_configDone refused: initialisation not reported"},
        {4, [] { return tmgr_initDoneWait(100); }, "tmgr_initDoneWait refused: initialisation was reported"},
        {4, [] { return tmgr_configDone(7); }, "tmgr_configDone refused: task id 7 is not this task"},
        {5, [] { return tmgr_configDone(100); }, "tmgr_configDone refused: configuration was reported"},
    };
    for (auto const& c : cases) {
        tmgr::reset();
        ASSERT_EQ(std::vector<int>(c.stepsDone, 0), handshake(c.stepsDone)) << c.fragment;
        size_t before = countRecords(c.fragment);
        EXPECT_EQ(-1, c.call()) << c.fragment;
        EXPECT_EQ(before + 1, countRecords(c.fragment)) << c.fragment;
    }
    // A refused call does not advance the handshake: the right one still works.
    tmgr::reset();
    EXPECT_EQ(-1, tmgr_libInit());
    EXPECT_EQ(std::vector<int>(2, 0), handshake(2));
}

TEST_F(Tmgr, EachStepFailsWhenTheEnvironmentSaysSo) {
    for (int failing = 0; failing < 6; ++failing) {
        setenv("TOPADAPTER_TMGR_FAIL", kStepNames[failing], 1);
        tmgr::reset();
        std::vector<int> expected(6, kNotRun);
        std::fill(expected.begin(), expected.begin() + failing, 0);
        expected[failing] = -1;
        EXPECT_EQ(expected, handshake(6)) << kStepNames[failing];
        EXPECT_EQ(1u, countRecords(std::string("tmgr_") + kStepNames[failing] + ": failing as configured"));
    }
    setenv("TOPADAPTER_TMGR_FAIL", "libInit,nonsense,configDone", 1);
    tmgr::reset();
    EXPECT_EQ(1u, countRecords("unknown step 'nonsense'"));
    EXPECT_EQ((std::vector<int>{0, -1}), handshake(2));
}

TEST_F(Tmgr, CardReadyWaitEndsWhenReportedInProcessOrByTheMarkerFileAndDoesNotSpin) {
    handshakeToConfigDone("wait");
    {
        Waiter w;
        // Watch the waiter for a while: it must neither return nor burn the CPU.
        auto until = Clock::now() + std::chrono::milliseconds(300);
        EXPECT_FALSE(testsupport::waitUntil([&] { return w.done.load(); }, std::chrono::milliseconds(300)));
        ASSERT_GE(Clock::now(), until);
        auto reported = Clock::now();
        tmgr::setCardReady();
        w.thread.join();
        EXPECT_EQ(0, w.result);
        EXPECT_GE(w.returned, reported);
        EXPECT_LT(w.cpuSeconds, 0.1);
        EXPECT_EQ(1u, countRecords("card ready (reported in process)"));
        EXPECT_EQ(0, tmgr_waitForCardReady());  // stays ready
    }

    handshakeToConfigDone("wait");
    ASSERT_TRUE(platform::nodeDirectoryOk());
    {
        Waiter w;
        auto created = Clock::now();
        FILE* f = std::fopen(tmgr::cardReadyMarkerPath().c_str(), "w");
        ASSERT_NE(nullptr, f);
        std::fclose(f);
        w.thread.join();
        EXPECT_EQ(0, w.result);
        EXPECT_GE(w.returned, created);
        EXPECT_EQ(1u, countRecords("card ready (marker file)"));
    }
    // A marker that is there already ends the wait at once.
    handshakeToConfigDone("wait");
    EXPECT_EQ(0, tmgr_waitForCardReady());
    EXPECT_EQ(2u, countRecords("card ready (marker file)"));
}

TEST_F(Tmgr, CardReadyAfterADelayOnTheScaledClock) {
    OSWrap::setTimeScale(100);
    handshakeToConfigDone("20");  // 20 s at scale 100: 200 ms
    auto start = Clock::now();
    EXPECT_EQ(0, tmgr_waitForCardReady());
    // The deadline is kept in whole milliseconds, so up to one may be lost.
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(199));
    EXPECT_EQ(1u, countRecords("card ready (delay elapsed)"));

    handshakeToConfigDone("soon");
    EXPECT_EQ(1u, countRecords("TOPADAPTER_CARD_READY=soon ignored"));
    EXPECT_EQ(0, tmgr_waitForCardReady());
}
