// Client handles and their shared stubs, within one process: sharing and
// release, local dispatch, the invalid stub, invalidation, the skeleton's own
// handle and the object reference on the wire.
#include <gtest/gtest.h>

#include <cstdlib>

#include "HandlerThreadPolicies.h"
#include "IPPRMI_objectClient.h"
#include "IPPRMI_objectSkeleton.h"
#include "LogCapture.h"
#include "StandaloneNode.h"
#include "REFLECT_objectStub.h"
#include "WireBytes.h"

using testsupport::countRecords;
using testsupport::expectError;

namespace {

testsupport::StandaloneNode const gStandaloneNode;

using wiretest::Bytes;

void append32(Bytes& b, unsigned long v) {
    for (int shift = 24; shift >= 0; shift -= 8) b.push_back(static_cast<unsigned char>(v >> shift));
}

TreflectObjectHandler& handler() { return *TreflectObjectHandler::getInstance(); }
TreflectORB& orb() { return *TreflectORB::getInstance(NSID_UNIT); }

// A peer ORB that never existed: requests to it cannot be delivered.
TreflectOrbId const kGoneOrb(0x0A500101ul);

TipprmiExceptionContainer statusOf(TipprmiStream& s) {
    TipprmiExceptionContainer c;
    s >> c;
    return c;
}

class ObjectStub : public ::testing::Test {
protected:
    RunPermissionGuard permission;
};

}  // namespace

TEST_F(ObjectStub, HandlesOfOneObjectShareOneStubThatTheLastReleaseDeletes) {
    TipprmiObjectSkeleton alpha(TipprmiOID("alpha"));
    size_t const before = handler().size();
    {
        TipprmiObjectClient a(TipprmiOID("alpha"));
        TipprmiObjectClient b(TipprmiOID("alpha"));
        ASSERT_EQ(a.getStub_(), b.getStub_());
        EXPECT_EQ(2, a.getStub_()->refCount());
        EXPECT_EQ(before + 1, handler().size());
        EXPECT_EQ(&alpha, a.getServer());
        EXPECT_TRUE(a.isConnected());
        EXPECT_EQ(alpha.getInternalOID(), a.getStub_()->getInternalOID());
        EXPECT_EQ(orb().orbId(), a.getStub_()->orbId());

        TipprmiObjectClient c(a);
        TipprmiObjectClient d;
        EXPECT_EQ(handler().invalidStub(), d.getStub_());
        int const invalidRefs = handler().invalidStub()->refCount();
        d = c;
        d = d;
        EXPECT_EQ(invalidRefs - 1, handler().invalidStub()->refCount());
        EXPECT_EQ(4, a.getStub_()->refCount());
        EXPECT_TRUE(a == d);
    }
    EXPECT_EQ(before, handler().size());

    // A handle on the skeleton itself finds the same location.
    TipprmiObjectClient byOid(TipprmiOID("alpha"));
    TipprmiObjectClient bySkeleton(&alpha);
    EXPECT_EQ(byOid.getStub_(), bySkeleton.getStub_());
}

TEST_F(ObjectStub, LocalCallsGoStraightToTheSkeleton) {
    TipprmiObjectSkeleton beta(TipprmiOID("beta"));
    TipprmiObjectClient client(TipprmiOID("beta"));

    // A local call carries no header.
    TipprmiStream in(100), out(100);
    in << 99;
    client.prepareRequestStream_(true, 0, TipprmiObjectSkeleton::kSetExceptionContainer, in);
    EXPECT_EQ(0, in.getDataSize());
    in << TipprmiExceptionContainer(TipprmiGeneralException(17));
    ASSERT_TRUE(client.dispatch(true, 0, TipprmiObjectSkeleton::kSetExceptionContainer, in, out));
    EXPECT_EQ(1u, beta.getExceptionContainer().getExceptionType());
    EXPECT_EQ(1u, client.getStub_()->getExceptionContainer().getExceptionType());
    client.getStub_()->setExceptionContainer(TipprmiExceptionContainer());
    EXPECT_EQ(0u, beta.getExceptionContainer().getExceptionType());

    expectError("Unknown method code 7");
    expectError(") to object failed");
    TipprmiStream in2(100), out2(100);
    EXPECT_FALSE(client.dispatch(true, 0, 7, in2, out2));
    EXPECT_EQ(1u, countRecords(",cc=0x0,mc=7,orbId="));
}

TEST_F(ObjectStub, HandleWithoutOidFailsEveryCallWithAGeneralException) {
    TipprmiObjectClient nothing;
    ASSERT_EQ(handler().invalidStub(), nothing.getStub_());
    EXPECT_FALSE(nothing.isConnected());
    EXPECT_EQ(nullptr, nothing.getServer());

    TipprmiStream in(100), out(100);
    nothing.prepareRequestStream_(true, 0x77, 3, in);
    EXPECT_EQ(1u, countRecords("to non connected stub object"));
    // Internal OID 0, two-way, class code, method code.
    EXPECT_EQ(Bytes({0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0x77, 0, 0, 0, 3}), wiretest::dataOf(in));

    expectError("request to invalid stub object");
    EXPECT_FALSE(nothing.dispatch(true, 0x77, 3, in, out));
    TipprmiExceptionContainer status = statusOf(out);
    EXPECT_EQ(1u, status.getExceptionType());
    TipprmiGeneralException e(5);
    status.getExceptionData() >> e;
    EXPECT_EQ(0u, e.getCode());
}

TEST_F(ObjectStub, StubsOfAVanishedOrbRefuseCallsAndAreNotHandedOutAgain) {
    TreflectORB::TreflectObjectLocation where(5, kGoneOrb, TipprmiOID("remote"), nullptr);
    size_t const before = handler().size();
    TipprmiObjectClient first(handler().adoptStub(where));
    ASSERT_TRUE(first.isConnected());
    EXPECT_EQ(first.getStub_(), handler().find(where));

    // Connected but unreachable: the forward fails.
    expectError("Message forwarding failed");
    expectError("could not find destination");
    TipprmiStream in(100), out(100);
    first.prepareRequestStream_(true, 0x77, 1, in);
    EXPECT_FALSE(first.dispatch(true, 0x77, 1, in, out));
    EXPECT_EQ(1u, statusOf(out).getExceptionType());

    handler().invalidateStubs(kGoneOrb);
    EXPECT_FALSE(first.isConnected());
    EXPECT_EQ(nullptr, handler().find(where));
    TipprmiStream in2(100), out2(100);
    in2 << 1 << 2;
    first.getStub_()->prepareRequestStream_(true, 0x77, 2, in2);
    EXPECT_EQ(1u, countRecords("to stub object set to invalid"));
    EXPECT_EQ(8, in2.getDataSize());  // the stub leaves it as it was
    EXPECT_FALSE(first.dispatch(true, 0x77, 2, in2, out2));
    EXPECT_EQ(1u, countRecords("request to stub object set to invalid"));
    EXPECT_EQ(1u, statusOf(out2).getExceptionType());
    EXPECT_EQ(1u, first.getStub_()->getExceptionContainer().getExceptionType());
    // An invalid stub is never looked up again.
    first.getStub_()->connect(TipprmiOID("remote"));
    EXPECT_FALSE(first.getStub_()->isValid());

    TipprmiObjectClient second(handler().adoptStub(where));
    EXPECT_NE(first.getStub_(), second.getStub_());
    EXPECT_TRUE(second.isConnected());
    EXPECT_EQ(before + 2, handler().size());
    handler().invalidateStubs(kGoneOrb);
}

TEST_F(ObjectStub, SkeletonKeepsOneHandleUntilItConnectsAgain) {
    size_t const before = handler().size();
    {
        TipprmiObjectSkeleton gamma(TipprmiOID("gamma"));
        TipprmiObjectClient* handle = gamma.getClient();
        ASSERT_EQ(handle, gamma.getClient());
        EXPECT_EQ(&gamma, handle->getServer());
        unsigned long const firstId = gamma.getInternalOID();
        EXPECT_EQ(firstId, handle->getStub_()->getInternalOID());

        gamma.connect(nullptr, TipprmiOID("gamma"));
        ASSERT_NE(firstId, gamma.getInternalOID());
        EXPECT_EQ(gamma.getInternalOID(), gamma.getClient()->getStub_()->getInternalOID());
        EXPECT_EQ(before + 1, handler().size());
    }
    EXPECT_EQ(before, handler().size());
}

TEST_F(ObjectStub, ObjectReferencesTravelAsOidInternalOidAndOrbId) {
    TipprmiObjectSkeleton named(TipprmiOID("ab"));
    TipprmiObjectSkeleton anonymous;
    anonymous.connect(nullptr, TipprmiOID());
    unsigned long const orbValue = orb().orbId().value();

    TipprmiStream s(100);
    s << *named.getClient() << *anonymous.getClient();
    Bytes expected = {0, 0, 0, 3, 'a', 'b', 0, 0, 0, 0, 1};
    append32(expected, named.getInternalOID());
    append32(expected, orbValue);
    append32(expected, 0);
    append32(expected, 1);
    append32(expected, anonymous.getInternalOID());
    append32(expected, orbValue);
    EXPECT_EQ(expected, wiretest::dataOf(s));

    // Reading finds the stubs already handed out for these locations.
    TipprmiObjectClient first, second;
    s >> first >> second;
    EXPECT_FALSE(s.hasUnmarshallingFailed());
    EXPECT_EQ(named.getClient()->getStub_(), first.getStub_());
    EXPECT_EQ(&anonymous, second.getServer());

    // A reference to an object of another ORB makes a remote stub.
    TipprmiStream t(100);
    t << TreflectORB::TreflectObjectLocation(9, kGoneOrb, TipprmiOID("far"), nullptr);
    TipprmiObjectClient far;
    t >> far;
    EXPECT_TRUE(far.isConnected());
    EXPECT_EQ(nullptr, far.getServer());
    EXPECT_EQ(kGoneOrb, far.getStub_()->orbId());
    EXPECT_EQ(9u, far.getStub_()->getInternalOID());
    EXPECT_TRUE(far.getOID() == TipprmiOID("far"));
}

TEST(ObjectLocation, OrdersByNamespaceInternalOidThenOidOrOrb) {
    using Loc = TreflectORB::TreflectObjectLocation;
    TreflectOrbId const a(0x00010101ul), b(0x00020101ul);
    Loc const ns2(1, a, TipprmiOID("x", NSID_NODE), nullptr);
    Loc const low(1, b, TipprmiOID("z"), nullptr);
    Loc const high(2, a, TipprmiOID("a"), nullptr);
    EXPECT_TRUE(low < ns2);
    EXPECT_FALSE(ns2 < low);
    EXPECT_TRUE(low < high);
    // Same ORB and both named: by OID; otherwise by ORB.
    EXPECT_TRUE(Loc(3, a, TipprmiOID("m"), nullptr) < Loc(3, a, TipprmiOID("n"), nullptr));
    EXPECT_TRUE(Loc(3, a, TipprmiOID("n"), nullptr) < Loc(3, b, TipprmiOID("m"), nullptr));
    EXPECT_FALSE(Loc(3, a, TipprmiOID(), nullptr) < Loc(3, a, TipprmiOID("m"), nullptr));

    TreflectObjectStub const named1(Loc(3, a, TipprmiOID("m"), nullptr));
    TreflectObjectStub const named2(Loc(4, b, TipprmiOID("m"), nullptr));
    TreflectObjectStub const plain1(Loc(3, a, TipprmiOID(), nullptr));
    TreflectObjectStub const plain2(Loc(3, b, TipprmiOID(), nullptr));
    EXPECT_TRUE(named1 == named2);
    EXPECT_FALSE(plain1 == plain2);
    TreflectObjectStub invalidated(plain1);
    EXPECT_TRUE(plain1 == invalidated);
    invalidated.setInvalid();
    EXPECT_FALSE(plain1 == invalidated);
}
