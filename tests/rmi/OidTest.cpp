// Object identifiers: their text, namespace, equality and order.
#include <gtest/gtest.h>

#include <vector>

#include "IPPRMI_oid.h"
#include "IPPRMI_stream.h"
#include "WireBytes.h"

using namespace wiretest;

StandaloneNode const gStandaloneNode;

// Reading installs a new text and keeps the namespace; order and equality
// take the namespace first, then the text; a suffix gives namespace one
// unless there is no text.
TEST(Oid, TextNamespaceOrderAndSuffix) {
    for (TipprmiOID const& none : {TipprmiOID(), TipprmiOID(""), TipprmiOID(std::string())})
        EXPECT_EQ(nullptr, none.getIdString());
    TipprmiOID named("old", NSID_NODE), copy(named);
    TipprmiStream in = streamOf({0, 0, 0, 2, 'q', 0, 0, 0, 0, 2});
    in >> named;
    EXPECT_STREQ("q", named.getIdString());
    EXPECT_EQ(NSID_NODE, named.getNamespaceId());
    EXPECT_STREQ("old", copy.getIdString());

    TipprmiOID const a1("a"), b1("b"), a2("a", NSID_NODE), none1, none2(nullptr, NSID_NODE);
    std::vector<std::pair<TipprmiOID, TipprmiOID>> const ordered = {
        {a1, a2}, {b1, a2}, {a1, b1}, {a1, TipprmiOID("ab")}, {none1, none2}, {TipprmiOID("z", NSID_UNDEF), a1}};
    for (size_t i = 0; i < ordered.size(); ++i) {
        auto const& p = ordered[i];
        EXPECT_TRUE(p.first < p.second && !(p.second < p.first) && p.first != p.second) << i;
    }
    EXPECT_TRUE(a1 == TipprmiOID(std::string("a")) && none1 == TipprmiOID(""));
    EXPECT_FALSE(none1 == a1 || a1 == none1 || none1 < a1 || a1 < none1);

    TipprmiOID const a("a", static_cast<NamespaceId>(3)), none(nullptr, static_cast<NamespaceId>(3));
    EXPECT_STREQ("ab", (a + "b").getIdString());
    EXPECT_EQ(NSID_UNIT, (a + std::string("b")).getNamespaceId());
    EXPECT_STREQ("a", (a + static_cast<char const*>(nullptr)).getIdString());
    EXPECT_EQ(nullptr, (none + "b").getIdString());
    EXPECT_EQ(3, static_cast<int>((none + "b").getNamespaceId()));
}
