// CHandedOverSessions: the browse sessions BrowseRouter handed to their callers as a prepared request.
// Such a caller reads the answers from the media agent itself, so nothing of the session stays here
// (its worker and record end with the reply); what is kept is who owns the session and which media
// agent answers it, so that a stop of the session can be judged against its owner and sent on, and a
// later request naming the session keeps its owner. Nothing here knows when such a browse ends, so a
// session is kept for its keep (or until its owner stops it). Each owner holds at most its own share:
// past it, her own oldest gives way to her newest, never another's session, and she is never refused
// for her own many browses. Any thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <set>
#include <string>
#include <utility>

#include "planning/confrecord.h"
#include "platform/threads/hubclock.h"
#include "platform/threads/hubmutex.h"

class CHandedOverSessions {
public:
    // Sessions kept at most in all, and of one owner (a few hundred bytes each); how long one is kept by
    // default.
    static constexpr size_t kMaxSessions = 65536;
    static constexpr size_t kMaxSessionsPerOwner = 1024;
    static constexpr std::chrono::seconds kDefaultKeep{3600};

    struct TSession {
        CConfRecord::TOwner owner;
        std::string mediaAgent;  // the media agent's host name (mangled) the prepared request names
    };

    enum class ERemembered {
        kKept,        // remembered, or renewed for its owner
        kOtherOwner,  // the session is kept for another owner: left as it is
        kFull,        // kMaxSessions are kept
    };

    // Ages sessions on `clock`, which outlives this.
    explicit CHandedOverSessions(const CHubClock& clock) : m_clock(clock) {}
    static CHandedOverSessions& instance();

    // Remembers session `guid` for `keep`, or renews it when its owner hands it over again.
    ERemembered remember(const std::string& guid, const TSession& session,
                         std::chrono::seconds keep = kDefaultKeep);
    // The session `guid` when it is remembered and not expired.
    bool find(const std::string& guid, TSession& session);
    // Forgets session `guid`; true when it was remembered.
    bool forget(const std::string& guid);
    size_t size();

private:
    // One share per owner: a user, or for a caller without a user its calling client.
    using TOwnerKey = std::pair<int, unsigned long>;
    static TOwnerKey keyOf(const CConfRecord::TOwner& owner);

    struct TEntry {
        TSession session;
        std::chrono::steady_clock::time_point expires;
        std::multimap<std::chrono::steady_clock::time_point, std::string>::iterator expiry;
    };
    void dropExpiredLocked() REQUIRES(m_mutex);
    void eraseLocked(std::map<std::string, TEntry>::iterator entry) REQUIRES(m_mutex);

    const CHubClock& m_clock;
    CHubMutex m_mutex;
    std::map<std::string, TEntry> m_sessions GUARDED_BY(m_mutex);
    // By expiry: every session is kept from its last hand-over, for the keep it was given then.
    std::multimap<std::chrono::steady_clock::time_point, std::string> m_expiry GUARDED_BY(m_mutex);
    // Each owner's sessions, oldest expiry first.
    using TOwnerSessions = std::set<std::pair<std::chrono::steady_clock::time_point, std::string>>;
    std::map<TOwnerKey, TOwnerSessions> m_perOwner GUARDED_BY(m_mutex);
};
