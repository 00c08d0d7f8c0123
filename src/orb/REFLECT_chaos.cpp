#include "REFLECT_chaos.h"

#include <sched.h>
#include <time.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include "Log.h"

namespace {

char const kVariable[] = "TOPADAPTER_CHAOS";

uint64_t scramble(uint64_t z) {
    z = (z ^ (z >> 33)) * 0xFF51AFD7ED558CCDull;
    z = (z ^ (z >> 33)) * 0xC4CEB9FE1A85EC53ull;
    return z ^ (z >> 33);
}

std::atomic<uint64_t> processStream{0};
std::atomic<uint64_t> threadsSeen{0};
std::once_flag started;

// The identity is read at the first pass: tools set their actor's name id
// after start-up.
uint64_t identityHash() {
    std::string id = "runtime";
    if (FILE* f = std::fopen("/proc/self/cmdline", "r")) {
        for (int c; (c = std::fgetc(f)) != EOF;) id += static_cast<char>(c);
        std::fclose(f);
    }
    for (char const* name : {"TOPADAPTER_ACTOR", "TOPADAPTER_NAME_ID", "TOPADAPTER_SLOT", "TOPADAPTER_UNIT"}) {
        char const* v = std::getenv(name);
        id += '|';
        id += v ? v : "";
    }
    uint64_t h = 1469598103934665603ull;
    for (unsigned char c : id) h = (h ^ c) * 1099511628211ull;
    return h;
}

// The threshold of a draw that perturbs; 0 when the setting is malformed.
uint64_t begin(char const* text) {
    char* end = nullptr;
    errno = 0;
    unsigned long long const seed = std::strtoull(text, &end, 0);
    bool ok = errno == 0 && end != text && *text != '-';
    double rate = 0.02;
    if (ok && *end == ':') {
        char const* r = end + 1;
        rate = std::strtod(r, &end);
        ok = end != r && rate > 0 && rate <= 1;
    }
    if (!ok || *end != '\0') {
        TA_LOG(4, "%s='%s' is not SEED[:RATE] with 0 < RATE <= 1: no schedule chaos in the runtime", kVariable, text);
        return 0;
    }
    uint64_t const stream = scramble(seed + scramble(identityHash()));
    processStream.store(stream);
    TA_LOG(4, "runtime schedule chaos: seed %llu, rate %g, stream %016llx of this process", seed, rate,
           static_cast<unsigned long long>(stream));
    return rate >= 1 ? UINT64_MAX : static_cast<uint64_t>(rate * 18446744073709551616.0);
}

uint64_t nextDraw() {
    thread_local uint64_t x = 0;
    if (!x) x = scramble(processStream.load() ^ scramble(threadsSeen.fetch_add(1) + 1)) | 1;
    // xorshift64*
    x ^= x >> 12;
    x ^= x << 25;
    x ^= x >> 27;
    return x * 2685821657736338717ull;
}

}  // namespace

std::atomic<uint64_t> TreflectChaos::threshold_{std::getenv(kVariable) && *std::getenv(kVariable) ? 1u : 0u};

void TreflectChaos::startUnlessSet(char const* setting) {
    char const* const variable = std::getenv(kVariable);
    std::call_once(started, [&] { threshold_.store(begin(variable && *variable ? variable : setting)); });
}

void TreflectChaos::perturb(Point) {
    std::call_once(started, [] { threshold_.store(begin(std::getenv(kVariable))); });
    uint64_t const threshold = threshold_.load(std::memory_order_relaxed);
    if (nextDraw() >= threshold) return;
    uint64_t const r = nextDraw();
    unsigned const choice = static_cast<unsigned>(r >> 57);  // 0..127
    if (choice < 64) {
        sched_yield();
        return;
    }
    // Tens of microseconds mostly, a few milliseconds now and then.
    long const us = choice < 109 ? 1 + static_cast<long>(r % 200) : 200 + static_cast<long>(r % 3800);
    struct timespec const pause = {0, us * 1000};
    nanosleep(&pause, nullptr);
}
