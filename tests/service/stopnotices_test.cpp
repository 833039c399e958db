// The stop notices of a busy service: with every notice thread taken (agents that do not answer), a
// further stop is sent once a thread is free, never on the thread that took the stop (which owes its
// caller a reply), and a line opened ahead of a stop is left unopened rather than wait; a later browse of
// the session still waits for its waiting stop.
#include "service/stopnotices.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

namespace {

using namespace std::chrono_literals;

TEST(StopNotices, PastTheirThreadsNoticesWaitAndNothingRunsOnThePostingThread) {
    CStopNotices notices;
    std::promise<void> gate;
    const std::shared_future<void> open = gate.get_future().share();
    std::atomic<size_t> started{0};
    for (size_t n = 0; n < CStopNotices::kMaxInFlight; ++n)
        notices.post("busy", [open, &started] {
            ++started;
            open.wait();
        });

    const std::thread::id poster = std::this_thread::get_id();
    std::atomic<bool> sent{false}, onPoster{false}, offered{false};
    notices.post("later", [&] {
        onPoster = std::this_thread::get_id() == poster;
        sent = true;
    });
    EXPECT_FALSE(sent) << "the stop waits for a free thread";
    EXPECT_FALSE(notices.offer([&] { offered = true; })) << "every thread is taken";
    // A browse of the session waits for its stop, which has not gone yet.
    EXPECT_FALSE(notices.waitForSession("later", 0s));

    gate.set_value();
    EXPECT_TRUE(notices.waitForSession("later", 600s));
    notices.drain();
    EXPECT_TRUE(sent);
    EXPECT_FALSE(onPoster);
    EXPECT_FALSE(offered);
    EXPECT_EQ(started, CStopNotices::kMaxInFlight);
    // With threads free again, a line is opened ahead of the next stop.
    EXPECT_TRUE(notices.offer([&] { offered = true; }));
    notices.drain();
    EXPECT_TRUE(offered);
}

}  // namespace
