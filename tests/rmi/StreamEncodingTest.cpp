// Golden bytes of every stream encoding, spelled out from the format, then
// read back whole, concatenated, and from every truncated prefix.
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "IPPRMI_oid.h"
#include "IPPRMI_stream.h"
#include "LogCapture.h"
#include "WireBytes.h"

using namespace wiretest;

namespace {

StandaloneNode const gStandaloneNode;

struct Case {
    char const* name;
    std::function<void(TipprmiStream&)> write;
    Bytes golden;
    std::function<void(TipprmiStream&)> readAndCheck;
};

std::vector<Case> cases() {
    std::vector<Case> c;
    c.push_back({"unsigned char", [](TipprmiStream& s) { s << static_cast<unsigned char>(0xAB); }, {0xAB},
                 [](TipprmiStream& s) {
                     unsigned char v = 0;
                     s >> v;
                     EXPECT_EQ(0xAB, v);
                 }});
    c.push_back({"short", [](TipprmiStream& s) { s << static_cast<short>(-2); }, {0xFF, 0xFE},
                 [](TipprmiStream& s) {
                     short v = 0;
                     s >> v;
                     EXPECT_EQ(-2, v);
                 }});
    c.push_back({"unsigned short", [](TipprmiStream& s) { s << static_cast<unsigned short>(0xBEEF); }, {0xBE, 0xEF},
                 [](TipprmiStream& s) {
                     unsigned short v = 0;
                     s >> v;
                     EXPECT_EQ(0xBEEF, v);
                 }});
    c.push_back({"int", [](TipprmiStream& s) { s << static_cast<int>(-5); }, {0xFF, 0xFF, 0xFF, 0xFB},
                 [](TipprmiStream& s) {
                     int v = 0;
                     s >> v;
                     EXPECT_EQ(-5, v);
                 }});
    c.push_back({"unsigned int", [](TipprmiStream& s) { s << 0x89ABCDEFu; }, {0x89, 0xAB, 0xCD, 0xEF},
                 [](TipprmiStream& s) {
                     unsigned int v = 0;
                     s >> v;
                     EXPECT_EQ(0x89ABCDEFu, v);
                 }});
    c.push_back({"long", [](TipprmiStream& s) { s << -2L; }, {0xFF, 0xFF, 0xFF, 0xFE},
                 [](TipprmiStream& s) {
                     long v = 0;
                     s >> v;
                     EXPECT_EQ(-2L, v);
                 }});
    c.push_back({"unsigned long", [](TipprmiStream& s) { s << 0xFFFFFFFEul; }, {0xFF, 0xFF, 0xFF, 0xFE},
                 [](TipprmiStream& s) {
                     unsigned long v = 0;
                     s >> v;
                     EXPECT_EQ(0xFFFFFFFEul, v);
                 }});
    c.push_back({"bool true", [](TipprmiStream& s) { s << true; }, {0, 0, 0, 1},
                 [](TipprmiStream& s) {
                     bool v = false;
                     s >> v;
                     EXPECT_TRUE(v);
                 }});
    c.push_back({"bool false", [](TipprmiStream& s) { s << false; }, {0, 0, 0, 0},
                 [](TipprmiStream& s) {
                     bool v = true;
                     s >> v;
                     EXPECT_FALSE(v);
                 }});
    c.push_back({"NamespaceId", [](TipprmiStream& s) { s << NSID_NODE; }, {0, 0, 0, 2},
                 [](TipprmiStream& s) {
                     NamespaceId v = NSID_UNIT;
                     s >> v;
                     EXPECT_EQ(NSID_UNIT, v);  // consumed, target kept
                 }});
    c.push_back({"TerminationId", [](TipprmiStream& s) { s << Transport::TerminationId(0x1234, 0x56, Transport::GroupId(0x78)); },
                 {0x12, 0x34, 0x56, 0x78},
                 [](TipprmiStream& s) {
                     Transport::TerminationId v;
                     s >> v;
                     EXPECT_EQ(0x12345678ul, v.value());
                 }});
    c.push_back({"char const*", [](TipprmiStream& s) { s << "abc"; }, {0, 0, 0, 4, 'a', 'b', 'c', 0},
                 [](TipprmiStream& s) {
                     char* v = nullptr;
                     s >> v;
                     ASSERT_NE(nullptr, v);
                     EXPECT_STREQ("abc", v);
                     delete[] v;
                 }});
    c.push_back({"empty string", [](TipprmiStream& s) { s << std::string(); }, {0, 0, 0, 1, 0},
                 [](TipprmiStream& s) {
                     std::string v = "x";
                     s >> v;
                     EXPECT_EQ("", v);
                 }});
    c.push_back({"null char const*", [](TipprmiStream& s) { s << static_cast<char const*>(nullptr); }, {0, 0, 0, 1, 0},
                 [](TipprmiStream& s) {
                     std::string v = "x";
                     s >> v;
                     EXPECT_EQ("", v);
                 }});
    c.push_back({"std::string", [](TipprmiStream& s) { s << std::string("Top"); }, {0, 0, 0, 4, 'T', 'o', 'p', 0},
                 [](TipprmiStream& s) {
                     std::string v;
                     s >> v;
                     EXPECT_EQ("Top", v);
                 }});
    c.push_back({"nested stream", [](TipprmiStream& s) {
                     unsigned char const d[3] = {7, 8, 9};
                     s << TipprmiStream(d, 3);
                 },
                 {0, 0, 0, 3, 7, 8, 9},
                 [](TipprmiStream& s) {
                     TipprmiStream v(100);
                     v << 42;  // replaced by the nested data
                     s >> v;
                     EXPECT_EQ((Bytes{7, 8, 9}), dataOf(v));
                     EXPECT_EQ(3, v.getDataLimit());  // installed with an exact message
                 }});
    c.push_back({"empty nested stream", [](TipprmiStream& s) { s << TipprmiStream(100); }, {0, 0, 0, 0},
                 [](TipprmiStream& s) {
                     TipprmiStream v(100);
                     v << 42;
                     s >> v;
                     EXPECT_TRUE(v.empty());
                     EXPECT_FALSE(v.hasUnmarshallingFailed());
                 }});
    c.push_back({"TipprmiAny", [](TipprmiStream& s) { s << TipprmiAny(static_cast<short>(5)); }, {0, 0, 0, 2, 0, 5},
                 [](TipprmiStream& s) {
                     TipprmiAny v;
                     s >> v;
                     short x = 0;
                     v.extract(x);
                     EXPECT_EQ(5, x);
                 }});
    c.push_back({"sequence of unsigned long",
                 [](TipprmiStream& s) {
                     TipprmiSequence<unsigned long, 0> q;
                     q.push_back(1);
                     q.push_back(0x0A0B0C0D);
                     s << q;
                 },
                 {0, 0, 0, 2, 0, 0, 0, 1, 0x0A, 0x0B, 0x0C, 0x0D},
                 [](TipprmiStream& s) {
                     TipprmiSequence<unsigned long, 0> q;
                     s >> q;
                     ASSERT_EQ(2ul, q.getLength());
                     EXPECT_EQ(1ul, q[0]);
                     EXPECT_EQ(0x0A0B0C0Dul, q[1]);
                 }});
    c.push_back({"sequence of strings",
                 [](TipprmiStream& s) {
                     TipprmiSequence<std::string> q;
                     q.push_back("a");
                     q.push_back("");
                     s << q;
                 },
                 {0, 0, 0, 2, 0, 0, 0, 2, 'a', 0, 0, 0, 0, 1, 0},
                 [](TipprmiStream& s) {
                     TipprmiSequence<std::string> q;
                     s >> q;
                     ASSERT_EQ(2ul, q.getLength());
                     EXPECT_EQ("a", q[0]);
                     EXPECT_EQ("", q[1]);
                 }});
    c.push_back({"sequence of TipprmiAny",
                 [](TipprmiStream& s) {
                     TipprmiSequence<TipprmiAny> q;
                     q.push_back(TipprmiAny());
                     q.push_back(TipprmiAny(true));
                     s << q;
                 },
                 {0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 4, 0, 0, 0, 1},
                 [](TipprmiStream& s) {
                     TipprmiSequence<TipprmiAny> q;
                     s >> q;
                     ASSERT_EQ(2ul, q.getLength());
                     EXPECT_TRUE(q[0].empty());
                     bool b = false;
                     q[1].extract(b);
                     EXPECT_TRUE(b);
                 }});
    c.push_back({"empty sequence", [](TipprmiStream& s) { s << TipprmiSequence<short>(); }, {0, 0, 0, 0},
                 [](TipprmiStream& s) {
                     TipprmiSequence<short> q;
                     q.setLength(3);
                     s >> q;
                     EXPECT_EQ(0ul, q.getLength());
                 }});
    c.push_back({"array of short",
                 [](TipprmiStream& s) {
                     TipprmiArray<short, 4> a;
                     a[0] = 1;
                     a[1] = -1;
                     a[2] = 0x0304;
                     a[3] = 0x7FFF;
                     s << a;
                 },
                 {0, 1, 0xFF, 0xFF, 3, 4, 0x7F, 0xFF},
                 [](TipprmiStream& s) {
                     TipprmiArray<short, 4> a;
                     s >> a;
                     EXPECT_EQ(1, a[0]);
                     EXPECT_EQ(-1, a[1]);
                     EXPECT_EQ(0x0304, a[2]);
                     EXPECT_EQ(0x7FFF, a[3]);
                 }});
    c.push_back({"array of unsigned char",
                 [](TipprmiStream& s) {
                     TipprmiArray<unsigned char, 6> a;
                     for (int i = 0; i < 6; ++i) a[i] = static_cast<unsigned char>(0xA0 + i);
                     s << a;
                 },
                 {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5},
                 [](TipprmiStream& s) {
                     TipprmiArray<unsigned char, 6> a;
                     s >> a;
                     for (int i = 0; i < 6; ++i) EXPECT_EQ(0xA0 + i, a[i]);
                 }});
    c.push_back({"named OID", [](TipprmiStream& s) { s << TipprmiOID("TopServices"); },
                 {0, 0, 0, 12, 'T', 'o', 'p', 'S', 'e', 'r', 'v', 'i', 'c', 'e', 's', 0, 0, 0, 0, 1},
                 [](TipprmiStream& s) {
                     TipprmiOID v;
                     s >> v;
                     EXPECT_STREQ("TopServices", v.getIdString());
                     EXPECT_EQ(NSID_UNIT, v.getNamespaceId());
                 }});
    c.push_back({"OID without text", [](TipprmiStream& s) { s << TipprmiOID(nullptr, NSID_NODE); },
                 {0, 0, 0, 0, 0, 0, 0, 2},
                 [](TipprmiStream& s) {
                     TipprmiOID v("old");
                     s >> v;
                     EXPECT_EQ(nullptr, v.getIdString());
                     EXPECT_EQ(NSID_UNIT, v.getNamespaceId());
                 }});
    c.push_back({"general exception", [](TipprmiStream& s) { s << TipprmiGeneralException(0x660006); },
                 {0x00, 0x66, 0x00, 0x06},
                 [](TipprmiStream& s) {
                     TipprmiGeneralException e;
                     s >> e;
                     EXPECT_EQ(0x660006ul, e.getCode());
                 }});
    c.push_back({"exception container type 1",
                 [](TipprmiStream& s) { s << TipprmiExceptionContainer(TipprmiGeneralException(7)); },
                 {0, 0, 0, 1, 0, 0, 0, 4, 0, 0, 0, 7},
                 [](TipprmiStream& s) {
                     TipprmiExceptionContainer c;
                     s >> c;
                     EXPECT_EQ(1ul, c.getExceptionType());
                     TipprmiGeneralException e;
                     c.getExceptionData().extract(e);
                     EXPECT_EQ(7ul, e.getCode());
                 }});
    c.push_back({"empty exception container", [](TipprmiStream& s) { s << TipprmiExceptionContainer(); },
                 {0, 0, 0, 0, 0, 0, 0, 0},
                 [](TipprmiStream& s) {
                     TipprmiExceptionContainer c(TipprmiGeneralException(3));
                     s >> c;
                     EXPECT_EQ(0ul, c.getExceptionType());
                     EXPECT_TRUE(c.getExceptionData().empty());
                 }});
    return c;
}

}  // namespace

TEST(StreamEncoding, EachValueWritesItsGoldenBytesAndReadsThemBack) {
    for (Case const& c : cases()) {
        SCOPED_TRACE(c.name);
        TipprmiStream out(100);
        c.write(out);
        EXPECT_EQ(hex(c.golden), hex(dataOf(out)));

        TipprmiStream in = streamOf(c.golden);
        c.readAndCheck(in);
        EXPECT_FALSE(in.hasUnmarshallingFailed());
        EXPECT_EQ(0, in.getRemaining());
    }
}

TEST(StreamEncoding, ValuesFollowEachOtherWithoutPadding) {
    std::vector<Case> const all = cases();
    std::vector<Bytes> goldens;
    TipprmiStream out(100);
    for (Case const& c : all) {
        c.write(out);
        goldens.push_back(c.golden);
    }
    Bytes const expected = concat(goldens);
    EXPECT_EQ(hex(expected), hex(dataOf(out)));

    TipprmiStream in = streamOf(expected);
    for (Case const& c : all) {
        SCOPED_TRACE(c.name);
        c.readAndCheck(in);
    }
    EXPECT_FALSE(in.hasUnmarshallingFailed());
    EXPECT_EQ(0, in.getRemaining());
}

TEST(StreamEncoding, EveryTruncatedEncodingFailsWithZerosAndNeverReadsOn) {
    testsupport::expectError("out of bounds");
    testsupport::expectError("ReflMsg err=");
    for (Case const& c : cases()) {
        for (size_t k = 0; k < c.golden.size(); ++k) {
            SCOPED_TRACE(std::string(c.name) + " cut at " + std::to_string(k));
            Bytes prefix(c.golden.begin(), c.golden.begin() + static_cast<long>(k));
            TipprmiStream in = streamOf(prefix);
            // The values read are expected to be wrong here; only the flag
            // and the cursor matter.
            ::testing::TestPartResultArray ignored;
            {
                ::testing::ScopedFakeTestPartResultReporter reporter(
                    ::testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD, &ignored);
                c.readAndCheck(in);
            }
            EXPECT_TRUE(in.hasUnmarshallingFailed());
            unsigned char after = 0xEE;
            in >> after;
            EXPECT_EQ(0, after);
        }
    }
}

TEST(StreamEncoding, BytesCanBeReadBackInOtherPieces) {
    TipprmiStream out(100);
    out << 0x01020304 << static_cast<short>(0x0506) << "ab";
    Bytes const expected = {1, 2, 3, 4, 5, 6, 0, 0, 0, 3, 'a', 'b', 0};
    ASSERT_EQ(hex(expected), hex(dataOf(out)));

    TipprmiStream in = streamOf(expected);
    short hi = 0, lo = 0;
    in >> hi >> lo;
    EXPECT_EQ(0x0102, hi);
    EXPECT_EQ(0x0304, lo);
    unsigned char b5 = 0, b6 = 0;
    in >> b5 >> b6;
    EXPECT_EQ(5, b5);
    EXPECT_EQ(6, b6);
    unsigned char raw[7] = {};
    in.unmarshall(raw, 2);
    in.unmarshall(nullptr, 2);  // a null target skips
    in.unmarshall(raw + 2, 3);
    EXPECT_EQ(0, std::memcmp(raw, "\0\0ab\0", 5));
    EXPECT_EQ(0, in.getRemaining());
    EXPECT_FALSE(in.hasUnmarshallingFailed());

    // One byte at a time yields the same bytes.
    in.rewind();
    for (size_t i = 0; i < expected.size(); ++i) {
        unsigned char c = 0xEE;
        in >> c;
        EXPECT_EQ(expected[i], c) << "at " << i;
    }
}

TEST(StreamEncoding, WideIntegersTravelAsTheirLow32Bits) {
    TipprmiStream in = streamOf({0x80, 0, 0, 0, 0x80, 0, 0, 0, 0, 0, 0, 7});
    long l = 0;
    unsigned long ul = 0;
    bool b = false;
    in >> l >> ul >> b;
    EXPECT_EQ(static_cast<long>(INT32_MIN), l);  // sign-extended
    EXPECT_EQ(0x80000000ul, ul);                 // zero-extended
    EXPECT_TRUE(b);                              // any non-zero value is true

    if (sizeof(long) > 4) {
        TipprmiStream out(100);
        out << static_cast<unsigned long>(0x1FFFFFFFEull) << static_cast<long>(-0x100000001ll);
        EXPECT_EQ(hex({0xFF, 0xFF, 0xFF, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF}), hex(dataOf(out)));
    }
}
