// A test actor with an ORB of its own; prints "READY" once the ORB is up.
//   orb_test_actor serve           serves TestServer objects "adder" and "blocker"
//   orb_test_actor call <termid>   calls method 1 of object 1 at the termination
//                                  (hex); exits 0 when the call succeeds
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "OSWrap.h"
#include "REFLECT_orb.h"
#include "TestSkeletons.h"

int main(int argc, char** argv) {
    bool const serve = argc == 2 && std::strcmp(argv[1], "serve") == 0;
    if (!serve && !(argc == 3 && std::strcmp(argv[1], "call") == 0)) return 2;
    TreflectORB* orb = TreflectORB::getInstance(NSID_UNIT);
    if (serve) {
        RunPermissionGuard g;
        new orbtest::TestServer("adder", orb);
        new orbtest::TestServer("blocker", orb);
    }
    std::printf("READY\n");
    std::fflush(stdout);
    if (serve) OSWrap::Thread::sleep(OSWrap::TimeSpec::INFINITETIME);
    TipprmiStream request(100), response(100);
    request << 1ul << true << orbtest::kTestClass << static_cast<unsigned long>(orbtest::kAdd) << 1l << 2l;
    request.msg().type(TreflectMessage::tPayld);
    Transport::TerminationId const dest(std::strtoul(argv[2], nullptr, 16));
    return orb->forwardMsg_(dest, true, request.msg(), response) ? 0 : 1;
}
