#include "OSWrap.h"

#include <linux/futex.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "Chaos.h"
#include "Log.h"

namespace OSWrap {
namespace {

constexpr int64_t kNs = 1000000000;

int64_t monoNs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * kNs + ts.tv_nsec;
}

int64_t wallNs() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * kNs + ts.tv_nsec;
}

// The scaled clock is piecewise linear in monotonic time: each change of the
// scale starts a new piece, so the clock never jumps.
struct ScaleState {
    std::mutex mutex;
    double scale = 1.0;
    int64_t monoBase = 0;
    int64_t clockBase = 0;
    ScaleState() {
        if (char const* s = std::getenv("TOPADAPTER_TIME_SCALE")) {
            double v = std::strtod(s, nullptr);
            if (v > 0 && std::isfinite(v)) scale = v;
        }
        monoBase = monoNs();
        clockBase = wallNs();
    }
};

ScaleState& scaleState() {
    static ScaleState* s = new ScaleState;
    return *s;
}

std::atomic<double> gScale{scaleState().scale};

struct timespec absMonotonicAfter(struct timespec rel) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    now.tv_sec += rel.tv_sec;
    now.tv_nsec += rel.tv_nsec;
    if (now.tv_nsec >= kNs) {
        now.tv_nsec -= kNs;
        now.tv_sec += 1;
    }
    return now;
}

void initMonotonicCond(pthread_cond_t* cond) {
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(cond, &attr);
    pthread_condattr_destroy(&attr);
}

}  // namespace

double timeScale() { return gScale.load(std::memory_order_relaxed); }

void setTimeScale(double factor) {
    if (!(factor > 0) || !std::isfinite(factor)) return;
    ScaleState& s = scaleState();
    std::lock_guard<std::mutex> lock(s.mutex);
    int64_t now = monoNs();
    s.clockBase += static_cast<int64_t>(static_cast<double>(now - s.monoBase) * s.scale);
    s.monoBase = now;
    s.scale = factor;
    gScale.store(factor);
}

// ---- TimeSpec ----

TimeSpec const TimeSpec::INFINITETIME(INT64_MAX, kNs - 1);

TimeSpec::TimeSpec(int64_t seconds, int64_t nanoseconds) : sec_(seconds), nsec_(nanoseconds) {
    if (sec_ == INT64_MAX) {
        nsec_ = kNs - 1;
        return;
    }
    sec_ += nsec_ / kNs;
    nsec_ %= kNs;
    if (nsec_ < 0) {
        nsec_ += kNs;
        sec_ -= 1;
    }
}

bool TimeSpec::isInfinite() const { return sec_ == INT64_MAX; }

int64_t TimeSpec::totalNanoseconds() const {
    if (isInfinite() || sec_ > INT64_MAX / kNs - 1) return INT64_MAX;
    if (sec_ < INT64_MIN / kNs + 1) return INT64_MIN;
    return sec_ * kNs + nsec_;
}

TimeSpec& TimeSpec::operator+=(TimeSpec const& o) {
    if (isInfinite() || o.isInfinite()) {
        *this = INFINITETIME;
        return *this;
    }
    *this = TimeSpec(sec_ + o.sec_, nsec_ + o.nsec_);
    return *this;
}

TimeSpec& TimeSpec::operator-=(TimeSpec const& o) {
    if (isInfinite()) return *this;
    *this = TimeSpec(sec_ - o.sec_, nsec_ - o.nsec_);
    return *this;
}

struct timespec TimeSpec::toRealDuration() const {
    struct timespec ts;
    if (isInfinite()) {
        ts.tv_sec = static_cast<time_t>(INT_MAX);
        ts.tv_nsec = 0;
        return ts;
    }
    double real = (static_cast<double>(sec_) + static_cast<double>(nsec_) / 1e9) / timeScale();
    if (real <= 0) real = 0;
    if (real > static_cast<double>(INT_MAX)) real = static_cast<double>(INT_MAX);
    double whole = std::floor(real);
    ts.tv_sec = static_cast<time_t>(whole);
    ts.tv_nsec = static_cast<long>((real - whole) * 1e9);
    if (ts.tv_nsec >= kNs) ts.tv_nsec = kNs - 1;
    return ts;
}

// ---- Clock ----

TimeSpec Clock::getTime() {
    ScaleState& s = scaleState();
    std::lock_guard<std::mutex> lock(s.mutex);
    int64_t ns = s.clockBase + static_cast<int64_t>(static_cast<double>(monoNs() - s.monoBase) * s.scale);
    return TimeSpec(ns / kNs, ns % kNs);
}

// ---- Mutex ----

Mutex::Mutex() { pthread_mutex_init(&mutex_, nullptr); }
Mutex::~Mutex() { pthread_mutex_destroy(&mutex_); }
void Mutex::lock() { pthread_mutex_lock(&mutex_); }
void Mutex::unlock() { pthread_mutex_unlock(&mutex_); }
bool Mutex::tryLock() { return pthread_mutex_trylock(&mutex_) == 0; }

// ---- CountedMutex ----

CountedMutex::CountedMutex() : count_(0) {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&mutex_, &attr);
    pthread_mutexattr_destroy(&attr);
}
CountedMutex::~CountedMutex() { pthread_mutex_destroy(&mutex_); }
void CountedMutex::lock() {
    pthread_mutex_lock(&mutex_);
    count_.fetch_add(1, std::memory_order_relaxed);
}
void CountedMutex::unlock() {
    count_.fetch_sub(1, std::memory_order_relaxed);
    pthread_mutex_unlock(&mutex_);
}
bool CountedMutex::tryLock() {
    if (pthread_mutex_trylock(&mutex_) != 0) return false;
    count_.fetch_add(1, std::memory_order_relaxed);
    return true;
}

// ---- ConditionVar ----

namespace {

// Sleeps while *word == seen, at most until the monotonic `deadline` (ns; 0:
// none). Returns on a wake-up, a changed word, a signal or the deadline.
void futexWait(std::atomic<uint32_t>& word, uint32_t seen, int64_t deadline) {
    uint32_t* const addr = reinterpret_cast<uint32_t*>(&word);
    if (deadline == 0) {
        ::syscall(SYS_futex, addr, FUTEX_WAIT_PRIVATE, seen, nullptr, nullptr, 0);
        return;
    }
    int64_t const left = deadline - monoNs();
    if (left <= 0) return;
#if defined(SYS_futex_time64) && INTPTR_MAX == INT32_MAX
    // A 32-bit target with 64-bit time: the kernel's time64 call and its layout.
    struct {
        int64_t sec, nsec;
    } rel = {left / kNs, left % kNs};
    ::syscall(SYS_futex_time64, addr, FUTEX_WAIT_PRIVATE, seen, &rel, nullptr, 0);
#else
    struct timespec rel = {static_cast<time_t>(left / kNs), static_cast<long>(left % kNs)};
    ::syscall(SYS_futex, addr, FUTEX_WAIT_PRIVATE, seen, &rel, nullptr, 0);
#endif
}

}  // namespace

ConditionVar::ConditionVar() { pthread_mutex_init(&mutex_, nullptr); }
ConditionVar::~ConditionVar() { pthread_mutex_destroy(&mutex_); }
void ConditionVar::lock() { pthread_mutex_lock(&mutex_); }
void ConditionVar::unlock() { pthread_mutex_unlock(&mutex_); }
bool ConditionVar::tryLock() { return pthread_mutex_trylock(&mutex_) == 0; }

// The waiter counts itself before it reads the sequence, a signaller bumps
// the sequence before it reads the count (both sequentially consistent): a
// signaller that sees no waiter has bumped the sequence before the waiter
// read it, so that waiter does not sleep on it.
bool ConditionVar::wait(TimeSpec const& timeout) {
    int64_t deadline = 0;
    if (!timeout.isInfinite()) {
        struct timespec rel = timeout.toRealDuration();
        deadline = monoNs() + static_cast<int64_t>(rel.tv_sec) * kNs + rel.tv_nsec;
        if (deadline == 0) deadline = 1;
    }
    waiters_.fetch_add(1);
    uint32_t const seen = sequence_.load();
    pthread_mutex_unlock(&mutex_);
    bool signalled = false;
    for (;;) {
        signalled = sequence_.load() != seen;
        if (signalled || (deadline != 0 && monoNs() >= deadline)) break;
        futexWait(sequence_, seen, deadline);
    }
    pthread_mutex_lock(&mutex_);
    waiters_.fetch_sub(1);
    return signalled;
}

void ConditionVar::wake(int waiters) {
    sequence_.fetch_add(1);
    if (waiters_.load() != 0)
        ::syscall(SYS_futex, reinterpret_cast<uint32_t*>(&sequence_), FUTEX_WAKE_PRIVATE, waiters, nullptr, nullptr, 0);
}

void ConditionVar::signal() { wake(1); }
void ConditionVar::broadcast() { wake(INT_MAX); }

// ---- Thread ----

Thread::Thread(unsigned stackSize, Priority priority, SchedulingPolicy policy, std::string const& name,
               bool joinable)
    : stackSize_(stackSize),
      priority_(priority),
      policy_(policy),
      name_(name),
      joinable_(joinable),
      handle_(),
      started_(false),
      running_(false),
      tid_(0) {}

Thread::~Thread() {
    // A derived class joins in its own destructor; this only catches a thread
    // that was never joined before its object went away.
    join();
}

bool Thread::start() {
    if (running_.load()) return false;
    join();
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    if (stackSize_ > 0) {
        size_t size = stackSize_ < size_t(PTHREAD_STACK_MIN) ? size_t(PTHREAD_STACK_MIN) : size_t(stackSize_);
        // Host code (sanitizers, libstdc++) needs more stack than the card's.
        if (size < 256 * 1024) size = 256 * 1024;
        pthread_attr_setstacksize(&attr, size);
    }
    if (!joinable_) pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    running_.store(true);
    int rc = pthread_create(&handle_, &attr, &Thread::entry, this);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        running_.store(false);
        TA_LOG(3, "thread %s cannot be created: %s", name_.c_str(), std::strerror(rc));
        return false;
    }
    started_ = joinable_;
    return true;
}

void Thread::join() {
    if (started_ && !pthread_equal(handle_, pthread_self())) {
        pthread_join(handle_, nullptr);
        started_ = false;
    }
}

void* Thread::entry(void* arg) {
    Thread* self = static_cast<Thread*>(arg);
    self->tid_.store(getCurrentId());
    pthread_setname_np(pthread_self(), self->name_.substr(0, 15).c_str());
    if (self->policy_ == 1 || self->policy_ == 2) {
        struct sched_param sp;
        sp.sched_priority = self->priority_;
        int rc = pthread_setschedparam(pthread_self(), self->policy_ == 1 ? SCHED_FIFO : SCHED_RR, &sp);
        if (rc != 0) {
            static std::atomic<bool> once{false};
            if (!once.exchange(true))
                TA_LOG(5, "thread %s: scheduling policy %d priority %d not permitted here, ignored",
                       self->name_.c_str(), self->policy_, self->priority_);
        }
    }
    self->run();
    self->running_.store(false);
    return nullptr;
}

void Thread::sleep(TimeSpec const& duration) {
    if (duration.isInfinite()) {
        for (;;) ::pause();
    }
    struct timespec rel = duration.toRealDuration();
    while (nanosleep(&rel, &rel) != 0 && errno == EINTR) {
    }
}

namespace {
// The id is asked for on every run-permission operation: keep it per thread.
// A forked child's only thread starts afresh.
thread_local unsigned long tlsThreadId = 0;
pthread_once_t forkHandlerOnce = PTHREAD_ONCE_INIT;
}  // namespace

unsigned long Thread::getCurrentId() {
    if (tlsThreadId == 0) {
        pthread_once(&forkHandlerOnce, [] { pthread_atfork(nullptr, nullptr, [] { tlsThreadId = 0; }); });
        tlsThreadId = static_cast<unsigned long>(::syscall(SYS_gettid));
    }
    return tlsThreadId;
}

// ---- Timer ----

Timer::Timer(std::string const& name)
    : name_(name), handle_(), threadLive_(false), stopRequested_(false), finished_(false), periodic_(false), fixedRate_(false),
      timerTid_(0) {
    pthread_mutex_init(&mutex_, nullptr);
    initMonotonicCond(&cond_);
}

Timer::~Timer() {
    stop();
    pthread_cond_destroy(&cond_);
    pthread_mutex_destroy(&mutex_);
}

bool Timer::start(TimeSpec const& period, bool periodic, bool fixedRate) {
    pthread_mutex_lock(&mutex_);
    if (threadLive_) {
        bool self = pthread_equal(handle_, pthread_self());
        if ((!stopRequested_ && !finished_) || self) {
            pthread_mutex_unlock(&mutex_);
            return false;
        }
    }
    pthread_mutex_unlock(&mutex_);
    stop();  // reap a thread that was asked to stop from inside its callback
    pthread_mutex_lock(&mutex_);
    period_ = period;
    periodic_ = periodic;
    fixedRate_ = fixedRate;
    stopRequested_ = false;
    finished_ = false;
    int rc = pthread_create(&handle_, nullptr, &Timer::entry, this);
    threadLive_ = rc == 0;
    pthread_mutex_unlock(&mutex_);
    if (rc != 0) TA_LOG(3, "timer %s cannot start its thread: %s", name_.c_str(), std::strerror(rc));
    return rc == 0;
}

void Timer::stop() {
    pthread_mutex_lock(&mutex_);
    if (!threadLive_) {
        pthread_mutex_unlock(&mutex_);
        return;
    }
    stopRequested_ = true;
    pthread_cond_broadcast(&cond_);
    if (pthread_equal(handle_, pthread_self())) {
        // Called from the callback: no further expiry; the thread is reaped later.
        pthread_mutex_unlock(&mutex_);
        return;
    }
    pthread_t h = handle_;
    pthread_mutex_unlock(&mutex_);
    pthread_join(h, nullptr);
    pthread_mutex_lock(&mutex_);
    threadLive_ = false;
    pthread_mutex_unlock(&mutex_);
}

bool Timer::isRunning() const {
    Timer* self = const_cast<Timer*>(this);
    pthread_mutex_lock(&self->mutex_);
    bool r = threadLive_ && !stopRequested_ && !finished_;
    pthread_mutex_unlock(&self->mutex_);
    return r;
}

void* Timer::entry(void* arg) {
    Timer* self = static_cast<Timer*>(arg);
    pthread_setname_np(pthread_self(), self->name_.substr(0, 15).c_str());
    self->timerTid_.store(Thread::getCurrentId());
    self->loop();
    return nullptr;
}

void Timer::loop() {
    pthread_mutex_lock(&mutex_);
    int64_t periodNs = period_.totalNanoseconds();
    struct timespec next = absMonotonicAfter(period_.toRealDuration());
    while (!stopRequested_) {
        int rc = 0;
        while (!stopRequested_ && rc != ETIMEDOUT) rc = pthread_cond_timedwait(&cond_, &mutex_, &next);
        if (stopRequested_) break;
        pthread_mutex_unlock(&mutex_);
        chaos::at(chaos::TimerFire);
        expired();
        pthread_mutex_lock(&mutex_);
        if (!periodic_ || periodNs <= 0) {
            finished_ = true;
            break;
        }
        if (fixedRate_) {
            struct timespec rel = period_.toRealDuration();
            next.tv_sec += rel.tv_sec;
            next.tv_nsec += rel.tv_nsec;
            if (next.tv_nsec >= kNs) {
                next.tv_nsec -= kNs;
                next.tv_sec += 1;
            }
            // An overrun skips the missed expiries instead of firing in a burst.
            struct timespec now;
            clock_gettime(CLOCK_MONOTONIC, &now);
            if (next.tv_sec < now.tv_sec || (next.tv_sec == now.tv_sec && next.tv_nsec < now.tv_nsec))
                next = absMonotonicAfter(rel);
        } else {
            next = absMonotonicAfter(period_.toRealDuration());
        }
    }
    pthread_mutex_unlock(&mutex_);
}

// ---- UniqueIdGen ----

UniqueIdGen* UniqueIdGen::instance() {
    static UniqueIdGen* g = new UniqueIdGen;
    return g;
}

unsigned long UniqueIdGen::getId() {
    uint32_t id;
    do {
        id = next_.fetch_add(1, std::memory_order_relaxed) + 1;
    } while (id == 0);
    return id;
}

}  // namespace OSWrap
