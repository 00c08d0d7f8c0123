// Client handles and their shared stubs in one process (local calls through
// them are the object model's daily bread): sharing and release, the invalid
// stub, invalidation, object references on the wire, location order, equality.
#include <gtest/gtest.h>

#include "IPPRMI_objectClient.h"
#include "IPPRMI_objectSkeleton.h"
#include "LogCapture.h"
#include "REFLECT_objectStub.h"
#include "StandaloneNode.h"
#include "WireBytes.h"

using testsupport::countRecords;
using testsupport::expectError;
using wiretest::Bytes;
using Loc = TreflectORB::TreflectObjectLocation;

namespace {

testsupport::StandaloneNode const gStandaloneNode;

TreflectObjectHandler& handler() { return *TreflectObjectHandler::getInstance(); }

// A peer ORB that never existed: requests to it cannot be delivered.
TreflectOrbId const kGoneOrb(0x0A500101ul);

// A general exception with code 0: what a call that failed answers.
Bytes const kFailure = {0, 0, 0, 1, 0, 0, 0, 4, 0, 0, 0, 0};

struct ObjectStub : ::testing::Test {
    RunPermissionGuard permission;
};

}  // namespace

// Handles of one object share one stub that the last release deletes; the
// skeleton's own handle is one of them until the skeleton connects again.
TEST_F(ObjectStub, HandlesShareOneStubThatTheLastReleaseDeletes) {
    size_t const before = handler().size();
    {
        TipprmiObjectSkeleton alpha(TipprmiOID("alpha"));
        TipprmiObjectClient a(TipprmiOID("alpha")), b(TipprmiOID("alpha")), c(a), d;
        ASSERT_EQ(a.getStub_(), b.getStub_());
        EXPECT_EQ(&alpha, a.getServer());
        int const invalidRefs = handler().invalidStub()->refCount();
        d = c;
        d = d;
        EXPECT_EQ(invalidRefs - 1, handler().invalidStub()->refCount());
        EXPECT_EQ(4, a.getStub_()->refCount());
        EXPECT_TRUE(a == d);
        EXPECT_EQ(before + 1, handler().size());

        EXPECT_EQ(a.getStub_(), alpha.getClient()->getStub_());
        unsigned long const firstId = alpha.getInternalOID();
        alpha.connect(nullptr, TipprmiOID("alpha"));
        ASSERT_NE(firstId, alpha.getInternalOID());
        EXPECT_EQ(alpha.getInternalOID(), alpha.getClient()->getStub_()->getInternalOID());
    }
    EXPECT_EQ(before, handler().size());
}

// Calls that cannot reach their object fail with a general exception:
// through the invalid stub of a handle without OID, to an ORB that is not
// there, and through the stubs of that ORB once it has vanished, which are
// not handed out again.
TEST_F(ObjectStub, CallsThatCannotReachTheirObjectFail) {
    for (char const* e : {"request to invalid stub object", "Message forwarding failed", "could not find destination"})
        expectError(e);
    TipprmiObjectClient nothing;
    ASSERT_EQ(handler().invalidStub(), nothing.getStub_());
    TipprmiStream request(100), response(100);
    nothing.prepareRequestStream_(true, 0x77, 3, request);
    EXPECT_EQ(1u, countRecords("to non connected stub object"));
    // Internal OID 0, two-way, class code, method code.
    EXPECT_EQ(Bytes({0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0x77, 0, 0, 0, 3}), wiretest::dataOf(request));
    EXPECT_FALSE(nothing.dispatch(true, 0x77, 3, request, response));
    EXPECT_EQ(kFailure, wiretest::dataOf(response));

    Loc const where(5, kGoneOrb, TipprmiOID("remote"), nullptr);
    TipprmiObjectClient first(handler().adoptStub(where));
    EXPECT_EQ(first.getStub_(), handler().find(where));
    TipprmiStream in(100), out(100);
    first.prepareRequestStream_(true, 0x77, 1, in);
    EXPECT_FALSE(first.dispatch(true, 0x77, 1, in, out));
    Bytes twice = kFailure;  // the ORB's, then the stub's
    twice.insert(twice.end(), kFailure.begin(), kFailure.end());
    EXPECT_EQ(twice, wiretest::dataOf(out));
    handler().invalidateStubs(kGoneOrb);
    EXPECT_FALSE(first.isConnected());
    TipprmiStream in2(100), out2(100);
    in2 << 1 << 2;
    first.getStub_()->prepareRequestStream_(true, 0x77, 2, in2);
    EXPECT_EQ(8, in2.getDataSize());  // the stub leaves it as it was
    EXPECT_FALSE(first.dispatch(true, 0x77, 2, in2, out2));
    EXPECT_EQ(kFailure, wiretest::dataOf(out2));
    EXPECT_EQ(1u, countRecords(") to stub object set to invalid"));
    EXPECT_EQ(1u, countRecords(") request to stub object set to invalid"));
    EXPECT_EQ(1u, first.getStub_()->getExceptionContainer().getExceptionType());
    first.getStub_()->connect(TipprmiOID("remote"));
    EXPECT_FALSE(first.getStub_()->isValid());
    TipprmiObjectClient second(handler().adoptStub(where));
    EXPECT_NE(first.getStub_(), second.getStub_());
    EXPECT_TRUE(second.isConnected());
    handler().invalidateStubs(kGoneOrb);
}

// OID, internal OID, ORB id; reading finds the stubs already handed out for
// these locations, or makes a remote one.
TEST_F(ObjectStub, ObjectReferencesTravelAsOidInternalOidAndOrbId) {
    TipprmiObjectSkeleton named(TipprmiOID("ab")), anonymous;
    anonymous.connect(nullptr, TipprmiOID());
    unsigned long const orb = TreflectORB::getInstance(NSID_UNIT)->orbId().value();
    TipprmiStream s(100);
    s << *named.getClient() << *anonymous.getClient();
    Bytes expected = {0, 0, 0, 3, 'a', 'b', 0, 0, 0, 0, 1};
    for (unsigned long w : {named.getInternalOID(), orb, 0ul, 1ul, anonymous.getInternalOID(), orb})
        for (int shift = 24; shift >= 0; shift -= 8) expected.push_back(static_cast<unsigned char>(w >> shift));
    EXPECT_EQ(expected, wiretest::dataOf(s));
    s << Loc(9, kGoneOrb, TipprmiOID("far"), nullptr);
    TipprmiObjectClient first, second, far;
    s >> first >> second >> far;
    EXPECT_FALSE(s.hasUnmarshallingFailed());
    EXPECT_EQ(named.getClient()->getStub_(), first.getStub_());
    EXPECT_EQ(&anonymous, second.getServer());
    EXPECT_TRUE(far.isConnected() && far.getServer() == nullptr && far.getOID() == TipprmiOID("far"));
    EXPECT_TRUE(far.getStub_()->orbId() == kGoneOrb && far.getStub_()->getInternalOID() == 9u);
}

TEST(ObjectLocation, OrdersByNamespaceInternalOidThenOidOrOrbAndStubsCompareTheObjectAsItStands) {
    TreflectOrbId const a(0x00010101ul), b(0x00020101ul);
    EXPECT_TRUE(Loc(1, b, TipprmiOID("z"), nullptr) < Loc(1, a, TipprmiOID("x", NSID_NODE), nullptr));
    EXPECT_TRUE(Loc(1, b, TipprmiOID("z"), nullptr) < Loc(2, a, TipprmiOID("a"), nullptr));
    // Same ORB and both named: by OID; otherwise by ORB.
    EXPECT_TRUE(Loc(3, a, TipprmiOID("m"), nullptr) < Loc(3, a, TipprmiOID("n"), nullptr));
    EXPECT_TRUE(Loc(3, a, TipprmiOID("n"), nullptr) < Loc(3, b, TipprmiOID("m"), nullptr));
    EXPECT_FALSE(Loc(3, a, TipprmiOID(), nullptr) < Loc(3, a, TipprmiOID("m"), nullptr));

    TreflectObjectStub const plain(Loc(3, a, TipprmiOID(), nullptr));
    EXPECT_TRUE(TreflectObjectStub(Loc(3, a, TipprmiOID("m"), nullptr)) ==
                TreflectObjectStub(Loc(4, b, TipprmiOID("m"), nullptr)));
    EXPECT_FALSE(plain == TreflectObjectStub(Loc(3, b, TipprmiOID(), nullptr)));
    TreflectObjectStub invalidated(plain);
    EXPECT_TRUE(plain == invalidated);
    invalidated.setInvalid();
    EXPECT_FALSE(plain == invalidated);
}
