// The ORB between processes: against raw peers that speak the protocol byte
// by byte, and against test actors with ORBs of their own, whose hour-long
// supervision of an unanswered request runs under the time scale.
#include <gtest/gtest.h>

#include <csignal>
#include <future>
#include <memory>
#include <thread>

#include "IPPRMI_objectClient.h"
#include "IPPRMI_stream.h"
#include "REFLECT_objectStub.h"
#include "OrbNodeFixture.h"
#include "TestSkeletons.h"
#include "ThreadCpu.h"

using namespace orbtest;
using namespace std::chrono_literals;
using testsupport::countRecords;
using testsupport::expectError;
using testsupport::waitForRecords;
using testsupport::waitUntil;

namespace {

::testing::Environment* const gNode = ::testing::AddGlobalTestEnvironment(new NodeEnvironment);

// A server object, registered and unregistered under the run permission.
std::shared_ptr<TestServer> serve(char const* name) {
    RunPermissionGuard g;
    return std::shared_ptr<TestServer>(new TestServer(name, &orb()), [](TestServer* s) {
        RunPermissionGuard g;
        delete s;
    });
}

// Sends a payload request through the ORB on another thread, which holds
// the run permission when `guarded`; true when the call succeeded and the
// thread holds the permission as it did before.
std::future<bool> callAsync(Transport::TerminationId dest, uint32_t ioid, long arg,
                            std::shared_ptr<TipprmiStream> response, bool transaction = true, bool guarded = false,
                            unsigned long mc = kAdd) {
    return std::async(std::launch::async, [=] {
        std::unique_ptr<RunPermissionGuard> g(guarded ? new RunPermissionGuard : nullptr);
        TipprmiStream request(100);
        request << static_cast<unsigned long>(ioid) << transaction << kTestClass << mc << arg;
        bool const ok = orb().forwardMsg(orb().convertId(dest), transaction, request, *response);
        return ok && TreflectORB::hasRunPermission() == guarded;
    });
}

std::shared_ptr<TipprmiStream> stream() { return std::make_shared<TipprmiStream>(100); }

// An answer nobody waits for is logged and traced as a one-way call, which it is not.
void expectUnexpectedResponse() {
    expectError("receives unexpected response");
    expectError("ReflMsg err= 6: tPayld, kResp.(kMsg  )");
    expectError("request out of bounds");
}

constexpr unsigned short kActorNameId = 0x0A50;

Transport::TerminationId actorTerm() { return peerId(kActorNameId); }

}  // namespace

// Requests of a raw peer are answered byte for byte; counters per
// destination are read and reset by a tPfCnt request. Counted on the way: a
// one-way call, a transaction answered by the header alone, a refused one.
// Then a name is resolved remotely.
TEST(OrbServing, AnswersRawRequestsByteForByteCountsWhatItSendsAndResolvesRemotely) {
    for (char const* e : {"ioid=0x999,transaction=true", "Handling request message failed rc=0", "Unknown method code 7",
                          "shorter than the ORB header", "ioid=0x0,transaction=false", "termId=0x0BFF0101"})
        expectError(e);
    expectUnexpectedResponse();
    auto adder = serve("adder");
    RawPeer peer(peerId(0x0B01));
    ASSERT_TRUE(peer.start());
    uint32_t const io = uint32_t(adder->getInternalOID());
    Bytes const failure = {0, 0, 0, 1, /* general exception */ 0, 0, 0, 4, /* data size */ 0, 0, 0, 0 /* code 0 */};
    Bytes const container = {0, 0, 0, 1, 0, 0, 0, 4, 0, 0, 0x12, 0x34};
    struct {
        uint32_t type;
        Bytes request, response;
    } const cases[] = {
        {10, {}, {}},  // whatever earlier tests counted goes with a first reading
        // 5 + -7: no exception, empty exception data, -2
        {2, callHeader(io, true, kTestClass, kAdd) + Bytes{0, 0, 0, 5, 0xFF, 0xFF, 0xFF, 0xF9},
         {0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFE}},
        {2, callHeader(0x999, true, kTestClass, kAdd), failure},
        {2, callHeader(io, true, kTestClass, 7), failure},
        {1, {0, 0, 0, 6, 'a', 'd', 'd', 'e', 'r', 0, 0, 0, 0, 1}, word(io)},
        {1, {0, 0, 0, 4, 'x', 'y', 'z', 0, 0, 0, 0, 1}, word(0)},
        // The status of setting the container already reflects it.
        {2, callHeader(io, true, 0, 2100) + container, container},
        {2, callHeader(io, true, 0, 2101), container + container},
    };
    uint32_t tid = 0xBEEF0000;
    for (auto const& c : cases) {
        ASSERT_TRUE(peer.send(orb().termId(), orbMessage(++tid, c.type, 2, c.request)));
        Transport::AddressedMessage got = peer.next();
        ASSERT_FALSE(got.isNull());
        if (c.type != 10) {
            EXPECT_EQ(orbMessage(tid, c.type, 3, c.response), RawPeer::meaningful(got)) << tid;
        }
        EXPECT_TRUE(got.originator() == orb().termId() && got.destination() == peer.termId());
    }
    EXPECT_EQ(1u, countRecords("Unknown method code 7"));
    // Shorter than the header: dropped. The header alone: read as zeros, a
    // one-way call to object 0, which fails unanswered.
    Bytes headerOnly = word(++tid) + word(2) + word(2);
    ASSERT_TRUE(peer.send(orb().termId(), Bytes(headerOnly.begin(), headerOnly.begin() + 8)));
    ASSERT_TRUE(peer.send(orb().termId(), headerOnly));
    EXPECT_TRUE(waitForRecords("ioid=0x0,transaction=false"));
    EXPECT_EQ(1u, countRecords("drops a message of 8 bytes from 0x0B010101: shorter than the ORB header"));
    EXPECT_TRUE(peer.next(200ms).isNull());

    // A one-way call returns at once and leaves no transaction open: a
    // response with its id finds nobody waiting.
    auto response = stream();
    EXPECT_TRUE(callAsync(peer.termId(), 1, 3, response, false).get());
    EXPECT_TRUE(response->empty());
    Bytes sent = RawPeer::meaningful(peer.next());
    ASSERT_GE(sent.size(), 12u);
    EXPECT_EQ(1u, get32(&sent[8]));  // kMsg
    ASSERT_TRUE(peer.send(orb().termId(), orbMessage(get32(&sent[0]), 2, 3, {})));
    EXPECT_TRUE(waitForRecords("receives unexpected response"));
    // The header alone answers: status and result read as zeros.
    auto pending = callAsync(peer.termId(), 1, 0, response);
    sent = RawPeer::meaningful(peer.next());
    ASSERT_GE(sent.size(), 4u);
    headerOnly = word(get32(&sent[0])) + word(2) + word(3);
    ASSERT_TRUE(peer.send(orb().termId(), headerOnly));
    if (pending.wait_for(10s) != std::future_status::ready) peer.stop();  // the caller ends with its peer
    ASSERT_TRUE(pending.get());
    EXPECT_EQ(0u, exceptionTypeOf(*response));
    long sum = -1;
    *response >> sum;
    EXPECT_TRUE(sum == 0 && response->hasUnmarshallingFailed()) << sum;
    Transport::TerminationId const absent = peerId(0x0BFF);
    auto refused = stream();
    EXPECT_FALSE(callAsync(absent, 1, 0, refused).get());
    EXPECT_EQ(1u, exceptionTypeOf(*refused));

    ASSERT_TRUE(peer.send(orb().termId(), orbMessage(0x21, 10, 2, {})));
    std::string const actor = Transport::IdInfo::instance().getActor();
    // Actor name, then (destination, sent, failed) in termination id order.
    Bytes const want = word(uint32_t(actor.size() + 1)) + Bytes(actor.begin(), actor.end()) + Bytes{0} + word(2) +
                       word(uint32_t(peer.termId().value())) + word(2) + word(0) + word(uint32_t(absent.value())) +
                       word(1) + word(1);
    EXPECT_EQ(orbMessage(0x21, 10, 3, want), RawPeer::meaningful(peer.next()));
    ASSERT_TRUE(peer.send(orb().termId(), orbMessage(0x22, 10, 2, {})));
    Bytes again = RawPeer::meaningful(peer.next());
    ASSERT_GE(again.size(), 4u);
    EXPECT_EQ(0u, get32(&again[again.size() - 4])) << "read and reset";

    // A name unknown here is resolved by asking the other members from the
    // last to the first: the higher peer first, which does not know it.
    RawPeer higher(peerId(0x0B02));
    ASSERT_TRUE(higher.start());
    auto located = std::async(std::launch::async, [] {
        RunPermissionGuard g;
        return orb().locateObject(TipprmiOID("faraway"));
    });
    Bytes q1 = RawPeer::meaningful(higher.next());
    if (q1.size() < 16) {  // asked in another order: the lookup ends with its peers
        peer.stop();
        higher.stop();
    }
    ASSERT_GE(q1.size(), 16u);
    EXPECT_EQ(orbMessage(get32(&q1[0]), 1, 2, {0, 0, 0, 8, 'f', 'a', 'r', 'a', 'w', 'a', 'y', 0, 0, 0, 0, 1}), q1);
    EXPECT_TRUE(peer.next(0ms).isNull());
    ASSERT_TRUE(higher.send(orb().termId(), orbMessage(get32(&q1[0]), 1, 3, word(0))));
    Bytes q2 = RawPeer::meaningful(peer.next());
    ASSERT_GE(q2.size(), 16u);
    ASSERT_TRUE(peer.send(orb().termId(), orbMessage(get32(&q2[0]), 1, 3, word(0x55))));
    TreflectORB::TreflectObjectLocation where = located.get();
    EXPECT_EQ(0x55u, where.getInternalOID());
    EXPECT_EQ(orb().convertId(peer.termId()), where.orbId());
    EXPECT_EQ(nullptr, where.getServer());
}

// A caller that holds the run permission gives it up while it waits, so
// another thread can take it meanwhile, and has it again afterwards; one
// whose request is handed back wakes with a transport error.
TEST(OrbCalling, RequestLayoutAndResponseReachTheCaller) {
    expectError("receives TRANSPORT_ERROR message of termId 0x0C010101");
    Transport::TerminationId const id = peerId(0x0C01);
    auto peer = std::make_unique<RawPeer>(id);
    ASSERT_TRUE(peer->start());
    auto response = stream();
    auto done = callAsync(id, 0x42, 9, response, true, true);
    Transport::AddressedMessage req = peer->next();
    auto other = std::async(std::launch::async, [] { RunPermissionGuard g; });
    bool const gaveUp = other.wait_for(10s) == std::future_status::ready;
    EXPECT_TRUE(gaveUp);
    Bytes got = RawPeer::meaningful(req);
    ASSERT_EQ(36u, got.size());
    uint32_t const tid = get32(&got[0]);
    // Name id, low slot bits, then a 12-bit counter.
    EXPECT_EQ((uint32_t(kOwnNameId) << 16) | (1u << 12), tid & 0xFFFFF000u);
    EXPECT_NE(0u, tid & 0xFFFu);
    EXPECT_EQ(orbMessage(tid, 2, 2, callHeader(0x42, true, kTestClass, kAdd) + word(9)), got);
    ASSERT_TRUE(peer->send(orb().termId(), orbMessage(tid, 2, 3, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x2A})));
    ASSERT_TRUE(done.get());
    EXPECT_EQ(0u, exceptionTypeOf(*response));
    long result = 0;
    *response >> result;
    EXPECT_TRUE(result == 42 && !response->hasUnmarshallingFailed()) << result;

    // What the transport does with a request it could not deliver wakes its caller with an error.
    auto undelivered = stream();
    auto failing = callAsync(id, 1, 0, undelivered);
    Transport::AddressedMessage lost = peer->next();
    ASSERT_FALSE(lost.isNull());
    orb().receiveError(lost);
    ASSERT_EQ(std::future_status::ready, failing.wait_for(10s));
    EXPECT_FALSE(failing.get());
    EXPECT_EQ(1u, exceptionTypeOf(*undelivered));
    EXPECT_EQ(1u, countRecords("receives TRANSPORT_ERROR"));
}

// Workers serve one request at a time, each under the run permission; they
// grow to the number of requests served at once and no further.
TEST(OrbWorkers, ServeOneAtATimeAndGrowToTheRequestsServedAtOnce) {
    auto served = serve("server");
    TestServer& server = *served;
    RawPeer peer(peerId(0x0E01));
    ASSERT_TRUE(peer.start());
    uint32_t const io = uint32_t(server.getInternalOID());
    auto request = [&](uint32_t tid, TestMethod mc) {
        return peer.send(orb().termId(), orbMessage(tid, 2, 2, callHeader(io, true, kTestClass, mc)));
    };
    std::thread sender([&] {
        for (uint32_t i = 1; i <= 300; ++i) request(i, kCount);
    });
    int answered = 0;
    while (answered < 300 && !peer.next().isNull()) ++answered;
    sender.join();
    EXPECT_EQ(300, answered);
    {
        RunPermissionGuard g;
        EXPECT_EQ(300, server.count);
        EXPECT_EQ(1, server.maxInside);
        ASSERT_EQ(0, server.withoutPermission);
    }
    // Two more than there are workers, served at once.
    ASSERT_TRUE(waitUntil([&] { return orb().idleWorkerCount() == orb().workerCount(); }));
    unsigned const atOnce = orb().workerCount() + 2;
    for (uint32_t i = 0; i < atOnce; ++i) ASSERT_TRUE(request(1000 + i, kBlock));
    ASSERT_TRUE(waitUntil([&] { return unsigned(server.blocked.load()) == atOnce; }));
    EXPECT_EQ(atOnce, orb().workerCount());
    server.release();
    for (unsigned i = 0; i < atOnce; ++i) EXPECT_FALSE(peer.next().isNull());
    ASSERT_TRUE(waitUntil([&] { return orb().idleWorkerCount() == atOnce; }));
    // Served one after the other, the same workers do.
    for (uint32_t i = 2000; i < 2010; ++i) {
        ASSERT_TRUE(request(i, kCount));
        EXPECT_FALSE(peer.next().isNull());
    }
    EXPECT_EQ(atOnce, orb().workerCount());
}

// Objects of the actor, found by name and called through client handles,
// its counters read by name, until a response-failure message ends it.
TEST(OrbActors, CallsObjectsOfAnotherProcessUntilAResponseFailureEndsIt) {
    expectError("aborted (Detection Rem.Disc.=true, TargetGone=true)");
    auto actor = startActor(TA_ORB_TEST_ACTOR, kActorNameId, {"serve"});
    uint32_t blockerId = 0;
    {
        RunPermissionGuard g;
        TipprmiObjectClient adder(TipprmiOID("adder")), blocker(TipprmiOID("blocker"));
        ASSERT_TRUE(adder.isConnected());
        EXPECT_EQ(nullptr, adder.getServer());
        EXPECT_EQ(orb().convertId(actorTerm()), adder.getStub_()->orbId());
        blockerId = uint32_t(blocker.getStub_()->getInternalOID());
    }
    // The counters reach us by name, and are reset by the reading.
    EXPECT_EQ("actor" + std::to_string(kActorNameId), orb().getPerfCnts(actorTerm()).actor);
    EXPECT_EQ(0u, orb().getPerfCnts(actorTerm()).counters.getLength());

    auto blocked = std::make_shared<TipprmiStream>(100);
    auto pending = callAsync(actorTerm(), blockerId, 0, blocked, true, false, kBlock);
    EXPECT_EQ(std::future_status::timeout, pending.wait_for(200ms));
    // A response-failure message, the header alone, ends the actor.
    RawPeer peer(peerId(0x0B70, 2));
    ASSERT_TRUE(peer.start());
    ASSERT_TRUE(peer.send(actorTerm(), word(0x1234) + word(2) + word(5)));
    EXPECT_EQ(0, actor->exitCode(20s)) << actor->output();
    EXPECT_EQ(1u, actor->countOutput("LOG0 REFLECT_orbRequests.cpp"));
    EXPECT_EQ(1u, actor->countOutput("received response failure message from 0x0B700201")) << actor->output();
    EXPECT_EQ(1u, actor->countOutput("ORB 0x0A500101 requests UNIT RESET"));
    EXPECT_EQ(1u, actor->countOutput("ORB 0x0A500101 failed to reset unit, EXIT ACTOR"));
    actor->kill(SIGKILL);  // should it live on, the caller's wait still ends
    // The caller's wait ends with it, inside its first period.
    ASSERT_EQ(std::future_status::ready, pending.wait_for(10s));
    EXPECT_FALSE(pending.get());
    EXPECT_EQ(1u, exceptionTypeOf(*blocked));
    EXPECT_EQ(0u, countRecords("waits now"));
}

// Two actors call peers that never answer. 30-second periods pass in 15 ms:
// the hour takes about two seconds. Only the peer in another slot gets
// response failures; at 60 minutes both callers end.
TEST(OrbActors, UnansweredCallsSendResponseFailuresToAnotherSlotThenEndTheCaller) {
    RawPeer far(peerId(0x0B71, 2)), near(peerId(0x0B72, 1));
    auto callUnanswered = [](RawPeer& silent, unsigned short nameId) {
        EXPECT_TRUE(silent.start());
        char dest[16];
        std::snprintf(dest, sizeof dest, "%08lX", silent.termId().value());
        return startActor(TA_ORB_TEST_ACTOR, nameId, {"call", dest}, {{"TOPADAPTER_TIME_SCALE", "2000"}});
    };
    auto farCaller = callUnanswered(far, 0x0A51);
    auto nearCaller = callUnanswered(near, 0x0A52);
    Bytes request = RawPeer::meaningful(far.next());
    ASSERT_GE(request.size(), 36u);
    EXPECT_EQ(2u, get32(&request[8]));
    EXPECT_FALSE(near.next().isNull());
    // Minutes count whole: periods 100 and 101 are both at 50 minutes,
    // 110 and 111 at 55; period 120 (60 minutes) ends the caller.
    for (int i = 0; i < 4; ++i) {
        Bytes f = RawPeer::meaningful(far.next(20s));
        ASSERT_GE(f.size(), 16u);
        EXPECT_EQ(5u, get32(&f[8]));                  // kReFai
        EXPECT_NE(get32(&request[0]), get32(&f[0]));  // a fresh id
        EXPECT_EQ(Bytes(request.begin() + 4, request.begin() + 8), Bytes(f.begin() + 4, f.begin() + 8));
        EXPECT_EQ(Bytes(request.begin() + 12, request.end()), Bytes(f.begin() + 12, f.end()));
    }
    EXPECT_EQ(0, farCaller->exitCode(30s)) << farCaller->output();
    EXPECT_EQ(0, nearCaller->exitCode(30s)) << nearCaller->output();
    EXPECT_TRUE(far.next(200ms).isNull());
    EXPECT_TRUE(near.next(100ms).isNull());
    EXPECT_EQ(2u, farCaller->countOutput("ORB Ox0A510101 waits now 50 minutes for 0x0B710201, sending response "
                                         "failure message succeeded"));
    EXPECT_EQ(2u, farCaller->countOutput("waits now 55 minutes for 0x0B710201, sending response failure message "
                                         "succeeded"));
    EXPECT_EQ(1u, farCaller->countOutput("LOG0 REFLECT_orbRequests.cpp"));
    EXPECT_EQ(0u, nearCaller->countOutput("sending response failure message"));
    EXPECT_EQ(1u, nearCaller->countOutput("ORB Ox0A520101 waits now 60 minutes for 0x0B720101"));
    // Every wait traces the request itself, never the failure messages sent meanwhile.
    EXPECT_EQ(120u, farCaller->countOutput("seconds for response from 0x0B710201"));
    EXPECT_EQ(1u, farCaller->countOutput("waits now  30 seconds for response"));
    char tid[32];
    std::snprintf(tid, sizeof tid, "trAcId=%08X", get32(&request[0]));
    EXPECT_EQ(120u, farCaller->countOutput(tid));
    EXPECT_EQ(0u, farCaller->countOutput("kReFai"));
}

// Observers of appearing and disappearing ORBs: one observer's masks merge;
// present terminations are reported at registration for appearances alone;
// an observer that left hears nothing more.
TEST(OrbObservers, MasksMergeThePresentComeOnlyWithAppearancesAndLeavingEndsAll) {
    OrbEvents appear, all, disappear;
    RawPeer present(peerId(0x0D01)), late(peerId(0x0D02));
    ASSERT_TRUE(present.start());
    ASSERT_TRUE(waitUntil([&] { return Transport::TransportLayer::instance().exists(present.termId()); }));
    orb().registerOrbCreation(&appear, true);
    orb().orbObserver()->subscribe(&all, TreflectOrbObserverIf::kAll, true);
    orb().registerOrbDeletion(&disappear);
    orb().registerOrbDeletion(&appear);
    EXPECT_TRUE(appear.saw(present.termId()) && !all.saw(present.termId()));
    ASSERT_TRUE(late.start());
    ASSERT_TRUE(waitUntil([&] { return all.saw(late.termId()); }));
    orb().unregisterOrbNotifications(&all);
    late.stop();
    // Told in the order they registered: once the last one is told, all were.
    ASSERT_TRUE(waitUntil([&] { return disappear.saw(late.termId(), 2); }));
    EXPECT_TRUE(appear.saw(late.termId()) && appear.saw(late.termId(), 2));
    EXPECT_FALSE(disappear.saw(late.termId()) || all.saw(late.termId(), 2));
    for (OrbEvents* o : {&appear, &disappear}) orb().unregisterOrbNotifications(o);
}

// The receiving threads look for the next frame instead of sleeping only
// where it pays. With a window of 50 ms, a thread that looked where it must
// not would spend much of each 20 ms answer, of the 20 ms between requests,
// or of the window after each sparse call on the CPU, while one that sleeps
// spends some ten microseconds per call: a bound of a millisecond per call
// holds on a loaded machine too. Sparse calls are compared with the same
// calls with the poll off, in one run. (Where it does look, it backs off
// while other work wants the CPU: how much it looks there depends on the
// machine's load, so no bound is put on it here; orb_bench shows it.)
// Frames that do not follow closely wake the receiving threads once each:
// the early wake-up as the peer takes a frame is for close successions.
TEST(OrbActors, ReceivingThreadsLookForTheNextFrameOnlyWhereItPays) {
    struct Case {
        char const* what;
        std::vector<std::string> server, caller;  // placement options of the actors
        char const* serverPoll;
        char const* callerPoll;
        int gapMs, answerMs;
        double callerUs = 0, serverUs = 0;  // CPU time of their receiving threads over the calls
        long callerSleeps = 0, serverSleeps = 0;  // ... and how often they slept
    };
    Case sparseOff = {"sparse calls, the poll off", {}, {}, "0", "0", 80, 0};
    Case sparse = {"sparse calls", {}, {}, "50000", "50000", 80, 0};
    Case sleeps[] = {
        {"the switch off", {}, {}, "0", "0", 0, 20},
        {"one CPU for both", {"--cpu", "0"}, {"--cpu", "0"}, "0", "50000", 0, 20},
        {"a real-time server, requests 20 ms apart", {"--realtime"}, {}, "50000", "0", 20, 0},
    };
    int const calls = 8;
    unsigned short nameId = 0x0A60;
    auto run = [&](Case& c) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> serveArgs = c.server;
        serveArgs.insert(serveArgs.begin(), "serve");
        auto server = startActor(TA_ORB_TEST_ACTOR, nameId, serveArgs, {{"TOPADAPTER_ANSWER_POLL_US", c.serverPoll}});
        char dest[16];
        std::snprintf(dest, sizeof dest, "%08lX", peerId(nameId).value());
        std::vector<std::string> callArgs = c.caller;
        for (std::string const& a : {std::string("calls"), std::string(dest), std::to_string(calls),
                                     std::to_string(c.gapMs), std::to_string(c.answerMs)})
            callArgs.push_back(a);
        double const serverBefore = threadCpuUs(server->pid(), "TrspRecv");
        long const serverSleptBefore = threadSleeps(server->pid(), "TrspRecv");
        auto caller = startActor(TA_ORB_TEST_ACTOR, nameId + 1, callArgs, {{"TOPADAPTER_ANSWER_POLL_US", c.callerPoll}});
        nameId += 2;
        ASSERT_EQ(0, caller->exitCode(60s)) << caller->output();
        c.serverUs = threadCpuUs(server->pid(), "TrspRecv") - serverBefore;
        c.serverSleeps = threadSleeps(server->pid(), "TrspRecv") - serverSleptBefore;
        c.callerUs = -1;
        for (std::string const& line : caller->lines()) {
            std::sscanf(line.c_str(), "RECEIVING_CPU_US %lf", &c.callerUs);
            std::sscanf(line.c_str(), "RECEIVING_SLEEPS %ld", &c.callerSleeps);
        }
        // One wake-up a call, and a few as the connections come up.
        EXPECT_LE(c.callerSleeps, calls * 3 / 2 + 2) << "the caller's receiving thread wakes once a call";
        EXPECT_LE(c.serverSleeps, calls * 3 / 2 + 2) << "and the server's";
        ASSERT_GT(c.callerUs, 0) << "the receiving thread is seen at work" << caller->output();
        ASSERT_GT(c.serverUs, 0) << "the receiving thread is seen at work";
    };
    // A thread that looked through each 20 ms wait would spend 20 ms of CPU a
    // call; a quarter of it leaves room for sanitizers on a loaded machine.
    double const bound = calls * 5000.0;
    for (Case& c : sleeps) {
        run(c);
        EXPECT_LT(c.callerUs, bound) << c.what << ": the caller sleeps";
        EXPECT_LT(c.serverUs, bound) << c.what << ": the server sleeps";
    }
    run(sparseOff);
    run(sparse);
    EXPECT_LT(sparse.callerUs, 2 * sparseOff.callerUs + bound / 5) << "sparse calls cost the caller what they cost with the poll off";
    EXPECT_LT(sparse.serverUs, 2 * sparseOff.serverUs + bound / 5) << "and the server";
}
