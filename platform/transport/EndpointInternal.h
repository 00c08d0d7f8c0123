// Pieces shared by the translation units of Endpoint: settings from the
// environment, deadlines, and the tags of the receiving thread's epoll set.
#pragma once

#include <sys/epoll.h>

#include <chrono>
#include <cstdint>
#include <cstring>

#include "Layer.h"

namespace Transport {
namespace endpoint {

using Clock = std::chrono::steady_clock;

// A time from the environment variable `name` (0..max, in `unit`), or `fallback`.
int envTime(char const* name, int fallback, int max, char const* unit);
int envMs(char const* name, int fallback);
int sendTimeoutMs();
int joinWaitMs();
// TOPADAPTER_ANSWER_POLL_US, read at each start: 0 turns the looking for answers off.
int answerPollUs();

inline TransportLayer::Impl& layer() { return TransportLayer::instance().impl(); }

inline int remainingMs(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : int(left) + 1;
}

// epoll data of a socket: its role in the top byte, below it the key of an
// incoming connection, or the serial and peer of an outgoing one.
constexpr uint64_t kTagWake = 0;
constexpr uint64_t kTagListen = uint64_t(1) << 56;
constexpr uint64_t kTagIn = uint64_t(2) << 56;
constexpr uint64_t kTagOut = uint64_t(3) << 56;
constexpr uint64_t kTagTaken = uint64_t(4) << 56;
constexpr uint64_t kTagRoleMask = uint64_t(0xFF) << 56;
constexpr uint64_t kInKeyMask = ~kTagRoleMask;
constexpr uint32_t kOutSerialMask = 0xFFFFFF;

inline uint64_t outTag(uint32_t peer, uint32_t serial) {
    return kTagOut | (uint64_t(serial & kOutSerialMask) << 32) | peer;
}

bool epollAdd(int ep, int fd, uint64_t tag, uint32_t events = EPOLLIN);
bool epollDel(int ep, int fd);

// Events taken per wait: a bound on the stack, and level triggering hands
// the sockets left over to the next wait, behind those already returned.
constexpr int kMaxEvents = 64;

}  // namespace endpoint
}  // namespace Transport
