// Where the receiving thread may look for its next frame instead of
// sleeping. Looking only pays while the frame's producer runs on another
// CPU meanwhile: never for a thread of a real-time or other policy than the
// default one (it would keep the producer off its CPU, or spin at a priority
// nothing else gets), never where this process and its peer share one CPU,
// never in a control group allowed less than two CPUs' worth of time.
#pragma once

#include <sys/types.h>

#include <string>

namespace Transport {
namespace pollgate {

// CPUs' worth of time the control groups of a process allow, the tightest
// quota along its path (cgroup v2 cpu.max; v1 cpu.cfs_quota_us over
// cpu.cfs_period_us); 0 when nothing limits it. `procCgroup` and
// `mountinfo` are the texts of the process's /proc/<pid>/cgroup and
// /proc/<pid>/mountinfo; the limits are read from the mounted hierarchies.
double cgroupCpuLimit(std::string const& procCgroup, std::string const& mountinfo);
// The same for this process.
double cgroupCpuLimit();

// Whether the calling thread may look: the default policy (SCHED_OTHER),
// and a control group that allows at least two CPUs.
bool threadMayLook();

// Whether process `pid` and the calling thread may together use more than
// one CPU.
bool canRunBeside(pid_t pid);

}  // namespace pollgate
}  // namespace Transport
