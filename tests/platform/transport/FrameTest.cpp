// The transport's frame readers. The encodings themselves meet between the
// node's processes, of either byte order, in every multi-process test.
#include <gtest/gtest.h>

#include <vector>

#include "Frame.h"
#include "TestWire.h"
#include "Transport.h"

using namespace Transport::wire;
using transporttest::rawFrame;

namespace {

constexpr uint32_t kSelf = 0x01000101;
constexpr uint32_t kPeer = 0x02000101;

struct Case {
    std::vector<uint8_t> frame;
    char const* reason;
    bool truncated = false;
};

}  // namespace

TEST(DataFrame, AHelloNamesTheConnectionWhichThenCarriesDataAndBadFramesAreDropped) {
    DataFrameReader r(kSelf, 1000);
    DataHeader h;
    auto feed = [&](std::vector<uint8_t> const& f) { return r.onFrame(f.data(), f.size(), false, h); };
    EXPECT_FALSE(r.identified());
    EXPECT_EQ(Verdict::Hello, feed(rawFrame(kHello, kPeer, kSelf, 0)));
    EXPECT_EQ(kPeer, r.peer());
    EXPECT_EQ(Verdict::Deliver, feed(rawFrame(kData, kPeer, kSelf, 3, {7, 8, 9})));
    EXPECT_TRUE(h.originator == kPeer && h.destination == kSelf && h.length == 3u);
    EXPECT_EQ(Verdict::Deliver, feed(rawFrame(kData, kPeer, kSelf, 0))) << "empty messages are messages";
    EXPECT_EQ(Verdict::Bounce, feed(rawFrame(kBounce, kSelf, kPeer, 1, {0})));
    EXPECT_EQ(Verdict::Deliver, feed(rawFrame(kData, kPeer, kSelf, 1000, std::vector<uint8_t>(1000))));
    EXPECT_EQ(0u, r.badFrames());

    // Bad frames are dropped until there are too many; without a valid HELLO the connection is closed.
    std::vector<uint8_t> reserved = rawFrame(kData, kPeer, kSelf, 0);
    reserved[3] = 1;
    std::vector<Case> const dropped = {
        {std::vector<uint8_t>(15, 1), "frame shorter than its header"},
        {rawFrame(kData, kPeer, kSelf, 0, {}, 0), "unknown frame version"},
        {reserved, "reserved bytes not zero"},
        {rawFrame(kData, kPeer, kSelf, 4), "length field does not match the frame"},
        {rawFrame(kData, kPeer, kSelf, 2, {1, 2, 3}), "length field does not match the frame"},
        {rawFrame(kData, kPeer, kSelf, 0xFFFFFFFFu), "length field does not match the frame"},
        {rawFrame(kData, kPeer, kSelf, 1001, std::vector<uint8_t>(1001)), "message larger than the transport carries"},
        {rawFrame(kData, kPeer, kSelf, 0), "frame longer than the largest message", true},
        {rawFrame(kData, 0x0BAD0101, kSelf, 0), "DATA with foreign addresses"},
        {rawFrame(kBounce, kPeer, kSelf, 0), "BOUNCE with foreign addresses"},
        {rawFrame(kHello, kPeer, kSelf, 0), "second HELLO on a connection"},
        {rawFrame(4, kPeer, kSelf, 0), "unknown frame kind"},
    };
    for (size_t i = 0; i < dropped.size(); ++i) {
        Case const& c = dropped[i];
        EXPECT_EQ(Verdict::Drop, r.onFrame(c.frame.data(), c.frame.size(), c.truncated, h)) << i;
        EXPECT_STREQ(c.reason, r.reason()) << i;
    }
    EXPECT_EQ(dropped.size(), r.badFrames());
    std::vector<uint8_t> const good = rawFrame(kData, kPeer, kSelf, 0);
    EXPECT_EQ(Verdict::Deliver, r.onFrame(good.data(), good.size(), false, h)) << "good frames still pass";
    uint8_t junk = 1;
    for (unsigned i = r.badFrames() + 1; i < DataFrameReader::kMaxBadFrames; ++i)
        EXPECT_EQ(Verdict::Drop, r.onFrame(&junk, 1, false, h));
    EXPECT_EQ(Verdict::Close, r.onFrame(&junk, 1, false, h));
    EXPECT_STREQ("too many malformed frames", r.reason());

    std::vector<Case> const closing = {
        {rawFrame(kData, kPeer, kSelf, 0), "DATA before HELLO"},
        {rawFrame(kBounce, kSelf, kPeer, 0), "BOUNCE before HELLO"},
        {rawFrame(kHello, kPeer, kPeer, 0), "HELLO for another termination"},
        {rawFrame(kHello, kSelf, kSelf, 0), "HELLO from an invalid termination"},
        {rawFrame(kHello, kPeer, kSelf, 1, {0}), "HELLO with payload"},
        {{0xFF}, "frame shorter than its header"},
    };
    for (size_t i = 0; i < closing.size(); ++i) {
        DataFrameReader fresh(kSelf, 1000);
        EXPECT_EQ(Verdict::Close, fresh.onFrame(closing[i].frame.data(), closing[i].frame.size(), false, h)) << i;
        EXPECT_STREQ(closing[i].reason, fresh.reason()) << i;
        EXPECT_FALSE(fresh.identified());
    }
}

TEST(NodeFrame, MalformedFramesAreRejectedWithTheirReason) {
    std::vector<Case> const bad = {
        {{1, 1, 0, 0, 0, 0, 1}, "frame shorter than its header"},
        {{2, 1, 0, 0, 0, 0, 0, 1}, "unknown frame version"},
        {{1, 7, 0, 0, 0, 0, 0, 1}, "unknown frame kind"},
        {{1, 1, 0, 1, 0, 0, 0, 1, 0, 0, 0, 2}, "count in a frame without ids"},
        {{1, 3, 0, 2, 0, 0, 0, 0, 0, 0, 0, 2}, "count does not match the frame"},
        {{1, 3, 0, 0, 0, 0, 0, 0, 9}, "count does not match the frame"},
        {{1, 1, 0, 0, 0, 0, 0, 0, 0}, "count does not match the frame"},
        {{1, 4, 0, 0, 0, 0, 0, 0}, "termination id 0"},
    };
    for (size_t i = 0; i < bad.size(); ++i) {
        NodeFrame f;
        char const* why = "";
        EXPECT_FALSE(decodeNodeFrame(bad[i].frame.data(), bad[i].frame.size(), f, why)) << i;
        EXPECT_STREQ(bad[i].reason, why) << i;
    }
}
