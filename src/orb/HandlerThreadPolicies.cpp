#include "HandlerThreadPolicies.h"

#include <execinfo.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "Log.h"
#include "REFLECT_chaos.h"
#include "REFLECT_orb.h"
#include "Trace.h"
#include "Transport.h"

namespace HTUtil {

void printBacktrace(char const* title) {
    void* frames[40];
    int n = backtrace(frames, 40);
    char** symbols = backtrace_symbols(frames, n);
    if (!symbols) return;
    TA_LOG(5, "Backtracing %s", title);
    for (int i = 0; i < n; ++i) {
        char const* text = symbols[i];
        if (char const* slash = std::strrchr(text, '/')) text = slash + 1;
        addTraceEntry(gTraceAfw, 0, 8, 1, "bt", i, 0, text);
    }
    std::free(symbols);
}

std::string threadName(unsigned long) { return std::string(); }

std::string actorName() { return Transport::IdInfo::instance().getActor(); }

}  // namespace HTUtil

// ---- SetContainer ----

template <class Debug>
SetContainer<Debug>::SetContainer() {
    TA_LOG(5, "ORB HandlerThreads using SetContainer");
}

template <class Debug>
void SetContainer<Debug>::add(unsigned long id) {
    mutex_.lock();
    threads_.insert(id);
    mutex_.unlock();
}

template <class Debug>
void SetContainer<Debug>::remove(unsigned long id) {
    mutex_.lock();
    auto it = threads_.find(id);
    if (it != threads_.end()) threads_.erase(it);
    mutex_.unlock();
}

template <class Debug>
bool SetContainer<Debug>::contains(unsigned long id) const {
    mutex_.lock();
    bool found = threads_.find(id) != threads_.end();
    mutex_.unlock();
    return found;
}

template <class Debug>
size_t SetContainer<Debug>::size() const {
    mutex_.lock();
    size_t n = threads_.size();
    mutex_.unlock();
    return n;
}

// ---- ProdPermission ----

template <class Debug>
ProdPermission<Debug>::ProdPermission() : owner_(0) {
    TA_LOG(5, "ORB HandlerThreads using ProdPermission");
}

template <class Debug>
void ProdPermission<Debug>::get() {
    TreflectChaos::at(TreflectChaos::kPermissionTake);
    lock_.lock();
    unsigned long self = OSWrap::Thread::getCurrentId();
    owner_.store(self);
    if (Debug::value && lock_.count() > 1) {
        TA_LOG(4, "RunPermission %u by thread %d %s", lock_.count(), static_cast<int>(self),
               HTUtil::threadName(self).c_str());
        HTUtil::printBacktrace("Multiple RunPermission");
    }
}

template <class Debug>
void ProdPermission<Debug>::release() {
    if (lock_.count() < 2) owner_.store(0);
    lock_.unlock();
    TreflectChaos::at(TreflectChaos::kPermissionGiveUp);
}

// ---- HandlerThreads ----

template <template <class> class C, template <class> class P, class Debug>
HandlerThreads<C, P, Debug>::HandlerThreads() {
    if (Debug::value) TA_LOG(4, "ORB uses HandlerThreads with DEBUG flag set");
}

template <template <class> class C, template <class> class P, class Debug>
void HandlerThreads<C, P, Debug>::enter(bool getPermission) {
    Threads::add(OSWrap::Thread::getCurrentId());
    if (getPermission) RunPermission::get();
}

template <template <class> class C, template <class> class P, class Debug>
void HandlerThreads<C, P, Debug>::leave(bool releasePermission) {
    unsigned long self = OSWrap::Thread::getCurrentId();
    if (releasePermission && RunPermission::held()) RunPermission::release();
    Threads::remove(self);
    if (RunPermission::held()) {
        TA_LOG(3, "Thread %d %s has %d RunPermission after leaveHandlerState", static_cast<int>(self),
               HTUtil::threadName(self).c_str(), static_cast<int>(RunPermission::count()));
        HTUtil::printBacktrace("leaveHandlerState() keeps RunPermission");
        while (RunPermission::held()) RunPermission::release();
    }
}

template <template <class> class C, template <class> class P, class Debug>
void HandlerThreads<C, P, Debug>::check() {
    if (RunPermission::held()) return;
    if (!Debug::value) return;
    static std::mutex offencesMutex;
    static std::map<unsigned long, unsigned>* offences = new std::map<unsigned long, unsigned>;
    unsigned long self = OSWrap::Thread::getCurrentId();
    unsigned n;
    {
        std::lock_guard<std::mutex> lock(offencesMutex);
        n = (*offences)[self]++;
    }
    if (n < 3) {
        TA_LOG(3, "%s thread %d %s doing RMI, but has no RunPermission (owner=%d)", HTUtil::actorName().c_str(),
               static_cast<int>(self), HTUtil::threadName(self).c_str(), static_cast<int>(RunPermission::owner()));
        HTUtil::printBacktrace("RMI with no RunPermission");
    }
}

template <template <class> class C, template <class> class P, class Debug>
bool HandlerThreads<C, P, Debug>::isHandler() const {
    return Threads::contains(OSWrap::Thread::getCurrentId());
}

template <template <class> class C, template <class> class P, class Debug>
void HandlerThreads<C, P, Debug>::getPermission() {
    if (isHandler()) {
        RunPermission::get();
        return;
    }
    if (!Debug::value) return;
    static std::mutex reportedMutex;
    static std::set<unsigned long>* reported = new std::set<unsigned long>;
    unsigned long self = OSWrap::Thread::getCurrentId();
    bool first;
    {
        std::lock_guard<std::mutex> lock(reportedMutex);
        first = reported->insert(self).second;
    }
    if (first)
        TA_LOG(4, "getRunPermission() called by thread %d %s, which is no handler thread", static_cast<int>(self),
               HTUtil::threadName(self).c_str());
}

template <template <class> class C, template <class> class P, class Debug>
void HandlerThreads<C, P, Debug>::releasePermission() {
    if (isHandler()) RunPermission::release();
}

template <template <class> class C, template <class> class P, class Debug>
bool HandlerThreads<C, P, Debug>::hasPermission() const {
    return RunPermission::held();
}

template <template <class> class C, template <class> class P, class Debug>
unsigned HandlerThreads<C, P, Debug>::getPermissionCount() const {
    return RunPermission::count();
}

template <template <class> class C, template <class> class P, class Debug>
size_t HandlerThreads<C, P, Debug>::size() const {
    return Threads::size();
}

template class SetContainer<Debugging_t<1> >;
template class ProdPermission<Debugging_t<1> >;
template class HandlerThreads<SetContainer, ProdPermission, Debugging_t<1> >;

// ---- RunPermissionGuard ----

RunPermissionGuard::RunPermissionGuard() : taken_(kNothing) {
    if (!TreflectORB::isHandlerThread()) {
        TreflectORB::enterHandlerState(true);
        taken_ = kEnteredHandlerState;
    } else if (!TreflectORB::hasRunPermission()) {
        TreflectORB::getRunPermission();
        taken_ = kTookPermission;
    }
}

RunPermissionGuard::~RunPermissionGuard() {
    if (taken_ == kEnteredHandlerState)
        TreflectORB::leaveHandlerState(true);
    else if (taken_ == kTookPermission)
        TreflectORB::releaseRunPermission();
}

RunPermissionRelease::RunPermissionRelease()
    : held_(TreflectORB::hasRunPermission() ? TreflectORB::getRunPermissionCount() : 0) {
    for (unsigned i = 0; i < held_; ++i) TreflectORB::releaseRunPermission();
}

RunPermissionRelease::~RunPermissionRelease() {
    for (unsigned i = 0; i < held_; ++i) TreflectORB::getRunPermission();
}

// ---- SingletonSupport ----

void SingletonSupport::lock(pthread_mutex_t* m) {
    if (TreflectORB::hasRunPermission()) {
        TreflectORB::releaseRunPermission();
        pthread_mutex_lock(m);
        TreflectORB::getRunPermission();
    } else {
        pthread_mutex_lock(m);
    }
}
