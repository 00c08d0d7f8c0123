// Typed calls through the call helper: request layout, result and
// out-values, the failed call that reads as zeros, and the local route whose
// observers see the call and may veto it.
#include <gtest/gtest.h>

#include "CallHelper.h"
#include "LogCapture.h"
#include "REFLECT_objectStub.h"
#include "StandaloneNode.h"
#include "TestThing.h"
#include "WireBytes.h"

using namespace reflecttest;
using testsupport::countRecords;
using testsupport::expectError;

namespace {

testsupport::StandaloneNode const gStandaloneNode;

// Echoes its request after the status, so the request's bytes come back as
// the response: result and out-values are whatever the caller sent.
struct Echo : ThingServer {
    Echo() : ThingServer("echo", nullptr) {}
    bool dispatch(bool, unsigned long cc, unsigned long mc, TipprmiStream& in, TipprmiStream& out) override {
        last = wiretest::dataOf(in);
        lastCall = {cc, mc};
        prepareResponseStream_(out);
        if (!last.empty()) out.marshall(last.data(), int(last.size()));
        return true;
    }
    wiretest::Bytes last;
    std::pair<unsigned long, unsigned long> lastCall;
    long member(long a, short& b) { return a + (b = 7); }
};

}  // namespace

TEST(CallHelper, MarshalsInArgumentsAndReadsResultAndOutValues) {
    RunPermissionGuard g;
    Echo echo;
    TreflectObject handle(&echo);
    short out = 0;
    long const in = 0x01020304;
    ClientCallHookr2<TipprmiObjectSkeleton, long, long const&, short&> hook(nullptr, nullptr, in, out);
    InParamHook1<long const&> ins(in);
    OutParamHook1<short&> outs(out);
    // The echo answers with the request: the long, read as result, and nothing for the short.
    expectError("out of bounds");
    expectError("ReflMsg err=");
    EXPECT_EQ(0x01020304, ClientCallHelperR(hook, ins, outs, *handle.getStub_(), nullptr, 0x55, 9, true));
    EXPECT_EQ((wiretest::Bytes{1, 2, 3, 4}), echo.last);
    EXPECT_EQ(std::make_pair(0x55ul, 9ul), echo.lastCall);
    EXPECT_EQ(0, out);
    EXPECT_EQ(1u, countRecords("Unmarshall error on cc=0x55, mc=9"));

    // A handle without object: every value reads as zero, a ResponseInfo as (0, 0).
    expectError("request to invalid stub object");
    TreflectObject nothing;
    ClientCallHookr0<TipprmiObjectSkeleton, ResponseInfo<SetClient> > info(nullptr, nullptr);
    ResponseInfo<SetClient> r = ClientCallHelperR(info, InParamHook0(), OutParamHook0(), *nothing.getStub_(),
                                                  nullptr, 0x66, 2, true);
    EXPECT_EQ(0, r.code);
    EXPECT_EQ(0ul, r.flag);
    EXPECT_EQ(1u, countRecords("Unmarshall error on cc=0x66, mc=2"));
}

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
