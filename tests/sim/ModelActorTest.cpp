// The generated clients against the generated servers of the model actor,
// across processes, where the card scenarios do not reach. Operations and
// creations observed through the meta objects are the card scenarios' (the
// task follows flows, master addresses and interval changes so). A raw peer
// holds an observer's notification while the observed flow is deleted.
#include <gtest/gtest.h>

#include <memory>

#include "ChildProcess.h"
#include "ModelControlClient.h"
#include "OrbNodeFixture.h"
#include "PhysicalServicesClient.h"
#include "TopFlowClient.h"

using namespace orbtest;
using namespace std::chrono_literals;
using testsupport::waitUntil;

namespace {

::testing::Environment* const gNode = ::testing::AddGlobalTestEnvironment(new NodeEnvironment);

std::unique_ptr<testsupport::ChildProcess> startModel(std::vector<std::string> args) {
    auto p = std::make_unique<testsupport::ChildProcess>(
        testsupport::builtExecutable("topmodel"), args,
        std::map<std::string, std::string>{
            {"TOPADAPTER_NAME_ID", "0x0A70"}, {"TOPADAPTER_ACTOR", "topmodel"}, {"TOPADAPTER_TIME_SCALE", "1"}});
    EXPECT_TRUE(p->waitForOutput("READY", 10s)) << p->output();
    return p;
}

TipprmiArray<short, 4> address(short a, short b, short c, short d) {
    TipprmiArray<short, 4> x;
    x[0] = a, x[1] = b, x[2] = c, x[3] = d;
    return x;
}

}  // namespace

// What the card's task never asks of a flow: a record's sequence with
// elements, and a ResponseInfo with an out-value, through the generated
// server. (Object references, identifier interfaces, arrays, records and
// sequences of records holding references are the card scenarios'.)
TEST(ModelActor, GeneratedServersAnswerRecordsWithSequencesAndOutValues) {
    auto model = startModel({});
    RunPermissionGuard g;
    ModelControlClient control{TipprmiOID(ModelControlClient::NAME)};
    TopFlowClient flow = control.createFlow(7, 3, 0, TipprmiArray<short, 4>());
    ASSERT_TRUE(flow.isConnected());
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
}

// A flow deleted while one of its operations waits for an observer, which
// holds the notification: the operation is not run on what is gone and its
// call fails; the model goes on serving.
TEST(ModelActor, AFlowDeletedWhileItsObserverIsToldFailsTheCallAndNothingElse) {
    auto model = startModel({"--flow", "5:2"});
    Transport::TerminationId const actor = peerId(0x0A70);
    RawPeer peer(peerId(0x0B80));
    ASSERT_TRUE(peer.start());
    unsigned long setMaster = 0, deleteFlow = 0;
    {
        RunPermissionGuard g;
        setMaster = TopFlowClient::staticMeta()->metaOperation("setMasterIp4Addr")->id();
        deleteFlow = ModelControlClient::staticMeta()->metaOperation("deleteFlow")->id();
    }
    auto resolve = [&](std::string const& name) {
        Bytes got = peer.ask(actor, 1, word(uint32_t(name.size() + 1)) + Bytes(name.begin(), name.end()) + Bytes{0} +
                                           word(1));
        return got.size() == 4 ? get32(&got[0]) : 0;
    };
    uint32_t const flow = resolve("TopFlow-5"), control = resolve(ModelControlClient::NAME);
    ASSERT_TRUE(flow && control);
    auto deleteFlow5 = [&] {
        return peer.ask(actor, 2, callHeader(control, true, ModelControlClient::kClassCode, deleteFlow) + word(5));
    };
    Bytes const none = word(0) + word(0);
    // A pre-observer, object 0x33 of the peer; the peer holds what it is told.
    EXPECT_EQ(none, peer.ask(actor, 2, callHeader(flow, true, 0, 1000) + word(0) + word(TopFlowClient::kClassCode) +
                                           word(setMaster) + word(0) + word(1) + word(0x33) + word(0x0B800101)));
    peer.send(actor, orbMessage(1, 2, 2, callHeader(flow, true, TopFlowClient::kClassCode, setMaster) +
                                             Bytes{0, 10, 0, 0, 0, 0, 0, 7}));
    Bytes told = RawPeer::meaningful(peer.next());
    ASSERT_GE(told.size(), 20u);
    EXPECT_EQ(0x33u, get32(&told[16]));
    EXPECT_EQ(none + word(1), deleteFlow5());
    peer.send(actor, orbMessage(get32(&told[0]), 2, 3, none + word(1) + word(1)));
    EXPECT_EQ(orbMessage(1, 2, 3, word(1) + word(4) + word(0)), RawPeer::meaningful(peer.next()));
    EXPECT_EQ(none + word(0), deleteFlow5());
}

// However long a card runs, the model's alarm records fit in one answer: it
// keeps the latest changes and each flow's last, numbered as received, and a
// deleted flow's last goes with it.
TEST(ModelActor, AlarmRecordsStayWithinOneAnswerAndKeepEachFlowsLast) {
    auto model = startModel({});
    RunPermissionGuard g;
    ModelControlClient control{TipprmiOID(ModelControlClient::NAME)};
    TopFlowClient quiet = control.createFlow(1, 1, 0, TipprmiArray<short, 4>());
    TopFlowClient gone = control.createFlow(2, 1, 0, TipprmiArray<short, 4>());
    TopFlowClient busy = control.createFlow(3, 1, 0, TipprmiArray<short, 4>());
    PhysicalServicesClient services{TipprmiOID(PhysicalServicesClient::NAME)};
    auto send = [&](TopFlowClient& f, bool raise, int times) {
        TipprmiSequence<PhysicalServicesClient::Alarm> batch;
        PhysicalServicesClient::Alarm a;
        a.condition = f.getMasterServiceUnavailable();
        a.raise = raise;
        for (int i = 0; i < times; ++i, a.raise = !a.raise) batch.push_back(a);
        services.dispatchAlarms(batch);
    };
    send(quiet, true, 1);
    send(gone, true, 1);
    control.deleteFlow(2);
    for (int i = 0; i < 6; ++i) send(busy, i % 2 == 0, 1001);  // more than one message holds
    TipprmiSequence<ModelControlClient::AlarmRecord> all = control.getAlarms();
    ASSERT_GT(all.getLength(), 0ul) << "answered";
    EXPECT_LE(all.getLength(), 2049ul);
    EXPECT_EQ(1ul, all[0].key) << "the quiet flow's raise stays, first";
    EXPECT_TRUE(all[0].raise);
    EXPECT_EQ(1ul, all[0].seq);
    for (unsigned long i = 1; i < all.getLength(); ++i) {
        EXPECT_EQ(3ul, all[i].key);
        EXPECT_LT(all[i - 1].seq, all[i].seq);
    }
    EXPECT_EQ(2ul + 6 * 1001, all[all.getLength() - 1].seq);
    EXPECT_FALSE(all[all.getLength() - 1].raise) << "the busy flow's last change";
}
