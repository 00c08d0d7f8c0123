// Bytes shared by the transport tests and their peer process, written by
// hand rather than with the transport's encoder: the clock the processes
// compare, the sequence number that heads every test payload, and raw data
// frames spelled out from the frame table in Frame.h.
#pragma once

#include <time.h>

#include <cstdint>
#include <vector>

#include "Transport.h"

namespace transporttest {

inline long long monoNs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

// Test payloads start with a 4-byte big-endian sequence number per sender.
inline uint32_t seqOf(Transport::AddressedMessage const& m) {
    if (m.rawSize() < 4) return 0xFFFFFFFFu;
    unsigned char const* p = m.rawBuf();
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}
inline void putSeq(Transport::AddressedMessage& m, uint32_t seq) {
    for (int i = 0; i < 4; ++i) m.rawBuf()[i] = uint8_t(seq >> (24 - 8 * i));
}

// Version, kind, 2 reserved bytes, then originator, destination and length
// as 32-bit big-endian words, then the payload.
inline std::vector<uint8_t> rawFrame(uint8_t kind, uint32_t org, uint32_t dst, uint32_t len,
                                     std::vector<uint8_t> const& payload = {}, uint8_t version = 1) {
    std::vector<uint8_t> f = {version, kind, 0, 0};
    for (uint32_t word : {org, dst, len})
        for (int shift = 24; shift >= 0; shift -= 8) f.push_back(uint8_t(word >> shift));
    f.insert(f.end(), payload.begin(), payload.end());
    return f;
}

}  // namespace transporttest
