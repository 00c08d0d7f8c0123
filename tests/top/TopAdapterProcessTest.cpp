// The topAdapter executable as the task manager starts it: start-up
// handshake, firmware wait, run phase and every failing step's exit.
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>
#include <iterator>
#include <cstdlib>
#include <map>
#include <string>

#include "ChildProcess.h"
#include "LogCapture.h"

using testsupport::ChildProcess;
using namespace std::chrono_literals;

namespace {

std::map<std::string, std::string> cardEnv(std::map<std::string, std::string> extra = {}) {
    std::map<std::string, std::string> env{
        {"TOPADAPTER_TRACE_MASK", "0xffffffff"},
        {"TOPADAPTER_TOPDRV_FW_UPGRADE_POLLS", "0"},
        {"TOPADAPTER_TOPDRV_CONTROL", "0"},
        {"TOPADAPTER_TASK_ID", "321"},
        {"TOPADAPTER_LOG_FILE", ""},
    };
    for (auto const& kv : extra) env[kv.first] = kv.second;
    return env;
}

std::unique_ptr<ChildProcess> startTask(std::map<std::string, std::string> extra = {}) {
    auto p = std::make_unique<ChildProcess>(testsupport::builtExecutable("topAdapter"), std::vector<std::string>{},
                                            cardEnv(std::move(extra)));
    EXPECT_TRUE(p->started());
    return p;
}

// Index of the first output line whose text ends with `text` (-1 if none).
int lineOf(ChildProcess& p, std::string const& text) {
    auto ls = p.lines();
    for (size_t i = 0; i < ls.size(); ++i)
        if (ls[i].size() >= text.size() && ls[i].compare(ls[i].size() - text.size(), text.size(), text) == 0)
            return static_cast<int>(i);
    return -1;
}

}  // namespace

// With Timing over Packet or without, the task waits for the firmware, starts in order and parks.
TEST(TopAdapterProcess, StartsWaitsForFirmwareAndParks) {
    for (char const* supported : {"1", "0"}) {
        SCOPED_TRACE(supported);
        std::string const polls = *supported == '1' ? "3" : "1";
        auto p = startTask({{"TOPADAPTER_TOP_SUPPORTED", supported}, {"TOPADAPTER_TOPDRV_FW_UPGRADE_POLLS", polls}});
        ASSERT_TRUE(p->waitForOutput("runPhase", 30s)) << p->output();
        std::vector<std::string> order{"topAdapterTask begin main",
                                       "main: taskId=321",
                                       "main: ml2DrvCif_init(taskId=321) done",
                                       " topAdapterTask",  // the task object's constructor
                                       "Waiting for TopDriver to complete software download if needed....",
                                       "Got state != TOP_FW_UPGRADING from TopDrv after " + polls + "s",
                                       "Card Ready entering main processing loop...",
                                       "runPhase"};
        int prev = -1;
        for (auto const& o : order) {
            int at = lineOf(*p, o);
            EXPECT_GT(at, prev) << "missing or out of order: " << o << "\n" << p->output();
            prev = at;
        }
        EXPECT_EQ(0u, p->countOutput("TRC255")) << p->output();
        // Parked: still alive, nothing more to say.
        int status;
        EXPECT_FALSE(p->waitForExit(300ms, &status));
    }
}

// A missing main thread key returns -1; every later failing step exits with one.
TEST(TopAdapterProcess, FailingTaskManagerStepsExit) {
    struct Case {
        char const* step;
        char const* text;
        bool errorTrace;
    } cases[] = {
        {"setMainThreadKey", "Task Manager: error while create main thread key ", true},
        {"libInit", "main: Failed to attach to task manager library!", true},
        {"taskPropInit", "main: Failed to init properties of task!", true},
        {"initDoneWait", "Wait for initialization failed taskid 321. Exiting..", false},
        {"configDone", "Configuration failed: taskid 321. Exiting..", true},
    };
    for (size_t stage = 0; stage < sizeof cases / sizeof cases[0]; ++stage) {
        Case const& c = cases[stage];
        SCOPED_TRACE(c.step);
        auto p = startTask({{"TOPADAPTER_TMGR_FAIL", c.step}});
        EXPECT_EQ(stage == 0 ? 255 : 1, p->exitCode(20s)) << p->output();
        int at = lineOf(*p, c.text);
        ASSERT_GE(at, 0) << p->output();
        std::string line = p->lines()[static_cast<size_t>(at)];
        EXPECT_EQ(c.errorTrace, line.find("TRC255/128/0x20000000 TopAdapterTask.cpp") != std::string::npos) << line;
        EXPECT_EQ(1u, p->countOutput(c.text));
        EXPECT_EQ(-1, lineOf(*p, "runPhase"));
        // The task id is known once the properties are; a failed init-done wait ends the task before the firmware wait.
        EXPECT_EQ(stage >= 3, p->countOutput("taskId=") > 0);
        EXPECT_EQ(stage == 4, p->countOutput("Waiting for TopDriver") > 0);
    }
}

TEST(TopAdapterProcess, FailedTraceSetRegistrationIsRetriedAndNotFatal) {
    auto p = startTask({{"TOPADAPTER_TRACE_INIT_FAIL", "topAdapter"}});
    // Trace sites try the registration again while the set stays
    // unregistered; start-up carries on to the run phase, whose first guard
    // sets up the handler threads, and parks.
    ASSERT_TRUE(p->waitForOutput("ORB uses HandlerThreads", 30s)) << p->output();
    EXPECT_GE(p->countOutput("Error from initTraceSet for cpp!"), 2u);
    int status;
    EXPECT_FALSE(p->waitForExit(300ms, &status));
}

TEST(TopAdapterProcess, WaitsAsLongAsTheChipUpgrades) {
    auto p = startTask({{"TOPADAPTER_TOPDRV_FW_UPGRADE_POLLS", "1000000"}});
    ASSERT_TRUE(p->waitForOutput("Waiting for TopDriver", 10s)) << p->output();
    int status;
    EXPECT_FALSE(p->waitForExit(1500ms, &status));
    EXPECT_EQ(0u, p->countOutput("Got state != TOP_FW_UPGRADING"));
}

TEST(TopAdapterProcess, TraceSetMaskFiltersOrdinaryTracesAndRecordsGoToTheLogFile) {
    char path[] = "/tmp/ta-log-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    // The set's own mask (128) lets error traces through, not ordinary ones.
    auto p = startTask({{"TOPADAPTER_TMGR_FAIL", "configDone"}, {"TOPADAPTER_TRACE_MASK", ""}, {"TOPADAPTER_LOG_FILE", path}});
    EXPECT_EQ(1, p->exitCode(20s)) << p->output();
    EXPECT_EQ(0u, p->countOutput("Configuration failed"));  // nothing on standard error
    std::ifstream in(path);
    std::string file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    unlink(path);
    EXPECT_NE(std::string::npos, file.find("TRC255/128/0x20000000 TopAdapterTask.cpp")) << file;
    EXPECT_NE(std::string::npos, file.find("Configuration failed: taskid 321. Exiting..")) << file;
    EXPECT_EQ(std::string::npos, file.find("topAdapterTask begin main")) << file;
}

// A report written where a sanitizer would write the child's, by a child that
// is then killed at teardown, fails the test and names the file.
TEST(TopAdapterProcess, AChildsSanitizerReportFailsTheTest) {
    static std::vector<std::string> reports;
    EXPECT_NONFATAL_FAILURE(
        {
            ChildProcess sh("/bin/sh", {"-c", "o=$TSAN_OPTIONS; echo 'ERROR: ThreadSanitizer' > ${o##*log_path=}.$$; exec sleep 60"},
                            {});
            ASSERT_TRUE(testsupport::waitUntil([&] { return !(reports = sh.sanitizerReports()).empty(); }));
        },
        "sanitizer report /tmp/topadapter-reports.");
    for (auto const& r : reports) unlink(r.c_str());
}

// Schedule chaos logs its seed once, at its first pass, so that a failure
// replays; a malformed setting is refused by name and leaves it off. Either
// way the task starts as it does without.
TEST(TopAdapterProcess, ScheduleChaosNamesItsSeedOnceOrItsMalformedSetting) {
    auto p = startTask({{"TOPADAPTER_CHAOS", "4242:0.5"}});
    ASSERT_TRUE(p->waitForOutput("runPhase", 30s)) << p->output();
    ASSERT_TRUE(p->waitForOutput("runtime schedule chaos: seed 4242, rate 0.5, stream ", 10s)) << p->output();
    EXPECT_EQ(1u, p->countOutput("schedule chaos: seed 4242")) << p->output();
    auto q = startTask({{"TOPADAPTER_CHAOS", "4242:half"}});
    ASSERT_TRUE(q->waitForOutput("runPhase", 30s)) << q->output();
    EXPECT_TRUE(q->waitForOutput("TOPADAPTER_CHAOS='4242:half' is not SEED[:RATE] with 0 < RATE <= 1", 10s)) << q->output();
    EXPECT_EQ(0u, q->countOutput("schedule chaos: seed")) << q->output();
}
