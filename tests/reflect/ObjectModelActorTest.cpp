// The object model across processes: class-wide creations and deletions seen
// by observers in several actors (ORBs that appear late, a peer that lacks
// the class) and operations observed before and after with their arguments,
// and what a raw peer loses when it fails and keeps when it answers. (Handles
// on a killed actor and its successor: the card scenarios' restarted model.)
#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <mutex>

#include "OrbNodeFixture.h"
#include "REFLECT_ObserverSkeleton.h"
#include "REFLECT_objectStub.h"
#include "TestThing.h"

using namespace orbtest;
using namespace reflecttest;
using namespace std::chrono_literals;
using testsupport::countRecords;
using testsupport::expectError;
using testsupport::waitUntil;

namespace {

::testing::Environment* const gNode = ::testing::AddGlobalTestEnvironment(new NodeEnvironment);

// Asks the factory of the actor whose things are reached through `thing`.
void factoryCall(unsigned long mc, std::string const& name, char const* factoryOf) {
    RunPermissionGuard g;
    TreflectObject factory = TreflectObject(TipprmiOID(factoryOf)).getParent();
    call(factory, kFactoryClass, mc, [&](TipprmiStream& s) { s << name; }, [](TipprmiStream&) {});
}

// A peer that answers by hand, reporting only the interface ids it is given
// and no objects. What our ORB asks is counted, and kept back while holding.
class SubscriptionPeer : public RawPeer {
public:
    SubscriptionPeer(Transport::TerminationId id, std::vector<uint32_t> ids) : RawPeer(id), ids_(std::move(ids)) {}
    ~SubscriptionPeer() override { stop(); }
    void receive(Transport::AddressedMessage const& m) override {
        if (m.rawSize() < 16 || get32(m.rawBuf() + 8) != 2) return;
        std::unique_lock<std::mutex> lock(mutex_);
        if (m.originator() == orb().termId() && get32(m.rawBuf() + 4) != 1) {
            asked_.push_back(meaningful(m));
            if (holding_) {
                held_.push_back(m);
                changed_.notify_all();
                return;
            }
        }
        lock.unlock();
        answer(m);
    }
    void hold() {
        std::lock_guard<std::mutex> lock(mutex_);
        holding_ = true;
    }
    Transport::AddressedMessage nextHeld() {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_for(lock, 10s, [&] { return !held_.empty(); });
        return held_.empty() ? Transport::AddressedMessage() : held_.front();
    }
    void release() {
        std::unique_lock<std::mutex> lock(mutex_);
        holding_ = false;
        std::vector<Transport::AddressedMessage> held;
        held.swap(held_);
        lock.unlock();
        for (auto const& m : held) answer(m);
    }
    // What our ORB asked, resolves aside.
    std::vector<Bytes> asked() {
        std::lock_guard<std::mutex> lock(mutex_);
        return asked_;
    }

private:
    void answer(Transport::AddressedMessage const& m) {
        uint32_t const type = get32(m.rawBuf() + 4);
        Bytes data;
        if (type == 1 || type == 5) put32(data, 0);  // unknown name; no objects of the class
        if (type == 5 || type == 6) {
            put32(data, uint32_t(ids_.size()));
            for (uint32_t id : ids_) put32(data, id);
        }
        send(m.originator(), orbMessage(get32(m.rawBuf()), type, 3, data));
    }

    std::vector<uint32_t> ids_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Transport::AddressedMessage> held_;
    bool holding_ = false;
    std::vector<Bytes> asked_;
};

}  // namespace

TEST(ObjectModelActors, CreationsDeletionsAndOperationsReachObserversInEveryActor) {
    auto serving = startActor(TA_REFLECT_TEST_ACTOR, 0x0A61, {"serve", "t1"});
    auto observing = startActor(TA_REFLECT_TEST_ACTOR, 0x0A62, {"observe", "t1"});
    EXPECT_TRUE(observing->waitForOutput("CREATED t1")) << observing->output();
    OrbEvents appearances;  // once an ORB is reported, it has our subscriptions
    orb().registerOrbCreation(&appearances, false);
    orb().registerOrbDeletion(&appearances);
    SubscriptionPeer lacking(peerId(0x0B61), {0x10, 0x20});
    ASSERT_TRUE(lacking.start());
    // Seen before the broadcast below: with an observer in place, an
    // appearing peer is asked for its objects at once.
    ASSERT_TRUE(waitUntil([&] { return appearances.saw(lacking.termId()); }));

    // Our broadcast waits on the peer while another actor appears: that one
    // is asked once the broadcast is done.
    Recorder created, deleted;
    auto onCreate = created.make(), onDelete = deleted.make();
    lacking.hold();
    auto subscribing = std::async(std::launch::async, [&] {
        RunPermissionGuard g;
        gThingMeta.observeCreations(onCreate.get(), true);
        gThingMeta.observeDeletions(onDelete.get());
    });
    struct Release {  // a failed assertion must not leave the broadcast waiting
        SubscriptionPeer& peer;
        ~Release() { peer.release(); }
    } release{lacking};
    Bytes request = RawPeer::meaningful(lacking.nextHeld());
    Bytes body;
    put32(body, kThingClass);
    put32(body, 1);  // plusExisting
    EXPECT_EQ(orbMessage(get32(&request[0]), 5, 2, body), request);
    auto late = startActor(TA_REFLECT_TEST_ACTOR, 0x0A63, {"serve", "c0"});
    ASSERT_TRUE(waitUntil([&] { return appearances.saw(peerId(0x0A63)); }));
    lacking.release();
    ASSERT_EQ(std::future_status::ready, subscribing.wait_for(20s));
    EXPECT_TRUE(created.has("t1"));
    EXPECT_TRUE(created.has("c0"));

    // A call of t1 is observed across actors before and after, with its argument and source.
    Recorder after;
    auto onAfter = after.make();
    {
        RunPermissionGuard g;
        ThingClient thing(TipprmiOID("t1"));
        EXPECT_TRUE(thing.operation("setValue")->postObserve(onAfter.get()));
        thing.setValue(7);
        thing.operation("setValue")->removeObserver(onAfter.get());
    }
    EXPECT_TRUE(observing->waitForOutput("PRE setValue 7") && observing->waitForOutput("POST setValue 7"));
    EXPECT_EQ(std::vector<long>({7}), after.values());
    EXPECT_EQ(std::vector<std::string>({"t1"}), after.names());

    factoryCall(kCreate, "t2", "t1");
    factoryCall(kCreate, "c1", "c0");
    factoryCall(kDestroy, "t1", "t2");
    EXPECT_TRUE(waitUntil([&] { return created.has("t2") && created.has("c1") && deleted.has("t1"); }));
    for (char const* line : {"CREATED t2", "CREATED c0", "CREATED c1", "DELETED t1"})
        EXPECT_TRUE(observing->waitForOutput(line)) << line << observing->output();

    // The peer reported no such class: it is not asked again.
    size_t const asked = lacking.asked().size();
    Recorder again;
    auto onAgain = again.make();
    {
        RunPermissionGuard g;
        gThingMeta.observeCreations(onAgain.get(), true);
        EXPECT_EQ(3u, again.names().size());
        orb().display(0);
    }
    EXPECT_EQ(asked, lacking.asked().size());
    // The observing actor subscribed here as well.
    EXPECT_EQ(1u, countRecords("metaData: size=1, co=2, do=1, oi=0, rco=1, rdo=1"));

    // Leaving: every member hears it, and creations no longer come here. The
    // last creation observer goes twice: once with a deletion observer left.
    {
        RunPermissionGuard g;
        for (TreflectObserver* o : std::initializer_list<TreflectObserver*>{onCreate.get(), onAgain.get(), onDelete.get()})
            gThingMeta.removeObserver(o);
    }
    std::vector<Bytes> const told = lacking.asked();
    ASSERT_EQ(asked + 3, told.size());
    for (size_t i = asked; i < told.size(); ++i)
        EXPECT_EQ(orbMessage(get32(&told[i][0]), i + 1 < told.size() ? 7 : 8, 2, word(kThingClass)), told[i]) << i;
    factoryCall(kCreate, "t3", "t2");
    EXPECT_TRUE(observing->waitForOutput("CREATED t3"));
    EXPECT_FALSE(created.has("t3"));
    // A peer appears after the last broadcasts, and goes: nothing of it is
    // kept (short-lived operator tools come and go all day).
    size_t const missed = orb().missedOrbs();
    {
        RawPeer passing(peerId(0x0B6A));
        ASSERT_TRUE(passing.start());
        ASSERT_TRUE(waitUntil([&] { return appearances.saw(passing.termId()); }));
        EXPECT_EQ(missed + 2, orb().missedOrbs());
    }
    ASSERT_TRUE(waitUntil([&] { return appearances.saw(peerId(0x0B6A), TreflectOrbObserverIf::kDisappear); }));
    EXPECT_EQ(missed, orb().missedOrbs());
    orb().unregisterOrbNotifications(&appearances);
}

// Three raw peers subscribe to creations here; one leaves before a
// creation, one holds its notification until it leaves too. Each is sent
// its own transaction before any answers, the creation returns when every
// one answered or failed, and only the failed lose their subscription. The
// first comes back and observes a thing of ours twice: of its observers, the
// one whose object its ORB no longer has is dropped, the one that answers
// false stays.
TEST(ObjectModelActors, APeerLosesWhatFailsToReachItAndKeepsWhatItAnswers) {
    expectError("could not find destination");
    expectError("aborted (Detection Rem.Disc.=true, TargetGone=true)");
    Transport::TerminationId const id = peerId(0x0B64), holdingId = peerId(0x0B65);
    uint32_t const peerOrb = uint32_t(orb().convertId(id).value());
    auto subscribed = [](Transport::TerminationId t) {
        RunPermissionGuard g;
        return orb().getMetaData(kThingClass).remoteCreationObservers.count(orb().convertId(t));
    };
    std::unique_ptr<ThingFactory, DeleteUnderPermission> factory;
    std::future<uint32_t> created;
    RawPeer answering(peerId(0x0B66));  // gone first, should the test fail: the creation ends with its peers
    auto holding = std::make_unique<RawPeer>(holdingId);
    {
        RawPeer leaving(id);
        for (RawPeer* p : {&leaving, holding.get(), &answering}) {
            ASSERT_TRUE(p->start());
            p->ask(orb().termId(), 5, word(kThingClass) + word(0));
            ASSERT_EQ(1u, subscribed(p->termId()));
        }
    }
    ASSERT_TRUE(waitUntil([&] { return !Transport::TransportLayer::instance().exists(id); }));
    {
        RunPermissionGuard g;
        factory.reset(new ThingFactory);
    }
    created = std::async(std::launch::async, [&] {
        RunPermissionGuard g;
        factory->create("x");
        return uint32_t(factory->things["x"]->getInternalOID());
    });
    // The held one is first in the set: the other is asked while it waits.
    Bytes const held = RawPeer::meaningful(holding->next()), asked = RawPeer::meaningful(answering.next());
    ASSERT_TRUE(held.size() >= 20 && asked.size() == held.size()) << held.size() << " " << asked.size();
    EXPECT_NE(get32(&held[0]), get32(&asked[0]));
    EXPECT_EQ(word(3) + word(2), Bytes(held.begin() + 4, held.begin() + 12));
    EXPECT_EQ(kThingClass, get32(&held[16]));
    EXPECT_EQ(Bytes(held.begin() + 4, held.end()), Bytes(asked.begin() + 4, asked.end()));
    ASSERT_TRUE(answering.send(orb().termId(), orbMessage(get32(&asked[0]), 3, 3, {})));
    EXPECT_EQ(std::future_status::timeout, created.wait_for(100ms));
    // The peer that left comes back under its id and subscribes while the
    // held answer is awaited: its new subscription outlives the failure.
    auto back = std::make_unique<RawPeer>(id);
    ASSERT_TRUE(back->start());
    back->ask(orb().termId(), 5, word(kThingClass) + word(0));
    holding.reset();
    ASSERT_EQ(std::future_status::ready, created.wait_for(10s));
    uint32_t const thing = created.get();
    EXPECT_EQ(1u, subscribed(id));
    EXPECT_EQ(0u, subscribed(holdingId));
    EXPECT_EQ(1u, subscribed(answering.termId()));
    back.reset();
    ASSERT_TRUE(waitUntil([&] { return !Transport::TransportLayer::instance().exists(id); }));
    EXPECT_EQ(1u, countRecords("aborted (Detection Rem.Disc.=true, TargetGone=true)"));
    EXPECT_EQ(0u, countRecords("waits now"));
    RawPeer peer(id);
    ASSERT_TRUE(peer.start());
    for (uint32_t observer : {0x31u, 0x32u})
        peer.ask(orb().termId(), 2, callHeader(thing, true, 0, 1000) + word(1) + word(kThingClass) + word(kSetValue) +
                                        word(0) + word(1) + word(observer) + word(peerOrb));
    // Each notification is answered, by observer, as its ORB answers.
    auto setValue = [&](std::map<uint32_t, Bytes> answers) {
        auto call = std::async(std::launch::async, [] {
            RunPermissionGuard g;
            ThingClient(TipprmiOID("x")).setValue(1);
        });
        for (size_t i = 0; i < answers.size(); ++i) {
            Bytes n = RawPeer::meaningful(peer.next());
            uint32_t const observer = n.size() >= 20 ? get32(&n[16]) : 0;
            if (!answers.count(observer)) {
                ADD_FAILURE() << "notified " << observer;
                return peer.stop();  // the call ends with its peer
            }
            peer.send(orb().termId(), orbMessage(get32(&n[0]), 2, 3, answers[observer]));
        }
        EXPECT_EQ(std::future_status::ready, call.wait_for(10s));
        EXPECT_TRUE(peer.next(0ms).isNull());
    };
    Bytes const objectUnknown = word(1) + word(4) + word(0), answeredFalse = word(0) + word(0) + word(0) + word(1);
    setValue({{0x31, objectUnknown}, {0x32, answeredFalse}});
    setValue({{0x32, answeredFalse}});
}
