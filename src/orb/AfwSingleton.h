// Process-wide singletons of the object model and the task: created with new
// on first use, never destroyed. The creation lock is taken through
// SingletonSupport, so a caller holding the run permission gives it up while
// another thread is creating the instance.
#pragma once

#include <pthread.h>

#include "HandlerThreadPolicies.h"

namespace Afw {

// Double-checked creation of the object `slot` points to, under `mutex`.
template <class T, class Make>
T* createOnce(T*& slot, pthread_mutex_t& mutex, Make make) {
    T* p = __atomic_load_n(&slot, __ATOMIC_ACQUIRE);
    if (p) return p;
    SingletonSupport::lock(&mutex);
    p = slot;
    if (!p) {
        p = make();
        __atomic_store_n(&slot, p, __ATOMIC_RELEASE);
    }
    pthread_mutex_unlock(&mutex);
    return p;
}

template <class T>
class Singleton {
public:
    static T* get() {
        return createOnce(pObject_, objectMutex_, [] { return new T; });
    }

private:
    static T* pObject_;
    static pthread_mutex_t objectMutex_;
};

template <class T>
T* Singleton<T>::pObject_ = nullptr;
template <class T>
pthread_mutex_t Singleton<T>::objectMutex_ = PTHREAD_MUTEX_INITIALIZER;

}  // namespace Afw
