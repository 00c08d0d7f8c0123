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

TEST(ReflectMessageHeader, FieldsAreBigEndianWords) {
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
    EXPECT_EQ(0xAA, in.buf()[0]);
}

TEST(ReflectMessageHeader, BuffersShorterThanTheHeaderReadAsZeros) {
    TreflectMessage shortMsg = messageOf({0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 1, 2);
    EXPECT_EQ(0ul, shortMsg.transactionId());
    EXPECT_EQ(TreflectMessage::tUndef, shortMsg.type());
    EXPECT_EQ(nullptr, shortMsg.buf());
    EXPECT_EQ(0u, shortMsg.size());
    shortMsg.kind(TreflectMessage::kMsg);  // ignored, nothing written
    EXPECT_EQ(0xFF, shortMsg.rawBuf()[4]);

    TreflectMessage null;
    EXPECT_TRUE(null.isNull());
    EXPECT_EQ(0u, null.size());
    EXPECT_EQ(TreflectMessage::kUndef, null.kind());
    expectError("ReflMsg err= 5");
    EXPECT_FALSE(null.testValidation(TreflectMessage::kUndef, 0, "", false, 0));
}

TEST(ReflectMessageHeader, ValuesBeyondTheTablesAreKeptAndNamedAsUnknown) {
    TreflectMessage m = messageOf(header(0, 0xFFFFFFFFu, 0x80000000u), 1, 2);
    EXPECT_EQ(0xFFFFFFFFu, static_cast<unsigned>(m.type()));
    EXPECT_EQ("t?????", TreflectMessage::typeToStr(m.type()));
    EXPECT_EQ("k?????", TreflectMessage::kindToStr(m.kind()));
}

TEST(ReflectMessageNames, EveryTypeAndKindHasItsSixCharacterName) {
    char const* const types[] = {"tUndef", "tRslve", "tPayld", "tOCN  ", "tODN  ", "tOCNSU",
                                 "tODNSU", "tOCNUN", "tODNUN", "tOrbAp", "tPfCnt"};
    for (unsigned t = 0; t <= 10; ++t)
        EXPECT_EQ(types[t], TreflectMessage::typeToStr(static_cast<TreflectMessage::type_t>(t))) << t;
    EXPECT_EQ("t?????", TreflectMessage::typeToStr(static_cast<TreflectMessage::type_t>(11)));

    char const* const kinds[] = {"kUndef", "kMsg  ", "kRequ.", "kResp.", "kNoDes", "kReFai"};
    for (unsigned k = 0; k <= 5; ++k)
        EXPECT_EQ(kinds[k], TreflectMessage::kindToStr(static_cast<TreflectMessage::kind_t>(k))) << k;
    EXPECT_EQ("k?????", TreflectMessage::kindToStr(static_cast<TreflectMessage::kind_t>(6)));
    EXPECT_EQ("k?????", TreflectMessage::kindToStr(static_cast<TreflectMessage::kind_t>(7)));
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

TEST(ReflectMessageFactory, RequestsAndResponsesFromTheOrb) {
    TreflectMessage req = orb()->allocateRequest(100);
    EXPECT_EQ(100u, req.size());
    EXPECT_EQ(112u, req.rawSize());
    EXPECT_EQ(0ul, req.transactionId());
    EXPECT_EQ(TreflectMessage::tUndef, req.type());
    EXPECT_EQ(TreflectMessage::kRequ, req.kind());
    EXPECT_EQ(orb()->termId(), req.originator());
    for (unsigned i = 0; i < req.size(); ++i) ASSERT_EQ(0, req.buf()[i]) << i;

    req.transactionId(0x00170001ul);
    req.type(TreflectMessage::tOCNSU);
    TreflectMessage resp = orb()->allocateResponse(req, 104);
    EXPECT_EQ(104u, resp.size());
    EXPECT_EQ(0x00170001ul, resp.transactionId());
    EXPECT_EQ(TreflectMessage::tOCNSU, resp.type());
    EXPECT_EQ(TreflectMessage::kResp, resp.kind());
    EXPECT_FALSE(resp.sharesBufferWith(req));

    TreflectMessage own(orb(), 0x55ul, 7);
    EXPECT_EQ(19u, own.rawSize());
    EXPECT_EQ(0x55ul, own.transactionId());
    EXPECT_EQ(TreflectMessage::kUndef, own.kind());
}

TEST(ReflectMessageFactory, ReallocationCopiesHeaderAndLeadingPayload) {
    TreflectMessage m = orb()->allocateRequest(6);
    m.transactionId(9);
    m.type(TreflectMessage::tPayld);
    for (unsigned i = 0; i < 6; ++i) m.buf()[i] = static_cast<unsigned char>(i + 1);

    TreflectMessage grown = orb()->reallocateMessage(m, 10);
    EXPECT_EQ(10u, grown.size());
    EXPECT_EQ(0, std::memcmp(grown.rawBuf(), m.rawBuf(), 12));
    EXPECT_EQ((Bytes{1, 2, 3, 4, 5, 6, 0, 0, 0, 0}), Bytes(grown.buf(), grown.buf() + 10));

    TreflectMessage shrunk(orb(), m, 2);  // only that many payload bytes
    EXPECT_EQ(2u, shrunk.size());
    EXPECT_EQ(9ul, shrunk.transactionId());
    EXPECT_EQ(TreflectMessage::tPayld, shrunk.type());
    EXPECT_EQ(TreflectMessage::kRequ, shrunk.kind());
    EXPECT_EQ((Bytes{1, 2}), Bytes(shrunk.buf(), shrunk.buf() + 2));

    TreflectMessage empty(orb(), TreflectMessage(), 3);  // from nothing: zeros
    EXPECT_EQ((Bytes(15, 0)), Bytes(empty.rawBuf(), empty.rawBuf() + 15));
}

TEST(ReflectMessageSharing, ConversionsShareTheTransportBuffer) {
    Transport::AddressedMessage raw = Transport::AddressedMessage::create(20);
    TreflectMessage a(raw);
    EXPECT_TRUE(a.sharesBufferWith(raw));
    TreflectMessage b = a;
    TreflectMessage c;
    c = raw;
    EXPECT_EQ(4u, raw.shareCount());
    Transport::AddressedMessage back = c;
    EXPECT_TRUE(back.sharesBufferWith(raw));
    b.type(TreflectMessage::tODNUN);
    EXPECT_EQ(TreflectMessage::tODNUN, TreflectMessage(back).type());
}
