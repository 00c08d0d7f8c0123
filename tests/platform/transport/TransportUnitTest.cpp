// Termination ids and shared message buffers: no sockets, so these also run
// in the emulated 32-bit big-endian build. (The actor identity: OrbUnitTest.)
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "LogCapture.h"
#include "Transport.h"

using Transport::AddressedMessage;
using Transport::TerminationId;

// Ids are one 32-bit word, also on a 64-bit host; their fields and order
// are those the ORB converts (OrbUnitTest, for every card configuration).
TEST(TerminationId, IsCutTo32Bits) {
    EXPECT_EQ(0xFFFFFFFFul, TerminationId(static_cast<unsigned long>(~0ull)).value());
    TerminationId const t(0xABCDEF04ul);
    EXPECT_EQ(t, TerminationId(t.nameId(), t.slotId(), t.groupId()));
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
