// The ORB within one process: handler threads and the run permission (that
// it serialises handlers the ORB's workers show, in OrbRequestTest; the
// singletons' mutexes give it up while they wait, in ReflectLocksTest), ORB ids
// for every card configuration, the registry of an ORB that is not started,
// and the message validation (the header's words: OrbRequestTest, byte for
// byte; its copies: the stream's growth).
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "HandlerThreadPolicies.h"
#include "IPPRMI_objectSkeleton.h"
#include "LogCapture.h"
#include "REFLECT_orb.h"
#include "ReflectMessage.h"
#include "StandaloneNode.h"
#include "Transport.h"

using testsupport::countRecords;
using testsupport::expectError;
using Transport::TerminationId;

namespace {

// Skeletons and streams make the ORB of namespace 1: this process is a node
// of its own.
testsupport::StandaloneNode const gStandaloneNode;

using Bytes = std::vector<unsigned char>;
using M = TreflectMessage;

// Runs `body` on a fresh thread and waits for it.
template <class F>
void onThread(F body) {
    std::thread(body).join();
}

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

// A message with the given raw bytes and transport addresses.
M messageOf(Bytes const& raw, unsigned long des, unsigned long org) {
    Transport::AddressedMessage m = Transport::AddressedMessage::create(static_cast<unsigned>(raw.size()));
    if (!raw.empty()) std::memcpy(m.rawBuf(), raw.data(), raw.size());
    m.setDestination(Transport::TerminationId(des));
    m.setOriginator(Transport::TerminationId(org));
    return M(m);
}

// Header bytes: transaction id, type, kind.
Bytes header(unsigned tid, unsigned type, unsigned kind) {
    Bytes b;
    for (unsigned w : {tid, type, kind})
        for (int shift = 24; shift >= 0; shift -= 8) b.push_back(static_cast<unsigned char>(w >> shift));
    return b;
}

struct Named : TipprmiObjectSkeleton {
    Named(TreflectORB* orb, char const* name) : TipprmiObjectSkeleton(orb, TipprmiOID(name)) {}
};

}  // namespace

// The scoped guard undoes exactly what it did; nested enters need matching
// leaves, and a leave that finds the permission still held reports it and
// lets it go entirely.
TEST(HandlerThreads, GuardAndNestedEntersUndoWhatTheyDid) {
    expectError("RunPermission after leaveHandlerState");
    onThread([] {
        {
            RunPermissionGuard g;  // not a handler: enters with the permission
            EXPECT_TRUE(TreflectORB::isHandlerThread() && TreflectORB::hasRunPermission());
            RunPermissionGuard inner;  // holder: nothing
            EXPECT_EQ(1u, TreflectORB::getRunPermissionCount());
        }
        EXPECT_FALSE(TreflectORB::isHandlerThread() || TreflectORB::hasRunPermission());
        TreflectORB::enterHandlerState(false);
        {
            RunPermissionGuard g;  // handler without permission: takes it
            EXPECT_TRUE(TreflectORB::hasRunPermission());
        }
        EXPECT_TRUE(TreflectORB::isHandlerThread() && !TreflectORB::hasRunPermission());
        EXPECT_EQ(0u, countRecords("RunPermission 2 by thread"));

        TreflectORB::enterHandlerState(true);
        TreflectORB::enterHandlerState(true);
        EXPECT_EQ(2u, TreflectORB::getRunPermissionCount());
        size_t entries = TreflectORB::handlerThreads().size();
        TreflectORB::leaveHandlerState(true);
        EXPECT_TRUE(TreflectORB::isHandlerThread() && !TreflectORB::hasRunPermission());
        EXPECT_EQ(0u, TreflectORB::getRunPermissionCount());
        EXPECT_EQ(entries - 1, TreflectORB::handlerThreads().size());
        TreflectORB::leaveHandlerState(true);
        TreflectORB::leaveHandlerState(false);
        EXPECT_FALSE(TreflectORB::isHandlerThread());
    });
    // The second get of a holder is reported once, with its backtrace.
    EXPECT_EQ(1u, countRecords("RunPermission 2 by thread"));
    EXPECT_EQ(1u, countRecords("Backtracing Multiple RunPermission"));
    EXPECT_EQ(1u, countRecords("has 1 RunPermission after leaveHandlerState"));
    EXPECT_EQ(1u, countRecords("Backtracing leaveHandlerState() keeps RunPermission"));
}

TEST(HandlerThreads, NonHandlerNeitherGetsNorReleases) {
    RunPermissionGuard held;
    onThread([] {
        // Never blocks although another thread holds the permission.
        TreflectORB::getRunPermission();
        TreflectORB::getRunPermission();
        EXPECT_FALSE(TreflectORB::hasRunPermission());
        TreflectORB::releaseRunPermission();
    });
    EXPECT_TRUE(TreflectORB::hasRunPermission());
    EXPECT_EQ(1u, countRecords("getRunPermission() called by thread "));
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
        // The own slot holds a Bep as the own unit is one; the list stops at its first word that is no slot.
        {3, 1, true, "4,x,5", term(0x1234, 3, 2), TreflectOrbId(0x1234, 0, NSID_UNIT),
         {{TreflectOrbId(0x1234, 0, NSID_UNIT), term(0x1234, 3, 2)}},
         {{TreflectOrbId(9, 0, NSID_UNIT), term(9, 4, 1)}, {TreflectOrbId(9, 0, NSID_UNIT), term(9, 3, 1)},
          {TreflectOrbId(9, 5, NSID_UNIT), term(9, 5, 1)}, {TreflectOrbId(9, 4, NSID_NODE), term(9, 4, 3)}}},
        {4, 7, false, "", term(0x1234, 4, 2), TreflectOrbId(0x1234, 4, NSID_UNIT),
         {{TreflectOrbId(8, 0, NSID_UNIT), term(8, 7, 2)}, {TreflectOrbId(8, 1, NSID_UNIT), term(8, 1, 2)},
          {TreflectOrbId(8, 5, NSID_UNIT), term(8, 5, 2)}},
         {}},
    };
    expectError("is not a comma list");
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

TEST(OrbRegistry, LocatesLocalObjectsByNameAndByGeneratedTextAndFollowsAReconnection) {
    Card card(1, 1, false);
    TreflectORB orb(NSID_UNIT), node(NSID_NODE);
    RunPermissionGuard guard;
    Named a(&orb, "alpha"), anonymous(&orb, ""), b(&orb, "beta");
    EXPECT_NE(a.getInternalOID(), b.getInternalOID());

    TreflectORB::TreflectObjectLocation found = orb.locateObject(TipprmiOID("beta"));
    EXPECT_EQ(&b, found.getServer());
    EXPECT_EQ(b.getInternalOID(), found.getInternalOID());
    EXPECT_EQ(orb.orbId(), found.orbId());

    // An object without text is known by its generated text form.
    TipprmiOID generated = anonymous.getOID();
    char want[32];
    std::snprintf(want, sizeof want, "rmi_%X_%lX", 0x12340101u, anonymous.getInternalOID());
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

    a.connect(&node, TipprmiOID("alpha"));
    EXPECT_EQ(nullptr, orb.locateLocalObject_(TipprmiOID("alpha")).getServer());
    EXPECT_EQ(&a, node.locateLocalObject_(TipprmiOID("alpha")).getServer());
    EXPECT_EQ(&node, a.getORB());
    EXPECT_EQ(node.orbId(), a.orbId());

}

TEST(ReflectMessageValidation, CodesInCheckOrderLastFailureWinsAndLinesCarryEveryField) {
    expectError("ReflMsg err=");
    unsigned const des = 0x00010203, org = 0x0A0B0C0D;
    struct Row {
        unsigned des, org, type, kind;
        M::kind_t expected;
        int code;
        char const* line;  // the whole line where given; asks for output when the code is 0
    } const rows[] = {
        {des, org, M::tPayld, M::kRequ, M::kUndef, 0, nullptr},
        {des, org, M::tODN, M::kMsg, M::kMsg, 0,
         "    ReflMsg output: tODN  , kMsg  (kMsg  ), des=00010203, org=0A0B0C0D, trAcId=0000002A (17: ctx)"},
        {0, org, M::tRslve, M::kRequ, M::kUndef, 1,
         "    ReflMsg err= 1: tRslve, kRequ.(kUndef), des=00000000, org=0A0B0C0D, trAcId=0000002A (17: ctx)"},
        {des, 0, M::tPayld, M::kRequ, M::kUndef, 2, nullptr},
        {0, 0, M::tPayld, M::kRequ, M::kUndef, 3, nullptr},  // not 1: the last check wins
        {des, org, M::tUndef, M::kRequ, M::kUndef, 4, nullptr},
        {des, org, M::tPayld, M::kUndef, M::kUndef, 5, nullptr},
        {des, org, M::tPayld, M::kResp, M::kRequ, 6,
         "    ReflMsg err= 6: tPayld, kResp.(kRequ.), des=00010203, org=0A0B0C0D, trAcId=0000002A (17: ctx)"},
        {0, 0, M::tUndef, M::kUndef, M::kMsg, 6, nullptr},
    };
    char text[] = "ctx";
    for (Row const& r : rows) {
        SCOPED_TRACE(r.code);
        size_t const before = testsupport::records("ReflMsg").size();
        M m = messageOf(header(42, r.type, r.kind), r.des, r.org);
        EXPECT_EQ(r.code < 2, m.testValidation(r.expected, 17, text, r.line != nullptr, 0));
        auto const lines = testsupport::records("ReflMsg");
        if (r.code == 0 && !r.line) {
            EXPECT_EQ(before, lines.size());  // no output asked for
            continue;
        }
        ASSERT_EQ(before + 1, lines.size());
        diag::Record const& got = lines.back();
        char prefix[32];
        std::snprintf(prefix, sizeof prefix, r.code ? "    ReflMsg err=%2d: " : "    ReflMsg output: ", r.code);
        EXPECT_EQ(0u, got.text.find(prefix)) << got.text;
        if (r.line) {
            EXPECT_EQ(r.line, got.text);
        }
        EXPECT_EQ(r.code ? 3 : 5, got.severity);
    }
}
