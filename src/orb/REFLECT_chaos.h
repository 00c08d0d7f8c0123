// Schedule chaos of the runtime, for soaks and tests on a host: with
// TOPADAPTER_CHAOS=SEED[:RATE] the places where the runtime decides the order
// of its handlers (taking and giving up the run permission, sending a
// request, delivering an answer, waking its caller, a worker picking a
// request) may, at RATE of their passes, yield or sleep from microseconds to
// a few milliseconds, so that rare orders become common. Each process draws
// from a stream derived from SEED and its identity, and logs it at its first
// pass. Unset (as on a card), a point costs one predictable branch.
#pragma once

#include <stdint.h>

#include <atomic>

class TreflectChaos {
public:
    enum Point { kPermissionTake, kPermissionGiveUp, kSend, kDeliver, kAnswer, kPick };

    static void at(Point p) {
        if (__builtin_expect(threshold_.load(std::memory_order_relaxed) != 0, 0)) perturb(p);
    }
    // Chaos at `setting` (SEED[:RATE]) for a process that needs rare orders
    // without being started with the variable; the variable wins.
    static void startUnlessSet(char const* setting);

private:
    static void perturb(Point p);
    // 0: off; 1: set, not yet read; otherwise a draw below it perturbs.
    static std::atomic<uint64_t> threshold_;
};
