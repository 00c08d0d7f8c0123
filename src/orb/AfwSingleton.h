// Process-wide singletons of the object model and the task: created with new
// on first use, never destroyed. The creation lock is taken through
// SingletonSupport, so a caller holding the run permission gives it up while
// another thread is creating the instance.
#pragma once

#include <pthread.h>

#include "HandlerThreadPolicies.h"

namespace Afw {

template <class T>
class Singleton {
public:
    static T* get() {
        T* p = __atomic_load_n(&pObject_, __ATOMIC_ACQUIRE);
        if (p) return p;
        SingletonSupport::lock(&objectMutex_);
        p = pObject_;
        if (!p) {
            p = new T;
            __atomic_store_n(&pObject_, p, __ATOMIC_RELEASE);
        }
        pthread_mutex_unlock(&objectMutex_);
        return p;
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
