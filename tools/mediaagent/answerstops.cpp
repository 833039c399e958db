#include "tools/mediaagent/answerstops.h"

#include <cstdio>

#include "platform/msg/secured_message_handler.h"
#include "platform/threads/hubclock.h"

namespace mediaagent {

CAnswerStops& CAnswerStops::instance() {
    static CAnswerStops* stops = new CAnswerStops();  // answers may end on connection threads at exit
    return *stops;
}

CAnswerStops::Clock::time_point CAnswerStops::lapseFrom(Clock::time_point now) {
    return now + std::chrono::seconds(I2::SecuredMessageHandler::maxAgeSeconds());
}

template <typename T>
void CAnswerStops::remember(std::map<std::string, T>& sessions, const std::string& session, T value,
                            Clock::time_point now) {
    std::erase_if(sessions, [now](const auto& kept) { return lapseOf(kept.second) <= now; });
    if (sessions.size() >= kMaxKeptStops) {
        auto oldest = sessions.begin();
        for (auto it = sessions.begin(); it != sessions.end(); ++it)
            if (lapseOf(it->second) < lapseOf(oldest->second)) oldest = it;
        sessions.erase(oldest);
    }
    sessions[session] = std::move(value);
}

int CAnswerStops::stop(const std::string& session, const TAnswerOwner& owner) {
    if (session.empty()) return 0;
    int stopped = 0;
    {
        CHubMutexLock lock(m_mutex);
        auto [from, to] = m_streaming.equal_range(session);
        for (auto it = from; it != to; ++it) {
            if (!it->second->owner.isNamedBy(owner)) continue;
            if (!it->second->stopped) ++stopped;
            it->second->stopped = true;
        }
        // An answer streaming or ended is the one the stop is for, not a request still to come.
        const auto now = CHubClock::real().steadyNow();
        auto answered = m_answered.find(session);
        if (from == to && (answered == m_answered.end() || answered->second <= now))
            remember(m_kept, session, TKept{lapseFrom(now), owner}, now);
    }
    m_changed.notify_all();
    return stopped;
}

void CAnswerStops::holdSessions(std::string prefix, std::chrono::seconds limit) {
    CHubMutexLock lock(m_mutex);
    m_holdPrefix = std::move(prefix);
    m_holdLimit = limit;
}

void CAnswerStops::releaseHolds() {
    {
        CHubMutexLock lock(m_mutex);
        m_holdPrefix.clear();
        m_released = true;
    }
    m_changed.notify_all();
}

CAnswerStops::CAnswer::CAnswer(CAnswerStops& stops, std::string session, TAnswerOwner owner)
    : m_stops(stops), m_session(std::move(session)), m_state(std::make_shared<TStopState>()) {
    m_state->owner = std::move(owner);
    if (m_session.empty()) return;
    CHubMutexLock lock(m_stops.m_mutex);
    m_stops.m_streaming.emplace(m_session, m_state);
    auto kept = m_stops.m_kept.find(m_session);
    if (kept == m_stops.m_kept.end()) return;
    // Another caller's stop under the same session name ends nothing of this answer, and stays kept.
    if (!m_state->owner.isNamedBy(kept->second.owner)) return;
    m_state->stopped = kept->second.lapses > CHubClock::real().steadyNow();
    m_stops.m_kept.erase(kept);
}

CAnswerStops::CAnswer::~CAnswer() {
    if (m_session.empty()) return;
    CHubMutexLock lock(m_stops.m_mutex);
    const auto now = CHubClock::real().steadyNow();
    m_stops.remember(m_stops.m_answered, m_session, lapseFrom(now), now);
    auto [from, to] = m_stops.m_streaming.equal_range(m_session);
    for (auto it = from; it != to; ++it) {
        if (it->second == m_state) {
            m_stops.m_streaming.erase(it);
            break;
        }
    }
}

bool CAnswerStops::CAnswer::stopped() const {
    CHubMutexLock lock(m_stops.m_mutex);
    return m_state->stopped;
}

bool CAnswerStops::CAnswer::holds() const {
    CHubMutexLock lock(m_stops.m_mutex);
    return !m_holdDone && !m_session.empty() && !m_stops.m_holdPrefix.empty() &&
           m_session.rfind(m_stops.m_holdPrefix, 0) == 0;
}

bool CAnswerStops::CAnswer::holdIfAsked(uint64_t itemsServed) {
    if (itemsServed == 0 || !holds()) return stopped();
    CHubMutexLock lock(m_stops.m_mutex);
    m_holdDone = true;
    // The line a test or the tour waits on: the answer is in flight and goes no further until stopped.
    std::printf("mediaagent: session %s held after %llu items\n", m_session.c_str(),
                static_cast<unsigned long long>(itemsServed));
    std::fflush(stdout);
    const bool stopped =
        lock.waitFor(m_stops.m_changed, m_stops.m_holdLimit,
                     [this]() REQUIRES(m_stops.m_mutex) { return m_state->stopped || m_stops.m_released; }) &&
        m_state->stopped;
    if (!stopped) {
        std::printf("mediaagent: session %s released without a stop\n", m_session.c_str());
        std::fflush(stdout);
    }
    return stopped;
}

}  // namespace mediaagent
