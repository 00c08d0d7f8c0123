// The run-permission-aware locks and the singletons' mutexes: a handler
// thread that holds the permission once gives it up while it blocks, so the
// holder of the lock can take the permission and finish.
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <thread>

#include "LogCapture.h"
#include "REFLECT_CallGate.h"
#include "REFLECT_ConditionVar.h"
#include "REFLECT_CountedMutex.h"
#include "REFLECT_Mutex.h"
#include "REFLECT_chaos.h"
#include "REFLECT_orb.h"
#include "StandaloneNode.h"

using testsupport::countRecords;
using testsupport::waitUntil;

namespace {

testsupport::StandaloneNode const gStandaloneNode;

// The singletons' mutexes, taken through SingletonSupport.
struct SingletonLock {
    pthread_mutex_t m = PTHREAD_MUTEX_INITIALIZER;
    void lock() { SingletonSupport::lock(&m); }
    void unlock() { pthread_mutex_unlock(&m); }
    bool trylock() { return pthread_mutex_trylock(&m) == 0; }
};

template <class Lock>
class ReflectLock : public ::testing::Test {};

struct Names {
    template <class T>
    static std::string GetName(int) {
        if (std::is_same<T, TreflectMutex>()) return "ReflectMutex";
        if (std::is_same<T, TreflectCountedMutex>()) return "ReflectCountedMutex";
        if (std::is_same<T, SingletonLock>()) return "SingletonSupport";
        return "ReflectConditionVar";
    }
};

typedef ::testing::Types<TreflectMutex, TreflectCountedMutex, TreflectConditionVar, SingletonLock> Locks;
TYPED_TEST_SUITE(ReflectLock, Locks, Names);

}  // namespace

TYPED_TEST(ReflectLock, HolderOfThePermissionGivesItUpWhileItBlocks) {
    std::string const name = Names::GetName<TypeParam>(0);
    TypeParam lock;
    // Without the permission nothing touches it.
    lock.lock();
    EXPECT_FALSE(TreflectORB::hasRunPermission());
    lock.unlock();

    std::atomic<bool> held{false}, locking{false}, holderDone{false};
    std::thread holder([&] {
        lock.lock();
        held = true;
        // Needs the permission before it lets go: a locker that kept the
        // permission would deadlock here.
        EXPECT_TRUE(waitUntil([&] { return locking.load(); }));
        {
            RunPermissionGuard g;
            holderDone = true;
        }
        lock.unlock();
    });
    ASSERT_TRUE(waitUntil([&] { return held.load(); }));
    {
        RunPermissionGuard g;
        locking = true;
        lock.lock();  // blocks until the holder got and gave back the permission
        EXPECT_TRUE(holderDone.load());
        EXPECT_TRUE(TreflectORB::hasRunPermission());
        EXPECT_EQ(1u, TreflectORB::getRunPermissionCount());
        std::thread other([&] { EXPECT_FALSE(lock.trylock()); });
        other.join();
        lock.unlock();
    }
    holder.join();
    EXPECT_EQ(0u, countRecords(name + " thread "));
}

TEST(ReflectConditionVar, WaitGivesThePermissionUpAndTakesItBack) {
    TreflectConditionVar condition;
    RunPermissionGuard g;
    condition.lock();
    std::atomic<bool> ran{false};
    std::thread other([&] {
        RunPermissionGuard mine;
        ran = true;
    });
    // Times out: the other thread got the permission meanwhile.
    while (!ran.load()) EXPECT_FALSE(condition.wait(OSWrap::TimeSpec::fromMilliseconds(5)));
    EXPECT_TRUE(TreflectORB::hasRunPermission());
    condition.unlock();
    other.join();
}

// A callback whose remote call was answered as its object's teardown began
// leaves while the gate closes, and the owner frees the gate as soon as
// close() returns: the leaver must be done with it by then. Chaos holds
// either thread where it gives the permission up or takes it, so that ASan
// sees a use after free whenever the leaver still needs the gate.
TEST(ReflectCallGate, TheOwnerMayFreeTheGateOnceCloseReturns) {
    TreflectChaos::startUnlessSet("20:0.1");
    for (int round = 0; round < 200; ++round) {
        auto* gate = new TreflectCallGate;
        TreflectConditionVar answer;
        bool answered = false;
        std::atomic<bool> inside{false};
        std::thread leaver([&] {
            RunPermissionGuard g;
            TreflectCallGate::Pass pass(*gate);
            inside = true;
            answer.lock();
            while (!answered) answer.wait(OSWrap::TimeSpec::INFINITETIME);
            answer.unlock();
        });
        RunPermissionGuard g;
        {
            RunPermissionRelease released;
            ASSERT_TRUE(waitUntil([&] { return inside.load(); }));
        }
        answer.lock();
        answered = true;
        answer.signal();
        answer.unlock();
        gate->close();
        EXPECT_FALSE(TreflectCallGate::Pass(*gate));
        delete gate;
        RunPermissionRelease released;
        leaver.join();
    }
}
