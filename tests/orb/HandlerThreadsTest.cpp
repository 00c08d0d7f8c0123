#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "HandlerThreadPolicies.h"
#include "LogCapture.h"
#include "REFLECT_orb.h"
#include "Trace.h"

using testsupport::countRecords;
using testsupport::waitUntil;

namespace {

// Runs `body` on a fresh thread and waits for it.
template <class F>
void onThread(F body) {
    std::thread t(body);
    t.join();
}

}  // namespace

TEST(HandlerThreadsDeathTest, ConstructionAnnouncesPoliciesInOrder) {
    EXPECT_EXIT(
        {
            TreflectORB::isHandlerThread();
            auto rs = testsupport::records();
            bool ok = rs.size() == 3 && rs[0].text == "ORB HandlerThreads using SetContainer" &&
                      rs[0].severity == 5 && rs[1].text == "ORB HandlerThreads using ProdPermission" &&
                      rs[1].severity == 5 && rs[2].text == "ORB uses HandlerThreads with DEBUG flag set" &&
                      rs[2].severity == 4;
            std::exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(HandlerThreads, NestedEnterNeedsMatchingLeaves) {
    testsupport::expectError("RunPermission after leaveHandlerState");
    onThread([] {
        TreflectORB::enterHandlerState(true);
        TreflectORB::enterHandlerState(true);
        EXPECT_EQ(2u, TreflectORB::getRunPermissionCount());
        size_t entries = TreflectORB::handlerThreads().size();
        TreflectORB::leaveHandlerState(true);
        // Still a handler thread; the leave released once and, finding the
        // permission still held, reported it and let it go entirely.
        EXPECT_TRUE(TreflectORB::isHandlerThread());
        EXPECT_FALSE(TreflectORB::hasRunPermission());
        EXPECT_EQ(0u, TreflectORB::getRunPermissionCount());
        EXPECT_EQ(entries - 1, TreflectORB::handlerThreads().size());
        TreflectORB::leaveHandlerState(true);
        EXPECT_FALSE(TreflectORB::isHandlerThread());
    });
    // The second get of a holder is reported once, with its backtrace.
    EXPECT_EQ(1u, countRecords("RunPermission 2 by thread"));
    EXPECT_EQ(1u, countRecords("Backtracing Multiple RunPermission"));
    EXPECT_EQ(1u, countRecords("has 1 RunPermission after leaveHandlerState"));
    EXPECT_EQ(1u, countRecords("Backtracing leaveHandlerState() keeps RunPermission"));
    // Free for the next thread.
    std::atomic<bool> got{false};
    onThread([&] {
        TreflectORB::enterHandlerState(true);
        got = TreflectORB::hasRunPermission();
        TreflectORB::leaveHandlerState(true);
    });
    EXPECT_TRUE(got.load());
}

TEST(HandlerThreads, PermissionSerialisesHandlers) {
    // Four handler threads increment a plain counter under the permission:
    // any overlap shows as a lost update (and as a race under TSan).
    long counter = 0;
    std::atomic<int> inside{0}, maxInside{0};
    std::vector<std::thread> ts;
    for (int i = 0; i < 4; ++i)
        ts.emplace_back([&] {
            TreflectORB::enterHandlerState(false);
            for (int k = 0; k < 2000; ++k) {
                TreflectORB::getRunPermission();
                int now = ++inside;
                int prev = maxInside.load();
                while (now > prev && !maxInside.compare_exchange_weak(prev, now)) {
                }
                ++counter;
                --inside;
                TreflectORB::releaseRunPermission();
            }
            TreflectORB::leaveHandlerState(false);
        });
    for (auto& t : ts) t.join();
    EXPECT_EQ(8000, counter);
    EXPECT_EQ(1, maxInside.load());
}

TEST(HandlerThreads, NonHandlerNeitherGetsNorReleases) {
    std::atomic<bool> holderIn{false}, done{false};
    std::thread holder([&] {
        TreflectORB::enterHandlerState(true);
        holderIn = true;
        while (!done.load()) std::this_thread::yield();
        EXPECT_TRUE(TreflectORB::hasRunPermission());
        TreflectORB::leaveHandlerState(true);
    });
    ASSERT_TRUE(waitUntil([&] { return holderIn.load(); }));
    onThread([] {
        // Never blocks although another thread holds the permission.
        TreflectORB::getRunPermission();
        TreflectORB::getRunPermission();
        EXPECT_FALSE(TreflectORB::hasRunPermission());
        TreflectORB::releaseRunPermission();
    });
    done = true;
    holder.join();
    EXPECT_EQ(1u, countRecords("which is no handler thread"));
    EXPECT_EQ(1u, countRecords("getRunPermission() called by thread "));
}

TEST(HandlerThreads, CheckReportsTheFirstThreeOffencesOfAThread) {
    testsupport::expectError("doing RMI, but has no RunPermission");
    onThread([] {
        for (int i = 0; i < 5; ++i) TreflectORB::checkHandlerState();
        TreflectORB::enterHandlerState(true);
        TreflectORB::checkHandlerState();  // a holder is fine
        TreflectORB::leaveHandlerState(true);
    });
    EXPECT_EQ(3u, countRecords("doing RMI, but has no RunPermission (owner=0)"));
    EXPECT_EQ(3u, countRecords("Backtracing RMI with no RunPermission"));
    onThread([] { TreflectORB::checkHandlerState(); });
    EXPECT_EQ(4u, countRecords("doing RMI, but has no RunPermission"));
    auto rs = testsupport::records();
    for (auto const& r : rs)
        if (r.text.find("doing RMI") != std::string::npos) {
            EXPECT_EQ(3, r.severity);
            EXPECT_EQ(0u, r.text.find(Transport::IdInfo::instance().getActor() + " thread "));
        }
}

TEST(RunPermissionGuard, UndoesExactlyWhatItDid) {
    onThread([] {
        {
            RunPermissionGuard g;  // not a handler: enters with the permission
            EXPECT_TRUE(TreflectORB::isHandlerThread());
            EXPECT_TRUE(TreflectORB::hasRunPermission());
        }
        EXPECT_FALSE(TreflectORB::isHandlerThread());
        EXPECT_FALSE(TreflectORB::hasRunPermission());

        TreflectORB::enterHandlerState(false);
        {
            RunPermissionGuard g;  // handler without permission: takes it
            EXPECT_TRUE(TreflectORB::hasRunPermission());
            {
                RunPermissionGuard inner;  // holder: nothing
                EXPECT_EQ(1u, TreflectORB::getRunPermissionCount());
            }
            EXPECT_TRUE(TreflectORB::hasRunPermission());
        }
        EXPECT_TRUE(TreflectORB::isHandlerThread());
        EXPECT_FALSE(TreflectORB::hasRunPermission());
        TreflectORB::leaveHandlerState(false);
    });
    EXPECT_EQ(0u, countRecords("RunPermission 2 by thread"));
}

TEST(SingletonSupport, GivesThePermissionUpWhileWaitingForTheLock) {
    pthread_mutex_t m = PTHREAD_MUTEX_INITIALIZER;
    std::atomic<bool> ownerHasLock{false}, holderWaiting{false}, ownerGotPermission{false}, holderDone{false};
    // The lock owner needs the run permission before it lets the lock go: a
    // waiter that kept the permission would deadlock with it.
    std::thread owner([&] {
        pthread_mutex_lock(&m);
        ownerHasLock = true;
        while (!holderWaiting.load()) std::this_thread::yield();
        RunPermissionGuard g;
        ownerGotPermission = true;
        pthread_mutex_unlock(&m);
    });
    std::thread holder([&] {
        RunPermissionGuard g;
        while (!ownerHasLock.load()) std::this_thread::yield();
        holderWaiting = true;
        SingletonSupport::lock(&m);
        EXPECT_TRUE(TreflectORB::hasRunPermission());
        EXPECT_TRUE(ownerGotPermission.load());
        pthread_mutex_unlock(&m);
        holderDone = true;
    });
    EXPECT_TRUE(waitUntil([&] { return holderDone.load(); }));
    owner.join();
    holder.join();
}

TEST(HTUtil, BacktraceListsFramesOnTheFrameworkTraceSet) {
    HTUtil::printBacktrace("probe");
    EXPECT_EQ(1u, countRecords("Backtracing probe"));
    size_t frames = 0;
    for (auto const& r : testsupport::records())
        if (r.kind == diag::Record::Trace && r.set == gTraceAfw && r.text.rfind("bt ", 0) == 0) {
            ++frames;
            EXPECT_EQ(8u, r.mask);
            EXPECT_EQ(1u, r.level);
            EXPECT_EQ(std::string::npos, r.text.find('/'));
        }
    EXPECT_GE(frames, 2u);
    EXPECT_LE(frames, 40u);
}
