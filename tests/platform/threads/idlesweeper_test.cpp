// The idle sweeper on a clock the test moves: a sweep runs when what it keeps falls due, not before,
// though nothing else happens; and the time it answers is the next it runs at.
#include "platform/threads/idlesweeper.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

using namespace std::chrono_literals;

// Returns once `count` sweeps have run, or after a minute of real time.
bool sweepsReach(const std::atomic<int>& sweeps, int count) {
    for (int waited = 0; sweeps.load() < count && waited < 60000; ++waited) std::this_thread::sleep_for(1ms);
    return sweeps.load() >= count;
}

TEST(ClockExpiry, IdleSweeperSweepsWhenDueNotBefore) {
    CHubManualClock clock;
    const CHubIdleSweeper::TimePoint start = clock.steadyNow();
    std::atomic<int> sweeps{0};
    // The first sweep says the next expiry is 20 s on; the second that nothing is left.
    CHubIdleSweeper::CEntry entry(clock, [&]() -> std::optional<CHubIdleSweeper::TimePoint> {
        if (++sweeps == 1) return start + 50s;
        return std::nullopt;
    });
    entry.due(start + 30s);

    clock.advance(29s);
    // The sweeper's thread has read the clock after the advance and come back to read it again.
    ASSERT_TRUE(clock.waitForReads(2));
    EXPECT_EQ(sweeps.load(), 0);
    clock.advance(1s);
    ASSERT_TRUE(sweepsReach(sweeps, 1));

    clock.advance(19s);
    ASSERT_TRUE(clock.waitForReads(2));
    EXPECT_EQ(sweeps.load(), 1);
    clock.advance(1s);
    ASSERT_TRUE(sweepsReach(sweeps, 2));
    EXPECT_EQ(sweeps.load(), 2);
}

}  // namespace
