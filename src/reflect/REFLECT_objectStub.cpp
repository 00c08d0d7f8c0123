#include "REFLECT_objectStub.h"

#include <pthread.h>
#include <stdint.h>

#include "IPPRMI_objectSkeleton.h"
#include "Log.h"
#include "REFLECT_interfaceRepository.h"
#include "REFLECT_ObserverSkeleton.h"
#include "REFLECT_metaObject.h"
#include "REFLECT_object.h"
#include "REFLECT_serverObject.h"
#include "TreflectObserverClient.h"

namespace {

// Addresses are printed as 32-bit words, as on the card.
unsigned hexOf(void const* p) { return static_cast<unsigned>(reinterpret_cast<uintptr_t>(p)); }

TipprmiOID oidOf(TreflectObjectLocationIf const& loc) { return loc.hasOID() ? loc.getOID() : TipprmiOID(); }

TipprmiOID oidOf(TipprmiObjectSkeleton const* s) { return s->hasOID() ? s->getOID() : TipprmiOID(); }

void writeFailure(TipprmiStream& out) { out << TipprmiExceptionContainer(TipprmiGeneralException(0)); }

}  // namespace

TipprmiObjectSkeleton* const TreflectObjectStub::INVALIDOBJECT =
    reinterpret_cast<TipprmiObjectSkeleton*>(static_cast<uintptr_t>(0xFFFFFFFFu));
TreflectErrorAttribute TreflectObjectStub::errorAttribute;
TreflectErrorOperation TreflectObjectStub::errorOperation;

// ---- stub ----

TreflectObjectStub::TreflectObjectStub()
    : TipprmiObjectBase(TipprmiOID(), 0), orbId_(), object_(nullptr), refCount_(0), metaCache_(nullptr) {}

TreflectObjectStub::TreflectObjectStub(TreflectObjectLocationIf const& loc)
    : TipprmiObjectBase(oidOf(loc), loc.getInternalOID()), orbId_(loc.orbId()), object_(loc.getServer()),
      refCount_(0), metaCache_(nullptr) {
    if (getInternalOID() == 0 && !loc.hasOID())
        TA_LOG(3, "TreflectObjectStub(ol) this=0x%X,object=%X,oid=NULL,ioid=%X,orbId=0x%X", hexOf(this),
               hexOf(object_), static_cast<unsigned>(getInternalOID()), static_cast<unsigned>(orbId_.value()));
}

TreflectObjectStub::TreflectObjectStub(TipprmiObjectSkeleton const* s)
    : TipprmiObjectBase(oidOf(s), s->getInternalOID()), orbId_(s->orbId()),
      object_(const_cast<TipprmiObjectSkeleton*>(s)), refCount_(0), metaCache_(nullptr) {
    if (getInternalOID() == 0)
        TA_LOG(3, "TreflectObjectStub(object) this=0x%X,object=%X,ioid=%X,orbId=0x%X", hexOf(this), hexOf(object_),
               static_cast<unsigned>(getInternalOID()), static_cast<unsigned>(orbId_.value()));
}

TreflectObjectStub::TreflectObjectStub(TreflectObjectStub const& other)
    : TreflectObjectLocationIf(), TipprmiObjectBase(other), orbId_(other.orbId_), object_(other.object_),
      refCount_(0), metaCache_(nullptr) {
    if (getInternalOID() == 0)
        TA_LOG(3, "TreflectObjectStub(other) this=0x%X,object=%X,ioid=%X,orbId=0x%X", hexOf(this), hexOf(object_),
               static_cast<unsigned>(getInternalOID()), static_cast<unsigned>(orbId_.value()));
}

TreflectObjectStub& TreflectObjectStub::operator=(TreflectObjectStub const& other) {
    if (this != &other) {
        TipprmiObjectBase::operator=(other);
        object_ = other.object_;
        orbId_ = other.orbId_;
        metaCache_ = nullptr;
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
    metaCache_ = nullptr;
    setOID(oid);
    setInternalOID(internalOid);
    orbId_ = orbId;
    object_ = object;
    if (held) handler->insert(this);
}

void TreflectObjectStub::connect(TreflectORB const*, TipprmiOID const& oid) {
    if (!isValid()) return;
    TreflectORB::TreflectObjectLocation const loc = TreflectORB::getInstance(oid.getNamespaceId())->locateObject(oid);
    // A remote lookup gives the run permission up: the ORB may have gone meanwhile.
    if (isValid()) relocate_(oid, loc.getInternalOID(), loc.orbId(), loc.getServer());
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

// ---- reflective operations ----

TreflectServerObject* TreflectObjectStub::localServer() const {
    return dynamic_cast<TreflectServerObject*>(getServer());
}

namespace {

// A built-in request of class code 0 with the arguments `write` adds; returns
// the response stream, its status container not yet read.
template <class Write>
TipprmiStream builtinCall(TreflectObjectStub const& stub, unsigned long mc, Write write) {
    TipprmiStream in(100), out(100);
    const_cast<TreflectObjectStub&>(stub).prepareRequestStream_(true, 0, mc, in);
    write(in);
    stub.dispatch(true, 0, mc, in, out);
    return out;
}

void noArguments(TipprmiStream&) {}

// Reads the status and then `result` from a built-in response.
template <class R>
void readResult(TreflectObjectStub const& stub, unsigned long mc, TipprmiStream& out, R& result) {
    stub.prepareResponseStream_(true, out) >> result;
    if (out.hasUnmarshallingFailed()) out.printUnmarshallError(0, mc);
}

template <class R, class Write>
R builtinResult(TreflectObjectStub const& stub, unsigned long mc, Write write, R result) {
    TipprmiStream out = builtinCall(stub, mc, write);
    readResult(stub, mc, out, result);
    return result;
}

}  // namespace

TreflectMetaObject* TreflectObjectStub::meta() const {
    if (metaCache_) return metaCache_;
    if (!isConnected()) return nullptr;
    TipprmiSequence<unsigned long> ids;
    if (TreflectServerObject* s = localServer())
        ids = s->getServerClassIdSeq();
    else
        ids = builtinResult(*this, ReflectMethod::kGetClassIdSeq, noArguments, ids);
    for (unsigned long i = 0; !metaCache_ && i < ids.getLength(); ++i)
        metaCache_ = InterfaceRepository::instance()->findInterface(ids[i]);
    return metaCache_;
}

std::string TreflectObjectStub::getAbsName() const {
    if (TreflectServerObject* s = localServer()) return s->getAbsName();
    return builtinResult(*this, ReflectMethod::kGetAbsName, noArguments, std::string());
}

std::string TreflectObjectStub::getRelName() const {
    if (TreflectServerObject* s = localServer()) return s->getRelName();
    return builtinResult(*this, ReflectMethod::kGetRelName, noArguments, std::string());
}

TreflectObject TreflectObjectStub::getParent() const {
    if (TreflectServerObject* s = localServer()) return s->getParent();
    return builtinResult(*this, ReflectMethod::kGetParent, noArguments, TreflectObject());
}

TreflectObject TreflectObjectStub::getChild(std::string const& name) const {
    if (TreflectServerObject* s = localServer()) return s->getChild(name);
    return builtinResult(*this, ReflectMethod::kGetChild, [&](TipprmiStream& in) { in << name; }, TreflectObject());
}

TipprmiSequence<TreflectObject> TreflectObjectStub::getChilds() const {
    if (TreflectServerObject* s = localServer()) return s->getChilds();
    return builtinResult(*this, ReflectMethod::kGetChilds, noArguments, TipprmiSequence<TreflectObject>());
}

void TreflectObjectStub::registerChild(std::string const& name, TreflectObject const& obj) const {
    if (TreflectServerObject* s = localServer()) return s->registerChild(name, obj);
    builtinCall(*this, ReflectMethod::kRegisterChild, [&](TipprmiStream& in) { in << name << obj; });
}

void TreflectObjectStub::unregisterChild(std::string const& name) const {
    if (TreflectServerObject* s = localServer()) return s->unregisterChild(name);
    builtinCall(*this, ReflectMethod::kUnregisterChild, [&](TipprmiStream& in) { in << name; });
}

void TreflectObjectStub::registerObserver(unsigned long kind, TreflectMetaOperation const* op,
                                          TreflectObserver* obs) const {
    if (!op || !op->containingMetaObject() || !obs) {
        TA_LOG(3, "TreflectObjectStub::registerObserver FAILED: oper, oper->meta() or obs is NULL");
        return;
    }
    unsigned long const cc = op->containingMetaObject()->id();
    unsigned long const mc = static_cast<unsigned long>(op->id());
    TreflectObserverClient const& client = *obs->getClient();
    if (TreflectServerObject* s = localServer()) return s->registerObserver(kind, cc, mc, client);
    TipprmiStream out = builtinCall(*this, ReflectMethod::kRegisterObserver,
                                    [&](TipprmiStream& in) { in << kind << cc << mc << client; });
    prepareResponseStream_(true, out);
    if (out.hasUnmarshallingFailed()) out.printUnmarshallError(0, ReflectMethod::kRegisterObserver);
}

void TreflectObjectStub::removeObserver(TreflectMetaOperation const*, TreflectObserver* obs) const {
    if (!obs) {
        TA_LOG(3, "TreflectObjectStub::removeObserver FAILED: observer is NULL");
        return;
    }
    TreflectObserverClient const& client = *obs->getClient();
    if (TreflectServerObject* s = localServer()) return s->unRegisterObserver(client);
    TipprmiStream out =
        builtinCall(*this, ReflectMethod::kRemoveObserver, [&](TipprmiStream& in) { in << client; });
    prepareResponseStream_(true, out);
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
    bool const found = s != nullptr;
    if (!found) {
        s = new TreflectObjectStub(loc);
        insert(s);
    }
    // The reference first: connecting may resolve remotely, giving the run
    // permission up, and a handle dropped meanwhile must not free the stub.
    s->incRefCount();
    if (found) checkConnect(s);
    return s;
}

TreflectObjectStub* TreflectObjectHandler::adoptStub(TreflectObjectStub* s) {
    TreflectORB::checkHandlerState();
    if (!s) return nullptr;
    s->incRefCount();  // first, as above
    checkConnect(s);
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
