#include "platform/ThreadLock.h"

#include "PlatformTestSupport.h"
#include "platform/ScopedLock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <thread>
#include <vector>

namespace vorn {
namespace {

using testing_support::LogCapture;

// Whether another thread can take the lock right now (it lets go again).
bool otherThreadCanTake(ThreadLock &lock) {
    bool taken = false;
    std::thread other([&]() {
        taken = lock.try_lock();
        if (taken) {
            lock.unlock();
        }
    });
    other.join();
    return taken;
}

TEST(ThreadLockTest, RecursiveHoldsAreCountedAndExcludeOtherThreads) {
    LogCapture log;
    ThreadLock lock;
    lock.lock();
    ASSERT_TRUE(lock.try_lock()); // same thread again
    EXPECT_FALSE(otherThreadCanTake(lock));
    lock.unlock();
    EXPECT_FALSE(otherThreadCanTake(lock)); // still held once
    lock.unlock();
    EXPECT_TRUE(otherThreadCanTake(lock));
    EXPECT_TRUE(log.lines.empty());
}

TEST(ThreadLockTest, UnlockingMoreThanLockedIsRefusedWithItsMessage) {
    LogCapture log;
    ThreadLock lock;
    lock.unlock();
    lock.lock();
    lock.unlock();
    lock.unlock();

    ASSERT_EQ(log.lines.size(), 2u);
    const std::regex expected("attempt to unlock unowned lock 0x[0-9a-f]+");
    for (const auto &line : log.lines) {
        EXPECT_EQ(line.level, VORNLogError);
        EXPECT_EQ(line.source, "ThreadLock");
        EXPECT_EQ(line.function, "unlock");
        EXPECT_TRUE(std::regex_match(line.message, expected)) << line.message;
    }
    EXPECT_EQ(log.lines[0].message, log.lines[1].message);

    // The refused unlocks left the mutex and the count alone: one lock is
    // undone by exactly one unlock.
    lock.lock();
    EXPECT_FALSE(otherThreadCanTake(lock));
    lock.unlock();
    EXPECT_TRUE(otherThreadCanTake(lock));
    EXPECT_EQ(log.lines.size(), 2u);
}

TEST(ThreadLockTest, DestroyingAHeldLockReleasesEveryHoldFirst) {
    LogCapture log;
    auto *lock = new ThreadLock();
    lock->lock();
    lock->lock();
    // A mutex still locked would make its destruction fail ("fail to destroy").
    delete lock;
    EXPECT_TRUE(log.lines.empty()) << log.lines[0].message;
}

TEST(ThreadLockTest, ScopedLockHoldsForItsScopeAndIgnoresNull) {
    ThreadLock lock;
    {
        ScopedLock<ThreadLock> scoped(&lock);
        EXPECT_FALSE(otherThreadCanTake(lock));
        ScopedLock<ThreadLock> nothing(nullptr);
    }
    EXPECT_TRUE(otherThreadCanTake(lock));
}

std::atomic<int> g_onceRuns{0};
void countOnce() {
    g_onceRuns++;
}

TEST(ThreadLockTest, ThreadOnceRunsOncePerTokenAcrossThreads) {
    static pthread_once_t token = PTHREAD_ONCE_INIT;
    static pthread_once_t otherToken = PTHREAD_ONCE_INIT;
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; i++) {
        threads.emplace_back([]() { ThreadLock::ThreadOnce(&token, countOnce); });
    }
    for (auto &thread : threads) {
        thread.join();
    }
    ThreadLock::ThreadOnce(&token, countOnce);
    EXPECT_EQ(g_onceRuns.load(), 1);
    ThreadLock::ThreadOnce(&otherToken, countOnce);
    EXPECT_EQ(g_onceRuns.load(), 2);
}

} // namespace
} // namespace vorn
