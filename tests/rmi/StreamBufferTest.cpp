// The stream's buffer model: layout inside the ORB message, exact growth,
// shallow copies, the failed flag and its log lines.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "IPPRMI_oid.h"
#include "IPPRMI_stream.h"
#include "LogCapture.h"
#include "REFLECT_orb.h"
#include "WireBytes.h"

using namespace wiretest;
using testsupport::countRecords;
using testsupport::expectError;

namespace {

StandaloneNode const gStandaloneNode;

Bytes rawOf(TreflectMessage const& m) { return Bytes(m.rawBuf(), m.rawBuf() + m.rawSize()); }

std::vector<diag::Record> recordsWith(std::string const& fragment) {
    std::vector<diag::Record> out;
    for (auto const& r : testsupport::records())
        if (r.text.find(fragment) != std::string::npos) out.push_back(r);
    return out;
}

unsigned ownTermId() { return static_cast<unsigned>(TreflectORB::getInstance(NSID_UNIT)->termId().value()); }

}  // namespace

TEST(StreamLayout, ConstructionSizesTheDataArea) {
    TipprmiStream s(100);
    EXPECT_EQ(104u, s.msg().size());
    EXPECT_EQ(116u, s.msg().rawSize());
    EXPECT_EQ(100, s.getDataLimit());
    EXPECT_EQ(0, s.getDataSize());
    EXPECT_TRUE(s.empty());
    EXPECT_EQ(TreflectMessage::kRequ, s.msg().kind());
    EXPECT_EQ(0ul, s.msg().transactionId());
    EXPECT_EQ(s.msg().buf() + 4, s.getDataPtr());

    TipprmiStream zero(0);  // still one byte of room
    EXPECT_EQ(1, zero.getDataLimit());
    EXPECT_EQ(5u, zero.msg().size());
    TipprmiStream negative(-7);
    EXPECT_EQ(1, negative.getDataLimit());

    unsigned char const d[5] = {1, 2, 3, 4, 5};
    TipprmiStream copy(d, 5);
    EXPECT_EQ(5, copy.getDataSize());
    EXPECT_EQ(5, copy.getDataLimit());
    EXPECT_EQ((Bytes{1, 2, 3, 4, 5}), dataOf(copy));
}

TEST(StreamLayout, CursorWordAndDataFollowTheOrbHeader) {
    TipprmiStream s(8);
    s.msg().transactionId(0x01020304ul);
    s.msg().type(TreflectMessage::tPayld);
    s << static_cast<short>(0x0A0B) << static_cast<unsigned char>(0x0C);
    Bytes const expected = {1, 2, 3, 4,  0, 0, 0, 2,  0, 0, 0, 2,  // header
                            0, 0, 0, 3,                              // iptr_
                            0x0A, 0x0B, 0x0C, 0, 0, 0, 0, 0};       // data, spare
    EXPECT_EQ(hex(expected), hex(rawOf(s.msg())));
}

TEST(StreamLayout, WrappingAReceivedMessageReadsItsCursorWord) {
    Transport::AddressedMessage m = Transport::AddressedMessage::create(12 + 4 + 6);
    unsigned char const bytes[] = {0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0, 2, 0x12, 0x34, 0x56, 0x78, 0, 0};
    std::memcpy(m.rawBuf(), bytes, sizeof bytes);

    TipprmiStream in(TreflectMessage(m), false);
    EXPECT_TRUE(in.msg().sharesBufferWith(m));
    EXPECT_EQ(2, in.getDataSize());
    EXPECT_EQ(6, in.getDataLimit());
    unsigned short v = 0;
    in >> v;
    EXPECT_EQ(0x1234, v);

    TipprmiStream cleared(TreflectMessage(m), true);
    EXPECT_TRUE(cleared.empty());
    EXPECT_EQ(0, m.rawBuf()[15]);  // the cursor word of the shared buffer was reset
    EXPECT_EQ(0x12, m.rawBuf()[16]);
}

TEST(StreamLayout, SetDataInstallsAnExactFreshMessage) {
    TipprmiStream s(100);
    TipprmiStream other = s;
    s.msg().type(TreflectMessage::tRslve);
    s << 1 << 2;
    int skipped = 0;
    s >> skipped;
    s.stopUnmarshalling();
    unsigned char const d[3] = {9, 8, 7};
    s.setData(d, 3);
    EXPECT_FALSE(s.msg().sharesBufferWith(other.msg()));
    EXPECT_EQ(7u, s.msg().size());
    EXPECT_EQ(TreflectMessage::tRslve, s.msg().type());  // header carried over
    EXPECT_EQ((Bytes{9, 8, 7}), dataOf(s));
    EXPECT_FALSE(s.hasUnmarshallingFailed());
    unsigned char first = 0;
    s >> first;
    EXPECT_EQ(9, first);  // read cursor reset

    s.setData(s.getDataPtr() + 1, 2);  // from its own bytes
    EXPECT_EQ((Bytes{8, 7}), dataOf(s));
}

TEST(StreamGrowth, GrowsExactlyToTheBytesNeeded) {
    TipprmiStream s(100);
    s.msg().transactionId(77);
    s.msg().type(TreflectMessage::tOCNSU);
    for (int i = 0; i < 25; ++i) s << i;
    EXPECT_EQ(104u, s.msg().size());  // full, not grown yet
    EXPECT_EQ(100, s.getDataSize());

    s << 25;
    EXPECT_EQ(100u + 4 + 4, s.msg().size());
    EXPECT_EQ(104, s.getDataLimit());
    EXPECT_EQ(104, s.getDataSize());
    EXPECT_EQ(77ul, s.msg().transactionId());
    EXPECT_EQ(TreflectMessage::tOCNSU, s.msg().type());
    EXPECT_EQ(TreflectMessage::kRequ, s.msg().kind());
    for (int i = 0; i <= 25; ++i) {
        int v = -1;
        s >> v;
        EXPECT_EQ(i, v);
    }

    TipprmiStream tiny(0);
    tiny << 0x11223344;
    EXPECT_EQ(8u, tiny.msg().size());
    tiny << static_cast<unsigned char>(5);
    EXPECT_EQ(9u, tiny.msg().size());
    EXPECT_EQ((Bytes{0x11, 0x22, 0x33, 0x44, 5}), dataOf(tiny));
}

TEST(StreamGrowth, AStreamCanBeNestedIntoItself) {
    TipprmiStream s(4);
    s << 0x01020304;
    s << s;  // grows while its own bytes are being copied
    EXPECT_EQ(hex({1, 2, 3, 4, 0, 0, 0, 4, 1, 2, 3, 4}), hex(dataOf(s)));
}

TEST(StreamSharing, CopiesShareTheBufferUntilOneGrows) {
    TipprmiStream a(100);
    a << 1;
    TipprmiStream b = a;
    EXPECT_TRUE(a.msg().sharesBufferWith(b.msg()));
    EXPECT_EQ(2u, a.msg().shareCount());

    b << 2;  // written through the copy, seen through the original
    EXPECT_EQ(8, a.getDataSize());
    int x = 0, y = 0;
    a >> x >> y;
    EXPECT_EQ(1, x);
    EXPECT_EQ(2, y);
    EXPECT_EQ(8, b.getRemaining());  // b's read cursor did not move

    TipprmiStream c(1);
    c = a;  // assignment copies the read cursor and shares as well
    EXPECT_EQ(3u, a.msg().shareCount());
    EXPECT_EQ(0, c.getRemaining());

    // b fills the shared buffer, which a sees, then outgrows it.
    for (int i = 0; i < 30; ++i) b << i;
    EXPECT_FALSE(b.msg().sharesBufferWith(a.msg()));
    EXPECT_EQ(2u, a.msg().shareCount());
    EXPECT_EQ(100, a.getDataSize());
    EXPECT_EQ(128, b.getDataSize());
    EXPECT_EQ(132u, b.msg().size());

    {
        TipprmiStream d = a;
        EXPECT_EQ(3u, a.msg().shareCount());
    }
    EXPECT_EQ(2u, a.msg().shareCount());
}

TEST(StreamSharing, CopyCarriesTheFailedFlag) {
    expectError("out of bounds");
    expectError("ReflMsg err=");
    TipprmiStream a(100);
    int v = 0;
    a >> v;
    ASSERT_TRUE(a.hasUnmarshallingFailed());
    TipprmiStream b = a;
    EXPECT_TRUE(b.hasUnmarshallingFailed());
    TipprmiStream c(100);
    c = a;
    EXPECT_TRUE(c.hasUnmarshallingFailed());
}

TEST(StreamFailure, ShortReadLogsOnceAndZeroesEveryLaterRead) {
    expectError("::unmarshall() request out of bounds");
    expectError("ReflMsg err=");
    TipprmiStream s = streamOf({0xAA, 0xBB});
    int v = 0x5555;
    s >> v;
    EXPECT_EQ(0, v);
    EXPECT_TRUE(s.hasUnmarshallingFailed());

    // Enough bytes remain for these, yet every read yields zero now.
    unsigned char c = 0xEE;
    s >> c;
    EXPECT_EQ(0, c);
    bool b = true;
    s >> b;
    EXPECT_FALSE(b);
    std::string str = "keep";
    s >> str;
    EXPECT_EQ("", str);
    TipprmiSequence<int> seq;
    seq.setLength(4);
    s >> seq;
    EXPECT_EQ(0ul, seq.getLength());
    TipprmiOID oid("x");
    s >> oid;
    EXPECT_EQ(nullptr, oid.getIdString());
    TipprmiAny any(5);
    s >> any;
    EXPECT_TRUE(any.empty());

    auto const lines = recordsWith("out of bounds");
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ("::unmarshall() request out of bounds: getDataSize(2)-optr_(0) < size(4), iptr_=2, limit=2",
              lines[0].text);
    EXPECT_EQ(3, lines[0].severity);
    EXPECT_EQ("IPPRMI_stream.cpp", lines[0].file);

    // The header is printed with the validation line: no destination, no
    // type set yet (code 4).
    char header[160];
    std::snprintf(header, sizeof header,
                  "    ReflMsg err= 4: tUndef, kRequ.(kUndef), des=00000000, org=%08X, trAcId=00000000 ( 0: )",
                  ownTermId());
    auto const headerLines = recordsWith("ReflMsg");
    ASSERT_EQ(1u, headerLines.size());
    EXPECT_EQ(header, headerLines[0].text);
    EXPECT_EQ("ReflectMessage.cpp", headerLines[0].file);
}

TEST(StreamFailure, FlagIsClearedByClearAndSetDataButNotByRewind) {
    expectError("out of bounds");
    expectError("ReflMsg err=");
    TipprmiStream s(100);
    s << 7;
    s.stopUnmarshalling();
    int v = -1;
    s >> v;
    EXPECT_EQ(0, v);
    EXPECT_EQ(0, countRecords("out of bounds"));  // stopped on purpose: no log

    s.rewind();
    EXPECT_TRUE(s.hasUnmarshallingFailed());
    s.clear();
    EXPECT_FALSE(s.hasUnmarshallingFailed());
    EXPECT_TRUE(s.empty());
    EXPECT_EQ(100, s.getDataLimit());  // capacity kept

    s >> v;
    EXPECT_TRUE(s.hasUnmarshallingFailed());
    unsigned char const d[4] = {0, 0, 0, 9};
    s.setData(d, 4);
    EXPECT_FALSE(s.hasUnmarshallingFailed());
    s >> v;
    EXPECT_EQ(9, v);
}

TEST(StreamFailure, CursorWordBeyondTheBufferIsLoggedAndReadsAsZeros) {
    expectError("iptr_(");
    Transport::AddressedMessage m = Transport::AddressedMessage::create(12 + 4 + 8);
    m.rawBuf()[15] = 100;  // claims 100 data bytes in a buffer of 8
    std::memset(m.rawBuf() + 16, 0x7F, 8);
    TipprmiStream in(TreflectMessage(m), false);

    auto const lines = recordsWith("out of range");
    ASSERT_FALSE(lines.empty());
    char expected[80];
    std::snprintf(expected, sizeof expected, "iptr_(100) out of range(8);this=%X",
                  static_cast<unsigned>(reinterpret_cast<uintptr_t>(&in)));
    EXPECT_EQ(expected, lines[0].text);
    EXPECT_EQ(3, lines[0].severity);

    EXPECT_EQ(8, in.getDataSize());  // never more than the buffer holds
    EXPECT_TRUE(in.hasUnmarshallingFailed());
    long v = 1;
    in >> v;
    EXPECT_EQ(0, v);

    m.rawBuf()[12] = 0x80;  // a negative cursor word
    TipprmiStream negative(TreflectMessage(m), false);
    EXPECT_EQ(0, negative.getDataSize());
    EXPECT_TRUE(negative.hasUnmarshallingFailed());
    EXPECT_EQ(1, countRecords("iptr_(-2147483548) out of range(8)"));
}

TEST(StreamFailure, MessagesTooShortForTheCursorWordHaveNoData) {
    expectError("out of bounds");
    expectError("ReflMsg err=");
    for (unsigned raw : {0u, 5u, 12u, 15u}) {
        SCOPED_TRACE(raw);
        TreflectMessage m = raw ? TreflectMessage(Transport::AddressedMessage::create(raw)) : TreflectMessage();
        TipprmiStream in(m, false);
        EXPECT_EQ(0, in.getDataLimit());
        EXPECT_EQ(nullptr, in.getDataPtr());
        EXPECT_FALSE(in.hasUnmarshallingFailed());
        unsigned long v = 3;
        in >> v;
        EXPECT_EQ(0ul, v);
        EXPECT_TRUE(in.hasUnmarshallingFailed());

        // Writing moves to a message that is large enough.
        TipprmiStream out(m, true);
        out << 0x0102;
        EXPECT_EQ(hex({0, 0, 1, 2}), hex(dataOf(out)));
    }
}

TEST(StreamFailure, UnmarshallErrorLine) {
    TipprmiStream s(100);
    s.printUnmarshallError(0x641E8FCD, 1108);
    auto const lines = recordsWith("Unmarshall error");
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ("Unmarshall error on cc=0x641E8FCD, mc=1108", lines[0].text);
    EXPECT_EQ(4, lines[0].severity);
}

TEST(StreamAny, ExtractStartsAtTheBeginningEachTime) {
    TipprmiAny a(static_cast<unsigned long>(0xCAFE));
    EXPECT_EQ(hex({0, 0, 0xCA, 0xFE}), hex(dataOf(a)));
    for (int i = 0; i < 3; ++i) {
        unsigned long v = 0;
        a.extract(v);
        EXPECT_EQ(0xCAFEul, v);
    }
    EXPECT_FALSE(a.hasUnmarshallingFailed());

    a.insert(std::string("z"));  // replaces, does not append
    EXPECT_EQ(hex({0, 0, 0, 2, 'z', 0}), hex(dataOf(a)));
    std::string text;
    a.extract(text);
    EXPECT_EQ("z", text);
}

TEST(StreamAny, CopiesShareAndSelfAssignmentIsANoOp) {
    TipprmiAny a(1);
    TipprmiAny b(a);
    EXPECT_TRUE(a.msg().sharesBufferWith(b.msg()));
    unsigned const before = a.msg().shareCount();
    TipprmiAny& alias = a;
    a = alias;
    EXPECT_EQ(before, a.msg().shareCount());
    EXPECT_EQ(4, a.getDataSize());

    TipprmiAny empty;
    EXPECT_TRUE(empty.empty());
    EXPECT_EQ(100, empty.getDataLimit());
}

TEST(StreamContainers, OutOfRangeIndexesAddressElementZero) {
    TipprmiSequence<int> s;
    s[3] = 9;  // empty: a spare element, nothing grows
    EXPECT_EQ(0ul, s.getLength());
    s.push_back(1);
    s.push_back(2);
    EXPECT_EQ(1, s[2]);
    EXPECT_EQ(1, s[~0ul]);
    s[5] = 7;
    EXPECT_EQ(7, s[0]);
    EXPECT_EQ(2, s[1]);
    s.setLength(1);
    EXPECT_EQ(1ul, s.getLength());
    TipprmiSequence<int> copy(s);
    copy[0] = 3;
    EXPECT_EQ(7, s[0]);

    TipprmiArray<unsigned long, 96> a;
    EXPECT_EQ(0ul, a[95]);
    a[95] = 5;
    a[96] = 6;
    EXPECT_EQ(5ul, a[95]);
    EXPECT_EQ(6ul, a[0]);
    EXPECT_EQ(96, a.getLength());

    TipprmiArray<short, 6> b;
    TipprmiStream out(100);
    out << b;
    EXPECT_EQ(Bytes(12, 0), dataOf(out));  // elements start at zero
}

TEST(StreamContainers, ExceptionContainerCarriesAGeneralException) {
    TipprmiExceptionContainer none;
    EXPECT_EQ(0ul, none.getExceptionType());
    EXPECT_TRUE(none.getExceptionData().empty());

    TipprmiExceptionContainer failure(TipprmiGeneralException(0));
    EXPECT_EQ(1ul, failure.getExceptionType());
    TipprmiGeneralException e(0x660006);
    failure.getExceptionData().extract(e);
    EXPECT_EQ(0ul, e.getCode());

    TipprmiStream s(100);
    s << failure << 42;
    TipprmiExceptionContainer back;
    int after = 0;
    s >> back >> after;
    EXPECT_EQ(1ul, back.getExceptionType());
    EXPECT_EQ(42, after);
}
