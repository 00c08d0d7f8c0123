#include "REFLECT_orb.h"

#include <unistd.h>

#include <cstdio>

#include "Env.h"
#include "IPPRMI_objectSkeleton.h"
#include "Log.h"
#include "REFLECT_orbInternal.h"

namespace {

pthread_mutex_t gInstanceMutex = PTHREAD_MUTEX_INITIALIZER;

// Stops and deletes every ORB at normal process exit. No object-model code
// runs after it, so a run permission the exiting thread still holds is
// given up first: a worker finishing its request needs it to end. Made
// after the first ORB, it runs before the static objects made earlier (the
// meta objects and error members its workers may still touch) are destroyed.
struct SingletonInstancesRemover {
    ~SingletonInstancesRemover() { TreflectORB::removeInstances(); }
};

pthread_mutex_t gHandlerThreadsMutex = PTHREAD_MUTEX_INITIALIZER;
OrbHandlerThreads* volatile gHandlerThreads = nullptr;

// Group of the own termination, decided before the termination exists.
Transport::GroupId groupFor(NamespaceId ns, unsigned long orbIdValue) {
    Transport::IdInfo& info = Transport::IdInfo::instance();
    switch (ns) {
    case NSID_UNIT:
        if (info.getSlot() == 1) return Transport::GroupId(1);
        if (info.isBep()) return Transport::GroupId(2);
        return Transport::GroupId(info.activeSlot() == 1 ? 1 : 2);
    case NSID_NODE:
        return Transport::GroupId(3);
    case NSID_UNDEF:
        TA_LOG(3, "ORB (orbId=0x%X) can not handle namespace id NSID_UNDEF", static_cast<unsigned>(orbIdValue));
        return Transport::GRPID_UNDEF;
    default:
        return Transport::GRPID_UNDEF;
    }
}

}  // namespace

// ---- instances ----

TreflectORB* TreflectORB::singletonInstances_[256];

TreflectORB* TreflectORB::getInstance(NamespaceId ns) {
    unsigned index = static_cast<unsigned>(ns) & 0xFFu;
    TreflectORB* orb = __atomic_load_n(&singletonInstances_[index], __ATOMIC_ACQUIRE);
    if (orb) return orb;
    pthread_mutex_lock(&gInstanceMutex);
    orb = singletonInstances_[index];
    if (!orb) {
        orb = new TreflectORB(static_cast<NamespaceId>(index));
        // Stored before it starts: the ORBs that appear during the start ask for it.
        __atomic_store_n(&singletonInstances_[index], orb, __ATOMIC_RELEASE);
        orb->start();
        // Give the transport time to announce the new termination.
        OSWrap::Thread::sleep(OSWrap::TimeSpec::fromMilliseconds(100));
        static SingletonInstancesRemover remover;
        (void)remover;
    }
    pthread_mutex_unlock(&gInstanceMutex);
    return orb;
}

// ---- handler threads ----

OrbHandlerThreads& TreflectORB::handlerThreads() {
    OrbHandlerThreads* h = __atomic_load_n(&gHandlerThreads, __ATOMIC_ACQUIRE);
    if (h) return *h;
    pthread_mutex_lock(&gHandlerThreadsMutex);
    h = gHandlerThreads;
    if (!h) {
        h = new OrbHandlerThreads;
        __atomic_store_n(&gHandlerThreads, h, __ATOMIC_RELEASE);
    }
    pthread_mutex_unlock(&gHandlerThreadsMutex);
    return *h;
}

void TreflectORB::enterHandlerState(bool getPermission) { handlerThreads().enter(getPermission); }
void TreflectORB::leaveHandlerState(bool releasePermission) { handlerThreads().leave(releasePermission); }
void TreflectORB::checkHandlerState() { handlerThreads().check(); }
bool TreflectORB::isHandlerThread() { return handlerThreads().isHandler(); }
void TreflectORB::getRunPermission() { handlerThreads().getPermission(); }
void TreflectORB::releaseRunPermission() { handlerThreads().releasePermission(); }
bool TreflectORB::hasRunPermission() { return handlerThreads().hasPermission(); }
unsigned TreflectORB::getRunPermissionCount() { return handlerThreads().getPermissionCount(); }

// ---- construction and ids ----

TreflectORB::TreflectORB(NamespaceId const& ns)
    : Transport::TerminationImpl(groupFor(ns, 0), std::string()),
      lastRequestId_(0),
      ending_(false),
      receivingThread_(0),
      queue_(new MessageQueue),
      orbId_(),
      orbObserver_(nullptr),
      missedCreations_(true),
      missedDeletions_(false),
      nextInternalOid_(0) {
    orbId_ = convertId(termId());
    lastRequestId_ = static_cast<unsigned long>(orbId_.nameId()) * 65536ul +
                     static_cast<unsigned long>(orbId_.slotId() & 15u) * 4096ul;
    TA_LOG(5, "ORB created for actor %s with OrbId 0x%X, TerminationId 0x%08X",
           Transport::IdInfo::instance().getActor().c_str(), static_cast<unsigned>(orbId_.value()),
           static_cast<unsigned>(termId().value()));
}


Transport::GroupId TreflectORB::getMyGroup(NamespaceId const& ns) const { return groupFor(ns, orbId_.value()); }

NamespaceId TreflectORB::getNamespaceFromGroup(Transport::GroupId const& group) const {
    switch (static_cast<unsigned>(group)) {
    case 1:
    case 2:
        return NSID_UNIT;
    case 3:
        return NSID_NODE;
    case 0:
        TA_LOG(3, "ORB (orbId=0x%X) can not handle group id GRPID_UNDEF", static_cast<unsigned>(orbId_.value()));
        return NSID_UNDEF;
    case 4:
        TA_LOG(3, "ORB (orbId=0x%X) can not handle group id TRSPCTRL", static_cast<unsigned>(orbId_.value()));
        return NSID_UNDEF;
    default:
        return NSID_UNDEF;
    }
}

Transport::TerminationId TreflectORB::convertId(TreflectOrbId const& id) const {
    Transport::IdInfo& info = Transport::IdInfo::instance();
    unsigned char slot = id.slotId();
    unsigned group = 0;
    switch (id.namespaceId()) {
    case NSID_UNIT:
        if (slot == 0) {
            slot = static_cast<unsigned char>(info.isBep() ? info.getSlot() : info.activeSlot());
            group = slot == 1 ? 1 : 2;
        } else {
            group = info.activeSlot() == 1 ? 1 : 2;
        }
        break;
    case NSID_NODE:
        if (slot == 0)
            TA_LOG(3, "ORB (orbId=0x%X) can not handle slot 0 for NSID_NODE", static_cast<unsigned>(orbId_.value()));
        group = 3;
        break;
    case NSID_UNDEF:
        TA_LOG(3, "ORB (orbId=0x%X) can not handle namespace NSID_UNDEF", static_cast<unsigned>(orbId_.value()));
        break;
    default:
        break;
    }
    return Transport::TerminationId(id.nameId(), slot, static_cast<Transport::GroupId>(group));
}

TreflectOrbId TreflectORB::convertId(Transport::TerminationId const& t) const {
    NamespaceId ns = getNamespaceFromGroup(t.groupId());
    int slot = t.slotId();
    if (ns == NSID_UNIT && Transport::IdInfo::instance().bepInSlot(slot)) slot = 0;
    return TreflectOrbId(t.nameId(), static_cast<unsigned char>(slot), ns);
}

// ---- object registry and location ----

TreflectORB::TreflectObjectLocation::TreflectObjectLocation()
    : internalOid_(0), orbId_(), oid_(static_cast<char const*>(nullptr), NSID_UNIT), server_(nullptr) {}

TreflectORB::TreflectObjectLocation::TreflectObjectLocation(unsigned long internalOid, TreflectOrbId const& orbId,
                                                            TipprmiOID const& oid, TipprmiObjectSkeleton* server)
    : internalOid_(internalOid), orbId_(orbId), oid_(oid), server_(server) {}

void TreflectORB::registerObject(TipprmiObjectSkeleton* object) {
    // Internal ids are a 32-bit counter rather than addresses, so that they
    // fit the wire on any host; ids of live objects are never reused.
    uint32_t id;
    do {
        id = ++nextInternalOid_;
    } while (id == 0 || objects_.count(id));
    objects_[id] = object;
    object->setInternalOID(id);
}

void TreflectORB::unregisterObject(TipprmiObjectSkeleton const* object) {
    auto it = objects_.find(object->getInternalOID());
    if (it != objects_.end() && it->second == object) objects_.erase(it);
}

TreflectORB::TreflectObjectLocation TreflectORB::locateObject(TipprmiOID const& oid) const {
    if (oid.getNamespaceId() != namespaceId()) return getInstance(oid.getNamespaceId())->locateObject(oid);
    TreflectObjectLocation location(0, TreflectOrbId(), oid, nullptr);
    unsigned long orbValue = 0, internalOid = 0;
    char const* text = oid.getIdString();
    if (text && std::sscanf(text, "rmi_%lX_%lX", &orbValue, &internalOid) == 2) {
        // Generated text form: an anonymous reference to that ORB's object.
        TreflectOrbId id(orbValue);
        location = TreflectObjectLocation(internalOid, id, TipprmiOID(static_cast<char const*>(nullptr), id.namespaceId()),
                                          nullptr);
        if (id == orbId_) {
            auto it = objects_.find(internalOid);
            if (it != objects_.end()) location.setServer(it->second);
        }
        return location;
    }
    location = locateLocalObject_(oid);
    if (location.getInternalOID() == 0) location = locateRemoteObject_(oid);
    return location;
}

TreflectORB::TreflectObjectLocation TreflectORB::locateLocalObject_(TipprmiOID const& oid) const {
    for (auto const& entry : objects_) {
        TipprmiObjectSkeleton* s = entry.second;
        if (s->hasOID() && s->getOID() == oid) return TreflectObjectLocation(entry.first, orbId_, oid, s);
    }
    return TreflectObjectLocation(0, TreflectOrbId(), oid, nullptr);
}

TreflectORB::TreflectObjectLocation TreflectORB::locateRemoteObject_(TipprmiOID const& oid) const {
    std::list<Transport::TerminationId> members =
        Transport::TransportLayer::instance().getGroup(getMyGroup(namespaceId())).contains();
    for (auto it = members.rbegin(); it != members.rend(); ++it) {
        if (*it == termId()) continue;
        unsigned long internalOid = resolve(*it, oid);
        if (internalOid != 0) return TreflectObjectLocation(internalOid, convertId(*it), oid, nullptr);
    }
    return TreflectObjectLocation(0, TreflectOrbId(), oid, nullptr);
}

unsigned long TreflectORB::resolve(Transport::TerminationId const& dest, TipprmiOID oid) const {
    TipprmiStream request(allocateRequest(100), false);
    request.msg().type(TreflectMessage::tRslve);
    request << oid;
    TipprmiStream response(allocateResponse(request.msg(), 104), false);
    unsigned long internalOid = 0;
    if (forwardMsg_(dest, true, request.msg(), response)) {
        response >> internalOid;
        return internalOid;
    }
    TipprmiExceptionContainer failure;
    response >> failure;
    TipprmiGeneralException code(0x660006);
    failure.getExceptionData().extract(code);
    return 0;
}

// ---- performance counters ----

TipprmiStream& operator<<(TipprmiStream& s, TreflectObjectLocationIf const& v) {
    if (v.hasOID()) s << v.getOID();
    else s << 0 << v.getNamespaceId();
    return s << v.getInternalOID() << v.orbId().value();
}

TipprmiStream& operator>>(TipprmiStream& s, TreflectORB::TreflectObjectLocation& v) {
    TipprmiOID oid;
    unsigned long internalOid = 0, orbId = 0;
    s >> oid >> internalOid >> orbId;
    v = TreflectORB::TreflectObjectLocation(internalOid, TreflectOrbId(orbId), oid, nullptr);
    return s;
}

TipprmiStream& operator<<(TipprmiStream& s, TreflectORB::PerfCnts const& v) {
    return s << v.termId << v.sent << v.failed;
}

TipprmiStream& operator>>(TipprmiStream& s, TreflectORB::PerfCnts& v) { return s >> v.termId >> v.sent >> v.failed; }

void TreflectORB::countSent(Transport::TerminationId const& dest) const {
    mutex_.lock();
    ++perfCnts_[dest].sent;
    mutex_.unlock();
}

void TreflectORB::countFailed(Transport::TerminationId const& dest) const {
    mutex_.lock();
    ++perfCnts_[dest].failed;
    mutex_.unlock();
}

TreflectORB::PerfCntInfo TreflectORB::getPerfCnts(Transport::TerminationId const& t) {
    TipprmiStream request(allocateRequest(100), false);
    request.msg().type(TreflectMessage::tPfCnt);
    TipprmiStream response(allocateResponse(request.msg(), 104), false);
    PerfCntInfo info;
    if (forwardMsg_(t, true, request.msg(), response)) response >> info.actor >> info.counters;
    return info;
}

std::list<TreflectORB::PerfCntMultInfo> TreflectORB::getPerfCnts() {
    std::list<PerfCntMultInfo> all;
    for (auto const& member : Transport::TransportLayer::instance().getGroup(getMyGroup(namespaceId())).contains()) {
        if (member == termId()) continue;
        PerfCntMultInfo one;
        one.peer = member;
        one.info = getPerfCnts(member);
        all.push_back(one);
    }
    return all;
}

// ---- ORB observers ----

void TreflectORB::registerOrbCreation(TreflectOrbObserverIf* obs, bool notifyExisting) {
    orbObserverService()->subscribe(obs, TreflectOrbObserverIf::kAppear, notifyExisting);
}

void TreflectORB::registerOrbDeletion(TreflectOrbObserverIf* obs) {
    orbObserverService()->subscribe(obs, TreflectOrbObserverIf::kDisappear, false);
}

void TreflectORB::unregisterOrbNotifications(TreflectOrbObserverIf* obs) {
    if (TreflectOrbObserver* service = orbObserver_.load()) service->unsubscribe(obs);
}

TreflectOrbObserver* TreflectORB::orbObserverService() {
    TreflectOrbObserver* service = orbObserver_.load();
    if (service) return service;
    // Registrations may come from several threads; one service is kept.
    TreflectOrbObserver* fresh = new TreflectOrbObserver;
    if (orbObserver_.compare_exchange_strong(service, fresh)) return fresh;
    delete fresh;
    return service;
}

// ---- diagnostics ----

void TreflectORB::display(int) const {
    TA_LOG(5, "ORB display: actor %s, OrbId 0x%X, TermId 0x%08X", Transport::IdInfo::instance().getActor().c_str(),
           static_cast<unsigned>(orbId_.value()), static_cast<unsigned>(termId().value()));
    TA_LOG(5, "  number of handler threads: %d", static_cast<int>(handlerThreads().size()));
    size_t co = 0, dob = 0, oi = 0, rco = 0, rdo = 0;
    for (auto const& entry : metaData_) {
        co += entry.second->creationObservers.size();
        dob += entry.second->deletionObservers.size();
        oi += entry.second->instances.size();
        rco += entry.second->remoteCreationObservers.size();
        rdo += entry.second->remoteDeletionObservers.size();
    }
    TA_LOG(5, "  metaData: size=%d, co=%d, do=%d, oi=%d, rco=%d, rdo=%d", static_cast<int>(metaData_.size()),
           static_cast<int>(co), static_cast<int>(dob), static_cast<int>(oi), static_cast<int>(rco),
           static_cast<int>(rdo));
    TA_LOG(5, "  actor size: %d", oscwGetActorSize());
    TA_LOG(5, "  unit free: %d", oscwGetUnitFreeMem());
}

void TreflectORB::resetUnit() const {
    TA_LOG(5, "ORB 0x%08X requests UNIT RESET", static_cast<unsigned>(termId().value()));
    TA_LOG(0, "ORB 0x%08X failed to reset unit, EXIT ACTOR", static_cast<unsigned>(termId().value()));
    _exit(0);
}

// ---- end of the process ----

void TreflectORB::removeInstances() {
    for (unsigned held = hasRunPermission() ? getRunPermissionCount() : 0; held > 0; --held) releaseRunPermission();
    for (TreflectORB*& entry : singletonInstances_) {
        TreflectORB* orb = __atomic_load_n(&entry, __ATOMIC_ACQUIRE);
        if (!orb) continue;
        orb->Transport::TerminationImpl::stop();
        if (__atomic_load_n(&entry, __ATOMIC_ACQUIRE)) delete orb;
        __atomic_store_n(&entry, static_cast<TreflectORB*>(nullptr), __ATOMIC_RELEASE);
    }
}
