// Object identifiers and the reference-counted values behind them.
#include <gtest/gtest.h>

#include <map>

#include "IPPRMI_oid.h"
#include "IPPRMI_stream.h"
#include "WireBytes.h"

using namespace wiretest;

namespace {

StandaloneNode const gStandaloneNode;

struct Tracked : TipprmiRCObject {
    explicit Tracked(int* live) : live_(live) { ++*live_; }
    Tracked(Tracked const& o) : TipprmiRCObject(o), live_(o.live_) { ++*live_; }
    ~Tracked() override { --*live_; }
    int* live_;
};

}  // namespace

TEST(RCPtr, LastHolderDeletesThroughTheVirtualDestructor) {
    int live = 0;
    {
        TipprmiRCPtr<Tracked> a(new Tracked(&live));
        EXPECT_EQ(1, a->getReferenceCount());
        {
            TipprmiRCPtr<Tracked> b(a);
            EXPECT_EQ(a.get(), b.get());
            EXPECT_EQ(2, a->getReferenceCount());
            EXPECT_TRUE(a->isShared());
        }
        EXPECT_EQ(1, a->getReferenceCount());
        EXPECT_EQ(1, live);
    }
    EXPECT_EQ(0, live);
}

TEST(RCPtr, AssignmentMovesOneReference) {
    int live = 0;
    TipprmiRCPtr<Tracked> a(new Tracked(&live));
    TipprmiRCPtr<Tracked> b(new Tracked(&live));
    TipprmiRCPtr<Tracked> c(a);
    EXPECT_EQ(2, live);

    c = c;  // self
    EXPECT_EQ(2, a->getReferenceCount());
    c = a;  // same pointee through another holder
    EXPECT_EQ(2, a->getReferenceCount());

    b = a;  // b's old value loses its last holder
    EXPECT_EQ(1, live);
    EXPECT_EQ(3, a->getReferenceCount());

    TipprmiRCPtr<Tracked> null;
    EXPECT_TRUE(null.isNull());
    a = null;
    EXPECT_TRUE(a.isNull());
    EXPECT_EQ(2, c->getReferenceCount());
}

TEST(RCPtr, UnshareableValuesAreCopiedByEveryNewHolder) {
    int live = 0;
    Tracked* raw = new Tracked(&live);
    raw->markUnshareable();
    TipprmiRCPtr<Tracked> a(raw);  // a holds its own copy; raw has no holder
    EXPECT_NE(raw, a.get());
    EXPECT_EQ(2, live);
    EXPECT_TRUE(a->isShareable());  // a copy starts shareable
    TipprmiRCPtr<Tracked> b(a);
    EXPECT_EQ(a.get(), b.get());
    raw->addReference();
    raw->removeReference();  // frees the original through the base
    EXPECT_EQ(1, live);
}

TEST(Oid, EmptyOrNullTextMeansNoText) {
    EXPECT_EQ(nullptr, TipprmiOID().getIdString());
    EXPECT_EQ(nullptr, TipprmiOID("").getIdString());
    EXPECT_EQ(nullptr, TipprmiOID(std::string()).getIdString());
    EXPECT_FALSE(TipprmiOID("").hasIdString());
    EXPECT_EQ(NSID_UNIT, TipprmiOID().getNamespaceId());
    TipprmiOID named(std::string("PsIntervalTimer"), NSID_NODE);
    EXPECT_STREQ("PsIntervalTimer", named.getIdString());
    EXPECT_EQ(NSID_NODE, named.getNamespaceId());
}

TEST(Oid, CopiesShareTheTextAndKeepItWhenTheOriginalChanges) {
    TipprmiOID a("TopServices");
    {
        TipprmiOID b(a);
        EXPECT_EQ(a.getIdString(), b.getIdString());  // one shared value
        b = b;
        a = b;  // both hold the same value already
        a = a;
        EXPECT_EQ(a.getIdString(), b.getIdString());
    }
    // Still held by a alone: the assignments did not disturb the count.
    EXPECT_STREQ("TopServices", a.getIdString());

    TipprmiOID b(a);
    a.setIdString("PhysicalServices");
    EXPECT_STREQ("PhysicalServices", a.getIdString());
    EXPECT_STREQ("TopServices", b.getIdString());
    a.setIdString(nullptr);
    EXPECT_EQ(nullptr, a.getIdString());
}

TEST(Oid, EqualityNeedsTextAndNamespace) {
    EXPECT_TRUE(TipprmiOID("a") == TipprmiOID(std::string("a")));
    EXPECT_FALSE(TipprmiOID("a") == TipprmiOID("a", NSID_NODE));
    EXPECT_FALSE(TipprmiOID("a") == TipprmiOID("b"));
    EXPECT_TRUE(TipprmiOID() == TipprmiOID(""));
    EXPECT_FALSE(TipprmiOID() == TipprmiOID("a"));
    EXPECT_FALSE(TipprmiOID("a").isEqual(TipprmiOID()));
    EXPECT_FALSE(TipprmiOID(nullptr, NSID_NODE) == TipprmiOID());
    EXPECT_TRUE(TipprmiOID("a") != TipprmiOID("ab"));
}

TEST(Oid, OrderIsNamespaceFirstThenText) {
    TipprmiOID const a1("a"), b1("b"), a2("a", NSID_NODE), none1, none2(nullptr, NSID_NODE);
    EXPECT_TRUE(a1 < a2);
    EXPECT_FALSE(a2 < a1);
    EXPECT_TRUE(b1 < a2);  // namespace decides before the text
    EXPECT_TRUE(a1 < b1);
    EXPECT_FALSE(b1 < a1);
    EXPECT_FALSE(a1 < a1);
    EXPECT_FALSE(none1 < a1);
    EXPECT_FALSE(a1 < none1);
    EXPECT_TRUE(none1 < none2);
    EXPECT_TRUE(TipprmiOID("z", NSID_UNDEF) < a1);

    std::map<TipprmiOID, int> byOid;
    byOid[TipprmiOID("TopServices")] = 1;
    byOid[TipprmiOID("PhysicalServices")] = 2;
    byOid[TipprmiOID("TopServices", NSID_NODE)] = 3;
    byOid[TipprmiOID(std::string("TopServices"))] = 4;
    EXPECT_EQ(3u, byOid.size());
    EXPECT_EQ(4, byOid[TipprmiOID("TopServices")]);
    EXPECT_EQ("PhysicalServices", std::string(byOid.begin()->first.getIdString()));
}

TEST(Oid, SuffixGivesNamespaceOneUnlessThereIsNoText) {
    TipprmiOID const a("a", static_cast<NamespaceId>(3));
    TipprmiOID const ab = a + "b";
    EXPECT_STREQ("ab", ab.getIdString());
    EXPECT_EQ(NSID_UNIT, ab.getNamespaceId());
    EXPECT_STREQ("a/x", (a + std::string("/x")).getIdString());
    EXPECT_STREQ("a", (a + static_cast<char const*>(nullptr)).getIdString());
    EXPECT_STREQ("a", a.getIdString());  // left operand untouched

    TipprmiOID const none(nullptr, static_cast<NamespaceId>(3));
    TipprmiOID const same = none + "b";
    EXPECT_EQ(nullptr, same.getIdString());
    EXPECT_EQ(3, static_cast<int>(same.getNamespaceId()));
    EXPECT_EQ(nullptr, (none + std::string("c")).getIdString());
}

TEST(Oid, ReadingKeepsTheNamespaceTheTargetWasBuiltWith) {
    TipprmiStream in = streamOf({0, 0, 0, 2, 'q', 0, 0, 0, 0, 2,  // "q", namespace 2
                                 0, 0, 0, 1, 0, 0, 0, 0, 2,      // "", namespace 2
                                 0, 0, 0, 9});
    TipprmiOID named;
    TipprmiOID nameless("old");
    in >> named >> nameless;
    EXPECT_STREQ("q", named.getIdString());
    EXPECT_EQ(NSID_UNIT, named.getNamespaceId());
    // Length 1: an empty text, which is no text.
    EXPECT_EQ(nullptr, nameless.getIdString());
    EXPECT_EQ(NSID_UNIT, nameless.getNamespaceId());
    EXPECT_EQ(4, in.getRemaining());
    EXPECT_FALSE(in.hasUnmarshallingFailed());

    TipprmiOID copy(named);
    TipprmiStream again = streamOf({0, 0, 0, 2, 'r', 0, 0, 0, 0, 1});
    again >> named;  // installs a new value; the copy keeps the old text
    EXPECT_STREQ("r", named.getIdString());
    EXPECT_STREQ("q", copy.getIdString());
}
