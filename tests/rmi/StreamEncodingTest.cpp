// Golden bytes of every stream encoding, spelled out from the format, then
// read back whole, concatenated, and from every truncated prefix. A value
// read back is written again: once the writer matches the golden bytes, the
// bytes written again show what the reader made of them.
#include <gtest/gtest.h>

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
    std::function<void(TipprmiStream& in, TipprmiStream& again)> read;  // reads one value, writes it to `again`
    Bytes reread;  // what `again` holds when not the golden bytes
};

// A target like `init` that shares nothing with it: reading clears a stream's shared buffer.
template <class T>
T fresh(T const& init) {
    return init;
}
TipprmiStream fresh(TipprmiStream const& init) { return TipprmiStream(init.getDataPtr(), init.getDataSize()); }

// Writes `v`; reads into a target like `init`.
template <class T, class W>
Case rt(char const* name, W v, Bytes golden, T init = T(), Bytes reread = {}) {
    return {name, [v](TipprmiStream& s) { s << v; }, std::move(golden),
            [init](TipprmiStream& in, TipprmiStream& again) {
                T r = fresh(init);
                in >> r;
                again << r;
            },
            std::move(reread)};
}

template <class T>
TipprmiSequence<T> seqOf(std::vector<T> const& v) {
    TipprmiSequence<T> q;
    for (T const& e : v) q.push_back(e);
    return q;
}
template <class T, int N>
TipprmiArray<T, N> arrayOf(std::vector<T> const& v) {
    TipprmiArray<T, N> a;
    for (size_t i = 0; i < v.size(); ++i) a[i] = v[i];
    return a;
}

std::vector<Case> cases() {
    using UL = unsigned long;
    using Ex = TipprmiExceptionContainer;
    Bytes const d = {7, 8, 9};
    TipprmiStream filled(100);
    filled << 42;
    return {
        rt<unsigned char>("unsigned char", static_cast<unsigned char>(0xAB), {0xAB}),
        rt<short>("short", static_cast<short>(-2), {0xFF, 0xFE}),
        rt<unsigned short>("unsigned short", static_cast<unsigned short>(0xBEEF), {0xBE, 0xEF}),
        rt<int>("int", -5, {0xFF, 0xFF, 0xFF, 0xFB}),
        rt<unsigned int>("unsigned int", 0x89ABCDEFu, {0x89, 0xAB, 0xCD, 0xEF}),
        rt<long>("long", -2L, {0xFF, 0xFF, 0xFF, 0xFE}),
        rt<UL>("unsigned long", 0xFFFFFFFEul, {0xFF, 0xFF, 0xFF, 0xFE}),
        rt<bool>("bool true", true, {0, 0, 0, 1}),
        rt<bool>("bool false", false, {0, 0, 0, 0}, true),
        // Consumed; the target keeps its value.
        rt<NamespaceId>("NamespaceId", NSID_NODE, {0, 0, 0, 2}, NSID_UNIT, {0, 0, 0, 1}),
        rt<Transport::TerminationId>("TerminationId", Transport::TerminationId(0x12345678ul), {0x12, 0x34, 0x56, 0x78}),
        {"char const*", [](TipprmiStream& s) { s << "abc"; }, {0, 0, 0, 4, 'a', 'b', 'c', 0},
         [](TipprmiStream& in, TipprmiStream& again) {
             char* v = nullptr;
             in >> v;
             again << v;
             delete[] v;
         },
         {}},
        rt<std::string>("empty string", std::string(), {0, 0, 0, 1, 0}, "x"),
        rt<std::string>("null char const*", static_cast<char const*>(nullptr), {0, 0, 0, 1, 0}, "x"),
        rt<std::string>("std::string", std::string("Top"), {0, 0, 0, 4, 'T', 'o', 'p', 0}),
        rt<TipprmiStream>("nested stream", TipprmiStream(d.data(), 3), {0, 0, 0, 3, 7, 8, 9}, filled),
        rt<TipprmiStream>("empty nested stream", TipprmiStream(100), {0, 0, 0, 0}, filled),
        rt<TipprmiAny>("TipprmiAny", TipprmiAny(short(5)), {0, 0, 0, 2, 0, 5}),
        rt<TipprmiSequence<UL, 0>>("sequence of unsigned long", seqOf<UL>({1, 0x0A0B0C0D}),
                                   {0, 0, 0, 2, 0, 0, 0, 1, 0x0A, 0x0B, 0x0C, 0x0D}),
        rt<TipprmiSequence<std::string>>("sequence of strings", seqOf<std::string>({"a", ""}),
                                         {0, 0, 0, 2, 0, 0, 0, 2, 'a', 0, 0, 0, 0, 1, 0}),
        rt<TipprmiSequence<TipprmiAny>>("sequence of TipprmiAny", seqOf<TipprmiAny>({TipprmiAny(), TipprmiAny(true)}),
                                        {0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 4, 0, 0, 0, 1}),
        rt<TipprmiSequence<short>>("empty sequence", TipprmiSequence<short>(), {0, 0, 0, 0}, seqOf<short>({1, 2})),
        rt<TipprmiArray<short, 4>>("array of short", arrayOf<short, 4>({1, -1, 0x0304, 0x7FFF}),
                                   {0, 1, 0xFF, 0xFF, 3, 4, 0x7F, 0xFF}),
        rt<TipprmiArray<unsigned char, 6>>("array of unsigned char", arrayOf<unsigned char, 6>({0xA0, 1, 2, 3, 4, 5}),
                                           {0xA0, 1, 2, 3, 4, 5}, arrayOf<unsigned char, 6>({9, 9, 9, 9, 9, 9})),
        rt<TipprmiOID>("named OID", TipprmiOID("TopServices"),
                       {0, 0, 0, 12, 'T', 'o', 'p', 'S', 'e', 'r', 'v', 'i', 'c', 'e', 's', 0, 0, 0, 0, 1}),
        rt<TipprmiOID>("OID without text", TipprmiOID(nullptr, NSID_NODE), {0, 0, 0, 0, 0, 0, 0, 2}, TipprmiOID("old"),
                       {0, 0, 0, 0, 0, 0, 0, 1}),
        rt<TipprmiGeneralException>("general exception", TipprmiGeneralException(0x660006), {0x00, 0x66, 0x00, 0x06}),
        rt<Ex>("exception container type 1", Ex(TipprmiGeneralException(7)), {0, 0, 0, 1, 0, 0, 0, 4, 0, 0, 0, 7}),
        rt<Ex>("empty exception container", Ex(), {0, 0, 0, 0, 0, 0, 0, 0}, Ex(TipprmiGeneralException(3))),
    };
}

}  // namespace

TEST(StreamEncoding, EachValueWritesItsGoldenBytesAloneAndWithoutPaddingInARowAndReadsThemBack) {
    std::vector<Case> const all = cases();
    TipprmiStream row(100), rowAgain(100);
    Bytes expected, expectedAgain;
    for (Case const& c : all) {
        SCOPED_TRACE(c.name);
        Bytes const& reread = c.reread.empty() ? c.golden : c.reread;
        TipprmiStream out(100), again(100);
        c.write(out);
        EXPECT_EQ(hex(c.golden), hex(dataOf(out)));
        TipprmiStream in = streamOf(c.golden);
        c.read(in, again);
        EXPECT_EQ(hex(reread), hex(dataOf(again)));
        EXPECT_FALSE(in.hasUnmarshallingFailed());
        EXPECT_EQ(0, in.getRemaining());
        c.write(row);
        expected.insert(expected.end(), c.golden.begin(), c.golden.end());
        expectedAgain.insert(expectedAgain.end(), reread.begin(), reread.end());
    }
    EXPECT_EQ(hex(expected), hex(dataOf(row)));
    TipprmiStream in = streamOf(expected);
    for (Case const& c : all) c.read(in, rowAgain);
    EXPECT_EQ(hex(expectedAgain), hex(dataOf(rowAgain)));
    EXPECT_FALSE(in.hasUnmarshallingFailed());
    EXPECT_EQ(0, in.getRemaining());
}

TEST(StreamEncoding, EveryTruncatedEncodingFailsWithZerosAndNeverReadsOn) {
    testsupport::expectError("out of bounds");
    testsupport::expectError("ReflMsg err=");
    for (Case const& c : cases()) {
        for (size_t k = 0; k < c.golden.size(); ++k) {
            SCOPED_TRACE(std::string(c.name) + " cut at " + std::to_string(k));
            TipprmiStream in = streamOf(Bytes(c.golden.begin(), c.golden.begin() + static_cast<long>(k)));
            TipprmiStream again(100);
            c.read(in, again);
            EXPECT_TRUE(in.hasUnmarshallingFailed());
            unsigned char after = 0xEE;
            in >> after;
            EXPECT_EQ(0, after);
        }
    }
}

TEST(StreamEncoding, WideIntegersTravelAsTheirLow32Bits) {
    TipprmiStream wide = streamOf({0x80, 0, 0, 0, 0x80, 0, 0, 0, 0, 0, 0, 7, 1, 0, 0, 0});
    long l = 0;
    unsigned long ul = 0;
    bool b = false, high = false;
    wide >> l >> ul >> b >> high;
    EXPECT_EQ(static_cast<long>(INT32_MIN), l);  // sign-extended
    EXPECT_EQ(0x80000000ul, ul);                 // zero-extended
    EXPECT_TRUE(b && high);                      // any non-zero value is true
    if (sizeof(long) > 4) {
        TipprmiStream o(100);
        o << static_cast<unsigned long>(0x1FFFFFFFEull) << static_cast<long>(-0x100000001ll);
        EXPECT_EQ(hex({0xFF, 0xFF, 0xFF, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF}), hex(dataOf(o)));
    }
}
