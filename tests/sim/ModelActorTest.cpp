// The generated clients against the generated servers of the model actor,
// across processes: object references, identifier interfaces, arrays,
// records with sequences and ResponseInfo make the round trip; an operation
// and the class's creations are observed through the clients' meta objects.
#include <gtest/gtest.h>

#include <memory>
#include <mutex>

#include "AdminStateClient.h"
#include "ChildProcess.h"
#include "FaultServiceClient.h"
#include "ModelControlClient.h"
#include "OrbNodeFixture.h"
#include "PsIntervalTimerClient.h"
#include "REFLECT_ObserverSkeleton.h"
#include "TopFlowClient.h"
#include "UnitIdClient.h"

using namespace orbtest;
using namespace std::chrono_literals;
using testsupport::waitUntil;

namespace {

::testing::Environment* const gNode = ::testing::AddGlobalTestEnvironment(new NodeEnvironment);

std::unique_ptr<testsupport::ChildProcess> startModel(std::vector<std::string> args, char const* timeScale = "1") {
    auto p = std::make_unique<testsupport::ChildProcess>(
        testsupport::builtExecutable("topmodel"), args,
        std::map<std::string, std::string>{
            {"TOPADAPTER_NAME_ID", "0x0A70"}, {"TOPADAPTER_ACTOR", "topmodel"}, {"TOPADAPTER_TIME_SCALE", timeScale}});
    EXPECT_TRUE(p->waitForOutput("READY", 10s)) << p->output();
    return p;
}

TipprmiArray<short, 4> address(short a, short b, short c, short d) {
    TipprmiArray<short, 4> x;
    x[0] = a, x[1] = b, x[2] = c, x[3] = d;
    return x;
}

// What the observers of this process were told (on worker threads).
struct Seen {
    std::mutex mutex;
    std::vector<std::string> created;
    std::vector<short> octets;
    int intervals = 0;
    bool interval(TreflectObserver*) {
        std::lock_guard<std::mutex> lock(mutex);
        ++intervals;
        return true;
    }
    bool creation(TreflectObserver* o) {
        std::lock_guard<std::mutex> lock(mutex);
        created.push_back(o->getSource()->getOID().getIdString());
        return true;
    }
    bool masterIp(TreflectObserver* o) {
        TipprmiArray<short, 4> a;
        (*o->currentArguments())[1].extract(a);
        std::lock_guard<std::mutex> lock(mutex);
        octets.push_back(a[0]);
        octets.push_back(a[3]);
        return true;
    }
    template <class T>
    T get(T Seen::*field) {
        std::lock_guard<std::mutex> lock(mutex);
        return this->*field;
    }
};

}  // namespace

TEST(ModelActor, GeneratedClientsAndServersMakeEveryRoundTrip) {
    auto model = startModel({"--flow", "5:2:1:10.0.0.1"});
    RunPermissionGuard g;
    ModelControlClient control{TipprmiOID(ModelControlClient::NAME)};
    ASSERT_TRUE(control.isConnected());

    // Object references out and in; the identifier interfaces.
    TopFlowClient flow = control.createFlow(7, 3, 0, TipprmiArray<short, 4>());
    ASSERT_TRUE(flow.isConnected());
    EXPECT_EQ("TopFlow-7", std::string(flow.getOID().getIdString()));
    EXPECT_TRUE(flow.hasLocationId());
    UnitIdClient unit(flow.getLocationId());
    EXPECT_EQ(3ul, unit.getUnitNumber());
    EXPECT_EQ(7ul, unit.getIdentifier());
    EXPECT_TRUE(unit.isKind(UnitIdClient::LID_UNIT_ID));

    // Arrays, records with sequences, ResponseInfo with an out-value.
    flow.setMasterIp4Addr(address(192, 168, 255, 102));
    EXPECT_EQ(102, flow.getMasterIp4Addr()[3]);
    TopFlowClient::DriverInfo info;
    info.masterLockState = 1;
    info.list.push_back(4);
    info.masterClockState = TopFlowClient::MasterClockState(6);
    flow.setDriverInfo(info);
    TopFlowClient::DriverInfo back = flow.getDriverInfo();
    EXPECT_EQ(1, back.masterLockState);
    ASSERT_EQ(1u, back.list.getLength());
    EXPECT_EQ(4, back.list[0]);
    EXPECT_EQ(6, back.masterClockState);
    EXPECT_EQ(1ul, flow.setTopSrcIpAddress(address(10, 1, 1, 9)).flag);
    TipprmiArray<short, 4> src;
    EXPECT_EQ(1ul, flow.getTopSrcIpAddress(src).flag);
    EXPECT_EQ(9, src[3]);

    // The attribute framework's long behind the administrative state.
    AdminStateClient admin = flow.getFaultSvc().getAdminState();
    EXPECT_EQ(0, admin.internalGet());
    EXPECT_TRUE(control.setAdminState(7, 1));
    EXPECT_EQ(1, admin.internalGet());
    EXPECT_TRUE(admin.getPermissionState());

    // Sequences of records holding references, and what the model records of
    // them, are the card scenarios' (alarms, performance data, flows).
    EXPECT_TRUE(control.deleteFlow(7));
    EXPECT_FALSE(control.deleteFlow(7));
}

// The interval timer's 15 minutes pass in a quarter of a second.
TEST(ModelActor, OperationsAndCreationsAreObservedThroughTheMetaObjects) {
    auto model = startModel({"--flow", "5:2"}, "3600");
    Seen seen;
    std::unique_ptr<TreflectNotificator<Seen> > onCreate, onMasterIp, onInterval;
    std::unique_ptr<ModelControlClient> control;
    {
        RunPermissionGuard g;
        onCreate = std::make_unique<TreflectNotificator<Seen> >(&seen, &Seen::creation);
        onMasterIp = std::make_unique<TreflectNotificator<Seen> >(&seen, &Seen::masterIp);
        onInterval = std::make_unique<TreflectNotificator<Seen> >(&seen, &Seen::interval);
        PsIntervalTimerClient timer(TipprmiOID(PsIntervalTimerClient::PS_INTERVALTIMER_NAME));
        EXPECT_TRUE(timer.operation("changeOfInterval")->postObserve(onInterval.get()));
        EXPECT_TRUE(TopFlowClient::staticMeta()->observeCreations(onCreate.get(), true));
        EXPECT_EQ(std::vector<std::string>{"TopFlow-5"}, seen.get(&Seen::created));
        control = std::make_unique<ModelControlClient>(TipprmiOID(ModelControlClient::NAME));
        TopFlowClient flow = control->createFlow(6, 2, 1, address(1, 2, 3, 4));
        EXPECT_TRUE(flow.operation("setMasterIp4Addr")->postObserve(onMasterIp.get()));
        control->setMasterIp(6, address(192, 0, 0, 33));
    }
    EXPECT_TRUE(waitUntil([&] { return seen.get(&Seen::created).size() == 2; }));
    EXPECT_EQ((std::vector<short>{192, 33}), seen.get(&Seen::octets));
    EXPECT_TRUE(waitUntil([&] { return seen.get(&Seen::intervals) >= 2; }));
    RunPermissionGuard g;
    PsIntervalTimerClient(TipprmiOID(PsIntervalTimerClient::PS_INTERVALTIMER_NAME))
        .operation("changeOfInterval")
        ->removeObserver(onInterval.get());
    TopFlowClient::staticMeta()->removeObserver(onCreate.get());
    control.reset();
    onCreate.reset();
    onMasterIp.reset();
    onInterval.reset();
}
