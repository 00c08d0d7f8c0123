// The ORB's request engine against raw peers that speak the protocol byte by
// byte: serving, calling, resolving, counters, failures and the worker pool.
#include <gtest/gtest.h>
#include <pthread.h>

#include <future>
#include <memory>
#include <thread>

#include "IPPRMI_stream.h"
#include "OrbNodeFixture.h"
#include "TestSkeletons.h"

using namespace orbtest;
using namespace std::chrono_literals;
using testsupport::countRecords;
using testsupport::expectError;
using testsupport::waitUntil;

namespace {

::testing::Environment* const gNode = ::testing::AddGlobalTestEnvironment(new NodeEnvironment);

// A server object registered for the test's duration.
struct Served {
    std::unique_ptr<TestServer> server;
    explicit Served(char const* name) {
        RunPermissionGuard g;
        server.reset(new TestServer(name, &orb()));
    }
    ~Served() {
        RunPermissionGuard g;
        server.reset();
    }
    uint32_t ioid() const { return uint32_t(server->getInternalOID()); }
};

Bytes callHeader(uint32_t ioid, bool transaction, uint32_t cc, uint32_t mc) {
    Bytes b;
    put32(b, ioid);
    put32(b, transaction ? 1 : 0);
    put32(b, cc);
    put32(b, mc);
    return b;
}

// Sends a payload request through the ORB on another thread.
std::future<bool> callAsync(Transport::TerminationId dest, uint32_t ioid, uint32_t mc, long arg,
                            std::shared_ptr<TipprmiStream> response, bool transaction = true) {
    return std::async(std::launch::async, [=] {
        TipprmiStream request(100);
        request << static_cast<unsigned long>(ioid) << transaction << kTestClass << static_cast<unsigned long>(mc)
                << arg;
        return orb().forwardMsg(orb().convertId(dest), transaction, request, *response);
    });
}

uint32_t firstIdBase() { return (uint32_t(kOwnNameId) << 16) | (1u << 12); }

}  // namespace

TEST(OrbServing, AnswersARawPayloadRequestByteForByte) {
    Served adder("adder");
    RawPeer peer(peerId(0x0B01));
    ASSERT_TRUE(peer.start());
    Bytes call = callHeader(adder.ioid(), true, kTestClass, kAdd);
    put32(call, 5);
    put32(call, 0xFFFFFFF9);  // -7
    ASSERT_TRUE(peer.send(orb().termId(), orbMessage(0xBEEF0001, 2, 2, call)));

    Transport::AddressedMessage got = peer.next();
    ASSERT_FALSE(got.isNull());
    Bytes want = orbMessage(0xBEEF0001, 2, 3,
                            {0, 0, 0, 0, /* status: no exception */ 0, 0, 0, 0, /* empty data */
                             0xFF, 0xFF, 0xFF, 0xFE /* -2 */});
    EXPECT_EQ(want, RawPeer::meaningful(got));
    EXPECT_EQ(orb().termId(), got.originator());
    EXPECT_EQ(peer.termId(), got.destination());
}

// A message shorter than the ORB header is dropped; one of the header alone
// is routed by its kind and reads as zeros wherever it goes.
TEST(OrbServing, HeaderOnlyMessagesReachTheirReadersAndShorterOnesAreDropped) {
    expectError("shorter than the ORB header");
    expectError("request out of bounds");
    expectError("ioid=0x0,transaction=false");
    expectError("Handling request message failed");
    RawPeer peer(peerId(0x0B02));
    ASSERT_TRUE(peer.start());
    Bytes headerOnly = orbMessage(0xBEEF0002, 2, 2, {});
    headerOnly.resize(12);
    ASSERT_TRUE(peer.send(orb().termId(), Bytes(headerOnly.begin(), headerOnly.begin() + 8)));
    ASSERT_TRUE(peer.send(orb().termId(), headerOnly));
    // The request is served as a one-way call to object 0, which fails unanswered.
    EXPECT_TRUE(testsupport::waitForRecords("ioid=0x0,transaction=false"));
    EXPECT_EQ(1u, countRecords("drops a message of 8 bytes from 0x0B020101: shorter than the ORB header"));
    EXPECT_TRUE(peer.next(200ms).isNull());

    auto response = std::make_shared<TipprmiStream>(100);
    auto pending = callAsync(peer.termId(), 1, kAdd, 0, response);
    Bytes call = RawPeer::meaningful(peer.next());
    ASSERT_GE(call.size(), 4u);
    Bytes answer = orbMessage(get32(&call[0]), 2, 3, {});
    answer.resize(12);
    ASSERT_TRUE(peer.send(orb().termId(), answer));
    ASSERT_EQ(std::future_status::ready, pending.wait_for(10s));
    EXPECT_TRUE(pending.get());
    EXPECT_EQ(0u, exceptionTypeOf(*response));
    long sum = -1;
    *response >> sum;
    EXPECT_EQ(0, sum);
    EXPECT_TRUE(response->hasUnmarshallingFailed());
}

TEST(OrbServing, UnknownObjectsAndMethodsGetAFailureContainer) {
    expectError("ioid=0x999,transaction=");
    expectError("Handling request message failed rc=0");
    expectError("Unknown method code 7");
    Served adder("adder");
    RawPeer peer(peerId(0x0B02));
    ASSERT_TRUE(peer.start());
    Bytes failure = {0, 0, 0, 1, /* general exception */ 0, 0, 0, 4, /* data size */ 0, 0, 0, 0 /* code 0 */};

    ASSERT_TRUE(peer.send(orb().termId(), orbMessage(7, 2, 2, callHeader(0x999, true, kTestClass, kAdd))));
    EXPECT_EQ(orbMessage(7, 2, 3, failure), RawPeer::meaningful(peer.next()));

    ASSERT_TRUE(peer.send(orb().termId(), orbMessage(8, 2, 2, callHeader(adder.ioid(), true, kTestClass, 7))));
    EXPECT_EQ(orbMessage(8, 2, 3, failure), RawPeer::meaningful(peer.next()));
    EXPECT_EQ(1u, countRecords("Unknown method code 7"));

    // A one-way call that fails is logged and not answered.
    ASSERT_TRUE(peer.send(orb().termId(), orbMessage(9, 2, 1, callHeader(0x999, false, kTestClass, kAdd))));
    ASSERT_TRUE(testsupport::waitForRecords("transaction=false", 1, 5000ms));
    EXPECT_TRUE(peer.next(200ms).isNull());
}

TEST(OrbServing, ExceptionContainerOfASkeletonIsSetAndRead) {
    Served adder("adder");
    RawPeer peer(peerId(0x0B03));
    ASSERT_TRUE(peer.start());
    Bytes set = callHeader(adder.ioid(), true, 0, 2100);
    Bytes container = {0, 0, 0, 1, 0, 0, 0, 4, 0, 0, 0x12, 0x34};
    set.insert(set.end(), container.begin(), container.end());
    ASSERT_TRUE(peer.send(orb().termId(), orbMessage(1, 2, 2, set)));
    // The status already reflects the new state.
    EXPECT_EQ(orbMessage(1, 2, 3, container), RawPeer::meaningful(peer.next()));

    ASSERT_TRUE(peer.send(orb().termId(), orbMessage(2, 2, 2, callHeader(adder.ioid(), true, 0, 2101))));
    Bytes both = container;
    both.insert(both.end(), container.begin(), container.end());
    EXPECT_EQ(orbMessage(2, 2, 3, both), RawPeer::meaningful(peer.next()));
}

TEST(OrbServing, ResolvesNamesOfLocalObjects) {
    Served adder("adder");
    RawPeer peer(peerId(0x0B04));
    ASSERT_TRUE(peer.start());
    Bytes oid = {0, 0, 0, 6, 'a', 'd', 'd', 'e', 'r', 0, 0, 0, 0, 1};
    ASSERT_TRUE(peer.send(orb().termId(), orbMessage(0x11, 1, 2, oid)));
    Bytes want;
    put32(want, adder.ioid());
    EXPECT_EQ(orbMessage(0x11, 1, 3, want), RawPeer::meaningful(peer.next()));

    Bytes unknown = {0, 0, 0, 4, 'x', 'y', 'z', 0, 0, 0, 0, 1};
    ASSERT_TRUE(peer.send(orb().termId(), orbMessage(0x12, 1, 2, unknown)));
    EXPECT_EQ(orbMessage(0x12, 1, 3, {0, 0, 0, 0}), RawPeer::meaningful(peer.next()));
}

TEST(OrbServing, ReportsAndResetsItsCounters) {
    expectError("could not find destination");
    RawPeer peer(peerId(0x0B05));
    ASSERT_TRUE(peer.start());
    // Whatever earlier tests counted goes with a first reading.
    ASSERT_TRUE(peer.send(orb().termId(), orbMessage(0x20, 10, 2, {})));
    ASSERT_FALSE(peer.next().isNull());
    // Two one-way messages to the peer, one refused destination.
    for (int i = 0; i < 2; ++i) {
        auto r = std::make_shared<TipprmiStream>(100);
        EXPECT_TRUE(callAsync(peer.termId(), 1, kAdd, 0, r, false).get());
    }
    auto r = std::make_shared<TipprmiStream>(100);
    Transport::TerminationId absent = peerId(0x0BFF);
    EXPECT_FALSE(callAsync(absent, 1, kAdd, 0, r).get());
    while (!peer.next(100ms).isNull()) {
    }

    ASSERT_TRUE(peer.send(orb().termId(), orbMessage(0x21, 10, 2, {})));
    Transport::AddressedMessage got = peer.next();
    std::string actor = Transport::IdInfo::instance().getActor();
    Bytes want;
    put32(want, uint32_t(actor.size() + 1));
    want.insert(want.end(), actor.begin(), actor.end());
    want.push_back(0);
    put32(want, 2);  // two destinations, in termination id order
    put32(want, uint32_t(peer.termId().value()));
    put32(want, 2);
    put32(want, 0);
    put32(want, uint32_t(absent.value()));
    put32(want, 1);
    put32(want, 1);
    EXPECT_EQ(orbMessage(0x21, 10, 3, want), RawPeer::meaningful(got));

    // Read and reset: the second answer has no counters.
    ASSERT_TRUE(peer.send(orb().termId(), orbMessage(0x22, 10, 2, {})));
    Bytes again = RawPeer::meaningful(peer.next());
    ASSERT_GE(again.size(), 4u);
    EXPECT_EQ(0u, get32(&again[again.size() - 4]));
}

// The caller holds the run permission: it gives it up while it waits, so
// another thread can take it meanwhile, and has it again afterwards.
TEST(OrbCalling, RequestLayoutAndResponseReachTheCaller) {
    RawPeer peer(peerId(0x0C01));
    ASSERT_TRUE(peer.start());
    auto response = std::make_shared<TipprmiStream>(100);
    auto done = std::async(std::launch::async, [&] {
        RunPermissionGuard g;
        TipprmiStream request(100);
        request << 0x42ul << true << kTestClass << static_cast<unsigned long>(kAdd) << 9l;
        bool const ok = orb().forwardMsg(orb().convertId(peer.termId()), true, request, *response);
        return ok && TreflectORB::hasRunPermission();
    });

    Transport::AddressedMessage req = peer.next();
    auto other = std::async(std::launch::async, [] { RunPermissionGuard g; });
    EXPECT_EQ(std::future_status::ready, other.wait_for(10s));
    ASSERT_FALSE(req.isNull());
    Bytes got = RawPeer::meaningful(req);
    ASSERT_EQ(36u, got.size());
    uint32_t tid = get32(&got[0]);
    // Name id, low slot bits, then a 12-bit counter.
    EXPECT_EQ(firstIdBase(), tid & 0xFFFFF000u);
    EXPECT_NE(0u, tid & 0xFFFu);
    Bytes call = callHeader(0x42, true, kTestClass, kAdd);
    put32(call, 9);
    EXPECT_EQ(orbMessage(tid, 2, 2, call), got);
    EXPECT_EQ(orb().termId(), req.originator());

    ASSERT_TRUE(peer.send(orb().termId(), orbMessage(tid, 2, 3, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x2A})));
    ASSERT_TRUE(done.get());
    TipprmiExceptionContainer status;
    long result = 0;
    *response >> status >> result;
    EXPECT_EQ(0u, status.getExceptionType());
    EXPECT_EQ(42, result);
    EXPECT_FALSE(response->hasUnmarshallingFailed());
}

TEST(OrbCalling, SuccessiveTransactionsGetSuccessiveIds) {
    RawPeer peer(peerId(0x0C02));
    ASSERT_TRUE(peer.start());
    uint32_t previous = 0;
    for (int i = 0; i < 3; ++i) {
        auto response = std::make_shared<TipprmiStream>(100);
        auto done = callAsync(peer.termId(), 1, kAdd, i, response);
        Bytes got = RawPeer::meaningful(peer.next());
        ASSERT_GE(got.size(), 4u);
        uint32_t tid = get32(&got[0]);
        if (i > 0) {
            EXPECT_EQ(previous + 1, tid);
        }
        previous = tid;
        ASSERT_TRUE(peer.send(orb().termId(), orbMessage(tid, 2, 3, {0, 0, 0, 0, 0, 0, 0, 0})));
        EXPECT_TRUE(done.get());
    }
}

TEST(OrbCalling, OneWayReturnsAtOnceWithoutATransaction) {
    RawPeer peer(peerId(0x0C03));
    ASSERT_TRUE(peer.start());
    auto response = std::make_shared<TipprmiStream>(100);
    EXPECT_TRUE(callAsync(peer.termId(), 1, kAdd, 3, response, false).get());
    Bytes got = RawPeer::meaningful(peer.next());
    ASSERT_GE(got.size(), 12u);
    EXPECT_EQ(1u, get32(&got[8]));  // kMsg
    EXPECT_TRUE(response->empty());
    // A response with that id finds no waiting caller; its trace decodes it
    // as a one-way call, which it is not.
    expectError("receives unexpected response");
    expectError("ReflMsg err= 6: tPayld, kResp.(kMsg  )");
    expectError("request out of bounds");
    ASSERT_TRUE(peer.send(orb().termId(), orbMessage(get32(&got[0]), 2, 3, {})));
    EXPECT_TRUE(testsupport::waitForRecords("receives unexpected response", 1, 5000ms));
}

TEST(OrbCalling, RefusedDestinationFailsWithAContainer) {
    expectError("could not find destination termId=0x0CFF0101");
    auto response = std::make_shared<TipprmiStream>(100);
    EXPECT_FALSE(callAsync(peerId(0x0CFF), 1, kAdd, 0, response).get());
    EXPECT_EQ(1u, exceptionTypeOf(*response));
}

TEST(OrbCalling, HandedBackRequestWakesTheCallerWithATransportError) {
    expectError("receives TRANSPORT_ERROR message of termId 0x0C040101");
    RawPeer peer(peerId(0x0C04));
    ASSERT_TRUE(peer.start());
    auto response = std::make_shared<TipprmiStream>(100);
    auto done = callAsync(peer.termId(), 1, kAdd, 0, response);
    Transport::AddressedMessage req = peer.next();
    ASSERT_FALSE(req.isNull());
    // What the transport does with a message it could not deliver.
    orb().receiveError(req);
    ASSERT_EQ(std::future_status::ready, done.wait_for(10s));
    EXPECT_FALSE(done.get());
    EXPECT_EQ(1u, exceptionTypeOf(*response));
}

TEST(OrbCalling, DisappearingPeerEndsTheWaitAtOnce) {
    expectError("aborted (Detection Rem.Disc.=true, TargetGone=true)");
    RawPeer peer(peerId(0x0C05));
    ASSERT_TRUE(peer.start());
    auto r1 = std::make_shared<TipprmiStream>(100);
    auto r2 = std::make_shared<TipprmiStream>(100);
    auto a = callAsync(peer.termId(), 1, kAdd, 0, r1);
    auto b = callAsync(peer.termId(), 1, kAdd, 0, r2);
    ASSERT_FALSE(peer.next().isNull());
    ASSERT_FALSE(peer.next().isNull());
    auto t0 = std::chrono::steady_clock::now();
    peer.stop();
    // Well inside the first 30-second period.
    ASSERT_EQ(std::future_status::ready, a.wait_for(10s));
    ASSERT_EQ(std::future_status::ready, b.wait_for(10s));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 10s);
    EXPECT_FALSE(a.get());
    EXPECT_FALSE(b.get());
    EXPECT_EQ(2u, countRecords("aborted (Detection Rem.Disc.=true, TargetGone=true)"));
    EXPECT_EQ(0u, countRecords("waits now"));
}

TEST(OrbCalling, ResponseAfterTheCallerGaveUpIsDropped) {
    expectError("aborted (Detection Rem.Disc.=true");
    expectError("receives unexpected response");
    expectError("ReflMsg err= 6: tPayld, kResp.(kMsg  )");
    expectError("request out of bounds");
    Transport::TerminationId id = peerId(0x0C06);
    uint32_t tid = 0;
    {
        RawPeer peer(id);
        ASSERT_TRUE(peer.start());
        auto response = std::make_shared<TipprmiStream>(100);
        auto done = callAsync(id, 1, kAdd, 0, response);
        Bytes got = RawPeer::meaningful(peer.next());
        ASSERT_GE(got.size(), 4u);
        tid = get32(&got[0]);
        peer.stop();
        EXPECT_FALSE(done.get());
    }
    // The same actor comes back and answers the old request.
    RawPeer again(id);
    ASSERT_TRUE(again.start());
    ASSERT_TRUE(again.send(orb().termId(), orbMessage(tid, 2, 3, {0, 0, 0, 0, 0, 0, 0, 0})));
    EXPECT_TRUE(testsupport::waitForRecords("receives unexpected response", 1, 5000ms));
}

TEST(OrbCalling, ResolvesRemoteNamesAskingMembersFromTheLastToTheFirst) {
    RawPeer low(peerId(0x0D01)), high(peerId(0x0D02));
    ASSERT_TRUE(low.start());
    ASSERT_TRUE(high.start());
    auto located = std::async(std::launch::async, [] {
        RunPermissionGuard g;
        return orb().locateObject(TipprmiOID("faraway"));
    });
    Bytes oid = {0, 0, 0, 8, 'f', 'a', 'r', 'a', 'w', 'a', 'y', 0, 0, 0, 0, 1};
    // The highest member is asked first and does not know it.
    Bytes q1 = RawPeer::meaningful(high.next());
    ASSERT_GE(q1.size(), 16u);
    EXPECT_EQ(orbMessage(get32(&q1[0]), 1, 2, oid), q1);
    EXPECT_EQ(0u, low.pending());
    ASSERT_TRUE(high.send(orb().termId(), orbMessage(get32(&q1[0]), 1, 3, {0, 0, 0, 0})));
    Bytes q2 = RawPeer::meaningful(low.next());
    ASSERT_GE(q2.size(), 16u);
    ASSERT_TRUE(low.send(orb().termId(), orbMessage(get32(&q2[0]), 1, 3, {0, 0, 0, 0x55})));
    TreflectORB::TreflectObjectLocation where = located.get();
    EXPECT_EQ(0x55u, where.getInternalOID());
    EXPECT_EQ(orb().convertId(low.termId()), where.orbId());
    EXPECT_EQ(nullptr, where.getServer());
}

TEST(OrbWorkers, GrowToTheRequestsServedAtOnceAndNoFurther) {
    Served blocker("blocker");
    RawPeer peer(peerId(0x0E01));
    ASSERT_TRUE(peer.start());
    for (uint32_t i = 1; i <= 3; ++i)
        ASSERT_TRUE(peer.send(orb().termId(), orbMessage(i, 2, 2, callHeader(blocker.ioid(), true, kTestClass, kBlock))));
    ASSERT_TRUE(waitUntil([&] { return blocker.server->blocked.load() == 3; }));
    EXPECT_EQ(3u, orb().workerCount());
    blocker.server->release();
    for (int i = 0; i < 3; ++i) EXPECT_FALSE(peer.next().isNull());
    ASSERT_TRUE(waitUntil([&] { return orb().idleWorkerCount() == 3; }));
    // Served one after the other, the same workers do.
    for (uint32_t i = 10; i < 20; ++i) {
        Bytes add = callHeader(blocker.ioid(), true, kTestClass, kAdd);
        put32(add, i);
        put32(add, i);
        ASSERT_TRUE(peer.send(orb().termId(), orbMessage(i, 2, 2, add)));
        EXPECT_FALSE(peer.next().isNull());
    }
    EXPECT_EQ(3u, orb().workerCount());
}

TEST(OrbWorkers, RunPermissionSerialisesServedRequests) {
    Served counter("counter");
    RawPeer peer(peerId(0x0E02));
    ASSERT_TRUE(peer.start());
    std::thread sender([&] {
        for (uint32_t i = 1; i <= 300; ++i)
            peer.send(orb().termId(), orbMessage(i, 2, 2, callHeader(counter.ioid(), true, kTestClass, kCount)));
    });
    for (int i = 0; i < 300; ++i) ASSERT_FALSE(peer.next().isNull());
    sender.join();
    RunPermissionGuard g;
    EXPECT_EQ(300, counter.server->count);
    EXPECT_EQ(1, counter.server->maxInside);
    EXPECT_EQ(0, counter.server->withoutPermission);
}

namespace {
struct CallArgs {
    Transport::TerminationId dest;
    std::atomic<int>* failed;
};
void* callerThread(void* p) {
    CallArgs* a = static_cast<CallArgs*>(p);
    TipprmiStream request(100), response(100);
    request << 1ul << true << kTestClass << static_cast<unsigned long>(kAdd);
    if (!orb().forwardMsg(orb().convertId(a->dest), true, request, response)) ++*a->failed;
    return nullptr;
}
}  // namespace

TEST(OrbCalling, RunsOutOfTransactionIdsAt4095OpenRequests) {
    expectError("ORB could NOT generate unique request id");
    // Under a slow build (sanitizers) the first 30-second periods of the early
    // callers may run out just as the peer leaves: then the wait ends on the
    // peer being gone rather than on its disappearance being reported.
    expectError("aborted (Detection Rem.Disc.=");
    RawPeer peer(peerId(0x0F01));
    ASSERT_TRUE(peer.start());
    std::atomic<int> failed{0};
    CallArgs args{peer.termId(), &failed};
    std::vector<pthread_t> threads;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 256 * 1024);
    for (int i = 0; i < 4095; ++i) {
        pthread_t t;
        ASSERT_EQ(0, pthread_create(&t, &attr, callerThread, &args));
        threads.push_back(t);
    }
    pthread_attr_destroy(&attr);
    for (int i = 0; i < 4095; ++i) ASSERT_FALSE(peer.next(30s).isNull()) << i;
    // One id is left; a call that takes it and completes makes it the last id.
    auto response = std::make_shared<TipprmiStream>(100);
    auto last = callAsync(peer.termId(), 1, kAdd, 0, response);
    Bytes lastCall = RawPeer::meaningful(peer.next());
    ASSERT_GE(lastCall.size(), 4u);
    ASSERT_TRUE(peer.send(orb().termId(), orbMessage(get32(&lastCall[0]), 2, 3, {0, 0, 0, 0, 0, 0, 0, 0})));
    ASSERT_TRUE(last.get());
    // Every id but the last one is taken: the next call cannot even be sent.
    TipprmiStream request(100), failedResponse(100);
    request << 1ul << true << kTestClass << static_cast<unsigned long>(kAdd);
    EXPECT_FALSE(orb().forwardMsg(orb().convertId(peer.termId()), true, request, failedResponse));
    EXPECT_EQ(1u, countRecords("ORB could NOT generate unique request id"));
    EXPECT_EQ(0u, peer.pending());
    peer.stop();
    for (pthread_t t : threads) pthread_join(t, nullptr);
    EXPECT_EQ(4095, failed.load());
}
