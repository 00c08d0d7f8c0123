// The stream's buffer model: layout inside the ORB message, exact growth,
// shallow copies, the failed flag and its log lines.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "IPPRMI_oid.h"
#include "IPPRMI_stream.h"
#include "LogCapture.h"
#include "WireBytes.h"

using namespace wiretest;
using testsupport::countRecords;
using testsupport::expectError;

namespace {

StandaloneNode const gStandaloneNode;

// A message of `raw` bytes starting with `head`.
TreflectMessage messageOf(size_t raw, Bytes const& head) {
    Transport::AddressedMessage m = Transport::AddressedMessage::create(unsigned(raw));
    if (!head.empty()) std::memcpy(m.rawBuf(), head.data(), head.size());
    return TreflectMessage(m);
}

// The one record containing `fragment`.
diag::Record recordWith(std::string const& fragment) {
    std::vector<diag::Record> found = testsupport::records(fragment);
    EXPECT_EQ(1u, found.size()) << fragment;
    return found.empty() ? diag::Record() : found[0];
}

}  // namespace

TEST(StreamBuffer, TheCursorWordAndTheDataFollowTheOrbHeaderAndGrowExactly) {
    TipprmiStream s(8);
    s.msg().transactionId(0x01020304ul);
    s.msg().type(TreflectMessage::tPayld);
    s << static_cast<short>(0x0A0B) << static_cast<unsigned char>(0x0C);
    Bytes const expected = {1, 2, 3, 4,  0, 0, 0, 2,  0, 0, 0, 2,  // header
                            0, 0, 0, 3,                              // iptr_
                            0x0A, 0x0B, 0x0C, 0, 0, 0, 0, 0};       // data, spare
    EXPECT_EQ(hex(expected), hex(Bytes(s.msg().rawBuf(), s.msg().rawBuf() + s.msg().rawSize())));
    for (int capacity : {0, -7}) EXPECT_EQ(1, TipprmiStream(capacity).getDataLimit()) << "still one byte of room";

    s << 0x11223344 << 0x55667788;  // 3 + 8 bytes: grown to exactly 11, header kept
    EXPECT_EQ(11u + 4, s.msg().size());
    EXPECT_EQ(0x01020304ul, s.msg().transactionId());
    EXPECT_EQ(TreflectMessage::tPayld, s.msg().type());
    EXPECT_EQ(hex({0x0A, 0x0B, 0x0C, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88}), hex(dataOf(s)));
    TipprmiStream self(4);
    self << 0x01020304;
    self << self;  // grows while its own bytes are being copied
    EXPECT_EQ(hex({1, 2, 3, 4, 0, 0, 0, 4, 1, 2, 3, 4}), hex(dataOf(self)));

    // setData moves to an exact fresh message, keeps the header and resets the cursors and the flag.
    TipprmiStream other = s;
    s.stopUnmarshalling();
    s.setData(Bytes{9, 8, 7}.data(), 3);
    EXPECT_FALSE(s.msg().sharesBufferWith(other.msg()));
    EXPECT_EQ(7u, s.msg().size());
    EXPECT_EQ(TreflectMessage::tPayld, s.msg().type());
    EXPECT_FALSE(s.hasUnmarshallingFailed());
    unsigned char first = 0;
    s >> first;
    EXPECT_EQ(9, first);
    s.setData(s.getDataPtr() + 1, 2);  // from its own bytes
    EXPECT_EQ((Bytes{8, 7}), dataOf(s));

    // A long sequence grows in a few steps and still ends exact, whether its
    // later elements are longer or shorter than the first.
    for (bool growing : {true, false}) {
        TipprmiSequence<std::string> texts, back;
        for (int i = 0; i < 300; ++i) texts.push_back(std::string(growing ? 1 + i % 7 : 7 - i % 7, 'x'));
        TipprmiStream seq(4);
        seq << texts;
        EXPECT_EQ(seq.getDataSize(), seq.getDataLimit()) << growing;
        seq >> back;
        ASSERT_EQ(300u, back.getLength());
        EXPECT_EQ(texts[299], back[299]);
    }
}

TEST(StreamBuffer, AReceivedMessageIsSharedAndItsCursorWordTrustedOnlyWithinTheBuffer) {
    expectError("iptr_(");
    expectError("out of bounds");
    expectError("ReflMsg err=");
    TreflectMessage m = messageOf(12 + 4 + 6, {0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0, 2, 0x12, 0x34});
    TipprmiStream in(m, false);
    EXPECT_TRUE(in.msg().sharesBufferWith(m));
    EXPECT_EQ(6, in.getDataLimit());
    unsigned short v = 0;
    in >> v;
    EXPECT_EQ(0x1234, v);
    EXPECT_TRUE(TipprmiStream(m, true).empty());
    EXPECT_EQ(0, m.rawBuf()[15]);  // the cursor word of the shared buffer was reset
    EXPECT_EQ(0x12, m.rawBuf()[16]);

    m.rawBuf()[15] = 100;  // claims 100 data bytes in a buffer of 6
    TipprmiStream beyond(m, false);
    char expected[80];
    std::snprintf(expected, sizeof expected, "iptr_(100) out of range(6);this=%X",
                  static_cast<unsigned>(reinterpret_cast<uintptr_t>(&beyond)));
    EXPECT_EQ(1u, countRecords(expected));
    EXPECT_EQ(6, beyond.getDataSize());  // never more than the buffer holds
    EXPECT_TRUE(beyond.hasUnmarshallingFailed());
    m.rawBuf()[12] = 0x80;  // a negative cursor word
    TipprmiStream negative(m, false);
    EXPECT_EQ(0, negative.getDataSize());
    EXPECT_EQ(1u, countRecords("iptr_(-2147483548) out of range(6)"));

    for (unsigned raw : {0u, 5u, 12u, 15u}) {  // no room for a cursor word: no data
        SCOPED_TRACE(raw);
        TreflectMessage tooShort = raw ? messageOf(raw, {}) : TreflectMessage();
        TipprmiStream s(tooShort, false);
        EXPECT_EQ(nullptr, s.getDataPtr());
        unsigned long l = 3;
        s >> l;
        EXPECT_EQ(0ul, l);
        TipprmiStream out(tooShort, true);  // writing moves to a message that is large enough
        out << 0x0102;
        EXPECT_EQ(hex({0, 0, 1, 2}), hex(dataOf(out)));
    }
}

TEST(StreamBuffer, CopiesShareTheBufferAndTheFailedFlagUntilOneGrows) {
    TipprmiStream a(100);
    a << 1;
    TipprmiStream b = a;
    b << 2;  // written through the copy, seen through the original
    int x = 0, y = 0;
    a >> x >> y;
    EXPECT_EQ(2, y);
    EXPECT_EQ(8, b.getRemaining());  // b's read cursor did not move
    TipprmiStream c(1);
    c = a;  // assignment copies the read cursor and shares as well
    EXPECT_EQ(3u, a.msg().shareCount());
    EXPECT_EQ(0, c.getRemaining());
    for (int i = 0; i < 30; ++i) b << i;  // fills the shared buffer, then outgrows it
    EXPECT_FALSE(b.msg().sharesBufferWith(a.msg()));
    EXPECT_EQ(100, a.getDataSize());
    EXPECT_EQ(128, b.getDataSize());

    expectError("out of bounds");
    expectError("ReflMsg err=");
    TipprmiStream failed(100);
    failed >> x;
    TipprmiStream d = failed;
    b = failed;
    EXPECT_TRUE(d.hasUnmarshallingFailed() && b.hasUnmarshallingFailed());
}

TEST(StreamBuffer, AShortReadLogsOnceAndZeroesEveryLaterReadUntilClearOrSetData) {
    expectError("::unmarshall() request out of bounds");
    expectError("ReflMsg err=");
    TipprmiStream s = streamOf({0xAA, 0xBB});
    int v = 0x5555;
    s >> v;
    EXPECT_EQ(0, v);
    EXPECT_TRUE(s.hasUnmarshallingFailed());
    // Every later read yields zero, even one the bytes would suffice for.
    unsigned char c = 0xEE;
    bool b = true;
    std::string str = "keep";
    TipprmiSequence<int> seq;
    seq.setLength(4);
    TipprmiOID oid("x");
    TipprmiAny any(5);
    s >> c >> b >> str >> seq >> oid >> any;
    TipprmiStream again(100);
    again << c << b << str << seq << oid << any;  // zero, false, "", no elements, no text, nothing
    EXPECT_EQ(hex({0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0}), hex(dataOf(again)));
    auto const line = recordWith("out of bounds");
    EXPECT_EQ("::unmarshall() request out of bounds: getDataSize(2)-optr_(0) < size(4), iptr_=2, limit=2", line.text);
    EXPECT_EQ(3, line.severity);
    EXPECT_EQ("IPPRMI_stream.cpp", line.file);
    EXPECT_EQ(1u, countRecords("ReflMsg err= 4: tUndef, kRequ.(kUndef)")) << "the message header is printed with it";

    s.rewind();
    EXPECT_TRUE(s.hasUnmarshallingFailed());
    s.clear();
    EXPECT_FALSE(s.hasUnmarshallingFailed());
    EXPECT_EQ(2, s.getDataLimit());  // capacity kept
    s << 7;
    s.stopUnmarshalling();  // on purpose: zeros, but no log
    s >> v;
    EXPECT_EQ(0, v);
    EXPECT_EQ(1u, countRecords("out of bounds"));
}
