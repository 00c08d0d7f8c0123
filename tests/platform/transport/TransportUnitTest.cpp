// Termination ids, shared message buffers and the actor identity: no
// sockets, so these also run in the emulated 32-bit big-endian build.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <thread>
#include <vector>

#include "LogCapture.h"
#include "Transport.h"

using Transport::AddressedMessage;
using Transport::GroupId;
using Transport::IdInfo;
using Transport::TerminationId;

TEST(TerminationId, FieldsReadBackFromOne32BitWordThatOrdersTheIds) {
    std::map<TerminationId, int> byId;
    for (unsigned long v : {0x12345603ul, 0xFFFFFFFFul, 0x00000001ul, 0xABCDEF04ul}) {
        TerminationId t(v);
        EXPECT_EQ(t, TerminationId(t.nameId(), t.slotId(), t.groupId()));
        EXPECT_EQ(v, t.value());
        byId[t] = 1;
    }
    EXPECT_EQ(4u, byId.size());
    EXPECT_NE(TerminationId(1, 2, Transport::GRPID_UNIT_A), TerminationId(1, 2, Transport::GRPID_UNIT_B));
    EXPECT_NE(TerminationId(1, 2, Transport::GRPID_UNIT_A), TerminationId(1, 3, Transport::GRPID_UNIT_A));
    EXPECT_NE(TerminationId(1, 2, Transport::GRPID_UNIT_A), TerminationId(2, 2, Transport::GRPID_UNIT_A));
    EXPECT_EQ(0xFFFFFFFFul, TerminationId(static_cast<unsigned long>(~0ull)).value()) << "cut to 32 bits";
}

TEST(AddressedMessage, CopiesShareOneZeroedBufferAndTheLastOneFreesIt) {
    AddressedMessage a = AddressedMessage::create(10, 4);
    EXPECT_EQ(std::vector<unsigned char>(10, 0), std::vector<unsigned char>(a.rawBuf(), a.rawBuf() + a.rawSize()));
    {
        AddressedMessage b(a), c;
        c = b;
        EXPECT_EQ(3u, a.shareCount());
        c.rawBuf()[3] = 0x5A;
        c.setOriginator(TerminationId(0x11ul));
        b.setDestination(TerminationId(0x22ul));
    }
    EXPECT_EQ(1u, a.shareCount());
    EXPECT_EQ(0x5A, a.rawBuf()[3]);
    EXPECT_EQ(0x11ul, a.originator().value());
    EXPECT_EQ(0x22ul, a.destination().value());
    // Assignment lets go of the old buffer; self-assignment keeps it.
    AddressedMessage other = AddressedMessage::create(5, 4), keep(other);
    other = a;
    EXPECT_EQ(1u, keep.shareCount());
    AddressedMessage& self = other;
    other = self;
    EXPECT_EQ(2u, a.shareCount());
    other = AddressedMessage();
    EXPECT_EQ(1u, a.shareCount());

    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&a] {
            for (int i = 0; i < 20000; ++i) {
                AddressedMessage x(a), y;
                y = x;
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(1u, a.shareCount()) << "concurrent copies keep the count exact";
}

TEST(IdInfo, TheIdentityComesFromTheEnvironmentWithOneCardDefaultsAndNonsenseIsRejected) {
    // Loads an identity from nothing but `vars`.
    auto load = [](std::vector<std::pair<char const*, char const*>> const& vars) -> IdInfo& {
        for (char const* n : {"TOPADAPTER_ACTOR", "TOPADAPTER_NAME_ID", "TOPADAPTER_SLOT", "TOPADAPTER_ACTIVE_SLOT",
                              "TOPADAPTER_BEP", "TOPADAPTER_BEP_SLOTS"})
            ::unsetenv(n);
        for (auto const& v : vars) ::setenv(v.first, v.second, 1);
        IdInfo::instance().reload();
        return IdInfo::instance();
    };
    IdInfo& info = load({});
    EXPECT_EQ("topAdapter", info.getActor());
    EXPECT_TRUE(info.getSlot() == 1 && info.activeSlot() == 1 && !info.isBep());
    for (int s = -1; s <= 256; ++s) EXPECT_FALSE(info.bepInSlot(s)) << s;
    // The derived name id is stable per name and differs between names.
    unsigned short id = info.nameId();
    EXPECT_EQ(id, load({{"TOPADAPTER_ACTOR", "topAdapter"}}).nameId());
    EXPECT_NE(id, load({{"TOPADAPTER_ACTOR", "mgmtModel"}}).nameId());
    // The termination of an actor is (name id, own slot, group).
    Transport::TerminationImpl t(Transport::GRPID_NODE, "");
    EXPECT_EQ(TerminationId(info.nameId(), 1, Transport::GRPID_NODE), t.termId());
    EXPECT_EQ(t.termId(), t.allocateMessage(20, 4).originator());

    load({{"TOPADAPTER_ACTOR", "sim1"}, {"TOPADAPTER_NAME_ID", "0x4A2F"}, {"TOPADAPTER_SLOT", "7"},
          {"TOPADAPTER_ACTIVE_SLOT", "2"}, {"TOPADAPTER_BEP", "1"}, {"TOPADAPTER_BEP_SLOTS", "3,12"}});
    EXPECT_TRUE(info.getActor() == "sim1" && info.nameId() == 0x4A2F && info.getSlot() == 7 && info.activeSlot() == 2);
    EXPECT_TRUE(info.isBep() && info.bepInSlot(3) && info.bepInSlot(12));
    EXPECT_TRUE(info.bepInSlot(7)) << "the own slot holds a Bep when the own unit is one";
    EXPECT_FALSE(info.bepInSlot(2));

    testsupport::expectError("is not a comma list");
    load({{"TOPADAPTER_BEP_SLOTS", "4,x,5"}});
    EXPECT_TRUE(info.bepInSlot(4));
    EXPECT_FALSE(info.bepInSlot(5));
    load({});
}
