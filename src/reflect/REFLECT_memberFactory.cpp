#include "REFLECT_memberFactory.h"

#include <vector>

#include "Log.h"
#include "REFLECT_metaObject.h"
#include "REFLECT_object.h"

// ---- registry ----

void TreflectTieds::adoptTied(TreflectObject const* obj, OSWrap::SmartPointer<TiedBase> const& tied) {
    mutex_.lock();
    tieds_.insert(std::make_pair(obj, tied));
    mutex_.unlock();
}

void TreflectTieds::destroyTieds(TreflectObject const* obj) {
    // Destroyed outside the lock: an attribute's contained object is itself a
    // handle whose tieds go through here.
    std::vector<OSWrap::SmartPointer<TiedBase> > doomed;
    mutex_.lock();
    auto range = tieds_.equal_range(obj);
    for (auto it = range.first; it != range.second; ++it) doomed.push_back(it->second);
    tieds_.erase(range.first, range.second);
    mutex_.unlock();
}

void TreflectTieds::print() {
    mutex_.lock();
    int const n = static_cast<int>(tieds_.size());
    mutex_.unlock();
    TA_LOG(5, "%d tieds are registered", n);
}

size_t TreflectTieds::count() {
    mutex_.lock();
    size_t const n = tieds_.size();
    mutex_.unlock();
    return n;
}

TreflectTieds::~TreflectTieds() {
    std::multimap<TreflectObject const*, OSWrap::SmartPointer<TiedBase> > doomed;
    mutex_.lock();
    doomed.swap(tieds_);
    mutex_.unlock();
}

template <class T>
T* TreflectMemberFactory<T>::getTied(TreflectObject const* obj) const {
    auto* tied = new Tied(static_cast<typename T::Meta const*>(this), obj);
    TreflectTieds::instance()->adoptTied(obj, OSWrap::SmartPointer<TreflectTieds::TiedBase>(tied));
    return &tied->member;
}

template class TreflectMemberFactory<TreflectOperation>;
template class TreflectMemberFactory<TreflectAttribute>;

// ---- bound operation ----

TreflectErrorAttribute TreflectAttribute::errorAttribute;
TreflectErrorOperation TreflectAttribute::errorOperation;

TreflectOperation::TreflectOperation(TreflectMetaOperation const* meta, TreflectObject const* obj)
    : meta_(meta), object_(obj), error_(false) {}

bool TreflectOperation::preObserve(TreflectObserver* obs) const {
    if (error_) return false;
    object_->registerObserver(0, meta_, obs);
    return true;
}

bool TreflectOperation::postObserve(TreflectObserver* obs) const {
    if (error_) return false;
    object_->registerObserver(1, meta_, obs);
    return true;
}

void TreflectOperation::removeObserver(TreflectObserver* obs) const {
    if (!error_) object_->removeObserver(meta_, obs);
}

int TreflectOperation::call() {
    if (error_) return error;
    unsigned long const cc = meta_->containingMetaObject()->id();
    unsigned long const mc = static_cast<unsigned long>(meta_->id());
    TipprmiStream in(100), out(100);
    object_->prepareRequestStream_(true, cc, mc, in);
    object_->dispatch(true, cc, mc, in, out);
    return 0;
}

// ---- bound attribute ----

TreflectAttribute::TreflectAttribute(TreflectMetaAttribute const* meta, TreflectObject const* obj)
    : meta_(meta),
      object_(obj),
      error_(false),
      contained_(nullptr),
      get_(nullptr),
      set_(nullptr),
      accessKind_(kSingle),
      index_(-1) {}

TreflectAttribute::~TreflectAttribute() { delete contained_; }

int TreflectAttribute::constLength() const { return meta_ ? meta_->constLength() : 0; }

TreflectOperation* TreflectAttribute::operGet() {
    if (error_) return &errorOperation;
    if (!get_) get_ = meta_->metaOperGet()->getTied(object_);
    return get_;
}

TreflectOperation* TreflectAttribute::operSet() {
    if (error_ || !meta_->metaOperSet()) return &errorOperation;
    if (!set_) set_ = meta_->metaOperSet()->getTied(object_);
    return set_;
}

void TreflectAttribute::updateContainedObject() {
    if (error_ || !meta_->typeMeta()) return;
    if (!contained_) {
        contained_ = new TreflectObject(TipprmiOID(static_cast<char const*>(nullptr), NSID_UNIT));
        get(*contained_);
    } else if (index_ != -1) {
        get(*contained_);
    }
}

TreflectAttribute* TreflectAttribute::attribute(std::string const& name) {
    if (error_) return this;
    updateContainedObject();
    TreflectMetaObject* type = meta_->typeMeta();
    if (type)
        if (TreflectMetaAttribute* a = type->metaAttribute(name)) return a->getTied(contained_);
    return &errorAttribute;
}

TreflectOperation* TreflectAttribute::operation(std::string const& name) {
    if (error_) return &errorOperation;
    updateContainedObject();
    TreflectMetaObject* type = meta_->typeMeta();
    if (type)
        if (TreflectMetaOperation* o = type->metaOperation(name)) return o->getTied(contained_);
    return &errorOperation;
}

template <>
int TreflectAttribute::get<TreflectObject>(TreflectObject& out) {
    if (error_) return error;
    unsigned long const cc = meta_->containingMetaObject()->id();
    unsigned long const mc = static_cast<unsigned long>(meta_->metaOperGet()->id());
    TipprmiStream in(100), out_(100);
    object_->prepareRequestStream_(true, cc, mc, in);
    object_->dispatch(true, cc, mc, in, out_);
    TipprmiStream& reply = object_->prepareResponseStream_(true, out_);
    switch (accessKind_) {
    case kSingle:
        reply >> out;
        break;
    case kSequence:
        if (index_ == -1) {
            reply >> out;
        } else {
            TipprmiSequence<TreflectObject> all;
            reply >> all;
            if (static_cast<unsigned long>(index_) < all.getLength()) out = all[index_];
        }
        break;
    case kArray:
        if (index_ == -1) {
            reply >> out;
        } else if (index_ < constLength()) {
            TreflectObject skipped;
            for (int i = 0; i < index_; ++i) reply >> skipped;
            reply >> out;
        }
        break;
    default:
        break;
    }
    return 0;
}

TreflectOperation* TreflectErrorAttribute::operation(std::string const&) { return &TreflectAttribute::errorOperation; }

TreflectAttribute* TreflectErrorAttribute::attribute(std::string const&) { return this; }
