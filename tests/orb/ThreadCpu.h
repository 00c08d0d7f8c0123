// CPU time of the threads of a process, by name, from /proc: what the
// tests of the answer poll compare with the time the threads spent waiting.
#pragma once

#include <dirent.h>
#include <sys/types.h>

#include <fstream>
#include <string>

namespace orbtest {

// Calls `f(dir)` with the /proc directory of each thread of `pid` called `name`.
template <typename F>
void forThreads(pid_t pid, std::string const& name, F f) {
    std::string const dir = "/proc/" + std::to_string(pid) + "/task/";
    DIR* d = ::opendir(dir.c_str());
    while (struct dirent* e = d ? ::readdir(d) : nullptr) {
        std::string comm;
        std::getline(std::ifstream(dir + e->d_name + "/comm"), comm);
        if (comm == name) f(dir + e->d_name);
    }
    if (d) ::closedir(d);
}

// Microseconds the threads of `pid` called `name` have run (schedstat).
inline double threadCpuUs(pid_t pid, std::string const& name) {
    double us = 0;
    forThreads(pid, name, [&](std::string const& t) {
        double ns = 0;
        if (std::ifstream(t + "/schedstat") >> ns) us += ns / 1000;
    });
    return us;
}

// How often the threads of `pid` called `name` went to sleep: each sleep
// but the current one ended in a wake-up.
inline long threadSleeps(pid_t pid, std::string const& name) {
    long n = 0;
    forThreads(pid, name, [&](std::string const& t) {
        std::ifstream status(t + "/status");
        for (std::string line; std::getline(status, line);)
            if (line.compare(0, 24, "voluntary_ctxt_switches:") == 0) n += std::stol(line.substr(24));
    });
    return n;
}

}  // namespace orbtest
