#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/threads/fxcriticalsection.h"
#include "platform/threads/threadid.h"
#include "platform/threads/zycriticalsection.h"
#include "platform/threads/zysemaphore.h"

namespace {

bool takenElsewhere(ZyCriticalSection& lock) {
    bool taken = false;
    std::thread([&] {
        taken = lock.enter(false);
        if (taken) lock.leave();
    }).join();
    return taken;
}

constexpr long kWriters = 8;
constexpr long kIncrements = 20000;

// Runs `increment` kIncrements times on each of kWriters threads against one counter; a lock that
// excludes gives the full count.
template <typename Increment>
long countUnder(Increment increment) {
    long counter = 0;
    std::vector<std::thread> threads;
    for (long t = 0; t < kWriters; ++t) {
        threads.emplace_back([&] {
            for (long i = 0; i < kIncrements; ++i) increment(counter);
        });
    }
    for (auto& t : threads) t.join();
    return counter;
}

TEST(ZyCriticalSectionTest, ReentryDoesNotBlockAndFreesOnlyAfterMatchingLeaves) {
    ZyCriticalSection lock;
    ASSERT_TRUE(lock.enter(true));
    ASSERT_TRUE(lock.enter(true));
    EXPECT_FALSE(takenElsewhere(lock));
    EXPECT_TRUE(lock.leave());
    EXPECT_FALSE(takenElsewhere(lock));
    EXPECT_TRUE(lock.leave());
    EXPECT_TRUE(takenElsewhere(lock));
}

TEST(ZyCriticalSectionTest, LeaveByAThreadThatDoesNotHoldItIsRefused) {
    ZyCriticalSection lock;
    EXPECT_FALSE(lock.leave());
    ASSERT_TRUE(lock.enter(true));
    bool leftElsewhere = true;
    std::thread([&] { leftElsewhere = lock.leave(); }).join();
    EXPECT_FALSE(leftElsewhere);
    EXPECT_FALSE(takenElsewhere(lock));
    EXPECT_TRUE(lock.leave());
    EXPECT_TRUE(takenElsewhere(lock));
}

TEST(ZyCriticalSectionTest, GuardHoldsForItsScopeAndANullGuardDoesNothing) {
    ZyCriticalSection lock;
    {
        ZyCriticalSectionLock guard(&lock);
        ZyCriticalSectionLock nested(&lock);
        EXPECT_FALSE(takenElsewhere(lock));
    }
    EXPECT_TRUE(takenElsewhere(lock));
    {
        ZyCriticalSectionLock none(nullptr);
        EXPECT_TRUE(takenElsewhere(lock));
    }
    // The null guard left nothing: the lock was never entered by this thread.
    EXPECT_FALSE(lock.leave());
}

TEST(ZyCriticalSectionTest, ExcludesOtherThreads) {
    ZyCriticalSection lock;
    EXPECT_EQ(countUnder([&](long& counter) {
                  ZyCriticalSectionLock guard(&lock);
                  ++counter;
              }),
              kWriters * kIncrements);
}

TEST(ZySemaphoreTest, CountsUnitsAndBlocksWhenNoneAreLeft) {
    ZySemaphore sem(2);
    sem.wait();
    sem.wait();
    EXPECT_EQ(sem.available(), 0);

    std::atomic<int> passed{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i) {
        waiters.emplace_back([&] {
            sem.wait();
            ++passed;
        });
    }
    sem.release(1);
    while (passed.load() < 1) std::this_thread::yield();
    sem.release(2);
    for (auto& w : waiters) w.join();
    EXPECT_EQ(passed.load(), 3);
    EXPECT_EQ(sem.available(), 0);
}

TEST(ZySemaphoreTest, RefusesCountsBelowOneAndOverflow) {
    ZySemaphore sem(1);
    sem.release(0);
    sem.release(-3);
    EXPECT_EQ(sem.available(), 1);
    sem.release(INT32_MAX);
    EXPECT_EQ(sem.available(), 1);
    ZySemaphore negative(-5);
    EXPECT_EQ(negative.available(), 0);
}

TEST(FXCriticalSectionTest, OwnerIsTheHolderUntilItsLastUnlock) {
    FXCriticalSection lock;
    EXPECT_EQ(lock.GetLockOwner(), 0);
    ASSERT_TRUE(lock.Lock());
    EXPECT_EQ(lock.GetLockOwner(), GetCurrentThreadId());
    ASSERT_TRUE(lock.Lock());
    ASSERT_TRUE(lock.Unlock());
    EXPECT_EQ(lock.GetLockOwner(), GetCurrentThreadId());
    ASSERT_TRUE(lock.Unlock());
    EXPECT_EQ(lock.GetLockOwner(), 0);

    // Free again: another thread takes it and is recorded.
    int32_t other = 0;
    std::thread([&] {
        ASSERT_TRUE(lock.Lock());
        other = lock.GetLockOwner();
        EXPECT_TRUE(lock.Unlock());
    }).join();
    EXPECT_NE(other, 0);
    EXPECT_NE(other, GetCurrentThreadId());
}

TEST(FXCriticalSectionTest, UnlockByANonHolderIsRefused) {
    FXCriticalSection lock;
    EXPECT_FALSE(lock.Unlock());
    ASSERT_TRUE(lock.Lock());
    bool unlockedElsewhere = true;
    std::thread([&] { unlockedElsewhere = lock.Unlock(); }).join();
    EXPECT_FALSE(unlockedElsewhere);
    EXPECT_EQ(lock.GetLockOwner(), GetCurrentThreadId());
    EXPECT_TRUE(lock.Unlock());
}

TEST(FXCriticalSectionTest, ExcludesOtherThreads) {
    FXCriticalSection lock;
    EXPECT_EQ(countUnder([&](long& counter) {
                  ASSERT_TRUE(lock.Lock());
                  ASSERT_TRUE(lock.Lock());
                  ++counter;
                  lock.Unlock();
                  lock.Unlock();
              }),
              kWriters * kIncrements);
    EXPECT_EQ(lock.GetLockOwner(), 0);
}

}  // namespace
