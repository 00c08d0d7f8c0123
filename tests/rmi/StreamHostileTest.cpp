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

// Reads `read` from `bytes` and returns the largest allocation made meanwhile.
template <class F>
size_t largestAllocationWhile(Bytes const& bytes, F read) {
    TipprmiStream in = streamOf(bytes);
    gLargestNew = 0;
    read(in);
    size_t const largest = gLargestNew.load();
    EXPECT_TRUE(in.hasUnmarshallingFailed());
    return largest;
}

constexpr size_t kSmall = 4096;

}  // namespace

TEST(StreamHostile, HugeSequenceCountsAllocateNothing) {
    testsupport::expectError("count out of bounds");
    Bytes const huge = {0x7F, 0xFF, 0xFF, 0xFF, 0, 0, 0, 1, 0, 0, 0, 2};
    EXPECT_LT(largestAllocationWhile(huge, [](TipprmiStream& s) {
                  TipprmiSequence<unsigned char> q;
                  s >> q;
                  EXPECT_EQ(0ul, q.getLength());
              }),
              kSmall);
    EXPECT_LT(largestAllocationWhile(huge, [](TipprmiStream& s) {
                  TipprmiSequence<TipprmiAny> q;
                  s >> q;
                  EXPECT_EQ(0ul, q.getLength());
              }),
              kSmall);
    EXPECT_LT(largestAllocationWhile({0xFF, 0xFF, 0xFF, 0xFF}, [](TipprmiStream& s) {
                  TipprmiSequence<TipprmiOID> q;
                  s >> q;
              }),
              kSmall);
    auto const lines = testsupport::records();
    bool found = false;
    for (auto const& r : lines)
        if (r.text == "::unmarshall() count out of bounds: count(2147483647) x size(1) > getDataSize(12)-optr_(4)") {
            found = true;
            EXPECT_EQ(3, r.severity);
        }
    EXPECT_TRUE(found);
}

TEST(StreamHostile, CountsAreMeasuredInTheElementsSmallestEncoding) {
    testsupport::expectError("out of bounds");
    testsupport::expectError("ReflMsg err=");
    // Three 4-byte elements need 12 bytes; 11 remain.
    Bytes shortBy1 = {0, 0, 0, 3, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0};
    TipprmiStream a = streamOf(shortBy1);
    TipprmiSequence<unsigned long> q;
    a >> q;
    EXPECT_TRUE(a.hasUnmarshallingFailed());
    EXPECT_EQ(0ul, q.getLength());

    // Exactly enough is accepted.
    shortBy1.push_back(3);
    TipprmiStream b = streamOf(shortBy1);
    b >> q;
    EXPECT_FALSE(b.hasUnmarshallingFailed());
    ASSERT_EQ(3ul, q.getLength());
    EXPECT_EQ(3ul, q[2]);

    // A plausible count over data that ends early: the elements that are
    // there are read, the rest are zeros.
    TipprmiStream c = streamOf({0, 0, 0, 2, 0, 0, 0, 2, 'a', 0, 0, 0, 0, 9});
    TipprmiSequence<std::string> strings;
    c >> strings;
    EXPECT_TRUE(c.hasUnmarshallingFailed());
    ASSERT_EQ(2ul, strings.getLength());
    EXPECT_EQ("a", strings[0]);
    EXPECT_EQ("", strings[1]);
}

TEST(StreamHostile, NestedHostileCountsStayBounded) {
    testsupport::expectError("out of bounds");
    testsupport::expectError("ReflMsg err=");
    // An outer count of 2 whose first inner sequence claims 0x40000000 shorts.
    Bytes const bytes = {0, 0, 0, 2, 0x40, 0, 0, 0, 0, 1, 0, 2};
    EXPECT_LT(largestAllocationWhile(bytes, [](TipprmiStream& s) {
                  TipprmiSequence<TipprmiSequence<short> > q;
                  s >> q;
                  EXPECT_EQ(2ul, q.getLength());
                  EXPECT_EQ(0ul, q[0].getLength());
                  EXPECT_EQ(0ul, q[1].getLength());
              }),
              kSmall);
}

TEST(StreamHostile, HugeStringLengthsAndNestedSizesAllocateNothing) {
    testsupport::expectError("request out of bounds");
    testsupport::expectError("ReflMsg err=");
    Bytes const bytes = {0x7F, 0xFF, 0xFF, 0xF0, 'a', 'b', 'c', 0};
    EXPECT_LT(largestAllocationWhile(bytes, [](TipprmiStream& s) {
                  std::string v = "old";
                  s >> v;
                  EXPECT_EQ("", v);
              }),
              kSmall);
    EXPECT_LT(largestAllocationWhile(bytes, [](TipprmiStream& s) {
                  char* v = nullptr;
                  s >> v;
                  ASSERT_NE(nullptr, v);
                  EXPECT_STREQ("", v);
                  delete[] v;
              }),
              kSmall);
    EXPECT_LT(largestAllocationWhile(bytes, [](TipprmiStream& s) {
                  TipprmiAny v(1);
                  s >> v;
                  EXPECT_TRUE(v.empty());
                  EXPECT_LE(v.getDataLimit(), 0);
              }),
              kSmall);
    EXPECT_LT(largestAllocationWhile(bytes, [](TipprmiStream& s) {
                  TipprmiOID v;
                  s >> v;
                  EXPECT_EQ(nullptr, v.getIdString());
              }),
              kSmall);
    EXPECT_EQ(4u, testsupport::countRecords("::unmarshall() request out of bounds: getDataSize(8)-optr_(4) < "
                                            "size(2147483632), iptr_=8, limit=8"));
}

TEST(StreamHostile, StringWithoutItsNulIsStillTerminated) {
    // Length 3 and three letters, the NUL left out.
    TipprmiStream in = streamOf({0, 0, 0, 3, 'x', 'y', 'z', 'Q'});
    char* v = nullptr;
    in >> v;
    EXPECT_STREQ("xyz", v);
    delete[] v;
    unsigned char next = 0;
    in >> next;
    EXPECT_EQ('Q', next);
}

TEST(StreamHostile, NegativeLengthsReadAsEmpty) {
    TipprmiStream in = streamOf({0xFF, 0xFF, 0xFF, 0xFE, 0x80, 0, 0, 0, 0, 0, 0, 5});
    std::string text = "x";
    TipprmiStream nested(100);
    nested << 1;
    unsigned long after = 0;
    in >> text >> nested >> after;
    EXPECT_EQ("", text);
    EXPECT_TRUE(nested.empty());
    EXPECT_EQ(5ul, after);  // nothing beyond the length words was consumed
    EXPECT_FALSE(in.hasUnmarshallingFailed());
}
