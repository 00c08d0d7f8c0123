// Multi-process tests of the node transport: real peer processes, a real
// membership service, kill -9.
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>

#include <thread>

#include "Endpoint.h"
#include "Frame.h"
#include "NodeDir.h"
#include "NodeFixture.h"
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

bool listed(std::list<TerminationId> const& l, TerminationId id) {
    for (auto const& t : l)
        if (t == id) return true;
    return false;
}

// Sends with sequence numbers until the transport refuses; returns how many it took.
unsigned sendUntilRefused(Recorder& from, TerminationId to, unsigned size, unsigned limit) {
    Transport::Termination& dest = TransportLayer::instance().getTermination(to);
    for (unsigned i = 0; i < limit; ++i)
        if (!dest.issue(withSeq(from, i, size))) return i;
    return limit;
}

}  // namespace

// ---------------------------------------------------------------------------
// Membership

TEST(TransportMembership, StartAppearsEverywhereWithin100msAndALateJoinerLearnsTheMembers) {
    Recorder local(GRPID_UNIT_A);
    ASSERT_TRUE(local.start());
    EXPECT_TRUE(local.started());
    EXPECT_TRUE(TransportLayer::instance().exists(local.termId()));

    Peer p1(0x201);
    long long t1 = 0;
    TerminationId id1 = p1.start(GRPID_UNIT_A, &t1);
    ASSERT_EQ(id1, TerminationId(0x201, 1, GRPID_UNIT_A));
    ASSERT_TRUE(local.waitEvent('A', id1));
    EXPECT_LT(local.eventTime('A', id1) - t1, kAppearBound);

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
    EXPECT_EQ(local.eventCount('A', id1), 1);
    EXPECT_EQ(local.eventCount('A', local.termId()), 0);

    std::list<TerminationId> all = TransportLayer::instance().getTerminations();
    EXPECT_TRUE(listed(all, local.termId()) && listed(all, id1) && listed(all, id2));
    EXPECT_TRUE(std::is_sorted(all.begin(), all.end()));
    std::list<TerminationId> a = TransportLayer::instance().getGroup(GRPID_UNIT_A).contains();
    EXPECT_TRUE(listed(a, local.termId()) && listed(a, id1));
    EXPECT_FALSE(listed(a, id2));
    EXPECT_TRUE(listed(TransportLayer::instance().getGroup(GRPID_NODE).contains(), id2));

    EXPECT_EQ(local.eventThreadNames(), std::set<std::string>{"TrspEvent"});
}

TEST(TransportMembership, Kill9DisappearsEverywhereWithin100msAndLeavesNoStaleMember) {
    Recorder local(GRPID_UNIT_A);
    ASSERT_TRUE(local.start());
    Peer p1(0x201), p2(0x202);
    TerminationId id1 = p1.start(GRPID_UNIT_A);
    TerminationId id2 = p2.start(GRPID_UNIT_A);
    ASSERT_TRUE(local.waitEvent('A', id1));
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
    EXPECT_FALSE(TransportLayer::instance().getTermination(id2).exists());
    EXPECT_FALSE(TransportLayer::instance().getTermination(id2).issue(withSeq(local, 0, 8)));
    EXPECT_EQ(local.issueErrors(), 1u);

    // A restarted actor with the same id is a fresh member that gets messages.
    Peer p3(0x202);
    ASSERT_EQ(p3.start(GRPID_UNIT_A), id2);
    ASSERT_TRUE(waitUntil([&] { return local.eventCount('A', id2) == 2; }));
    EXPECT_TRUE(TransportLayer::instance().getTermination(id2).issue(withSeq(local, 0, 8)));
    EXPECT_TRUE(waitUntil([&] { return Peer::field(p3.cmd("stats 0"), "recv") == 1; }));
}

TEST(TransportMembership, StopDisappearsAndTheTerminationCanStartAgain) {
    Recorder local(GRPID_UNIT_A);
    ASSERT_TRUE(local.start());
    Peer p1(0x201);
    TerminationId id1 = p1.start(GRPID_UNIT_A);
    ASSERT_TRUE(local.waitEvent('A', id1));

    std::string r = p1.cmd("stop 0");
    ASSERT_EQ(r.compare(0, 8, "stopped "), 0) << r;
    long long stopped = std::stoll(r.substr(8));
    ASSERT_TRUE(local.waitEvent('D', id1));
    EXPECT_LT(local.eventTime('D', id1) - stopped, kAppearBound);
    EXPECT_FALSE(TransportLayer::instance().exists(id1));

    ASSERT_EQ(p1.start(GRPID_UNIT_A), id1);
    EXPECT_TRUE(waitUntil([&] { return local.eventCount('A', id1) == 2; }));

    // And our own termination likewise.
    local.stop();
    EXPECT_FALSE(local.started());
    ASSERT_TRUE(waitUntil([&] { return p1.eventTime(1, 'D', local.termId()) != 0; }));
    ASSERT_TRUE(local.start());
    EXPECT_TRUE(waitUntil([&] {
        std::string e = p1.cmd("events 1");
        char want[32];
        std::snprintf(want, sizeof want, "A:%lx:", local.termId().value());
        return e.find(want) != e.rfind(want);  // appeared twice
    }));
}

TEST(TransportMembership, AnIdInUseIsRefused) {
    Peer p1(0x201);
    TerminationId id1 = p1.start(GRPID_UNIT_A);
    ASSERT_NE(id1.value(), 0ul);

    class Twin : public Transport::TerminationImpl {
    public:
        explicit Twin(TerminationId id) : TerminationImpl(id, "twin") {}
        ~Twin() override { stop(); }
    } twin(id1);
    testsupport::expectError("already exists");
    EXPECT_FALSE(twin.start());
    EXPECT_FALSE(twin.started());
    // The owner is not disturbed.
    EXPECT_TRUE(TransportLayer::instance().exists(id1));
    Recorder local(GRPID_UNIT_A);
    ASSERT_TRUE(local.start());
    EXPECT_TRUE(TransportLayer::instance().getTermination(id1).issue(withSeq(local, 0, 8)));
    EXPECT_TRUE(waitUntil([&] { return Peer::field(p1.cmd("stats 0"), "recv") == 1; }));
}

TEST(TransportMembership, MembersSurviveARestartOfTheMembershipService) {
    Recorder local(GRPID_UNIT_A);
    ASSERT_TRUE(local.start());
    Peer p1(0x201);
    TerminationId id1 = p1.start(GRPID_UNIT_A);
    ASSERT_TRUE(local.waitEvent('A', id1));

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
    EXPECT_TRUE(TransportLayer::instance().getTermination(id1).issue(withSeq(local, 0, 8)));
    EXPECT_TRUE(waitUntil([&] { return Peer::field(p1.cmd("stats 0"), "recv") == 1; }));
}

// ---------------------------------------------------------------------------
// Delivery

TEST(TransportDelivery, ThousandsOfMessagesKeepPerPairOrderInBothDirections) {
    Recorder local(GRPID_UNIT_A);
    ASSERT_TRUE(local.start());
    Peer p1(0x201), p2(0x202);
    TerminationId id1 = p1.start(GRPID_UNIT_A);
    TerminationId id2 = p2.start(GRPID_NODE);
    ASSERT_TRUE(local.waitEvent('A', id1));
    ASSERT_TRUE(local.waitEvent('A', id2));

    char cmd1[64], cmd2[64];
    std::snprintf(cmd2, sizeof cmd2, "send 0 %lx 5000 64", local.termId().value());
    std::string r2;
    std::thread second([&] { r2 = p2.cmd(cmd2, 30000); });
    std::snprintf(cmd1, sizeof cmd1, "send 0 %lx 5000 700", local.termId().value());
    EXPECT_EQ(p1.cmd(cmd1, 30000), "sent 5000 0");
    second.join();
    EXPECT_EQ(r2, "sent 5000 0");
    ASSERT_TRUE(waitUntil([&] { return local.received() == 10000; }));
    EXPECT_TRUE(local.inOrder());
    EXPECT_EQ(local.misaddressed(), 0u);

    Transport::Termination& to1 = TransportLayer::instance().getTermination(id1);
    unsigned accepted = 0;
    for (uint32_t i = 0; i < 5000; ++i) accepted += to1.issue(withSeq(local, i, 100 + i % 300)) ? 1 : 0;
    EXPECT_EQ(accepted, 5000u);
    ASSERT_TRUE(waitUntil([&] { return Peer::field(p1.cmd("stats 0"), "recv") == 5000; }));
    std::string s = p1.cmd("stats 0");
    EXPECT_EQ(Peer::field(s, "inorder"), 1u) << s;
    EXPECT_EQ(Peer::field(s, "bad"), 0u) << s;

    EXPECT_EQ(local.receiveThreadNames(), std::set<std::string>{"TrspRecv"});
}

TEST(TransportDelivery, AMessageArrivesWithItsBytesAndAddresses) {
    Recorder local(GRPID_UNIT_A);
    ASSERT_TRUE(local.start());
    Peer p1(0x201);
    TerminationId id1 = p1.start(GRPID_UNIT_A);
    ASSERT_EQ(p1.cmd("echo 0 on"), "ok");
    ASSERT_TRUE(local.waitEvent('A', id1));

    // Sizes around the edges of the allocator classes, and the largest message.
    unsigned sizes[] = {4, 47, 48, 49, 4096, 70000, Transport::kMaxMessageSize};
    for (unsigned size : sizes) {
        AddressedMessage m = withSeq(local, 0, size);
        unsigned long before = local.received();
        ASSERT_TRUE(TransportLayer::instance().getTermination(id1).issue(m)) << size;
        EXPECT_EQ(m.destination(), id1);
        ASSERT_TRUE(waitUntil([&] { return local.received() == before + 1; })) << size;
        AddressedMessage back = local.lastReceived();
        EXPECT_EQ(back.originator(), id1);
        EXPECT_EQ(back.destination(), local.termId());
        ASSERT_EQ(back.rawSize(), size);
        EXPECT_EQ(std::memcmp(back.rawBuf(), m.rawBuf(), size), 0) << size;
    }
    testsupport::expectError("exceeds the largest message");
    EXPECT_FALSE(TransportLayer::instance().getTermination(id1).issue(withSeq(local, 0, Transport::kMaxMessageSize + 1)));
}

TEST(TransportDelivery, IssueToAnAbsentTerminationIsRefused) {
    Recorder local(GRPID_UNIT_A);
    ASSERT_TRUE(local.start());
    TerminationId absent(0x7777, 1, GRPID_UNIT_A);
    EXPECT_FALSE(TransportLayer::instance().exists(absent));
    EXPECT_FALSE(TransportLayer::instance().getTermination(absent).issue(withSeq(local, 0, 8)));
    AddressedMessage direct = withSeq(local, 1, 8);
    direct.setDestination(absent);
    EXPECT_FALSE(local.issue(direct));
    EXPECT_EQ(local.issueErrors(), 2u);

    // Not from a started termination of this process: refused with a log line.
    Recorder idle(GRPID_NODE);
    testsupport::expectError("is no started termination");
    EXPECT_FALSE(TransportLayer::instance().getTermination(local.termId()).issue(withSeq(idle, 0, 8)));
    testsupport::expectError("null message");
    EXPECT_FALSE(TransportLayer::instance().getTermination(local.termId()).issue(AddressedMessage()));
    EXPECT_EQ(local.received(), 0u);
}

TEST(TransportDelivery, ASlowReceiverBoundsWhatIsQueuedAndThenGetsEverythingInOrder) {
    Recorder local(GRPID_UNIT_A);
    ASSERT_TRUE(local.start());
    Peer p1(0x201);
    TerminationId id1 = p1.start(GRPID_UNIT_A);
    ASSERT_TRUE(local.waitEvent('A', id1));
    ASSERT_EQ(p1.cmd("hold 0"), "ok");

    // The kernel buffer of the pair, then the bounded queue, then refusal.
    unsigned accepted = sendUntilRefused(local, id1, 1000, 20000);
    EXPECT_GT(accepted, unsigned(Transport::Endpoint::kMaxPendingMessages));
    EXPECT_LT(accepted, 2000u);
    EXPECT_EQ(testsupport::countRecords("stayed full"), 1u);
    // Still full: refused again, memory does not grow.
    EXPECT_FALSE(TransportLayer::instance().getTermination(id1).issue(withSeq(local, accepted, 1000)));

    ASSERT_EQ(p1.cmd("release 0"), "ok");
    ASSERT_TRUE(waitUntil([&] { return Peer::field(p1.cmd("stats 0"), "recv") == accepted; }));
    std::string s = p1.cmd("stats 0");
    EXPECT_EQ(Peer::field(s, "inorder"), 1u) << s;
    // Room again: the next message goes straight through.
    EXPECT_TRUE(TransportLayer::instance().getTermination(id1).issue(withSeq(local, accepted, 1000)));
    EXPECT_TRUE(waitUntil([&] { return Peer::field(p1.cmd("stats 0"), "recv") == accepted + 1; }));
    EXPECT_TRUE(local.handedBack().empty());
}

TEST(TransportDelivery, QueuedMessagesOfAKilledReceiverAreHandedBackToTheirSender) {
    Recorder local(GRPID_UNIT_A);
    ASSERT_TRUE(local.start());
    Peer p1(0x201);
    TerminationId id1 = p1.start(GRPID_UNIT_A);
    ASSERT_TRUE(local.waitEvent('A', id1));
    ASSERT_EQ(p1.cmd("hold 0"), "ok");
    unsigned accepted = sendUntilRefused(local, id1, 1000, 20000);
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
    uint32_t first = seqOf(back.front());
    for (size_t i = 0; i < back.size(); ++i) {
        ASSERT_EQ(seqOf(back[i]), first + i);
        EXPECT_EQ(back[i].originator(), local.termId());
        EXPECT_EQ(back[i].destination(), id1);
        ASSERT_EQ(back[i].rawSize(), 1000u);
        EXPECT_EQ(back[i].rawBuf()[999], uint8_t(first + i + 999));
    }
    EXPECT_EQ(local.receiveThreadNames(), std::set<std::string>{"TrspRecv"});
}

TEST(TransportDelivery, AStoppingReceiverHandsWhatItHadNotDeliveredBack) {
    Recorder local(GRPID_UNIT_A);
    ASSERT_TRUE(local.start());
    Peer p1(0x201);
    TerminationId id1 = p1.start(GRPID_UNIT_A);
    ASSERT_TRUE(local.waitEvent('A', id1));
    ASSERT_EQ(p1.cmd("hold 0"), "ok");
    for (uint32_t i = 0; i < 100; ++i)
        ASSERT_TRUE(TransportLayer::instance().getTermination(id1).issue(withSeq(local, i, 100)));

    ASSERT_EQ(p1.cmd("stop 0").compare(0, 7, "stopped"), 0);
    unsigned long delivered = Peer::field(p1.cmd("stats 0"), "recv");
    ASSERT_TRUE(waitUntil([&] { return delivered + local.handedBack().size() == 100; }));
    std::vector<AddressedMessage> back = local.handedBack();
    ASSERT_FALSE(back.empty());
    for (size_t i = 0; i < back.size(); ++i) {
        EXPECT_EQ(seqOf(back[i]), delivered + i);
        EXPECT_EQ(back[i].originator(), local.termId());
        EXPECT_EQ(back[i].destination(), id1);
    }
}

TEST(TransportDelivery, ACallbackIssuingToAFullReceiverWaitsBoundedAndNothingDeadlocks) {
    // Forwards everything it gets to `target`, from its receiving thread.
    class Forwarder : public Recorder {
    public:
        using Recorder::Recorder;
        ~Forwarder() override { stop(); }
        TerminationId target;
        std::atomic<unsigned> ok{0}, refused{0};
        void receive(AddressedMessage const& m) override {
            Recorder::receive(m);
            if (TransportLayer::instance().getTermination(target).issue(withSeq(*this, ok.load(), m.rawSize())))
                ++ok;
            else
                ++refused;
        }
    } fwd(GRPID_UNIT_A);
    ASSERT_TRUE(fwd.start());
    Peer sink(0x201), source(0x202);
    fwd.target = sink.start(GRPID_UNIT_A);
    source.start(GRPID_UNIT_A);
    ASSERT_TRUE(fwd.waitEvent('A', fwd.target));
    ASSERT_EQ(sink.cmd("hold 0"), "ok");

    // Large messages: the sink's kernel buffer and our queue hold a few dozen.
    char cmd[64];
    std::snprintf(cmd, sizeof cmd, "send 0 %lx 60 60000", fwd.termId().value());
    std::string r = source.cmd(cmd, 60000);
    ASSERT_EQ(r.compare(0, 5, "sent "), 0) << r;
    unsigned long sent = std::stoul(r.substr(5));
    ASSERT_TRUE(waitUntil([&] { return fwd.ok + fwd.refused == sent; }, std::chrono::milliseconds(60000)));
    EXPECT_EQ(fwd.received(), sent);
    EXPECT_GT(fwd.refused.load(), 0u);
    EXPECT_GT(fwd.ok.load(), 0u);

    ASSERT_EQ(sink.cmd("release 0"), "ok");
    ASSERT_TRUE(waitUntil([&] { return Peer::field(sink.cmd("stats 0"), "recv") == fwd.ok; }));
    EXPECT_EQ(Peer::field(sink.cmd("stats 0"), "inorder"), 1u);
}

// ---------------------------------------------------------------------------
// Terminations of one process

TEST(TransportLocal, TwoTerminationsOfOneProcessTalkToEachOtherInOrder) {
    Recorder a(GRPID_UNIT_A), b(GRPID_NODE);
    ASSERT_TRUE(a.start());
    ASSERT_TRUE(b.start());
    ASSERT_TRUE(a.waitEvent('A', b.termId()));
    ASSERT_TRUE(b.waitEvent('A', a.termId()));

    auto flood = [](Recorder& from, TerminationId to, unsigned* ok) {
        Transport::Termination& dest = TransportLayer::instance().getTermination(to);
        for (uint32_t i = 0; i < 3000; ++i) *ok += dest.issue(withSeq(from, i, 40)) ? 1 : 0;
    };
    unsigned okA = 0, okB = 0;
    std::thread t1(flood, std::ref(a), b.termId(), &okA);
    std::thread t2(flood, std::ref(b), a.termId(), &okB);
    t1.join();
    t2.join();
    EXPECT_EQ(okA, 3000u);
    EXPECT_EQ(okB, 3000u);
    ASSERT_TRUE(waitUntil([&] { return a.received() == 3000 && b.received() == 3000; }));
    EXPECT_TRUE(a.inOrder());
    EXPECT_TRUE(b.inOrder());

    b.stop();
    EXPECT_TRUE(a.waitEvent('D', b.termId()));

    Recorder twin(GRPID_UNIT_A);
    testsupport::expectError("already exists");
    EXPECT_FALSE(twin.start());
}

// ---------------------------------------------------------------------------
// Lifecycle

TEST(TransportLifecycle, NoCallbackRunsAfterStopReturns) {
    Recorder local(GRPID_UNIT_A);
    ASSERT_TRUE(local.start());
    Peer p1(0x201);
    TerminationId id1 = p1.start(GRPID_UNIT_A);
    ASSERT_TRUE(local.waitEvent('A', id1));

    char cmd[64];
    std::snprintf(cmd, sizeof cmd, "send 0 %lx 20000 32", local.termId().value());
    std::string r;
    std::thread flood([&] { r = p1.cmd(cmd, 60000); });
    ASSERT_TRUE(waitUntil([&] { return local.received() > 200; }));
    local.stop();
    local.markStopped();
    flood.join();
    EXPECT_EQ(r.compare(0, 5, "sent "), 0) << r;
    // A peer that stays is still reported to nobody: the callbacks are over.
    Peer p2(0x202);
    ASSERT_NE(p2.start(GRPID_UNIT_A).value(), 0ul);
    ASSERT_TRUE(waitUntil([&] { return !TransportLayer::instance().exists(local.termId()); }));
    EXPECT_FALSE(local.callbackAfterStop());
    EXPECT_EQ(local.eventCount('A', TerminationId(0x202, 1, GRPID_UNIT_A)), 0);
}

TEST(TransportLifecycle, StopFromOwnCallbackIsRefused) {
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
    char cmd[64];
    std::snprintf(cmd, sizeof cmd, "send 0 %lx 2 8", local.termId().value());
    testsupport::expectError("stop() called from one of its own callbacks");
    ASSERT_EQ(p1.cmd(cmd), "sent 2 0");
    ASSERT_TRUE(waitUntil([&] { return local.received() == 2; }));
    EXPECT_TRUE(local.started());
    local.stop();
    EXPECT_FALSE(local.started());
}

// ---------------------------------------------------------------------------
// Abuse from raw peers

namespace {

int rawConnect(std::string const& path) { return Transport::sock::connectTo(path, false); }

std::vector<uint8_t> dataFrame(uint8_t version, uint8_t kind, uint32_t org, uint32_t dst, uint32_t lenField,
                               std::vector<uint8_t> const& payload) {
    // Spelled out from the frame table: version, kind, 2 reserved, org, dst, length, payload.
    uint8_t const head[16] = {version, kind, 0, 0,
                              uint8_t(org >> 24), uint8_t(org >> 16), uint8_t(org >> 8), uint8_t(org),
                              uint8_t(dst >> 24), uint8_t(dst >> 16), uint8_t(dst >> 8), uint8_t(dst),
                              uint8_t(lenField >> 24), uint8_t(lenField >> 16), uint8_t(lenField >> 8), uint8_t(lenField)};
    std::vector<uint8_t> f(sizeof head + payload.size());
    for (size_t i = 0; i < sizeof head; ++i) f[i] = head[i];
    for (size_t i = 0; i < payload.size(); ++i) f[sizeof head + i] = payload[i];
    return f;
}

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

}  // namespace

TEST(TransportAbuse, MalformedFramesFromARawPeerAreDroppedAndTheConnectionSurvives) {
    Recorder local(GRPID_UNIT_A);
    ASSERT_TRUE(local.start());
    uint32_t self = uint32_t(local.termId().value());
    uint32_t raw = 0x0ABC0101;
    int fd = rawConnect(Transport::sock::terminationPath(self));
    ASSERT_GE(fd, 0);
    testsupport::expectError("dropped a malformed frame");
    ASSERT_TRUE(sendRaw(fd, dataFrame(1, 1, raw, self, 0, {})));  // HELLO

    std::vector<std::vector<uint8_t>> bad = {
        {'h', 'e', 'l', 'l', 'o'},                              // shorter than a header
        dataFrame(2, 2, raw, self, 4, {0, 0, 0, 0}),            // unknown version
        dataFrame(1, 2, raw, self, 100, {0, 0, 0, 0}),          // length beyond the frame
        dataFrame(1, 2, raw, self, 2, {0, 0, 0, 0}),            // length short of the frame
        dataFrame(1, 2, 0x1111, self, 4, {0, 0, 0, 0}),         // foreign originator
        dataFrame(1, 9, raw, self, 0, {}),                      // unknown kind
        dataFrame(1, 1, raw, self, 0, {}),                      // second HELLO
        dataFrame(1, 3, self, 0x2222, 0, {}),                   // BOUNCE of nothing of ours
        dataFrame(1, 2, raw, self, Transport::kMaxMessageSize + 1,
                  std::vector<uint8_t>(Transport::kMaxMessageSize + 1)),  // larger than the largest message
    };
    for (size_t i = 0; i < bad.size(); ++i) {
        ASSERT_TRUE(sendRaw(fd, bad[i])) << i;
        ASSERT_TRUE(testsupport::waitForRecords("dropped a malformed frame", i + 1)) << i;
    }
    EXPECT_EQ(local.received(), 0u);
    EXPECT_EQ(testsupport::countRecords("shorter than its header"), 1u);
    EXPECT_EQ(testsupport::countRecords("unknown frame version"), 1u);
    EXPECT_EQ(testsupport::countRecords("length field does not match"), 2u);
    EXPECT_EQ(testsupport::countRecords("foreign addresses"), 2u);
    EXPECT_EQ(testsupport::countRecords("second HELLO"), 1u);

    // The connection still carries good frames.
    ASSERT_TRUE(sendRaw(fd, dataFrame(1, 2, raw, self, 6, {0, 0, 0, 0, 0xCA, 0xFE})));
    ASSERT_TRUE(waitUntil([&] { return local.received() == 1; }));
    AddressedMessage m = local.lastReceived();
    EXPECT_EQ(m.originator().value(), raw);
    ASSERT_EQ(m.rawSize(), 6u);
    EXPECT_EQ(m.rawBuf()[5], 0xFE);
    ::close(fd);
}

TEST(TransportAbuse, AConnectionWithoutHelloOrWithTooManyBadFramesIsClosed) {
    Recorder local(GRPID_UNIT_A);
    ASSERT_TRUE(local.start());
    uint32_t self = uint32_t(local.termId().value());
    testsupport::expectError("closes the connection");
    testsupport::expectError("dropped a malformed frame");

    int noHello = rawConnect(Transport::sock::terminationPath(self));
    ASSERT_TRUE(sendRaw(noHello, dataFrame(1, 2, 0x0ABC0101, self, 4, {0, 0, 0, 0})));
    EXPECT_TRUE(closedByPeer(noHello));
    EXPECT_EQ(testsupport::countRecords("DATA before HELLO"), 1u);
    ::close(noHello);

    int wrongHello = rawConnect(Transport::sock::terminationPath(self));
    ASSERT_TRUE(sendRaw(wrongHello, dataFrame(1, 1, 0x0ABC0101, self + 1, 0, {})));
    EXPECT_TRUE(closedByPeer(wrongHello));
    ::close(wrongHello);

    int noisy = rawConnect(Transport::sock::terminationPath(self));
    ASSERT_TRUE(sendRaw(noisy, dataFrame(1, 1, 0x0ABC0101, self, 0, {})));
    for (unsigned i = 0; i < Transport::wire::DataFrameReader::kMaxBadFrames; ++i)
        ASSERT_TRUE(sendRaw(noisy, {1, 2, 3}));
    EXPECT_TRUE(closedByPeer(noisy));
    EXPECT_EQ(testsupport::countRecords("too many malformed frames"), 1u);
    ::close(noisy);

    // Real peers are unaffected.
    Peer p1(0x201);
    p1.start(GRPID_UNIT_A);
    char cmd[64];
    std::snprintf(cmd, sizeof cmd, "send 0 %lx 10 16", local.termId().value());
    EXPECT_EQ(p1.cmd(cmd), "sent 10 0");
    EXPECT_TRUE(waitUntil([&] { return local.received() == 10; }));
    EXPECT_TRUE(local.inOrder());
}

TEST(TransportAbuse, TheMembershipServiceSpeaksItsFramesAndSurvivesGarbage) {
    Recorder local(GRPID_UNIT_A);
    ASSERT_TRUE(local.start());
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
    EXPECT_FALSE(TransportLayer::instance().getTermination(rawId).issue(withSeq(local, 0, 8)));

    // The id is taken: a termination of ours with it is refused by the service.
    class Taker : public Transport::TerminationImpl {
    public:
        Taker() : TerminationImpl(TerminationId(0x0BBB0101ul), "taker") {}
        ~Taker() override { stop(); }
    } taker;
    testsupport::expectError("refused by the membership service");
    EXPECT_FALSE(taker.start());

    ::close(fd);
    ASSERT_TRUE(local.waitEvent('D', rawId));
    Peer p1(0x201);
    TerminationId id1 = p1.start(GRPID_UNIT_A);
    EXPECT_TRUE(local.waitEvent('A', id1));
}

// ---------------------------------------------------------------------------
// Privacy of the node

namespace {

// In a child: become uid/gid 65534; keep only CAP_DAC_OVERRIDE when asked,
// so that the private directory can be passed and the peer check is what
// stops us. Exit status: 0 refused by the peer check, 1 could not connect
// (errno EACCES), 2 unexpected.
[[noreturn]] void foreignUserChild(std::string const& path, bool keepDacOverride) {
    ::prctl(PR_SET_KEEPCAPS, 1);
    if (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0) ::_exit(2);
    if (keepDacOverride) {
        __user_cap_header_struct hdr = {_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct data[2] = {};
        data[0].permitted = data[0].effective = 1u << CAP_DAC_OVERRIDE;
        if (::syscall(SYS_capset, &hdr, data) != 0) ::_exit(2);
    }
    int fd = Transport::sock::connectTo(path, false);
    if (fd < 0) ::_exit(errno == EACCES ? 1 : 2);
    uint32_t self = 0;
    std::sscanf(path.c_str() + path.rfind("/t-") + 3, "%x", &self);
    std::vector<uint8_t> hello = dataFrame(1, 1, 0x0DDD0101, self, 0, {});
    std::vector<uint8_t> data = dataFrame(1, 2, 0x0DDD0101, self, 4, {0, 0, 0, 0});
    ::send(fd, hello.data(), hello.size(), MSG_NOSIGNAL);
    ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
    struct pollfd p = {fd, POLLIN, 0};
    ::poll(&p, 1, 5000);
    char b[8];
    ssize_t n = ::recv(fd, b, sizeof b, MSG_DONTWAIT);
    ::_exit(n == 0 || (n < 0 && errno == ECONNRESET) ? 0 : 2);
}

int runForeign(std::string const& path, bool keepDacOverride) {
    pid_t pid = ::fork();
    if (pid == 0) foreignUserChild(path, keepDacOverride);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

TEST(TransportSecurity, TheNodeIsPrivateAndForeignUsersAreRefused) {
    Recorder local(GRPID_UNIT_A);
    ASSERT_TRUE(local.start());
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
