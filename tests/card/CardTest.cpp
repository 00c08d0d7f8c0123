// A whole simulated card: the membership service, the model actor, the task
// on its simulated chip, under the time scale. Each scenario is checked from
// outside: what the model received, what the chip was told, which traces the
// task wrote.
#include <signal.h>

#include <future>
#include <set>

#include "Catalogue.h"
#include "SimulatedCard.h"
#include "TopAdapterStatusClient.h"

using namespace cardtest;

namespace {

::testing::Environment* const gNode = ::testing::AddGlobalTestEnvironment(new NodeEnvironment);

}  // namespace

// Flows of the own unit get adapters, those made before the task and after
// it alike; another unit's flow gets none; a deleted flow's chip stops and
// its alarms end.
TEST_F(Card, FlowsOfTheOwnUnitAreAdoptedAndDeletedFlowsLetGo) {
    ASSERT_NO_FATAL_FAILURE(startModel({"1:1:1:10.0.0.1", "2:2:1:10.0.0.2"}));
    ASSERT_NO_FATAL_FAILURE(startTask());
    ASSERT_TRUE(traced("Driver start up successfully finished"));
    EXPECT_EQ(1u, task->countOutput("Creating Flow Adapter"));
    EXPECT_TRUE(waitUntil([&] { return driverUp(1); }));
    EXPECT_FALSE(driverUp(2));
    EXPECT_NE(std::string::npos, chip("state").find("master=0x0a000001"));
    // The new flow's first cancels clear the model; the second never had an adapter.
    EXPECT_TRUE(waitUntil([&] { return alarms(1, 1).size() == 1; }));
    EXPECT_TRUE(alarms(2, 1).empty());

    EXPECT_TRUE(model_([](ModelControlClient& c) { return c.deleteFlow(1); }));
    ASSERT_TRUE(traced("Deleting Flow Adapter"));
    EXPECT_TRUE(traced("Disabling TOP chip Successfully"));
    EXPECT_NE(std::string::npos, chip("state").find("state=6"));
    size_t const before = alarms(1, 1).size() + alarms(1, 2).size();
    // A flow made after the task: unlocked, it waits for its first master address.
    model_([](ModelControlClient& c) { return c.createFlow(3, kOwn, 0, TipprmiArray<short, 4>()).isConnected(); });
    ASSERT_TRUE(traced("Creating Flow Adapter", 2));
    model_([](ModelControlClient& c) { return c.setAdminState(3, 1); });
    ASSERT_TRUE(traced("enableAdapter()", 2));
    EXPECT_NE(std::string::npos, chip("state").find("state=6"));
    model_([](ModelControlClient& c) { return c.setMasterIp(3, ip(10, 0, 0, 3)); });
    ASSERT_TRUE(traced("Driver start up successfully finished", 2));
    EXPECT_NE(std::string::npos, chip("state").find("master=0x0a000003"));
    EXPECT_EQ(before, alarms(1, 1).size() + alarms(1, 2).size());
}

// Locked: nothing configured; unlocked: configured and started, with a new
// master address that arrived during the start-up applied at its end;
// running: changes go to the driver at once; locked again: stopped.
TEST_F(Card, AdministrativeStateAndFlowValuesDriveTheChip) {
    ASSERT_NO_FATAL_FAILURE(startModel({"1:1:0:10.0.0.1"}));
    ASSERT_NO_FATAL_FAILURE(startTask({{"TOPADAPTER_TOPDRV_STARTUP_SECONDS", "40"}}));
    // Its last construction step: the observations are in place, so the
    // change below cannot fall between its first read and its observation.
    ASSERT_TRUE(traced("TopFlowAdapter(): Top API supervisor timer started"));
    EXPECT_EQ(0u, chipCalls("topDrvAdapIf_init"));
    model_([](ModelControlClient& c) { return c.setAdminState(1, 1); });
    ASSERT_TRUE(traced("TOP chip successfully configured"));
    model_([](ModelControlClient& c) { return c.setMasterIp(1, ip(10, 0, 0, 9)); });
    ASSERT_TRUE(traced("Driver start up successfully finished"));
    // The pending address follows that trace.
    EXPECT_TRUE(waitUntil([&] { return chip("state").find("master=0x0a000009") != std::string::npos; }));
    EXPECT_EQ(1u, chipCalls("topDrvAdapIf_setMasterIp"));
    EXPECT_TRUE(waitUntil([&] { return driverUp(1); }));

    model_([](ModelControlClient& c) { return c.setLogMeanSyncValue(1, -3); });
    EXPECT_TRUE(waitUntil([&] { return chip("state").find("log-mean-sync=-3") != std::string::npos; }));
    model_([](ModelControlClient& c) { return c.setMasterIp(1, ip(10, 0, 0, 7)); });
    EXPECT_TRUE(waitUntil([&] { return chip("state").find("master=0x0a000007") != std::string::npos; }));
    // The driver information the model asks for comes from the chip.
    EXPECT_TRUE(waitUntil([&] {
        TopFlowClient::DriverInfo info = model_([](ModelControlClient& c) { return c.requestDriverInfo(1); });
        return info.masterLockState == 0 && info.masterClockState == 0;
    }));

    model_([](ModelControlClient& c) { return c.setAdminState(1, 0); });
    ASSERT_TRUE(traced("Disabling TOP chip Successfully"));
    EXPECT_NE(std::string::npos, chip("state").find("state=6"));
    EXPECT_EQ(1u, chipCalls("topDrvAdapIf_init"));
}

// Each condition first clears the model; a lost lock raises sync source lost
// after 2 s and its return cancels it after 10 s; a driver down for less
// than the 60 s raise delay sends nothing, one down for longer raises master
// service unavailable.
TEST_F(Card, AlarmsRaiseAndCancelAfterTheirDelays) {
    ASSERT_NO_FATAL_FAILURE(startModel({"1:1:1:10.0.0.1"}));
    ASSERT_NO_FATAL_FAILURE(startTask());
    EXPECT_TRUE(waitUntil([&] { return alarms(1, 1).size() == 1 && alarms(1, 2).size() == 1; }, 20s));
    EXPECT_EQ(std::vector<bool>{false}, alarms(1, 2));

    chip("lock 0");
    EXPECT_TRUE(waitUntil([&] { return alarms(1, 1).size() == 2; }, 20s));
    chip("lock auto");
    EXPECT_TRUE(waitUntil([&] { return alarms(1, 1).size() == 3; }, 20s));
    EXPECT_EQ((std::vector<bool>{false, true, false}), alarms(1, 1));

    // Down for one poll, back for another before the raise is due (a poll
    // of a running driver reads its lock state).
    chip("set-state 6");
    ASSERT_TRUE(traced("Detect: Raise masterServiceUnavailable<TopFlow-1>"));
    size_t const lockReads = chipCalls("topDrvAdapIf_getLockState");
    chip("set-state 0");
    ASSERT_TRUE(waitUntil([&] { return chipCalls("topDrvAdapIf_getLockState") > lockReads; }));
    // Down for good: the one raise that reaches the model is this outage's.
    EXPECT_TRUE(traced("Detect: Raise masterServiceUnavailable<TopFlow-1>", 1));
    chip("set-state 6");
    EXPECT_TRUE(waitUntil([&] { return alarms(1, 2).size() == 2; }, 20s));
    EXPECT_EQ((std::vector<bool>{false, true}), alarms(1, 2));
    EXPECT_EQ(2u, task->countOutput("Detect: Raise masterServiceUnavailable"));
}

// A start-up that never ends leaves the model told the driver is not up and
// raises master service unavailable; a driver whose API dies is stopped and
// configured again by the supervisor.
TEST_F(Card, StuckStartUpAndDeadApi) {
    ASSERT_NO_FATAL_FAILURE(startModel({"1:1:1:10.0.0.1"}));
    ASSERT_NO_FATAL_FAILURE(startTask({{"TOPADAPTER_TOPDRV_STARTUP_SECONDS", "1000000"}}));
    ASSERT_TRUE(traced("TOP chip successfully configured"));
    EXPECT_TRUE(waitUntil([&] { return alarms(1, 2) == std::vector<bool>{true}; }, 20s));
    EXPECT_FALSE(driverUp(1));
    EXPECT_EQ(0u, task->countOutput("Driver start up successfully finished"));

    chip("set-state 0");
    ASSERT_TRUE(traced("Driver start up successfully finished"));
    EXPECT_TRUE(waitUntil([&] { return driverUp(1); }));
    chip("startup-seconds 1");
    chip("kill-api");
    ASSERT_TRUE(traced("ToP API certified dead - reviving procedure!"));
    ASSERT_TRUE(traced("Driver start up successfully finished", 2));
    EXPECT_EQ(1u, chipCalls("topDrvAdapIf_deinit"));
    EXPECT_EQ(2u, chipCalls("topDrvAdapIf_init"));
    EXPECT_NE(std::string::npos, chip("state").find("api-dead=0"));
}

// Operators toggle, delete and re-create a flow faster than its chip starts:
// every model call comes back at once, each configuration has a start-up
// wait of its own that a disable ends, a failed init leaves the flow for the
// next trigger, the performance service lives exactly while the flow is
// enabled, a rate changed alone during a start-up reaches the driver at its
// end, and a re-created flow keeps the chip its adapter configured.
TEST_F(Card, QuickTogglesDeletionsAndRecreationsLeaveTheChipAsTheModelSays) {
    ASSERT_NO_FATAL_FAILURE(startModel({"1:1:1:10.0.0.1"}));
    ASSERT_NO_FATAL_FAILURE(startTask({{"TOPADAPTER_TOPDRV_STARTUP_SECONDS", "1000000"}}));
    ASSERT_TRUE(traced("TopFlowAdapter(): Top API supervisor timer started"));
    auto quickly = [&](auto call) {
        auto const start = std::chrono::steady_clock::now();
        model_(call);
        EXPECT_LT(std::chrono::steady_clock::now() - start, 5s) << "a model call waited for the chip";
    };
    auto admin = [&](long v) { quickly([v](ModelControlClient& c) { return c.setAdminState(1, v); }); };
    auto observers = [&] { return model_([](ModelControlClient& c) { return c.getPerformance(1); }).triggerObservers; };
    for (long v : {0, 1, 0, 1, 0}) admin(v);
    ASSERT_TRUE(traced("Disabling TOP chip Successfully", 3));
    EXPECT_EQ(3u, chipCalls("topDrvAdapIf_init"));
    // Every wait has begun and the flow is told the start-up is over, also
    // when the last one began only after the disable of its configuration.
    EXPECT_TRUE(traced("DrvStartUpWait() called ", 3));
    EXPECT_TRUE(waitUntil([&] { return driverUp(1); }));
    EXPECT_TRUE(waitUntil([&] { return observers() == 0; }));
    EXPECT_EQ(0u, task->countOutput("Driver start up successfully finished"));

    chip("fail init 5 1");
    admin(1);
    ASSERT_TRUE(traced("TOP chip configuration FAILED"));
    EXPECT_TRUE(waitUntil([&] { return observers() == 1; }));
    chip("startup-seconds 40");
    admin(0);
    admin(1);
    ASSERT_TRUE(traced("TOP chip successfully configured", 4));
    quickly([](ModelControlClient& c) { return c.setLogMeanSyncValue(1, -4); });
    ASSERT_TRUE(traced("Driver start up successfully finished"));
    EXPECT_NE(std::string::npos, chip("state").find("log-mean-sync=-4"));
    EXPECT_EQ(1u, chipCalls("topDrvAdapIf_setMessageRate"));
    EXPECT_TRUE(waitUntil([&] { return driverUp(1) && observers() == 1; }));

    // Deleted by one operator and made again on the unit by another while
    // the old adapter's teardown waits on the model: the new adapter's chip
    // and alarm records are its own, whatever the old teardown does later.
    chip("startup-seconds 1");
    model_([](ModelControlClient& c) { c.holdAnswers("removeObserver", 0, 3000); });
    size_t const deinits = chipCalls("topDrvAdapIf_deinit"), cancels = alarms(1, 1).size();
    auto deleting = std::async(std::launch::async, [] {
        RunPermissionGuard g;
        return ModelControlClient(TipprmiOID(ModelControlClient::NAME)).deleteFlow(1);
    });
    ASSERT_TRUE(waitUntil([&] { return model->countOutput("model: removeObserver answers in") > 0; }));
    quickly([](ModelControlClient& c) { return c.createFlow(1, kOwn, 1, ip(10, 0, 0, 5)).isConnected(); });
    ASSERT_TRUE(traced("Driver start up successfully finished", 2));
    ASSERT_EQ(std::future_status::ready, deleting.wait_for(20s));
    EXPECT_TRUE(deleting.get());
    model_([](ModelControlClient& c) { c.holdAnswers("removeObserver", 0, 0); });
    size_t const lockReads = chipCalls("topDrvAdapIf_getLockState");
    ASSERT_TRUE(waitUntil([&] { return chipCalls("topDrvAdapIf_getLockState") > lockReads + 2; }));
    EXPECT_EQ(deinits, chipCalls("topDrvAdapIf_deinit"));
    EXPECT_NE(std::string::npos, chip("state").find("state=0"));
    EXPECT_NE(std::string::npos, chip("state").find("master=0x0a000005"));
    EXPECT_EQ(2u, task->countOutput("Creating Flow Adapter"));
    // The records are the new flow's still: a lost lock reaches its model.
    chip("lock 0");
    EXPECT_TRUE(waitUntil([&] {
        std::vector<bool> const sent = alarms(1, 1);
        return sent.size() > cancels && sent.back();
    }));
}

// The model changes while the task adopts its flows, each adoption giving
// the run permission up for remote calls (here one read is held long): a
// status read meanwhile sees only built adapters, a flow deleted after its
// adoption is let go, one created meanwhile is adopted, and the rate changed
// during the read that fetches it is the one the chip is configured with.
TEST_F(Card, ChangesWhileTheTaskAdoptsTheFlowsAreFollowed) {
    ASSERT_NO_FATAL_FAILURE(startModel({"1:1:1:10.0.0.1", "2:1:1:10.0.0.2"}));
    model_([](ModelControlClient& c) { c.holdAnswers("getLogMeanSyncValue", 1, 4000); });
    ASSERT_NO_FATAL_FAILURE(startTask({}, "TopFlowAdapter() called"));
    ASSERT_TRUE(model->waitForOutput("model: getLogMeanSyncValue answers in", 20s));
    TopAdapterStatusClient::TaskStatus status;
    {
        RunPermissionGuard g;
        status = TopAdapterStatusClient(TipprmiOID(TopAdapterStatusClient::NAME + "-1")).getStatus();
    }
    ASSERT_EQ(1u, status.flows.getLength()) << "the adapter being built is nobody's to read";
    unsigned long const built = status.flows[0].key, held = built == 1 ? 2 : 1;
    model_([&](ModelControlClient& c) { return c.setLogMeanSyncValue(held, -5); });
    model_([](ModelControlClient& c) { c.holdAnswers("getLogMeanSyncValue", 0, 0); });
    EXPECT_TRUE(model_([&](ModelControlClient& c) { return c.deleteFlow(built); }));
    model_([](ModelControlClient& c) { return c.createFlow(3, kOwn, 0, ip(10, 0, 0, 3)).isConnected(); });
    EXPECT_FALSE(task->countOutput("log mean sync -5")) << "configured before the held read came back";
    ASSERT_TRUE(traced("Creating Flow Adapter", 3));
    ASSERT_TRUE(traced("Driver start up successfully finished"));
    EXPECT_EQ(1u, task->countOutput("Deleting Flow Adapter"));
    EXPECT_TRUE(waitUntil([&] {
        std::string const s = chip("state");
        return s.find("state=0") != std::string::npos && s.find("log-mean-sync=-5") != std::string::npos;
    }));
    {
        RunPermissionGuard g;
        status = TopAdapterStatusClient(TipprmiOID(TopAdapterStatusClient::NAME + "-1")).getStatus();
    }
    ASSERT_EQ(2u, status.flows.getLength());
    EXPECT_EQ(held, status.flows[0].key == 3 ? status.flows[1].key : status.flows[0].key);
}

// The task killed outright and started again adopts the flows there are. To
// a subscriber it announces the catalogued interfaces and those of its own
// tables, none of the simulation's.
TEST_F(Card, ARestartedTaskAdoptsTheExistingFlows) {
    ASSERT_NO_FATAL_FAILURE(startModel({"1:1:1:10.0.0.1"}));
    ASSERT_NO_FATAL_FAILURE(startTask());
    ASSERT_TRUE(traced("Driver start up successfully finished"));
    task->kill(SIGKILL);
    ASSERT_TRUE(waitUntil([] { return !Transport::TransportLayer::instance().exists(peerId(kTaskNameId)); }));
    ASSERT_NO_FATAL_FAILURE(startTask());
    ASSERT_TRUE(traced("Driver start up successfully finished"));
    EXPECT_EQ(1u, task->countOutput("Creating Flow Adapter"));
    EXPECT_TRUE(waitUntil([&] { return driverUp(1); }));

    std::set<unsigned long> allowed;
    for (catalogue::Interface const& i : catalogue::readAll(TA_TASK_TABLES))
        if (!i.id) allowed.insert(i.classCode);
    ASSERT_GT(allowed.size(), 30u);
    RunPermissionGuard g;
    TreflectOrbId const at = orb().convertId(peerId(kTaskNameId));
    orb().registerForODN(TopFlowClient::kClassCode, &at);
    std::vector<unsigned long> const* announced = orb().remoteInterfaceIds(peerId(kTaskNameId));
    ASSERT_TRUE(announced);
    EXPECT_EQ(catalogue::hex(allowed), catalogue::hex({announced->begin(), announced->end()}));
    orb().unregisterFromODN(TopFlowClient::kClassCode);
}

// The model killed and started again, with a changed master address and
// without flow 3: the task keeps its adapter and its chip, which is told the
// new address without a restart; the restarted flow 1 takes its adapter over,
// learns the driver is up and gets the alarms; flow 3's adapter goes once the
// model answers again.
TEST_F(Card, ARestartedModelIsFollowedWithoutRestartingTheChip) {
    ASSERT_NO_FATAL_FAILURE(startModel({"1:1:1:10.0.0.1", "3:1:0:10.0.0.3"}));
    // The new address relocks at once: a poll during a relock would send a
    // raise before the restarted flow's first cancel.
    ASSERT_NO_FATAL_FAILURE(startTask({{"TOPADAPTER_TOPDRV_LOCK_SECONDS", "0"}}));
    ASSERT_TRUE(traced("Driver start up successfully finished"));
    ASSERT_TRUE(traced("TopFlowAdapter(): Top API supervisor timer started", 2));
    model->kill(SIGKILL);
    ASSERT_TRUE(waitUntil([] { return !Transport::TransportLayer::instance().exists(peerId(kModelNameId)); }));
    {
        RunPermissionGuard g;
        control_.reset();
    }
    ASSERT_NO_FATAL_FAILURE(startModel({"1:1:1:10.0.0.9"}));
    ASSERT_TRUE(traced("Reattaching Flow Adapter"));
    EXPECT_TRUE(waitUntil([&] { return driverUp(1); }));
    EXPECT_TRUE(waitUntil([&] { return chip("state").find("master=0x0a000009") != std::string::npos; }));
    ASSERT_TRUE(traced("Deleting Flow Adapter"));
    EXPECT_EQ(2u, task->countOutput("Creating Flow Adapter"));
    EXPECT_EQ(1u, chipCalls("topDrvAdapIf_init"));
    EXPECT_EQ(0u, chipCalls("topDrvAdapIf_deinit"));
    EXPECT_TRUE(waitUntil([&] { return alarms(1, 1).size() == 1 && alarms(1, 2).size() == 1; }));
    chip("lock 0");
    EXPECT_TRUE(waitUntil([&] { return alarms(1, 1) == std::vector<bool>{false, true}; }));
    // The flow's counters answer the restarted model's performance service.
    auto perf = [&] { return model_([](ModelControlClient& c) { return c.getPerformance(1); }); };
    ASSERT_TRUE(waitUntil([&] { return perf().triggerObservers == 1; }));
    TipprmiSequence<unsigned long> ident;
    ident.push_back(1);
    model_([&](ModelControlClient& c) { c.triggerPerformance(1, ident, 4); });
    EXPECT_EQ(1u, perf().answers);
    int status = 0;
    EXPECT_FALSE(task->waitForExit(100ms, &status));
}
