// Operator looks beside the soak's operations, the whole run long: topctl
// reading the card as an operator does (flows, one flow, metrics, the event
// stream, a wait), a few at a time, each of them answered within a bound.
// A look that fails or hangs is a failed verdict, collected for the next
// settle.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "SoakNode.h"

namespace soak {

class Looks {
public:
    // `bound`: seconds a look may take, beyond the time it asks to run for.
    Looks(Node& node, uint64_t seed, unsigned atOnce, double bound);
    ~Looks();
    void start();
    // Waits for the looks under way; those still running after their bound fail.
    void stop();
    // The flow keys the looks ask about (any thread).
    void setKeys(std::vector<unsigned long> keys);
    std::vector<std::string> takeFailures();
    // Looks done so far and how many of them ended with "not there" (status 1).
    unsigned long done() const { return done_; }
    unsigned long absent() const { return absent_; }

private:
    struct Look {
        Child* child;
        std::string what;
        Clock::time_point began;
        double runs;       // seconds it was asked to run for
        double stopAfter;  // a monitor ended by SIGTERM after this long (0: by itself)
        bool signalled;
    };
    void loop();
    void begin();
    // Whether the look is over; a failed one is noted.
    bool finished(Look& look, bool stopping);
    void failed(Look const& look, std::string const& why);

    Node& node_;
    std::mt19937_64 rng_;
    unsigned atOnce_;
    double bound_;
    std::vector<Look> underway_;
    unsigned long serial_ = 0;
    std::atomic<unsigned long> done_{0}, absent_{0};
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex mutex_;  // guards keys_ and failures_
    std::vector<unsigned long> keys_;
    std::vector<std::string> failures_;
};

}  // namespace soak
