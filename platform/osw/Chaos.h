// Schedule chaos of the stand-ins. With TOPADAPTER_CHAOS=SEED[:RATE] every
// place where a stand-in decides the order of threads (a timer firing, a
// message sent, a message delivered, a membership event, a chip command) may,
// at RATE of its passes, yield or sleep from microseconds to a few
// milliseconds, so that a window of microseconds between two threads stays
// open for milliseconds. Each process draws from a stream of its own, derived
// from SEED and the process's identity (its command line and actor), and
// logs it once, at its first pass. Off, a point costs one predictable branch.
//
// The system's code has a point of its own (TreflectChaos) that reads the
// same variable: on the card these stand-ins are not there.
#pragma once

#include <stdint.h>

#include <atomic>

namespace chaos {

enum Point { TimerFire, Send, Deliver, Membership, ChipCommand };

namespace detail {
// 0: off; otherwise a pass perturbs when its draw is below it.
extern std::atomic<uint64_t> gThreshold;
void perturb(Point p);
}  // namespace detail

inline void at(Point p) {
    if (__builtin_expect(detail::gThreshold.load(std::memory_order_relaxed) != 0, 0)) detail::perturb(p);
}

}  // namespace chaos
