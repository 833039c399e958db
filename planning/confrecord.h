// CConfRecord: the cached, reference-counted configuration of one browse session (keyed by its session
// GUID): the planning result, the workers browsing in it and their media agents, the stop (stale) and
// end-user erase flags, the caller's token, and the path expansion of a classic browse. Whose session it
// is, is the session record's (CHandedOverSessions), which outlives this.
// Any thread. References are taken only through CConfigurationMgr (under its lock); holders give them
// back with unlockConfiguration and must not touch the record afterwards.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>

#include "platform/msg/msg_enums.h"
#include "platform/threads/zycriticalsection.h"

class CConfiguration;
class CConfigurationMgr;
class EvMultiEntityRestoreTask;
class FSSubclientDirlist;
struct TBrowseTask;

class CConfRecord {
public:
    // Idle and used limits of addSeconds, in seconds.
    static constexpr uint32_t kIdleLimitSeconds = 86400;
    static constexpr uint32_t kLongUseSeconds = 14400;

    CConfRecord();
    virtual ~CConfRecord();
    CConfRecord(const CConfRecord&) = delete;
    CConfRecord& operator=(const CConfRecord&) = delete;

    // Plans the session of `task` (CConfiguration::init); 0, or -1 with the last error set.
    int init(EvMultiEntityRestoreTask* task);
    // Records the session of `task` for a browse that plans nothing (an application mining, which its
    // media agent's mining service completes): its workers, references and stop are any session's, its
    // configuration holds nothing. 0, or -1.
    int initUnplanned(EvMultiEntityRestoreTask* task);

    // Takes one reference; the configuration, or null (and no reference) when not initialised.
    // Called by CConfigurationMgr only, under its lock.
    CConfiguration* lockConfiguration();
    // Gives one reference back. 0; -1 (logged, nothing changes) when no reference is held or the record
    // is not initialised. A record marked for deletion is deleted by the release that brings its
    // count to 0, so the caller must not touch the record after this call.
    int unlockConfiguration();

    // Ages the record by `seconds` of real time: -1 when it has been idle (count 0) for at least
    // kIdleLimitSeconds and is to be deleted, else 0. Called by the cache under its lock.
    int addSeconds(unsigned seconds);
    int pleaseDie();

    bool IsReloadRequiredForWBA(EvMultiEntityRestoreTask* task);
    // Same, non-empty browse session GUID as the record's id.
    bool isSuitableFor(EvMultiEntityRestoreTask* task);
    bool IsIndexingV2(std::string& dbId, std::string& mediaAgent, unsigned& appType,
                      App::IdxDbEngineType& engineType, unsigned long& idxAppType);

    // Workers browsing in the session and their media agents (worker id -> media-agent name).
    void insertWorkerInConf(std::string workerId);
    void updateWorkerInConf(std::string workerId, std::string mediaAgent);
    void removeWorkerFromConf(std::string workerId);
    std::map<std::string, std::string> getWorkersToMaMap();
    // Every media agent a worker of the session has named, those of workers gone since included.
    std::set<std::string> getAskedAgents();
    bool areAllWorkersCompleted();

    void setStaleFlag() { m_stale.store(true); }
    bool getStaleFlag() const { return m_stale.load(); }
    void setEndUserEraseEnabled(bool enabled) { m_endUserEraseEnabled.store(enabled); }
    bool getEndUserEraseEnabled() const { return m_endUserEraseEnabled.load(); }
    void setAuthToken(std::string token);
    std::string getAuthToken();
    void setFilterCheck(int check) { m_filterCheck.store(check); }
    int getFilterCheck() const { return m_filterCheck.load(); }

    void setLastError(databrowse::BrowseErrorCode code, const std::string& text);
    std::string getLastError();
    databrowse::BrowseErrorCode getLastErrorCode();

    // The id is written once by init, before the record is cached, and never changes afterwards.
    std::string getId() const { return m_id; }
    unsigned getRefCount();
    // The session's configuration (null before init); valid while the caller holds a reference.
    CConfiguration* getConfiguration() const { return m_configuration; }
    // The lock of the planner's shared state (its cycle list and the workers' selections): a worker of
    // the session holds it while it reads or changes them. Taken after the worker's lock, alone.
    ZyCriticalSection* getPlanLock() { return &m_planLock; }

    // Completes `task` from the session's planning result, or, for a classic browse, finds the subclient
    // of `path` and fills the task's subclient paths. 0 or -1.
    int setBrowseTaskEx(char* path, TBrowseTask& task);
    int extractDestPaths(FSSubclientDirlist* dirlist, TBrowseTask& task);

private:
    friend class CConfigurationMgr;

    // Marks the record for deletion by the release that brings its count to 0 (through `owner`).
    // True when the count is 0 already: the caller, holding the cache's lock, deletes it at once.
    bool markForDeletion(CConfigurationMgr* owner);

    CConfiguration* m_configuration = nullptr;  // owned; set once by init
    std::string m_id;                           // written by init only

    ZyCriticalSection m_recordLock;
    uint32_t m_refCount GUARDED_BY(m_recordLock) = 0;
    uint32_t m_idleSeconds GUARDED_BY(m_recordLock) = 0;
    uint32_t m_usedSeconds GUARDED_BY(m_recordLock) = 0;
    // Set by markForDeletion: deletes the record at count 0. Written under m_recordLock and the cache's
    // lock; the cache reads it under its own.
    CConfigurationMgr* m_deleteBy = nullptr;

    std::atomic<int> m_filterCheck{-1};  // -1 not checked, then 1 (filters) or 0
    std::string m_lastError GUARDED_BY(m_recordLock);
    databrowse::BrowseErrorCode m_lastErrorCode GUARDED_BY(m_recordLock) = databrowse::BROWSE_ERR_NONE;

    ZyCriticalSection m_workersLock;  // taken alone
    std::map<std::string, std::string> m_workers GUARDED_BY(m_workersLock);
    std::set<std::string> m_askedAgents GUARDED_BY(m_workersLock);

    ZyCriticalSection m_planLock;  // guards the planner's cycle list and selections once planned

    std::atomic<bool> m_stale{false};
    std::atomic<bool> m_endUserEraseEnabled{false};
    ZyCriticalSection m_tokenLock;  // taken alone
    std::string m_authToken GUARDED_BY(m_tokenLock);
};

// One reference of a configuration record, given back once (unlockConfiguration): when the scope is
// left, however it is left, or earlier through release(). Move-only; a moved-from reference gives back
// nothing. CConfigurationMgr::holdConfRec hands them out.
class CConfRecordRef {
public:
    CConfRecordRef() = default;
    // Adopts a reference the caller took (getConfRec(id, true), or the first one openConfRef takes).
    explicit CConfRecordRef(CConfRecord* record) : m_record(record) {}
    CConfRecordRef(CConfRecordRef&& other) noexcept : m_record(std::exchange(other.m_record, nullptr)) {}
    CConfRecordRef& operator=(CConfRecordRef&& other) noexcept {
        if (this != &other) {
            release();
            m_record = std::exchange(other.m_record, nullptr);
        }
        return *this;
    }
    CConfRecordRef(const CConfRecordRef&) = delete;
    CConfRecordRef& operator=(const CConfRecordRef&) = delete;
    ~CConfRecordRef() { release(); }

    CConfRecord* get() const { return m_record; }
    CConfRecord* operator->() const { return m_record; }
    explicit operator bool() const { return m_record != nullptr; }
    // Gives the reference back now; the record may be deleted by it. unlockConfiguration's result, 0
    // when none is held.
    int release() { return m_record ? std::exchange(m_record, nullptr)->unlockConfiguration() : 0; }
    // Hands the reference on to whoever gives it back later (a request that keeps its record).
    CConfRecord* keep() { return std::exchange(m_record, nullptr); }

private:
    CConfRecord* m_record = nullptr;
};
