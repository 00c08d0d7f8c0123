// Helpers of the multi-process transport tests: a private node with its
// membership service per test process, peer processes driven over pipes,
// and a termination that records everything it is told.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "LogCapture.h"
#include "PrivateNode.h"
#include "TestWire.h"
#include "Transport.h"

namespace transporttest {

constexpr unsigned short kOwnNameId = 0x0100;
constexpr int kSendTimeoutMs = 300;

inline Transport::TerminationId ownId(Transport::GroupId g) { return Transport::TerminationId(kOwnNameId, 1, g); }

// One node per test process: its directory and its membership service.
class NodeEnvironment : public testsupport::PrivateNode {
public:
    NodeEnvironment()
        : PrivateNode({{"TOPADAPTER_SEND_TIMEOUT_MS", std::to_string(kSendTimeoutMs)},
                       {"TOPADAPTER_NAME_ID", std::to_string(kOwnNameId)},
                       {"TOPADAPTER_QUIET", "1"}}) {}
};

// A transport_peer process; its commands are listed in TransportPeer.cpp.
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
        unsigned long id = 0;
        long long t0 = 0;
        if (std::sscanf(cmd("start " + std::to_string(int(group))).c_str(), "ok %*u %lx %lld", &id, &t0) != 2) id = 0;
        if (startNs) *startNs = t0;
        return Transport::TerminationId(id);
    }

    // Has termination 0 send `count` messages of `size` bytes; returns the reply.
    std::string send(Transport::TerminationId to, unsigned count, unsigned size, int deadlineMs = 10000) {
        char line[64];
        std::snprintf(line, sizeof line, "send 0 %lx %u %u", to.value(), count, size);
        return cmd(line, deadlineMs);
    }

    // One "key=value" of termination 0's stats.
    unsigned long stat(std::string const& key) {
        std::string reply = cmd("stats 0");
        size_t p = reply.find(" " + key + "=");
        return p == std::string::npos ? ~0ul : std::stoul(reply.substr(p + key.size() + 2));
    }
    bool waitReceived(unsigned long n) {
        return testsupport::waitUntil([&] { return stat("recv") == n; });
    }

    // Times of the events `kind` ('A' or 'D') about `id` seen by termination k.
    std::vector<long long> eventTimes(size_t k, char kind, Transport::TerminationId id) {
        std::string events = cmd("events " + std::to_string(k)), want = " " + std::string(1, kind) + ":";
        char hex[16];
        std::snprintf(hex, sizeof hex, "%lx:", id.value());
        want += hex;
        std::vector<long long> times;
        for (size_t p = events.find(want); p != std::string::npos; p = events.find(want, p + 1))
            times.push_back(std::stoll(events.substr(p + want.size())));
        return times;
    }
    // Time of the first such event; 0 if none.
    long long eventTime(size_t k, char kind, Transport::TerminationId id) {
        std::vector<long long> t = eventTimes(k, kind, id);
        return t.empty() ? 0 : t.front();
    }

    // kill -9; returns the time just before the signal.
    long long kill9() {
        long long t = monoNs();
        ::kill(pid_, SIGKILL);
        reap();
        return t;
    }

private:
    void reap() {
        int status;
        if (!testsupport::waitUntil([&] { return ::waitpid(pid_, &status, WNOHANG) != 0; }, std::chrono::seconds(5))) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
        }
        pid_ = -1;
    }

    pid_t pid_ = -1;
    int toPeer_ = -1;
    int fromPeer_ = -1;
    std::string buffer_;
};

inline Transport::AddressedMessage withSeq(Transport::TerminationImpl const& from, uint32_t seq, unsigned size) {
    Transport::AddressedMessage m = from.allocateMessage(size < 4 ? 4 : size, 4);
    putSeq(m, seq);
    for (unsigned i = 4; i < m.rawSize(); ++i) m.rawBuf()[i] = uint8_t(seq + i);
    return m;
}

// A termination of the test process that records what the transport tells it.
class Recorder : public Transport::TerminationImpl {
public:
    explicit Recorder(Transport::GroupId g) : TerminationImpl(ownId(g), "recorder") {}
    ~Recorder() override { stop(); }

    void receive(Transport::AddressedMessage const& msg) override {
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

    // Times of the events `kind` ('A' or 'D') about `id`.
    std::vector<long long> eventTimes(char kind, Transport::TerminationId id) {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<long long> times;
        for (auto const& e : events_)
            if (e.kind == kind && e.id == id.value()) times.push_back(e.ns);
        return times;
    }
    long long eventTime(char kind, Transport::TerminationId id) {
        std::vector<long long> t = eventTimes(kind, id);
        return t.empty() ? 0 : t.front();
    }
    size_t eventCount(char kind, Transport::TerminationId id) { return eventTimes(kind, id).size(); }
    bool waitEvent(char kind, Transport::TerminationId id) {
        return testsupport::waitUntil([&] { return eventTime(kind, id) != 0; }, std::chrono::milliseconds(5000));
    }
    unsigned long received() { return locked(received_); }
    bool inOrder() { return locked(inOrder_); }
    unsigned long misaddressed() { return locked(misaddressed_); }
    unsigned long issueErrors() { return locked(issueErrors_); }
    Transport::AddressedMessage lastReceived() { return locked(lastReceived_); }
    std::vector<Transport::AddressedMessage> handedBack() { return locked(handedBack_); }
    // Names of the threads that ran receive/receiveError, and appeared/disappeare.
    std::set<std::string> receiveThreadNames() { return locked(recvThreadNames_); }
    std::set<std::string> eventThreadNames() { return locked(eventThreadNames_); }
    // How many callbacks have run.
    size_t callbacks() {
        std::lock_guard<std::mutex> lock(mutex_);
        return received_ + handedBack_.size() + events_.size();
    }

private:
    struct Event {
        char kind;
        unsigned long id;
        long long ns;
    };
    template <class T>
    T locked(T const& field) {
        std::lock_guard<std::mutex> lock(mutex_);
        return field;
    }
    static void noteThread(std::set<std::string>& names) {
        char name[32] = "";
        pthread_getname_np(pthread_self(), name, sizeof name);
        names.insert(name);
    }
    void record(char kind, Transport::Termination& t) {
        long long now = monoNs();
        std::lock_guard<std::mutex> lock(mutex_);
        noteThread(eventThreadNames_);
        events_.push_back(Event{kind, t.termId().value(), now});
    }

    std::mutex mutex_;
    std::map<unsigned long, uint32_t> next_;
    bool inOrder_ = true;
    unsigned long received_ = 0, misaddressed_ = 0, issueErrors_ = 0;
    Transport::AddressedMessage lastReceived_;
    std::vector<Transport::AddressedMessage> handedBack_;
    std::vector<Event> events_;
    std::set<std::string> recvThreadNames_, eventThreadNames_;
};

// Our termination in group A and a peer process's termination 0x201 in
// group A, ours having seen the peer's appear.
class NodeTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(local.start());
        id1 = p1.start(Transport::GRPID_UNIT_A, &p1Started);
        ASSERT_TRUE(local.waitEvent('A', id1));
    }
    // Issues one message from `local` to `to` and waits until `p` has received `total` messages.
    bool reaches(Peer& p, Transport::TerminationId to, unsigned long total = 1) {
        return Transport::TransportLayer::instance().getTermination(to).issue(withSeq(local, uint32_t(total - 1), 8)) &&
               p.waitReceived(total);
    }

    Recorder local{Transport::GRPID_UNIT_A};
    Peer p1{0x201};
    Transport::TerminationId id1;
    long long p1Started = 0;
};

}  // namespace transporttest
