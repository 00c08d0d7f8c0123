// Creation and deletion notifications of the objects of a class: the local
// observers and instances per class code, and the subscription protocol
// between ORBs (tOCNSU/tODNSU, tOCNUN/tODNUN, tOCN/tODN).
#include <algorithm>

#include "Log.h"
#include "REFLECT_ObserverSkeleton.h"
#include "REFLECT_interfaceRepository.h"
#include "REFLECT_object.h"
#include "REFLECT_orb.h"
#include "REFLECT_serverObject.h"

namespace {

unsigned hex32(unsigned long v) { return static_cast<unsigned>(v & 0xFFFFFFFFul); }

TipprmiSequence<unsigned long> ownInterfaceIds() {
    TipprmiSequence<unsigned long> ids;
    for (unsigned long id : InterfaceRepository::instance()->getIfIds()) ids.push_back(id);
    return ids;
}

// An observer removed by an earlier callback gets nothing more.
void handToObserverWhileIn(std::vector<TreflectObserver*> const& list, TreflectObserver& obs,
                           TreflectObject const& object) {
    if (std::find(list.begin(), list.end(), &obs) != list.end()) TreflectORB::handToObserver(obs, object);
}

// Observers of `list` in order; one that left the list meanwhile (a callback
// may remove observers) is skipped.
void handToEach(std::vector<TreflectObserver*> const& list, TreflectObject const& object) {
    std::vector<TreflectObserver*> const copy = list;
    for (TreflectObserver* obs : copy) handToObserverWhileIn(list, *obs, object);
}

}  // namespace

void TreflectORB::handToObserver(TreflectObserver& obs, TreflectObject const& object) {
    obs.setSource(&object);
    obs.handleNotification();
}

TreflectORB::MetaData& TreflectORB::getMetaData(unsigned long classCode) {
    MetaData*& md = metaData_[classCode & 0xFFFFFFFFul];
    if (!md) md = new MetaData;
    return *md;
}

TreflectORB::MetaData* TreflectORB::findMetaData(unsigned long classCode) const {
    auto it = metaData_.find(classCode & 0xFFFFFFFFul);
    return it != metaData_.end() ? it->second : nullptr;
}

TreflectORB::MetaData* TreflectORB::subscribedMetaData(unsigned long classCode, TreflectOrbId const& subscriber) {
    if (MetaData* md = findMetaData(classCode)) return md;
    if (InterfaceRepository::instance()->findInterface(classCode)) return &getMetaData(classCode);
    // A peer names whatever class codes it likes: those we know nothing of
    // would each keep an entry for ever.
    static bool logged = false;
    if (!logged)
        TA_LOG(4, "ORB 0x%08X refuses subscriptions of 0x%08X to class code 0x%X, which has no meta object here "
                  "(further refusals are not logged)",
               hex32(termId().value()), hex32(convertId(subscriber).value()), hex32(classCode));
    logged = true;
    return nullptr;
}

void TreflectORB::destroyMetaData() {
    for (auto& entry : metaData_) delete entry.second;
    metaData_.clear();
}

std::vector<unsigned long> const* TreflectORB::remoteInterfaceIds(Transport::TerminationId const& t) const {
    auto it = remoteIfIds_.find(t);
    return it != remoteIfIds_.end() ? &it->second : nullptr;
}

// ---- local side ----

// The observer joins the list before anything is handed over or subscribed:
// a notice that arrives while the existing objects are handed over (each
// may take long) reaches it, and a duplicate is the observer's to ignore.
bool TreflectORB::observeCreations(unsigned long const& classCode, TreflectObserver& obs, bool plusExisting) {
    MetaData& md = getMetaData(classCode);
    bool const subscribed = !md.creationObservers.empty();
    md.creationObservers.push_back(&obs);
    if (plusExisting) {
        std::set<TreflectServerObject const*> const instances = md.instances;
        for (TreflectServerObject const* s : instances) handToObserverWhileIn(md.creationObservers, obs, *s->getClient());
    }
    if (subscribed && !plusExisting) return true;
    std::vector<TreflectObject> existing;
    registerForOCN(classCode, &existing, nullptr);
    for (TreflectObject const& o : existing) handToObserverWhileIn(md.creationObservers, obs, o);
    if (!missedCreations_.empty()) missedCreations_.notify(classCode, obs, plusExisting);
    return true;
}

bool TreflectORB::observeDeletions(unsigned long const& classCode, TreflectObserver& obs) {
    MetaData& md = getMetaData(classCode);
    bool const subscribed = !md.deletionObservers.empty();
    md.deletionObservers.push_back(&obs);
    if (subscribed) return true;
    registerForODN(classCode, nullptr);
    if (!missedDeletions_.empty()) missedDeletions_.notify(classCode, obs, false);
    return true;
}

void TreflectORB::removeObserver(unsigned long const& classCode, TreflectObserver& obs) {
    MetaData& md = getMetaData(classCode);
    auto drop = [&obs](std::vector<TreflectObserver*>& list) {
        list.erase(std::remove(list.begin(), list.end(), &obs), list.end());
    };
    drop(md.creationObservers);
    drop(md.deletionObservers);
    bool const noCreationObservers = md.creationObservers.empty();
    bool const noDeletionObservers = md.deletionObservers.empty();
    if (noCreationObservers) unregisterFromOCN(classCode);
    if (noDeletionObservers) unregisterFromODN(classCode);
}

void TreflectORB::notifyCreation(unsigned long classCode, TreflectServerObject const& object) {
    checkHandlerState();
    getMetaData(classCode).instances.insert(&object);
    TreflectObject const handle = *object.getClient();
    gotCreation(classCode, handle);
    notifyRemote_(TreflectMessage::tOCN, classCode, object, getMetaData(classCode).remoteCreationObservers);
}

void TreflectORB::notifyDeletion(unsigned long classCode, TreflectServerObject const& object) {
    TreflectObject const handle = *object.getClient();
    gotDeletion(classCode, handle);
    notifyRemote_(TreflectMessage::tODN, classCode, object, getMetaData(classCode).remoteDeletionObservers);
    getMetaData(classCode).instances.erase(&object);
}

void TreflectORB::forgetInstance(TreflectServerObject const& object) {
    for (auto& entry : metaData_) entry.second->instances.erase(&object);
}

void TreflectORB::gotCreation(unsigned long const& classCode, TreflectObject const& object) {
    if (MetaData* md = findMetaData(classCode)) handToEach(md->creationObservers, object);
}

void TreflectORB::gotDeletion(unsigned long const& classCode, TreflectObject const& object) {
    if (MetaData* md = findMetaData(classCode)) handToEach(md->deletionObservers, object);
}

// Deletions are subscribed before the creations are handed over: an object
// deleted while the others are handed over is then heard of.
void TreflectORB::orbAppeared(TreflectOrbId const& id) {
    missedCreations_.add(id);
    missedDeletions_.add(id);
    // Class codes first: the exchanges give the run permission up, and the
    // map may change meanwhile.
    std::vector<unsigned long> creations, deletions;
    for (auto const& entry : metaData_) {
        if (!entry.second->creationObservers.empty()) creations.push_back(entry.first);
        if (!entry.second->deletionObservers.empty()) deletions.push_back(entry.first);
    }
    for (unsigned long cc : deletions) registerForODN(cc, &id);
    for (unsigned long cc : creations) {
        std::vector<TreflectObject> objects;
        registerForOCN(cc, &objects, &id);
        for (TreflectObject const& o : objects) handToEach(getMetaData(cc).creationObservers, o);
    }
}

// ---- protocol: subscribing ----

void TreflectORB::registerForOCN(unsigned long classCode, std::vector<TreflectObject>* objects,
                                 TreflectOrbId const* target) {
    if (objects) objects->clear();
    subscribe_(TreflectMessage::tOCNSU, classCode, objects, target);
}

void TreflectORB::registerForODN(unsigned long classCode, TreflectOrbId const* target) {
    subscribe_(TreflectMessage::tODNSU, classCode, nullptr, target);
}

void TreflectORB::subscribe_(TreflectMessage::type_t type, unsigned long classCode,
                             std::vector<TreflectObject>* objects, TreflectOrbId const* target) {
    TipprmiStream request(allocateRequest(100), false);
    request.msg().type(type);
    request << classCode;
    if (type == TreflectMessage::tOCNSU) request << (objects != nullptr);
    std::list<Transport::TerminationId> targets;
    if (target) {
        targets.push_back(convertId(*target));
    } else {
        targets = Transport::TransportLayer::instance().getGroup(getMyGroup(namespaceId())).contains();
        (type == TreflectMessage::tOCNSU ? missedCreations_ : missedDeletions_).start(targets);
    }
    for (auto const& t : targets) {
        if (t == termId()) continue;
        if (std::vector<unsigned long> const* ids = remoteInterfaceIds(t))
            if (std::find(ids->begin(), ids->end(), classCode & 0xFFFFFFFFul) == ids->end()) continue;
        TipprmiStream response(allocateResponse(request.msg(), 104), false);
        if (!forwardMsg_(t, true, request.msg(), response)) continue;
        if (type == TreflectMessage::tOCNSU) {
            TipprmiSequence<TreflectObject> existing;
            response >> existing;
            if (objects)
                for (unsigned long i = 0; i < existing.getLength(); ++i) objects->push_back(existing[i]);
        }
        if (!remoteInterfaceIds(t)) {
            TipprmiSequence<unsigned long> ids;
            response >> ids;
            std::vector<unsigned long>& recorded = remoteIfIds_[t];
            for (unsigned long i = 0; i < ids.getLength(); ++i) recorded.push_back(ids[i]);
        }
    }
}

void TreflectORB::unregisterFromOCN(unsigned long classCode) { unsubscribe_(TreflectMessage::tOCNUN, classCode); }

void TreflectORB::unregisterFromODN(unsigned long classCode) { unsubscribe_(TreflectMessage::tODNUN, classCode); }

void TreflectORB::unsubscribe_(TreflectMessage::type_t type, unsigned long classCode) {
    TipprmiStream request(allocateRequest(100), false);
    request.msg().type(type);
    request << classCode;
    for (auto const& t : Transport::TransportLayer::instance().getGroup(getMyGroup(namespaceId())).contains()) {
        if (t == termId()) continue;
        TipprmiStream response(allocateResponse(request.msg(), 104), false);
        if (!forwardMsg_(t, true, request.msg(), response))
            TA_LOG(3, "could not unregister from 0x%X", hex32(t.value()));
    }
}

void TreflectORB::notifyRemote_(TreflectMessage::type_t type, unsigned long classCode,
                                TreflectServerObject const& object, std::set<TreflectOrbId>& observers) {
    MetaData& md = getMetaData(classCode);
    if (observers.empty()) return;
    TipprmiStream request(allocateRequest(100), false);
    request.msg().type(type);
    request << classCode << *object.getClient();
    // The set may change while the answers are awaited.
    std::vector<TreflectOrbId> const targets(observers.begin(), observers.end());
    std::vector<Exchange> exchanges;
    exchanges.reserve(targets.size());
    for (TreflectOrbId const& id : targets) {
        // The transport keeps a message it cannot send at once, buffer and
        // header alike: each destination's transaction id needs a buffer of its own.
        TreflectMessage msg = exchanges.empty() ? request.msg() : reallocateMessage(request.msg(), request.msg().size());
        exchanges.emplace_back(convertId(id), msg, TipprmiStream(allocateResponse(request.msg(), 104), false));
    }
    uint64_t const sentAfter = subscriptions_;
    forwardAll_(exchanges);
    for (size_t i = 0; i < targets.size(); ++i) {
        if (exchanges[i].ok) continue;
        auto at = md.subscribedAt.find(targets[i]);
        if (at != md.subscribedAt.end() && at->second > sentAfter) continue;  // subscribed anew meanwhile
        observers.erase(targets[i]);
        if (!md.remoteCreationObservers.count(targets[i]) && !md.remoteDeletionObservers.count(targets[i]))
            md.subscribedAt.erase(targets[i]);
    }
}

// ---- protocol: serving ----

void TreflectORB::addRemoteCreationObserver(unsigned long const& classCode, TreflectOrbId const& orb,
                                            TipprmiSequence<TreflectObject, 0>* existing) {
    MetaData* md = subscribedMetaData(classCode, orb);
    if (!md) return;
    md->remoteCreationObservers.insert(orb);
    md->subscribedAt[orb] = ++subscriptions_;
    if (existing)
        for (TreflectServerObject const* s : md->instances) existing->push_back(*s->getClient());
}

void TreflectORB::addRemoteDeletionObserver(unsigned long const& classCode, TreflectOrbId const& orb) {
    if (MetaData* md = subscribedMetaData(classCode, orb)) {
        md->remoteDeletionObservers.insert(orb);
        md->subscribedAt[orb] = ++subscriptions_;
    }
}

void TreflectORB::removeRemoteObserver(unsigned long const& classCode, TreflectOrbId const& orb) {
    if (MetaData* md = findMetaData(classCode)) {
        md->remoteCreationObservers.erase(orb);
        md->remoteDeletionObservers.erase(orb);
        md->subscribedAt.erase(orb);
    }
}

void TreflectORB::serveNotification(TreflectMessage const& request) {
    TipprmiStream in(request, false);
    TipprmiStream out(allocateResponse(request, 104), false);
    TreflectOrbId const originator = convertId(request.originator());
    unsigned long classCode = 0;
    in >> classCode;
    switch (request.type()) {
    case TreflectMessage::tOCNSU: {
        bool plusExisting = false;
        in >> plusExisting;
        TipprmiSequence<TreflectObject> existing;
        addRemoteCreationObserver(classCode, originator, &existing);
        out << existing << ownInterfaceIds();
        break;
    }
    case TreflectMessage::tODNSU:
        addRemoteDeletionObserver(classCode, originator);
        out << ownInterfaceIds();
        break;
    case TreflectMessage::tOCNUN:
    case TreflectMessage::tODNUN:
        removeRemoteObserver(classCode, originator);
        break;
    case TreflectMessage::tOCN:
    case TreflectMessage::tODN: {
        TreflectObject object;
        in >> object;
        if (request.type() == TreflectMessage::tOCN)
            gotCreation(classCode, object);
        else
            gotDeletion(classCode, object);
        break;
    }
    default:
        break;
    }
    if (!sendResponse(out, request)) TA_LOG(3, "Sending response message failed rc=%lx", 0ul);
}
