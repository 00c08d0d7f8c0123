// CPU time of the threads of a process, by name, from /proc: what the
// tests of the answer poll compare with the time the threads spent waiting.
#pragma once

#include <dirent.h>
#include <sys/types.h>

#include <fstream>
#include <string>

namespace orbtest {

// Microseconds the threads of `pid` called `name` have run (schedstat).
inline double threadCpuUs(pid_t pid, std::string const& name) {
    std::string const dir = "/proc/" + std::to_string(pid) + "/task/";
    double us = 0;
    DIR* d = ::opendir(dir.c_str());
    while (struct dirent* e = d ? ::readdir(d) : nullptr) {
        std::string comm;
        std::getline(std::ifstream(dir + e->d_name + "/comm"), comm);
        double ns = 0;
        if (comm == name && std::ifstream(dir + e->d_name + "/schedstat") >> ns) us += ns / 1000;
    }
    if (d) ::closedir(d);
    return us;
}

}  // namespace orbtest
