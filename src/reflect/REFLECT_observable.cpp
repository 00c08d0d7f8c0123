#include "REFLECT_observable.h"

#include <list>

#include "REFLECT_object.h"

namespace {

TreflectObservable::Key keyOf(unsigned long cc, unsigned long mc) {
    return TreflectObservable::Key(static_cast<uint32_t>(cc), static_cast<uint32_t>(mc));
}

bool holds(TreflectObservable::ObserverMap const* map, unsigned long cc, unsigned long mc) {
    return map && map->count(keyOf(cc, mc)) != 0;
}

}  // namespace

TreflectObservable::~TreflectObservable() {
    delete pre_;
    delete post_;
}

void TreflectObservable::registerObserver(unsigned long kind, unsigned long const& cc, unsigned long const& mc,
                                          TreflectObserverClient const& client) {
    ObserverMap*& map = kind == 0 ? pre_ : post_;
    if (!map) map = new ObserverMap;
    map->insert(std::make_pair(keyOf(cc, mc), client));
}

void TreflectObservable::erase(ObserverMap* map, TreflectObserverClient const& client) {
    if (!map) return;
    for (auto it = map->begin(); it != map->end();) {
        if (it->second == client) {
            it = map->erase(it);
        } else {
            ++it;
        }
    }
}

void TreflectObservable::unRegisterObserver(TreflectObserverClient const& client) {
    erase(pre_, client);
    erase(post_, client);
}

bool TreflectObservable::notifyObservers(TreflectObject const& source, unsigned long kind, unsigned long const& cc,
                                         unsigned long const& mc, TipprmiSequence<TipprmiAny> const& args) {
    bool result = true;
    ObserverMap* map = kind != 0 ? post_ : pre_;
    if (!map) return result;
    // Copies: a notification waits for its observer, and meanwhile the
    // registrations may change.
    std::list<TreflectObserverClient> clients;
    auto range = map->equal_range(keyOf(cc, mc));
    for (auto it = range.first; it != range.second; ++it) clients.push_back(it->second);
    std::list<TreflectObserverClient> unreachable;
    // The source is often the object's own handle, which goes with it.
    TreflectObject const from(source);
    Life const alive = life();
    for (auto const& client : clients) {
        bool delivered = false;
        bool const r = client.notify(from, cc, mc, args, delivered);
        if (alive.gone()) return false;
        if (!delivered) unreachable.push_back(client);
        if (!r) result = false;
    }
    for (auto const& client : unreachable) unRegisterObserver(client);
    return result;
}

bool TreflectObservable::preObserverAvailable(unsigned long const& cc, unsigned long const& mc) const {
    return holds(pre_, cc, mc);
}

bool TreflectObservable::postObserverAvailable(unsigned long const& cc, unsigned long const& mc) const {
    return holds(post_, cc, mc);
}
