// Shared pieces of the benchmarks: placement, timing and statistics.
#pragma once

#include <sched.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "NodeServiceProcess.h"

extern char** environ;

namespace bench {

using Clock = std::chrono::steady_clock;

// Seconds since midnight UTC, as the log records print their time.
inline double recordTimeOfDay() {
    timeval tv;
    gettimeofday(&tv, nullptr);
    return double(tv.tv_sec % 86400) + tv.tv_usec / 1e6;
}

// Time of day of the last record in `log` holding `text`, or -1.
inline double lastRecordTime(std::string const& log, std::string const& text) {
    std::ifstream in(log);
    double t = -1;
    for (std::string line; std::getline(in, line);) {
        int h, m;
        double s;
        if (line.find(text) != std::string::npos && std::sscanf(line.c_str(), "%d:%d:%lf", &h, &m, &s) == 3)
            t = h * 3600.0 + m * 60.0 + s;
    }
    return t;
}

// Starts `exe` with `args`; `env` ("NAME=value") replaces the inherited
// settings of the same names. 0 when it cannot be started.
inline pid_t spawn(std::string const& exe, std::vector<std::string> args, std::vector<std::string> env) {
    std::vector<char*> argv{const_cast<char*>(exe.c_str())}, envp;
    for (auto& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    auto overridden = [&](char const* e) {
        for (auto const& o : env)
            if (o.compare(0, o.find('=') + 1, e, 0, o.find('=') + 1) == 0) return true;
        return false;
    };
    for (char** e = environ; *e; ++e)
        if (!overridden(*e)) envp.push_back(*e);
    for (auto& e : env) envp.push_back(&e[0]);
    envp.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawn(&pid, exe.c_str(), nullptr, nullptr, argv.data(), envp.data()) != 0) return 0;
    return pid;
}

// Polls `pred` every `pollUs` until it holds (true) or `seconds` have passed.
template <class Pred>
bool waitFor(Pred pred, double seconds, unsigned pollUs = 200) {
    auto end = Clock::now() + std::chrono::duration<double>(seconds);
    while (!pred()) {
        if (Clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(pollUs));
    }
    return true;
}


// Runs this process (and the threads it creates afterwards) on one cpu; a
// process confined to other cpus from outside (taskset -c 0: every process
// on one cpu, as on a single-core card) runs on the first of those instead.
inline void pin(int cpu) {
    static cpu_set_t const outer = [] {
        cpu_set_t s;
        if (sched_getaffinity(0, sizeof s, &s) != 0) CPU_ZERO(&s);
        return s;
    }();
    if (CPU_COUNT(&outer) > 0 && !CPU_ISSET(cpu, &outer))
        for (cpu = 0; !CPU_ISSET(cpu, &outer); ++cpu) {
        }
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

// "[count per round] [rounds]" with defaults; false (after a usage line) when out of range.
inline bool parseArgs(int argc, char** argv, unsigned defaultCount, unsigned defaultRounds, char const* what,
                      unsigned* count, unsigned* rounds) {
    *count = argc > 1 ? unsigned(std::atoi(argv[1])) : defaultCount;
    *rounds = argc > 2 ? unsigned(std::atoi(argv[2])) : defaultRounds;
    if (*count >= 100 && *rounds >= 1) return true;
    std::fprintf(stderr, "usage: %s [%s per round >= 100] [rounds >= 1]\n", argv[0], what);
    return false;
}

// A private node with its membership service for one benchmark run,
// removed again at the end.
class Node {
public:
    bool start() {
        ::setenv("TOPADAPTER_QUIET", "1", 1);
        dir_ = Transport::NodeServiceProcess::useFreshNodeDirectory();
        return service_.start();
    }
    pid_t servicePid() const { return service_.pid(); }
    ~Node() {
        service_.stop();
        std::string rm = "rm -rf '" + dir_ + "'";
        if (!dir_.empty() && std::system(rm.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", dir_.c_str());
    }

private:
    std::string dir_;
    Transport::NodeServiceProcess service_;
};

// Forks `server`, connected to this process by a socket pair of `type`;
// the child never returns. Call before this process has threads of its own.
inline pid_t forkServer(void (*server)(int), int type, int* parentEnd) {
    int fds[2];
    ::socketpair(AF_UNIX, type, 0, fds);
    pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        server(fds[1]);
        ::_exit(0);
    }
    ::close(fds[1]);
    *parentEnd = fds[0];
    return pid;
}

// A forked server writes 'y' once it serves.
inline bool serverReady(int fd) {
    char ok = 0;
    return ::read(fd, &ok, 1) == 1 && ok == 'y';
}

}  // namespace bench
