// A test actor with an ORB of its own; prints "READY" once the ORB is up.
//   orb_test_actor serve           serves TestServer objects "adder" and "blocker"
//   orb_test_actor call <termid>   calls method 1 of object 1 at the termination
//                                  (hex); exits 0 when the call succeeds
//   orb_test_actor calls <termid> <count> <gap ms> <answer ms>
//                                  calls object 1 there <count> times, <gap ms>
//                                  apart, each answered after <answer ms>; then
//                                  prints "RECEIVING_CPU_US <us>" and
//                                  "RECEIVING_SLEEPS <n>": what its receiving
//                                  thread ran meanwhile, and how often it slept
// --cpu N puts the actor on cpu N; --realtime gives the threads its ORB starts
// (the transport's receiving thread among them) SCHED_FIFO, or SCHED_BATCH
// where that is not permitted, while the main thread keeps SCHED_OTHER.
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "OSWrap.h"
#include "REFLECT_orb.h"
#include "TestSkeletons.h"
#include "ThreadCpu.h"

namespace {

bool setPolicy(int policy, int priority) {
    struct sched_param p = {};
    p.sched_priority = priority;
    return pthread_setschedparam(pthread_self(), policy, &p) == 0;
}

// Applies --cpu N, removes it and --realtime.
std::vector<std::string> placed(int argc, char** argv, bool& realtime) {
    std::vector<std::string> rest;
    for (int i = 1; i < argc; ++i) {
        std::string const a = argv[i];
        if (a == "--cpu" && i + 1 < argc) {
            cpu_set_t set;
            CPU_ZERO(&set);
            CPU_SET(std::atoi(argv[++i]), &set);
            if (::sched_setaffinity(0, sizeof set, &set) != 0) std::perror("sched_setaffinity");
        } else if (a == "--realtime") {
            realtime = true;
        } else {
            rest.push_back(a);
        }
    }
    return rest;
}

bool call(TreflectORB* orb, Transport::TerminationId dest, unsigned long mc, long arg) {
    TipprmiStream request(100), response(100);
    request << 1ul << true << orbtest::kTestClass << mc << arg;
    if (mc == orbtest::kAdd) request << 2l;
    request.msg().type(TreflectMessage::tPayld);
    return orb->forwardMsg_(dest, true, request.msg(), response);
}

}  // namespace

int main(int argc, char** argv) {
    bool realtime = false;
    std::vector<std::string> const args = placed(argc, argv, realtime);
    std::string const mode = args.empty() ? "" : args[0];
    bool const serve = args.size() == 1 && mode == "serve";
    if (!serve && !(args.size() == 2 && mode == "call") && !(args.size() == 5 && mode == "calls")) return 2;
    if (realtime && !setPolicy(SCHED_FIFO, 1) && !setPolicy(SCHED_BATCH, 0)) std::perror("SCHED_BATCH");
    TreflectORB* orb = TreflectORB::getInstance(NSID_UNIT);
    if (realtime) setPolicy(SCHED_OTHER, 0);
    if (serve) {
        RunPermissionGuard g;
        new orbtest::TestServer("adder", orb);
        new orbtest::TestServer("blocker", orb);
    }
    std::printf("READY\n");
    std::fflush(stdout);
    if (serve) OSWrap::Thread::sleep(OSWrap::TimeSpec::INFINITETIME);
    Transport::TerminationId const dest(std::strtoul(args[1].c_str(), nullptr, 16));
    if (mode == "call") return call(orb, dest, orbtest::kAdd, 1) ? 0 : 1;

    int const count = std::atoi(args[2].c_str()), gapMs = std::atoi(args[3].c_str());
    long const answerMs = std::atol(args[4].c_str());
    double const before = orbtest::threadCpuUs(::getpid(), "TrspRecv");
    long const sleptBefore = orbtest::threadSleeps(::getpid(), "TrspRecv");
    int failed = 0;
    for (int i = 0; i < count; ++i) {
        if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(gapMs));
        failed += !call(orb, dest, orbtest::kSleep, answerMs);
    }
    std::printf("RECEIVING_CPU_US %.0f\n", orbtest::threadCpuUs(::getpid(), "TrspRecv") - before);
    std::printf("RECEIVING_SLEEPS %ld\n", orbtest::threadSleeps(::getpid(), "TrspRecv") - sleptBefore);
    std::fflush(stdout);
    return failed;
}
