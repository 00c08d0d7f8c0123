// The object model within one process: meta objects and their lookups, tied
// members, server objects with their naming tree and built-in method codes,
// observation of operations, and class-wide creation and deletion
// notifications of local objects.
#include <gtest/gtest.h>

#include <list>
#include <vector>

#include "LogCapture.h"
#include "REFLECT_ObserverSkeleton.h"
#include "REFLECT_interfaceRepository.h"
#include "REFLECT_objectStub.h"
#include "StandaloneNode.h"
#include "TestThing.h"

using namespace reflecttest;
using testsupport::countRecords;
using testsupport::expectError;

namespace {

testsupport::StandaloneNode const gStandaloneNode;

InterfaceRepository& repository() { return *InterfaceRepository::instance(); }

// A meta object made from tables given by the test.
class TableMeta : public TreflectMetaObject {
public:
    TableMeta(char const* name, unsigned long cc, std::vector<MetaOpData> ops, std::vector<MetaAttrData> attrs)
        : TreflectMetaObject(name, cc), ops_(ops), attrs_(attrs) {}
    void completeMetaInformation() override {
        if (!beginCompletion()) return;
        ++completions;
        completeMetaInformationHelper(ops_.data(), unsigned(ops_.size()), attrs_.data(), unsigned(attrs_.size()));
    }
    int completions = 0;

private:
    std::vector<MetaOpData> ops_;
    std::vector<MetaAttrData> attrs_;
};

class ObjectModel : public ::testing::Test {
protected:
    RunPermissionGuard permission;
};

}  // namespace

TEST_F(ObjectModel, MetaObjectsFindMembersThroughTheirBasesAndCompleteOnce) {
    // Found through the repository, a meta object is complete; its base too.
    ASSERT_EQ(&gThingMeta, repository().findInterface(kThingClass));
    EXPECT_TRUE(gBaseMeta.isCompleted());
    EXPECT_EQ(kPing, static_cast<unsigned long>(gThingMeta.metaOperation("ping")->id()));
    EXPECT_EQ(&gBaseMeta, gThingMeta.metaAttribute("Name")->containingMetaObject());
    EXPECT_EQ(nullptr, gThingMeta.metaAttribute("Name")->metaOperSet());
    EXPECT_TRUE(gThingMeta.isA(&gBaseMeta));
    EXPECT_FALSE(gBaseMeta.isA(&gThingMeta));
    std::list<TreflectMetaOperation*> ops;
    gThingMeta.operationList(ops);
    EXPECT_EQ(6u, ops.size());

    // A miss logs once for operations, once per meta object of the chain for attributes.
    expectError("NOT found, returning 0");
    EXPECT_EQ(nullptr, gThingMeta.metaOperation("nothing"));
    EXPECT_EQ(1u, countRecords("TreflectMetaObject(TestThingClient)::metaOperation(nothing) NOT found"));
    EXPECT_EQ(nullptr, gThingMeta.metaAttribute("Nothing"));
    EXPECT_EQ(2u, countRecords("TreflectMetaObject::metaAttribute(Nothing) NOT found"));

    // The first of two meta objects of a class code wins; its completion runs once.
    TableMeta first("First", 0x20, {{"getA", 1}, {"getA", 7}}, {{"A"}});
    TableMeta second("Second", 0x20, {}, {});
    TableMeta low("Low", 0x10, {}, {});
    EXPECT_EQ(&first, repository().findInterface(0x20));
    EXPECT_EQ(&first, repository().findInterface(0x20));
    EXPECT_EQ(1, first.completions);
    EXPECT_EQ(7, first.metaOperation("getA")->id());
    EXPECT_EQ(nullptr, repository().findInterface(0x30));
    std::vector<unsigned long> ids = repository().getIfIds();
    EXPECT_TRUE(std::is_sorted(ids.begin(), ids.end()));
    EXPECT_EQ(1, std::count(ids.begin(), ids.end(), 0x20ul));
}

TEST_F(ObjectModel, MembersAreTiedToTheirHandleAndErrorMembersFailSoftly) {
    ThingFactory factory;
    factory.create("tied");
    size_t const before = TreflectTieds::instance()->count();
    {
        ThingClient thing(TipprmiOID("tied"));
        TreflectOperation* a = thing.operation("getValue");
        TreflectOperation* b = thing.operation("getValue");
        EXPECT_NE(a, b);
        EXPECT_EQ(0, a->call());
        TreflectTieds::instance()->print();
        EXPECT_EQ(1u, countRecords(std::to_string(before + 2) + " tieds are registered"));

        // The attribute's getter; a typed attribute reaches the object it holds.
        factory.create("peer");
        ThingClient peer(TipprmiOID("peer"));
        thing.setPeer(peer);
        peer.setValue(41);
        TreflectAttribute* attr = thing.attribute("Peer");
        EXPECT_EQ(&gThingMeta, attr->meta()->typeMeta());
        EXPECT_EQ(attr->operGet(), attr->operGet());
        TreflectObject held;
        EXPECT_EQ(0, attr->get(held));
        EXPECT_TRUE(held == peer);
        TreflectOperation* onPeer = attr->operation("getValue");
        EXPECT_EQ(attr->containedObject(), onPeer->object());
        EXPECT_TRUE(*attr->containedObject() == peer);
        EXPECT_EQ(0, onPeer->call());
        EXPECT_EQ(&TreflectAttribute::errorOperation, thing.attribute("Value")->operation("getValue"));
    }
    EXPECT_EQ(before, TreflectTieds::instance()->count());

    expectError("NOT found, returning 0");
    expectError("operation \"nothing\" not found");
    expectError("attribute \"Nothing\" not found");
    ThingClient thing(TipprmiOID("tied"));
    TreflectOperation* missing = thing.operation("nothing");
    EXPECT_EQ(&TreflectObject::errorOperation, missing);
    Recorder recorder;
    TreflectNotificator<Recorder> observer(&recorder, &Recorder::note);
    EXPECT_FALSE(missing->postObserve(&observer));
    EXPECT_EQ(TreflectOperation::error, missing->call());
    TreflectAttribute* noAttr = thing.attribute("Nothing");
    EXPECT_EQ(&TreflectObject::errorAttribute, noAttr);
    EXPECT_EQ(noAttr, noAttr->attribute("x"));
    EXPECT_EQ(&TreflectAttribute::errorOperation, noAttr->operation("x"));
    TreflectObject out;
    EXPECT_EQ(TreflectAttribute::error, noAttr->get(out));
    EXPECT_EQ(0u, countRecords("TreflectObjectStub::registerObserver FAILED"));
}

TEST_F(ObjectModel, ServerObjectsKeepNamesAndANamingTreeAndAnswerTheBuiltInCodes) {
    ThingServer a("a", nullptr);
    ThingServer fifteen("fifteen-chars-x", a.getClient());
    ThingServer sixteen("sixteen-chars-xx", a.getClient());
    EXPECT_EQ("fifteen-chars-x", fifteen.getRelName());
    EXPECT_EQ("sixteen-chars-xx", sixteen.getRelName());
    EXPECT_EQ("/a", a.getAbsName());
    EXPECT_EQ("/a/fifteen-chars-x", sixteen.getParent().getChild("fifteen-chars-x").getAbsName());
    EXPECT_EQ(2u, a.getChilds().getLength());
    EXPECT_FALSE(a.getChild("none").isConnected());
    a.registerChild("alias", *fifteen.getClient());
    a.registerChild("alias", *sixteen.getClient());
    EXPECT_TRUE(a.getChild("alias") == *sixteen.getClient());
    {
        ThingServer child("gone", a.getClient());
        EXPECT_EQ(4u, a.childs().size());
    }
    EXPECT_EQ(3u, a.childs().size());

    // Built-in codes answer with the status first; 1102 is not one of them.
    TipprmiStream in(100), out(100);
    ASSERT_TRUE(fifteen.dispatch(true, 0, ReflectMethod::kGetClassIdSeq, in, out));
    TipprmiExceptionContainer status;
    TipprmiSequence<unsigned long> ids;
    out >> status >> ids;
    ASSERT_EQ(2u, ids.getLength());
    EXPECT_EQ(kThingClass, ids[0]);
    EXPECT_EQ(&gThingMeta, fifteen.getClient()->meta());
    expectError("Unknown method code 1102");
    EXPECT_FALSE(fifteen.dispatch(true, 0, 1102, in, out));
}

TEST_F(ObjectModel, ObserversOfAnOperationAreToldBeforeOrAfterAndDroppedTogether) {
    ThingServer thing("observed", nullptr);
    ThingClient client(&thing);
    Recorder pre, post;
    auto before = pre.make(), after = post.make();
    EXPECT_TRUE(client.operation("setValue")->preObserve(before.get()));
    EXPECT_TRUE(client.operation("setValue")->postObserve(after.get()));
    client.operation("setValue")->postObserve(after.get());  // twice: told twice
    thing.registerObserver(5, kThingClass, kGetValue, *after->getClient());  // any kind but 0 is post
    EXPECT_TRUE(thing.postObserverAvailable(kThingClass, kGetValue));
    EXPECT_FALSE(thing.preObserverAvailable(kThingClass, kGetValue));

    client.setValue(3);
    EXPECT_EQ(std::vector<long>({3}), pre.values());
    EXPECT_EQ(std::vector<long>({3, 3}), post.values());
    EXPECT_EQ(std::vector<std::string>({"observed"}), pre.names());
    EXPECT_EQ(nullptr, after->currentArguments());

    // One removal drops every registration of the observer on the object.
    client.operation("getValue")->removeObserver(after.get());
    EXPECT_FALSE(thing.postObserverAvailable(kThingClass, kSetValue));
    EXPECT_FALSE(thing.postObserverAvailable(kThingClass, kGetValue));
    client.setValue(4);
    EXPECT_EQ(2u, post.values().size());
    EXPECT_EQ(2u, pre.values().size());
    TipprmiSequence<TipprmiAny> none;
    EXPECT_TRUE(thing.notifyObservers(1, kThingClass, kSetValue, none));

    // Only method code 0 is a notification.
    expectError("::dispatch(cc=0x641E8FCD, mc=3) - METHOD NOT FOUND");
    expectError("Unknown method code 3");
    TipprmiStream in(100), out(100);
    EXPECT_FALSE(after->dispatch(true, TreflectObserverClient::kClassCode, 3, in, out));
}

TEST_F(ObjectModel, LocalCreationsAndDeletionsReachTheObserversOfTheClass) {
    TreflectORB& orb = *TreflectORB::getInstance(NSID_UNIT);
    ThingFactory factory;
    factory.create("early");
    factory.create("dropped");
    factory.things.erase("dropped");  // gone without its deletion event
    Recorder created, deleted, late;
    auto onCreate = created.make(), onDelete = deleted.make(), onLate = late.make();
    EXPECT_TRUE(gThingMeta.observeCreations(onCreate.get(), true));
    EXPECT_TRUE(gThingMeta.observeDeletions(onDelete.get()));
    EXPECT_TRUE(gThingMeta.observeCreations(onLate.get(), false));
    factory.create("later");
    factory.destroy("early");
    EXPECT_EQ(std::vector<std::string>({"early", "later"}), created.names());
    EXPECT_EQ(std::vector<std::string>({"later"}), late.names());
    EXPECT_EQ(std::vector<std::string>({"early"}), deleted.names());
    orb.display(0);
    EXPECT_EQ(1u, countRecords("metaData: size=1, co=2, do=1, oi=1, rco=0, rdo=0"));

    for (auto* o : {onCreate.get(), onLate.get(), onDelete.get()}) gThingMeta.removeObserver(o);
    factory.destroy("later");
    EXPECT_EQ(1u, deleted.names().size());
}
