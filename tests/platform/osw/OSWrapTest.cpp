// Time values, timers and unique ids. The time scale is the
// card scenarios': their alarm delays, polls and hour-long ORB waits run
// under it; smart pointers are the tied members' (ObjectModelTest).
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

namespace {

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

// Transaction ids: unique and non-zero across threads.
TEST(UniqueIdGen, IdsAreNonZeroAndUniqueAcrossThreads) {
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
}
