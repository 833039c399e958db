// CHubClock: the time that ageing, windows and age checks read, so that a test moves it instead of
// waiting for it to pass. Code that keeps one defaults to CHubClock::real(); CHubManualClock moves only
// when told to. Header-only; any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

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

    // The system's clocks; stateless, and never destroyed (threads may read it while the process ends).
    static const CHubClock& real();
};

class CHubRealClock final : public CHubClock {
public:
    Steady::time_point steadyNow() const override { return Steady::now(); }
    Wall::time_point wallNow() const override { return Wall::now(); }
};

inline const CHubClock& CHubClock::real() {
    static const CHubRealClock* const clock = new CHubRealClock;
    return *clock;
}

// Starts at the real time of its creation and then moves only by advance (both readings together).
class CHubManualClock final : public CHubClock {
public:
    CHubManualClock() : m_steadyStart(Steady::now()), m_wallStart(Wall::now()) {}

    Steady::time_point steadyNow() const override {
        return m_steadyStart + std::chrono::nanoseconds(m_advanced.load());
    }
    Wall::time_point wallNow() const override {
        return m_wallStart +
               std::chrono::duration_cast<Wall::duration>(std::chrono::nanoseconds(m_advanced.load()));
    }
    void advance(std::chrono::nanoseconds by) { m_advanced += by.count(); }

private:
    const Steady::time_point m_steadyStart;
    const Wall::time_point m_wallStart;
    std::atomic<int64_t> m_advanced{0};  // nanoseconds
};
