// The ORB between processes: calls into a test actor, a peer killed while a
// caller waits, the response-failure message, and the hour-long supervision
// of an unanswered request under the time scale.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <future>
#include <memory>

#include "ChildProcess.h"
#include "IPPRMI_objectClient.h"
#include "IPPRMI_stream.h"
#include "REFLECT_objectStub.h"
#include "OrbNodeFixture.h"
#include "TestSkeletons.h"

using namespace orbtest;
using namespace std::chrono_literals;
using testsupport::ChildProcess;
using testsupport::countRecords;
using testsupport::expectError;

namespace {

::testing::Environment* const gNode = ::testing::AddGlobalTestEnvironment(new NodeEnvironment);

constexpr unsigned short kActorNameId = 0x0A50;

std::unique_ptr<ChildProcess> startActor(std::vector<std::string> args, std::map<std::string, std::string> env = {}) {
    env["TOPADAPTER_NAME_ID"] = std::to_string(kActorNameId);
    env["TOPADAPTER_ACTOR"] = "orbactor";
    env["TOPADAPTER_QUIET"] = "0";
    auto p = std::make_unique<ChildProcess>(TA_ORB_TEST_ACTOR, args, env);
    EXPECT_TRUE(p->waitForOutput("READY", 10s)) << p->output();
    return p;
}

Transport::TerminationId actorTerm() { return peerId(kActorNameId); }

int exitCode(ChildProcess& p, std::chrono::milliseconds deadline = 20s) {
    int status = 0;
    if (!p.waitForExit(deadline, &status)) return -1000;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -2000 - WTERMSIG(status);
}

std::future<bool> call(TreflectORB::TreflectObjectLocation const& where, unsigned long mc, long a, long b,
                       std::shared_ptr<TipprmiStream> response) {
    return std::async(std::launch::async, [=] {
        TipprmiStream request(100);
        request << where.getInternalOID() << true << kTestClass << mc << a << b;
        return orb().forwardMsg(where.orbId(), true, request, *response);
    });
}

TreflectORB::TreflectObjectLocation locate(char const* name) {
    RunPermissionGuard g;
    return orb().locateObject(TipprmiOID(name));
}

}  // namespace

TEST(OrbActors, CallsAnObjectOfAnotherProcessFoundByName) {
    auto actor = startActor({"serve"});
    TreflectORB::TreflectObjectLocation adder = locate("adder");
    ASSERT_NE(0u, adder.getInternalOID());
    EXPECT_EQ(orb().convertId(actorTerm()), adder.orbId());
    auto response = std::make_shared<TipprmiStream>(100);
    ASSERT_TRUE(call(adder, kAdd, 40, 2, response).get());
    TipprmiExceptionContainer status;
    long sum = 0;
    *response >> status >> sum;
    EXPECT_EQ(0u, status.getExceptionType());
    EXPECT_EQ(42, sum);

    // The actor's counters reach us by name, and are reset by the reading.
    TreflectORB::PerfCntInfo info = orb().getPerfCnts(actorTerm());
    EXPECT_EQ("orbactor", info.actor);
    EXPECT_EQ(0u, orb().getPerfCnts(actorTerm()).counters.getLength());
}

// A client handle found by name: calls through its stub reach the actor, and
// the stub turns invalid when the actor's ORB goes away.
TEST(OrbActors, ClientHandleCallsTheRemoteObjectUntilItsOrbDisappears) {
    auto actor = startActor({"serve"});
    std::unique_ptr<TipprmiObjectClient> adder;
    {
        RunPermissionGuard g;
        adder = std::make_unique<TipprmiObjectClient>(TipprmiOID("adder"));
        ASSERT_TRUE(adder->isConnected());
        EXPECT_EQ(nullptr, adder->getServer());
        TipprmiStream in(100), out(100);
        adder->prepareRequestStream_(true, kTestClass, kAdd, in) << 40L << 2L;
        ASSERT_TRUE(adder->dispatch(true, kTestClass, kAdd, in, out));
        long sum = 0;
        adder->prepareResponseStream_(true, out) >> sum;
        EXPECT_EQ(42, sum);

        // The built-in method codes of the remote skeleton. A type-1 container
        // there would make every answer a failure, its own included.
        TipprmiAny data;
        data << 9;
        adder->getStub_()->setExceptionContainer(TipprmiExceptionContainer(0, data));
        TipprmiExceptionContainer remote = adder->getStub_()->getExceptionContainer();
        EXPECT_EQ(0u, remote.getExceptionType());
        int nine = 0;
        remote.getExceptionData() >> nine;
        EXPECT_EQ(9, nine);
    }

    actor->kill(SIGKILL);
    ASSERT_TRUE(testsupport::waitUntil([&] {
        RunPermissionGuard g;
        return !adder->getStub_()->isValid();
    }));
    RunPermissionGuard g;
    TipprmiStream in(100), out(100);
    adder->prepareRequestStream_(true, kTestClass, kAdd, in);
    EXPECT_FALSE(adder->dispatch(true, kTestClass, kAdd, in, out));
    EXPECT_EQ(1u, countRecords("request to stub object set to invalid"));
    adder.reset();
}

TEST(OrbActors, CallerOfAKilledPeerAbortsWithoutAnotherPeriod) {
    expectError("aborted (Detection Rem.Disc.=true, TargetGone=true)");
    auto actor = startActor({"serve"});
    TreflectORB::TreflectObjectLocation blocker = locate("blocker");
    ASSERT_NE(0u, blocker.getInternalOID());
    auto response = std::make_shared<TipprmiStream>(100);
    auto pending = call(blocker, kBlock, 0, 0, response);
    EXPECT_EQ(std::future_status::timeout, pending.wait_for(200ms));
    auto t0 = std::chrono::steady_clock::now();
    actor->kill(SIGKILL);
    ASSERT_EQ(std::future_status::ready, pending.wait_for(10s));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 10s);
    EXPECT_FALSE(pending.get());
    EXPECT_EQ(0u, countRecords("waits now"));
    EXPECT_EQ(1u, exceptionTypeOf(*response));
}

TEST(OrbActors, ResponseFailureMessageEndsTheReceivingProcess) {
    auto actor = startActor({"serve"});
    RawPeer peer(peerId(0x0B70, 2));
    ASSERT_TRUE(peer.start());
    // The header alone says all there is to say.
    Bytes headerOnly = orbMessage(0x1234, 2, 5, {});
    headerOnly.resize(12);
    ASSERT_TRUE(peer.send(actorTerm(), headerOnly));
    EXPECT_EQ(0, exitCode(*actor)) << actor->output();
    std::string who = "from 0x0B700201";
    EXPECT_EQ(1u, actor->countOutput("LOG0 REFLECT_orbRequests.cpp"));
    EXPECT_EQ(1u, actor->countOutput("received response failure message " + who)) << actor->output();
    EXPECT_EQ(1u, actor->countOutput("ORB 0x0A500101 requests UNIT RESET"));
    EXPECT_EQ(1u, actor->countOutput("ORB 0x0A500101 failed to reset unit, EXIT ACTOR"));
}

// The actor calls `silent`, which never answers. 30-second periods pass in
// 15 ms: the hour takes about two seconds.
static std::unique_ptr<ChildProcess> callUnanswered(RawPeer& silent) {
    EXPECT_TRUE(silent.start());
    char dest[16];
    std::snprintf(dest, sizeof dest, "%08lX", silent.termId().value());
    return startActor({"call", dest}, {{"TOPADAPTER_TIME_SCALE", "2000"}});
}

TEST(OrbActors, UnansweredCallToAnotherSlotSendsResponseFailuresThenEndsTheCaller) {
    RawPeer silent(peerId(0x0B71, 2));
    auto actor = callUnanswered(silent);
    Bytes request = RawPeer::meaningful(silent.next());
    ASSERT_GE(request.size(), 36u);
    EXPECT_EQ(2u, get32(&request[8]));
    // Minutes count whole: periods 100 and 101 are both at 50 minutes,
    // 110 and 111 at 55; period 120 (60 minutes) ends the caller.
    std::vector<Bytes> failures;
    for (int i = 0; i < 4; ++i) {
        Bytes f = RawPeer::meaningful(silent.next(20s));
        ASSERT_GE(f.size(), 16u);
        failures.push_back(f);
    }
    EXPECT_EQ(0, exitCode(*actor, 30s)) << actor->output();
    for (auto const& f : failures) {
        EXPECT_EQ(5u, get32(&f[8]));                        // kReFai
        EXPECT_NE(get32(&request[0]), get32(&f[0]));        // a fresh id
        EXPECT_EQ(Bytes(request.begin() + 4, request.begin() + 8), Bytes(f.begin() + 4, f.begin() + 8));
        EXPECT_EQ(Bytes(request.begin() + 12, request.end()), Bytes(f.begin() + 12, f.end()));
    }
    EXPECT_TRUE(silent.next(200ms).isNull());
    EXPECT_EQ(2u, actor->countOutput("ORB Ox0A500101 waits now 50 minutes for 0x0B710201, sending response failure "
                                     "message succeeded"));
    EXPECT_EQ(2u, actor->countOutput("waits now 55 minutes for 0x0B710201, sending response failure message succeeded"));
    EXPECT_EQ(1u, actor->countOutput("LOG0 REFLECT_orbRequests.cpp"));
    EXPECT_EQ(1u, actor->countOutput("ORB Ox0A500101 waits now 60 minutes for 0x0B710201"));
    EXPECT_EQ(120u, actor->countOutput("seconds for response from 0x0B710201"));
    // Every wait traces the request itself, never the failure messages sent meanwhile.
    char tid[32];
    std::snprintf(tid, sizeof tid, "trAcId=%08X", get32(&request[0]));
    EXPECT_EQ(120u, actor->countOutput(tid));
    EXPECT_EQ(0u, actor->countOutput("kReFai"));
    EXPECT_EQ(1u, actor->countOutput("waits now  30 seconds for response"));
    EXPECT_EQ(1u, actor->countOutput("waits now 3600 seconds for response"));
    EXPECT_EQ(0u, actor->countOutput("RESULT"));
}

TEST(OrbActors, UnansweredCallInTheSameSlotEndsTheCallerWithoutResponseFailures) {
    RawPeer silent(peerId(0x0B72, 1));
    auto actor = callUnanswered(silent);
    EXPECT_FALSE(silent.next().isNull());
    EXPECT_EQ(0, exitCode(*actor, 30s)) << actor->output();
    EXPECT_TRUE(silent.next(100ms).isNull());
    EXPECT_EQ(0u, actor->countOutput("sending response failure message"));
    EXPECT_EQ(1u, actor->countOutput("waits now 60 minutes for 0x0B720101"));
}
