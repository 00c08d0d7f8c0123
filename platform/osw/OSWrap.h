// OS wrapper stand-in: threads, timers, locks, clock and ids as the card's
// wrapper library offers them, on POSIX threads.
//
// Time scale: one process-wide factor (environment TOPADAPTER_TIME_SCALE,
// default 1) by which every OSWrap duration is shortened - sleeps, timer
// periods, condition waits - and by which Clock::getTime() runs faster, so
// that 10 s polls or 60-minute supervisions run in seconds unchanged.
#pragma once

#include <pthread.h>
#include <stdint.h>

#include <atomic>
#include <functional>
#include <string>

namespace OSWrap {

double timeScale();
// For in-process tests and simulations; the clock stays continuous.
void setTimeScale(double factor);

// A duration or point in time: seconds and nanoseconds, always normalised
// (0 <= nanoseconds < 1e9). Comparisons and arithmetic are 64-bit on every
// target; INFINITETIME absorbs additions and never expires.
class TimeSpec {
public:
    static TimeSpec const INFINITETIME;

    TimeSpec() : sec_(0), nsec_(0) {}
    TimeSpec(int64_t seconds, int64_t nanoseconds);
    static TimeSpec fromMilliseconds(int64_t ms) { return TimeSpec(0, ms * 1000000); }

    int64_t seconds() const { return sec_; }
    int64_t nanoseconds() const { return nsec_; }
    int64_t totalNanoseconds() const;  // saturates for INFINITETIME
    bool isInfinite() const;

    TimeSpec& operator+=(TimeSpec const& o);
    TimeSpec& operator-=(TimeSpec const& o);
    friend TimeSpec operator+(TimeSpec a, TimeSpec const& b) { return a += b; }
    friend TimeSpec operator-(TimeSpec a, TimeSpec const& b) { return a -= b; }
    friend bool operator==(TimeSpec const& a, TimeSpec const& b) { return a.sec_ == b.sec_ && a.nsec_ == b.nsec_; }
    friend bool operator!=(TimeSpec const& a, TimeSpec const& b) { return !(a == b); }
    friend bool operator<(TimeSpec const& a, TimeSpec const& b) {
        return a.sec_ < b.sec_ || (a.sec_ == b.sec_ && a.nsec_ < b.nsec_);
    }
    friend bool operator>(TimeSpec const& a, TimeSpec const& b) { return b < a; }
    friend bool operator<=(TimeSpec const& a, TimeSpec const& b) { return !(b < a); }
    friend bool operator>=(TimeSpec const& a, TimeSpec const& b) { return !(a < b); }

    // The real (unscaled) duration this system duration takes under the time scale.
    struct timespec toRealDuration() const;

private:
    int64_t sec_;
    int64_t nsec_;
};

class Clock {
public:
    // Wall-clock time that runs timeScale() times faster than real time.
    static TimeSpec getTime();
};

class Mutex {
public:
    Mutex();
    ~Mutex();
    Mutex(Mutex const&) = delete;
    Mutex& operator=(Mutex const&) = delete;
    void lock();
    void unlock();
    bool tryLock();
    pthread_mutex_t* native() { return &mutex_; }

private:
    pthread_mutex_t mutex_;
};

// Recursive lock that knows its owner's nesting depth.
class CountedMutex {
public:
    CountedMutex();
    ~CountedMutex();
    CountedMutex(CountedMutex const&) = delete;
    CountedMutex& operator=(CountedMutex const&) = delete;
    void lock();
    void unlock();
    bool tryLock();
    // Nesting depth of the current owner (0 when free). Exact for the owner.
    unsigned count() const { return count_.load(std::memory_order_relaxed); }

private:
    pthread_mutex_t mutex_;
    std::atomic<unsigned> count_;
};

// Condition variable with its own lock. A waiter sleeps on a sequence word
// that every signal and broadcast bumps (a futex), and takes the lock back
// as any locker does: a woken waiter's unlock then costs no system call, as
// it does after pthread_cond_wait, which leaves the lock marked contended.
class ConditionVar {
public:
    ConditionVar();
    ~ConditionVar();
    ConditionVar(ConditionVar const&) = delete;
    ConditionVar& operator=(ConditionVar const&) = delete;
    void lock();
    void unlock();
    bool tryLock();
    // Called with the lock held. Returns once signalled (or woken by a
    // signal meant for another waiter), false when the time-out expired.
    bool wait(TimeSpec const& timeout = TimeSpec::INFINITETIME);
    // Without system call when nobody waits.
    void signal();
    void broadcast();

private:
    void wake(int waiters);
    pthread_mutex_t mutex_;
    std::atomic<uint32_t> sequence_{0};
    std::atomic<uint32_t> waiters_{0};
};

typedef int Priority;
typedef int SchedulingPolicy;  // 0 = time sharing, 1 = FIFO, 2 = round robin

class Thread {
public:
    // `joinable`: the thread can be joined; otherwise it is detached at start.
    Thread(unsigned stackSize, Priority priority, SchedulingPolicy policy, std::string const& name,
           bool joinable = true);
    virtual ~Thread();
    Thread(Thread const&) = delete;
    Thread& operator=(Thread const&) = delete;

    // Starts run() on a new thread; false when it is already running or cannot be created.
    bool start();
    // Waits for run() to return; a no-op for a thread never started or detached.
    void join();
    bool isRunning() const { return running_.load(); }
    std::string const& name() const { return name_; }
    unsigned long id() const { return tid_.load(); }

    static void sleep(TimeSpec const& duration);
    static unsigned long getCurrentId();

protected:
    virtual void run() = 0;

private:
    static void* entry(void* self);
    unsigned stackSize_;
    Priority priority_;
    SchedulingPolicy policy_;
    std::string name_;
    bool joinable_;
    pthread_t handle_;
    bool started_;
    std::atomic<bool> running_;
    std::atomic<unsigned long> tid_;
};

// Thread running one member function of an object.
template <class T>
class MethodThread : public Thread {
public:
    MethodThread(T* object, void (T::*method)(), unsigned stackSize, Priority priority, SchedulingPolicy policy,
                 std::string const& name, bool joinable = true)
        : Thread(stackSize, priority, policy, name, joinable), body_([object, method] { (object->*method)(); }) {}
    MethodThread(T* object, int (T::*method)(), unsigned stackSize, Priority priority, SchedulingPolicy policy,
                 std::string const& name, bool joinable = true)
        : Thread(stackSize, priority, policy, name, joinable), body_([object, method] { (object->*method)(); }) {}
    ~MethodThread() override { join(); }

protected:
    void run() override { body_(); }

private:
    std::function<void()> body_;
};

// Timer with its own thread. After stop() returns, no callback of the timer
// runs or will run (stop() from inside the callback only prevents later ones).
class Timer {
public:
    explicit Timer(std::string const& name);
    virtual ~Timer();
    Timer(Timer const&) = delete;
    Timer& operator=(Timer const&) = delete;

    // `periodic`: fire every period, else once. `fixedRate`: expiries stay on
    // the grid start + k * period; otherwise each period counts from the end
    // of the previous callback. False when already running.
    bool start(TimeSpec const& period, bool periodic, bool fixedRate);
    void stop();
    bool isRunning() const;
    std::string const& name() const { return name_; }

protected:
    virtual void expired() = 0;

private:
    static void* entry(void* self);
    void loop();
    std::string name_;
    pthread_mutex_t mutex_;
    pthread_cond_t cond_;
    pthread_t handle_;
    bool threadLive_;
    bool stopRequested_;
    bool finished_;  // a one-shot expired
    TimeSpec period_;
    bool periodic_;
    bool fixedRate_;
    std::atomic<unsigned long> timerTid_;
};

// Timer calling a member function of an object.
template <class T>
class AttachedTimer : public Timer {
public:
    AttachedTimer(T* object, int (T::*method)(), std::string const& name)
        : Timer(name), object_(object), method_(method) {}
    ~AttachedTimer() override { stop(); }

protected:
    void expired() override { (object_->*method_)(); }

private:
    T* object_;
    int (T::*method_)();
};

// Process-wide source of unique, non-zero 32-bit ids.
class UniqueIdGen {
public:
    static UniqueIdGen* instance();
    unsigned long getId();

private:
    UniqueIdGen() : next_(0) {}
    std::atomic<uint32_t> next_;
};

// Shared ownership with a thread-safe count; deletes the pointee with the last copy.
template <class T>
class SmartPointer {
public:
    SmartPointer() : ptr_(nullptr), count_(nullptr) {}
    explicit SmartPointer(T* p) : ptr_(p), count_(p ? new std::atomic<long>(1) : nullptr) {}
    SmartPointer(SmartPointer const& o) : ptr_(o.ptr_), count_(o.count_) { retain(); }
    template <class U>
    SmartPointer(SmartPointer<U> const& o) : ptr_(o.ptr_), count_(o.count_) { retain(); }
    ~SmartPointer() { release(); }
    SmartPointer& operator=(SmartPointer const& o) {
        if (count_ != o.count_) {
            SmartPointer tmp(o);
            swap(tmp);
        }
        return *this;
    }
    void swap(SmartPointer& o) {
        std::swap(ptr_, o.ptr_);
        std::swap(count_, o.count_);
    }
    T* get() const { return ptr_; }
    T* operator->() const { return ptr_; }
    T& operator*() const { return *ptr_; }
    explicit operator bool() const { return ptr_ != nullptr; }
    long useCount() const { return count_ ? count_->load() : 0; }

private:
    template <class U>
    friend class SmartPointer;
    void retain() {
        if (count_) count_->fetch_add(1, std::memory_order_relaxed);
    }
    void release() {
        if (count_ && count_->fetch_sub(1, std::memory_order_acq_rel) == 1) {
            delete ptr_;
            delete count_;
        }
        ptr_ = nullptr;
        count_ = nullptr;
    }
    T* ptr_;
    std::atomic<long>* count_;
};

}  // namespace OSWrap
