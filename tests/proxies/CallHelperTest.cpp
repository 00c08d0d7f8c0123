// The call helper's local route, whose observers see the call and may veto
// it (the remote route, byte by byte: ProxyWireTest; a call through the
// invalid stub: ObjectStubTest).
#include <gtest/gtest.h>

#include "CallHelper.h"
#include "LogCapture.h"
#include "REFLECT_objectStub.h"
#include "StandaloneNode.h"
#include "TestThing.h"

using namespace reflecttest;
using testsupport::expectError;

namespace {

testsupport::StandaloneNode const gStandaloneNode;

struct Echo : ThingServer {
    Echo() : ThingServer("echo", nullptr) {}
    long member(long a, short& b) { return a + (b = 7); }
};

}  // namespace

TEST(CallHelper, LocalRouteLetsObserversSeeTheCallAndVetoIt) {
    RunPermissionGuard g;
    Echo echo;
    short b = 0;
    ClientCallHookr2<Echo, long, long, short&> hook(&echo, &Echo::member, 5, b);
    ClientCallHelper(hook, InParamHook0(), OutParamHook0(), *echo.getClient()->getStub_(), &echo, kThingClass,
                     kSetValue, true);
    EXPECT_EQ(12, hook.result());  // no observers: a plain call

    struct Veto {
        bool answer = true;
        std::vector<long> seen;
        bool note(TreflectObserver* o) {
            TipprmiSequence<TipprmiAny>& args = *o->currentArguments();
            long r = -1, a = -1;
            short b = -1;
            args[0].extract(r);
            args[1].extract(a);
            args[2].extract(b);
            seen.insert(seen.end(), {r, a, b});
            return answer;
        }
    } veto;
    TreflectNotificator<Veto> before(&veto, &Veto::note), after(&veto, &Veto::note);
    echo.registerObserver(0, kThingClass, kSetValue, *before.getClient());
    echo.registerObserver(1, kThingClass, kSetValue, *after.getClient());
    b = 1;
    expectError("ReflMsg err=");
    expectError("out of bounds");  // the result's place before the call is empty
    ClientCallHookr2<Echo, long, long, short&> again(&echo, &Echo::member, 6, b);
    ClientCallHelper(again, InParamHook0(), OutParamHook0(), *echo.getClient()->getStub_(), &echo, kThingClass,
                     kSetValue, true);
    // Before: an empty result place (reads 0), 6, 1; after: 13, 6, 7.
    EXPECT_EQ((std::vector<long>{0, 6, 1, 13, 6, 7}), veto.seen);

    veto.answer = false;
    veto.seen.clear();
    ClientCallHookr2<Echo, long, long, short&> vetoed(&echo, &Echo::member, 100, b);
    ClientCallHelper(vetoed, InParamHook0(), OutParamHook0(), *echo.getClient()->getStub_(), &echo, kThingClass,
                     kSetValue, true);
    EXPECT_EQ(0, vetoed.result());
    EXPECT_EQ(3u, veto.seen.size());
}
