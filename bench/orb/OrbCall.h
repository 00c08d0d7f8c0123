// The ORB call of the ORB benchmark, shared by its rounds (OrbBench.cpp) and
// its peer line (PeerLine.cpp): the server process with its objects, and one
// minimal two-way call (request header, status container, one 4-byte result).
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <string>

#include "BenchUtil.h"
#include "IPPRMI_objectSkeleton.h"
#include "REFLECT_orb.h"
#include "TopFlowServer.h"
#include "Transport.h"

namespace orbcall {

// The sizes of the ORB call: 12-byte header, iptr_, 16-byte call header;
// the answer carries an 8-byte status and a 4-byte result.
constexpr unsigned kRequestSize = 32;
constexpr unsigned kResponseSize = 28;
constexpr unsigned short kEchoNameId = 0x0311, kOrbServerNameId = 0x0312, kClientNameId = 0x0313,
                         kModelNameId = 0x0314;
constexpr unsigned long kBenchClass = 0xBE;

inline void becomeActor(unsigned short nameId) {
    ::setenv("TOPADAPTER_NAME_ID", std::to_string(nameId).c_str(), 1);
    Transport::IdInfo::instance().reload();
}

// Blocks until the parent closes its end of `fd`.
inline void serveUntilClosed(int fd) {
    char dummy;
    while (::read(fd, &dummy, 1) > 0) {
    }
}

// Puts this process on the cpu the environment variable `name` gives, or on
// `fallback`; -1 leaves it where it may run.
inline void placeFromEnv(char const* name, int fallback) {
    char const* v = std::getenv(name);
    int const cpu = v && *v ? std::atoi(v) : fallback;
    if (cpu >= 0) bench::pin(cpu);
}

class BenchServer : public TipprmiObjectSkeleton {
public:
    explicit BenchServer(TreflectORB* orb) : TipprmiObjectSkeleton(orb, TipprmiOID("bench")) {}
    bool dispatch(bool t, unsigned long cc, unsigned long mc, TipprmiStream& in, TipprmiStream& out) override {
        if (cc != kBenchClass) return TipprmiObjectSkeleton::dispatch(t, cc, mc, in, out);
        prepareResponseStream_(out);
        out << mc;
        return true;
    }
};

// The generated side of a call of the same size: header, status, a short.
class BenchFlow : public TopFlowServerBase {
public:
    BenchFlow() : TopFlowServerBase(TipprmiOID("benchflow"), nullptr, "benchflow") {}
    short getLogMeanSyncValue() override { return 7; }
};

// Serves "bench" and "benchflow" on ORB_BENCH_SERVER_CPU (default 1; -1:
// anywhere) until the parent closes `fd`.
inline void orbServer(int fd) {
    placeFromEnv("ORB_BENCH_SERVER_CPU", 1);
    becomeActor(kOrbServerNameId);
    TreflectORB* orb = TreflectORB::getInstance(NSID_UNIT);
    {
        RunPermissionGuard g;
        new BenchServer(orb);
        new BenchFlow;
    }
    char ok = 'y';
    if (::write(fd, &ok, 1) != 1) ::_exit(1);
    serveUntilClosed(fd);
    ::_exit(0);
}

inline bool orbCall(TreflectORB::TreflectObjectLocation const& where, unsigned long mc) {
    TipprmiStream request(100), response(100);
    request << where.getInternalOID() << true << kBenchClass << mc;
    if (!TreflectORB::getInstance(NSID_UNIT)->forwardMsg(where.orbId(), true, request, response)) return false;
    TipprmiExceptionContainer status;
    unsigned long result = 0;
    response >> status >> result;
    return status.getExceptionType() == 0 && result == mc;
}

// orb_bench --peer-line ...: PeerLine.cpp.
int peerLine(int argc, char** argv);

}  // namespace orbcall
