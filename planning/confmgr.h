// CConfigurationMgr: the process's cache of configuration records, one per browse session GUID, with
// their reference counts and idle ageing. Any thread may call any member. Lock order: the controller's
// worker map, then this cache's lock, then a record's lock; planning code never calls the controller.
// The cache's lock guards the record table only: a session's planning runs outside it, so different
// sessions plan at the same time.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "planning/confrecord.h"
#include "platform/msg/msg_enums.h"
#include "platform/threads/zycriticalsection.h"

class CConfRecordRef;
class EvMultiEntityRestoreTask;

// Why an open failed, handed back with the call so that concurrent opens never read each other's error.
struct TConfError {
    databrowse::BrowseErrorCode code = databrowse::BROWSE_ERR_NONE;
    std::string text;
};

class CConfigurationMgr {
public:
    // How long openConfRef waits for an earlier request of the same session: tries x interval.
    static constexpr unsigned kConflictTries = 60;
    static constexpr unsigned kConflictIntervalMs = 1000;
    // The refusal of a new session while the sessions' record holds as many as it keeps.
    static constexpr const char* kTooManySessionsText = "too many browse sessions are in flight";

    CConfigurationMgr();
    // Deletes every cached record, whatever its count.
    ~CConfigurationMgr();
    CConfigurationMgr(const CConfigurationMgr&) = delete;
    CConfigurationMgr& operator=(const CConfigurationMgr&) = delete;

    // Creates, plans and caches the record of the task's session and takes its first reference: the
    // record's id, or empty on failure with the reason in `error` (a planning that throws is such a
    // failure). While a record of the same session is still referenced, or being planned by another
    // request, the call waits (kConflictTries x kConflictIntervalMs) and never shares it, unless a stop
    // request marked that record stale: then the call is refused at once. A session the session record
    // (CHandedOverSessions) keeps for another caller is refused at once, never waited for or taken
    // over. A cached record of the session that
    // nobody references is deleted at once. The planning itself runs without the cache's lock, and the
    // record it makes belongs to the task's caller. `flag` is always set.
    // With kUnplanned the record plans nothing (a browse that another machine completes, an application
    // mining): its session is claimed, waited for and stopped as any session is.
    enum class EPlanning { kPlanned, kUnplanned };
    std::string openConfRef(EvMultiEntityRestoreTask* task, bool& flag, TConfError& error,
                            EPlanning planning = EPlanning::kPlanned);
    // Same; the reason of a failure also goes to the cache's last error (setLastError).
    std::string openConfRef(EvMultiEntityRestoreTask* task, bool& flag);

    // The cached record `id` (null when none, or for an empty id); with `lock` also takes one reference
    // under the cache's lock. Without a reference the pointer is valid only while someone holds one.
    CConfRecord* getConfRec(const std::string& id, bool lock);
    // The cached record `id` with one reference taken, given back when the holder goes; empty when none.
    CConfRecordRef holdConfRec(const std::string& id);
    // Gives back one reference of record `id`: 0, or -1 when no record has that id or none is held.
    int closeConfRef(const std::string& id);
    // Deletes record `id` when nobody references it; a referenced record is deleted by the release that
    // brings its count to 0.
    void deleteConfRec(const std::string& id);

    // Ages every record by `seconds` of counted time and deletes those idle for a day of it. Returns 0.
    int addTime(unsigned seconds);

    void setLastError(databrowse::BrowseErrorCode code, const std::string& text);
    std::string getLastError();
    databrowse::BrowseErrorCode getLastErrorCode();

    // Number of cached records.
    size_t getRecordCount();
    // Shortens the conflict wait (tries x intervalMs); the defaults are the constants above.
    void setConflictWait(unsigned tries, unsigned intervalMs);
    // For tests: what a request waiting for its session does between two looks, given the interval
    // (empty: sleeps it), so a test knows when a request waits and lets it look again.
    using ConflictPause = std::function<void(unsigned intervalMs)>;
    void setConflictPause(ConflictPause pause);

private:
    friend class CConfRecord;

    enum class TClaim : uint8_t {
        Claimed,  // no record of the session: it is now marked as being planned by the caller
        Shared,   // a nested request joined its outer request's record (one reference taken)
        Busy,     // a record of the session is referenced, or being planned
        Stale,    // the session's record received a stop request
        Foreign,  // the session belongs to another caller
        Full,     // the session cannot be kept: the sessions' record is full
    };
    // One look at the table for an open of `session`: refuses it when the session record keeps it for
    // another caller, deletes its unreferenced leftover, and claims the session when no record of it
    // remains, keeping it its caller's in the session record for `keep`; `seenId` names the record found.
    TClaim claimLocked(EvMultiEntityRestoreTask* task, const std::string& session, std::chrono::seconds keep,
                       std::string& seenId) REQUIRES(m_lock);
    // Looks (claimLocked) until `session` is claimed for the task's caller, waiting while it is busy:
    // true when claimed, or with `shared` when a nested request joined its outer request's record
    // (`seenId`); false with the reason in `error`.
    bool claimSession(EvMultiEntityRestoreTask* task, const std::string& session, std::string& seenId,
                      bool& shared, TConfError& error);

    // Deletes `record` when it is still cached and unreferenced (called by its last release).
    void reapRecord(CConfRecord* record);
    // Erases `record` from the vector and deletes it; the cache's lock is held.
    void eraseLocked(size_t index) REQUIRES(m_lock);

    ZyCriticalSection m_lock;                                // also held by every reference increment
    std::vector<CConfRecord*> m_records GUARDED_BY(m_lock);  // owned, in creation order
    // The thread that opened each record: a nested request it runs joins the record instead of waiting
    // for its own outer request.
    std::map<const CConfRecord*, std::thread::id> m_openedOn GUARDED_BY(m_lock);
    // Sessions whose record is being planned, outside the lock (their caller is the session record's).
    std::set<std::string> m_planning GUARDED_BY(m_lock);
    std::string m_lastError GUARDED_BY(m_lock);
    databrowse::BrowseErrorCode m_lastErrorCode GUARDED_BY(m_lock) = databrowse::BROWSE_ERR_NONE;
    std::atomic<unsigned> m_conflictTries{kConflictTries};
    std::atomic<unsigned> m_conflictIntervalMs{kConflictIntervalMs};
    ConflictPause m_conflictPause GUARDED_BY(m_lock);
};

// The process's one cache. Defined by planning and null until the service's start-up objects assign it
// (g_poConfMgr = new CConfigurationMgr()); never deleted while the library is loaded.
extern CConfigurationMgr* g_poConfMgr;
