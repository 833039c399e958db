#include "planning/handedover.h"

CHandedOverSessions& CHandedOverSessions::instance() {
    static CHandedOverSessions* sessions =
        new CHandedOverSessions(CHubClock::real());  // used by threads ending at exit
    return *sessions;
}

CHandedOverSessions::TOwnerKey CHandedOverSessions::keyOf(const CConfRecord::TOwner& owner) {
    return owner.userId > 0 ? TOwnerKey{owner.userId, 0} : TOwnerKey{0, owner.callerClientId};
}

void CHandedOverSessions::eraseLocked(std::map<std::string, TEntry>::iterator entry) {
    auto share = m_perOwner.find(keyOf(entry->second.session.owner));
    if (share != m_perOwner.end()) {
        share->second.erase({entry->second.expires, entry->first});
        if (share->second.empty()) m_perOwner.erase(share);
    }
    m_expiry.erase(entry->second.expiry);
    m_sessions.erase(entry);
}

void CHandedOverSessions::dropExpiredLocked() {
    const auto now = m_clock.steadyNow();
    while (!m_expiry.empty() && m_expiry.begin()->first <= now) {
        auto found = m_sessions.find(m_expiry.begin()->second);
        if (found == m_sessions.end()) {
            m_expiry.erase(m_expiry.begin());
            continue;
        }
        eraseLocked(found);
    }
}

CHandedOverSessions::ERemembered CHandedOverSessions::remember(const std::string& guid,
                                                               const TSession& session,
                                                               std::chrono::seconds keep) {
    if (guid.empty()) return ERemembered::kKept;
    CHubMutexLock lock(m_mutex);
    dropExpiredLocked();
    const TOwnerKey owner = keyOf(session.owner);
    if (auto found = m_sessions.find(guid); found != m_sessions.end()) {
        if (keyOf(found->second.session.owner) != owner) return ERemembered::kOtherOwner;
        eraseLocked(found);
    }
    // The owner's own oldest gives way to its newest: only that owner's sessions are ever forgotten, and
    // a busy caller is never refused for her own many browses.
    if (auto share = m_perOwner.find(owner);
        share != m_perOwner.end() && share->second.size() >= kMaxSessionsPerOwner)
        eraseLocked(m_sessions.find(share->second.begin()->second));
    if (m_sessions.size() >= kMaxSessions) return ERemembered::kFull;
    const auto expires = m_clock.steadyNow() + keep;
    m_perOwner[owner].emplace(expires, guid);
    TEntry& entry = m_sessions[guid];
    entry.session = session;
    entry.expires = expires;
    entry.expiry = m_expiry.emplace(expires, guid);
    return ERemembered::kKept;
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
    eraseLocked(found);
    return true;
}

size_t CHandedOverSessions::size() {
    CHubMutexLock lock(m_mutex);
    dropExpiredLocked();
    return m_sessions.size();
}
