// CHandedOverSessions: the browse sessions BrowseRouter handed to their callers as a prepared request.
// Such a caller reads the answers from the media agent itself, so nothing of the session stays here
// (its worker and record end with the reply); what is kept is who owns the session and which media
// agent answers it, so that a stop of the session can be judged against its owner and sent on, and a
// later request naming the session keeps its owner. Bounded in count and time. Any thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <list>
#include <map>
#include <string>

#include "planning/confrecord.h"
#include "platform/threads/hubmutex.h"

class CHandedOverSessions {
public:
    // Sessions kept at most (the oldest giving way), and how long one is kept by default.
    static constexpr size_t kMaxSessions = 4096;
    static constexpr std::chrono::seconds kDefaultKeep{3600};

    struct TSession {
        CConfRecord::TOwner owner;
        std::string mediaAgent;  // the media agent's host name (mangled) the prepared request names
    };

    static CHandedOverSessions& instance();

    // Remembers (or renews) session `guid` for `keep`.
    void remember(const std::string& guid, const TSession& session, std::chrono::seconds keep = kDefaultKeep);
    // Remembers session `guid` as remember does, unless it is remembered for another owner (false).
    bool claim(const std::string& guid, const TSession& session, std::chrono::seconds keep = kDefaultKeep);
    // The session `guid` when it is remembered and not expired.
    bool find(const std::string& guid, TSession& session);
    // Forgets session `guid`; true when it was remembered.
    bool forget(const std::string& guid);
    size_t size();

private:
    struct TEntry {
        TSession session;
        std::chrono::steady_clock::time_point expires;
        std::list<std::string>::iterator order;
    };
    void dropExpiredLocked() REQUIRES(m_mutex);
    void rememberLocked(const std::string& guid, const TSession& session, std::chrono::seconds keep)
        REQUIRES(m_mutex);

    CHubMutex m_mutex;
    std::map<std::string, TEntry> m_sessions GUARDED_BY(m_mutex);
    std::list<std::string> m_order GUARDED_BY(m_mutex);  // oldest remembered first
};
