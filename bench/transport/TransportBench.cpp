// Round trip and throughput of the node transport between two processes,
// against a plain SOCK_SEQPACKET ping-pong between two processes, measured
// in one run with the same placement (client on cpu 0, server on cpu 1) and
// interleaved round by round, so that machine noise hits every variant alike.
//
// Variants:
//   plain     blocking send/recv on a socketpair, no threads; also, without
//             throughput, over SOCK_STREAM and with both sides waiting in
//             epoll_wait before each recv as the receiving thread does, to
//             show what the socket type and the way of waiting cost alone
//             (on a virtual machine whose idle vCPUs halt, a thread blocked
//             in recv on a stream socket is woken early by the peer's read
//             of its previous message, which the other waits filter out)
//   callback  the transport, the next ping issued from the receive callback:
//             the cost of the transport itself
//   caller    the transport, a caller thread that issues and waits for the
//             receiving thread to hand it the answer: what an ORB call pays
//
// Usage: transport_bench [round trips per round, default 2000] [rounds, default 25]
#include <sched.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "BenchUtil.h"
#include "NodeServiceProcess.h"
#include "Transport.h"

namespace {

using namespace bench;
using Transport::AddressedMessage;
using Transport::TerminationId;

constexpr unsigned kSize = 128;
const TerminationId kServerId(0x0301, 1, Transport::GRPID_UNIT_A);
const TerminationId kClientId(0x0302, 1, Transport::GRPID_UNIT_A);



// Payload byte 0: 'P' echo it, 'T' count it, 'E' answer with the count so far (and reset).
struct Counter {
    uint32_t n = 0;
};

// ---------------------------------------------------------------------------
// Plain socket variant

void plainServer(int fd) {
    pin(1);
    unsigned char buf[2048];
    Counter c;
    for (;;) {
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) ::_exit(0);
        if (buf[0] == 'P') {
            ::send(fd, buf, size_t(n), 0);
        } else if (buf[0] == 'T') {
            ++c.n;
        } else if (buf[0] == 'E') {
            std::memcpy(buf + 1, &c.n, 4);
            c.n = 0;
            ::send(fd, buf, 5, 0);
        }
    }
}

// One message of `size` bytes (a stream may hand it over in parts), waiting
// in epoll_wait on `ep` first unless it is -1.
bool plainRecv(int fd, int ep, unsigned char* buf, size_t size) {
    for (size_t got = 0; got < size;) {
        if (ep >= 0) {
            struct epoll_event e;
            if (::epoll_wait(ep, &e, 1, -1) < 0) continue;
        }
        ssize_t n = ::recv(fd, buf + got, size - got, ep >= 0 ? MSG_DONTWAIT : 0);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return false;
        if (n > 0) got += size_t(n);
    }
    return true;
}

int epollOn(int fd) {
    int ep = ::epoll_create1(EPOLL_CLOEXEC);
    struct epoll_event e = {};
    e.events = EPOLLIN;
    ::epoll_ctl(ep, EPOLL_CTL_ADD, fd, &e);
    return ep;
}

// The echo of the other plain variants: `epoll` chooses how it waits.
void plainEchoServer(int fd, bool epoll) {
    pin(1);
    int const ep = epoll ? epollOn(fd) : -1;
    unsigned char buf[kSize];
    while (plainRecv(fd, ep, buf, kSize)) ::send(fd, buf, kSize, 0);
    ::_exit(0);
}
void plainEchoRecv(int fd) { plainEchoServer(fd, false); }
void plainEchoEpoll(int fd) { plainEchoServer(fd, true); }

void plainRoundTrips(int fd, unsigned n, std::vector<double>& rtt, int ep = -1) {
    unsigned char buf[kSize] = {'P'};
    for (unsigned i = 0; i < n; ++i) {
        auto t = Clock::now();
        ::send(fd, buf, kSize, 0);
        plainRecv(fd, ep, buf, kSize);
        rtt.push_back(usSince(t));
    }
}

double plainThroughput(int fd, unsigned n) {
    unsigned char buf[kSize] = {'T'};
    auto t = Clock::now();
    for (unsigned i = 0; i < n; ++i) ::send(fd, buf, kSize, 0);
    buf[0] = 'E';
    ::send(fd, buf, 1, 0);
    ::recv(fd, buf, sizeof buf, 0);
    uint32_t got;
    std::memcpy(&got, buf + 1, 4);
    if (got != n) std::fprintf(stderr, "plain: server counted %u of %u\n", got, n);
    return n / (usSince(t) / 1e6);
}

// ---------------------------------------------------------------------------
// Transport variants

class Server : public Transport::TerminationImpl {
public:
    Server() : TerminationImpl(kServerId, "benchServer") {}
    ~Server() override { stop(); }
    void receive(AddressedMessage const& m) override {
        unsigned char k = m.rawBuf()[0];
        if (k == 'P') {
            // Answer as a responder does: a fresh message with the same bytes.
            AddressedMessage r = allocateMessage(m.rawSize(), 4);
            std::memcpy(r.rawBuf(), m.rawBuf(), m.rawSize());
            r.setDestination(m.originator());
            issue(r);
        } else if (k == 'T') {
            ++count_.n;
        } else if (k == 'E') {
            AddressedMessage r = allocateMessage(5, 4);
            r.rawBuf()[0] = 'E';
            std::memcpy(r.rawBuf() + 1, &count_.n, 4);
            count_.n = 0;
            r.setDestination(m.originator());
            issue(r);
        }
    }

private:
    Counter count_;
};

class Client : public Transport::TerminationImpl {
public:
    enum Mode { Callback, Caller, Throughput };

    Client() : TerminationImpl(kClientId, "benchClient") {}
    ~Client() override { stop(); }

    void receive(AddressedMessage const& m) override {
        if (mode_ == Callback) {
            rtt_->push_back(usSince(sent_));
            if (++done_ < target_) {
                sendPing();
                return;
            }
        } else if (mode_ == Throughput) {
            std::memcpy(&counted_, m.rawBuf() + 1, 4);
        }
        std::lock_guard<std::mutex> lock(mutex_);
        answered_ = true;
        cv_.notify_one();
    }

    void callbackRoundTrips(unsigned n, std::vector<double>& rtt) {
        mode_ = Callback;
        rtt_ = &rtt;
        done_ = 0;
        target_ = n;
        answered_ = false;
        sendPing();
        wait();
    }

    void callerRoundTrips(unsigned n, std::vector<double>& rtt) {
        mode_ = Caller;
        for (unsigned i = 0; i < n; ++i) {
            answered_ = false;
            auto t = Clock::now();
            sendPing();
            wait();
            rtt.push_back(usSince(t));
        }
    }

    double throughput(unsigned n) {
        mode_ = Throughput;
        answered_ = false;
        Transport::Termination& to = Transport::TransportLayer::instance().getTermination(kServerId);
        auto t = Clock::now();
        for (unsigned i = 0; i < n; ++i) {
            AddressedMessage m = allocateMessage(kSize, 4);
            m.rawBuf()[0] = 'T';
            if (!to.issue(m)) std::fprintf(stderr, "transport: message refused\n");
        }
        AddressedMessage end = allocateMessage(1, 4);
        end.rawBuf()[0] = 'E';
        to.issue(end);
        wait();
        double rate = n / (usSince(t) / 1e6);
        if (counted_ != n) std::fprintf(stderr, "transport: server counted %u of %u\n", counted_, n);
        return rate;
    }

private:
    void sendPing() {
        AddressedMessage m = allocateMessage(kSize, 4);
        m.rawBuf()[0] = 'P';
        sent_ = Clock::now();
        if (!Transport::TransportLayer::instance().getTermination(kServerId).issue(m))
            std::fprintf(stderr, "transport: ping refused\n");
    }
    void wait() {
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait(lock, [&] { return answered_; });
    }

    Mode mode_ = Caller;
    std::vector<double>* rtt_ = nullptr;
    unsigned done_ = 0, target_ = 0;
    uint32_t counted_ = 0;
    Clock::time_point sent_;
    std::mutex mutex_;
    std::condition_variable cv_;
    bool answered_ = false;
};

void transportServer(int readyFd) {
    pin(1);
    Server s;
    char ok = s.start() ? 'y' : 'n';
    if (::write(readyFd, &ok, 1) != 1) ::_exit(1);
    char dummy;
    // Runs until the parent closes its end.
    while (::read(readyFd, &dummy, 1) > 0) {
    }
    s.stop();
    ::_exit(0);
}




}  // namespace

int main(int argc, char** argv) {
    unsigned n, rounds;
    if (!bench::parseArgs(argc, argv, 2000, 25, "round trips", &n, &rounds)) return 1;
    bench::Node node;
    if (!node.start()) return 1;

    int plainFd, serverFd;
    pid_t plainPid = bench::forkServer(plainServer, SOCK_SEQPACKET, &plainFd);
    struct Other {
        char const* name;
        int type;
        void (*server)(int);
        int fd = -1, ep = -1;
        pid_t pid = 0;
        std::vector<double> rtt;
    };
    Other others[] = {{"plain SOCK_SEQPACKET, epoll_wait", SOCK_SEQPACKET, plainEchoEpoll, -1, -1, 0, {}},
                      {"plain SOCK_STREAM ping-pong", SOCK_STREAM, plainEchoRecv, -1, -1, 0, {}},
                      {"plain SOCK_STREAM, epoll_wait", SOCK_STREAM, plainEchoEpoll, -1, -1, 0, {}}};
    for (Other& o : others) {
        o.pid = bench::forkServer(o.server, o.type, &o.fd);
        if (o.server == plainEchoEpoll) o.ep = epollOn(o.fd);
    }
    pid_t serverPid = bench::forkServer(transportServer, SOCK_STREAM, &serverFd);
    if (!bench::serverReady(serverFd)) {
        std::fprintf(stderr, "transport server did not start\n");
        return 1;
    }

    pin(0);  // before the client's threads exist: they inherit it
    Client client;
    if (!client.start()) return 1;

    // Warm-up: connections opened, caches and allocator pools filled.
    {
        std::vector<double> w;
        plainRoundTrips(plainFd, 2000, w);
        for (Other& o : others) plainRoundTrips(o.fd, 2000, w, o.ep);
        client.callbackRoundTrips(2000, w);
        client.callerRoundTrips(2000, w);
    }
    std::vector<double> rttPlain, rttCallback, rttCaller, tpPlain, tpTransport;
    for (unsigned r = 0; r < rounds; ++r) {
        plainRoundTrips(plainFd, n, rttPlain);
        for (Other& o : others) plainRoundTrips(o.fd, n, o.rtt, o.ep);
        client.callbackRoundTrips(n, rttCallback);
        client.callerRoundTrips(n, rttCaller);
        tpPlain.push_back(plainThroughput(plainFd, n));
        tpTransport.push_back(client.throughput(n));
    }
    Stats p = stats(rttPlain), cb = stats(rttCallback), ca = stats(rttCaller);
    double tp = medianOf(tpPlain), tt = medianOf(tpTransport);
    std::printf("transport round trip, %u-byte messages, %u x %u round trips, client cpu 0, server cpu 1\n", kSize,
                rounds, n);
    std::printf("  %-34s median %7.2f us  p99 %7.2f us\n", "plain SOCK_SEQPACKET ping-pong", p.median, p.p99);
    for (Other const& o : others) {
        Stats const x = stats(o.rtt);
        std::printf("  %-34s median %7.2f us  p99 %7.2f us   ratio %.2fx / %.2fx\n", o.name, x.median, x.p99,
                    x.median / p.median, x.p99 / p.p99);
    }
    std::printf("  %-34s median %7.2f us  p99 %7.2f us   ratio %.2fx / %.2fx\n", "transport, echo from callback",
                cb.median, cb.p99, cb.median / p.median, cb.p99 / p.p99);
    std::printf("  %-34s median %7.2f us  p99 %7.2f us   ratio %.2fx / %.2fx\n", "transport, caller thread waits",
                ca.median, ca.p99, ca.median / p.median, ca.p99 / p.p99);
    std::printf("one-way throughput (median of %u rounds)\n", rounds);
    std::printf("  %-34s %10.0f msg/s\n", "plain SOCK_SEQPACKET", tp);
    std::printf("  %-34s %10.0f msg/s   ratio %.2fx\n", "transport", tt, tt / tp);

    client.stop();
    // These hold copies of the other servers' sockets, so those would not see theirs close.
    for (Other& o : others) {
        ::kill(o.pid, SIGKILL);
        ::waitpid(o.pid, nullptr, 0);
        ::close(o.fd);
        ::close(o.ep);
    }
    ::close(plainFd);
    ::close(serverFd);
    ::waitpid(plainPid, nullptr, 0);
    ::waitpid(serverPid, nullptr, 0);
    return 0;
}
