#include "REFLECT_object.h"

#include <new>

#include "Log.h"
#include "REFLECT_metaObject.h"
#include "REFLECT_objectStub.h"

TreflectErrorAttribute TreflectObject::errorAttribute;
TreflectErrorOperation TreflectObject::errorOperation;
void* TreflectObject::newList_ = nullptr;

namespace {
TreflectObjectHandler& handler() { return *TreflectObjectHandler::getInstance(); }
}  // namespace

TreflectObject::TreflectObject() : TipprmiObjectClient() {}

TreflectObject::TreflectObject(TipprmiObjectSkeleton const* s) : TipprmiObjectClient(s) {}

TreflectObject::TreflectObject(TipprmiOID const& oid) : TipprmiObjectClient(oid) {}

TreflectObject::TreflectObject(TreflectORB const* orb, TipprmiOID const& oid) : TipprmiObjectClient(orb, oid) {}

TreflectObject::TreflectObject(TreflectObject const& other) : TipprmiObjectClient(other) {}

TreflectObject::~TreflectObject() {
    handler().releaseStub(stub_);
    stub_ = nullptr;
    TreflectTieds::instance()->destroyTieds(this);
}

TreflectObject& TreflectObject::operator=(TreflectObject const& other) {
    if (this != &other && stub_ != other.stub_) TipprmiObjectClient::operator=(other);
    return *this;
}

void TreflectObject::connect(TipprmiOID const& oid) { TipprmiObjectClient::connect(nullptr, oid); }

TreflectAttribute* TreflectObject::attribute(std::string const& name) const {
    TreflectMetaObject* m = meta();
    if (m)
        if (TreflectMetaAttribute* a = m->metaAttribute(name)) {
            TreflectAttribute* tied = a->getTied(this);
            tied->clearIndex();
            return tied;
        }
    TA_LOG(3, "attribute \"%s\" not found", name.c_str());
    return &errorAttribute;
}

TreflectOperation* TreflectObject::operation(std::string const& name) const {
    TreflectMetaObject* m = meta();
    if (m)
        if (TreflectMetaOperation* o = m->metaOperation(name)) return o->getTied(this);
    TA_LOG(3, "operation \"%s\" not found", name.c_str());
    return &errorOperation;
}

TreflectMetaObject* TreflectObject::meta() const { return stub_->meta(); }
std::string TreflectObject::getAbsName() const { return stub_->getAbsName(); }
std::string TreflectObject::getRelName() const { return stub_->getRelName(); }
TreflectObject TreflectObject::getParent() const { return stub_->getParent(); }
TreflectObject TreflectObject::getChild(std::string const& name) const { return stub_->getChild(name); }
TipprmiSequence<TreflectObject> TreflectObject::getChilds() const { return stub_->getChilds(); }

void TreflectObject::registerChild(std::string const& name, TreflectObject const& obj) const {
    stub_->registerChild(name, obj);
}

void TreflectObject::unregisterChild(std::string const& name) const { stub_->unregisterChild(name); }

void TreflectObject::registerObserver(unsigned long kind, TreflectMetaOperation const* op,
                                      TreflectObserver* obs) const {
    stub_->registerObserver(kind, op, obs);
}

void TreflectObject::removeObserver(TreflectMetaOperation const* op, TreflectObserver* obs) const {
    stub_->removeObserver(op, obs);
}

// ---- free list ----
// No lock: handles are made and dropped by threads holding the run permission.

namespace {
constexpr unsigned kSlotsPerBlock = 256;
}  // namespace

void* TreflectObject::operator new(size_t size) {
    if (size != sizeof(TreflectObject)) return ::operator new(size);
    if (!newList_) {
        char* block = static_cast<char*>(::operator new(kSlotsPerBlock * size));
        for (unsigned i = 0; i + 1 < kSlotsPerBlock; ++i)
            *reinterpret_cast<void**>(block + i * size) = block + (i + 1) * size;
        *reinterpret_cast<void**>(block + (kSlotsPerBlock - 1) * size) = nullptr;
        newList_ = block;
    }
    void* slot = newList_;
    newList_ = *static_cast<void**>(slot);
    return slot;
}

void TreflectObject::operator delete(void* p, size_t size) {
    if (!p) return;
    if (size != sizeof(TreflectObject)) return ::operator delete(p);
    *static_cast<void**>(p) = newList_;
    newList_ = p;
}
