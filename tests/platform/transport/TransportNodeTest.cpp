// Multi-process tests of the node transport: real peer processes driven over
// pipes, a real membership service, kill -9, and a termination of the test
// process that records everything it is told.
#include <dirent.h>
#include <linux/capability.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <list>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "Endpoint.h"
#include "Frame.h"
#include "LogCapture.h"
#include "NodeDir.h"
#include "NodeServiceProcess.h"
#include "PrivateNode.h"
#include "Socket.h"
#include "TestWire.h"
#include "Transport.h"

using namespace transporttest;
using Transport::AddressedMessage;
using Transport::GRPID_NODE;
using Transport::GRPID_UNIT_A;
using Transport::TerminationId;
using Transport::TransportLayer;
using testsupport::waitUntil;

namespace {

constexpr unsigned short kOwnNameId = 0x0100;

// One node per test process: its directory and its membership service.
::testing::Environment* const gNode = ::testing::AddGlobalTestEnvironment(new testsupport::PrivateNode(
    {{"TOPADAPTER_SEND_TIMEOUT_MS", "300"}, {"TOPADAPTER_NAME_ID", std::to_string(kOwnNameId)},
     {"TOPADAPTER_QUIET", "1"}}));

// Time of the `n`th event `kind` ('A' or 'D') about `id` in "K:<id>:<ns>" words; 0 if none.
long long nthEvent(std::string const& events, char kind, TerminationId id, size_t n = 1) {
    char want[24];
    std::snprintf(want, sizeof want, " %c:%lx:", kind, id.value());
    size_t p = events.find(want);
    for (size_t i = 1; i < n && p != std::string::npos; ++i) p = events.find(want, p + 1);
    return p == std::string::npos ? 0 : std::stoll(events.substr(p + std::strlen(want)));
}

// A transport_peer process; its commands are listed in TransportPeer.cpp.
class Peer {
public:
    explicit Peer(unsigned short nameId) : p_(TA_TRANSPORT_PEER, {}, {{"TOPADAPTER_NAME_ID", std::to_string(nameId)}}) {}
    ~Peer() {
        if (!killed_ && cmd("exit", 2000) == "bye") p_.exitCode(std::chrono::seconds(5));
    }

    // Sends one command and returns its reply line ("" on time-out).
    std::string cmd(std::string const& line, int deadlineMs = 10000) {
        size_t const n = replies_++;
        return p_.writeLine(line) ? p_.waitForLine(n, std::chrono::milliseconds(deadlineMs)) : "";
    }

    // Starts a termination in `group`; returns its id, and when it started.
    TerminationId start(Transport::GroupId group, long long* startNs = nullptr) {
        unsigned long id = 0;
        long long t0 = 0;
        if (std::sscanf(cmd("start " + std::to_string(int(group))).c_str(), "ok %*u %lx %lld", &id, &t0) != 2) id = 0;
        if (startNs) *startNs = t0;
        return TerminationId(id);
    }
    // Has termination 0 send `count` messages of `size` bytes; returns the reply.
    std::string send(TerminationId to, unsigned count, unsigned size, int deadlineMs = 10000) {
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
        return waitUntil([&] { return stat("recv") == n; });
    }
    // Time of the `n`th event `kind` about `id` seen by termination k; 0 if none.
    long long eventTime(size_t k, char kind, TerminationId id, size_t n = 1) {
        return nthEvent(cmd("events " + std::to_string(k)), kind, id, n);
    }
    bool waitEvent(size_t k, char kind, TerminationId id, size_t n = 1) {
        return waitUntil([&] { return eventTime(k, kind, id, n) != 0; });
    }

    // kill -9; returns the time just before the signal.
    long long kill9() {
        long long t = monoNs();
        p_.kill(SIGKILL);
        p_.exitCode(std::chrono::seconds(5));
        killed_ = true;
        return t;
    }

private:
    testsupport::ChildProcess p_;
    size_t replies_ = 0;
    bool killed_ = false;
};

AddressedMessage withSeq(Transport::TerminationImpl const& from, uint32_t seq, unsigned size) {
    AddressedMessage m = from.allocateMessage(size < 4 ? 4 : size, 4);
    putSeq(m, seq);
    for (unsigned i = 4; i < m.rawSize(); ++i) m.rawBuf()[i] = uint8_t(seq + i);
    return m;
}

// A termination of the test process that records what the transport tells
// it; `onReceive` runs after each message is recorded.
class Recorder : public Transport::TerminationImpl {
public:
    struct State {
        unsigned long received = 0, misaddressed = 0, issueErrors = 0;
        bool inOrder = true;
        AddressedMessage last;
        std::vector<AddressedMessage> handedBack;
        std::string events;  // " A:<id>:<ns>" / " D:<id>:<ns>" words
        size_t callbacks = 0;
    };

    explicit Recorder(Transport::GroupId g, std::function<void(AddressedMessage const&)> onReceive = {})
        : TerminationImpl(TerminationId(kOwnNameId, 1, g), "recorder"), onReceive_(std::move(onReceive)) {}
    ~Recorder() override { stop(); }

    void receive(AddressedMessage const& msg) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++s_.callbacks;
            uint32_t& expect = next_[msg.originator().value()];
            s_.inOrder = s_.inOrder && seqOf(msg) == expect;
            expect = seqOf(msg) + 1;
            ++s_.received;
            s_.last = msg;
            if (msg.destination() != termId()) ++s_.misaddressed;
        }
        if (onReceive_) onReceive_(msg);
    }
    void receiveError(AddressedMessage const& msg) override {
        std::lock_guard<std::mutex> lock(mutex_);
        ++s_.callbacks;
        s_.handedBack.push_back(msg);
    }
    void issueError(AddressedMessage const&) override {
        std::lock_guard<std::mutex> lock(mutex_);
        ++s_.issueErrors;
    }
    void appeared(Transport::Termination& t) override {
        record('A', t);
        std::function<void(Transport::Termination&)> hold;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            hold.swap(onAppeared_);
        }
        if (hold) hold(t);
    }
    void disappeare(Transport::Termination& t) override { record('D', t); }
    // Runs in the next appearance's callback, once.
    void holdNextAppearance(std::function<void(Transport::Termination&)> f) {
        std::lock_guard<std::mutex> lock(mutex_);
        onAppeared_ = std::move(f);
    }

    State state() {
        std::lock_guard<std::mutex> lock(mutex_);
        return s_;
    }
    unsigned long received() { return state().received; }
    long long eventTime(char kind, TerminationId id, size_t n = 1) {
        return nthEvent(state().events, kind, id, n);
    }
    bool waitEvent(char kind, TerminationId id, size_t n = 1) {
        return waitUntil([&] { return eventTime(kind, id, n) != 0; }, std::chrono::milliseconds(5000));
    }

private:
    void record(char kind, Transport::Termination& t) {
        char word[64];
        std::snprintf(word, sizeof word, " %c:%lx:%lld", kind, t.termId().value(), monoNs());
        std::lock_guard<std::mutex> lock(mutex_);
        ++s_.callbacks;
        s_.events += word;
    }

    std::function<void(AddressedMessage const&)> onReceive_;
    std::function<void(Transport::Termination&)> onAppeared_;
    std::mutex mutex_;
    State s_;
    std::map<unsigned long, uint32_t> next_;
};

// Our termination in group A and a peer process's termination 0x201 in
// group A, ours having seen the peer's appear.
class NodeTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(local.start());
        id1 = p1.start(GRPID_UNIT_A, &p1Started);
        ASSERT_TRUE(local.waitEvent('A', id1));
    }
    // Issues one message from `local` to `to` and waits until `p` has received `total` messages.
    bool reaches(Peer& p, TerminationId to, unsigned long total = 1) {
        return TransportLayer::instance().getTermination(to).issue(withSeq(local, uint32_t(total - 1), 8)) &&
               p.waitReceived(total);
    }

    Recorder local{GRPID_UNIT_A};
    Peer p1{0x201};
    TerminationId id1;
    long long p1Started = 0;
};

// Membership changes are pushed to every process, never found by a poll: each
// event comes well within a second of its cause even on a loaded machine
// (the 100 ms an idle node keeps is a benchmark's figure, not a test's).
// Sanitizers slow every process down several times.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr long long kBound = 3000 * 1000000LL;
#else
constexpr long long kBound = 1000 * 1000000LL;
#endif

using TransportMembership = NodeTest;
using TransportDelivery = NodeTest;
using TransportAbuse = NodeTest;
using TransportSecurity = NodeTest;

Transport::Termination& termination(TerminationId id) { return TransportLayer::instance().getTermination(id); }

// Threads of this process called `name`.
size_t threadsNamed(std::string const& name) {
    size_t n = 0;
    DIR* d = ::opendir("/proc/self/task");
    while (struct dirent* e = d ? ::readdir(d) : nullptr) {
        std::string comm;
        std::getline(std::ifstream(std::string("/proc/self/task/") + e->d_name + "/comm"), comm);
        n += comm == name;
    }
    if (d) ::closedir(d);
    return n;
}
std::list<TerminationId> group(Transport::GroupId g) { return TransportLayer::instance().getGroup(g).contains(); }
bool listed(std::list<TerminationId> const& l, TerminationId id) { return std::count(l.begin(), l.end(), id) > 0; }

// A termination that is only started, or refused.
struct Bare : Transport::TerminationImpl {
    explicit Bare(TerminationId id) : TerminationImpl(id, "bare") {}
    ~Bare() override { stop(); }
};

// Issues up to `count` messages of `size` bytes with sequence numbers until
// the transport refuses one; returns how many it took.
unsigned issueUntilRefused(Transport::TerminationImpl& from, TerminationId to, unsigned count, unsigned size) {
    for (unsigned i = 0; i < count; ++i)
        if (!termination(to).issue(withSeq(from, i, size))) return i;
    return count;
}

// Handed-back messages are `from`'s to `to`, consecutive from `first`, with their bytes intact.
void expectHandedBack(std::vector<AddressedMessage> const& back, unsigned long first, TerminationId from,
                      TerminationId to) {
    for (size_t i = 0; i < back.size(); ++i) {
        ASSERT_EQ(seqOf(back[i]), first + i) << i;
        EXPECT_EQ(back[i].originator(), from);
        EXPECT_EQ(back[i].destination(), to);
        size_t last = back[i].rawSize() - 1;
        EXPECT_EQ(back[i].rawBuf()[last], uint8_t(first + i + last)) << i;
    }
}

}  // namespace

TEST_F(TransportMembership, MembersAppearAndDisappearEverywhereAtOnceAndALateJoinerLearnsWhoIsThere) {
    ASSERT_EQ(id1, TerminationId(0x201, 1, GRPID_UNIT_A));
    EXPECT_LT(local.eventTime('A', id1) - p1Started, kBound);

    Peer p2(0x202);
    long long t2 = 0;
    TerminationId id2 = p2.start(GRPID_NODE, &t2);
    ASSERT_TRUE(local.waitEvent('A', id2) && p1.waitEvent(0, 'A', id2));
    EXPECT_LT(std::max(local.eventTime('A', id2), p1.eventTime(0, 'A', id2)) - t2, kBound);
    // The late joiner is told of everybody present, and not of itself; nobody hears twice.
    EXPECT_TRUE(p2.waitEvent(0, 'A', local.termId()) && p2.waitEvent(0, 'A', id1));
    EXPECT_EQ(0, p2.eventTime(0, 'A', id2) + local.eventTime('A', id1, 2) + local.eventTime('A', local.termId()));
    std::list<TerminationId> all = TransportLayer::instance().getTerminations();
    EXPECT_TRUE(listed(all, local.termId()) && listed(all, id1) && listed(all, id2));
    EXPECT_TRUE(std::is_sorted(all.begin(), all.end()));
    EXPECT_TRUE(listed(group(GRPID_UNIT_A), id1) && !listed(group(GRPID_UNIT_A), id2) && listed(group(GRPID_NODE), id2));

    // While the owner holds its id, a twin in another process or in this one is refused.
    Bare twin(id1), localTwin(local.termId());
    testsupport::expectError("already exists");
    EXPECT_FALSE(twin.start());
    EXPECT_FALSE(localTwin.start());

    long long killed = p2.kill9();
    ASSERT_TRUE(local.waitEvent('D', id2) && p1.waitEvent(0, 'D', id2));
    EXPECT_LT(std::max(local.eventTime('D', id2), p1.eventTime(0, 'D', id2)) - killed, kBound);
    EXPECT_FALSE(TransportLayer::instance().exists(id2) || termination(id2).exists());
    EXPECT_FALSE(listed(TransportLayer::instance().getTerminations(), id2) || listed(group(GRPID_NODE), id2));
    EXPECT_FALSE(termination(id2).issue(withSeq(local, 0, 8)));
    AddressedMessage direct = withSeq(local, 1, 8);
    direct.setDestination(id2);
    EXPECT_FALSE(local.issue(direct));
    EXPECT_EQ(2u, local.state().issueErrors);
    // One that leaves again while its owner still handles its appearance (as
    // an ORB that calls it there) is reported gone meanwhile, not after.
    std::atomic<int> toldGone{0};
    local.holdNextAppearance([&](Transport::Termination&) {
        toldGone = waitUntil([&] { return local.eventTime('D', id2, 2) != 0; }, std::chrono::seconds(10)) ? 1 : -1;
    });
    Peer brief(0x202);
    ASSERT_EQ(brief.start(GRPID_NODE), id2);
    ASSERT_TRUE(local.waitEvent('A', id2, 2));
    brief.kill9();
    ASSERT_TRUE(waitUntil([&] { return toldGone != 0; }, std::chrono::seconds(15)));
    EXPECT_EQ(1, toldGone.load());
    // A restarted actor with the same id is a fresh member that gets messages.
    Peer p3(0x202);
    ASSERT_EQ(p3.start(GRPID_NODE), id2);
    ASSERT_TRUE(local.waitEvent('A', id2, 3));
    EXPECT_GT(local.eventTime('A', id2, 3), local.eventTime('D', id2, 2));
    EXPECT_TRUE(reaches(p3, id2));

    // A stopped termination disappears likewise and can start again.
    std::string r = p1.cmd("stop 0");
    ASSERT_EQ(r.compare(0, 8, "stopped "), 0) << r;
    ASSERT_TRUE(local.waitEvent('D', id1));
    EXPECT_LT(local.eventTime('D', id1) - std::stoll(r.substr(8)), kBound);
    ASSERT_EQ(p1.start(GRPID_UNIT_A), id1);
    EXPECT_TRUE(local.waitEvent('A', id1, 2));
    local.stop();
    ASSERT_TRUE(p1.waitEvent(1, 'D', local.termId()));
    ASSERT_TRUE(local.start());
    EXPECT_TRUE(p1.waitEvent(1, 'A', local.termId(), 2));
}

TEST_F(TransportDelivery, MessagesKeepPerPairOrderAndTheirBytesAcrossAndWithinProcessesOrAreRefused) {
    Peer p2(0x202);
    ASSERT_TRUE(local.waitEvent('A', p2.start(GRPID_NODE)));
    Recorder b(GRPID_NODE);
    ASSERT_TRUE(b.start());
    ASSERT_TRUE(local.waitEvent('A', b.termId()));
    ASSERT_TRUE(b.waitEvent('A', local.termId()));

    std::string r2;
    unsigned localToB = 0, bToLocal = 0;
    std::thread second([&] { r2 = p2.send(local.termId(), 5000, 64, 30000); });
    std::thread there([&] { localToB = issueUntilRefused(local, b.termId(), 3000, 40); });
    std::thread back([&] { bToLocal = issueUntilRefused(b, local.termId(), 3000, 40); });
    EXPECT_EQ(p1.send(local.termId(), 5000, 700, 30000), "sent 5000 0");
    for (std::thread* t : {&second, &there, &back}) t->join();
    EXPECT_EQ(r2, "sent 5000 0");
    EXPECT_EQ(localToB + bToLocal, 6000u);
    ASSERT_TRUE(waitUntil([&] { return local.received() == 13000 && b.received() == 3000; }));
    EXPECT_TRUE(local.state().inOrder);
    EXPECT_TRUE(b.state().inOrder);
    EXPECT_EQ(local.state().misaddressed + b.state().misaddressed, 0u);

    EXPECT_EQ(issueUntilRefused(local, id1, 5000, 100), 5000u);
    ASSERT_TRUE(p1.waitReceived(5000));
    EXPECT_EQ(p1.stat("inorder"), 1u);

    // Sizes around the edges of the allocator classes, and the largest message, arrive byte for byte.
    for (unsigned size : {4u, 47u, 48u, 49u, 4096u, 70000u, unsigned(Transport::kMaxMessageSize)}) {
        AddressedMessage m = withSeq(local, 0, size);
        unsigned long before = b.received();
        ASSERT_TRUE(termination(b.termId()).issue(m)) << size;
        EXPECT_EQ(m.destination(), b.termId());
        ASSERT_TRUE(waitUntil([&] { return b.received() == before + 1; })) << size;
        AddressedMessage got = b.state().last;
        EXPECT_EQ(got.originator(), local.termId());
        EXPECT_EQ(got.destination(), b.termId());
        ASSERT_EQ(got.rawSize(), size);
        EXPECT_EQ(std::memcmp(got.rawBuf(), m.rawBuf(), size), 0) << size;
    }

    // Too large, null, or not from a started termination of this process: refused with a log line.
    char const* const refusals[] = {"exceeds the largest message", "is no started termination", "null message"};
    for (char const* e : refusals) testsupport::expectError(e);
    Recorder idle(Transport::GRPID_UNIT_B);
    EXPECT_FALSE(termination(id1).issue(withSeq(local, 0, Transport::kMaxMessageSize + 1)));
    EXPECT_FALSE(termination(local.termId()).issue(withSeq(idle, 0, 8)));
    EXPECT_FALSE(termination(local.termId()).issue(AddressedMessage()));
    for (char const* e : refusals) EXPECT_EQ(1u, testsupport::countRecords(e)) << e;
}

TEST_F(TransportDelivery, ASlowReceiverBoundsWhatIsQueuedAndGetsEverythingInOrderOrBackWhenKilled) {
    ASSERT_EQ(p1.cmd("hold 0"), "ok");
    // The kernel buffer of the pair, then the bounded queue, then refusal.
    unsigned accepted = issueUntilRefused(local, id1, 20000, 1000);
    EXPECT_GT(accepted, unsigned(Transport::Endpoint::kMaxPendingMessages));
    EXPECT_LT(accepted, 2000u);
    EXPECT_EQ(testsupport::countRecords("stayed full"), 1u);
    EXPECT_FALSE(termination(id1).issue(withSeq(local, accepted, 1000))) << "still full";

    ASSERT_EQ(p1.cmd("release 0"), "ok");
    ASSERT_TRUE(p1.waitReceived(accepted));
    EXPECT_EQ(p1.stat("inorder"), 1u);
    EXPECT_TRUE(reaches(p1, id1, accepted + 1)) << "room again";
    ASSERT_TRUE(local.state().handedBack.empty());

    // Killed while full: our queue held the tail of what was accepted; the kernel's part died with the peer.
    ASSERT_EQ(p1.cmd("hold 0"), "ok");
    accepted = issueUntilRefused(local, id1, 20000, 1000);
    p1.kill9();
    ASSERT_TRUE(waitUntil([&] {
        auto back = local.state().handedBack;
        return !back.empty() && seqOf(back.back()) == accepted - 1;
    }));
    std::vector<AddressedMessage> const back = local.state().handedBack;
    EXPECT_GE(back.size(), size_t(Transport::Endpoint::kMaxPendingMessages));
    expectHandedBack(back, seqOf(back.front()), local.termId(), id1);
}

TEST_F(TransportDelivery, WhatAStoppingReceiverDidNotTakeIsHandedBackToItsSender) {
    // A receiver busy in a callback has not accepted our new connection yet
    // when it stops: what waits at its listening socket comes back.
    std::atomic<bool> busy{false}, go{false};
    Recorder r0(GRPID_NODE, [&](AddressedMessage const&) { busy = true, waitUntil([&] { return go.load(); }); });
    ASSERT_TRUE(r0.start());
    ASSERT_TRUE(p1.waitEvent(0, 'A', r0.termId()));
    ASSERT_EQ(p1.send(r0.termId(), 1, 8), "sent 1 0");
    ASSERT_TRUE(waitUntil([&] { return busy.load(); }));
    ASSERT_TRUE(termination(r0.termId()).issue(withSeq(local, 0, 8)));
    size_t const eventThreads = threadsNamed("TrspEvent");
    std::thread stopper([&] { r0.stop(); });
    // The stop ends the event thread just before the receiving thread's loop.
    ASSERT_TRUE(waitUntil([&] { return threadsNamed("TrspEvent") < eventThreads; }));
    go = true;
    stopper.join();
    ASSERT_TRUE(waitUntil([&] { return local.state().handedBack.size() + r0.received() == 2; }));
    if (r0.received() == 1) expectHandedBack(local.state().handedBack, 0, local.termId(), r0.termId());

    // The receiver has taken our connection: what it holds is its own to hand back.
    size_t const early = local.state().handedBack.size();
    ASSERT_TRUE(reaches(p1, id1));
    ASSERT_EQ(p1.cmd("hold 0"), "ok");
    for (uint32_t i = 1; i <= 100; ++i) ASSERT_TRUE(termination(id1).issue(withSeq(local, i, 100)));
    ASSERT_EQ(p1.cmd("stop 0").compare(0, 7, "stopped"), 0);
    unsigned long delivered = p1.stat("recv");
    ASSERT_TRUE(waitUntil([&] { return delivered + local.state().handedBack.size() == early + 101; }));
    std::vector<AddressedMessage> const got = local.state().handedBack;
    ASSERT_GT(got.size(), early);
    expectHandedBack({got.begin() + long(early), got.end()}, delivered, local.termId(), id1);
}

TEST(TransportLocal, StopFromAnOwnCallbackIsRefusedAndNoCallbackRunsAfterStopReturns) {
    std::atomic<bool> stopInside{true};
    Recorder* self = nullptr;
    Recorder local(GRPID_UNIT_A, [&](AddressedMessage const&) {
        if (stopInside) self->stop();
    });
    self = &local;
    ASSERT_TRUE(local.start());
    Peer p1(0x201);
    p1.start(GRPID_UNIT_A);
    testsupport::expectError("stop() called from one of its own callbacks");
    ASSERT_EQ(p1.send(local.termId(), 2, 8), "sent 2 0");
    ASSERT_TRUE(waitUntil([&] { return local.received() == 2; }));
    EXPECT_TRUE(local.started());

    stopInside = false;
    std::string r;
    std::thread flood([&] { r = p1.send(local.termId(), 20000, 32, 60000); });
    ASSERT_TRUE(waitUntil([&] { return local.received() > 200; }));
    local.stop();
    EXPECT_FALSE(local.started());
    size_t calls = local.state().callbacks;
    flood.join();
    EXPECT_EQ(r.compare(0, 5, "sent "), 0) << r;
    // A peer that comes is reported to nobody: the callbacks are over.
    Peer p2(0x202);
    ASSERT_NE(p2.start(GRPID_UNIT_A).value(), 0ul);
    ASSERT_TRUE(waitUntil([&] { return !TransportLayer::instance().exists(local.termId()); }));
    EXPECT_EQ(local.state().callbacks, calls);
    EXPECT_EQ(0, local.eventTime('A', TerminationId(0x202, 1, GRPID_UNIT_A)));
}

namespace {

int rawConnect(std::string const& path) { return Transport::sock::connectTo(path, false); }

bool sendRaw(int fd, std::vector<uint8_t> const& f) {
    return ::send(fd, f.data(), f.size(), MSG_NOSIGNAL) == ssize_t(f.size());
}

// Whether the other side closed `fd` within the deadline.
bool closedByPeer(int fd) {
    return waitUntil([&] {
        char b[64];
        ssize_t n = ::recv(fd, b, sizeof b, MSG_DONTWAIT);
        return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
    });
}

constexpr uint32_t kRaw = 0x0ABC0101;

}  // namespace

TEST_F(TransportAbuse, ARawPeersMalformedFramesAreDroppedAndAConnectionWithoutHelloIsClosed) {
    uint32_t self = uint32_t(local.termId().value());
    int fd = rawConnect(Transport::sock::terminationPath(self));
    ASSERT_GE(fd, 0);
    testsupport::expectError("dropped a malformed frame");
    ASSERT_TRUE(sendRaw(fd, rawFrame(1, kRaw, self, 0)));  // HELLO
    // The reasons, and when they close the connection, are the frame
    // reader's (FrameTest); here the socket's own limits count too.
    std::vector<std::vector<uint8_t>> bad = {
        {'h', 'e', 'l', 'l', 'o'},
        rawFrame(2, kRaw, self, Transport::kMaxMessageSize + 1, std::vector<uint8_t>(Transport::kMaxMessageSize + 1)),
    };
    for (size_t i = 0; i < bad.size(); ++i) {
        ASSERT_TRUE(sendRaw(fd, bad[i])) << i;
        ASSERT_TRUE(testsupport::waitForRecords("dropped a malformed frame", i + 1)) << i;
    }
    EXPECT_EQ(local.received(), 0u);
    // The connection still carries good frames.
    ASSERT_TRUE(sendRaw(fd, rawFrame(2, kRaw, self, 6, {0, 0, 0, 0, 0xCA, 0xFE})));
    ASSERT_TRUE(waitUntil([&] { return local.received() == 1; }));
    AddressedMessage m = local.state().last;
    EXPECT_EQ(m.originator().value(), kRaw);
    EXPECT_EQ(std::vector<uint8_t>({0, 0, 0, 0, 0xCA, 0xFE}),
              std::vector<uint8_t>(m.rawBuf(), m.rawBuf() + m.rawSize()));
    ::close(fd);

    // A connection the reader gives up on is closed.
    testsupport::expectError("closes the connection");
    fd = rawConnect(Transport::sock::terminationPath(self));
    ASSERT_TRUE(sendRaw(fd, rawFrame(2, kRaw, self, 4, {0, 0, 0, 0})));
    EXPECT_TRUE(closedByPeer(fd));
    ::close(fd);
    EXPECT_EQ(testsupport::countRecords("DATA before HELLO"), 1u);
    // Real peers are unaffected.
    EXPECT_EQ(p1.send(local.termId(), 10, 16), "sent 10 0");
    EXPECT_TRUE(waitUntil([&] { return local.received() == 1 + 10; }));
    EXPECT_TRUE(local.state().inOrder);
}

// A receiver whose accept backlog stays full holds up the sends to it, and
// nothing else: meanwhile the sender's receiving thread reads the greetings
// of new peers and delivers what they send.
TEST_F(TransportDelivery, AConnectToAReceiverWithAFullBacklogHoldsUpNothingButItsOwnSend) {
    uint32_t const self = uint32_t(local.termId().value());
    constexpr uint32_t kFull = 0x0ABD0101, kGreeter = 0x0AC00101;
    std::string const fullPath = Transport::sock::terminationPath(kFull);
    int const listener = Transport::sock::listenAt(fullPath, 0);
    ASSERT_GE(listener, 0);
    std::vector<int> fds;
    for (int fd; fds.size() < 8 && (fd = Transport::sock::connectTo(fullPath, true)) >= 0;) fds.push_back(fd);
    ASSERT_EQ(errno, EAGAIN) << "the backlog is full";
    // It is present to us through its own connection to us.
    int const own = rawConnect(Transport::sock::terminationPath(self));
    ASSERT_TRUE(sendRaw(own, rawFrame(1, kFull, self, 0)) && sendRaw(own, rawFrame(2, kFull, self, 4, {0, 0, 0, 0})));
    ASSERT_TRUE(waitUntil([&] { return local.received() == 1; }));

    std::atomic<bool> done{false};
    bool sent = true;
    std::thread sender([&] {
        sent = termination(TerminationId(kFull)).issue(withSeq(local, 1, 8));
        done = true;
    });
    // Each greeter connects, greets and sends one message while the send waits.
    unsigned servedMeanwhile = 0;
    for (uint32_t k = 0; !done; ++k) {
        int const fd = rawConnect(Transport::sock::terminationPath(self));
        ASSERT_TRUE(sendRaw(fd, rawFrame(1, kGreeter + (k << 16), self, 0)) &&
                    sendRaw(fd, rawFrame(2, kGreeter + (k << 16), self, 4, {0, 0, 0, 0})));
        ASSERT_TRUE(waitUntil([&] { return local.received() == 2 + k; }));
        servedMeanwhile += !done;
        ::close(fd);
    }
    sender.join();
    EXPECT_FALSE(sent) << "refused after the send time-out";
    EXPECT_EQ(local.state().issueErrors, 1u);
    EXPECT_GE(servedMeanwhile, 5u);
    for (int fd : fds) ::close(fd);
    for (int fd : {own, listener}) ::close(fd);
    ::unlink(fullPath.c_str());
}

namespace {

// Runs a child that becomes uid/gid 65534, keeping only CAP_DAC_OVERRIDE when
// asked (so that the private directory can be passed and the peer check is
// what stops it), and sends a HELLO and a DATA frame to the termination at
// `path`. Returns 0 when the termination closed the connection, 1 when it
// could not connect (EACCES), 2 for anything else.
int runForeign(std::string const& path, bool keepDacOverride) {
    pid_t pid = ::fork();
    if (pid == 0) {
        ::prctl(PR_SET_KEEPCAPS, 1);
        if (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0) ::_exit(2);
        __user_cap_header_struct hdr = {_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct caps[2] = {};
        caps[0].permitted = caps[0].effective = keepDacOverride ? 1u << CAP_DAC_OVERRIDE : 0;
        if (::syscall(SYS_capset, &hdr, caps) != 0) ::_exit(2);
        int fd = rawConnect(path);
        if (fd < 0) ::_exit(errno == EACCES ? 1 : 2);
        uint32_t self = 0;
        std::sscanf(path.c_str() + path.rfind("/t-") + 3, "%x", &self);
        sendRaw(fd, rawFrame(1, 0x0DDD0101, self, 0));
        sendRaw(fd, rawFrame(2, 0x0DDD0101, self, 4, {0, 0, 0, 0}));
        ::_exit(closedByPeer(fd) ? 0 : 2);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

TEST_F(TransportSecurity, TheNodeIsPrivateAndForeignUsersAreRefused) {
    struct stat st;
    ASSERT_EQ(::stat(platform::nodeDirectory().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(st.st_uid, ::getuid());
    std::string path = Transport::sock::terminationPath(uint32_t(local.termId().value()));
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0077, 0u);

    if (::geteuid() != 0) GTEST_SKIP() << "running a peer under another uid needs root";
    // Another user cannot even reach the sockets...
    EXPECT_EQ(runForeign(path, false), 1);
    // ...and one that gets past the directory is turned away by the peer check.
    testsupport::expectError("not its own user");
    EXPECT_EQ(runForeign(path, true), 0);
    EXPECT_TRUE(testsupport::waitForRecords("refuses a connection from uid 65534"));
    EXPECT_EQ(local.received(), 0u);
}
