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

    virtual ~CHubClock() = default;
    // Monotonic time: intervals, ageing, deadlines.
    virtual Steady::time_point steadyNow() const = 0;
    // Seconds since 1970: times that travel in messages or are stored.
    virtual long long epochSeconds() const = 0;

    // The system's clocks; stateless, so every copy of it reads alike.
    static const CHubClock& real();
};

class CHubRealClock final : public CHubClock {
public:
    Steady::time_point steadyNow() const override { return Steady::now(); }
    long long epochSeconds() const override {
        return std::chrono::duration_cast<std::chrono::seconds>(
                   std::chrono::system_clock::now().time_since_epoch())
            .count();
    }
};

inline const CHubClock& CHubClock::real() {
    static const CHubRealClock clock;
    return clock;
}

// Starts at the real time of its creation and then moves only by advance (both readings together).
class CHubManualClock final : public CHubClock {
public:
    CHubManualClock()
        : m_steadyStart(Steady::now()), m_epochStart(CHubClock::real().epochSeconds()) {}

    Steady::time_point steadyNow() const override {
        return m_steadyStart + std::chrono::nanoseconds(m_advanced.load());
    }
    long long epochSeconds() const override {
        return m_epochStart + std::chrono::duration_cast<std::chrono::seconds>(
                                  std::chrono::nanoseconds(m_advanced.load()))
                                  .count();
    }
    void advance(std::chrono::nanoseconds by) { m_advanced += by.count(); }

private:
    const Steady::time_point m_steadyStart;
    const long long m_epochStart;
    std::atomic<int64_t> m_advanced{0};  // nanoseconds
};
