// orb_bench --peer-line: only the ORB call between two processes, printed as
// one line beside the peer benchmarks' (their harness prints the same fields):
//   RESULT system=ORB transport=T threads=N calls=C secs=S med_us=M p99_us=P cps=X cpu_us_per_call=Y
//   SERVER cpu_us=Z
// cpu_us_per_call is this process's CPU time over the measured phase divided
// by its calls; Z is the server process's whole CPU time, warm-up included.
// The client runs on ORB_BENCH_CLIENT_CPU (default 0), the server on
// ORB_BENCH_SERVER_CPU (default 1); -1 leaves a process unpinned. --pace-us P
// starts one call every P us per thread, sleeping between, as sparse traffic
// does.
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "BenchUtil.h"
#include "OrbCall.h"

namespace orbcall {
namespace {

struct Options {
    unsigned threads = 1;
    double secs = 3.0;       // bound of the measured phase
    size_t maxCalls = 200000;  // per thread
    size_t warmup = 2000;      // per thread, not measured
    double paceUs = 0;
};

bool parse(int argc, char** argv, Options& o) {
    for (int i = 2; i < argc; ++i) {
        std::string const a = argv[i];
        if (i + 1 >= argc) return false;
        char const* v = argv[++i];
        if (a == "--threads")
            o.threads = unsigned(std::atoi(v));
        else if (a == "--secs")
            o.secs = std::atof(v);
        else if (a == "--max")
            o.maxCalls = std::strtoull(v, nullptr, 10);
        else if (a == "--warmup")
            o.warmup = std::strtoull(v, nullptr, 10);
        else if (a == "--pace-us")
            o.paceUs = std::atof(v);
        else
            return false;
    }
    return o.threads >= 1 && o.secs > 0;
}

double processCpuUs(int who) {
    rusage ru;
    getrusage(who, &ru);
    return (ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1e6 + ru.ru_utime.tv_usec + ru.ru_stime.tv_usec;
}

uint64_t nowNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000000000u + uint64_t(ts.tv_nsec);
}

void sleepUntil(uint64_t ns) {
    uint64_t const now = nowNs();
    if (ns <= now) return;
    timespec d{time_t((ns - now) / 1000000000u), long((ns - now) % 1000000000u)};
    nanosleep(&d, nullptr);
}

}  // namespace

int peerLine(int argc, char** argv) {
    // A reader that stops at the RESULT line must not make us fail.
    std::signal(SIGPIPE, SIG_IGN);
    Options o;
    if (!parse(argc, argv, o)) {
        std::fprintf(stderr,
                     "usage: %s --peer-line [--threads N] [--secs S] [--max M] [--warmup W] [--pace-us P]\n",
                     argv[0]);
        return 2;
    }
    bench::Node node;
    if (!node.start()) return 1;
    int serverFd;
    pid_t const server = bench::forkServer(orbServer, SOCK_STREAM, &serverFd);
    if (!bench::serverReady(serverFd)) {
        std::fprintf(stderr, "server did not start\n");
        return 1;
    }
    placeFromEnv("ORB_BENCH_CLIENT_CPU", 0);  // before the client's threads exist
    becomeActor(kClientNameId);
    TreflectORB::TreflectObjectLocation where;
    {
        RunPermissionGuard g;
        where = TreflectORB::getInstance(NSID_UNIT)->locateObject(TipprmiOID("bench"));
    }
    if (where.getInternalOID() == 0) {
        std::fprintf(stderr, "bench object not reached\n");
        return 1;
    }

    std::vector<std::vector<uint32_t>> latencies(o.threads);
    std::atomic<unsigned> ready{0}, failed{0};
    std::atomic<bool> go{false}, stop{false};
    std::vector<std::thread> callers;
    for (unsigned t = 0; t < o.threads; ++t)
        callers.emplace_back([&, t] {
            for (size_t i = 0; i < o.warmup; ++i) orbCall(where, i);
            std::vector<uint32_t>& mine = latencies[t];
            mine.reserve(std::min<size_t>(o.maxCalls, size_t(1) << 20));
            ready.fetch_add(1);
            while (!go.load(std::memory_order_acquire)) std::this_thread::yield();
            uint64_t next = nowNs();
            for (size_t i = 0; i < o.maxCalls && !stop.load(std::memory_order_relaxed); ++i) {
                if (o.paceUs > 0) {
                    next += uint64_t(o.paceUs * 1000);
                    sleepUntil(next);
                }
                uint64_t const t0 = nowNs();
                if (!orbCall(where, i)) failed.fetch_add(1);
                mine.push_back(uint32_t(std::min<uint64_t>(nowNs() - t0, UINT32_MAX)));
            }
        });
    while (ready.load() < o.threads) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    uint64_t const start = nowNs();
    double const cpu0 = processCpuUs(RUSAGE_SELF);
    go.store(true, std::memory_order_release);
    // The deadline stops every caller; with one thread --max usually ends it first.
    std::atomic<bool> joined{false};
    std::thread timer([&] {
        uint64_t const deadline = start + uint64_t(o.secs * 1e9);
        while (!joined.load() && nowNs() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        stop.store(true);
    });
    for (auto& c : callers) c.join();
    uint64_t const end = nowNs();
    double const cpu = processCpuUs(RUSAGE_SELF) - cpu0;
    joined.store(true);
    timer.join();

    std::vector<uint32_t> all;
    for (auto const& v : latencies) all.insert(all.end(), v.begin(), v.end());
    size_t const calls = all.size();
    auto percentile = [&](double p) {
        if (all.empty()) return 0.0;
        size_t k = std::min(all.size() - 1, size_t(p * double(all.size() - 1)));
        std::nth_element(all.begin(), all.begin() + long(k), all.end());
        return all[k] / 1000.0;
    };
    double const med = percentile(0.5), p99 = percentile(0.99), secs = double(end - start) / 1e9;
    std::printf("RESULT system=ORB transport=unix-seqpacket threads=%u calls=%zu secs=%.3f med_us=%.2f p99_us=%.2f "
                "cps=%.0f cpu_us_per_call=%.2f\n",
                o.threads, calls, secs, med, p99, calls / secs, calls ? cpu / double(calls) : 0.0);
    std::fflush(stdout);
    if (failed.load()) std::fprintf(stderr, "%u calls failed\n", failed.load());

    ::close(serverFd);  // the server ends; its CPU time comes with its exit status
    rusage ru;
    if (::wait4(server, nullptr, 0, &ru) == server)
        std::printf("SERVER cpu_us=%.0f\n", (ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1e6 + ru.ru_utime.tv_usec +
                                                ru.ru_stime.tv_usec);
    return failed.load() ? 1 : 0;
}

}  // namespace orbcall
