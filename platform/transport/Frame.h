// Wire formats of the node transport. All integers big-endian ("network
// order"), no padding. Both run over SOCK_SEQPACKET unix sockets, so one
// frame is exactly one datagram: the length fields are checked against the
// datagram, never trusted to find the next frame.
//
// Data connection (one per ordered pair of terminations, opened by the
// sender on its first issue to the listening socket of the receiver):
//   offset 0  1 byte   version, 1
//   offset 1  1 byte   kind: 1 HELLO, 2 DATA, 3 BOUNCE
//   offset 2  2 bytes  reserved, 0
//   offset 4  4 bytes  originator termination id
//   offset 8  4 bytes  destination termination id
//   offset 12 4 bytes  payload length L (the message bytes)
//   offset 16 L bytes  payload
// HELLO is the first frame of every connection (L = 0): originator = the
// connecting termination, destination = the listening one. DATA carries one
// message from the connecting termination. BOUNCE carries a message of the
// listening termination back to it, undelivered (originator = the
// listening termination, destination = the connecting one).
//
// Membership connection (one per process, to the service `topnoded`):
//   offset 0  1 byte   version, 1
//   offset 1  1 byte   kind (below)
//   offset 2  2 bytes  count N (SNAPSHOT only, else 0)
//   offset 4  4 bytes  termination id (0 in SNAPSHOT)
//   offset 8  N x 4 bytes  termination ids (SNAPSHOT only)
// Process to service: 1 JOIN, 2 LEAVE. Service to process: 3 SNAPSHOT (the
// present terminations, first frame after connecting), 4 JOINED and 5 LEFT
// (sent to every process, the joiner included: that is its acknowledgement),
// 6 REFUSED (to the joiner only: the id is taken).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace Transport {
namespace wire {

constexpr uint8_t kVersion = 1;
constexpr size_t kDataHeaderSize = 16;
constexpr size_t kNodeHeaderSize = 8;
constexpr size_t kMaxSnapshotIds = 0xFFFF;

enum DataKind : uint8_t { kHello = 1, kData = 2, kBounce = 3 };
enum NodeKind : uint8_t { kJoin = 1, kLeave = 2, kSnapshot = 3, kJoined = 4, kLeft = 5, kRefused = 6 };

inline void put32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}
inline uint32_t get32(uint8_t const* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}
inline void put16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
}
inline uint16_t get16(uint8_t const* p) { return uint16_t((p[0] << 8) | p[1]); }

struct DataHeader {
    uint8_t kind = 0;
    uint32_t originator = 0;
    uint32_t destination = 0;
    uint32_t length = 0;
};

void encodeDataHeader(uint8_t out[kDataHeaderSize], DataHeader const& h);

// What the receiving side of a data connection does with one datagram.
enum class Verdict {
    Hello,    // valid HELLO: the connection now belongs to header.originator
    Deliver,  // valid DATA: payload at offset 16, header.length bytes
    Bounce,   // valid BOUNCE of one of our messages
    Drop,     // malformed: drop this frame, keep the connection
    Close     // the connection cannot be used (bad or missing HELLO, too many bad frames)
};

// Per-connection checks of the frames a peer sends to termination `self`.
// Pure logic over bytes, so that it can be fuzzed and tested without sockets.
class DataFrameReader {
public:
    static constexpr unsigned kMaxBadFrames = 16;

    explicit DataFrameReader(uint32_t self, uint32_t maxPayload) : self_(self), maxPayload_(maxPayload) {}

    // `n` bytes of one datagram; `truncated` when it was longer than the
    // receive buffer. On Drop/Close, reason() says why (a static string).
    Verdict onFrame(uint8_t const* p, size_t n, bool truncated, DataHeader& out);

    char const* reason() const { return reason_; }
    bool identified() const { return peer_ != 0; }
    uint32_t peer() const { return peer_; }
    unsigned badFrames() const { return bad_; }

private:
    Verdict bad(char const* why);
    uint32_t self_;
    uint32_t maxPayload_;
    uint32_t peer_ = 0;
    unsigned bad_ = 0;
    char const* reason_ = "";
};

struct NodeFrame {
    uint8_t kind = 0;
    uint32_t id = 0;
    std::vector<uint32_t> ids;  // SNAPSHOT
};

// Encodes JOIN/LEAVE/JOINED/LEFT/REFUSED (`ids` empty) or a SNAPSHOT.
std::vector<uint8_t> encodeNodeFrame(uint8_t kind, uint32_t id, std::vector<uint32_t> const& ids = {});

// False, with `why` set, when the datagram is not a well-formed frame.
bool decodeNodeFrame(uint8_t const* p, size_t n, NodeFrame& out, char const*& why);

}  // namespace wire
}  // namespace Transport
