#include "REFLECT_objectStub.h"

#include <pthread.h>
#include <stdint.h>

#include "IPPRMI_objectSkeleton.h"
#include "Log.h"

namespace {

// Addresses are printed as 32-bit words, as on the card.
unsigned hexOf(void const* p) { return static_cast<unsigned>(reinterpret_cast<uintptr_t>(p)); }

TipprmiOID oidOf(TreflectObjectLocationIf const& loc) { return loc.hasOID() ? loc.getOID() : TipprmiOID(); }

TipprmiOID oidOf(TipprmiObjectSkeleton const* s) { return s->hasOID() ? s->getOID() : TipprmiOID(); }

void writeFailure(TipprmiStream& out) { out << TipprmiExceptionContainer(TipprmiGeneralException(0)); }

}  // namespace

TipprmiObjectSkeleton* const TreflectObjectStub::INVALIDOBJECT =
    reinterpret_cast<TipprmiObjectSkeleton*>(static_cast<uintptr_t>(0xFFFFFFFFu));

// ---- stub ----

TreflectObjectStub::TreflectObjectStub()
    : TipprmiObjectBase(TipprmiOID(), 0), orbId_(), object_(nullptr), refCount_(0) {}

TreflectObjectStub::TreflectObjectStub(TreflectObjectLocationIf const& loc)
    : TipprmiObjectBase(oidOf(loc), loc.getInternalOID()), orbId_(loc.orbId()), object_(loc.getServer()),
      refCount_(0) {
    if (getInternalOID() == 0 && !loc.hasOID())
        TA_LOG(3, "TreflectObjectStub(ol) this=0x%X,object=%X,oid=NULL,ioid=%X,orbId=0x%X", hexOf(this),
               hexOf(object_), static_cast<unsigned>(getInternalOID()), static_cast<unsigned>(orbId_.value()));
}

TreflectObjectStub::TreflectObjectStub(TipprmiObjectSkeleton const* s)
    : TipprmiObjectBase(oidOf(s), s->getInternalOID()), orbId_(s->orbId()),
      object_(const_cast<TipprmiObjectSkeleton*>(s)), refCount_(0) {
    if (getInternalOID() == 0)
        TA_LOG(3, "TreflectObjectStub(object) this=0x%X,object=%X,ioid=%X,orbId=0x%X", hexOf(this), hexOf(object_),
               static_cast<unsigned>(getInternalOID()), static_cast<unsigned>(orbId_.value()));
}

TreflectObjectStub::TreflectObjectStub(TreflectObjectStub const& other)
    : TreflectObjectLocationIf(), TipprmiObjectBase(other), orbId_(other.orbId_), object_(other.object_),
      refCount_(0) {
    if (getInternalOID() == 0)
        TA_LOG(3, "TreflectObjectStub(other) this=0x%X,object=%X,ioid=%X,orbId=0x%X", hexOf(this), hexOf(object_),
               static_cast<unsigned>(getInternalOID()), static_cast<unsigned>(orbId_.value()));
}

TreflectObjectStub& TreflectObjectStub::operator=(TreflectObjectStub const& other) {
    if (this != &other) {
        TipprmiObjectBase::operator=(other);
        object_ = other.object_;
        orbId_ = other.orbId_;
    }
    if (getInternalOID() == 0)
        TA_LOG(3, "operator=() object=%X,ioid=%X,orbId=0x%X", hexOf(object_),
               static_cast<unsigned>(getInternalOID()), static_cast<unsigned>(orbId_.value()));
    return *this;
}

TreflectObjectStub::~TreflectObjectStub() {}

unsigned TreflectObjectStub::ownOrbId() const {
    return static_cast<unsigned>(TreflectORB::getInstance(getNamespaceId())->orbId().value());
}

void TreflectObjectStub::relocate_(TipprmiOID const& oid, unsigned long internalOid, TreflectOrbId const& orbId,
                                   TipprmiObjectSkeleton* object) {
    TreflectObjectHandler* handler = TreflectObjectHandler::getInstance();
    bool const held = handler->erase(this);
    setOID(oid);
    setInternalOID(internalOid);
    orbId_ = orbId;
    object_ = object;
    if (held) handler->insert(this);
}

void TreflectObjectStub::connect(TreflectORB const*, TipprmiOID const& oid) {
    if (!isValid()) return;
    TreflectORB::TreflectObjectLocation const loc = TreflectORB::getInstance(oid.getNamespaceId())->locateObject(oid);
    relocate_(oid, loc.getInternalOID(), loc.orbId(), loc.getServer());
}

void TreflectObjectStub::connect(TipprmiObjectSkeleton* s) {
    if (s && s != INVALIDOBJECT) relocate_(oidOf(s), s->getInternalOID(), s->orbId(), s);
    else relocate_(TipprmiOID(), 0, orbId_, s);
}

bool TreflectObjectStub::forwardMsg(TreflectOrbId const& dest, bool transaction, TipprmiStream& in,
                                    TipprmiStream& out) const {
    return TreflectORB::getInstance(NSID_UNIT)->forwardMsg(dest, transaction, in, out);
}

TipprmiStream& TreflectObjectStub::prepareRequestStream_(bool transaction, unsigned long cc, unsigned long mc,
                                                         TipprmiStream& s) {
    if (!isValid()) {
        TA_LOG(4, "prepareRequestStream_(this=0x%X,cc=0x%X,mc=%d,orbId=%X) to stub object set to invalid",
               hexOf(this), static_cast<unsigned>(cc), static_cast<int>(mc), static_cast<unsigned>(orbId_.value()));
        return s;
    }
    s.clear();
    if (getServer()) return s;
    if (getInternalOID() == 0) {
        TA_LOG(4, "prepareRequestStream_(this=0x%X,cc=0x%X,mc=%d,orbId=%X) to non connected stub object",
               hexOf(this), static_cast<unsigned>(cc), static_cast<int>(mc), ownOrbId());
        if (hasOID()) connect(getOID());
    }
    return s << getInternalOID() << transaction << cc << mc;
}

TipprmiStream& TreflectObjectStub::prepareResponseStream_(bool transaction, TipprmiStream& s) const {
    if (transaction) {
        TipprmiExceptionContainer status;
        s >> status;
        if (status.getExceptionType() == TipprmiExceptionContainer::GENERAL_EXCEPTION) s.stopUnmarshalling();
    }
    return s;
}

bool TreflectObjectStub::dispatch(bool transaction, unsigned long cc, unsigned long mc, TipprmiStream& in,
                                  TipprmiStream& out) const {
    if (!isValid()) {
        TA_LOG(4, "dispatch(this=0x%X,cc=0x%X,mc=%d,orbId=%X) request to stub object set to invalid", hexOf(this),
               static_cast<unsigned>(cc), static_cast<int>(mc), ownOrbId());
        writeFailure(out);
        return false;
    }
    if (TipprmiObjectSkeleton* server = getServer()) {
        bool const ok = server->dispatch(transaction, cc, mc, in, out);
        if (!ok)
            TA_LOG(3, "dispatch(this=0x%X,cc=0x%X,mc=%d,orbId=%X) to object failed", hexOf(this),
                   static_cast<unsigned>(cc), static_cast<int>(mc), ownOrbId());
        return ok;
    }
    if (isConnected()) {
        bool const ok = forwardMsg(orbId_, transaction, in, out);
        if (!ok) {
            TA_LOG(3, "Message forwarding failed");
            writeFailure(out);
        }
        return ok;
    }
    TA_LOG(3, "dispatch(this=0x%X,cc=0x%X,mc=%d,orbId=%X) request to invalid stub object", hexOf(this),
           static_cast<unsigned>(cc), static_cast<int>(mc), ownOrbId());
    writeFailure(out);
    return false;
}

void TreflectObjectStub::setExceptionContainer(TipprmiExceptionContainer const& c) const {
    if (!isValid()) return;
    if (TipprmiObjectSkeleton* server = getServer()) return server->setExceptionContainer(c);
    TipprmiStream in(100), out(100);
    // A remote call may look the object up again first.
    const_cast<TreflectObjectStub*>(this)->prepareRequestStream_(true, 0, TipprmiObjectSkeleton::kSetExceptionContainer,
                                                                 in);
    in << c;
    dispatch(true, 0, TipprmiObjectSkeleton::kSetExceptionContainer, in, out);
    prepareResponseStream_(true, out);
}

TipprmiExceptionContainer TreflectObjectStub::getExceptionContainer() const {
    if (!isValid()) return TipprmiExceptionContainer(TipprmiGeneralException(0));
    if (TipprmiObjectSkeleton* server = getServer()) return server->getExceptionContainer();
    TipprmiStream in(100), out(100);
    const_cast<TreflectObjectStub*>(this)->prepareRequestStream_(true, 0, TipprmiObjectSkeleton::kGetExceptionContainer,
                                                                 in);
    dispatch(true, 0, TipprmiObjectSkeleton::kGetExceptionContainer, in, out);
    TipprmiExceptionContainer c;
    prepareResponseStream_(true, out) >> c;
    return c;
}

bool operator<(TreflectObjectLocationIf const& a, TreflectObjectLocationIf const& b) {
    if (a.getNamespaceId() != b.getNamespaceId()) return a.getNamespaceId() < b.getNamespaceId();
    if (a.getInternalOID() != b.getInternalOID()) return a.getInternalOID() < b.getInternalOID();
    if (a.orbId() == b.orbId() && a.hasOID() && b.hasOID()) return a.getOID() < b.getOID();
    return a.orbId() < b.orbId();
}

bool operator==(TreflectObjectStub const& a, TreflectObjectStub const& b) {
    if (a.hasOID() && b.hasOID()) return a.getOID() == b.getOID();
    return a.getInternalOID() == b.getInternalOID() && a.orbId() == b.orbId() &&
           a.getNamespaceId() == b.getNamespaceId() && a.object() == b.object();
}

// ---- container ----

TreflectObjectStub* TreflectObjectStubContainer::find(TreflectObjectLocationIf const& loc) const {
    auto range = stubs_.equal_range(&loc);
    for (auto it = range.first; it != range.second; ++it)
        if (it->second->isValid()) return it->second;
    return nullptr;
}

void TreflectObjectStubContainer::insert(TreflectObjectStub* s) {
    if (s) stubs_.emplace(s, s);
}

bool TreflectObjectStubContainer::erase(TreflectObjectStub* s) {
    auto range = stubs_.equal_range(s);
    for (auto it = range.first; it != range.second; ++it) {
        if (it->second == s) {
            stubs_.erase(it);
            return true;
        }
    }
    return false;
}

void TreflectObjectStubContainer::invalidateStubs(TreflectOrbId const& id) {
    for (auto const& entry : stubs_)
        if (entry.second->orbId() == id) entry.second->setInvalid();
}

// ---- handler ----

TreflectObjectHandler::TreflectObjectInvalidStub::TreflectObjectInvalidStub() {
    setOID(TipprmiOID("InvalidStub", NSID_UNIT));
}

namespace {
pthread_mutex_t gHandlerMutex = PTHREAD_MUTEX_INITIALIZER;
TreflectObjectHandler* gHandler = nullptr;
}  // namespace

TreflectObjectHandler* TreflectObjectHandler::getInstance() {
    TreflectObjectHandler* h = __atomic_load_n(&gHandler, __ATOMIC_ACQUIRE);
    if (h) return h;
    pthread_mutex_lock(&gHandlerMutex);
    h = gHandler;
    if (!h) {
        h = new TreflectObjectHandler;
        __atomic_store_n(&gHandler, h, __ATOMIC_RELEASE);
    }
    pthread_mutex_unlock(&gHandlerMutex);
    return h;
}

TreflectObjectHandler::TreflectObjectHandler() {
    insert(&invalidStub_);
    adoptStub(TipprmiOID());
}

TreflectObjectStub* TreflectObjectHandler::adoptStub(TipprmiOID const& oid) {
    if (!oid.hasIdString()) {
        invalidStub_.incRefCount();
        return &invalidStub_;
    }
    return adoptStub(TreflectORB::getInstance(NSID_UNIT)->locateObject(oid));
}

TreflectObjectStub* TreflectObjectHandler::adoptStub(TreflectORB const*, TipprmiOID const& oid) { return adoptStub(oid); }

TreflectObjectStub* TreflectObjectHandler::adoptStub(TreflectObjectLocationIf const& loc) {
    TreflectORB::checkHandlerState();
    TreflectObjectStub* s = find(loc);
    if (!s) {
        s = new TreflectObjectStub(loc);
        insert(s);
    } else {
        checkConnect(s);
    }
    s->incRefCount();
    return s;
}

TreflectObjectStub* TreflectObjectHandler::adoptStub(TreflectObjectStub* s) {
    TreflectORB::checkHandlerState();
    if (!s) return nullptr;
    checkConnect(s);
    s->incRefCount();
    return s;
}

void TreflectObjectHandler::releaseStub(TreflectObjectStub* s) {
    TreflectORB::checkHandlerState();
    if (!s || !s->decRefCount()) return;
    if (s == &invalidStub_) {
        // The handler's own reference is gone: some handle released twice.
        TA_LOG(3, "TreflectObjectHandler::releaseStub: invalid stub released once too often");
        s->incRefCount();
        return;
    }
    erase(s);
    delete s;
}

void TreflectObjectHandler::checkConnect(TreflectObjectStub* s) {
    if (s->isConnected() || s == &invalidStub_) return;
    if (s->hasOID()) s->connect(nullptr, s->getOID());
}
