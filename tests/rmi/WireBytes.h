// Helpers of the wire tests: byte vectors spelled out by hand, compared with
// what a stream holds.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "IPPRMI_stream.h"
#include "StandaloneNode.h"

namespace wiretest {

using Bytes = std::vector<unsigned char>;

using testsupport::StandaloneNode;

// The data bytes of a stream (without header and cursor word).
inline Bytes dataOf(TipprmiStream const& s) {
    unsigned char const* p = s.getDataPtr();
    return p ? Bytes(p, p + s.getDataSize()) : Bytes();
}

// A stream holding exactly `b` as written data, read from the start.
inline TipprmiStream streamOf(Bytes const& b) { return TipprmiStream(b.data(), static_cast<int>(b.size())); }

inline std::string hex(Bytes const& b) {
    std::string s;
    char buf[4];
    for (unsigned char c : b) {
        std::snprintf(buf, sizeof buf, "%02X ", c);
        s += buf;
    }
    return s;
}

}  // namespace wiretest
