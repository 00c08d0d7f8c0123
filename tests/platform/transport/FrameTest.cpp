// Wire formats of the transport, from the frame tables in Frame.h.
#include <gtest/gtest.h>

#include <vector>

#include "Frame.h"
#include "TestWire.h"
#include "Transport.h"

using namespace Transport::wire;
using transporttest::rawFrame;

namespace {

Verdict feed(DataFrameReader& r, std::vector<uint8_t> const& f, DataHeader& h, bool truncated = false) {
    return r.onFrame(f.data(), f.size(), truncated, h);
}

constexpr uint32_t kSelf = 0x01000101;
constexpr uint32_t kPeer = 0x02000101;

struct Case {
    std::vector<uint8_t> frame;
    char const* reason;
    bool truncated = false;
};

}  // namespace

TEST(DataFrame, HeaderEncodesBigEndianFieldByField) {
    uint8_t out[kDataHeaderSize];
    encodeDataHeader(out, DataHeader{kData, 0x11223344, 0xA1B2C3D4, 0x00010203});
    std::vector<uint8_t> golden = {0x01, 0x02, 0x00, 0x00, 0x11, 0x22, 0x33, 0x44,
                                   0xA1, 0xB2, 0xC3, 0xD4, 0x00, 0x01, 0x02, 0x03};
    EXPECT_EQ(std::vector<uint8_t>(out, out + kDataHeaderSize), golden);
}

TEST(DataFrame, AConnectionIsNamedByItsHelloAndThenCarriesData) {
    DataFrameReader r(kSelf, 1000);
    DataHeader h;
    EXPECT_FALSE(r.identified());
    EXPECT_EQ(feed(r, rawFrame(kHello, kPeer, kSelf, 0), h), Verdict::Hello);
    EXPECT_TRUE(r.identified());
    EXPECT_EQ(r.peer(), kPeer);

    EXPECT_EQ(feed(r, rawFrame(kData, kPeer, kSelf, 3, {7, 8, 9}), h), Verdict::Deliver);
    EXPECT_EQ(h.originator, kPeer);
    EXPECT_EQ(h.destination, kSelf);
    EXPECT_EQ(h.length, 3u);

    EXPECT_EQ(feed(r, rawFrame(kData, kPeer, kSelf, 0), h), Verdict::Deliver) << "empty messages are messages";
    EXPECT_EQ(feed(r, rawFrame(kBounce, kSelf, kPeer, 1, {0}), h), Verdict::Bounce);
    EXPECT_EQ(feed(r, rawFrame(kData, kPeer, kSelf, 1000, std::vector<uint8_t>(1000)), h), Verdict::Deliver);
    EXPECT_EQ(r.badFrames(), 0u);
}

TEST(DataFrame, BadFramesAreDroppedUntilThereAreTooMany) {
    DataFrameReader r(kSelf, 1000);
    DataHeader h;
    ASSERT_EQ(feed(r, rawFrame(kHello, kPeer, kSelf, 0), h), Verdict::Hello);
    std::vector<uint8_t> reserved = rawFrame(kData, kPeer, kSelf, 0);
    reserved[3] = 1;
    std::vector<Case> cases = {
        {{}, "frame shorter than its header"},
        {std::vector<uint8_t>(15, 1), "frame shorter than its header"},
        {rawFrame(kData, kPeer, kSelf, 0, {}, 0), "unknown frame version"},
        {reserved, "reserved bytes not zero"},
        {rawFrame(kData, kPeer, kSelf, 4), "length field does not match the frame"},
        {rawFrame(kData, kPeer, kSelf, 0xFFFFFFFFu), "length field does not match the frame"},
        {rawFrame(kData, kPeer, kSelf, 1001, std::vector<uint8_t>(1001)), "message larger than the transport carries"},
        {rawFrame(kData, kPeer, kSelf, 0), "frame longer than the largest message", true},
        {rawFrame(kData, 0x0BAD0101, kSelf, 0), "DATA with foreign addresses"},
        {rawFrame(kData, kPeer, 0x0BAD0101, 0), "DATA with foreign addresses"},
        {rawFrame(kBounce, kPeer, kSelf, 0), "BOUNCE with foreign addresses"},
        {rawFrame(kHello, kPeer, kSelf, 0), "second HELLO on a connection"},
        {rawFrame(0, kPeer, kSelf, 0), "unknown frame kind"},
        {rawFrame(4, kPeer, kSelf, 0), "unknown frame kind"},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        Case const& c = cases[i];
        EXPECT_EQ(r.onFrame(c.frame.data(), c.frame.size(), c.truncated, h), Verdict::Drop) << i;
        EXPECT_STREQ(r.reason(), c.reason) << i;
    }
    EXPECT_EQ(r.badFrames(), cases.size());
    // Good frames still pass in between.
    EXPECT_EQ(feed(r, rawFrame(kData, kPeer, kSelf, 0), h), Verdict::Deliver);
    for (unsigned i = r.badFrames() + 1; i < DataFrameReader::kMaxBadFrames; ++i)
        EXPECT_EQ(feed(r, {1}, h), Verdict::Drop);
    EXPECT_EQ(feed(r, {1}, h), Verdict::Close);
    EXPECT_STREQ(r.reason(), "too many malformed frames");
}

TEST(DataFrame, WithoutAValidHelloTheConnectionIsClosed) {
    DataHeader h;
    std::vector<Case> cases = {
        {rawFrame(kData, kPeer, kSelf, 0), "DATA before HELLO"},
        {rawFrame(kBounce, kSelf, kPeer, 0), "BOUNCE before HELLO"},
        {rawFrame(kHello, kPeer, kPeer, 0), "HELLO for another termination"},
        {rawFrame(kHello, 0, kSelf, 0), "HELLO from an invalid termination"},
        {rawFrame(kHello, kSelf, kSelf, 0), "HELLO from an invalid termination"},
        {rawFrame(kHello, kPeer, kSelf, 1, {0}), "HELLO with payload"},
        {{0xFF}, "frame shorter than its header"},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        DataFrameReader r(kSelf, 1000);
        EXPECT_EQ(feed(r, cases[i].frame, h), Verdict::Close) << i;
        EXPECT_STREQ(r.reason(), cases[i].reason) << i;
        EXPECT_FALSE(r.identified());
    }
}

TEST(NodeFrame, EncodesAndDecodesEveryKind) {
    EXPECT_EQ(encodeNodeFrame(kJoin, 0x12345601),
              (std::vector<uint8_t>{0x01, 0x01, 0x00, 0x00, 0x12, 0x34, 0x56, 0x01}));
    EXPECT_EQ(encodeNodeFrame(kLeft, 0xCAFE0203),
              (std::vector<uint8_t>{0x01, 0x05, 0x00, 0x00, 0xCA, 0xFE, 0x02, 0x03}));
    std::vector<uint8_t> snap = {0x01, 0x03, 0x00, 0x02, 0, 0, 0, 0, 0x00, 0x01, 0x01, 0x01, 0xFF, 0xEE, 0xDD, 0x03};
    EXPECT_EQ(encodeNodeFrame(kSnapshot, 0, {0x00010101, 0xFFEEDD03}), snap);

    NodeFrame f;
    char const* why = "";
    ASSERT_TRUE(decodeNodeFrame(snap.data(), snap.size(), f, why));
    EXPECT_EQ(f.kind, kSnapshot);
    EXPECT_EQ(f.ids, (std::vector<uint32_t>{0x00010101, 0xFFEEDD03}));
    std::vector<uint8_t> empty = encodeNodeFrame(kSnapshot, 0, {});
    ASSERT_TRUE(decodeNodeFrame(empty.data(), empty.size(), f, why));
    EXPECT_TRUE(f.ids.empty());
    for (uint8_t k : {kJoin, kLeave, kJoined, kLeft, kRefused}) {
        std::vector<uint8_t> e = encodeNodeFrame(k, 0x0A0B0C0D);
        ASSERT_TRUE(decodeNodeFrame(e.data(), e.size(), f, why)) << int(k);
        EXPECT_EQ(f.kind, k);
        EXPECT_EQ(f.id, 0x0A0B0C0Du);
        EXPECT_TRUE(f.ids.empty());
    }
}

TEST(NodeFrame, RejectsMalformedFrames) {
    std::vector<Case> cases = {
        {{1, 1, 0, 0, 0, 0, 1}, "frame shorter than its header"},
        {{2, 1, 0, 0, 0, 0, 0, 1}, "unknown frame version"},
        {{1, 0, 0, 0, 0, 0, 0, 1}, "unknown frame kind"},
        {{1, 7, 0, 0, 0, 0, 0, 1}, "unknown frame kind"},
        {{1, 1, 0, 1, 0, 0, 0, 1, 0, 0, 0, 2}, "count in a frame without ids"},
        {{1, 3, 0, 2, 0, 0, 0, 0, 0, 0, 0, 2}, "count does not match the frame"},
        {{1, 3, 0, 0, 0, 0, 0, 0, 9}, "count does not match the frame"},
        {{1, 1, 0, 0, 0, 0, 0, 0, 0}, "count does not match the frame"},
        {{1, 4, 0, 0, 0, 0, 0, 0}, "termination id 0"},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        NodeFrame f;
        char const* why = "";
        EXPECT_FALSE(decodeNodeFrame(cases[i].frame.data(), cases[i].frame.size(), f, why)) << i;
        EXPECT_STREQ(why, cases[i].reason) << i;
    }
}
