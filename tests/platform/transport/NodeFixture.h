// Helpers of the multi-process transport tests: a private node with its
// membership service per test process, peer processes driven over pipes,
// and a termination that records everything it is told.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <atomic>
#include <pthread.h>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "LogCapture.h"
#include "NodeServiceProcess.h"
#include "PrivateNode.h"
#include "Transport.h"

namespace transporttest {

constexpr unsigned short kOwnNameId = 0x0100;
constexpr int kSendTimeoutMs = 300;

inline long long monoNs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

inline Transport::TerminationId ownId(Transport::GroupId g) { return Transport::TerminationId(kOwnNameId, 1, g); }

// One node per test process: its directory and its membership service.
class NodeEnvironment : public testsupport::PrivateNode {
public:
    NodeEnvironment()
        : PrivateNode({{"TOPADAPTER_SEND_TIMEOUT_MS", std::to_string(kSendTimeoutMs)},
                       {"TOPADAPTER_NAME_ID", std::to_string(kOwnNameId)},
                       {"TOPADAPTER_QUIET", "1"}}) {}
    static Transport::NodeServiceProcess& service() { return PrivateNode::service(); }
};

// A transport_peer process.
class Peer {
public:
    explicit Peer(unsigned short nameId) {
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) return;
        std::string name = std::to_string(nameId);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(in[0], 0);
            ::dup2(out[1], 1);
            ::setenv("TOPADAPTER_NAME_ID", name.c_str(), 1);
            ::execl(TA_TRANSPORT_PEER, TA_TRANSPORT_PEER, (char*)nullptr);
            ::_exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        toPeer_ = in[1];
        fromPeer_ = out[0];
    }
    ~Peer() {
        if (pid_ > 0) {
            cmd("exit", 2000);
            reap();
        }
        if (toPeer_ >= 0) ::close(toPeer_);
        if (fromPeer_ >= 0) ::close(fromPeer_);
    }

    // Sends one command and returns its reply line ("" on time-out).
    std::string cmd(std::string const& line, int deadlineMs = 10000) {
        std::string l = line + "\n";
        if (::write(toPeer_, l.data(), l.size()) != ssize_t(l.size())) return "";
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(deadlineMs);
        for (;;) {
            size_t nl = buffer_.find('\n');
            if (nl != std::string::npos) {
                std::string r = buffer_.substr(0, nl);
                buffer_.erase(0, nl + 1);
                return r;
            }
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            if (left.count() <= 0) return "";
            struct pollfd p = {fromPeer_, POLLIN, 0};
            if (::poll(&p, 1, int(left.count())) <= 0) continue;
            char buf[4096];
            ssize_t n = ::read(fromPeer_, buf, sizeof buf);
            if (n <= 0) return "";
            buffer_.append(buf, size_t(n));
        }
    }

    // Starts a termination in `group`; returns its id, and when it started.
    Transport::TerminationId start(Transport::GroupId group, long long* startNs = nullptr) {
        std::istringstream r(cmd("start " + std::to_string(int(group))));
        std::string ok;
        size_t k;
        unsigned long id = 0;
        long long t0 = 0;
        r >> ok >> k >> std::hex >> id >> std::dec >> t0;
        if (ok != "ok") return Transport::TerminationId();
        if (startNs) *startNs = t0;
        return Transport::TerminationId(id);
    }

    // Reads one "key=value" of a stats reply.
    static unsigned long field(std::string const& reply, std::string const& key) {
        size_t p = reply.find(" " + key + "=");
        return p == std::string::npos ? ~0ul : std::stoul(reply.substr(p + key.size() + 2));
    }

    // Time of the first event `kind` ('A' or 'D') about `id`; 0 if none.
    long long eventTime(size_t k, char kind, Transport::TerminationId id) {
        std::istringstream r(cmd("events " + std::to_string(k)));
        std::string word;
        r >> word;
        char want[32];
        std::snprintf(want, sizeof want, "%c:%lx:", kind, id.value());
        while (r >> word)
            if (word.compare(0, std::strlen(want), want) == 0) return std::stoll(word.substr(std::strlen(want)));
        return 0;
    }

    // kill -9; returns the time just before the signal.
    long long kill9() {
        long long t = monoNs();
        ::kill(pid_, SIGKILL);
        reap();
        return t;
    }
    pid_t pid() const { return pid_; }

private:
    void reap() {
        int status;
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (::waitpid(pid_, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > end) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, &status, 0);
                break;
            }
            struct timespec ts = {0, 1000000};
            nanosleep(&ts, nullptr);
        }
        pid_ = -1;
    }

    pid_t pid_ = -1;
    int toPeer_ = -1;
    int fromPeer_ = -1;
    std::string buffer_;
};

inline uint32_t seqOf(Transport::AddressedMessage const& m) {
    if (m.rawSize() < 4) return 0xFFFFFFFFu;
    unsigned char const* p = m.rawBuf();
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

inline Transport::AddressedMessage withSeq(Transport::TerminationImpl const& from, uint32_t seq, unsigned size) {
    Transport::AddressedMessage m = from.allocateMessage(size < 4 ? 4 : size, 4);
    m.rawBuf()[0] = uint8_t(seq >> 24);
    m.rawBuf()[1] = uint8_t(seq >> 16);
    m.rawBuf()[2] = uint8_t(seq >> 8);
    m.rawBuf()[3] = uint8_t(seq);
    for (unsigned i = 4; i < m.rawSize(); ++i) m.rawBuf()[i] = uint8_t(seq + i);
    return m;
}

// A termination of the test process that records what the transport tells it.
class Recorder : public Transport::TerminationImpl {
public:
    struct Event {
        char kind;
        unsigned long id;
        long long ns;
    };

    explicit Recorder(Transport::GroupId g) : TerminationImpl(ownId(g), "recorder") {}
    ~Recorder() override { stop(); }

    void receive(Transport::AddressedMessage const& msg) override {
        checkNotStopped();
        std::lock_guard<std::mutex> lock(mutex_);
        noteThread(recvThreadNames_);
        uint32_t seq = seqOf(msg);
        auto& expect = next_[msg.originator().value()];
        if (seq != expect) inOrder_ = false;
        expect = seq + 1;
        ++received_;
        lastReceived_ = msg;
        if (msg.destination() != termId()) ++misaddressed_;
    }
    void receiveError(Transport::AddressedMessage const& msg) override {
        checkNotStopped();
        std::lock_guard<std::mutex> lock(mutex_);
        noteThread(recvThreadNames_);
        handedBack_.push_back(msg);
    }
    void issueError(Transport::AddressedMessage const&) override {
        std::lock_guard<std::mutex> lock(mutex_);
        ++issueErrors_;
    }
    void appeared(Transport::Termination& t) override { record('A', t); }
    void disappeare(Transport::Termination& t) override { record('D', t); }

    long long eventTime(char kind, Transport::TerminationId id) {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto const& e : events_)
            if (e.kind == kind && e.id == id.value()) return e.ns;
        return 0;
    }
    int eventCount(char kind, Transport::TerminationId id) {
        std::lock_guard<std::mutex> lock(mutex_);
        int n = 0;
        for (auto const& e : events_)
            if (e.kind == kind && e.id == id.value()) ++n;
        return n;
    }
    bool waitEvent(char kind, Transport::TerminationId id, int ms = 5000) {
        return testsupport::waitUntil([&] { return eventTime(kind, id) != 0; }, std::chrono::milliseconds(ms));
    }
    unsigned long received() {
        std::lock_guard<std::mutex> lock(mutex_);
        return received_;
    }
    bool inOrder() {
        std::lock_guard<std::mutex> lock(mutex_);
        return inOrder_;
    }
    std::vector<Transport::AddressedMessage> handedBack() {
        std::lock_guard<std::mutex> lock(mutex_);
        return handedBack_;
    }
    unsigned long issueErrors() {
        std::lock_guard<std::mutex> lock(mutex_);
        return issueErrors_;
    }
    Transport::AddressedMessage lastReceived() {
        std::lock_guard<std::mutex> lock(mutex_);
        return lastReceived_;
    }
    unsigned long misaddressed() {
        std::lock_guard<std::mutex> lock(mutex_);
        return misaddressed_;
    }
    // Names of the threads that ran receive/receiveError, and appeared/disappeare.
    std::set<std::string> receiveThreadNames() {
        std::lock_guard<std::mutex> lock(mutex_);
        return recvThreadNames_;
    }
    std::set<std::string> eventThreadNames() {
        std::lock_guard<std::mutex> lock(mutex_);
        return eventThreadNames_;
    }
    // Callbacks seen while stop() was not running and had returned.
    bool callbackAfterStop() const { return afterStop_.load(); }
    void markStopped() { stopped_.store(true); }

    std::mutex& mutex() { return mutex_; }

private:
    void checkNotStopped() {
        if (stopped_.load()) afterStop_.store(true);
    }
    static void noteThread(std::set<std::string>& names) {
        char name[32] = "";
        pthread_getname_np(pthread_self(), name, sizeof name);
        names.insert(name);
    }
    void record(char kind, Transport::Termination& t) {
        checkNotStopped();
        long long now = monoNs();
        std::lock_guard<std::mutex> lock(mutex_);
        events_.push_back(Event{kind, t.termId().value(), now});
        noteThread(eventThreadNames_);
    }

    std::mutex mutex_;
    std::map<unsigned long, uint32_t> next_;
    bool inOrder_ = true;
    unsigned long received_ = 0, misaddressed_ = 0, issueErrors_ = 0;
    Transport::AddressedMessage lastReceived_;
    std::vector<Transport::AddressedMessage> handedBack_;
    std::vector<Event> events_;
    std::set<std::string> recvThreadNames_, eventThreadNames_;
    std::atomic<bool> stopped_{false};
    std::atomic<bool> afterStop_{false};
};

}  // namespace transporttest
