#include "REFLECT_interfaceRepository.h"

#include <pthread.h>

#include "REFLECT_metaObject.h"

InterfaceRepository* InterfaceRepository::instance_ = nullptr;

namespace {
// A plain lock: the repository is first needed during static initialisation,
// before any thread holds the run permission.
pthread_mutex_t gRepositoryMutex = PTHREAD_MUTEX_INITIALIZER;
}  // namespace

InterfaceRepository* InterfaceRepository::instance() {
    InterfaceRepository* r = __atomic_load_n(&instance_, __ATOMIC_ACQUIRE);
    if (r) return r;
    pthread_mutex_lock(&gRepositoryMutex);
    r = instance_;
    if (!r) {
        r = new InterfaceRepository;
        __atomic_store_n(&instance_, r, __ATOMIC_RELEASE);
    }
    pthread_mutex_unlock(&gRepositoryMutex);
    return r;
}

bool InterfaceRepository::registerInterface(TreflectMetaObject* m) {
    interfaces_.insert(std::make_pair(m->getClassId(), m));
    return true;
}

bool InterfaceRepository::unregisterInterface(TreflectMetaObject* m) {
    // A second meta object of a class code that never entered leaves the first in place.
    auto it = interfaces_.find(m->getClassId());
    if (it != interfaces_.end() && it->second == m) interfaces_.erase(it);
    return true;
}

TreflectMetaObject* InterfaceRepository::findInterface(unsigned long classCode) const {
    auto it = interfaces_.find(classCode);
    if (it == interfaces_.end()) return nullptr;
    it->second->completeMetaInformation();
    return it->second;
}

std::vector<unsigned long> InterfaceRepository::getIfIds() const {
    std::vector<unsigned long> ids;
    ids.reserve(interfaces_.size());
    for (auto const& entry : interfaces_) ids.push_back(entry.first);
    return ids;
}
