#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <set>
#include <thread>
#include <vector>

#include "LogCapture.h"
#include "OSWrap.h"

using OSWrap::TimeSpec;
using testsupport::waitUntil;
using Clock = std::chrono::steady_clock;

namespace {

double secondsSince(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

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

struct Tracked {
    static std::atomic<int> live;
    Tracked() { ++live; }
    virtual ~Tracked() { --live; }
};
std::atomic<int> Tracked::live{0};
struct Derived : Tracked {};

}  // namespace

TEST(TimeSpec, NormalisesComparesBeyond32BitsAndInfiniteAbsorbsArithmetic) {
    TimeSpec const inf = TimeSpec::INFINITETIME;
    std::pair<TimeSpec, TimeSpec> const same[] = {
        {TimeSpec(1, 1500000000), TimeSpec(2, 500000000)},
        {TimeSpec(0, -1), TimeSpec(-1, 999999999)},
        {TimeSpec(1, -1000000000), TimeSpec(0, 0)},
        {TimeSpec(1, 700000000) + TimeSpec(1, 500000000), TimeSpec(3, 200000000)},
        {TimeSpec(1, 700000000) - TimeSpec(1, 500000000), TimeSpec(0, 200000000)},
        {TimeSpec(0, 0) - TimeSpec(0, 200000000), TimeSpec(-1, 800000000)},
    };
    for (auto const& c : same) {
        EXPECT_EQ(c.second.seconds(), c.first.seconds());
        EXPECT_EQ(c.second.nanoseconds(), c.first.nanoseconds());
    }
    EXPECT_LT(TimeSpec(0x7fffffff, 999999999), TimeSpec(int64_t(1) << 33, 0));  // beyond a 32-bit time_t
    EXPECT_EQ(2500000000LL, TimeSpec(2, 500000000).totalNanoseconds());
    EXPECT_TRUE((inf + TimeSpec(5, 0)).isInfinite() && (inf - TimeSpec(5, 0)).isInfinite());
    EXPECT_TRUE((TimeSpec(5, 0) + inf).isInfinite());
    EXPECT_LT(TimeSpec(int64_t(1) << 40, 0), inf);
    EXPECT_EQ(INT64_MAX, inf.totalNanoseconds());
}

namespace {

// A reading of the scaled clock between two real ones.
struct Reading {
    Clock::time_point before;
    TimeSpec clock;
    Clock::time_point after;
};
Reading reading() {
    Reading r;
    r.before = Clock::now();
    r.clock = OSWrap::Clock::getTime();
    r.after = Clock::now();
    return r;
}
double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

}  // namespace

TEST(TimeScale, SleepsTimersWaitsAndTheClockRunFasterAndTheClockStaysContinuous) {
    // Between two readings the scaled clock ran at least `scale` times the
    // real time that surely passed and at most that of the time that may have.
    auto expectRan = [](Reading const& a, Reading const& b, double lowScale, double highScale) {
        double const scaled = double((b.clock - a.clock).totalNanoseconds()) / 1e9;
        EXPECT_GE(scaled, lowScale * seconds(b.before - a.after) * 0.999);
        EXPECT_LE(scaled, highScale * seconds(b.after - a.before) * 1.001 + 1e-6);
    };
    Reading r0 = reading();
    OSWrap::setTimeScale(500);
    OSWrap::setTimeScale(1);
    expectRan(r0, reading(), 1, 500);

    OSWrap::setTimeScale(1000);
    r0 = reading();
    OSWrap::Thread::sleep(TimeSpec(30, 0));  // 30 ms of real time
    Reading const r1 = reading();
    EXPECT_GE(seconds(r1.after - r0.before), 0.029);
    expectRan(r0, r1, 1000, 1000);

    OSWrap::setTimeScale(200);  // a 10 s period: 50 ms
    CountingTimer t;
    auto t0 = Clock::now();
    ASSERT_TRUE(t.start(TimeSpec(10, 0), true, true));
    ASSERT_TRUE(waitUntil([&] { return t.fired.load() >= 4; }));
    EXPECT_GE(secondsSince(t0), 0.195);
    EXPECT_LT(secondsSince(t0), 10.0) << "unscaled, 40 s";
    t.stop();

    OSWrap::setTimeScale(100);
    OSWrap::ConditionVar cv;
    cv.lock();
    t0 = Clock::now();
    EXPECT_FALSE(cv.wait(TimeSpec(3, 0)));  // 30 ms
    cv.unlock();
    EXPECT_GE(secondsSince(t0), 0.029);
    EXPECT_LT(secondsSince(t0), 2.0);
    OSWrap::setTimeScale(1);
}

TEST(Timer, NoCallbackRunsAfterStopReturnsAndAStoppedOrOneShotTimerStartsAgain) {
    std::atomic<bool> stopped{false}, inside{false};
    std::atomic<int> late{0};
    CountingTimer t([&] {
        inside = true;
        late += stopped.load();
        std::this_thread::sleep_for(std::chrono::microseconds(300));  // a callback that takes a while
        late += stopped.load();
        inside = false;
    });
    for (int round = 0; round < 20; ++round) {
        stopped = false;
        int before = t.fired.load();
        ASSERT_TRUE(t.start(TimeSpec(0, 200000), true, true));
        ASSERT_TRUE(waitUntil([&] { return t.fired.load() > before; }));
        t.stop();
        stopped = true;
        EXPECT_FALSE(inside.load());
        int after = t.fired.load();
        // Several periods: a stopped timer stays silent.
        EXPECT_FALSE(waitUntil([&] { return t.fired.load() != after; }, std::chrono::milliseconds(2)));
    }
    EXPECT_EQ(0, late.load());

    int const fired = t.fired.load();
    ASSERT_TRUE(t.start(TimeSpec(0, 1000000), false, true));
    ASSERT_TRUE(waitUntil([&] { return !t.isRunning(); }));
    EXPECT_EQ(fired + 1, t.fired.load()) << "a one-shot fires once";

    CountingTimer* self = nullptr;
    CountingTimer inner([&] { self->stop(); });
    self = &inner;
    ASSERT_TRUE(inner.start(TimeSpec(0, 1000000), true, true));
    ASSERT_TRUE(waitUntil([&] { return !inner.isRunning(); }));
    EXPECT_EQ(1, inner.fired.load()) << "stopped from its own callback";
    ASSERT_TRUE(inner.start(TimeSpec(0, 1000000), false, true));
    ASSERT_TRUE(waitUntil([&] { return inner.fired.load() == 2; }));
}

TEST(Sync, CountedMutexesNestUniqueIdsAreNonZeroAcrossThreadsAndTheLastSmartPointerDeletesThroughTheBase) {
    OSWrap::CountedMutex m;
    m.lock();
    m.lock();
    EXPECT_EQ(2u, m.count());
    bool got = true;
    std::thread([&] { got = m.tryLock(); }).join();
    EXPECT_FALSE(got);
    m.unlock();
    m.unlock();
    std::thread([&] { (got = m.tryLock()) ? m.unlock() : void(); }).join();
    EXPECT_TRUE(got);

    std::vector<std::vector<unsigned long>> ids(4);
    std::vector<std::thread> ts;
    for (auto& v : ids)
        ts.emplace_back([&v] {
            for (int k = 0; k < 5000; ++k) v.push_back(OSWrap::UniqueIdGen::instance()->getId());
        });
    for (auto& t : ts) t.join();
    std::set<unsigned long> all;
    for (auto& v : ids) all.insert(v.begin(), v.end());
    EXPECT_EQ(20000u, all.size());
    EXPECT_EQ(0u, all.count(0));

    {
        OSWrap::SmartPointer<Derived> d(new Derived);
        OSWrap::SmartPointer<Tracked> b(d), c;
        c = b;
        c = c;
        EXPECT_EQ(3, c.useCount());
    }
    EXPECT_EQ(0, Tracked::live.load());
}
