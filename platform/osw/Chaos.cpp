#include "Chaos.h"

#include <sched.h>
#include <time.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>

#include "EnvVars.h"
#include "Log.h"

namespace chaos {
namespace {

char const kVariable[] = "TOPADAPTER_CHAOS";

uint64_t mix(uint64_t x) {  // splitmix64's finaliser
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

uint64_t hashOf(std::string const& text) {  // FNV-1a
    uint64_t h = 0xCBF29CE484222325ull;
    for (unsigned char c : text) h = (h ^ c) * 0x100000001B3ull;
    return h;
}

// Read at the first pass, not at start-up: a tool sets its actor's name id
// and its log before anything of it runs.
std::string identity() {
    std::ifstream in("/proc/self/cmdline");
    std::string id((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    for (char const* v : {"TOPADAPTER_ACTOR", "TOPADAPTER_NAME_ID", "TOPADAPTER_SLOT", "TOPADAPTER_UNIT"})
        id += std::string("|") + platform::envString(v, "");
    return id + "|platform";
}

std::atomic<uint64_t> gStream{0};
std::atomic<uint64_t> gThreads{0};

void start() {
    std::string const text = platform::envString(kVariable, "");
    size_t const colon = text.find(':');
    uint64_t seed = 0;
    double rate = 0.02;
    if (!platform::parseUint64(text.substr(0, colon), &seed) ||
        (colon != std::string::npos && !platform::parseDouble(text.substr(colon + 1), 1e-9, 1, &rate))) {
        TA_LOG(4, "%s='%s' is not SEED[:RATE] with 0 < RATE <= 1: schedule chaos stays off", kVariable, text.c_str());
        detail::gThreshold.store(0);
        return;
    }
    std::string const who = identity();
    uint64_t const stream = mix(seed ^ hashOf(who));
    gStream.store(stream);
    detail::gThreshold.store(rate >= 1 ? UINT64_MAX : static_cast<uint64_t>(rate * 18446744073709551616.0));
    TA_LOG(4, "stand-ins' schedule chaos: seed %llu, rate %g, stream %016llx of this process", static_cast<unsigned long long>(seed),
           rate, static_cast<unsigned long long>(stream));
}

uint64_t draw() {
    thread_local uint64_t state = 0;
    if (state == 0) state = mix(gStream.load() + mix(gThreads.fetch_add(1)));
    state += 0x9E3779B97F4A7C15ull;
    return mix(state);
}

}  // namespace

namespace detail {

std::atomic<uint64_t> gThreshold{platform::envIsSet(kVariable) ? 1u : 0u};  // 1: not yet read

void perturb(Point) {
    static std::once_flag once;
    std::call_once(once, start);
    if (draw() >= gThreshold.load(std::memory_order_relaxed)) return;
    uint64_t const r = draw();
    unsigned const kind = unsigned(r % 100);
    if (kind < 50) {
        ::sched_yield();
        return;
    }
    // Mostly tens of microseconds, now and then milliseconds.
    long const us = kind < 85 ? 1 + long(r >> 8) % 200 : 200 + long(r >> 8) % 3800;
    struct timespec ts = {0, us * 1000};
    ::nanosleep(&ts, nullptr);
}

}  // namespace detail
}  // namespace chaos
