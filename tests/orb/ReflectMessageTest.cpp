// The ORB message header, its names, the validation check and the ORB's
// message factory.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "LogCapture.h"
#include "StandaloneNode.h"
#include "REFLECT_orb.h"
#include "ReflectMessage.h"

using testsupport::expectError;

namespace {

testsupport::StandaloneNode const gStandaloneNode;

using Bytes = std::vector<unsigned char>;

// A message with the given raw bytes and transport addresses.
TreflectMessage messageOf(Bytes const& raw, unsigned long des, unsigned long org) {
    Transport::AddressedMessage m = Transport::AddressedMessage::create(static_cast<unsigned>(raw.size()));
    if (!raw.empty()) std::memcpy(m.rawBuf(), raw.data(), raw.size());
    m.setDestination(Transport::TerminationId(des));
    m.setOriginator(Transport::TerminationId(org));
    return TreflectMessage(m);
}

// Header bytes: transaction id, type, kind.
Bytes header(unsigned tid, unsigned type, unsigned kind) {
    Bytes b;
    for (unsigned w : {tid, type, kind})
        for (int shift = 24; shift >= 0; shift -= 8) b.push_back(static_cast<unsigned char>(w >> shift));
    return b;
}

std::vector<diag::Record> reflMsgLines() {
    std::vector<diag::Record> out;
    for (auto const& r : testsupport::records())
        if (r.text.find("ReflMsg") != std::string::npos) out.push_back(r);
    return out;
}

TreflectORB* orb() { return TreflectORB::getInstance(NSID_UNIT); }

}  // namespace

// Header words are big-endian; a buffer shorter than the header reads as
// zeros and takes no writes; values beyond the tables are kept and named unknown.
TEST(ReflectMessageHeader, WordsAreBigEndianAndShortBuffersReadAsZeros) {
    TreflectMessage m = messageOf(Bytes(16, 0), 1, 2);
    m.transactionId(0x01020304ul);
    m.type(TreflectMessage::tPfCnt);
    m.kind(TreflectMessage::kReFai);
    Bytes const expected = {1, 2, 3, 4, 0, 0, 0, 10, 0, 0, 0, 5, 0, 0, 0, 0};
    EXPECT_EQ(expected, Bytes(m.rawBuf(), m.rawBuf() + m.rawSize()));

    TreflectMessage in = messageOf({0xFE, 0xDC, 0xBA, 0x98, 0, 0, 0, 3, 0, 0, 0, 2, 0xAA}, 1, 2);
    EXPECT_EQ(0xFEDCBA98ul, in.transactionId());
    EXPECT_EQ(TreflectMessage::tOCN, in.type());
    EXPECT_EQ(TreflectMessage::kRequ, in.kind());
    EXPECT_EQ(in.rawBuf() + 12, in.buf());
    EXPECT_EQ(1u, in.size());

    TreflectMessage shortMsg = messageOf({0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 1, 2);
    EXPECT_EQ(0ul, shortMsg.transactionId());
    EXPECT_EQ(nullptr, shortMsg.buf());
    EXPECT_EQ(0u, shortMsg.size());
    shortMsg.kind(TreflectMessage::kMsg);
    EXPECT_EQ(0xFF, shortMsg.rawBuf()[4]);
    expectError("ReflMsg err= 5");
    EXPECT_FALSE(TreflectMessage().testValidation(TreflectMessage::kUndef, 0, "", false, 0));

    TreflectMessage odd = messageOf(header(0, 0xFFFFFFFFu, 0x80000000u), 1, 2);
    EXPECT_EQ(0xFFFFFFFFu, static_cast<unsigned>(odd.type()));
    EXPECT_EQ("t?????", TreflectMessage::typeToStr(odd.type()));
    EXPECT_EQ("k?????", TreflectMessage::kindToStr(odd.kind()));
}

TEST(ReflectMessageValidation, CodesInCheckOrderLastFailureWins) {
    expectError("ReflMsg err=");
    using M = TreflectMessage;
    struct Row {
        unsigned des, org, type, kind;
        M::kind_t expected;
        int code;
        bool usable;
    } const rows[] = {
        {0x00010203, 0x0A0B0C0D, M::tPayld, M::kRequ, M::kUndef, 0, true},
        {0x00010203, 0x0A0B0C0D, M::tPayld, M::kRequ, M::kRequ, 0, true},
        {0, 0x0A0B0C0D, M::tPayld, M::kRequ, M::kUndef, 1, true},
        {0x00010203, 0, M::tPayld, M::kRequ, M::kUndef, 2, false},
        {0, 0, M::tPayld, M::kRequ, M::kUndef, 3, false},  // not 1: the last check wins
        {0x00010203, 0x00010203, M::tPayld, M::kRequ, M::kUndef, 3, false},
        {0x00010203, 0x0A0B0C0D, M::tUndef, M::kRequ, M::kUndef, 4, false},
        {0x00010203, 0x0A0B0C0D, M::tPayld, M::kUndef, M::kUndef, 5, false},
        {0x00010203, 0x0A0B0C0D, M::tUndef, M::kUndef, M::kUndef, 5, false},
        {0x00010203, 0x0A0B0C0D, M::tPayld, M::kResp, M::kRequ, 6, false},
        {0, 0, M::tUndef, M::kUndef, M::kMsg, 6, false},
    };
    for (Row const& r : rows) {
        SCOPED_TRACE(r.code);
        size_t const before = reflMsgLines().size();
        TreflectMessage m = messageOf(header(42, r.type, r.kind), r.des, r.org);
        EXPECT_EQ(r.usable, m.testValidation(r.expected, 0, "", false, 0));
        auto const lines = reflMsgLines();
        if (r.code == 0) {
            EXPECT_EQ(before, lines.size());  // no output asked for
        } else {
            ASSERT_EQ(before + 1, lines.size());
            char prefix[32];
            std::snprintf(prefix, sizeof prefix, "    ReflMsg err=%2d: ", r.code);
            EXPECT_EQ(0u, lines.back().text.find(prefix)) << lines.back().text;
            EXPECT_EQ(3, lines.back().severity);
        }
    }
}

TEST(ReflectMessageValidation, LinesCarryEveryField) {
    expectError("ReflMsg err=");
    TreflectMessage bad = messageOf(header(0x2A, TreflectMessage::tPayld, TreflectMessage::kResp), 0x00010203,
                                    0x0A0B0C0D);
    char text[] = "ctx";
    bad.testValidation(TreflectMessage::kRequ, 17, text, true, 0);
    TreflectMessage good = messageOf(header(0xDEADBEEF, TreflectMessage::tODN, TreflectMessage::kMsg), 0x00010203,
                                     0x0A0B0C0D);
    EXPECT_TRUE(good.testValidation(TreflectMessage::kMsg, 3, "", true, 0));
    TreflectMessage noDestination = messageOf(header(1, TreflectMessage::tRslve, TreflectMessage::kRequ), 0, 5);
    EXPECT_TRUE(noDestination.testValidation(TreflectMessage::kUndef, 0, "", true, 0));

    auto const lines = reflMsgLines();
    ASSERT_EQ(3u, lines.size());
    EXPECT_EQ("    ReflMsg err= 6: tPayld, kResp.(kRequ.), des=00010203, org=0A0B0C0D, trAcId=0000002A (17: ctx)",
              lines[0].text);
    EXPECT_EQ(3, lines[0].severity);
    EXPECT_EQ("ReflectMessage.cpp", lines[0].file);
    EXPECT_EQ("    ReflMsg output: tODN  , kMsg  (kMsg  ), des=00010203, org=0A0B0C0D, trAcId=DEADBEEF ( 3: )",
              lines[1].text);
    EXPECT_EQ(5, lines[1].severity);
    EXPECT_EQ("    ReflMsg err= 1: tRslve, kRequ.(kUndef), des=00000000, org=00000005, trAcId=00000001 ( 0: )",
              lines[2].text);
}

// The ORB's factory: fresh zeroed messages, responses of a request, growth
// that keeps the header and the leading payload, and copies that share.
TEST(ReflectMessageFactory, MessagesAreMadeGrownAndShared) {
    TreflectMessage req = orb()->allocateRequest(100);
    EXPECT_EQ(112u, req.rawSize());
    EXPECT_EQ(TreflectMessage::kRequ, req.kind());
    EXPECT_EQ(orb()->termId(), req.originator());
    EXPECT_EQ(Bytes(100, 0), Bytes(req.buf(), req.buf() + 100));
    req.transactionId(0x00170001ul);
    req.type(TreflectMessage::tOCNSU);
    TreflectMessage resp = orb()->allocateResponse(req, 104);
    EXPECT_EQ(104u, resp.size());
    EXPECT_EQ(0x00170001ul, resp.transactionId());
    EXPECT_EQ(TreflectMessage::tOCNSU, resp.type());
    EXPECT_EQ(TreflectMessage::kResp, resp.kind());
    EXPECT_FALSE(resp.sharesBufferWith(req));

    for (unsigned i = 0; i < 6; ++i) req.buf()[i] = static_cast<unsigned char>(i + 1);
    TreflectMessage grown = orb()->reallocateMessage(req, 110);
    EXPECT_EQ(0, std::memcmp(grown.rawBuf(), req.rawBuf(), 112));
    EXPECT_EQ(Bytes(10, 0), Bytes(grown.buf() + 100, grown.buf() + 110));
    TreflectMessage shrunk(orb(), req, 2);
    EXPECT_EQ(0, std::memcmp(shrunk.rawBuf(), req.rawBuf(), 14));
    EXPECT_EQ(14u, shrunk.rawSize());
    TreflectMessage empty(orb(), TreflectMessage(), 3);
    EXPECT_EQ(Bytes(15, 0), Bytes(empty.rawBuf(), empty.rawBuf() + 15));

    Transport::AddressedMessage raw = Transport::AddressedMessage::create(20);
    TreflectMessage a(raw), b = a, c;
    c = raw;
    EXPECT_EQ(4u, raw.shareCount());
    Transport::AddressedMessage back = c;
    b.type(TreflectMessage::tODNUN);
    EXPECT_EQ(TreflectMessage::tODNUN, TreflectMessage(back).type());
}
