// A small interface family for the object-model tests, written the way the
// generated proxies are: "TestBase" (ping, getName) and "TestThing" derived
// from it (value and peer attributes), with a client, a server and a factory
// ("things") that creates and deletes things with their events.
#pragma once

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "REFLECT_ObserverSkeleton.h"
#include "REFLECT_metaObject.h"
#include "REFLECT_object.h"
#include "REFLECT_serverObject.h"

namespace reflecttest {

constexpr unsigned long kBaseClass = 0x7E570010;
constexpr unsigned long kThingClass = 0x7E570011;
constexpr unsigned long kFactoryClass = 0x7E570012;
enum : unsigned long { kPing = 1, kGetName = 2 };                             // TestBase
enum : unsigned long { kSetValue = 1, kGetValue = 2, kGetPeer = 3, kSetPeer = 4 };  // TestThing
enum : unsigned long { kCreate = 1, kDestroy = 2 };                           // factory

class BaseMeta : public TreflectMetaObject {
public:
    BaseMeta() : TreflectMetaObject("TestBaseClient", kBaseClass) {}
    void completeMetaInformation() override {
        if (!beginCompletion()) return;
        MetaOpData ops[] = {{"ping", kPing}, {"getName", kGetName}};
        MetaAttrData attrs[] = {{"Name"}};
        completeMetaInformationHelper(ops, 2, attrs, 1);
    }
};

class ThingMeta : public TreflectMetaObject {
public:
    ThingMeta() : TreflectMetaObject("TestThingClient", kThingClass) {}
    void completeMetaInformation() override;
};

inline BaseMeta gBaseMeta;
inline ThingMeta gThingMeta;

inline void ThingMeta::completeMetaInformation() {
    if (!beginCompletion()) return;
    completeBase(gBaseMeta);
    MetaOpData ops[] = {{"setValue", kSetValue}, {"getValue", kGetValue}, {"getPeer", kGetPeer}, {"setPeer", kSetPeer}};
    MetaAttrData attrs[] = {{"Value"}, {"Peer"}};
    completeMetaInformationHelper(ops, 4, attrs, 2);
    metaAttribute("Peer")->registerType(this);
}

// One remote call the way a proxy makes it: header, arguments, status, result.
template <class Write, class Read>
void call(TreflectObject const& target, unsigned long cc, unsigned long mc, Write write, Read read) {
    TipprmiStream in(100), out(100);
    target.prepareRequestStream_(true, cc, mc, in);
    write(in);
    target.dispatch(true, cc, mc, in, out);
    read(target.prepareResponseStream_(true, out));
}
inline void noData(TipprmiStream&) {}

class ThingClient : public TreflectObject {
public:
    using TreflectObject::TreflectObject;
    long getValue() const {
        long v = 0;
        call(*this, kThingClass, kGetValue, noData, [&](TipprmiStream& s) { s >> v; });
        return v;
    }
    void setValue(long v) const { call(*this, kThingClass, kSetValue, [&](TipprmiStream& s) { s << v; }, noData); }
    void setPeer(TreflectObject const& p) const {
        call(*this, kThingClass, kSetPeer, [&](TipprmiStream& s) { s << p; }, noData);
    }
};

inline TipprmiSequence<unsigned long> classIds(std::initializer_list<unsigned long> codes) {
    TipprmiSequence<unsigned long> ids;
    for (unsigned long c : codes) ids.push_back(c);
    return ids;
}

// A thing: setValue tells its pre- and post-observers, with the value as the
// argument sequence.
class ThingServer : public TreflectServerObject {
public:
    ThingServer(std::string const& name, TreflectObject const* parent)
        : TreflectServerObject(TipprmiOID(name), parent, name) {}
    unsigned long getServerClassId() const override { return kThingClass; }
    TipprmiSequence<unsigned long> getServerClassIdSeq() const override { return classIds({kThingClass, kBaseClass}); }

    bool dispatch(bool transaction, unsigned long cc, unsigned long mc, TipprmiStream& in,
                  TipprmiStream& out) override {
        bool const ping = cc == kBaseClass && mc == kPing;
        if (!ping && (cc != kThingClass || mc < kSetValue || mc > kSetPeer))
            return TreflectServerObject::dispatch(transaction, cc, mc, in, out);
        if (mc == kSetValue && !ping) {
            long v = 0;
            in >> v;
            TipprmiSequence<TipprmiAny> args;
            args.push_back(TipprmiAny(v));
            if (preObserverAvailable(cc, mc)) notifyObservers(0, cc, mc, args);
            value = v;
            if (postObserverAvailable(cc, mc)) notifyObservers(1, cc, mc, args);
        }
        if (mc == kSetPeer) in >> peer;
        prepareResponseStream_(out);
        if (mc == kGetValue) out << value;
        if (mc == kGetPeer) out << peer;
        return true;
    }

    long value = 0;
    TreflectObject peer;
};

// "things": creates (kCreate, name) and deletes (kDestroy, name) things as
// its children, with their creation and deletion events.
class ThingFactory : public TreflectServerObject {
public:
    ThingFactory() : TreflectServerObject(TipprmiOID("things"), nullptr, "things") {}
    unsigned long getServerClassId() const override { return kFactoryClass; }
    TipprmiSequence<unsigned long> getServerClassIdSeq() const override { return classIds({kFactoryClass}); }

    void create(std::string const& name) {
        auto thing = std::make_unique<ThingServer>(name, getClient());
        thing->sendCreationEvent(nullptr);
        things[name] = std::move(thing);
    }
    void destroy(std::string const& name) {
        auto it = things.find(name);
        if (it == things.end()) return;
        it->second->sendDeletionEvent(nullptr);
        things.erase(it);
    }
    bool dispatch(bool transaction, unsigned long cc, unsigned long mc, TipprmiStream& in,
                  TipprmiStream& out) override {
        if (cc != kFactoryClass || (mc != kCreate && mc != kDestroy))
            return TreflectServerObject::dispatch(transaction, cc, mc, in, out);
        std::string name;
        in >> name;
        mc == kCreate ? create(name) : destroy(name);
        prepareResponseStream_(out);
        return true;
    }

    std::map<std::string, std::unique_ptr<ThingServer> > things;
};

// Server objects and handles are deleted under the run permission.
struct DeleteUnderPermission {
    template <class T>
    void operator()(T* p) const {
        RunPermissionGuard g;
        delete p;
    }
};

// Records what its notificators are told (on worker threads, or the caller's).
struct Recorder {
    bool note(TreflectObserver* o) {
        std::lock_guard<std::mutex> lock(mutex_);
        seen_.push_back(o->getSource()->getOID().getIdString());
        if (o->currentArguments()) {
            long v = 0;
            (*o->currentArguments())[0].extract(v);
            arguments_.push_back(v);
        }
        return true;
    }
    bool has(std::string const& name) {
        std::lock_guard<std::mutex> lock(mutex_);
        return std::count(seen_.begin(), seen_.end(), name) > 0;
    }
    std::vector<std::string> names() {
        std::lock_guard<std::mutex> lock(mutex_);
        return seen_;
    }
    std::vector<long> values() {
        std::lock_guard<std::mutex> lock(mutex_);
        return arguments_;
    }
    void clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        seen_.clear();
    }
    // Observers are made and deleted under the run permission.
    std::unique_ptr<TreflectObserver, DeleteUnderPermission> make() {
        RunPermissionGuard g;
        return std::unique_ptr<TreflectObserver, DeleteUnderPermission>(
            new TreflectNotificator<Recorder>(this, &Recorder::note));
    }

private:
    std::mutex mutex_;
    std::vector<std::string> seen_;
    std::vector<long> arguments_;
};

}  // namespace reflecttest
