// Helpers shared by the files of the simulated chip; not part of its interface.
#pragma once

#include <stdint.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "OSWrap.h"
#include "TopChip.h"

namespace topdrv {
namespace detail {

// Longest delay a setting may ask for.
double const kMaxSeconds = 1e6;

inline std::string format(char const* fmt, ...) __attribute__((format(printf, 1, 2)));
inline std::string format(char const* fmt, ...) {
    char buf[256];
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    if (n < 0) return std::string();
    return std::string(buf, std::min<size_t>(static_cast<size_t>(n), sizeof buf - 1));
}

// The scaled protocol clock in nanoseconds.
inline int64_t nowNs() { return OSWrap::Clock::getTime().totalNanoseconds(); }

inline int64_t secondsToNs(double s) { return static_cast<int64_t>(std::llround(s * 1e9)); }

inline uint32_t low32(unsigned long v) { return static_cast<uint32_t>(v & 0xFFFFFFFFul); }

// Moves the whole part of an accumulator into a wrapping 32-bit increment.
inline uint32_t takeWhole(double& frac) {
    double whole = std::floor(frac);
    frac -= whole;
    return static_cast<uint32_t>(static_cast<uint64_t>(std::fmod(whole, 4294967296.0)));
}

inline bool contiguousMask(uint32_t mask) { return mask != 0 && ((~mask + 1u) & ~mask) == 0; }

inline std::string ip(uint32_t a) { return format("0x%08x", a); }

inline unsigned idx(Fn fn) { return static_cast<unsigned>(fn); }

}  // namespace detail
}  // namespace topdrv
