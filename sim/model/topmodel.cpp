// topmodel: the management-model actor of a simulated card.
//
// Usage: topmodel [--flow KEY:UNIT[:ADMIN[:A.B.C.D]]]...
//   Serves TopServices, PhysicalServices, PsIntervalTimer and ModelControl,
//   and creates the flows given: KEY is the flow's event key, UNIT the unit it
//   belongs to, ADMIN its administrative state (1 unlocked, default 0) and
//   A.B.C.D its master address (default none). More flows come and go through
//   ModelControl (topctl, tests). Prints "READY" once it serves, then runs
//   until killed. The actor's identity comes from the environment as for
//   every actor of the node (TOPADAPTER_ACTOR, TOPADAPTER_NAME_ID, ...).
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Model.h"
#include "REFLECT_orb.h"

namespace {

int usage() {
    std::fprintf(stderr, "usage: topmodel [--flow KEY:UNIT[:ADMIN[:A.B.C.D]]]...\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    TreflectORB::getInstance(NSID_UNIT);
    {
        RunPermissionGuard g;
        sim::Model* model = new sim::Model;  // lives as long as the actor
        for (int i = 1; i < argc; ++i) {
            unsigned long key = 0, unit = 0;
            long admin = 0;
            unsigned ip[4] = {0, 0, 0, 0};
            if (std::strcmp(argv[i], "--flow") != 0 || i + 1 == argc ||
                std::sscanf(argv[++i], "%lu:%lu:%ld:%u.%u.%u.%u", &key, &unit, &admin, &ip[0], &ip[1], &ip[2],
                            &ip[3]) < 2)
                return usage();
            sim::Flow* flow = model->createFlow(key, unit);
            if (!flow) return usage();
            flow->admin->value = admin;
            for (int k = 0; k < 4; ++k) flow->state.masterIp[k] = static_cast<short>(ip[k]);
        }
    }
    std::printf("READY\n");
    std::fflush(stdout);
    OSWrap::Thread::sleep(OSWrap::TimeSpec::INFINITETIME);
    return 0;
}
