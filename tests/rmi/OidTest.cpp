// Object identifiers: their text, namespace, equality and order.
#include <gtest/gtest.h>

#include <map>
#include <vector>

#include "IPPRMI_oid.h"
#include "IPPRMI_stream.h"
#include "WireBytes.h"

using namespace wiretest;

StandaloneNode const gStandaloneNode;

TEST(Oid, EmptyTextIsNoTextCopiesShareTheTextAndReadingKeepsTheNamespace) {
    for (TipprmiOID const& none : {TipprmiOID(), TipprmiOID(""), TipprmiOID(std::string())})
        EXPECT_EQ(nullptr, none.getIdString());
    TipprmiOID a("TopServices");
    TipprmiOID b(a);
    EXPECT_EQ(a.getIdString(), b.getIdString());  // one shared value
    b = b;
    a = b;
    a.setIdString("PhysicalServices");
    EXPECT_STREQ("PhysicalServices", a.getIdString());
    EXPECT_STREQ("TopServices", b.getIdString());
    // Reading installs a new value; the target keeps the namespace it was built with.
    TipprmiOID named("old", NSID_NODE), copy(named);
    TipprmiStream in = streamOf({0, 0, 0, 2, 'q', 0, 0, 0, 0, 2});
    in >> named;
    EXPECT_STREQ("q", named.getIdString());
    EXPECT_EQ(NSID_NODE, named.getNamespaceId());
    EXPECT_STREQ("old", copy.getIdString());
}

TEST(Oid, EqualityAndOrderTakeTheNamespaceFirstThenTheText) {
    TipprmiOID const a1("a"), b1("b"), a2("a", NSID_NODE), none1, none2(nullptr, NSID_NODE);
    // Each pair in strict order; no text is equal only to no text of the same namespace.
    std::vector<std::pair<TipprmiOID, TipprmiOID>> const ordered = {
        {a1, a2}, {b1, a2}, {a1, b1}, {a1, TipprmiOID("ab")}, {none1, none2}, {TipprmiOID("z", NSID_UNDEF), a1}};
    for (size_t i = 0; i < ordered.size(); ++i) {
        auto const& p = ordered[i];
        EXPECT_TRUE(p.first < p.second && !(p.second < p.first) && p.first != p.second) << i;
    }
    EXPECT_TRUE(a1 == TipprmiOID(std::string("a")) && none1 == TipprmiOID(""));
    EXPECT_FALSE(none1 == a1 || a1 == none1 || none1 < a1 || a1 < none1);
    std::map<TipprmiOID, int> byOid{{TipprmiOID("TopServices"), 1}, {TipprmiOID("PhysicalServices"), 2},
                                    {TipprmiOID("TopServices", NSID_NODE), 3}};
    byOid[TipprmiOID(std::string("TopServices"))] = 4;
    EXPECT_EQ(3u, byOid.size());
    EXPECT_EQ(4, byOid[TipprmiOID("TopServices")]);
}

TEST(Oid, ASuffixGivesNamespaceOneUnlessThereIsNoText) {
    TipprmiOID const a("a", static_cast<NamespaceId>(3));
    EXPECT_STREQ("ab", (a + "b").getIdString());
    EXPECT_EQ(NSID_UNIT, (a + "b").getNamespaceId());
    EXPECT_STREQ("a/x", (a + std::string("/x")).getIdString());
    EXPECT_STREQ("a", (a + static_cast<char const*>(nullptr)).getIdString());
    EXPECT_STREQ("a", a.getIdString());  // left operand untouched
    TipprmiOID const none(nullptr, static_cast<NamespaceId>(3));
    EXPECT_EQ(nullptr, (none + "b").getIdString());
    EXPECT_EQ(3, static_cast<int>((none + "b").getNamespaceId()));
    EXPECT_EQ(nullptr, (none + std::string("c")).getIdString());
}
