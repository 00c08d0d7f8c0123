// Multi-process tests of the node transport: real peer processes, a real
// membership service, kill -9.
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <thread>

#include "Endpoint.h"
#include "Frame.h"
#include "NodeDir.h"
#include "NodeFixture.h"
#include "NodeServiceProcess.h"
#include "Socket.h"

using namespace transporttest;
using Transport::AddressedMessage;
using Transport::GRPID_NODE;
using Transport::GRPID_UNIT_A;
using Transport::TerminationId;
using Transport::TransportLayer;
using testsupport::waitUntil;

namespace {

::testing::Environment* const gNode = ::testing::AddGlobalTestEnvironment(new NodeEnvironment);

constexpr long long kMs = 1000000;
// The bound holds for the plain build; sanitizers slow every process down several times.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr long long kAppearBound = 500 * kMs;
#else
constexpr long long kAppearBound = 100 * kMs;
#endif

using TransportMembership = NodeTest;
using TransportDelivery = NodeTest;
using TransportLifecycle = NodeTest;
using TransportAbuse = NodeTest;
using TransportSecurity = NodeTest;

Transport::Termination& termination(TerminationId id) { return TransportLayer::instance().getTermination(id); }

bool listed(std::list<TerminationId> const& l, TerminationId id) { return std::find(l.begin(), l.end(), id) != l.end(); }

// A termination that is only started, or refused.
struct Bare : Transport::TerminationImpl {
    explicit Bare(TerminationId id) : TerminationImpl(id, "bare") {}
    ~Bare() override { stop(); }
};

// Issues up to `count` messages of `size` bytes with sequence numbers until
// the transport refuses one; returns how many it took.
unsigned issueUntilRefused(Recorder& from, TerminationId to, unsigned count, unsigned size) {
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

// ---------------------------------------------------------------------------
// Membership

TEST_F(TransportMembership, StartAppearsEverywhereWithin100msAndALateJoinerLearnsTheMembers) {
    EXPECT_TRUE(TransportLayer::instance().exists(local.termId()));
    ASSERT_EQ(id1, TerminationId(0x201, 1, GRPID_UNIT_A));
    EXPECT_LT(local.eventTime('A', id1) - p1Started, kAppearBound);

    Peer p2(0x202);
    long long t2 = 0;
    TerminationId id2 = p2.start(GRPID_NODE, &t2);
    ASSERT_NE(id2.value(), 0ul);
    ASSERT_TRUE(local.waitEvent('A', id2));
    EXPECT_LT(local.eventTime('A', id2) - t2, kAppearBound);
    ASSERT_TRUE(waitUntil([&] { return p1.eventTime(0, 'A', id2) != 0; }));
    EXPECT_LT(p1.eventTime(0, 'A', id2) - t2, kAppearBound);

    // The late joiner is told of everybody present, and not of itself.
    EXPECT_TRUE(waitUntil([&] { return p2.eventTime(0, 'A', local.termId()) != 0 && p2.eventTime(0, 'A', id1) != 0; }));
    EXPECT_EQ(p2.eventTime(0, 'A', id2), 0);
    EXPECT_EQ(local.eventCount('A', id1), 1u);
    EXPECT_EQ(local.eventCount('A', local.termId()), 0u);

    std::list<TerminationId> all = TransportLayer::instance().getTerminations();
    EXPECT_TRUE(listed(all, local.termId()) && listed(all, id1) && listed(all, id2));
    EXPECT_TRUE(std::is_sorted(all.begin(), all.end()));
    std::list<TerminationId> a = TransportLayer::instance().getGroup(GRPID_UNIT_A).contains();
    EXPECT_TRUE(listed(a, local.termId()) && listed(a, id1));
    EXPECT_FALSE(listed(a, id2));
    EXPECT_TRUE(listed(TransportLayer::instance().getGroup(GRPID_NODE).contains(), id2));

    EXPECT_EQ(local.eventThreadNames(), std::set<std::string>{"TrspEvent"});
}

TEST_F(TransportMembership, Kill9DisappearsEverywhereWithin100msAndLeavesNoStaleMember) {
    Peer p2(0x202);
    TerminationId id2 = p2.start(GRPID_UNIT_A);
    ASSERT_TRUE(local.waitEvent('A', id2));
    ASSERT_TRUE(waitUntil([&] { return p1.eventTime(0, 'A', id2) != 0; }));

    long long killed = p2.kill9();
    ASSERT_TRUE(local.waitEvent('D', id2));
    EXPECT_LT(local.eventTime('D', id2) - killed, kAppearBound);
    ASSERT_TRUE(waitUntil([&] { return p1.eventTime(0, 'D', id2) != 0; }));
    EXPECT_LT(p1.eventTime(0, 'D', id2) - killed, kAppearBound);

    EXPECT_FALSE(TransportLayer::instance().exists(id2));
    EXPECT_FALSE(listed(TransportLayer::instance().getTerminations(), id2));
    EXPECT_FALSE(listed(TransportLayer::instance().getGroup(GRPID_UNIT_A).contains(), id2));
    EXPECT_FALSE(termination(id2).exists());
    EXPECT_FALSE(termination(id2).issue(withSeq(local, 0, 8)));
    AddressedMessage direct = withSeq(local, 1, 8);
    direct.setDestination(id2);
    EXPECT_FALSE(local.issue(direct));
    EXPECT_EQ(local.issueErrors(), 2u);

    // A restarted actor with the same id is a fresh member that gets messages.
    Peer p3(0x202);
    ASSERT_EQ(p3.start(GRPID_UNIT_A), id2);
    ASSERT_TRUE(waitUntil([&] { return local.eventCount('A', id2) == 2; }));
    EXPECT_TRUE(reaches(p3, id2));
}

TEST_F(TransportMembership, StopDisappearsAndCanStartAgainButATwinIsRefused) {
    // While the owner holds its id, a twin in another process or in this one is refused and the owner is not disturbed.
    Bare twin(id1), localTwin(local.termId());
    testsupport::expectError("already exists");
    EXPECT_FALSE(twin.start());
    EXPECT_FALSE(localTwin.start());
    EXPECT_FALSE(twin.started());
    EXPECT_TRUE(reaches(p1, id1));

    std::string r = p1.cmd("stop 0");
    ASSERT_EQ(r.compare(0, 8, "stopped "), 0) << r;
    ASSERT_TRUE(local.waitEvent('D', id1));
    EXPECT_LT(local.eventTime('D', id1) - std::stoll(r.substr(8)), kAppearBound);
    EXPECT_FALSE(TransportLayer::instance().exists(id1));

    ASSERT_EQ(p1.start(GRPID_UNIT_A), id1);
    EXPECT_TRUE(waitUntil([&] { return local.eventCount('A', id1) == 2; }));

    // And our own termination likewise.
    local.stop();
    EXPECT_FALSE(local.started());
    ASSERT_TRUE(waitUntil([&] { return p1.eventTime(1, 'D', local.termId()) != 0; }));
    ASSERT_TRUE(local.start());
    EXPECT_TRUE(waitUntil([&] { return p1.eventTimes(1, 'A', local.termId()).size() == 2; }));
}

TEST_F(TransportMembership, MembersSurviveARestartOfTheMembershipService) {
    testsupport::expectError("membership service connection lost");
    NodeEnvironment::service().kill9();
    ASSERT_TRUE(testsupport::waitForRecords("membership service connection lost"));
    ASSERT_TRUE(NodeEnvironment::service().start());
    ASSERT_TRUE(testsupport::waitForRecords("membership service connection restored"));

    // Both re-announced themselves; a newcomer sees them and they see it.
    Peer p2(0x202);
    TerminationId id2 = p2.start(GRPID_UNIT_A);
    ASSERT_NE(id2.value(), 0ul);
    ASSERT_TRUE(local.waitEvent('A', id2));
    ASSERT_TRUE(waitUntil([&] { return p2.eventTime(0, 'A', id1) != 0 && p2.eventTime(0, 'A', local.termId()) != 0; }));
    ASSERT_TRUE(waitUntil([&] { return TransportLayer::instance().exists(id1); }));
    EXPECT_TRUE(reaches(p1, id1));
}

// A test killed by its deadline must not leave its service running: the
// orphan would keep the test runner's output pipe open.
TEST(TransportService, EndsWithTheProcessThatStartedIt) {
    int fds[2];
    ASSERT_EQ(0, ::pipe(fds));
    pid_t starter = ::fork();
    if (starter == 0) {
        ::close(fds[0]);
        std::string dir = Transport::NodeServiceProcess::useFreshNodeDirectory();
        Transport::NodeServiceProcess service;
        pid_t pid = service.start() ? service.pid() : -1;
        char line[512];
        int n = std::snprintf(line, sizeof line, "%d %s", int(pid), dir.c_str());
        if (::write(fds[1], line, size_t(n)) != n) ::_exit(1);
        ::pause();
        ::_exit(0);
    }
    ::close(fds[1]);
    char line[512] = {};
    ASSERT_GT(::read(fds[0], line, sizeof line - 1), 0);
    ::close(fds[0]);
    int pid = 0;
    char dir[480] = {};
    ASSERT_EQ(2, std::sscanf(line, "%d %479s", &pid, dir));
    ASSERT_GT(pid, 0);
    ::kill(starter, SIGKILL);
    ::waitpid(starter, nullptr, 0);
    // Gone, or a zombie waiting for the reaper of orphans.
    EXPECT_TRUE(waitUntil([&] {
        FILE* f = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
        if (!f) return true;
        char state = 0;
        int scanned = std::fscanf(f, "%*d %*s %c", &state);
        std::fclose(f);
        return scanned == 1 && state == 'Z';
    }));
    std::string const rm = std::string("rm -rf ") + dir;
    EXPECT_EQ(0, std::system(rm.c_str()));
}

// ---------------------------------------------------------------------------
// Delivery

TEST_F(TransportDelivery, ThousandsOfMessagesKeepPerPairOrderInBothDirectionsAcrossAndWithinProcesses) {
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
    EXPECT_TRUE(local.inOrder());
    EXPECT_TRUE(b.inOrder());
    EXPECT_EQ(local.misaddressed() + b.misaddressed(), 0u);

    EXPECT_EQ(issueUntilRefused(local, id1, 5000, 100), 5000u);
    ASSERT_TRUE(p1.waitReceived(5000));
    EXPECT_EQ(p1.stat("inorder"), 1u);
    EXPECT_EQ(p1.stat("bad"), 0u);
    EXPECT_EQ(local.receiveThreadNames(), std::set<std::string>{"TrspRecv"});

    b.stop();
    EXPECT_TRUE(local.waitEvent('D', b.termId()));
}

TEST_F(TransportDelivery, AMessageArrivesWithItsBytesAndAddressesOrIsRefused) {
    ASSERT_EQ(p1.cmd("echo 0 on"), "ok");
    // Sizes around the edges of the allocator classes, and the largest message.
    for (unsigned size : {4u, 47u, 48u, 49u, 4096u, 70000u, unsigned(Transport::kMaxMessageSize)}) {
        AddressedMessage m = withSeq(local, 0, size);
        unsigned long before = local.received();
        ASSERT_TRUE(termination(id1).issue(m)) << size;
        EXPECT_EQ(m.destination(), id1);
        ASSERT_TRUE(waitUntil([&] { return local.received() == before + 1; })) << size;
        AddressedMessage back = local.lastReceived();
        EXPECT_EQ(back.originator(), id1);
        EXPECT_EQ(back.destination(), local.termId());
        ASSERT_EQ(back.rawSize(), size);
        EXPECT_EQ(std::memcmp(back.rawBuf(), m.rawBuf(), size), 0) << size;
    }
    unsigned long received = local.received();

    testsupport::expectError("exceeds the largest message");
    EXPECT_FALSE(termination(id1).issue(withSeq(local, 0, Transport::kMaxMessageSize + 1)));
    // Not from a started termination of this process: refused with a log line.
    Recorder idle(GRPID_NODE);
    testsupport::expectError("is no started termination");
    EXPECT_FALSE(termination(local.termId()).issue(withSeq(idle, 0, 8)));
    testsupport::expectError("null message");
    EXPECT_FALSE(termination(local.termId()).issue(AddressedMessage()));
    EXPECT_EQ(local.received(), received);
}

TEST_F(TransportDelivery, ASlowReceiverBoundsWhatIsQueuedAndThenGetsEverythingInOrder) {
    ASSERT_EQ(p1.cmd("hold 0"), "ok");
    // The kernel buffer of the pair, then the bounded queue, then refusal.
    unsigned accepted = issueUntilRefused(local, id1, 20000, 1000);
    EXPECT_GT(accepted, unsigned(Transport::Endpoint::kMaxPendingMessages));
    EXPECT_LT(accepted, 2000u);
    EXPECT_EQ(testsupport::countRecords("stayed full"), 1u);
    // Still full: refused again, memory does not grow.
    EXPECT_FALSE(termination(id1).issue(withSeq(local, accepted, 1000)));

    ASSERT_EQ(p1.cmd("release 0"), "ok");
    ASSERT_TRUE(p1.waitReceived(accepted));
    EXPECT_EQ(p1.stat("inorder"), 1u);
    // Room again: the next message goes straight through.
    EXPECT_TRUE(reaches(p1, id1, accepted + 1));
    EXPECT_TRUE(local.handedBack().empty());
}

TEST_F(TransportDelivery, QueuedMessagesOfAKilledReceiverAreHandedBackToTheirSender) {
    ASSERT_EQ(p1.cmd("hold 0"), "ok");
    unsigned accepted = issueUntilRefused(local, id1, 20000, 1000);
    ASSERT_GT(accepted, 0u);

    p1.kill9();
    ASSERT_TRUE(local.waitEvent('D', id1));
    // Our queue held the tail of what was accepted; the kernel's part died with the peer.
    ASSERT_TRUE(waitUntil([&] {
        auto back = local.handedBack();
        return !back.empty() && seqOf(back.back()) == accepted - 1;
    }));
    std::vector<AddressedMessage> back = local.handedBack();
    EXPECT_GE(back.size(), size_t(Transport::Endpoint::kMaxPendingMessages));
    expectHandedBack(back, seqOf(back.front()), local.termId(), id1);
    EXPECT_EQ(local.receiveThreadNames(), std::set<std::string>{"TrspRecv"});
}

TEST_F(TransportDelivery, AStoppingReceiverHandsWhatItHadNotDeliveredBack) {
    ASSERT_EQ(p1.cmd("hold 0"), "ok");
    for (uint32_t i = 0; i < 100; ++i) ASSERT_TRUE(termination(id1).issue(withSeq(local, i, 100)));

    ASSERT_EQ(p1.cmd("stop 0").compare(0, 7, "stopped"), 0);
    unsigned long delivered = p1.stat("recv");
    ASSERT_TRUE(waitUntil([&] { return delivered + local.handedBack().size() == 100; }));
    ASSERT_FALSE(local.handedBack().empty());
    expectHandedBack(local.handedBack(), delivered, local.termId(), id1);
}

// ---------------------------------------------------------------------------
// Callbacks

TEST(TransportLocal, ACallbackIssuingToAFullReceiverWaitsBoundedAndNothingDeadlocks) {
    // Forwards everything it gets to `target`, from its receiving thread.
    class Forwarder : public Recorder {
    public:
        using Recorder::Recorder;
        ~Forwarder() override { stop(); }
        TerminationId target;
        std::atomic<unsigned> ok{0}, refused{0};
        void receive(AddressedMessage const& m) override {
            Recorder::receive(m);
            ++(termination(target).issue(withSeq(*this, ok.load(), m.rawSize())) ? ok : refused);
        }
    } fwd(GRPID_UNIT_A);
    ASSERT_TRUE(fwd.start());
    Peer sink(0x201), source(0x202);
    fwd.target = sink.start(GRPID_UNIT_A);
    source.start(GRPID_UNIT_A);
    ASSERT_TRUE(fwd.waitEvent('A', fwd.target));
    ASSERT_EQ(sink.cmd("hold 0"), "ok");

    // Large messages: the sink's kernel buffer and our queue hold a few dozen.
    std::string r = source.send(fwd.termId(), 60, 60000, 60000);
    ASSERT_EQ(r.compare(0, 5, "sent "), 0) << r;
    unsigned long sent = std::stoul(r.substr(5));
    ASSERT_TRUE(waitUntil([&] { return fwd.ok + fwd.refused == sent; }, std::chrono::milliseconds(60000)));
    EXPECT_EQ(fwd.received(), sent);
    EXPECT_GT(fwd.refused.load(), 0u);
    EXPECT_GT(fwd.ok.load(), 0u);

    ASSERT_EQ(sink.cmd("release 0"), "ok");
    ASSERT_TRUE(sink.waitReceived(fwd.ok));
    EXPECT_EQ(sink.stat("inorder"), 1u);
}

TEST(TransportLocal, StopFromOwnCallbackIsRefused) {
    class SelfStopper : public Recorder {
    public:
        using Recorder::Recorder;
        ~SelfStopper() override { stop(); }
        void receive(AddressedMessage const& m) override {
            Recorder::receive(m);
            stop();
        }
    } local(GRPID_UNIT_A);
    ASSERT_TRUE(local.start());
    Peer p1(0x201);
    p1.start(GRPID_UNIT_A);
    testsupport::expectError("stop() called from one of its own callbacks");
    ASSERT_EQ(p1.send(local.termId(), 2, 8), "sent 2 0");
    ASSERT_TRUE(waitUntil([&] { return local.received() == 2; }));
    EXPECT_TRUE(local.started());
    local.stop();
    EXPECT_FALSE(local.started());
}

TEST_F(TransportLifecycle, NoCallbackRunsAfterStopReturns) {
    std::string r;
    std::thread flood([&] { r = p1.send(local.termId(), 20000, 32, 60000); });
    ASSERT_TRUE(waitUntil([&] { return local.received() > 200; }));
    local.stop();
    size_t calls = local.callbacks();
    flood.join();
    EXPECT_EQ(r.compare(0, 5, "sent "), 0) << r;
    // A peer that stays is still reported to nobody: the callbacks are over.
    Peer p2(0x202);
    ASSERT_NE(p2.start(GRPID_UNIT_A).value(), 0ul);
    ASSERT_TRUE(waitUntil([&] { return !TransportLayer::instance().exists(local.termId()); }));
    EXPECT_EQ(local.callbacks(), calls);
    EXPECT_EQ(local.eventCount('A', TerminationId(0x202, 1, GRPID_UNIT_A)), 0u);
}

// ---------------------------------------------------------------------------
// Abuse from raw peers

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

// Whether termination `self` closes a fresh connection that sends it `frames`.
bool closesAfter(uint32_t self, std::vector<std::vector<uint8_t>> const& frames) {
    int fd = rawConnect(Transport::sock::terminationPath(self));
    bool sent = fd >= 0;
    for (auto const& f : frames) sent = sent && sendRaw(fd, f);
    bool closed = sent && closedByPeer(fd);
    if (fd >= 0) ::close(fd);
    return closed;
}

constexpr uint32_t kRaw = 0x0ABC0101;

}  // namespace

TEST_F(TransportAbuse, ARawPeersMalformedFramesAreDroppedUntilTooManyAndAConnectionWithoutHelloIsClosed) {
    uint32_t self = uint32_t(local.termId().value());
    int fd = rawConnect(Transport::sock::terminationPath(self));
    ASSERT_GE(fd, 0);
    testsupport::expectError("dropped a malformed frame");
    ASSERT_TRUE(sendRaw(fd, rawFrame(1, kRaw, self, 0)));  // HELLO

    std::vector<uint8_t> four = {0, 0, 0, 0};
    std::vector<std::vector<uint8_t>> bad = {
        {'h', 'e', 'l', 'l', 'o'},                 // shorter than a header
        rawFrame(2, kRaw, self, 4, four, 2),       // unknown version
        rawFrame(2, kRaw, self, 100, four),        // length beyond the frame
        rawFrame(2, kRaw, self, 2, four),          // length short of the frame
        rawFrame(2, 0x1111, self, 4, four),        // foreign originator
        rawFrame(9, kRaw, self, 0),                // unknown kind
        rawFrame(1, kRaw, self, 0),                // second HELLO
        rawFrame(3, self, 0x2222, 0),              // BOUNCE of nothing of ours
        rawFrame(2, kRaw, self, Transport::kMaxMessageSize + 1,
                 std::vector<uint8_t>(Transport::kMaxMessageSize + 1)),  // larger than the largest message
    };
    for (size_t i = 0; i < bad.size(); ++i) {
        ASSERT_TRUE(sendRaw(fd, bad[i])) << i;
        ASSERT_TRUE(testsupport::waitForRecords("dropped a malformed frame", i + 1)) << i;
    }
    EXPECT_EQ(local.received(), 0u);

    // The connection still carries good frames.
    ASSERT_TRUE(sendRaw(fd, rawFrame(2, kRaw, self, 6, {0, 0, 0, 0, 0xCA, 0xFE})));
    ASSERT_TRUE(waitUntil([&] { return local.received() == 1; }));
    AddressedMessage m = local.lastReceived();
    EXPECT_EQ(m.originator().value(), kRaw);
    ASSERT_EQ(m.rawSize(), 6u);
    EXPECT_EQ(m.rawBuf()[5], 0xFE);
    ::close(fd);

    // A connection without a HELLO for us, or with too many bad frames, is closed.
    testsupport::expectError("closes the connection");
    EXPECT_TRUE(closesAfter(self, {rawFrame(2, kRaw, self, 4, {0, 0, 0, 0})}));
    EXPECT_EQ(testsupport::countRecords("DATA before HELLO"), 1u);
    EXPECT_TRUE(closesAfter(self, {rawFrame(1, kRaw, self + 1, 0)}));
    std::vector<std::vector<uint8_t>> noisy = {rawFrame(1, kRaw, self, 0)};
    noisy.resize(1 + Transport::wire::DataFrameReader::kMaxBadFrames, {1, 2, 3});
    EXPECT_TRUE(closesAfter(self, noisy));
    EXPECT_EQ(testsupport::countRecords("too many malformed frames"), 1u);

    // Real peers are unaffected.
    EXPECT_EQ(p1.send(local.termId(), 10, 16), "sent 10 0");
    EXPECT_TRUE(waitUntil([&] { return local.received() == 1 + 10; }));
    EXPECT_TRUE(local.inOrder());
}

TEST_F(TransportAbuse, TheMembershipServiceSpeaksItsFramesAndSurvivesGarbage) {
    uint32_t self = uint32_t(local.termId().value());
    int fd = rawConnect(Transport::sock::servicePath());
    ASSERT_GE(fd, 0);
    // First frame: the snapshot of the present terminations, byte by byte.
    uint8_t buf[256];
    ssize_t n = -1;
    ASSERT_TRUE(waitUntil([&] { return (n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT)) > 0; }));
    ASSERT_GE(n, 12);
    EXPECT_EQ(buf[0], 1);  // version
    EXPECT_EQ(buf[1], 3);  // SNAPSHOT
    size_t count = size_t(buf[2]) << 8 | buf[3];
    ASSERT_EQ(size_t(n), 8 + 4 * count);
    EXPECT_EQ(Transport::wire::get32(buf + 4), 0u);
    bool selfListed = false;
    for (size_t i = 0; i < count; ++i) selfListed |= Transport::wire::get32(buf + 8 + 4 * i) == self;
    EXPECT_TRUE(selfListed);

    // Garbage first: the service logs (in its own process) and carries on.
    ASSERT_TRUE(sendRaw(fd, {0xFF, 0xFF}));
    ASSERT_TRUE(sendRaw(fd, {1, 4, 0, 0, 0, 0, 0, 1}));        // JOINED is not for processes to send
    ASSERT_TRUE(sendRaw(fd, {1, 1, 0, 0, 0, 0, 0, 0}));        // JOIN of id 0
    ASSERT_TRUE(sendRaw(fd, {1, 1, 0, 2, 0x0B, 0xBB, 1, 1}));  // a count where none belongs

    // A raw JOIN makes a termination appear; closing the connection makes it leave.
    ASSERT_TRUE(sendRaw(fd, {1, 1, 0, 0, 0x0B, 0xBB, 0x01, 0x01}));
    TerminationId rawId(0x0BBB0101ul);
    ASSERT_TRUE(local.waitEvent('A', rawId));
    uint8_t joined[8] = {};
    ASSERT_TRUE(waitUntil([&] { return ::recv(fd, joined, sizeof joined, MSG_DONTWAIT) == 8; }));
    EXPECT_EQ(std::vector<uint8_t>(joined, joined + 8), (std::vector<uint8_t>{1, 4, 0, 0, 0x0B, 0xBB, 0x01, 0x01}));

    // Nobody listens under that id: issuing to it is refused, not lost.
    testsupport::expectError("cannot connect");
    EXPECT_FALSE(termination(rawId).issue(withSeq(local, 0, 8)));
    // The id is taken: a termination of ours with it is refused by the service.
    Bare taker(rawId);
    testsupport::expectError("refused by the membership service");
    EXPECT_FALSE(taker.start());

    ::close(fd);
    ASSERT_TRUE(local.waitEvent('D', rawId));
    Peer p2(0x202);
    EXPECT_TRUE(local.waitEvent('A', p2.start(GRPID_UNIT_A)));
}

// ---------------------------------------------------------------------------
// Privacy of the node

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
