// The administration thread: due tasks run in table order at the wake-ups, and a stop ends the loop at
// once and lets the thread be joined.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

#include "service/adminthread.h"

namespace {
std::mutex s_mutex;
std::condition_variable s_wokenUp;
int s_everyWakeUp = 0;  // guarded by s_mutex
std::atomic<int> s_daily{0};
void everyWakeUp() {
    {
        std::lock_guard<std::mutex> lock(s_mutex);
        ++s_everyWakeUp;
    }
    s_wokenUp.notify_all();
}
void daily() {
    ++s_daily;
}
}  // namespace

TEST(AdminThread, RunsDueTasksAndStopsAtOnce) {
    AdminThreadHM admin(20, "admin-test-" + std::to_string(getpid()));
    admin.addTask(&everyWakeUp, 0);
    admin.addTask(&daily, 86400);
    admin.addTask(nullptr, 0);  // ignored
    ASSERT_EQ(admin.getTasks().size(), 2u);
    ASSERT_TRUE(admin.start(nullptr));
    // Three wake-ups of 20 ms, however long a busy machine makes them.
    {
        std::unique_lock<std::mutex> lock(s_mutex);
        EXPECT_TRUE(s_wokenUp.wait_for(lock, std::chrono::seconds(30), [] { return s_everyWakeUp >= 3; }));
    }
    const auto start = std::chrono::steady_clock::now();
    admin.terminate();
    EXPECT_TRUE(admin.join());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    std::lock_guard<std::mutex> lock(s_mutex);
    EXPECT_GE(s_everyWakeUp, 3);
    EXPECT_EQ(s_daily.load(), 1) << "once at the first wake-up, then not before a day has passed";
}

TEST(AdminThread, StopBeforeTheLoopWaitsIsKept) {
    AdminThreadHM admin(AdminThreadHM::kWakeUpMs, "admin-test-early-" + std::to_string(getpid()));
    admin.terminate();
    ASSERT_TRUE(admin.start(nullptr));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(admin.join());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}
