// Server objects used by the ORB tests, in the test process and in the
// test actor process alike.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "IPPRMI_objectSkeleton.h"
#include "REFLECT_orb.h"

namespace orbtest {

constexpr unsigned long kTestClass = 0x77;
enum TestMethod : unsigned long { kAdd = 1, kBlock = 2, kCount = 3, kSleep = 4 };

// cc 0x77: mc 1 adds two longs; mc 2 blocks until released (without the run
// permission); mc 3 counts under the run permission and checks it is alone;
// mc 4 answers after the milliseconds of its argument (without the run
// permission).
class TestServer : public TipprmiObjectSkeleton {
public:
    explicit TestServer(char const* name, TreflectORB* orb = nullptr) : TipprmiObjectSkeleton(orb, TipprmiOID(name)) {}

    bool dispatch(bool transaction, unsigned long cc, unsigned long mc, TipprmiStream& in,
                  TipprmiStream& out) override {
        if (cc != kTestClass || mc < kAdd || mc > kSleep)
            return TipprmiObjectSkeleton::dispatch(transaction, cc, mc, in, out);
        long result = 0;
        if (mc == kAdd) {
            long a = 0, b = 0;
            in >> a >> b;
            result = a + b;
        } else if (mc == kBlock) {
            ++blocked;
            TreflectORB::releaseRunPermission();
            std::unique_lock<std::mutex> lock(mutex_);
            released_.wait(lock, [&] { return open_; });
            lock.unlock();
            TreflectORB::getRunPermission();
            --blocked;
        } else if (mc == kSleep) {
            long ms = 0;
            in >> ms;
            TreflectORB::releaseRunPermission();
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
            TreflectORB::getRunPermission();
        } else {
            if (!TreflectORB::hasRunPermission()) ++withoutPermission;
            maxInside = std::max(maxInside, int(++inside));
            std::this_thread::yield();  // room for an intruder
            result = ++count;           // plain: the run permission is the only guard
            --inside;
        }
        prepareResponseStream_(out);
        out << result;
        return true;
    }

    void release() {
        std::lock_guard<std::mutex> lock(mutex_);
        open_ = true;
        released_.notify_all();
    }

    std::atomic<int> blocked{0}, inside{0};
    int maxInside = 0, withoutPermission = 0;
    long count = 0;

private:
    std::mutex mutex_;
    std::condition_variable released_;
    bool open_ = false;
};

}  // namespace orbtest
