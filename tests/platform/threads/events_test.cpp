#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "platform/threads/hubclock.h"
#include "platform/threads/osevent.h"

namespace {

// Generous limits: a signalled wait returns long before them; a lost signal makes the test fail, not hang.
constexpr unsigned kLongMs = 20000;
constexpr unsigned kShortMs = 30;

std::string uniqueName(const char* base) {
    static std::atomic<int> n{0};
    return std::string(base) + "-" + std::to_string(::getpid()) + "-" + std::to_string(++n);
}

TEST(OSEventTest, TimedWaitOnAnUnsignalledEventTimesOut) {
    OSEvent event(true);
    EXPECT_FALSE(event.Wait(kShortMs));
    EXPECT_FALSE(event.Wait(0));
}

// A timed wait's limit is its clock's: it outlasts any real time until the clock passes the limit, and
// a signal before then still ends it as signalled.
TEST(OSEventTest, ATimedWaitEndsByItsClock) {
    CHubManualClock clock;
    OSEvent event(true, clock);
    std::atomic<int> outcome{-1};
    std::thread waiter([&] { outcome = event.Wait(60000) ? 1 : 0; });
    EXPECT_TRUE(clock.waitForReads(20));  // waiting, and reading its clock
    EXPECT_EQ(outcome.load(), -1);
    clock.advance(std::chrono::seconds(59));
    EXPECT_TRUE(clock.waitForReads(4));
    EXPECT_EQ(outcome.load(), -1);
    clock.advance(std::chrono::seconds(2));
    waiter.join();
    EXPECT_EQ(outcome.load(), 0);

    std::thread signalled([&] { outcome = event.Wait(60000) ? 1 : 0; });
    EXPECT_TRUE(clock.waitForReads(4));
    event.Signal();
    signalled.join();
    EXPECT_EQ(outcome.load(), 1);
}

TEST(OSEventTest, SignalFromAnotherThreadEndsATimedWait) {
    OSEvent event(true);
    std::thread signaller([&] { event.Signal(); });
    EXPECT_TRUE(event.Wait(kLongMs));
    signaller.join();
    // Manual reset: it stays signalled.
    EXPECT_TRUE(event.Wait(0));
    EXPECT_TRUE(event.Wait());
}

TEST(OSEventTest, SameNameEventsWakeEachOtherAndOthersDoNot) {
    const std::string name = uniqueName("shared");
    OSEvent waiter(true), signaller(true), stranger(true), privateEvent(true);
    ASSERT_TRUE(waiter.Init(name.c_str(), true));
    ASSERT_TRUE(signaller.Init(name.c_str(), true));
    ASSERT_TRUE(stranger.Init(uniqueName("other").c_str(), true));
    ASSERT_TRUE(privateEvent.Init("", true));

    std::atomic<bool> woke{false};
    std::thread blocked([&] { woke = waiter.Wait(); });
    signaller.Signal();
    blocked.join();
    EXPECT_TRUE(woke);
    EXPECT_FALSE(stranger.Wait(kShortMs));
    EXPECT_FALSE(privateEvent.Wait(kShortMs));
}

TEST(OSEventTest, PrivateEventsAreIndependent) {
    OSEvent a(true), b(true);
    a.Signal();
    EXPECT_TRUE(a.Wait(0));
    EXPECT_FALSE(b.Wait(kShortMs));
    OSEvent c(true);
    ASSERT_TRUE(c.Init(nullptr, true));
    EXPECT_FALSE(c.Wait(0));
}

TEST(OSEventTest, SignalGivenBeforeTheWaitStillEndsIt) {
    const std::string name = uniqueName("fbhmworker");
    {
        OSEvent deleter(true);
        ASSERT_TRUE(deleter.Init(name.c_str(), true));
        deleter.Signal();
    }  // nobody holds the event while the signal is pending
    OSEvent waiter(true);
    ASSERT_TRUE(waiter.Init(name.c_str(), true));
    EXPECT_TRUE(waiter.Wait(kLongMs));
}

TEST(OSEventTest, SignalAndWaitFromOtherThreadsWhileTheOwnerRebinds) {
    // A stopping thread binds its named event while another thread may already signal it; the
    // object must stay usable (the sanitizer builds see a torn pointer or a freed event).
    const std::string name = uniqueName("fbhmcontroller");
    OSEvent event(true);
    std::atomic<bool> done{false};
    std::thread signaller([&] {
        while (!done) event.Signal();
    });
    std::thread waiter([&] {
        while (!done) event.Wait(0);
    });
    for (int n = 0; n < 2000; ++n) ASSERT_TRUE(event.Init(n % 2 ? name.c_str() : "", true));
    done = true;
    signaller.join();
    waiter.join();

    ASSERT_TRUE(event.Init(name.c_str(), true));
    OSEvent other(true);
    ASSERT_TRUE(other.Init(name.c_str(), true));
    other.Signal();
    EXPECT_TRUE(event.Wait(kLongMs));
}

TEST(OSEventTest, ASeenSignalIsNotKeptForTheNextUseOfTheName) {
    const std::string name = uniqueName("fbhmcontroller");
    const size_t retainedBefore = FXEvent::RetainedSignalCount();
    {
        OSEvent run(true);
        ASSERT_TRUE(run.Init(name.c_str(), true));
        run.Signal();
        EXPECT_TRUE(run.Wait(kLongMs));
    }
    EXPECT_EQ(FXEvent::RetainedSignalCount(), retainedBefore);
    OSEvent again(true);
    ASSERT_TRUE(again.Init(name.c_str(), true));
    EXPECT_FALSE(again.Wait(kShortMs));
}

TEST(OSEventTest, UnseenSignalsAreKeptOnlyUpToABound) {
    const size_t before = FXEvent::RetainedSignalCount();
    for (int i = 0; i < 5000; ++i) {
        OSEvent e(true);
        ASSERT_TRUE(e.Init(uniqueName("bulk").c_str(), true));
        e.Signal();
    }
    EXPECT_GT(FXEvent::RetainedSignalCount(), before);
    EXPECT_LE(FXEvent::RetainedSignalCount(), 4096u);
}

TEST(OSEventTest, InitAgainLeavesExactlyOneEventBound) {
    const std::string first = uniqueName("first"), second = uniqueName("second");
    OSEvent event(true);
    ASSERT_TRUE(event.Init(first.c_str(), true));
    ASSERT_TRUE(event.Init(second.c_str(), true));

    OSEvent onFirst(true), onSecond(true);
    ASSERT_TRUE(onFirst.Init(first.c_str(), true));
    ASSERT_TRUE(onSecond.Init(second.c_str(), true));
    event.Signal();
    EXPECT_TRUE(onSecond.Wait(kLongMs));
    EXPECT_FALSE(onFirst.Wait(kShortMs));
}

TEST(OSEventTest, RebindingTheHeldNameKeepsItsState) {
    const std::string name = uniqueName("rebind");
    OSEvent event(true);
    ASSERT_TRUE(event.Init(name.c_str(), true));
    event.Signal();
    ASSERT_TRUE(event.Wait(kLongMs));
    // Manual reset: still signalled after being seen, also through the same name bound again.
    ASSERT_TRUE(event.Init(name.c_str(), true));
    EXPECT_TRUE(event.Wait(0));
}

TEST(OSEventTest, AutomaticResetWakesOneWaitPerSignal) {
    OSEvent event(false);
    ASSERT_TRUE(event.Init("", false));
    event.Signal();
    EXPECT_TRUE(event.Wait(kLongMs));
    EXPECT_FALSE(event.Wait(kShortMs));
}

// An event whose wait breaks a given number of times before it works.
class BrokenWaits : public FXEvent {
public:
    explicit BrokenWaits(int failures) : FXEvent(0), m_failures(failures) {}
    unsigned int WaitForSet(unsigned int ms) override {
        ++calls;
        if (m_failures > 0) {
            --m_failures;
            return kWaitFailed;
        }
        return FXEvent::WaitForSet(ms);
    }
    std::atomic<int> calls{0};

private:
    std::atomic<int> m_failures;
};

class EventOver : public OSEvent {
public:
    explicit EventOver(int failures) {
        auto ev = std::make_unique<BrokenWaits>(failures);
        ev->Create("", true);
        broken = ev.get();
        Adopt(std::move(ev));
    }
    BrokenWaits* broken;
};

TEST(OSEventTest, AFailedWaitIsRetriedAndNeverTakenForASignal) {
    EventOver unsignalled(2);
    EXPECT_FALSE(unsignalled.Wait(1000));
    EXPECT_GE(unsignalled.broken->calls.load(), 3);

    EventOver signalled(2);
    signalled.Signal();
    EXPECT_TRUE(signalled.Wait());
    EXPECT_EQ(signalled.broken->calls.load(), 3);

    // A wait that fails until the very end of its limit reports a time-out.
    EventOver alwaysBroken(1 << 30);
    EXPECT_FALSE(alwaysBroken.Wait(250));
}

TEST(OSEventTest, AnObjectWithoutAnEventNeitherWaitsNorHangs) {
    // As after a failed Init: the object holds no event.
    struct Emptied : OSEvent {
        Emptied() { Adopt(nullptr); }
    } none;
    EXPECT_FALSE(none.Wait(kShortMs));
    EXPECT_FALSE(none.Wait());
    none.Signal();
}

}  // namespace
