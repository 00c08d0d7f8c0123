#include "PollGate.h"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <vector>

namespace Transport {
namespace pollgate {
namespace {

// A small file of /proc or /sys, read with plain system calls: the receiving
// thread asks every second.
std::string readFile(std::string const& path) {
    std::string text;
    int const fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return text;
    char buf[4096];
    for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0 && text.size() < (1u << 20);) text.append(buf, size_t(n));
    ::close(fd);
    return text;
}

std::vector<std::string> split(std::string const& s, char sep) {
    std::vector<std::string> out;
    std::string item;
    std::istringstream in(s);
    while (std::getline(in, item, sep)) out.push_back(item);
    return out;
}

bool hasToken(std::string const& list, std::string const& token) {
    for (auto const& t : split(list, ','))
        if (t == token) return true;
    return false;
}

// The path of this process in the hierarchy whose controller list passes
// `wanted` ("" for the cgroup v2 one); false when it has none.
template <class Wanted>
bool pathIn(std::string const& procCgroup, Wanted wanted, std::string& path) {
    std::istringstream in(procCgroup);
    for (std::string line; std::getline(in, line);) {
        size_t const a = line.find(':'), b = line.find(':', a + 1);
        if (a == std::string::npos || b == std::string::npos) continue;
        if (wanted(line.substr(a + 1, b - a - 1))) {
            path = line.substr(b + 1);
            return true;
        }
    }
    return false;
}

// CPUs' worth of one group's quota; 0 when it has none.
double quotaAt(std::string const& dir, bool v2) {
    if (v2) {
        std::istringstream in(readFile(dir + "/cpu.max"));
        std::string quota;
        double period = 0;
        if (!(in >> quota >> period) || quota == "max" || period <= 0) return 0;
        return std::atof(quota.c_str()) / period;
    }
    double const quota = std::atof(readFile(dir + "/cpu.cfs_quota_us").c_str());
    double const period = std::atof(readFile(dir + "/cpu.cfs_period_us").c_str());
    return quota > 0 && period > 0 ? quota / period : 0;
}

double tighter(double a, double b) { return a <= 0 ? b : (b <= 0 ? a : (a < b ? a : b)); }

}  // namespace

double cgroupCpuLimit(std::string const& procCgroup, std::string const& mountinfo) {
    double limit = 0;
    std::istringstream in(mountinfo);
    for (std::string line; std::getline(in, line);) {
        // id parent major:minor root mount-point options [optional...] - type source super-options
        size_t const dash = line.find(" - ");
        if (dash == std::string::npos) continue;
        std::istringstream left(line.substr(0, dash)), right(line.substr(dash + 3));
        std::string id, parent, device, root, mountPoint, type, source, superOptions;
        if (!(left >> id >> parent >> device >> root >> mountPoint) || !(right >> type >> source >> superOptions))
            continue;
        bool const v2 = type == "cgroup2";
        if (!v2 && !(type == "cgroup" && hasToken(superOptions, "cpu"))) continue;
        std::string path;
        bool const found = v2 ? pathIn(procCgroup, [](std::string const& c) { return c.empty(); }, path)
                              : pathIn(procCgroup, [](std::string const& c) { return hasToken(c, "cpu"); }, path);
        // A group outside what is mounted here (another namespace's) is not ours to read.
        bool const under = root == "/" || (path.compare(0, root.size(), root) == 0 &&
                                           (path.size() == root.size() || path[root.size()] == '/'));
        if (!found || !under) continue;
        std::string rel = root == "/" ? path : path.substr(root.size());
        for (;;) {
            limit = tighter(limit, quotaAt(mountPoint + (rel == "/" ? "" : rel), v2));
            size_t const up = rel.find_last_of('/');
            if (rel.empty() || rel == "/" || up == std::string::npos) break;
            rel = up == 0 ? "/" : rel.substr(0, up);
        }
    }
    return limit;
}

double cgroupCpuLimit() { return cgroupCpuLimit(readFile("/proc/self/cgroup"), readFile("/proc/self/mountinfo")); }

bool threadMayLook() {
    if (::sched_getscheduler(0) != SCHED_OTHER) return false;
    double const limit = cgroupCpuLimit();
    return limit <= 0 || limit >= 2;
}

bool canRunBeside(pid_t pid) {
    cpu_set_t ours, theirs;
    if (::sched_getaffinity(0, sizeof ours, &ours) != 0 || ::sched_getaffinity(pid, sizeof theirs, &theirs) != 0)
        return false;
    CPU_OR(&theirs, &theirs, &ours);
    return CPU_COUNT(&theirs) > 1;
}

}  // namespace pollgate
}  // namespace Transport
