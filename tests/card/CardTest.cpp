// A whole simulated card: the membership service, the model actor, the task
// on its simulated chip, under the time scale. Each scenario is checked from
// outside: what the model received, what the chip was told, which traces the
// task wrote.
#include <signal.h>

#include <future>
#include <set>

#include "Catalogue.h"
#include "REFLECT_objectStub.h"
#include "SimulatedCard.h"
#include "TopAdapterStatusClient.h"

using namespace cardtest;

namespace {

::testing::Environment* const gNode = ::testing::AddGlobalTestEnvironment(new NodeEnvironment);

// The task's own view of the adapter of `key`.
TopAdapterStatusClient::FlowStatus adapter(unsigned long key) {
    RunPermissionGuard g;
    TopAdapterStatusClient::TaskStatus const s =
        TopAdapterStatusClient(TipprmiOID(TopAdapterStatusClient::NAME + "-1")).getStatus();
    for (unsigned long i = 0; i < s.flows.getLength(); ++i)
        if (s.flows[i].key == key) return s.flows[i];
    ADD_FAILURE() << "no adapter of flow " << key;
    return TopAdapterStatusClient::FlowStatus();
}

}  // namespace

// Flows of the own unit get adapters, those made before the task and after
// it alike; another unit's flow gets none; a deleted flow's chip stops and
// its alarms end.
TEST_F(Card, FlowsOfTheOwnUnitAreAdoptedAndDeletedFlowsLetGo) {
    ASSERT_NO_FATAL_FAILURE(startModel({"1:1:1:10.0.0.1:-5", "2:2:1:10.0.0.2"}));
    ASSERT_NO_FATAL_FAILURE(startTask());
    ASSERT_TRUE(traced("Driver start up successfully finished"));
    EXPECT_EQ(1u, task->countOutput("Creating Flow Adapter"));
    EXPECT_TRUE(waitUntil([&] { return driverUp(1); }));
    EXPECT_FALSE(driverUp(2));
    // The chip's own address, netmask and gateway, the flow's master and rate.
    std::vector<ChipCall> const inits = chipJournal("topDrvAdapIf_init");
    ASSERT_EQ(1u, inits.size());
    EXPECT_EQ("0xc0a8ff66, 0xfffffffc, 0xc0a8ff65, 0x0a000001, -5, 0", inits[0].args);
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
    // While the flow holds an exception, the values it is told stay as the
    // adapter holds them, and the ready driver is told those again. (One of
    // type 1 would make the flow's every answer a failure, the container's
    // own included.)
    auto failing = [&](bool on) {
        RunPermissionGuard g;
        TopFlowClient(TipprmiOID("TopFlow-1")).getStub_()->setExceptionContainer(
            TipprmiExceptionContainer(on ? 2 : 0, TipprmiAny()));
    };
    size_t const rates = chipCalls("topDrvAdapIf_setMessageRate"), masters = chipCalls("topDrvAdapIf_setMasterIp");
    failing(true);
    model_([](ModelControlClient& c) { return c.setLogMeanSyncValue(1, -6); });
    model_([](ModelControlClient& c) { return c.setMasterIp(1, ip(10, 0, 0, 6)); });
    EXPECT_TRUE(waitUntil([&] {
        return chipCalls("topDrvAdapIf_setMessageRate") > rates && chipCalls("topDrvAdapIf_setMasterIp") > masters;
    }));
    failing(false);
    EXPECT_EQ("-3", chipJournal("topDrvAdapIf_setMessageRate").back().args);
    EXPECT_EQ("0x0a000007", chipJournal("topDrvAdapIf_setMasterIp").back().args);

    // The driver information the model asks for comes from the chip; a
    // failed query reports the master unlocked or its clock unknown.
    struct {
        std::vector<char const*> chip;
        long lock, clock;
    } const infos[] = {
        {{"lock 1", "clock 1", "service 1"}, 0, 0},
        {{"lock 0"}, 1, 0},
        {{"clock 0", "service 0"}, 0, 2},
        {{"service 0"}, 0, 3},
        {{"fail getLockState 5"}, 1, 0},
        {{"fail getMasterServiceState 5"}, 0, 1},
        {{"fail getMasterClockState 5"}, 0, 1},
    };
    for (auto const& want : infos) {
        for (char const* command : want.chip) chip(command);
        TopFlowClient::DriverInfo info;
        EXPECT_TRUE(waitUntil([&] {
            info = model_([](ModelControlClient& c) { return c.requestDriverInfo(1); });
            return info.masterLockState == want.lock && info.masterClockState == want.clock;
        })) << want.chip[0] << ": lock " << info.masterLockState << ", clock " << info.masterClockState;
        for (char const* command : {"lock 1", "clock 1", "service 1", "clear-fail"}) chip(command);
    }

    model_([](ModelControlClient& c) { return c.setAdminState(1, 0); });
    ASSERT_TRUE(traced("Disabling TOP chip Successfully"));
    EXPECT_NE(std::string::npos, chip("state").find("state=6"));
    EXPECT_EQ(1u, chipCalls("topDrvAdapIf_init"));
}

// Each change of a condition reaches the model its delay after the poll that
// saw it, both times taken on the host's clock: sync source lost 2 s after
// the lock was seen lost and 10 s after it was seen back, master service
// unavailable 60 s and 60 s. A batch gathers what falls due within 0.5 s, so
// a change may come that much early. A driver down, up and down again within
// the raise delay raises once, a delay after the last change.
TEST_F(Card, AlarmsRaiseAndCancelAfterTheirDelays) {
    scale = "10";
    ASSERT_NO_FATAL_FAILURE(startModel({"1:1:1:10.0.0.1"}));
    // Locked as soon as it runs: a poll during a relock would raise.
    ASSERT_NO_FATAL_FAILURE(startTask({{"TOPADAPTER_TOPDRV_LOCK_SECONDS", "0"}}));
    double const late = kLateSeconds * std::stod(scale);
    // Makes a change of the chip that the poll sees as `seen` (the answer of
    // `query`); the change of `condition` to `raise` it causes arrives `delay` later.
    auto change = [&](std::string const& command, char const* query, char const* seen, long condition, bool raise,
                      double delay) {
        size_t const before = alarms(1, condition).size();
        uint64_t const mark = lastCall();
        chip(command);
        ChipCall const poll = firstCall(mark, query, "OSWTimer", seen);
        std::vector<ModelControlClient::AlarmRecord> got;
        ASSERT_TRUE(waitUntil([&] { return (got = alarmRecords(1, condition)).size() > before; }, 30s, 10ms))
            << command;
        EXPECT_EQ(before + 1, got.size()) << command;
        EXPECT_EQ(raise, got.back().raise) << command;
        double const took = protocolSeconds(poll.us, receivedUs(got.back()));
        EXPECT_GE(took, delay - 0.5 - 0.02) << command;
        EXPECT_LE(took, delay + late) << command;
    };
    ASSERT_TRUE(waitUntil([&] { return alarms(1, 1).size() == 1; }, 20s));
    change("lock 0", "topDrvAdapIf_getLockState", "0", 1, true, 2);
    change("lock 1", "topDrvAdapIf_getLockState", "1", 1, false, 10);
    EXPECT_EQ((std::vector<bool>{false, true, false}), alarms(1, 1));

    // Sent first, then down for one poll, back for another and down again.
    ASSERT_TRUE(waitUntil([&] { return alarms(1, 2).size() == 1; }, 20s));
    uint64_t const down = lastCall();
    chip("set-state 6");
    ChipCall const first = firstCall(down, "topDrvAdapIf_getStateInfo", "OSWTimer", "6");
    chip("set-state 0");
    firstCall(first.seq, "topDrvAdapIf_getLockState", "OSWTimer", "1");
    change("set-state 6", "topDrvAdapIf_getStateInfo", "6", 2, true, 60);
    // The pending raise went when the driver came back, without a word.
    EXPECT_EQ(2u, task->countOutput("Detect: Raise masterServiceUnavailable<TopFlow-1>"));
    EXPECT_EQ(0u, task->countOutput("Detect: Cancel masterServiceUnavailable"));
    change("set-state 0", "topDrvAdapIf_getStateInfo", "0", 2, false, 60);
    EXPECT_EQ((std::vector<bool>{false, true, false}), alarms(1, 2));
}

// A start-up that never ends leaves the model told the driver is not up and
// raises master service unavailable. A driver that goes down during its
// start-up leaves the adapter enabled, the values that came meanwhile unsent
// and the flow told the wait is over; a disable and an enable start the chip
// with those values. A driver whose API dies is stopped and configured again
// by the supervisor.
TEST_F(Card, StuckStartUpDriverDownAndDeadApi) {
    ASSERT_NO_FATAL_FAILURE(startModel({"1:1:1:10.0.0.1"}));
    ASSERT_NO_FATAL_FAILURE(startTask({{"TOPADAPTER_TOPDRV_STARTUP_SECONDS", "1000000"}}));
    ASSERT_TRUE(traced("TOP chip successfully configured"));
    model_([](ModelControlClient& c) { return c.setMasterIp(1, ip(10, 0, 0, 8)); });
    model_([](ModelControlClient& c) { return c.setLogMeanSyncValue(1, -2); });
    EXPECT_TRUE(waitUntil([&] { return alarms(1, 2) == std::vector<bool>{true}; }, 20s));
    EXPECT_FALSE(driverUp(1));
    EXPECT_TRUE(waitUntil([&] { return adapter(1).pending; }));
    EXPECT_EQ(0u, task->countOutput("Driver start up successfully finished"));

    chip("set-state 6");
    ASSERT_TRUE(traced("Driver went down while starting up"));
    EXPECT_TRUE(waitUntil([&] { return driverUp(1); }));
    TopAdapterStatusClient::FlowStatus const down = adapter(1);
    EXPECT_EQ(TopAdapterStatusClient::STATE_ENABLED, down.state);
    EXPECT_FALSE(down.pending);
    EXPECT_EQ(0u, chipCalls("topDrvAdapIf_setMasterIp") + chipCalls("topDrvAdapIf_setMessageRate"));

    chip("startup-seconds 1");
    model_([](ModelControlClient& c) { return c.setAdminState(1, 0); });
    model_([](ModelControlClient& c) { return c.setAdminState(1, 1); });
    ASSERT_TRUE(traced("Driver start up successfully finished"));
    EXPECT_EQ("0xc0a8ff66, 0xfffffffc, 0xc0a8ff65, 0x0a000008, -2, 0", chipJournal("topDrvAdapIf_init").back().args);
    chip("kill-api");
    ASSERT_TRUE(traced("ToP API certified dead - reviving procedure!"));
    ASSERT_TRUE(traced("Driver start up successfully finished", 2));
    EXPECT_EQ(1u, chipCalls("topDrvAdapIf_deinit"));
    EXPECT_EQ(3u, chipCalls("topDrvAdapIf_init"));
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
    // Long enough for the steps below on a loaded machine under a sanitizer.
    model_([](ModelControlClient& c) { c.holdAnswers("getLogMeanSyncValue", 1, 10000); });
    ASSERT_NO_FATAL_FAILURE(startTask({}, "TopFlowAdapter() called"));
    ASSERT_TRUE(model->waitForOutput("model: getLogMeanSyncValue answers in", 20s));
    TopAdapterStatusClient::TaskStatus status;
    // The other adoption may still be making its last calls; the held one waits.
    EXPECT_TRUE(waitUntil([&] {
        RunPermissionGuard g;
        status = TopAdapterStatusClient(TipprmiOID(TopAdapterStatusClient::NAME + "-1")).getStatus();
        return status.flows.getLength() > 0;
    }, 3s, 10ms));
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

// A flow unlocked just after the task first read it locked, before the
// task observed it, is enabled all the same. The task killed outright and
// started again adopts the flows there are. To a subscriber it announces the
// catalogued interfaces and those of its own tables, none of the simulation's.
TEST_F(Card, ARestartedTaskAdoptsTheExistingFlows) {
    ASSERT_NO_FATAL_FAILURE(startModel({"1:1:0:10.0.0.1"}));
    model_([](ModelControlClient& c) { c.holdAnswers("internalGet", 0, 3000); });
    ASSERT_NO_FATAL_FAILURE(startTask());
    ASSERT_TRUE(model->waitForOutput("model: internalGet answers in", 20s));
    model_([](ModelControlClient& c) { return c.setAdminState(1, 1); });
    model_([](ModelControlClient& c) { c.holdAnswers("internalGet", 0, 0); });
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
