#include "REFLECT_orb.h"

#include <unistd.h>

#include "Log.h"

namespace {

pthread_mutex_t gInstanceMutex = PTHREAD_MUTEX_INITIALIZER;
TreflectORB* volatile gInstances[256];

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

TreflectORB* TreflectORB::getInstance(NamespaceId ns) {
    unsigned index = static_cast<unsigned>(ns) & 0xFFu;
    TreflectORB* orb = __atomic_load_n(&gInstances[index], __ATOMIC_ACQUIRE);
    if (orb) return orb;
    pthread_mutex_lock(&gInstanceMutex);
    orb = gInstances[index];
    if (!orb) {
        orb = new TreflectORB(static_cast<NamespaceId>(index));
        orb->start();
        __atomic_store_n(&gInstances[index], orb, __ATOMIC_RELEASE);
        // Give the transport time to announce the new termination.
        OSWrap::Thread::sleep(OSWrap::TimeSpec::fromMilliseconds(100));
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
    : Transport::TerminationImpl(groupFor(ns, 0), std::string()), orbId_(), lastRequestId_(0) {
    orbId_ = convertId(termId());
    lastRequestId_ = static_cast<unsigned long>(orbId_.nameId()) * 65536ul +
                     static_cast<unsigned long>(orbId_.slotId() & 15u) * 4096ul;
    TA_LOG(5, "ORB created for actor %s with OrbId 0x%X, TerminationId 0x%08X",
           Transport::IdInfo::instance().getActor().c_str(), static_cast<unsigned>(orbId_.value()),
           static_cast<unsigned>(termId().value()));
}

TreflectORB::~TreflectORB() { stop(); }

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
