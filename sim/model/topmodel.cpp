// topmodel: the management-model actor of a simulated card.
//
// Usage: topmodel [--flow KEY:UNIT[:ADMIN[:A.B.C.D[:RATE]]]]... [--report SECONDS] [--interval SECONDS]
//   Serves TopServices, PhysicalServices, PsIntervalTimer and ModelControl,
//   and creates the flows given: KEY is the flow's event key, UNIT the unit it
//   belongs to, ADMIN its administrative state (1 unlocked, default 0) and
//   A.B.C.D its master address (default none), RATE its log mean sync value
//   (default 0), so that a restarted model holds the flows as they were.
//   With --report, a summary line (flows, what the task told the model,
//   alarms) is printed whenever it changed, at most every SECONDS. --interval
//   sets the performance interval (default 900; 0: it changes only through
//   ModelControl.changeOfInterval, as tests that count intervals want). More flows come and go through
//   ModelControl (topctl, tests). Prints "READY" once it serves, then runs
//   until killed; SIGTERM or SIGINT end it in order (exit status 0). The actor's identity comes from the environment as for
//   every actor of the node (TOPADAPTER_ACTOR, TOPADAPTER_NAME_ID, ...).
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "Model.h"
#include "REFLECT_orb.h"

namespace {

int usage() {
    std::fprintf(stderr,
                 "usage: topmodel [--flow KEY:UNIT[:ADMIN[:A.B.C.D[:RATE]]]]... [--report SECONDS] [--interval SECONDS]\n");
    return 2;
}

// Reachable until the end, so that a leak check at exit sees the model as held.
sim::Model* gModel = nullptr;

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("topmodel %s\n", TOPADAPTER_VERSION);
        return 0;
    }
    // Taken by the main thread alone: every thread started later inherits the mask.
    sigset_t ending;
    sigemptyset(&ending);
    sigaddset(&ending, SIGTERM);
    sigaddset(&ending, SIGINT);
    pthread_sigmask(SIG_BLOCK, &ending, nullptr);
    TreflectORB::getInstance(NSID_UNIT);
    sim::Model*& model = gModel;  // lives as long as the actor
    long report = 0, interval = 900;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--interval") == 0) interval = std::atol(argv[i + 1]);
    {
        RunPermissionGuard g;
        model = new sim::Model(interval);
        for (int i = 1; i < argc; ++i) {
            if (std::strcmp(argv[i], "--report") == 0 && i + 1 < argc) {
                report = std::atol(argv[++i]);
                continue;
            }
            if (std::strcmp(argv[i], "--interval") == 0 && i + 1 < argc) {
                ++i;
                continue;
            }
            unsigned long key = 0, unit = 0;
            long admin = 0;
            unsigned ip[4] = {0, 0, 0, 0};
            short rate = 0;
            if (std::strcmp(argv[i], "--flow") != 0 || i + 1 == argc ||
                std::sscanf(argv[++i], "%lu:%lu:%ld:%u.%u.%u.%u:%hd", &key, &unit, &admin, &ip[0], &ip[1], &ip[2],
                            &ip[3], &rate) < 2)
                return usage();
            TipprmiArray<short, 4> master;
            for (int k = 0; k < 4; ++k) master[k] = static_cast<short>(ip[k]);
            if (!model->createFlow(key, unit, admin, master, rate)) return usage();
        }
    }
    std::printf("READY\n");
    std::fflush(stdout);
    std::string last;
    for (;;) {
        struct timespec const period = OSWrap::TimeSpec(report, 0).toRealDuration();
        if (sigtimedwait(&ending, nullptr, report > 0 ? &period : nullptr) >= 0) return 0;
        if (report <= 0) continue;
        std::string now;
        {
            RunPermissionGuard g;
            // Asked as an operator's view would ask: the task answers with fresh driver information.
            // Each question waits without the run permission, and flows may go meanwhile.
            std::vector<unsigned long> keys;
            for (auto const& f : model->flows()) keys.push_back(f.first);
            for (unsigned long key : keys)
                if (sim::Flow* f = model->flow(key)) TopFlowClient(*f->object->getClient()).getDriverInfo();
            now = model->summary();
        }
        if (now == last) continue;
        std::printf("%s\n", now.c_str());
        std::fflush(stdout);
        last = now;
    }
}
