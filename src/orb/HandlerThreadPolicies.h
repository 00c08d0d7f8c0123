// Handler threads and the run permission: the process-wide recursive lock a
// thread must hold, as a registered handler thread, to run object-model code.
// At most one handler thread runs such code at a time; every blocking wait
// gives the permission up and takes it back afterwards.
#pragma once

#include <pthread.h>

#include <atomic>
#include <set>
#include <string>

#include "OSWrap.h"

template <int N>
struct Debugging_t {
    static constexpr bool value = N != 0;
};

namespace HTUtil {
// Logs "Backtracing <title>" and one trace entry per frame on gTraceAfw.
void printBacktrace(char const* title);
// Name of a thread for the diagnostics; this system reports empty names.
std::string threadName(unsigned long id);
// Actor name for the diagnostics.
std::string actorName();
}  // namespace HTUtil

// Which threads are handler threads: a multiset, one entry per nested enter.
template <class Debug>
class SetContainer {
public:
    SetContainer();
    // Takes the set mutex only; safe from any thread.
    void add(unsigned long id);
    void remove(unsigned long id);
    bool contains(unsigned long id) const;
    size_t size() const;

private:
    std::multiset<unsigned long> threads_;
    mutable OSWrap::Mutex mutex_;
};

// The run permission itself: a counted recursive lock and its owner.
template <class Debug>
class ProdPermission {
public:
    ProdPermission();
    // Blocks while another thread holds the permission; nests for the holder.
    void get();
    // Releases one level; the owner is cleared with the last level.
    void release();
    bool held() const { return owner_.load() == OSWrap::Thread::getCurrentId(); }
    unsigned long owner() const { return owner_.load(); }
    // Nesting depth of the holder.
    unsigned count() const { return lock_.count(); }

private:
    OSWrap::CountedMutex lock_;
    std::atomic<unsigned long> owner_;
};

template <template <class> class Container, template <class> class Permission, class Debug>
class HandlerThreads : private Container<Debug>, private Permission<Debug> {
public:
    HandlerThreads();

    void enter(bool getPermission);
    void leave(bool releasePermission);
    void check();
    bool isHandler() const;
    void getPermission();
    void releasePermission();
    bool hasPermission() const;
    unsigned getPermissionCount() const;
    size_t size() const;

private:
    typedef Container<Debug> Threads;
    typedef Permission<Debug> RunPermission;
};

typedef HandlerThreads<SetContainer, ProdPermission, Debugging_t<1> > OrbHandlerThreads;

// Scoped holder of the run permission: a thread that is not a handler thread
// enters the handler state with the permission, a handler thread without it
// takes it, a holder does nothing. Destruction undoes exactly that.
class RunPermissionGuard {
public:
    RunPermissionGuard();
    ~RunPermissionGuard();
    RunPermissionGuard(RunPermissionGuard const&) = delete;
    RunPermissionGuard& operator=(RunPermissionGuard const&) = delete;

private:
    enum Taken { kNothing, kEnteredHandlerState, kTookPermission } taken_;
};

// Scoped release of the run permission, every nesting of it, for a wait on a
// thread that needs the permission itself (a join, a timer's stop); the
// destructor takes it back as deep as it was held.
class RunPermissionRelease {
public:
    RunPermissionRelease();
    ~RunPermissionRelease();
    RunPermissionRelease(RunPermissionRelease const&) = delete;
    RunPermissionRelease& operator=(RunPermissionRelease const&) = delete;

private:
    unsigned held_;
};

class SingletonSupport {
public:
    // Locks `m`; a holder of the run permission gives it up while it waits,
    // so no thread waits for a singleton mutex while holding the permission.
    static void lock(pthread_mutex_t* m);
};
