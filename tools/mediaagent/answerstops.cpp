#include "tools/mediaagent/answerstops.h"

#include <cstdio>

#include "platform/log/logtext.h"
#include "platform/threads/hubclock.h"

namespace mediaagent {

CAnswerStops& CAnswerStops::instance() {
    static CAnswerStops* stops = new CAnswerStops();  // answers may end on connection threads at exit
    return *stops;
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
}

CAnswerStops::CAnswer::~CAnswer() {
    if (m_session.empty()) return;
    CHubMutexLock lock(m_stops.m_mutex);
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
    logtext::printLine(stdout, "mediaagent: session %s held after %llu items", m_session.c_str(),
                       static_cast<unsigned long long>(itemsServed));
    const bool stopped = m_stops.m_clock.waitFor(lock, m_stops.m_changed, m_stops.m_holdLimit,
                                                 [this]() REQUIRES(m_stops.m_mutex) {
                                                     return m_state->stopped || m_stops.m_released;
                                                 }) &&
                         m_state->stopped;
    if (!stopped) {
        logtext::printLine(stdout, "mediaagent: session %s released without a stop", m_session.c_str());
    }
    return stopped;
}

}  // namespace mediaagent
