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
const typename CAnswerStops::CLapsing<T>::TNoted* CAnswerStops::CLapsing<T>::find(
    const std::string& session) const {
    auto it = m_sessions.find(session);
    return it == m_sessions.end() ? nullptr : &it->second.noted;
}

template <typename T>
void CAnswerStops::CLapsing<T>::erase(const std::string& session) {
    auto it = m_sessions.find(session);
    if (it == m_sessions.end()) return;
    m_byLapse.erase(it->second.byLapse);
    m_sessions.erase(it);
}

template <typename T>
void CAnswerStops::CLapsing<T>::note(const std::string& session, Clock::time_point lapses, T value,
                                     Clock::time_point now) {
    erase(session);
    while (!m_byLapse.empty() && (m_byLapse.begin()->first <= now || m_sessions.size() >= kMaxKeptStops)) {
        m_sessions.erase(m_byLapse.begin()->second);
        m_byLapse.erase(m_byLapse.begin());
    }
    auto byLapse = m_byLapse.emplace(lapses, session);
    m_sessions.emplace(session, TEntry{TNoted{lapses, std::move(value)}, byLapse});
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
        const auto now = m_clock.steadyNow();
        const auto* answered = m_answered.find(session);
        if (from == to && (!answered || answered->lapses <= now))
            m_kept.note(session, lapseFrom(now), TKept{owner}, now);
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
    const auto* kept = m_stops.m_kept.find(m_session);
    if (!kept) return;
    // Another caller's stop under the same session name ends nothing of this answer, and stays kept.
    if (!m_state->owner.isNamedBy(kept->value.owner)) return;
    m_state->stopped = kept->lapses > m_stops.m_clock.steadyNow();
    m_stops.m_kept.erase(m_session);
}

CAnswerStops::CAnswer::~CAnswer() {
    if (m_session.empty()) return;
    CHubMutexLock lock(m_stops.m_mutex);
    const auto now = m_stops.m_clock.steadyNow();
    m_stops.m_answered.note(m_session, lapseFrom(now), true, now);
    auto [from, to] = m_stops.m_streaming.equal_range(m_session);
    for (auto it = from; it != to; ++it) {
        if (it->second == m_state) {
            m_stops.m_streaming.erase(it);
            break;
        }
    }
}

bool CAnswerStops::CAnswer::stopped() const {
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
    const bool stopped = m_stops.m_clock.waitFor(lock, m_stops.m_changed, m_stops.m_holdLimit,
                                                 [this]() REQUIRES(m_stops.m_mutex) {
                                                     return m_state->stopped || m_stops.m_released;
                                                 }) &&
                         m_state->stopped;
    if (!stopped) {
        std::printf("mediaagent: session %s released without a stop\n", m_session.c_str());
        std::fflush(stdout);
    }
    return stopped;
}

}  // namespace mediaagent
