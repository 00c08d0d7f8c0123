// One minimal two-way ORB call between two processes (request header, status
// container, one 4-byte result) against the raw transport round trip and a
// plain SOCK_SEQPACKET ping-pong, measured in one run with the same placement
// (client on cpu 0, servers on cpu 1), interleaved round by round.
//
// Usage: orb_bench [calls per round, default 20000] [rounds, default 5]
#include <sched.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "IPPRMI_objectSkeleton.h"
#include "BenchUtil.h"
#include "NodeServiceProcess.h"
#include "REFLECT_orb.h"
#include "Transport.h"

namespace {

using namespace bench;
using Transport::AddressedMessage;
using Transport::TerminationId;

// The sizes of the ORB call: 12-byte header, iptr_, 16-byte call header;
// the answer carries an 8-byte status and a 4-byte result.
constexpr unsigned kRequestSize = 32;
constexpr unsigned kResponseSize = 28;
constexpr unsigned short kEchoNameId = 0x0311, kOrbServerNameId = 0x0312, kClientNameId = 0x0313;
constexpr unsigned long kBenchClass = 0xBE;



void becomeActor(unsigned short nameId) {
    ::setenv("TOPADAPTER_NAME_ID", std::to_string(nameId).c_str(), 1);
    Transport::IdInfo::instance().reload();
}

// Blocks until the parent closes its end of `fd`.
void serveUntilClosed(int fd) {
    char dummy;
    while (::read(fd, &dummy, 1) > 0) {
    }
}

// ---- plain ping-pong ----

void plainServer(int fd) {
    pin(1);
    unsigned char buf[256];
    for (;;) {
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) ::_exit(0);
        ::send(fd, buf, kResponseSize, 0);
    }
}

void plainCalls(int fd, unsigned n, std::vector<double>* rtt) {
    unsigned char buf[256] = {1};
    for (unsigned i = 0; i < n; ++i) {
        auto t = Clock::now();
        ::send(fd, buf, kRequestSize, 0);
        ::recv(fd, buf, sizeof buf, 0);
        if (rtt) rtt->push_back(usSince(t));
    }
}

// ---- raw transport: a caller thread waits for the receiving thread ----

class EchoTermination : public Transport::TerminationImpl {
public:
    explicit EchoTermination(TerminationId id) : TerminationImpl(id, "echo") {}
    ~EchoTermination() override { stop(); }
    void receive(AddressedMessage const& m) override {
        AddressedMessage r = allocateMessage(kResponseSize, 4);
        std::memcpy(r.rawBuf(), m.rawBuf(), 4);
        r.setDestination(m.originator());
        issue(r);
    }
};

class CallerTermination : public Transport::TerminationImpl {
public:
    CallerTermination(TerminationId id, TerminationId server) : TerminationImpl(id, "caller"), server_(server) {}
    ~CallerTermination() override { stop(); }
    void receive(AddressedMessage const&) override {
        std::lock_guard<std::mutex> lock(mutex_);
        answered_ = true;
        cv_.notify_one();
    }
    void calls(unsigned n, std::vector<double>& rtt) {
        Transport::Termination& to = Transport::TransportLayer::instance().getTermination(server_);
        for (unsigned i = 0; i < n; ++i) {
            auto t = Clock::now();
            {
                std::lock_guard<std::mutex> lock(mutex_);
                answered_ = false;
            }
            AddressedMessage m = allocateMessage(kRequestSize, 4);
            to.issue(m);
            std::unique_lock<std::mutex> lock(mutex_);
            cv_.wait(lock, [&] { return answered_; });
            rtt.push_back(usSince(t));
        }
    }

private:
    TerminationId server_;
    std::mutex mutex_;
    std::condition_variable cv_;
    bool answered_ = false;
};

// ---- ORB ----

class BenchServer : public TipprmiObjectSkeleton {
public:
    BenchServer(TreflectORB* orb) : TipprmiObjectSkeleton(orb, TipprmiOID("bench")) {}
    bool dispatch(bool t, unsigned long cc, unsigned long mc, TipprmiStream& in, TipprmiStream& out) override {
        if (cc != kBenchClass) return TipprmiObjectSkeleton::dispatch(t, cc, mc, in, out);
        prepareResponseStream_(out);
        out << mc;
        return true;
    }
};

void orbServer(int fd) {
    pin(1);
    becomeActor(kOrbServerNameId);
    TreflectORB* orb = TreflectORB::getInstance(NSID_UNIT);
    {
        RunPermissionGuard g;
        new BenchServer(orb);
    }
    char ok = 'y';
    if (::write(fd, &ok, 1) != 1) ::_exit(1);
    serveUntilClosed(fd);
    ::_exit(0);
}

void echoServer(int fd) {
    pin(1);
    becomeActor(kEchoNameId);
    EchoTermination echo(TerminationId(kEchoNameId, 1, Transport::GroupId(1)));
    char ok = echo.start() ? 'y' : 'n';
    if (::write(fd, &ok, 1) != 1) ::_exit(1);
    serveUntilClosed(fd);
    echo.stop();
    ::_exit(0);
}

bool orbCall(TreflectORB::TreflectObjectLocation const& where, unsigned long mc) {
    TipprmiStream request(100), response(100);
    request << where.getInternalOID() << true << kBenchClass << mc;
    if (!TreflectORB::getInstance(NSID_UNIT)->forwardMsg(where.orbId(), true, request, response)) return false;
    TipprmiExceptionContainer status;
    unsigned long result = 0;
    response >> status >> result;
    return status.getExceptionType() == 0 && result == mc;
}

void orbCalls(TreflectORB::TreflectObjectLocation const& where, unsigned n, std::vector<double>* rtt) {
    for (unsigned i = 0; i < n; ++i) {
        auto t = Clock::now();
        if (!orbCall(where, i)) std::fprintf(stderr, "orb call %u failed\n", i);
        if (rtt) rtt->push_back(usSince(t));
    }
}

// Calls per second of `threads` callers sharing `n` calls.
template <class F>
double callsPerSecond(unsigned threads, unsigned n, F body) {
    std::vector<std::thread> ts;
    auto t = Clock::now();
    for (unsigned k = 0; k < threads; ++k) ts.emplace_back([&] { body(n / threads); });
    for (auto& th : ts) th.join();
    return (n / threads * threads) / (usSince(t) / 1e6);
}






}  // namespace

int main(int argc, char** argv) {
    unsigned n, rounds;
    if (!bench::parseArgs(argc, argv, 20000, 5, "calls", &n, &rounds)) return 1;
    bench::Node node;
    if (!node.start()) return 1;

    // Servers are forked before this process has any thread of its own.
    int plainFd, echoFd, orbFd;
    pid_t plainPid = bench::forkServer(plainServer, SOCK_SEQPACKET, &plainFd);
    pid_t echoPid = bench::forkServer(echoServer, SOCK_STREAM, &echoFd);
    pid_t orbPid = bench::forkServer(orbServer, SOCK_STREAM, &orbFd);
    if (!bench::serverReady(echoFd) || !bench::serverReady(orbFd)) {
        std::fprintf(stderr, "servers did not start\n");
        return 1;
    }

    pin(0);  // before the client's threads exist: they inherit it
    becomeActor(kClientNameId);
    CallerTermination caller(TerminationId(kClientNameId, 1, Transport::GroupId(2)),
                             TerminationId(kEchoNameId, 1, Transport::GroupId(1)));
    if (!caller.start()) return 1;
    TreflectORB::TreflectObjectLocation bench;
    {
        RunPermissionGuard g;
        bench = TreflectORB::getInstance(NSID_UNIT)->locateObject(TipprmiOID("bench"));
    }
    if (bench.getInternalOID() == 0 || !orbCall(bench, 7)) {
        std::fprintf(stderr, "bench object not reached\n");
        return 1;
    }

    {  // warm-up: connections, caches, allocator pools, workers
        std::vector<double> w;
        plainCalls(plainFd, 2000, &w);
        caller.calls(2000, w);
        orbCalls(bench, 2000, &w);
        callsPerSecond(4, 2000, [&](unsigned k) { orbCalls(bench, k, nullptr); });
    }
    std::vector<double> rttPlain, rttTransport, rttOrb, cpsPlain, cpsOrb1, cpsOrb4;
    for (unsigned r = 0; r < rounds; ++r) {
        plainCalls(plainFd, n, &rttPlain);
        caller.calls(n, rttTransport);
        orbCalls(bench, n, &rttOrb);
        cpsPlain.push_back(callsPerSecond(1, n, [&](unsigned k) { plainCalls(plainFd, k, nullptr); }));
        cpsOrb1.push_back(callsPerSecond(1, n, [&](unsigned k) { orbCalls(bench, k, nullptr); }));
        cpsOrb4.push_back(callsPerSecond(4, n, [&](unsigned k) { orbCalls(bench, k, nullptr); }));
    }
    Stats p = stats(rttPlain), t = stats(rttTransport), o = stats(rttOrb);
    double cp = medianOf(cpsPlain), c1 = medianOf(cpsOrb1), c4 = medianOf(cpsOrb4);
    std::printf("two-way call, %u x %u calls per variant, client cpu 0, servers cpu 1\n", rounds, n);
    std::printf("  %-36s median %7.2f us  p99 %7.2f us\n", "plain SOCK_SEQPACKET ping-pong", p.median, p.p99);
    std::printf("  %-36s median %7.2f us  p99 %7.2f us   ratio %.2fx / %.2fx\n", "raw transport round trip", t.median,
                t.p99, t.median / p.median, t.p99 / p.p99);
    std::printf("  %-36s median %7.2f us  p99 %7.2f us   ratio %.2fx / %.2fx\n", "ORB call", o.median, o.p99,
                o.median / p.median, o.p99 / p.p99);
    std::printf("calls per second (median of %u rounds)\n", rounds);
    std::printf("  %-36s %10.0f calls/s\n", "plain ping-pong", cp);
    std::printf("  %-36s %10.0f calls/s   ratio %.2fx\n", "ORB, 1 calling thread", c1, c1 / cp);
    std::printf("  %-36s %10.0f calls/s   ratio %.2fx\n", "ORB, 4 calling threads", c4, c4 / cp);

    caller.stop();
    ::close(plainFd);
    ::close(echoFd);
    ::close(orbFd);
    ::kill(orbPid, SIGKILL);  // its workers serve for ever
    ::waitpid(plainPid, nullptr, 0);
    ::waitpid(echoPid, nullptr, 0);
    ::waitpid(orbPid, nullptr, 0);
    return 0;
}
