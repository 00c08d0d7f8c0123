// ORB ids, the conversion to and from termination ids for every card
// configuration, and the object registry of an ORB that is not started.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <vector>

#include "IPPRMI_objectSkeleton.h"
#include "LogCapture.h"
#include "StandaloneNode.h"
#include "REFLECT_orb.h"
#include "Transport.h"

using testsupport::countRecords;
using testsupport::expectError;
using Transport::TerminationId;

namespace {

// Skeletons make streams, and streams the ORB of namespace 1: this process
// is a node of its own.
testsupport::StandaloneNode const gStandaloneNode;

// Sets the card identity for one test and restores the defaults after it.
struct Card {
    Card(int slot, int activeSlot, bool bep, char const* bepSlots = "") {
        ::setenv("TOPADAPTER_NAME_ID", "0x1234", 1);
        ::setenv("TOPADAPTER_SLOT", std::to_string(slot).c_str(), 1);
        ::setenv("TOPADAPTER_ACTIVE_SLOT", std::to_string(activeSlot).c_str(), 1);
        ::setenv("TOPADAPTER_BEP", bep ? "1" : "0", 1);
        ::setenv("TOPADAPTER_BEP_SLOTS", bepSlots, 1);
        Transport::IdInfo::instance().reload();
    }
    ~Card() {
        for (char const* v : {"TOPADAPTER_NAME_ID", "TOPADAPTER_SLOT", "TOPADAPTER_ACTIVE_SLOT", "TOPADAPTER_BEP",
                              "TOPADAPTER_BEP_SLOTS"})
            ::unsetenv(v);
        Transport::IdInfo::instance().reload();
    }
};

TerminationId term(unsigned short name, unsigned char slot, unsigned group) {
    return TerminationId(name, slot, static_cast<Transport::GroupId>(group));
}

}  // namespace

TEST(TreflectOrbId, SplitsAndJoinsTheThirtyTwoBitValue) {
    TreflectOrbId id(0xA1B2C3D4ul);
    EXPECT_EQ(0xA1B2, id.nameId());
    EXPECT_EQ(0xC3, id.slotId());
    EXPECT_EQ(0xD4, static_cast<int>(id.namespaceId()));
    EXPECT_EQ(0xA1B2C3D4ul, id.value());
    EXPECT_EQ(0x00050301ul, TreflectOrbId(5, 3, NSID_UNIT).value());
    EXPECT_TRUE(TreflectOrbId(1, 2, NSID_UNIT) < TreflectOrbId(1, 2, NSID_NODE));
    EXPECT_TRUE(TreflectOrbId(0x100ul) != TreflectOrbId(0x101ul));
}

// Per card configuration: the own termination and orb id, and conversions
// both ways (slot 0 means the active main unit; Bep units are addressed
// with slot 0 in their own namespace and keep their slot in the node's).
TEST(OrbIds, ConvertForEveryCardConfiguration) {
    struct Conversion {
        TreflectOrbId orb;
        TerminationId term;
    };
    struct Config {
        int slot, activeSlot;
        bool bep;
        char const* bepSlots;
        TerminationId own;
        TreflectOrbId ownOrb;
        std::vector<Conversion> out, in;
    } const configs[] = {
        {1, 1, false, "", term(0x1234, 1, 1), TreflectOrbId(0x1234, 1, NSID_UNIT),
         {{TreflectOrbId(7, 0, NSID_UNIT), term(7, 1, 1)}, {TreflectOrbId(7, 5, NSID_UNIT), term(7, 5, 1)}},
         {{TreflectOrbId(7, 5, NSID_UNIT), term(7, 5, 1)}, {TreflectOrbId(7, 5, NSID_UNIT), term(7, 5, 2)},
          {TreflectOrbId(7, 5, NSID_NODE), term(7, 5, 3)}}},
        {3, 1, true, "3,4", term(0x1234, 3, 2), TreflectOrbId(0x1234, 0, NSID_UNIT),
         {{TreflectOrbId(0x1234, 0, NSID_UNIT), term(0x1234, 3, 2)}},
         {{TreflectOrbId(9, 0, NSID_UNIT), term(9, 4, 1)}, {TreflectOrbId(9, 6, NSID_UNIT), term(9, 6, 1)},
          {TreflectOrbId(9, 4, NSID_NODE), term(9, 4, 3)}}},
        {4, 7, false, "", term(0x1234, 4, 2), TreflectOrbId(0x1234, 4, NSID_UNIT),
         {{TreflectOrbId(8, 0, NSID_UNIT), term(8, 7, 2)}, {TreflectOrbId(8, 1, NSID_UNIT), term(8, 1, 2)},
          {TreflectOrbId(8, 5, NSID_UNIT), term(8, 5, 2)}},
         {}},
    };
    for (Config const& c : configs) {
        SCOPED_TRACE(c.slot);
        Card card(c.slot, c.activeSlot, c.bep, c.bepSlots);
        TreflectORB orb(NSID_UNIT);
        EXPECT_EQ(c.own, orb.termId());
        EXPECT_EQ(c.ownOrb, orb.orbId());
        for (Conversion const& v : c.out) EXPECT_EQ(v.term, orb.convertId(v.orb)) << v.orb.value();
        for (Conversion const& v : c.in) EXPECT_EQ(v.orb, orb.convertId(v.term)) << v.term.value();
    }
    EXPECT_EQ(1u, countRecords("ORB created for actor topAdapter with OrbId 0x12340101, TerminationId 0x12340101"));
}

TEST(OrbIds, NodeNamespaceAndUnsupportedIdsAreLogged) {
    expectError("can not handle");
    Card card(1, 1, false);
    TreflectORB node(NSID_NODE);
    EXPECT_EQ(term(0x1234, 1, 3), node.termId());
    EXPECT_EQ(Transport::GroupId(3), node.getMyGroup(NSID_NODE));
    EXPECT_EQ(term(5, 2, 3), node.convertId(TreflectOrbId(5, 2, NSID_NODE)));

    EXPECT_EQ(term(5, 0, 3), node.convertId(TreflectOrbId(5, 0, NSID_NODE)));
    EXPECT_EQ(1u, countRecords("ORB (orbId=0x12340102) can not handle slot 0 for NSID_NODE"));

    EXPECT_EQ(term(5, 2, 0), node.convertId(TreflectOrbId(5, 2, NSID_UNDEF)));
    EXPECT_EQ(1u, countRecords("ORB (orbId=0x12340102) can not handle namespace NSID_UNDEF"));

    EXPECT_EQ(Transport::GRPID_UNDEF, node.getMyGroup(NSID_UNDEF));
    EXPECT_EQ(1u, countRecords("ORB (orbId=0x12340102) can not handle namespace id NSID_UNDEF"));

    EXPECT_EQ(NSID_UNDEF, node.convertId(term(5, 2, 4)).namespaceId());
    EXPECT_EQ(1u, countRecords("ORB (orbId=0x12340102) can not handle group id TRSPCTRL"));
    EXPECT_EQ(NSID_UNDEF, node.convertId(term(5, 2, 0)).namespaceId());
    EXPECT_EQ(1u, countRecords("ORB (orbId=0x12340102) can not handle group id GRPID_UNDEF"));
}

namespace {

class Named : public TipprmiObjectSkeleton {
public:
    Named(TreflectORB* orb, char const* name) : TipprmiObjectSkeleton(orb, TipprmiOID(name)) {}
};

}  // namespace

TEST(OrbRegistry, LocatesLocalObjectsByNameAndByGeneratedText) {
    Card card(1, 1, false);
    TreflectORB orb(NSID_UNIT);
    RunPermissionGuard guard;
    Named a(&orb, "alpha"), anonymous(&orb, ""), b(&orb, "beta");
    EXPECT_NE(a.getInternalOID(), b.getInternalOID());
    EXPECT_NE(0u, anonymous.getInternalOID());
    EXPECT_FALSE(anonymous.hasOID());

    TreflectORB::TreflectObjectLocation found = orb.locateObject(TipprmiOID("beta"));
    EXPECT_EQ(&b, found.getServer());
    EXPECT_EQ(b.getInternalOID(), found.getInternalOID());
    EXPECT_EQ(orb.orbId(), found.orbId());
    EXPECT_TRUE(found.hasOID());

    // An object without text is known by its generated text form.
    TipprmiOID generated = anonymous.getOID();
    char want[32];
    std::snprintf(want, sizeof want, "rmi_%X_%lX", 0x12340101u, anonymous.getInternalOID());
    ASSERT_NE(nullptr, generated.getIdString());
    EXPECT_STREQ(want, generated.getIdString());
    TreflectORB::TreflectObjectLocation viaText = orb.locateObject(generated);
    EXPECT_EQ(&anonymous, viaText.getServer());
    EXPECT_FALSE(viaText.hasOID());
    EXPECT_EQ(NSID_UNIT, viaText.getNamespaceId());

    // The generated form of another ORB is an anonymous remote reference.
    TreflectORB::TreflectObjectLocation remote = orb.locateObject(TipprmiOID("rmi_ABCD0201_2A"));
    EXPECT_EQ(nullptr, remote.getServer());
    EXPECT_EQ(0x2Au, remote.getInternalOID());
    EXPECT_EQ(0xABCD0201ul, remote.orbId().value());
}

TEST(OrbRegistry, ReconnectingMovesTheObjectBetweenOrbs) {
    Card card(1, 1, false);
    TreflectORB one(NSID_UNIT), two(NSID_NODE);
    RunPermissionGuard guard;
    Named a(&one, "mover");
    EXPECT_EQ(&a, one.locateLocalObject_(TipprmiOID("mover")).getServer());
    a.connect(&two, TipprmiOID("mover"));
    EXPECT_EQ(nullptr, one.locateLocalObject_(TipprmiOID("mover")).getServer());
    EXPECT_EQ(&a, two.locateLocalObject_(TipprmiOID("mover")).getServer());
    EXPECT_EQ(&two, a.getORB());
    EXPECT_EQ(two.orbId(), a.orbId());
}

TEST(OrbRegistry, SkeletonAnswersItsReservedMethodCodes) {
    expectError("Unknown method code 7");
    Card card(1, 1, false);
    TreflectORB orb(NSID_UNIT);
    RunPermissionGuard guard;
    Named a(&orb, "alpha");
    TipprmiStream in(orb.allocateRequest(100), false), out(orb.allocateResponse(orb.allocateRequest(0), 104), false);
    in << TipprmiExceptionContainer(TipprmiGeneralException(0x99));
    ASSERT_TRUE(a.dispatch(true, 0, 2100, in, out));
    TipprmiExceptionContainer status;
    out >> status;
    EXPECT_EQ(1u, status.getExceptionType());
    EXPECT_EQ(out.getDataSize(), 12);

    TipprmiStream out2(orb.allocateRequest(100), false);
    ASSERT_TRUE(a.dispatch(true, 0, 2101, in, out2));
    TipprmiExceptionContainer s1, s2;
    out2 >> s1 >> s2;
    TipprmiGeneralException code;
    s2.getExceptionData().extract(code);
    EXPECT_EQ(0x99u, code.getCode());
    EXPECT_EQ(24, out2.getDataSize());

    TipprmiStream out3(orb.allocateRequest(100), false);
    EXPECT_FALSE(a.dispatch(true, 0, 7, in, out3));
    EXPECT_TRUE(out3.empty());
}

TEST(OrbRegistry, BaseExceptionOperationsAreProgrammingErrors) {
    expectError("should never be called");
    struct Bare : TipprmiObjectBase {
        Bare() : TipprmiObjectBase(TipprmiOID(), 0) {}
        TreflectOrbId orbId() const override { return TreflectOrbId(); }
    } bare;
    bare.setExceptionContainer(TipprmiExceptionContainer(TipprmiGeneralException(1)));
    EXPECT_EQ(0u, bare.getExceptionContainer().getExceptionType());
    EXPECT_EQ(1u, countRecords("setExceptionContainer should never be called"));
    EXPECT_EQ(1u, countRecords("getExceptionContainer should never be called"));
    TreflectORB orb(NSID_UNIT);
    TipprmiStream in(orb.allocateRequest(8), false), out(orb.allocateRequest(8), false);
    EXPECT_FALSE(bare.dispatch(true, 1, 1, in, out));
    EXPECT_STREQ("rmi_0_0", bare.getOID().getIdString());
    EXPECT_EQ(NSID_UNIT, bare.getOID().getNamespaceId());
}

TEST(OrbDisplay, ListsIdsHandlerThreadsAndMemoryFigures) {
    Card card(1, 1, false);
    TreflectORB orb(NSID_UNIT);
    RunPermissionGuard guard;
    size_t handlers = TreflectORB::handlerThreads().size();
    orb.display(0);
    std::vector<std::string> lines;
    for (auto const& r : testsupport::records())
        if (r.file == "REFLECT_orb.cpp" && r.severity == 5 && r.text.find("ORB created") == std::string::npos)
            lines.push_back(r.text);
    ASSERT_EQ(5u, lines.size());
    EXPECT_EQ("ORB display: actor topAdapter, OrbId 0x12340101, TermId 0x12340101", lines[0]);
    EXPECT_EQ("  number of handler threads: " + std::to_string(handlers), lines[1]);
    EXPECT_EQ("  metaData: size=0, co=0, do=0, oi=0, rco=0, rdo=0", lines[2]);
    int actorSize = -1, unitFree = -1;
    EXPECT_EQ(1, std::sscanf(lines[3].c_str(), "  actor size: %d", &actorSize));
    EXPECT_EQ(1, std::sscanf(lines[4].c_str(), "  unit free: %d", &unitFree));
    EXPECT_GT(actorSize, 0);
    EXPECT_GT(unitFree, 0);
}
