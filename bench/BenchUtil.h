// Shared pieces of the benchmarks: placement, timing and statistics.
#pragma once

#include <sched.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

// Runs this process (and the threads it creates afterwards) on one cpu.
inline void pin(int cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    if (sched_setaffinity(0, sizeof set, &set) != 0) std::perror("sched_setaffinity");
}

inline double usSince(Clock::time_point t) {
    return std::chrono::duration<double, std::micro>(Clock::now() - t).count();
}

struct Stats {
    double median, p99;
};

inline Stats stats(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return Stats{v[v.size() / 2], v[v.size() * 99 / 100]};
}

inline double medianOf(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace bench
