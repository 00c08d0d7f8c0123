#include "REFLECT_serverObject.h"

#include <cstring>

#include "Log.h"
#include "REFLECT_metaObject.h"
#include "REFLECT_objectStub.h"
#include "REFLECT_orb.h"

TreflectServerObject::TreflectServerObject(TipprmiOID const& oid, TreflectObject const* parent,
                                           std::string const& name)
    : TipprmiObjectSkeleton(oid), shortName_(), longName_(nullptr), parent_(), children_(nullptr) {
    if (name.size() < sizeof shortName_) {
        std::memcpy(shortName_, name.c_str(), name.size() + 1);
    } else {
        longName_ = new char[name.size() + 1];
        std::memcpy(longName_, name.c_str(), name.size() + 1);
    }
    // The base may have made a plain handle; getClient() makes the right kind.
    dropClient_();
    if (parent) {
        parent_ = *parent;
        parent_.registerChild(name, *getClient());
    }
}

TreflectServerObject::~TreflectServerObject() {
    endLife();
    if (parent_.isConnected()) parent_.unregisterChild(objectName());
    if (getORB()) getORB()->forgetInstance(*this);
    delete children_;
    delete[] longName_;
}

TreflectObject* TreflectServerObject::getClient() const {
    if (!client_) client_ = new TreflectObject(this);
    return static_cast<TreflectObject*>(client_);
}

std::string TreflectServerObject::getRelName() const { return objectName(); }

std::string TreflectServerObject::getAbsName() const {
    // Copies first: a remote parent is asked without the run permission, and
    // this object may go meanwhile.
    std::string const name = "/" + getRelName();
    TreflectObject const parent = parent_;
    return parent.isConnected() ? parent.getAbsName() + name : name;
}

TreflectObject TreflectServerObject::getParent() const { return parent_; }

std::map<std::string, TreflectObject>& TreflectServerObject::childs() const {
    if (!children_) children_ = new std::map<std::string, TreflectObject>;
    return *children_;
}

TreflectObject TreflectServerObject::getChild(std::string const& name) const {
    auto it = childs().find(name);
    return it != childs().end() ? it->second : TreflectObject();
}

TipprmiSequence<TreflectObject> TreflectServerObject::getChilds() const {
    TipprmiSequence<TreflectObject> all;
    for (auto const& entry : childs()) all.push_back(entry.second);
    return all;
}

void TreflectServerObject::registerChild(std::string const& name, TreflectObject const& obj) {
    auto it = childs().find(name);
    if (it != childs().end())
        it->second = obj;
    else
        childs().insert(std::make_pair(name, obj));
}

void TreflectServerObject::unregisterChild(std::string const& name) { childs().erase(name); }

bool TreflectServerObject::notifyObservers(unsigned long kind, unsigned long const& cc, unsigned long const& mc,
                                           TipprmiSequence<TipprmiAny> const& args) {
    return TreflectObservable::notifyObservers(*getClient(), kind, cc, mc, args);
}

// The meta object an event goes out under, or null after the error record.
static TreflectMetaObject const* eventMeta(TreflectServerObject const& object, TreflectMetaObject const* meta,
                                          char const* event) {
    if (!meta) meta = object.getClient()->meta();
    if (!meta) TA_LOG(3, "TreflectServerObject::%s(): no meta object", event);
    return meta;
}

void TreflectServerObject::sendCreationEvent(TreflectMetaObject const* meta) {
    if ((meta = eventMeta(*this, meta, "sendCreationEvent"))) getORB()->notifyCreation(meta->getClassId(), *this);
}

void TreflectServerObject::sendDeletionEvent(TreflectMetaObject const* meta) {
    if ((meta = eventMeta(*this, meta, "sendDeletionEvent"))) getORB()->notifyDeletion(meta->getClassId(), *this);
}

bool TreflectServerObject::dispatch(bool transaction, unsigned long cc, unsigned long mc, TipprmiStream& in,
                                    TipprmiStream& out) {
    switch (mc) {
    // A server's own registrations may give the run permission up (and the
    // object may go meanwhile), as generated operations may.
    case ReflectMethod::kRegisterObserver: {
        unsigned long kind = 0, observedCc = 0, observedMc = 0;
        TreflectObserverClient client;
        in >> kind >> observedCc >> observedMc >> client;
        Life const life = this->life();
        registerObserver(kind, observedCc, observedMc, client);
        if (life.gone()) return false;
        prepareResponseStream_(out);
        return true;
    }
    case ReflectMethod::kRemoveObserver: {
        TreflectObserverClient client;
        in >> client;
        Life const life = this->life();
        unRegisterObserver(client);
        if (life.gone()) return false;
        prepareResponseStream_(out);
        return true;
    }
    case ReflectMethod::kGetAbsName:
        prepareResponseStream_(out);
        out << getAbsName();
        return true;
    case ReflectMethod::kGetRelName:
        prepareResponseStream_(out);
        out << getRelName();
        return true;
    case ReflectMethod::kGetParent:
        prepareResponseStream_(out);
        out << getParent();
        return true;
    case ReflectMethod::kGetChild: {
        std::string name;
        in >> name;
        prepareResponseStream_(out);
        out << getChild(name);
        return true;
    }
    case ReflectMethod::kGetChilds:
        prepareResponseStream_(out);
        out << getChilds();
        return true;
    case ReflectMethod::kRegisterChild: {
        std::string name;
        TreflectObject obj;
        in >> name >> obj;
        registerChild(name, obj);
        prepareResponseStream_(out);
        return true;
    }
    case ReflectMethod::kUnregisterChild: {
        std::string name;
        in >> name;
        unregisterChild(name);
        prepareResponseStream_(out);
        return true;
    }
    case ReflectMethod::kGetClassIdSeq:
        prepareResponseStream_(out);
        out << getServerClassIdSeq();
        return true;
    default:
        return TipprmiObjectSkeleton::dispatch(transaction, cc, mc, in, out);
    }
}
