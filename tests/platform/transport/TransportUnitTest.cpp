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
using Transport::SimpleAllocator;
using Transport::TerminationId;

TEST(TerminationId, PacksNameSlotAndGroupIntoOneWordAndOrdersByIt) {
    TerminationId t(0x1234, 0x56, Transport::GRPID_NODE);
    EXPECT_EQ(t.value(), 0x12345603ul);
    TerminationId r(0xABCDEF04ul);
    EXPECT_EQ(r.nameId(), 0xABCD);
    EXPECT_EQ(r.slotId(), 0xEF);
    EXPECT_EQ(r.groupId(), Transport::TRSPCTRL);
    EXPECT_EQ(TerminationId(r.nameId(), r.slotId(), r.groupId()), r);

    // Extremes do not bleed into neighbouring fields; wider words are cut to 32 bits.
    EXPECT_EQ(TerminationId(0xFFFF, 0xFF, static_cast<GroupId>(0xFF)).value(), 0xFFFFFFFFul);
    EXPECT_EQ(TerminationId(0, 0, static_cast<GroupId>(1)).value(), 1ul);
    EXPECT_EQ(TerminationId(static_cast<unsigned long>(~0ull)).value(), 0xFFFFFFFFul);

    TerminationId a(0x0001, 2, Transport::GRPID_UNIT_A), b(0x0001, 2, Transport::GRPID_UNIT_B),
        c(0x0002, 0, Transport::GRPID_UNDEF);
    EXPECT_TRUE(a != b);
    std::map<TerminationId, int> m{{c, 3}, {a, 1}, {b, 2}};
    int expect = 1;
    for (auto const& e : m) EXPECT_EQ(e.second, expect++);
}

TEST(AddressedMessage, CopiesShareOneBufferAndTheLastOneFreesIt) {
    AddressedMessage a = AddressedMessage::create(10, 4);
    ASSERT_FALSE(a.isNull());
    EXPECT_EQ(a.rawSize(), 10u);
    EXPECT_EQ(a.shareCount(), 1u);
    for (unsigned i = 0; i < 10; ++i) EXPECT_EQ(a.rawBuf()[i], 0) << "fresh messages are zeroed";
    {
        AddressedMessage b(a);
        AddressedMessage c;
        c = b;
        EXPECT_EQ(a.shareCount(), 3u);
        EXPECT_TRUE(c.sharesBufferWith(a));
        c.rawBuf()[3] = 0x5A;
        c.setOriginator(TerminationId(0x11ul));
        b.setDestination(TerminationId(0x22ul));
    }
    EXPECT_EQ(a.shareCount(), 1u);
    EXPECT_EQ(a.rawBuf()[3], 0x5A);
    EXPECT_EQ(a.originator().value(), 0x11ul);
    EXPECT_EQ(a.destination().value(), 0x22ul);

    // Assignment lets go of the old buffer; self-assignment keeps it.
    AddressedMessage other = AddressedMessage::create(5, 4);
    AddressedMessage keep(other);
    other = a;
    EXPECT_EQ(keep.shareCount(), 1u);
    EXPECT_EQ(a.shareCount(), 2u);
    AddressedMessage& self = other;
    other = self;
    EXPECT_EQ(a.shareCount(), 2u);
    other = AddressedMessage();
    EXPECT_TRUE(other.isNull());
    EXPECT_EQ(a.shareCount(), 1u);

    // A null message has nothing to share, read or set.
    AddressedMessage n(other);
    EXPECT_EQ(n.shareCount(), 0u);
    EXPECT_EQ(n.rawSize(), 0u);
    n.setDestination(TerminationId(5ul));
    EXPECT_EQ(n.destination().value(), 0ul);
    EXPECT_EQ(n.originator().value(), 0ul);
}

TEST(AddressedMessage, ConcurrentCopiesKeepTheCountExact) {
    AddressedMessage shared = AddressedMessage::create(64, 4);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&shared] {
            for (int i = 0; i < 20000; ++i) {
                AddressedMessage a(shared);
                AddressedMessage b;
                b = a;
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(shared.shareCount(), 1u);
}

TEST(SimpleAllocator, AlignsReusesFreedBlocksAndBoundsItsPools) {
    for (unsigned align : {1u, 2u, 4u, 8u, 16u}) {
        void* p = SimpleAllocator::allocate(100, align);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % align, 0u);
        SimpleAllocator::deallocate(p);
    }
    AddressedMessage m = AddressedMessage::create(33, 4);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(m.rawBuf()) % 16, 0u);

    // A freed block of a class is what the next allocation of that class gets.
    void* p = SimpleAllocator::allocate(700);
    SimpleAllocator::deallocate(p);
    void* q = SimpleAllocator::allocate(600);
    EXPECT_EQ(p, q);
    SimpleAllocator::deallocate(q);

    // Far more blocks than a pool keeps: every one is writable and distinct,
    // and handing them all back does not keep them all.
    std::vector<void*> blocks;
    for (int i = 0; i < 5000; ++i) {
        void* b = SimpleAllocator::allocate(1000);
        static_cast<unsigned char*>(b)[999] = 1;
        blocks.push_back(b);
    }
    for (void* b : blocks) SimpleAllocator::deallocate(b);
    std::vector<void*> again;
    for (int i = 0; i < 5000; ++i) again.push_back(SimpleAllocator::allocate(1000));
    size_t reused = 0;
    std::sort(blocks.begin(), blocks.end());
    for (void* b : again) reused += std::binary_search(blocks.begin(), blocks.end(), b) ? 1 : 0;
    EXPECT_LT(reused, 5000u);
    for (void* b : again) SimpleAllocator::deallocate(b);

    // Beyond the largest class: plain heap, still correct.
    void* big = SimpleAllocator::allocate(1u << 20);
    static_cast<unsigned char*>(big)[(1u << 20) - 1] = 7;
    SimpleAllocator::deallocate(big);
    SimpleAllocator::deallocate(nullptr);

    testsupport::expectError("alignment 32 not supported");
    void* odd = SimpleAllocator::allocate(8, 32);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(odd) % 16, 0u);
    SimpleAllocator::deallocate(odd);
}

namespace {

// Loads an identity from nothing but `vars`; restores the test process's own afterwards.
struct Identity {
    IdInfo& load(std::vector<std::pair<char const*, char const*>> const& vars) {
        for (char const* n : {"TOPADAPTER_ACTOR", "TOPADAPTER_NAME_ID", "TOPADAPTER_SLOT", "TOPADAPTER_ACTIVE_SLOT",
                              "TOPADAPTER_BEP", "TOPADAPTER_BEP_SLOTS"})
            ::unsetenv(n);
        for (auto const& v : vars) ::setenv(v.first, v.second, 1);
        IdInfo::instance().reload();
        return IdInfo::instance();
    }
    ~Identity() { load({}); }
};

}  // namespace

TEST(IdInfo, DefaultsDescribeAOneCardNode) {
    Identity env;
    IdInfo& info = env.load({});
    EXPECT_EQ(info.getActor(), "topAdapter");
    EXPECT_EQ(info.getSlot(), 1);
    EXPECT_EQ(info.activeSlot(), 1);
    EXPECT_FALSE(info.isBep());
    for (int s = -1; s <= 256; ++s) EXPECT_FALSE(info.bepInSlot(s)) << s;
    unsigned short id = info.nameId();

    // The derived name id is stable per name and differs between names.
    EXPECT_EQ(env.load({{"TOPADAPTER_ACTOR", "topAdapter"}}).nameId(), id);
    EXPECT_EQ(env.load({{"TOPADAPTER_ACTOR", "mgmtModel"}}).getActor(), "mgmtModel");
    EXPECT_NE(info.nameId(), id);
    EXPECT_NE(info.nameId(), 0);

    // The termination of an actor is (name id, own slot, group).
    Transport::TerminationImpl t(Transport::GRPID_NODE, "");
    EXPECT_EQ(t.termId(), TerminationId(info.nameId(), 1, Transport::GRPID_NODE));
    AddressedMessage m = t.allocateMessage(20, 4);
    EXPECT_GE(m.rawSize(), 20u);
    EXPECT_EQ(m.originator(), t.termId());
}

TEST(IdInfo, ReadsTheEnvironmentAndRejectsNonsense) {
    Identity env;
    IdInfo& info = env.load({{"TOPADAPTER_ACTOR", "sim1"}, {"TOPADAPTER_NAME_ID", "0x4A2F"}, {"TOPADAPTER_SLOT", "7"},
                             {"TOPADAPTER_ACTIVE_SLOT", "2"}, {"TOPADAPTER_BEP", "1"}, {"TOPADAPTER_BEP_SLOTS", "3,12"}});
    EXPECT_EQ(info.getActor(), "sim1");
    EXPECT_EQ(info.nameId(), 0x4A2F);
    EXPECT_EQ(info.getSlot(), 7);
    EXPECT_EQ(info.activeSlot(), 2);
    EXPECT_TRUE(info.isBep());
    EXPECT_TRUE(info.bepInSlot(3));
    EXPECT_TRUE(info.bepInSlot(12));
    EXPECT_TRUE(info.bepInSlot(7)) << "the own slot holds a Bep when the own unit is one";
    EXPECT_FALSE(info.bepInSlot(2));

    testsupport::expectError("is not a number");
    testsupport::expectError("is not a comma list");
    env.load({{"TOPADAPTER_NAME_ID", "70000"}, {"TOPADAPTER_SLOT", "seven"}, {"TOPADAPTER_BEP", "2"},
              {"TOPADAPTER_BEP_SLOTS", "4,x,5"}});
    EXPECT_EQ(testsupport::countRecords("is not a number"), 3u);
    EXPECT_EQ(info.getSlot(), 1);
    EXPECT_FALSE(info.isBep());
    EXPECT_NE(info.nameId(), 0x4A2F);
    EXPECT_TRUE(info.bepInSlot(4));
    EXPECT_FALSE(info.bepInSlot(5));
}
