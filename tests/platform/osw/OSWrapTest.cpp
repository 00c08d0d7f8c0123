#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <set>
#include <thread>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include "LogCapture.h"
#include "OSWrap.h"

using OSWrap::TimeSpec;
using Clock = std::chrono::steady_clock;

namespace {

// Restores the time scale a test changed.
struct ScaleGuard {
    double saved = OSWrap::timeScale();
    explicit ScaleGuard(double s) { OSWrap::setTimeScale(s); }
    ~ScaleGuard() { OSWrap::setTimeScale(saved); }
};

double secondsSince(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

class CountingTimer : public OSWrap::Timer {
public:
    explicit CountingTimer(std::function<void()> body = {}) : Timer("CountingTimer"), body_(std::move(body)) {}
    ~CountingTimer() override { stop(); }
    std::atomic<int> fired{0};

protected:
    void expired() override {
        ++fired;
        if (body_) body_();
    }

private:
    std::function<void()> body_;
};

}  // namespace

TEST(TimeSpec, NormalisesAndComparesBeyond32Bits) {
    TimeSpec a(1, 1500000000);
    EXPECT_EQ(2, a.seconds());
    EXPECT_EQ(500000000, a.nanoseconds());
    TimeSpec b(0, -1);
    EXPECT_EQ(-1, b.seconds());
    EXPECT_EQ(999999999, b.nanoseconds());
    EXPECT_EQ(TimeSpec(0, 0), TimeSpec(1, -1000000000));
    TimeSpec big(int64_t(1) << 33, 0);  // beyond a 32-bit time_t
    EXPECT_LT(TimeSpec(0x7fffffff, 999999999), big);
    EXPECT_EQ(TimeSpec(3, 200000000), TimeSpec(1, 700000000) + TimeSpec(1, 500000000));
    EXPECT_EQ(TimeSpec(0, 200000000), TimeSpec(1, 700000000) - TimeSpec(1, 500000000));
    EXPECT_EQ(TimeSpec(-1, 800000000), TimeSpec(0, 0) - TimeSpec(0, 200000000));
    EXPECT_EQ(2500000000LL, TimeSpec(2, 500000000).totalNanoseconds());
}

TEST(TimeSpec, InfiniteAbsorbsArithmetic) {
    TimeSpec inf = TimeSpec::INFINITETIME;
    EXPECT_TRUE(inf.isInfinite());
    EXPECT_TRUE((inf + TimeSpec(5, 0)).isInfinite());
    EXPECT_TRUE((inf - TimeSpec(5, 0)).isInfinite());
    EXPECT_TRUE((TimeSpec(5, 0) + inf).isInfinite());
    EXPECT_LT(TimeSpec(int64_t(1) << 40, 0), inf);
    EXPECT_EQ(INT64_MAX, inf.totalNanoseconds());
}

TEST(TimeScale, ScalesRealDurationsAndClock) {
    ScaleGuard scale(1000);
    struct timespec real = TimeSpec(10, 0).toRealDuration();
    EXPECT_EQ(0, real.tv_sec);
    EXPECT_NEAR(10000000, real.tv_nsec, 1000);

    TimeSpec c0 = OSWrap::Clock::getTime();
    auto t0 = Clock::now();
    OSWrap::Thread::sleep(TimeSpec(30, 0));  // 30 ms of real time
    double realElapsed = secondsSince(t0);
    double clockElapsed = (OSWrap::Clock::getTime() - c0).totalNanoseconds() / 1e9;
    EXPECT_GE(realElapsed, 0.029);
    EXPECT_GE(clockElapsed, 29.0);
    // The scaled clock advances 1000 times faster than real time.
    EXPECT_NEAR(clockElapsed / realElapsed, 1000.0, 100.0);
}

TEST(TimeScale, ClockStaysContinuousAcrossScaleChanges) {
    TimeSpec before = OSWrap::Clock::getTime();
    {
        ScaleGuard scale(500);
    }
    TimeSpec after = OSWrap::Clock::getTime();
    EXPECT_LE(before, after);
    EXPECT_LT((after - before).totalNanoseconds(), int64_t(5) * 1000000000);
}

TEST(Timer, ScaledTenSecondPeriodFiresInTenOverScaleSeconds) {
    ScaleGuard scale(200);  // 10 s -> 50 ms
    CountingTimer t;
    auto t0 = Clock::now();
    ASSERT_TRUE(t.start(TimeSpec(10, 0), true, true));
    ASSERT_TRUE(testsupport::waitUntil([&] { return t.fired.load() >= 4; }));
    double elapsed = secondsSince(t0);
    t.stop();
    // Four expiries take four periods: not before 200 ms, and not much after.
    EXPECT_GE(elapsed, 0.195);
    EXPECT_LT(elapsed, 2.0);
}

TEST(Timer, OneShotFiresOnceAndCanBeRestarted) {
    ScaleGuard scale(1000);
    CountingTimer t;
    ASSERT_TRUE(t.start(TimeSpec(1, 0), false, true));
    ASSERT_TRUE(testsupport::waitUntil([&] { return t.fired.load() == 1; }));
    ASSERT_TRUE(testsupport::waitUntil([&] { return !t.isRunning(); }));
    ASSERT_TRUE(t.start(TimeSpec(1, 0), false, true));
    ASSERT_TRUE(testsupport::waitUntil([&] { return t.fired.load() == 2; }));
}

TEST(Timer, NoCallbackRunsAfterStopReturns) {
    std::atomic<bool> stopped{false};
    std::atomic<int> late{0};
    std::atomic<bool> inside{false};
    CountingTimer t([&] {
        inside = true;
        if (stopped.load()) ++late;
        std::this_thread::sleep_for(std::chrono::microseconds(300));
        if (stopped.load()) ++late;
        inside = false;
    });
    for (int round = 0; round < 20; ++round) {
        stopped = false;
        int before = t.fired.load();
        ASSERT_TRUE(t.start(TimeSpec(0, 200000), true, true));
        ASSERT_TRUE(testsupport::waitUntil([&] { return t.fired.load() > before; }));
        t.stop();
        stopped = true;
        EXPECT_FALSE(inside.load());
        int after = t.fired.load();
        // Several periods pass: a stopped timer must stay silent.
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        EXPECT_EQ(after, t.fired.load());
    }
    EXPECT_EQ(0, late.load());
}

TEST(Timer, StopFromInsideTheCallbackEndsIt) {
    CountingTimer* self = nullptr;
    CountingTimer t([&] { self->stop(); });
    self = &t;
    ASSERT_TRUE(t.start(TimeSpec(0, 1000000), true, true));
    ASSERT_TRUE(testsupport::waitUntil([&] { return !t.isRunning(); }));
    EXPECT_EQ(1, t.fired.load());
    // And it can be started again afterwards.
    ASSERT_TRUE(t.start(TimeSpec(0, 1000000), false, true));
    ASSERT_TRUE(testsupport::waitUntil([&] { return t.fired.load() == 2; }));
}

namespace {
struct Poller {
    std::atomic<int> calls{0};
    int poll() {
        ++calls;
        return 0;
    }
    std::atomic<unsigned long> tid{0};
    void work() { tid = OSWrap::Thread::getCurrentId(); }
};
}  // namespace

TEST(Timer, AttachedTimerCallsMember) {
    ScaleGuard scale(1000);
    Poller p;
    OSWrap::AttachedTimer<Poller> t(&p, &Poller::poll, "OSWTimer");
    ASSERT_TRUE(t.start(TimeSpec(10, 0), true, true));
    EXPECT_FALSE(t.start(TimeSpec(10, 0), true, true));
    ASSERT_TRUE(testsupport::waitUntil([&] { return p.calls.load() >= 3; }));
}

TEST(ConditionVar, TimedWaitExpiresUnderScaleAndSignalWakes) {
    ScaleGuard scale(100);
    OSWrap::ConditionVar cv;
    cv.lock();
    auto t0 = Clock::now();
    bool signalled = cv.wait(TimeSpec(3, 0));  // 30 ms
    double elapsed = secondsSince(t0);
    cv.unlock();
    EXPECT_FALSE(signalled);
    EXPECT_GE(elapsed, 0.029);
    EXPECT_LT(elapsed, 2.0);

    bool ready = false;
    std::thread t([&] {
        cv.lock();
        ready = true;
        cv.signal();
        cv.unlock();
    });
    cv.lock();
    while (!ready) ASSERT_TRUE(cv.wait(TimeSpec(1000, 0)));
    cv.unlock();
    t.join();
}

TEST(CountedMutex, CountsNestingAndExcludesOthers) {
    OSWrap::CountedMutex m;
    EXPECT_EQ(0u, m.count());
    m.lock();
    m.lock();
    EXPECT_EQ(2u, m.count());
    std::atomic<bool> got{false};
    std::thread other([&] { got = m.tryLock(); });
    other.join();
    EXPECT_FALSE(got.load());
    m.unlock();
    EXPECT_EQ(1u, m.count());
    m.unlock();
    std::thread again([&] {
        got = m.tryLock();
        if (got) m.unlock();
    });
    again.join();
    EXPECT_TRUE(got.load());
}

TEST(Thread, MethodThreadRunsNamedAndJoins) {
    Poller p;
    OSWrap::MethodThread<Poller> t(&p, &Poller::work, 65536, 3, 0, "ReflectWorker", true);
    ASSERT_TRUE(t.start());
    t.join();
    EXPECT_NE(0u, p.tid.load());
    EXPECT_NE(OSWrap::Thread::getCurrentId(), p.tid.load());
    EXPECT_EQ(p.tid.load(), t.id());
    EXPECT_FALSE(t.isRunning());
}

TEST(UniqueIdGen, IdsAreUniqueAndNonZeroAcrossThreads) {
    std::vector<std::vector<unsigned long>> got(4);
    std::vector<std::thread> ts;
    for (int i = 0; i < 4; ++i)
        ts.emplace_back([&, i] {
            for (int k = 0; k < 5000; ++k) got[i].push_back(OSWrap::UniqueIdGen::instance()->getId());
        });
    for (auto& t : ts) t.join();
    std::set<unsigned long> all;
    for (auto& v : got)
        for (auto id : v) {
            EXPECT_NE(0u, id);
            all.insert(id);
        }
    EXPECT_EQ(20000u, all.size());
}

namespace {
struct Tracked {
    static std::atomic<int> live;
    Tracked() { ++live; }
    virtual ~Tracked() { --live; }
};
std::atomic<int> Tracked::live{0};
struct Derived : Tracked {};
}  // namespace

TEST(SmartPointer, LastCopyDeletesThroughBase) {
    {
        OSWrap::SmartPointer<Derived> d(new Derived);
        OSWrap::SmartPointer<Tracked> b(d);
        EXPECT_EQ(2, b.useCount());
        OSWrap::SmartPointer<Tracked> c;
        c = b;
        c = c;
        EXPECT_EQ(3, c.useCount());
        EXPECT_EQ(1, Tracked::live.load());
    }
    EXPECT_EQ(0, Tracked::live.load());
}

TEST(Thread, CurrentIdIsPerThreadAndFreshInAForkedChild) {
    unsigned long mine = OSWrap::Thread::getCurrentId();
    EXPECT_EQ(mine, OSWrap::Thread::getCurrentId());
    std::atomic<unsigned long> other{0};
    std::thread t([&] { other = OSWrap::Thread::getCurrentId(); });
    t.join();
    EXPECT_NE(mine, other.load());
    pid_t child = fork();
    if (child == 0) {
        // The child's thread is a new kernel thread with its own id.
        unsigned long id = OSWrap::Thread::getCurrentId();
        _exit(id == static_cast<unsigned long>(getpid()) && id != mine ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}
