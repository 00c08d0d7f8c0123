// The generated proxies on the wire, against a raw peer: the request bytes of
// every signature shape (none, in and out values, records, sequences of
// records, object references, arrays without count, ResponseInfo, the
// identifier interfaces), answers read back, and failed calls read as zeros.
// The process is a node of its own, so that the test runs on the emulated
// 32-bit big-endian target as well.
#include <gtest/gtest.h>

#include <functional>
#include <future>

#include "AdminStateClient.h"
#include "FaultServiceClient.h"
#include "OrbNodeFixture.h"
#include "PerformanceServiceClient.h"
#include "PhysicalServicesClient.h"
#include "REFLECT_objectStub.h"
#include "StandaloneNode.h"
#include "TopFlowClient.h"
#include "UnitIdClient.h"

using namespace orbtest;
using namespace std::chrono_literals;
using testsupport::countRecords;
using testsupport::expectError;

namespace {

testsupport::StandaloneNode const gStandaloneNode;

struct OwnOrb : ::testing::Environment {
    void SetUp() override {
        ::setenv("TOPADAPTER_NAME_ID", std::to_string(kOwnNameId).c_str(), 1);
        Transport::IdInfo::instance().reload();
        TreflectORB::getInstance(NSID_UNIT);
    }
};
::testing::Environment* const gOrb = ::testing::AddGlobalTestEnvironment(new OwnOrb);

Bytes words(std::initializer_list<uint32_t> ws) {
    Bytes b;
    for (uint32_t w : ws) put32(b, w);
    return b;
}
Bytes shorts(std::initializer_list<uint16_t> ss) {
    Bytes b;
    for (uint16_t s : ss) {
        b.push_back(uint8_t(s >> 8));
        b.push_back(uint8_t(s));
    }
    return b;
}
Bytes const kOk = words({0, 0});                          // status: no exception
Bytes const kFailed = words({1, 4, 0});                    // status: general exception, code 0
Bytes ref(uint32_t ioid, uint32_t orb) { return words({0, 1, ioid, orb}); }  // anonymous reference

// One call of a proxy at the raw peer: the request's data after the call
// header must be `args`; the peer answers `answer`.
struct Case {
    char const* name;
    uint32_t cc, mc;
    Bytes args, answer;
    std::function<void(TopFlowClient const&)> call;
};

class ProxyWire : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(peer.start());
        RunPermissionGuard g;
        TipprmiStream s(100);
        s << TreflectORB::TreflectObjectLocation(7, orb().convertId(peer.termId()), TipprmiOID("flow"), nullptr);
        flow = std::make_unique<TopFlowClient>();
        s >> *flow;
    }
    void TearDown() override {
        RunPermissionGuard g;
        flow.reset();
    }
    // Runs `c` on another thread and plays the peer's part.
    void play(Case const& c) {
        SCOPED_TRACE(c.name);
        auto done = std::async(std::launch::async, [&] {
            RunPermissionGuard g;
            c.call(*flow);
        });
        Bytes got = RawPeer::meaningful(peer.next());
        ASSERT_GE(got.size(), 32u);
        EXPECT_EQ(words({7, 1, c.cc, c.mc}), Bytes(got.begin() + 16, got.begin() + 32));
        EXPECT_EQ(c.args, Bytes(got.begin() + 32, got.end()));
        ASSERT_TRUE(peer.send(orb().termId(), orbMessage(get32(&got[0]), 2, 3, c.answer)));
        EXPECT_EQ(std::future_status::ready, done.wait_for(10s));
    }
    RawPeer peer{peerId(0x0D01)};
    std::unique_ptr<TopFlowClient> flow;
};

}  // namespace

TEST_F(ProxyWire, EverySignatureShapeMarshalsAsTheTableSays) {
    uint32_t const peerOrb = uint32_t(orb().convertId(peer.termId()).value());
    Case const cases[] = {
        // Inherited: the base's class code and method code; none uses 0.
        {"hasLocationId", 0xE80E97C6, 1, {}, kOk + words({1}),
         [](TopFlowClient const& f) { EXPECT_TRUE(f.hasLocationId()); }},
        {"getFaultSvc", 0xE80E97C6, 4, {}, kOk + ref(9, peerOrb),
         [&](TopFlowClient const& f) {
             FaultServiceClient svc = f.getFaultSvc();
             EXPECT_EQ(9u, svc.getStub_()->getInternalOID());
             EXPECT_EQ(peerOrb, svc.getStub_()->orbId().value());
         }},
        {"setMasterIp4Addr", 0x9930E9C8, 10, shorts({192, 168, 255, 102}), kOk,
         [](TopFlowClient const& f) {
             TipprmiArray<short, 4> a;
             a[0] = 192, a[1] = 168, a[2] = 255, a[3] = 102;
             f.setMasterIp4Addr(a);
         }},
        {"setDriverInfo", 0x9930E9C8, 11, shorts({2}) + words({2}) + shorts({5, 6}) + words({3}), kOk,
         [](TopFlowClient const& f) {
             TopFlowClient::DriverInfo d;
             d.masterLockState = 2;
             d.list.push_back(5);
             d.list.push_back(6);
             d.masterClockState = TopFlowClient::MasterClockState(3);
             f.setDriverInfo(d);
         }},
        {"getTopSrcIpAddress", 0x9930E9C8, 14, {}, kOk + words({5, 1}) + shorts({10, 0, 0, 1}),
         [](TopFlowClient const& f) {
             TipprmiArray<short, 4> a;
             ResponseInfo<GetClient> r = f.getTopSrcIpAddress(a);
             EXPECT_EQ(5, r.code);
             EXPECT_EQ(1ul, r.flag);
             EXPECT_EQ(10, a[0]);
             EXPECT_EQ(1, a[3]);
         }},
        {"dispatchAlarms", 0xFD8BB112, 6, words({2}) + ref(3, peerOrb) + words({1}) + ref(4, peerOrb) + words({0}),
         kOk,
         [&](TopFlowClient const& f) {
             TipprmiSequence<PhysicalServicesClient::Alarm> alarms;
             for (uint32_t ioid : {3u, 4u}) {
                 TipprmiStream s(100);
                 PhysicalServicesClient::Alarm a;
                 s << TreflectORB::TreflectObjectLocation(ioid, TreflectOrbId(peerOrb), TipprmiOID(), nullptr);
                 s >> a.condition;
                 a.raise = ioid == 3;
                 alarms.push_back(a);
             }
             PhysicalServicesClient(f).dispatchAlarms(alarms);
         }},
        {"getPolicies", 0x50330CD4, 2, {}, kOk + words({1}) + ref(8, peerOrb),
         [](TopFlowClient const& f) { EXPECT_EQ(1u, AdminStateClient(f).getPolicies().getLength()); }},
        {"setHistoricData", 0xEABDD29F, 10, [] {
             Bytes b = words({15});
             for (uint32_t i = 0; i < 96; ++i) put32(b, i);
             return b;
         }(),
         kOk,
         [](TopFlowClient const& f) {
             TipprmiArray<unsigned long, 96> history;
             for (unsigned long i = 0; i < 96; ++i) history[i] = i;
             PerformanceServiceClient(f).setHistoricData(15, history);
         }},
        {"getHistoricData", 0xEABDD29F, 1, words({2}), kOk + words({1, 900}) + Bytes(384, 0),
         [](TopFlowClient const& f) {
             unsigned long elapsed = 0;
             TipprmiArray<unsigned long, 96> history;
             EXPECT_TRUE(PerformanceServiceClient(f).getHistoricData(2, elapsed, history));
             EXPECT_EQ(900ul, elapsed);
         }},
        {"setAdapterData", 0xEABDD29F, 11, [] {
             Bytes b = words({1, 5, 1, 6, 7});  // one record: ident, valid, current, elapsed
             for (uint32_t i = 0; i < 96; ++i) put32(b, i == 95 ? 9 : 0);  // the history, no count
             return b;
         }(),
         kOk,
         [](TopFlowClient const& f) {
             PerformanceServiceClient::IdentData_t d;
             d.ident = 5, d.valid = true, d.current = 6, d.elapsed = 7, d.history[95] = 9;
             TipprmiSequence<PerformanceServiceClient::IdentData_t> data;
             data.push_back(d);
             PerformanceServiceClient(f).setAdapterData(data);
         }},
        {"unit identifier", 0xB531D8C3, 1, {}, kOk + words({0x0102}),
         [](TopFlowClient const& f) { EXPECT_EQ(0x0102ul, UnitIdClient(f).getIdentifier()); }},
    };
    for (Case const& c : cases) play(c);
}

TEST_F(ProxyWire, FailedCallsReadAsZerosWithOneLine) {
    expectError("out of bounds");
    expectError("ReflMsg err=");
    play({"getDriverInfo", 0x9930E9C8, 7, {}, kFailed, [](TopFlowClient const& f) {
              TopFlowClient::DriverInfo d = f.getDriverInfo();
              EXPECT_EQ(0, d.masterLockState);
              EXPECT_EQ(0u, d.list.getLength());
              EXPECT_EQ(0, d.masterClockState);
          }});
    play({"setTopSrcIpAddress", 0x9930E9C8, 15, shorts({1, 2, 3, 4}), kFailed, [](TopFlowClient const& f) {
              TipprmiArray<short, 4> a;
              a[0] = 1, a[1] = 2, a[2] = 3, a[3] = 4;
              ResponseInfo<SetClient> r = f.setTopSrcIpAddress(a);
              EXPECT_EQ(0, r.code);
              EXPECT_EQ(0ul, r.flag);
          }});
    // An answer without the out-argument fills it with zeros.
    play({"getTopSrcIpAddress", 0x9930E9C8, 14, {}, kOk + words({0, 1}), [](TopFlowClient const& f) {
              TipprmiArray<short, 4> a;
              a[0] = 7;
              EXPECT_EQ(1ul, f.getTopSrcIpAddress(a).flag);
              EXPECT_EQ(0, a[0]);
          }});
    EXPECT_EQ(1u, countRecords("Unmarshall error on cc=0x9930E9C8, mc=7"));
    EXPECT_EQ(1u, countRecords("Unmarshall error on cc=0x9930E9C8, mc=15"));
    EXPECT_EQ(1u, countRecords("Unmarshall error on cc=0x9930E9C8, mc=14"));
}
