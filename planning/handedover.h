// CHandedOverSessions: the one record of every browse session, from its first browse to the end of its
// keep (nBrowseWorkerIdleLimitSec), whatever road it came by: who owns it (user and calling machine) and
// the media agent its latest prepared request was handed to while that may still answer. It is the one
// keeper of a session's owner, and TSessionOwner::isSameCaller the one rule of who that is: BrowseRouter,
// the Hubmaster's entry point (through the configuration cache, which claims a session here when it
// plans it) and every stop ask it, and nothing else keeps an owner: during its keep nobody but its owner
// browses under an id, and a stop is judged against its owner and sent on to that agent, after a stop or
// an end as before it. Its running browses are the configuration cache's; what a stop finds running is
// read there.
// Each owner holds at most its own share in full: past it, her own oldest gives way to her newest,
// never another's session, and she is never refused for her own many browses. One that gave way may
// still be browsed at its media agent, so its owner and agent stay known, compactly, for the rest of its
// keep: it stays hers to stop and nobody else's to take. Any thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/threads/hubclock.h"
#include "platform/threads/hubmutex.h"

class EvMultiEntityRestoreTask;

// Who a browse session belongs to: the caller of its first request.
struct TSessionOwner {
    int userId = 0;                    // the user, 0 for a caller without one
    unsigned long callerClientId = 0;  // the proven calling client of a caller without a user
    long clientId = 0;     // the client its latest browse reads (whose administrators may stop it)
    std::string userName;  // the user's name, as the session's requests name it

    // The caller of `task`: its user, its proven calling client and the client it browses.
    static TSessionOwner of(EvMultiEntityRestoreTask& task);
    // Who the caller is, for telling callers apart: a user by her id, a caller without one by its
    // calling client.
    std::pair<int, unsigned long> callerKey() const {
        return userId > 0 ? std::pair<int, unsigned long>{userId, 0}
                          : std::pair<int, unsigned long>{0, callerClientId};
    }
    // The same caller: the same user, or for callers without one the same calling client.
    bool isSameCaller(const TSessionOwner& other) const { return callerKey() == other.callerKey(); }
};

class CHandedOverSessions {
public:
    // The refusal of a browse under a session id another caller holds: it names nobody, and says what to
    // do instead.
    static std::string inUseText(const std::string& guid) {
        return "The browse session [" + guid +
               "] is in use by another caller; browse under a session id of your own";
    }

    // Sessions kept at most in all, and of one owner (a few hundred bytes each); how long one is kept by
    // default.
    static constexpr size_t kMaxSessions = 65536;
    static constexpr size_t kMaxSessionsPerOwner = 1024;
    static constexpr std::chrono::seconds kDefaultKeep{3600};
    // Sessions that gave way kept at most (16 bytes each): a caller handing over 2,500 a second past her
    // share (more than the load benchmark reaches) for the default keep. Beyond it the earliest go.
    static constexpr size_t kMaxGivenWay = 2500 * 3600;

    struct TSession {
        TSessionOwner owner;
        // The media agent's host name (mangled) its latest prepared request names, for the rest of the
        // keep: every stop tells it ("": none handed over, or its caller never got the request).
        std::string mediaAgent;
    };

    enum class ERemembered {
        kKept,        // remembered, or renewed for its owner
        kOtherOwner,  // the session is kept for another owner: left as it is
        kFull,        // kMaxSessions are kept
    };

    // Ages sessions on `clock`, which outlives this (the process's instance: the real clock, until a test
    // restarts it on its own).
    explicit CHandedOverSessions(const CHubClock& clock = CHubClock::real())
        : m_clock(&clock), m_epoch(clock.steadyNow()) {}
    static CHandedOverSessions& instance();
    // The keep of a session the registry gives (EventManager nBrowseWorkerIdleLimitSec: as long as an
    // asynchronous browse may wait for its media agent).
    static std::chrono::seconds keepFromRegistry();

    // Remembers session `guid` for `keep`, or renews it when its owner browses it again; a browse with
    // no media agent of its own (`session.mediaAgent` empty) leaves the one an earlier prepared request
    // of the session was handed to.
    ERemembered remember(const std::string& guid, const TSession& session,
                         std::chrono::seconds keep = kDefaultKeep);
    // The session `guid` when it is remembered and not expired.
    bool find(const std::string& guid, TSession& session);
    // True when the session `guid` is kept for a caller other than `who`.
    bool heldByOther(const std::string& guid, const TSessionOwner& who);
    // The caller of `guid` never got its prepared request, so no agent answers it: the session stays
    // its owner's, with no agent left to tell. True when it had one.
    bool endHandOver(const std::string& guid);
    // Forgets session `guid`; true when it was remembered.
    bool forget(const std::string& guid);
    // Forgets every session and ages them on `clock` from now on (tests).
    void restart(const CHubClock& clock);
    // Sessions kept in full (those that gave way not counted).
    size_t size();

private:
    // One share per owner: a user, or for a caller without a user its calling client.
    using TOwnerKey = std::pair<int, unsigned long>;

    struct TEntry {
        TSession session;
        std::chrono::steady_clock::time_point expires;
        std::multimap<std::chrono::steady_clock::time_point, std::string>::iterator expiry;
    };
    void dropExpiredLocked() REQUIRES(m_mutex);
    void eraseLocked(std::map<std::string, TEntry>::iterator entry) REQUIRES(m_mutex);

    // A session that gave way: its id by a 64-bit hash (ids that share one are not told apart: at the
    // bound, one new id in 2,000 billion), its owner and agent as an index into m_givers (few: the callers
    // past their share, by agent), and when its keep ends, in seconds from m_epoch. They are kept in
    // generations of at most a minute's worth, each dropped whole once all of its keeps have ended: the
    // open one in a hash table, the closed ones sorted by id.
    static constexpr uint32_t kNoGiver = UINT32_MAX;
    struct TGivenWay {
        uint64_t id = 0;
        uint32_t giver = kNoGiver;  // kNoGiver: forgotten since (stopped, or handed over again)
        uint32_t lapses = 0;
        bool operator<(const TGivenWay& other) const { return id < other.id; }
    };
    struct TGeneration {
        uint32_t lapses = 0;  // the latest of its sessions'
        std::vector<TGivenWay> sorted;
    };
    using TGiverKey = std::tuple<int, unsigned long, long, std::string, std::string>;
    struct TGiver {
        TSession session;
        size_t uses = 0;
    };
    static uint64_t hashOf(const std::string& guid);
    // A keep's end is rounded up, the time now down: a session is never forgotten before its keep ends.
    uint32_t secondsFromEpoch(std::chrono::steady_clock::time_point at, bool roundUp) const REQUIRES(m_mutex);
    void giveWayLocked(std::map<std::string, TEntry>::iterator entry) REQUIRES(m_mutex);
    // The record of the session `id` that gave way, while its keep lasts, or null; `now` in seconds from
    // m_epoch.
    TGivenWay* findGivenWayLocked(uint64_t id, uint32_t now) REQUIRES(m_mutex);
    // Forgets every record of `id`; true when there was one.
    bool forgetGivenWayLocked(uint64_t id, uint32_t now) REQUIRES(m_mutex);
    static TGiverKey giverKeyOf(const TSession& session);
    // The index of the giver of `session`, with one more use.
    uint32_t acquireGiverLocked(const TSession& session) REQUIRES(m_mutex);
    void releaseGiverLocked(uint32_t giver) REQUIRES(m_mutex);
    void closeOpenGenerationLocked() REQUIRES(m_mutex);
    void dropGenerationLocked() REQUIRES(m_mutex);

    CHubMutex m_mutex;
    const CHubClock* m_clock GUARDED_BY(m_mutex);
    std::map<std::string, TEntry> m_sessions GUARDED_BY(m_mutex);
    // By expiry: every session is kept from its last hand-over, for the keep it was given then.
    std::multimap<std::chrono::steady_clock::time_point, std::string> m_expiry GUARDED_BY(m_mutex);
    // Each owner's sessions, oldest expiry first.
    using TOwnerSessions = std::set<std::pair<std::chrono::steady_clock::time_point, std::string>>;
    std::map<TOwnerKey, TOwnerSessions> m_perOwner GUARDED_BY(m_mutex);

    std::chrono::steady_clock::time_point m_epoch GUARDED_BY(m_mutex);
    std::unordered_map<uint64_t, TGivenWay> m_openGivenWay GUARDED_BY(m_mutex);
    std::chrono::steady_clock::time_point m_openedAt GUARDED_BY(m_mutex);
    uint32_t m_openLapses GUARDED_BY(m_mutex) = 0;
    std::deque<TGeneration> m_closedGivenWay GUARDED_BY(m_mutex);  // oldest first
    size_t m_givenWayCount GUARDED_BY(m_mutex) = 0;
    std::vector<TGiver> m_givers GUARDED_BY(m_mutex);
    std::map<TGiverKey, uint32_t> m_giverIndex GUARDED_BY(m_mutex);
    std::vector<uint32_t> m_freeGivers GUARDED_BY(m_mutex);
};
