#include "planning/handedover.h"

CHandedOverSessions& CHandedOverSessions::instance() {
    static CHandedOverSessions* sessions = new CHandedOverSessions();  // used by threads ending at exit
    return *sessions;
}

void CHandedOverSessions::dropExpiredLocked() {
    const auto now = std::chrono::steady_clock::now();
    // Kept in the order remembered, which is the order of expiry while the keep stays the same.
    while (!m_order.empty()) {
        auto found = m_sessions.find(m_order.front());
        if (found != m_sessions.end() && found->second.expires > now) break;
        if (found != m_sessions.end()) m_sessions.erase(found);
        m_order.pop_front();
    }
}

void CHandedOverSessions::remember(const std::string& guid, const TSession& session,
                                   std::chrono::seconds keep) {
    if (guid.empty()) return;
    CHubMutexLock lock(m_mutex);
    rememberLocked(guid, session, keep);
}

bool CHandedOverSessions::claim(const std::string& guid, const TSession& session, std::chrono::seconds keep) {
    if (guid.empty()) return false;
    CHubMutexLock lock(m_mutex);
    dropExpiredLocked();
    if (auto found = m_sessions.find(guid);
        found != m_sessions.end() && !found->second.session.owner.isSameCaller(session.owner))
        return false;
    rememberLocked(guid, session, keep);
    return true;
}

void CHandedOverSessions::rememberLocked(const std::string& guid, const TSession& session,
                                         std::chrono::seconds keep) {
    dropExpiredLocked();
    if (auto found = m_sessions.find(guid); found != m_sessions.end()) {
        m_order.erase(found->second.order);
        m_sessions.erase(found);
    }
    while (m_sessions.size() >= kMaxSessions && !m_order.empty()) {
        m_sessions.erase(m_order.front());
        m_order.pop_front();
    }
    m_order.push_back(guid);
    m_sessions[guid] = TEntry{session, std::chrono::steady_clock::now() + keep, std::prev(m_order.end())};
}

bool CHandedOverSessions::find(const std::string& guid, TSession& session) {
    CHubMutexLock lock(m_mutex);
    dropExpiredLocked();
    auto found = m_sessions.find(guid);
    if (found == m_sessions.end()) return false;
    session = found->second.session;
    return true;
}

bool CHandedOverSessions::forget(const std::string& guid) {
    CHubMutexLock lock(m_mutex);
    auto found = m_sessions.find(guid);
    if (found == m_sessions.end()) return false;
    m_order.erase(found->second.order);
    m_sessions.erase(found);
    return true;
}

size_t CHandedOverSessions::size() {
    CHubMutexLock lock(m_mutex);
    dropExpiredLocked();
    return m_sessions.size();
}
