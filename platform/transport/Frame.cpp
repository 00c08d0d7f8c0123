#include "Frame.h"

namespace Transport {
namespace wire {

void encodeDataHeader(uint8_t out[kDataHeaderSize], DataHeader const& h) {
    out[0] = kVersion;
    out[1] = h.kind;
    out[2] = 0;
    out[3] = 0;
    put32(out + 4, h.originator);
    put32(out + 8, h.destination);
    put32(out + 12, h.length);
}

Verdict DataFrameReader::bad(char const* why) {
    reason_ = why;
    // Without a valid HELLO nothing on the connection can be attributed.
    if (peer_ == 0) return Verdict::Close;
    if (++bad_ >= kMaxBadFrames) {
        reason_ = "too many malformed frames";
        return Verdict::Close;
    }
    return Verdict::Drop;
}

Verdict DataFrameReader::onFrame(uint8_t const* p, size_t n, bool truncated, DataHeader& out) {
    if (truncated) return bad("frame longer than the largest message");
    if (n < kDataHeaderSize) return bad("frame shorter than its header");
    if (p[0] != kVersion) return bad("unknown frame version");
    if (p[2] != 0 || p[3] != 0) return bad("reserved bytes not zero");
    out.kind = p[1];
    out.originator = get32(p + 4);
    out.destination = get32(p + 8);
    out.length = get32(p + 12);
    if (out.length != n - kDataHeaderSize) return bad("length field does not match the frame");
    if (out.length > maxPayload_) return bad("message larger than the transport carries");

    switch (out.kind) {
    case kHello:
        if (peer_ != 0) return bad("second HELLO on a connection");
        if (out.length != 0) return bad("HELLO with payload");
        if (out.destination != self_) return bad("HELLO for another termination");
        if (out.originator == 0 || out.originator == self_) return bad("HELLO from an invalid termination");
        peer_ = out.originator;
        return Verdict::Hello;
    case kData:
        if (peer_ == 0) return bad("DATA before HELLO");
        if (out.originator != peer_ || out.destination != self_) return bad("DATA with foreign addresses");
        return Verdict::Deliver;
    case kBounce:
        if (peer_ == 0) return bad("BOUNCE before HELLO");
        if (out.originator != self_ || out.destination != peer_) return bad("BOUNCE with foreign addresses");
        return Verdict::Bounce;
    default:
        return bad("unknown frame kind");
    }
}

std::vector<uint8_t> encodeNodeFrame(uint8_t kind, uint32_t id, std::vector<uint32_t> const& ids) {
    std::vector<uint8_t> out(kNodeHeaderSize + 4 * ids.size());
    out[0] = kVersion;
    out[1] = kind;
    put16(&out[2], uint16_t(ids.size()));
    put32(&out[4], id);
    for (size_t i = 0; i < ids.size(); ++i) put32(&out[kNodeHeaderSize + 4 * i], ids[i]);
    return out;
}

bool decodeNodeFrame(uint8_t const* p, size_t n, NodeFrame& out, char const*& why) {
    out.ids.clear();
    if (n < kNodeHeaderSize) {
        why = "frame shorter than its header";
        return false;
    }
    if (p[0] != kVersion) {
        why = "unknown frame version";
        return false;
    }
    out.kind = p[1];
    uint16_t count = get16(p + 2);
    out.id = get32(p + 4);
    if (out.kind < kJoin || out.kind > kRefused) {
        why = "unknown frame kind";
        return false;
    }
    if (out.kind != kSnapshot && count != 0) {
        why = "count in a frame without ids";
        return false;
    }
    if (n != kNodeHeaderSize + 4 * size_t(count)) {
        why = "count does not match the frame";
        return false;
    }
    if (out.kind != kSnapshot && out.id == 0) {
        why = "termination id 0";
        return false;
    }
    out.ids.reserve(count);
    for (size_t i = 0; i < count; ++i) out.ids.push_back(get32(p + kNodeHeaderSize + 4 * i));
    return true;
}

}  // namespace wire
}  // namespace Transport
