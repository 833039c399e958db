#include "platform/threads/hubclock.h"

CHubClock::Steady::time_point CHubRealClock::steadyNow() const {
    return Steady::now();
}

CHubClock::Wall::time_point CHubRealClock::wallNow() const {
    return Wall::now();
}

const CHubClock& CHubClock::real() {
    static const CHubRealClock* const clock = new CHubRealClock;
    return *clock;
}

CHubManualClock::CHubManualClock() : m_steadyStart(Steady::now()), m_wallStart(Wall::now()) {}

bool CHubManualClock::waitForReads(uint64_t count, std::chrono::seconds limit) const {
    const uint64_t until = m_reads.load() + count;
    const Steady::time_point giveUp = Steady::now() + limit;
    while (m_reads.load() < until) {
        if (Steady::now() >= giveUp) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}
