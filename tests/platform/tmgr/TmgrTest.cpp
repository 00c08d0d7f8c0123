// The task manager's card-ready wait. The start-up handshake and its failing
// steps are the task's own process test's.
#include <gtest/gtest.h>

#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "LogCapture.h"
#include "NodeDir.h"
#include "OSWrap.h"
#include "StandaloneNode.h"
#include "tmgr.h"

using testsupport::countRecords;
using Clock = std::chrono::steady_clock;

namespace {

// Marker files stay private to this process.
std::string const gNodeDir = testsupport::privateNodeDirectory();

int const kNotRun = 1;

// Runs the first `count` steps of the handshake for task 100, each only if the
// one before succeeded; the results, kNotRun for steps not run.
std::vector<int> handshake(int count) {
    TaskProperties p;
    std::function<int()> const steps[] = {
        [] { return tmgr_setMainThreadKey(); },   [] { return tmgr_libInit(); },
        [&] { return tmgr_taskPropInit(&p); },    [] { return tmgr_initDoneWait(100); },
        [] { return tmgr_configDone(100); },      [] { return tmgr_waitForCardReady(); },
    };
    std::vector<int> results(count, kNotRun);
    for (int i = 0; i < count && (i == 0 || results[i - 1] == 0); ++i) results[i] = steps[i]();
    return results;
}

// A fresh task manager with `var`=`value`.
void restart(char const* var, char const* value) {
    setenv(var, value, 1);
    tmgr::reset();
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
};

// Runs tmgr_waitForCardReady on a thread of its own, measuring its CPU time.
struct Waiter {
    std::atomic<bool> done{false};
    int result = -2;
    Clock::time_point returned;
    double cpuSeconds = 0;
    std::thread thread{[this] {
        auto cpu = [] {
            struct timespec t;
            clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
            return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
        };
        cpuSeconds = -cpu();
        result = tmgr_waitForCardReady();
        cpuSeconds += cpu();
        returned = Clock::now();
        done = true;
    }};
    ~Waiter() {
        tmgr::setCardReady();  // a waiter that failed to return must not hang the test
        thread.join();
    }
};

}  // namespace

TEST_F(Tmgr, CardReadyWaitEndsOnAnInProcessReportAMarkerFileOrAScaledDelayAndDoesNotSpin) {
    ASSERT_TRUE(platform::nodeDirectoryOk());
    setenv("TOPADAPTER_CARD_READY", "wait", 1);
    std::function<void()> const reports[] = {tmgr::setCardReady, [] {
                                                 FILE* f = std::fopen(tmgr::cardReadyMarkerPath().c_str(), "w");
                                                 if (f) std::fclose(f);
                                             }};
    for (auto const& report : reports) {
        tmgr::reset();
        ASSERT_EQ(std::vector<int>(5, 0), handshake(5));
        Waiter w;
        // Watched for a while, it must neither return nor burn the CPU.
        EXPECT_FALSE(testsupport::waitUntil([&] { return w.done.load(); }, std::chrono::milliseconds(200)));
        auto reported = Clock::now();
        report();
        ASSERT_TRUE(testsupport::waitUntil([&] { return w.done.load(); }));
        EXPECT_EQ(0, w.result);
        EXPECT_GE(w.returned, reported);
        EXPECT_LT(w.cpuSeconds, 0.1);
        EXPECT_EQ(0, tmgr_waitForCardReady()) << "stays ready";
    }
    EXPECT_EQ(1u, countRecords("card ready (reported in process)"));
    // A marker that is there already ends the wait at once.
    tmgr::reset();
    ASSERT_EQ(std::vector<int>(6, 0), handshake(6));
    EXPECT_EQ(2u, countRecords("card ready (marker file)"));
    std::remove(tmgr::cardReadyMarkerPath().c_str());

    OSWrap::setTimeScale(100);
    restart("TOPADAPTER_CARD_READY", "20");  // 20 s at scale 100: 200 ms
    ASSERT_EQ(std::vector<int>(5, 0), handshake(5));
    auto start = Clock::now();
    EXPECT_EQ(0, tmgr_waitForCardReady());
    // The deadline is kept in whole milliseconds, so up to one may be lost.
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(199));
    EXPECT_EQ(1u, countRecords("card ready (delay elapsed)"));

    restart("TOPADAPTER_CARD_READY", "soon");
    EXPECT_EQ(1u, countRecords("TOPADAPTER_CARD_READY=soon ignored"));
    EXPECT_EQ(std::vector<int>(6, 0), handshake(6));
}
