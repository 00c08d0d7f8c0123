#include "REFLECT_metaObject.h"

#include "Log.h"
#include "REFLECT_interfaceRepository.h"
#include "REFLECT_orb.h"

void TreflectMetaAttribute::registerType(TreflectMetaObject* m) {
    typeName_ = m->name();
    typeMeta_ = m;
}

TreflectMetaObject::TreflectMetaObject(std::string const& name, unsigned long classCode)
    : completed_(false), name_(name), classCode_(classCode & 0xFFFFFFFFul) {
    InterfaceRepository::instance()->registerInterface(this);
}

TreflectMetaObject::~TreflectMetaObject() {
    InterfaceRepository::instance()->unregisterInterface(this);
    for (auto& entry : attributes_) delete entry.second;
    for (auto& entry : operations_) delete entry.second;
}

namespace {
// Owned members: a later one of the same name replaces and deletes the earlier.
template <class Member>
void replace(std::map<std::string, Member*>& members, Member* m) {
    Member*& slot = members[m->name()];
    if (slot != m) delete slot;
    slot = m;
}
}  // namespace

void TreflectMetaObject::registerAttribute(TreflectMetaAttribute* a) { replace(attributes_, a); }

void TreflectMetaObject::registerOperation(TreflectMetaOperation* o) { replace(operations_, o); }

bool TreflectMetaObject::registerParent(TreflectMetaObject* p) {
    parents_.insert(p);
    p->registerChild(this);
    return true;
}

bool TreflectMetaObject::registerChild(TreflectMetaObject* c) {
    children_.insert(c);
    return true;
}

TreflectMetaAttribute* TreflectMetaObject::metaAttribute(std::string const& name) const {
    auto it = attributes_.find(name);
    if (it != attributes_.end()) return it->second;
    for (TreflectMetaObject* p : parents_)
        if (TreflectMetaAttribute* a = p->metaAttribute(name)) return a;
    TA_LOG(3, "TreflectMetaObject::metaAttribute(%s) NOT found, returning 0", name.c_str());
    return nullptr;
}

TreflectMetaOperation* TreflectMetaObject::metaOperation_(std::string const& name) const {
    auto it = operations_.find(name);
    if (it != operations_.end()) return it->second;
    for (TreflectMetaObject* p : parents_)
        if (TreflectMetaOperation* o = p->metaOperation_(name)) return o;
    return nullptr;
}

TreflectMetaOperation* TreflectMetaObject::metaOperation(std::string const& name) const {
    TreflectMetaOperation* o = metaOperation_(name);
    if (!o)
        TA_LOG(3, "TreflectMetaObject(%s)::metaOperation(%s) NOT found, returning 0", this->name().c_str(),
               name.c_str());
    return o;
}

void TreflectMetaObject::attributeList(std::list<TreflectMetaAttribute*>& list) const {
    for (auto const& entry : attributes_) list.push_back(entry.second);
    for (TreflectMetaObject* p : parents_) p->attributeList(list);
}

void TreflectMetaObject::operationList(std::list<TreflectMetaOperation*>& list) const {
    for (auto const& entry : operations_) list.push_back(entry.second);
    for (TreflectMetaObject* p : parents_) p->operationList(list);
}

bool TreflectMetaObject::isA(TreflectMetaObject const* other) const {
    if (other == this) return true;
    for (TreflectMetaObject* p : parents_)
        if (p->isA(other)) return true;
    return false;
}

void TreflectMetaObject::completeMetaInformationHelper(MetaOpData* ops, unsigned int nOps, MetaAttrData* attrs,
                                                       unsigned int nAttrs) {
    if (!ops || !attrs) {
        TA_LOG(3, "Invalid meta information for meta object \"%s\"", name().c_str());
        return;
    }
    for (unsigned int i = 0; i < nOps; ++i)
        registerOperation(new TreflectMetaOperation(ops[i].name, ops[i].methodCode, this));
    for (unsigned int i = 0; i < nAttrs; ++i) {
        std::string const attr = attrs[i].name;
        TreflectMetaOperation const* get = metaOperation_("get" + attr);
        if (!get) {
            TA_LOG(3, "no get operation registered for attribute \"%s\" of class \"%s\"", attr.c_str(),
                   name().c_str());
            return;
        }
        registerAttribute(new TreflectMetaAttribute(attr, this, get, metaOperation_("set" + attr)));
    }
}

bool TreflectMetaObject::observeCreations(TreflectObserver* obs, bool plusExisting) {
    if (!obs) return false;
    return TreflectORB::getInstance(NSID_UNIT)->observeCreations(getClassId(), *obs, plusExisting);
}

bool TreflectMetaObject::observeDeletions(TreflectObserver* obs) {
    if (!obs) return false;
    return TreflectORB::getInstance(NSID_UNIT)->observeDeletions(getClassId(), *obs);
}

void TreflectMetaObject::removeObserver(TreflectObserver* obs) {
    if (obs) TreflectORB::getInstance(NSID_UNIT)->removeObserver(getClassId(), *obs);
}
