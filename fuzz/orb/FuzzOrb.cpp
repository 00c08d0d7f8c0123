// Fuzz target of what a live ORB does with a message from a peer: requests to
// server objects (the built-in reflective method codes, observer
// registration and notification, object references in and out), class-wide
// subscriptions and creation/deletion notifications, resolve and counters.
//
// Input: the ORB message bytes (header, cursor word, data) as a peer sends
// them. Each input is served as a worker serves it, by a fresh set of
// objects: a factory, two things (the first holding the second as its peer),
// an observer of the first thing's setValue, observers of creations and
// deletions of things, and the performance link's trigger observer, which
// decodes a trigger's arguments from the notification; after them come the
// process's own objects, the performance link's observers. The internal
// object id of a payload request is read as an index into that list when it
// is below its length, so that seeds stay valid whatever ids the registry
// hands out. What a request leaves on an object of the process (a child
// under a new name, the record of a created PerformanceService) is state the
// peer asked for; it is undone after each input, or it would pile up over
// millions of inputs and hide any real growth.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "PerfSvcAdpLink.h"
#include "REFLECT_ObserverSkeleton.h"
#include "REFLECT_interfaceRepository.h"
#include "REFLECT_orb.h"
#include "REFLECT_objectStub.h"
#include "TestThing.h"

using namespace reflecttest;

namespace {

// The sender of every input: a peer that is not there, so answers are refused.
Transport::TerminationId const kPeer(0x0B000101ul);

// Objects registered before the first input (the performance link's
// creation, deletion and trigger observers): they outlive every input.
std::vector<TreflectServerObject*> gLasting;

struct Counter {
    int calls = 0;
    bool count(TreflectObserver*) { return ++calls, true; }
};

struct Objects {
    Counter counter;
    ThingFactory factory;
    TreflectNotificator<Counter> observer{&counter, &Counter::count};
    TreflectNotificator<Counter> creations{&counter, &Counter::count};
    TreflectNotificator<Counter> deletions{&counter, &Counter::count};
    Performance::PerfSvcAdpLink::PerfSvcObserver trigger{Performance::PerfSvcAdpLink::instance(),
                                                         Performance::PerfSvcAdpLink::PerfSvcObserver::TRIGGER};

    Objects() {
        factory.create("first");
        factory.create("second");
        ThingServer& first = *factory.things["first"];
        first.peer = *factory.things["second"]->getClient();
        first.getClient()->operation("setValue")->postObserve(&observer);
        gThingMeta.observeCreations(&creations, true);
        gThingMeta.observeDeletions(&deletions);
    }
    ~Objects() {
        gThingMeta.removeObserver(&creations);
        gThingMeta.removeObserver(&deletions);
    }
    std::vector<TipprmiObjectSkeleton*> all() {
        std::vector<TipprmiObjectSkeleton*> objects{&factory, factory.things["first"].get(),
                                                    factory.things["second"].get(), &observer, &trigger};
        objects.insert(objects.end(), gLasting.begin(), gLasting.end());
        return objects;
    }
};

void findLastingObjects(TreflectORB& orb) {
    for (unsigned long id = 1; id < 64; ++id) {
        char text[40];
        std::snprintf(text, sizeof text, "rmi_%lX_%lX", static_cast<unsigned long>(orb.termId().value()), id);
        if (auto* object = dynamic_cast<TreflectServerObject*>(orb.locateObject(TipprmiOID(text, NSID_UNIT)).getServer())) {
            gLasting.push_back(object);
            object->getClient();  // made on first use, then kept: not an input's
        }
    }
}

// An observer registered at an object of the process is taken back as its
// peer would take it back, read from the request as its server read it.
void undoRegistration(TreflectMessage const& msg) {
    TipprmiStream in(msg, false);
    unsigned long ioid = 0, cc = 0, mc = 0, kind = 0, observedCc = 0, observedMc = 0;
    bool twoWay = false;
    in >> ioid >> twoWay >> cc >> mc;
    if (in.hasUnmarshallingFailed() || mc != ReflectMethod::kRegisterObserver) return;
    TreflectObserverClient client;
    in >> kind >> observedCc >> observedMc >> client;
    for (TreflectServerObject* object : gLasting)
        if (object->getInternalOID() == ioid) object->unRegisterObserver(client);
}

void undoWhatTheInputLeft(TreflectMessage const& msg) {
    if (msg.type() == TreflectMessage::tPayld) undoRegistration(msg);
    Performance::PerfSvcAdpLink& link = *Performance::PerfSvcAdpLink::instance();
    for (std::string const& name : link.names()) {
        Performance::PerfSvcAdpLink::Link record;
        link.lookup(name, record);
        if (!record.ps) continue;
        PerformanceServiceClient const ps(*record.ps);
        link.psDeleted(ps);
    }
    // The deletion of a PerformanceService finds the record its creation made.
    if (!link.names().empty()) abort();
    for (TreflectServerObject* object : gLasting) object->childs().clear();
}

uint32_t load32(unsigned char const* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

void store32(unsigned char* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (24 - 8 * i));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setenv("TOPADAPTER_NODED", "none", 0);
    setenv("TOPADAPTER_QUIET", "1", 0);
    TreflectORB& orb = *TreflectORB::getInstance(NSID_UNIT);
    Performance::PerfSvcAdpLink::instance();
    RunPermissionGuard permission;
    findLastingObjects(orb);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size) {
    if (size < TreflectMessage::kHeaderSize || size > 65536) return 0;
    TreflectORB& orb = *TreflectORB::getInstance(NSID_UNIT);
    RunPermissionGuard permission;
    size_t const handles = TreflectObjectHandler::getInstance()->size();
    {
        Objects objects;
        Transport::AddressedMessage raw = orb.allocateMessage(static_cast<unsigned>(size), 4);
        std::memcpy(raw.rawBuf(), data, size);
        raw.setOriginator(kPeer);
        raw.setDestination(orb.termId());
        TreflectMessage const msg(raw);
        std::vector<TipprmiObjectSkeleton*> const targets = objects.all();
        unsigned char* const ioid = raw.rawBuf() + TreflectMessage::kHeaderSize + 4;
        if (msg.type() == TreflectMessage::tPayld && size >= TreflectMessage::kHeaderSize + 8 &&
            load32(ioid) < targets.size())
            store32(ioid, static_cast<uint32_t>(targets[load32(ioid)]->getInternalOID()));
        orb.serve(msg);
        undoWhatTheInputLeft(msg);
        // A class code this process knows nothing of leaves no entry behind.
        uint32_t const classCode = size >= TreflectMessage::kHeaderSize + 8 ? load32(data + 16) : 0;
        if (orb.findMetaData(classCode) && !InterfaceRepository::instance()->findInterface(classCode)) abort();
    }
    // Subscriptions of the peer live in the class entries; none outlives its input.
    orb.destroyMetaData();
    // Whatever the request, no handle outlives it once it is undone.
    if (TreflectObjectHandler::getInstance()->size() > handles) abort();
    return 0;
}
