// A test actor with an ORB of its own. Modes:
//   orb_test_actor serve           serves TestServer objects "adder" and "blocker"
//   orb_test_actor call <termid>   calls method 1 of object 1 at the termination
//                                  (hex) and reports the outcome
// It prints "READY" once its ORB is up, and logs to standard error.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "OSWrap.h"
#include "REFLECT_orb.h"
#include "TestSkeletons.h"

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    TreflectORB* orb = TreflectORB::getInstance(NSID_UNIT);
    if (std::strcmp(argv[1], "serve") == 0) {
        {
            RunPermissionGuard g;
            new orbtest::TestServer("adder", orb);
            new orbtest::TestServer("blocker", orb);
        }
        std::printf("READY\n");
        std::fflush(stdout);
        OSWrap::Thread::sleep(OSWrap::TimeSpec::INFINITETIME);
    }
    if (std::strcmp(argv[1], "call") == 0 && argc > 2) {
        Transport::TerminationId dest(std::strtoul(argv[2], nullptr, 16));
        std::printf("READY\n");
        std::fflush(stdout);
        TipprmiStream request(100), response(100);
        request << 1ul << true << orbtest::kTestClass << static_cast<unsigned long>(orbtest::kAdd) << 1l << 2l;
        request.msg().type(TreflectMessage::tPayld);
        bool ok = orb->forwardMsg_(dest, true, request.msg(), response);
        std::printf("RESULT %s\n", ok ? "ok" : "failed");
        return ok ? 0 : 1;
    }
    return 2;
}
