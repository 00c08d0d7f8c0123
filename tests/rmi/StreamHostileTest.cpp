// Counts, lengths and sizes from a peer are checked against the bytes that
// remain before anything is allocated for them. Every operator new of this
// binary is watched for the largest single request.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "IPPRMI_oid.h"
#include "IPPRMI_stream.h"
#include "LogCapture.h"
#include "WireBytes.h"

using namespace wiretest;

namespace {
std::atomic<size_t> gLargestNew{0};

void* track(size_t n) {
    size_t seen = gLargestNew.load();
    while (n > seen && !gLargestNew.compare_exchange_weak(seen, n)) {
    }
    void* p = std::malloc(n ? n : 1);
    if (!p) std::abort();
    return p;
}
}  // namespace

void* operator new(size_t n) { return track(n); }
void* operator new[](size_t n) { return track(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }

namespace {

StandaloneNode const gStandaloneNode;

template <class T>
void readOne(TipprmiStream& s) {
    T v;
    s >> v;
}
template <>
void readOne<char*>(TipprmiStream& s) {
    char* v = nullptr;
    s >> v;
    delete[] v;
}

}  // namespace

TEST(StreamHostile, HugeCountsAndLengthsAllocateNothingAndFailTheStream) {
    testsupport::expectError("out of bounds");
    testsupport::expectError("ReflMsg err=");
    Bytes const count = {0x7F, 0xFF, 0xFF, 0xFF, 0, 0, 0, 1, 0, 0, 0, 2};
    Bytes const length = {0x7F, 0xFF, 0xFF, 0xF0, 'a', 'b', 'c', 0};
    std::pair<Bytes, void (*)(TipprmiStream&)> const cases[] = {
        {count, readOne<TipprmiSequence<unsigned char>>},
        {count, readOne<TipprmiSequence<TipprmiAny>>},
        {{0xFF, 0xFF, 0xFF, 0xFF}, readOne<TipprmiSequence<TipprmiOID>>},
        // An outer count of 2 whose first inner sequence claims 0x40000000 shorts.
        {{0, 0, 0, 2, 0x40, 0, 0, 0, 0, 1, 0, 2}, readOne<TipprmiSequence<TipprmiSequence<short>>>},
        {length, readOne<std::string>},
        {length, readOne<char*>},
        {length, readOne<TipprmiAny>},
        {length, readOne<TipprmiOID>},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        TipprmiStream in = streamOf(cases[i].first);
        gLargestNew = 0;
        cases[i].second(in);
        EXPECT_LT(gLargestNew.load(), 4096u) << i;
        EXPECT_TRUE(in.hasUnmarshallingFailed()) << i;
    }
    EXPECT_EQ(1u, testsupport::countRecords(
                      "::unmarshall() count out of bounds: count(2147483647) x size(1) > getDataSize(12)-optr_(4)"));
    EXPECT_EQ(4u, testsupport::countRecords("::unmarshall() request out of bounds: getDataSize(8)-optr_(4) < "
                                            "size(2147483632), iptr_=8, limit=8"));
}

TEST(StreamHostile, ACountIsMeasuredInTheSmallestEncodingOfItsElementsAndNegativeLengthsReadAsEmpty) {
    testsupport::expectError("out of bounds");
    testsupport::expectError("ReflMsg err=");
    // Three 4-byte elements need 12 bytes: 11 fail, 12 are accepted.
    Bytes three = {0, 0, 0, 3, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0};
    TipprmiSequence<unsigned long> q;
    TipprmiStream a = streamOf(three);
    a >> q;
    EXPECT_TRUE(a.hasUnmarshallingFailed());
    three.push_back(3);
    TipprmiStream b = streamOf(three);
    b >> q;
    EXPECT_FALSE(b.hasUnmarshallingFailed());
    EXPECT_EQ(3ul, q[2]);
    // A string without its NUL is still terminated; negative lengths consume nothing more.
    TipprmiStream in = streamOf({0, 0, 0, 3, 'x', 'y', 'z', 0xFF, 0xFF, 0xFF, 0xFE, 0x80, 0, 0, 0, 0, 0, 0, 5});
    std::string text = "x", empty = "y";
    TipprmiStream nested = streamOf({1});
    unsigned long after = 0;
    in >> text >> empty >> nested >> after;
    EXPECT_EQ("xyz", text);
    EXPECT_EQ("", empty);
    EXPECT_TRUE(nested.empty());
    EXPECT_EQ(5ul, after);
    EXPECT_FALSE(in.hasUnmarshallingFailed());
}
