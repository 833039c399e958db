#include "platform/net/zynet_session_store.h"

#include <vector>

#include "platform/net/zynet_errors.h"
#include "platform/net/zynet_log.h"
#include "platform/threads/hubclock.h"

CZynSessionStore::CZynSessionStore(const CHubClock& clock)
    : m_clock(clock), m_sweeper(clock, [this] { return sweepIdle(); }) {}

CZynSessionStore::~CZynSessionStore() {
    closeAll();
    if (!m_lent.empty()) zynet::logError("%zu lent network sessions were never returned", m_lent.size());
}

namespace {

// A pool's key as a log line shows it: its parts (machine, service, local name) apart.
std::string keyText(const std::string& key) {
    std::string text = key;
    for (char& c : text)
        if (c == '\n') c = ' ';
    return text;
}

// This side closes a kept session: said once, with why.
void logClosed(const std::string& key, const char* why) {
    zynet::logDebug(0, "kept session to [%s] closed: %s", keyText(key).c_str(), why);
}

}  // namespace

void CZynSessionStore::setLimits(const TLimits& limits) {
    CHubMutexLock lock(m_mutex);
    m_limits = limits;
}

size_t CZynSessionStore::countOf(const std::string& key) const {
    size_t n = 0;
    if (auto it = m_idle.find(key); it != m_idle.end()) n += it->second.size();
    if (auto it = m_connecting.find(key); it != m_connecting.end()) n += it->second;
    for (const auto& [pointer, lent] : m_lent) n += lent.key == key ? 1 : 0;
    return n;
}

size_t CZynSessionStore::idleCount(const std::string& key) const {
    CHubMutexLock lock(m_mutex);
    auto it = m_idle.find(key);
    return it == m_idle.end() ? 0 : it->second.size();
}

CUxError CZynSessionStore::lend(const std::string& key, const Connect& connect, CZyNetwork*& session) {
    session = nullptr;
    std::vector<std::unique_ptr<CZyNetwork>> stale;  // closed outside the lock
    {
        CHubMutexLock lock(m_mutex);
        const auto oldest = m_clock.steadyNow() - std::chrono::seconds(m_limits.idleSeconds);
        auto& idle = m_idle[key];
        while (!idle.empty()) {
            TIdle entry = std::move(idle.back());
            idle.pop_back();
            if (entry.since <= oldest || !entry.session->reusable()) {
                logClosed(key, entry.since <= oldest ? "unused for its limit"
                                                     : "the peer ended it, or sent unasked");
                stale.push_back(std::move(entry.session));
                continue;
            }
            session = entry.session.get();
            m_lent[session] = TLent{key, std::move(entry.session)};
            return CUxError::Success();
        }
        if (m_limits.maxSessions != 0 && countOf(key) >= m_limits.maxSessions)
            return zynet::makeError(ZYNET_E_REFUSED, "CZynSessionStore::lend",
                                    "session limit reached for " + key);
        ++m_connecting[key];
    }

    auto fresh = std::make_unique<CZyNetwork>(m_clock);
    CUxError error = connect(*fresh);
    CHubMutexLock lock(m_mutex);
    if (--m_connecting[key] == 0) m_connecting.erase(key);
    if (error.IsError()) return error;
    session = fresh.get();
    m_lent[session] = TLent{key, std::move(fresh)};
    return CUxError::Success();
}

CUxError CZynSessionStore::takeBack(CZyNetwork*& session) {
    std::unique_ptr<CZyNetwork> closing;  // closed outside the lock
    bool kept = false;
    CHubClock::Steady::time_point expires;
    {
        CHubMutexLock lock(m_mutex);
        auto it = m_lent.find(session);
        if (session == nullptr || it == m_lent.end())
            return zynet::makeError(ZYNET_E_BAD_ARGUMENT, "CZynSessionStore::takeBack",
                                    "not a session of this pool");
        TLent lent = std::move(it->second);
        m_lent.erase(it);
        session->watchCancel(nullptr);  // its borrower's signal ends with the loan
        session = nullptr;
        auto& idle = m_idle[lent.key];
        const bool reusable = lent.session->reusable();
        if (reusable && idle.size() < m_limits.maxIdlePerKey) {
            const auto now = m_clock.steadyNow();
            idle.push_back(TIdle{std::move(lent.session), now});
            kept = true;
            expires = now + std::chrono::seconds(m_limits.idleSeconds);
        } else {
            if (lent.session->IsConnected())
                logClosed(lent.key, reusable ? "more are kept idle than the limit"
                                             : "given back with a message under way");
            closing = std::move(lent.session);
        }
    }
    if (kept) m_sweeper.due(expires);
    return CUxError::Success();
}

std::optional<CHubClock::Steady::time_point> CZynSessionStore::sweepIdle() {
    std::vector<std::unique_ptr<CZyNetwork>> closing;  // closed outside the lock
    CHubMutexLock lock(m_mutex);
    const auto limit = std::chrono::seconds(m_limits.idleSeconds);
    const auto now = m_clock.steadyNow();
    std::optional<CHubClock::Steady::time_point> next;
    for (auto it = m_idle.begin(); it != m_idle.end();) {
        auto& idle = it->second;  // oldest at the front
        while (!idle.empty() && idle.front().since + limit <= now) {
            logClosed(it->first, "unused for its limit");
            closing.push_back(std::move(idle.front().session));
            idle.pop_front();
        }
        if (!idle.empty() && (!next || idle.front().since + limit < *next)) next = idle.front().since + limit;
        it = idle.empty() ? m_idle.erase(it) : std::next(it);
    }
    return next;
}

void CZynSessionStore::closeAll() {
    std::map<std::string, std::deque<TIdle>> idle;  // closed outside the lock
    CHubMutexLock lock(m_mutex);
    idle.swap(m_idle);
    for (const auto& [key, sessions] : idle)
        for (const TIdle& kept : sessions)
            if (kept.session->IsConnected()) logClosed(key, "its pool was closed");
    // A lent session may be in use: it is only shut (its calls fail) and closed when it comes back.
    for (auto& [pointer, lent] : m_lent) lent.session->shutdown();
}
