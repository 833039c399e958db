// CHubClock: the time that ageing, windows, age checks and timed waits read, so that a test moves it
// instead of waiting for it to pass. A component that keeps an expiry takes its clock when it is built;
// CHubClock::real() is given at the top (a program's main, defaults); CHubManualClock moves only when
// told to. Any thread. The system's clocks are read in platform/clock/hubclock.cpp, a component below
// every other (the log and the registry reader take the real clock too); the build refuses a read of
// them in product code anywhere else but where cmake/clockreads allows it.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <thread>

#include "platform/threads/hubmutex.h"

class CHubClock {
public:
    using Steady = std::chrono::steady_clock;
    using Wall = std::chrono::system_clock;

    virtual ~CHubClock() = default;
    // Monotonic time: intervals, ageing, deadlines.
    virtual Steady::time_point steadyNow() const = 0;
    // Calendar time: times that travel in messages, are stored or are logged.
    virtual Wall::time_point wallNow() const = 0;
    // Seconds since 1970 of wallNow.
    long long epochSeconds() const {
        return std::chrono::floor<std::chrono::seconds>(wallNow().time_since_epoch()).count();
    }

    // Waits on `changed` (notified by whoever changes what `done` reads) until `done` returns true or this
    // clock reaches `deadline`: done's last answer. The mutex is held again on return. (Not analysed: `done`
    // runs with the caller's mutex held, which the analysis cannot see through the lock object.)
    template <class Done>
    bool waitUntil(CHubMutexLock& lock, std::condition_variable& changed, Steady::time_point deadline,
                   Done done) const NO_THREAD_SAFETY_ANALYSIS {
        for (;;) {
            if (done()) return true;
            const Steady::time_point now = steadyNow();
            if (now >= deadline) return false;
            lock.waitFor(changed, std::min<Steady::duration>(deadline - now, recheckEvery()));
        }
    }
    template <class Rep, class Period, class Done>
    bool waitFor(CHubMutexLock& lock, std::condition_variable& changed,
                 std::chrono::duration<Rep, Period> limit, Done done) const NO_THREAD_SAFETY_ANALYSIS {
        return waitUntil(lock, changed, steadyNow() + limit, std::move(done));
    }

    // Sleeps the calling thread until this clock reaches `deadline`.
    void sleepUntil(Steady::time_point deadline) const {
        for (Steady::time_point now = steadyNow(); now < deadline; now = steadyNow())
            std::this_thread::sleep_for(std::min<Steady::duration>(deadline - now, recheckEvery()));
    }

    // How long a wait (on a condition, or a poll of descriptors) sleeps at most before it reads the clock
    // again: a clock that jumps is read often.
    virtual Steady::duration recheckEvery() const { return std::chrono::hours(1); }

    // The system's clocks; stateless, and never destroyed (threads may read it while the process ends).
    static const CHubClock& real();
};

class CHubRealClock final : public CHubClock {
public:
    Steady::time_point steadyNow() const override;
    Wall::time_point wallNow() const override;
};

// Starts at the real time of its creation and then moves only by advance (both readings together).
class CHubManualClock final : public CHubClock {
public:
    CHubManualClock();

    Steady::time_point steadyNow() const override {
        ++m_reads;  // before the reading: a read counted after an advance sees it
        return m_steadyStart + std::chrono::nanoseconds(m_advanced.load());
    }
    Wall::time_point wallNow() const override {
        ++m_reads;
        return m_wallStart +
               std::chrono::duration_cast<Wall::duration>(std::chrono::nanoseconds(m_advanced.load()));
    }
    void advance(std::chrono::nanoseconds by) { m_advanced += by.count(); }
    // How often the clock was read: a test that waits for a component's next readings knows the
    // component has seen an advance, and acted on it or not.
    uint64_t reads() const { return m_reads.load(); }
    // Returns once the clock has been read `count` more times (true), or after `limit` of real time
    // (false). Two more readings by a component's one thread: it has seen the clock as it is now and come
    // back to read it again, so what it does at this time is done.
    bool waitForReads(uint64_t count, std::chrono::seconds limit = std::chrono::seconds(60)) const;
    // A wait on this clock notices an advance within a few milliseconds.
    Steady::duration recheckEvery() const override { return std::chrono::milliseconds(5); }

private:
    const Steady::time_point m_steadyStart;
    const Wall::time_point m_wallStart;
    std::atomic<int64_t> m_advanced{0};  // nanoseconds
    mutable std::atomic<uint64_t> m_reads{0};
};
