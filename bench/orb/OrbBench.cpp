// One minimal two-way ORB call between two processes (request header, status
// container, one 4-byte result) against the raw transport round trip and a
// plain SOCK_SEQPACKET ping-pong, measured in one run with the same placement
// (client on cpu 0, servers on cpu 1), interleaved round by round.
//
// In the same rounds, against a model server process:
// - a post-observed operation: the client calls it, the server stamps
//   CLOCK_MONOTONIC (system-wide, so comparable across processes) just before
//   it notifies and sends the stamp as the notification's arguments; the
//   client's observer callback subtracts it from its own first reading. That
//   is the latency from the operation to the callback, one way.
// - a creation subscription (tOCNSU) answered with the 250..2000 instances of
//   a class, timed around registerForOCN at the client, handles included.
//
// And a generated proxy call (TopFlowClient::getLogMeanSyncValue through the
// call helpers and the generated server base) against the plain ORB call.
//
// Usage: orb_bench [calls per round, default 20000] [rounds, default 5]
//        orb_bench --peer-line [--threads N] [--secs S] [--max M] [--warmup W] [--pace-us P]
//            only the ORB call, as one RESULT line beside the peer benchmarks' (PeerLine.cpp)
#include <sched.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "BenchUtil.h"
#include "IPPRMI_objectSkeleton.h"
#include "NodeServiceProcess.h"
#include "OrbCall.h"
#include "REFLECT_ObserverSkeleton.h"
#include "REFLECT_metaObject.h"
#include "REFLECT_orb.h"
#include "TopFlowServer.h"
#include "Transport.h"

namespace {

using namespace bench;
using namespace orbcall;
using Transport::AddressedMessage;
using Transport::TerminationId;

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

void orbCalls(TreflectORB::TreflectObjectLocation const& where, unsigned n, std::vector<double>* rtt) {
    for (unsigned i = 0; i < n; ++i) {
        auto t = Clock::now();
        if (!orbCall(where, i)) std::fprintf(stderr, "orb call %u failed\n", i);
        if (rtt) rtt->push_back(usSince(t));
    }
}

// Generated calls, from a handler thread as the task makes them.
void generatedCalls(TopFlowClient const& flow, unsigned n, std::vector<double>* rtt) {
    RunPermissionGuard g;
    for (unsigned i = 0; i < n; ++i) {
        auto t = Clock::now();
        if (flow.getLogMeanSyncValue() != 7) std::fprintf(stderr, "generated call %u failed\n", i);
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

// ---- model server: an observed operation and populations of instances ----

constexpr unsigned long kProbeClass = 0xBE01, kPopulationClass = 0xBE10;
constexpr unsigned long kTouch = 1;
constexpr unsigned kPopulations[] = {250, 500, 1000, 2000};

// Meta objects of the served classes, in both processes: the client reaches
// "touch" by name, and the server lists the class codes as its interfaces.
class ProbeMeta : public TreflectMetaObject {
public:
    ProbeMeta(char const* name, unsigned long cc) : TreflectMetaObject(name, cc) {}
    void completeMetaInformation() override {
        if (!beginCompletion()) return;
        MetaOpData ops[] = {{"touch", int(kTouch)}};
        MetaAttrData noAttrs[] = {{""}};  // the helper takes no null table
        completeMetaInformationHelper(ops, 1, noAttrs, 0);
    }
};

ProbeMeta gProbeMeta("BenchProbe", kProbeClass);
ProbeMeta gPopulationMeta[] = {{"BenchPopulation0", kPopulationClass},
                               {"BenchPopulation1", kPopulationClass + 1},
                               {"BenchPopulation2", kPopulationClass + 2},
                               {"BenchPopulation3", kPopulationClass + 3}};
static_assert(std::size(gPopulationMeta) == std::size(kPopulations));

uint64_t monotonicNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

// "touch" does nothing but tell its post-observers when it ran.
class ProbeServer : public TreflectServerObject {
public:
    ProbeServer(std::string const& name, unsigned long cc)
        : TreflectServerObject(TipprmiOID(name), nullptr, name), cc_(cc) {}
    unsigned long getServerClassId() const override { return cc_; }
    TipprmiSequence<unsigned long> getServerClassIdSeq() const override {
        TipprmiSequence<unsigned long> ids;
        ids.push_back(cc_);
        return ids;
    }
    bool dispatch(bool t, unsigned long cc, unsigned long mc, TipprmiStream& in, TipprmiStream& out) override {
        if (cc != cc_ || mc != kTouch) return TreflectServerObject::dispatch(t, cc, mc, in, out);
        if (postObserverAvailable(cc, mc)) {
            TipprmiSequence<TipprmiAny> args;
            args.setLength(2);
            uint64_t const now = monotonicNs();
            args[0].insert(static_cast<unsigned long>(now >> 32));
            args[1].insert(static_cast<unsigned long>(now & 0xFFFFFFFFu));
            notifyObservers(1, cc, mc, args);
        }
        prepareResponseStream_(out);
        return true;
    }

private:
    unsigned long cc_;
};

void modelServer(int fd) {
    pin(1);
    becomeActor(kModelNameId);
    TreflectORB::getInstance(NSID_UNIT);
    {
        RunPermissionGuard g;
        new ProbeServer("probe", kProbeClass);
        for (unsigned k = 0; k < std::size(kPopulations); ++k)
            for (unsigned i = 0; i < kPopulations[k]; ++i)
                (new ProbeServer("p" + std::to_string(k) + "." + std::to_string(i), gPopulationMeta[k].getClassId()))
                    ->sendCreationEvent(&gPopulationMeta[k]);
    }
    char ok = 'y';
    if (::write(fd, &ok, 1) != 1) ::_exit(1);
    serveUntilClosed(fd);
    ::_exit(0);
}

// The client's post-observer of "touch": microseconds from the stamp in the
// arguments to the start of the callback. Runs on an ORB worker, which holds
// the run permission, as do the readers of `latencies`.
struct TouchObserver {
    std::vector<double>* latencies = nullptr;
    bool touched(TreflectObserver* o) {
        uint64_t const now = monotonicNs();
        unsigned long high = 0, low = 0;
        (*o->currentArguments())[0].extract(high);
        (*o->currentArguments())[1].extract(low);
        if (latencies) latencies->push_back((now - (uint64_t(high) << 32 | low)) / 1e3);
        return true;
    }
};

void touchCalls(TreflectObject const& probe, unsigned n, std::vector<double>* rtt) {
    for (unsigned i = 0; i < n; ++i) {
        RunPermissionGuard g;
        auto t = Clock::now();
        TipprmiStream in(100), out(100);
        probe.prepareRequestStream_(true, kProbeClass, kTouch, in);
        if (!probe.dispatch(true, kProbeClass, kTouch, in, out)) std::fprintf(stderr, "touch %u failed\n", i);
        probe.prepareResponseStream_(true, out);
        if (rtt) rtt->push_back(usSince(t));
    }
}

// One creation subscription at the model server; its answer lists the
// `count` instances of class `cc`.
double subscriptionUs(TreflectOrbId const& model, unsigned long cc, unsigned count) {
    RunPermissionGuard g;
    std::vector<TreflectObject> objects;
    auto t = Clock::now();
    TreflectORB::getInstance(NSID_UNIT)->registerForOCN(cc, &objects, &model);
    double const us = usSince(t);
    if (objects.size() != count) std::fprintf(stderr, "%zu of %u instances listed\n", objects.size(), count);
    return us;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--peer-line") == 0) return orbcall::peerLine(argc, argv);
    unsigned n, rounds;
    if (!bench::parseArgs(argc, argv, 20000, 5, "calls", &n, &rounds)) return 1;
    bench::Node node;
    if (!node.start()) return 1;

    // Servers are forked before this process has any thread of its own.
    int plainFd, echoFd, orbFd, modelFd;
    pid_t plainPid = bench::forkServer(plainServer, SOCK_SEQPACKET, &plainFd);
    pid_t echoPid = bench::forkServer(echoServer, SOCK_STREAM, &echoFd);
    pid_t orbPid = bench::forkServer(orbServer, SOCK_STREAM, &orbFd);
    pid_t modelPid = bench::forkServer(modelServer, SOCK_STREAM, &modelFd);
    if (!bench::serverReady(echoFd) || !bench::serverReady(orbFd) || !bench::serverReady(modelFd)) {
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
    // The probe's handle and its observer live until the process ends.
    TouchObserver touched;
    TreflectObject* probe;
    TopFlowClient* flow;
    TreflectOrbId model;
    {
        RunPermissionGuard g;
        probe = new TreflectObject(TipprmiOID("probe"));
        flow = new TopFlowClient(TipprmiOID("benchflow"));
        model = TreflectORB::getInstance(NSID_UNIT)->locateObject(TipprmiOID("probe")).orbId();
        auto* observer = new TreflectNotificator<TouchObserver>(&touched, &TouchObserver::touched);
        if (!probe->operation("touch")->postObserve(observer)) {
            std::fprintf(stderr, "probe not observed\n");
            return 1;
        }
    }
    unsigned const subscriptions = std::max(1u, n / 500);

    {  // warm-up: connections, caches, allocator pools, workers
        std::vector<double> w;
        plainCalls(plainFd, 2000, &w);
        caller.calls(2000, w);
        orbCalls(bench, 2000, &w);
        generatedCalls(*flow, 2000, &w);
        touchCalls(*probe, 2000, &w);
        for (unsigned k = 0; k < std::size(kPopulations); ++k)
            subscriptionUs(model, gPopulationMeta[k].getClassId(), kPopulations[k]);
        callsPerSecond(4, 2000, [&](unsigned k) { orbCalls(bench, k, nullptr); });
    }
    std::vector<double> rttPlain, rttTransport, rttOrb, rttGenerated, rttTouch, latency, cpsPlain, cpsOrb1, cpsOrb4;
    std::vector<double> answer[std::size(kPopulations)];
    {
        RunPermissionGuard g;
        touched.latencies = &latency;
    }
    for (unsigned r = 0; r < rounds; ++r) {
        plainCalls(plainFd, n, &rttPlain);
        caller.calls(n, rttTransport);
        orbCalls(bench, n, &rttOrb);
        generatedCalls(*flow, n, &rttGenerated);
        touchCalls(*probe, n, &rttTouch);
        for (unsigned k = 0; k < std::size(kPopulations); ++k)
            for (unsigned i = 0; i < subscriptions; ++i)
                answer[k].push_back(subscriptionUs(model, gPopulationMeta[k].getClassId(), kPopulations[k]));
        cpsPlain.push_back(callsPerSecond(1, n, [&](unsigned k) { plainCalls(plainFd, k, nullptr); }));
        cpsOrb1.push_back(callsPerSecond(1, n, [&](unsigned k) { orbCalls(bench, k, nullptr); }));
        cpsOrb4.push_back(callsPerSecond(4, n, [&](unsigned k) { orbCalls(bench, k, nullptr); }));
    }
    Stats p = stats(rttPlain), t = stats(rttTransport), o = stats(rttOrb), c = stats(rttTouch),
          gen = stats(rttGenerated);
    Stats l;
    {
        RunPermissionGuard g;
        if (latency.size() != rttTouch.size())
            std::fprintf(stderr, "%zu notifications for %zu calls\n", latency.size(), rttTouch.size());
        l = stats(latency);
    }
    double cp = medianOf(cpsPlain), c1 = medianOf(cpsOrb1), c4 = medianOf(cpsOrb4);
    std::printf("two-way call, %u x %u calls per variant, client cpu 0, servers cpu 1\n", rounds, n);
    std::printf("  %-36s median %7.2f us  p99 %7.2f us\n", "plain SOCK_SEQPACKET ping-pong", p.median, p.p99);
    std::printf("  %-36s median %7.2f us  p99 %7.2f us   ratio %.2fx / %.2fx\n", "raw transport round trip", t.median,
                t.p99, t.median / p.median, t.p99 / p.p99);
    std::printf("  %-36s median %7.2f us  p99 %7.2f us   ratio %.2fx / %.2fx\n", "ORB call", o.median, o.p99,
                o.median / p.median, o.p99 / p.p99);
    char const* const vsOrb =
        "  %-36s median %7.2f us  p99 %7.2f us   ratio %.2fx / %.2fx   to ORB call %.2fx / %.2fx\n";
    std::printf(vsOrb, "generated proxy call", gen.median, gen.p99, gen.median / p.median, gen.p99 / p.p99,
                gen.median / o.median, gen.p99 / o.p99);
    std::printf("post-observed operation, %u x %u calls\n", rounds, n);
    std::printf(vsOrb, "operation -> observer callback", l.median, l.p99, l.median / p.median, l.p99 / p.p99,
                l.median / o.median, l.p99 / o.p99);
    std::printf(vsOrb, "call of the observed operation", c.median, c.p99, c.median / p.median, c.p99 / p.p99,
                c.median / o.median, c.p99 / o.p99);
    std::printf("creation subscription answered with N instances, %u x %u per N\n", rounds, subscriptions);
    double const perInstance0 = medianOf(answer[0]) / kPopulations[0];
    for (unsigned k = 0; k < std::size(kPopulations); ++k) {
        Stats a = stats(answer[k]);
        double const perInstance = a.median / kPopulations[k];
        std::printf("  N = %-4u  median %8.1f us  p99 %8.1f us   per instance %.2f us = %.3fx ORB call"
                    ", %.2fx N = %u's\n",
                    kPopulations[k], a.median, a.p99, perInstance, perInstance / o.median, perInstance / perInstance0,
                    kPopulations[0]);
    }
    std::printf("calls per second (median of %u rounds)\n", rounds);
    std::printf("  %-36s %10.0f calls/s\n", "plain ping-pong", cp);
    std::printf("  %-36s %10.0f calls/s   ratio %.2fx\n", "ORB, 1 calling thread", c1, c1 / cp);
    std::printf("  %-36s %10.0f calls/s   ratio %.2fx\n", "ORB, 4 calling threads", c4, c4 / cp);

    caller.stop();
    ::close(plainFd);
    ::close(echoFd);
    ::close(orbFd);
    ::close(modelFd);
    ::kill(orbPid, SIGKILL);  // its workers serve for ever
    ::kill(modelPid, SIGKILL);
    ::waitpid(plainPid, nullptr, 0);
    ::waitpid(echoPid, nullptr, 0);
    ::waitpid(orbPid, nullptr, 0);
    ::waitpid(modelPid, nullptr, 0);
    return 0;
}
