// SuperBrowseManager: the planner of one browse session. Built from the task, split once (under the
// configuration cache's lock) into cycles, index and data archive files and master media agents, then
// read by the session's workers. The worker's selections (media agent, v2 database, engine type, stop
// switch) and the indexing-v2 flag may be written and read from any thread after the split: they are
// guarded by the planner's own lock. Everything else is written only while the planner is split.
#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "Db/Proc/archFileByTimeSuperBrowse.h"
#include "Db/Tbl/APP_Application.h"
#include "planning/superbrowse.h"
#include "platform/entities/apptypes.h"
#include "platform/errors/cuxerror.h"
#include "platform/msg/msg_classes.h"
#include "platform/tasks/taskoptions.h"
#include "platform/threads/hubmutex.h"

class ArchiveManagerHM;
class EvMultiEntityRestoreTask;

class SuperBrowseManager {
public:
    // Option bit 50 (taskoption::kExactBrowse) as the manager's callers name it.
    static constexpr uint64_t kOptionExactBrowse = taskoption::kExactBrowse;

    using CycleIterator = std::vector<SuperBrowse>::iterator;
    using ArchiveIterator = std::vector<SuperBrowseArchive>::iterator;

    // Copies the task values planning needs; no database access.
    explicit SuperBrowseManager(EvMultiEntityRestoreTask* task);
    ~SuperBrowseManager();
    SuperBrowseManager(const SuperBrowseManager&) = delete;
    SuperBrowseManager& operator=(const SuperBrowseManager&) = delete;

    // The block-level mount description of a data archive file of a cycle (the worker's
    // getBlockLevelMountXml: exact-time flag, subclient, archive file, app type, cycle from and to,
    // copy precedence, extended option 110). The browse library installs it once at start-up; the
    // planner sits below the worker and cannot call it directly. Without one, cycles carry no mount text.
    using MountXmlProvider = std::function<std::string(bool, unsigned, unsigned long, apptype::EAppType,
                                                       unsigned long, unsigned long, int, bool)>;
    static void setBlockLevelMountXmlProvider(MountXmlProvider provider);

    // ---- planning
    // 0 on success, -1 on failure (getLastErrorCode/getLastError then say why when they can).
    int split(const char* browsePath);
    int split2(const char* browsePath);
    void processCycle(ArchFileByTimeSuperBrowse_t* row);
    int getCyclesForEntity(apptype::EAppType appType, int clientId, int backupSetId, int subclientId,
                           int fromTime, int toTime, int copyPrecedence, const char* path);
    int getIndexing2DbsForBackupSet(apptype::EAppType appType, int clientId, int backupSetId, int subclientId,
                                    int fromTime, int toTime, int copyPrecedence);
    int splitCI(const char* browsePath);
    // Sets both outputs; returns the indexing-v2 switch time of the client when the backward
    // compatibility checks read it, else 0.
    unsigned long long determineBrowseIndexingVersion(bool& indexingV2, apptype::EAppType& idxAppType);

    // ---- cycles and archives (cursors are plain iterators; getLast* is the end marker)
    size_t getCycleCount() const { return m_cycles.size(); }
    CycleIterator getFirstCycle();
    CycleIterator getNextCycle();
    CycleIterator getLastCycle();
    std::vector<SuperBrowse>* getCycles() { return &m_cycles; }
    ArchiveIterator getFirstDataArchive();
    ArchiveIterator getNextDataArchive();
    ArchiveIterator getLastDataArchive();
    ArchiveIterator getFirstIndexArchive();
    ArchiveIterator getNextIndexArchive();
    ArchiveIterator getLastIndexArchive();
    std::vector<SuperBrowseArchive> getDataArchives() const { return m_dataArchives; }
    std::vector<SuperBrowseArchive> getIndexArchives() const { return m_indexArchives; }

    // ---- decisions
    bool isSuperBrowse() const { return m_superBrowseApplied; }
    uint32_t getOldestMa() const { return m_oldestMaVersion; }
    bool isIndexingV2() const;
    void setIndexingV2(bool on);
    apptype::EAppType getIdxAppType() const { return m_idxAppType; }
    bool isExact(uint32_t appId, uint32_t time);
    bool isImage(uint32_t appId, uint32_t time);
    bool canSuperBrowseBeApplied();
    bool shouldBypassContent();
    // The media agents to try as master, in order (a copy).
    std::list<std::string> getSuperBrowseMa();
    // True when a media agent of this version text cannot take a stop request.
    static bool shouldDisableStopBrowse(const std::string& version);
    static CUxError getAppIds(int backupSetId, int appId, std::vector<APP_Application_t>& rows,
                              bool checkIndexLogs);

    // ---- the worker's selections (any thread)
    void selectMediaAgent(const std::string& mediaAgent);
    std::string getSelectedMA() const;
    void selectV2Db(const std::string& dbId);
    std::string getSelectedDbId() const;
    void selectV2DbEngineType(App::IdxDbEngineType type);
    App::IdxDbEngineType getSelectedDbEngineType() const;
    void setDisableStopBrowseFlag(bool on);
    bool getDisableStopBrowseFlag() const;

    // ---- task values
    apptype::EAppType getAppType() const { return m_appType; }
    uint32_t getAppId() const { return m_subclientId; }
    uint32_t getToTime() const { return m_toTime; }
    // The option character at 0..1024, 0 for any other position.
    char getExtendedOption(int position) const;

    // ---- indexing-v2 facts
    bool IsVirtualServerDm2IndexBrowse() const { return m_forcedV2ForContentIndexing; }
    uint32_t GetVirtualServerLatesCIdJobId() const { return m_ciJobId; }
    uint32_t GetVirtualServerLatesCIdJobKMId() const { return m_ciKelmarchId; }
    bool isLastJobDelayCataloged() const { return m_hasCatalogAfile; }
    uint32_t GetMinSPLevelMa() const { return m_minSpLevelMa; }
    bool GetHasCloudLapatopJobs() const { return m_hasCloudLaptopJobs; }

    // ---- what the split asked of the database and the archive manager (for measurements)
    struct TCallCounts {
        uint64_t procedureCalls = 0;       // stored procedures run
        uint64_t archiveManagerCalls = 0;  // archive-manager calls
    };
    TCallCounts getCallCounts() const { return m_callCounts; }

    // ---- errors
    void setLastError(databrowse::BrowseErrorCode code, const std::string& text);
    std::string getLastError() const;
    databrowse::BrowseErrorCode getLastErrorCode() const;

private:
    struct IndexDb;          // one index database of a backup set (v2 look-up)
    struct SplitStatistics;  // seconds per kind of call of the per-subclient path
    struct MediaAgentScan;   // the rows of the v2 look-up for one subclient, read once

    int splitBySubclient();
    int splitSubclient(uint32_t subclient, SplitStatistics& stats);
    // The steps of splitSubclient, in order. The finders return false when the subclient is skipped.
    bool findOldestDataTime(ArchiveManagerHM& archives, uint32_t subclient, SplitStatistics& stats,
                            uint32_t& start);
    bool findLastFileOfEachCycle(ArchiveManagerHM& archives, uint32_t subclient, SplitStatistics& stats,
                                 uint32_t& start, std::vector<ArchFileByTime_t>& files);
    bool findSubclientMediaAgent(ArchiveManagerHM& archives, uint32_t subclient, SplitStatistics& stats,
                                 std::string& mediaAgent);
    void addSubclientCycles(uint32_t subclient, uint32_t start, const std::vector<ArchFileByTime_t>& files,
                            const std::string& mediaAgent);
    int addIndexArchives(uint32_t subclient, uint32_t start, SplitStatistics& stats, std::vector<int>& jobs);
    int addDataArchivesOfJobs(ArchiveManagerHM& archives, uint32_t subclient, uint32_t start,
                              const std::vector<int>& jobs, SplitStatistics& stats);
    // Steps shared by split2, the per-subclient path and splitCI once the cycles are gathered.
    void correctExactFindTimes();
    void sortAndUnique();
    void keepLastCyclePerSubclient(std::string& skippedCycles, std::string& skippedData,
                                   std::string& skippedIndex);
    // Numbers the cycles; the line naming each, to be logged with the archives.
    std::vector<std::string> numberCycles();
    // Logs `lines` and the archive files (and what was skipped) by one write.
    void logArchives(std::vector<std::string> lines, const std::string& skippedCycles,
                     const std::string& skippedData, const std::string& skippedIndex);
    void decideSuperBrowse();
    void setNoCyclesError();
    // The end of split2 and splitCI: the no-cycles error, or the shared steps and the decision.
    int finishSplit(bool lastCycleOnly);
    int gatherEntityCycles(const char* browsePath);
    std::string hostNameOf(uint32_t clientId);
    bool isViewExactOrImage(uint32_t appId, uint32_t time);
    // The v2 look-up of one database: fills `server` and `engine`; -1 ends the call, 1 skips the db.
    int chooseIndexServer(const IndexDb& db, const std::string& backupSetGuid, int appType, int clientId,
                          int backupSetId, int fromTime, int toTime, int copyPrecedence, bool cloudLaptopMode,
                          size_t dbCount, MediaAgentScan& scan, std::string& server, uint32_t& engine);
    // Reads the procedure's rows for the subclient on first use; 0 or the fetch error.
    int scanMediaAgents(MediaAgentScan& scan, int appType, int clientId, int backupSetId, int subclientId,
                        int fromTime, int toTime, int copyPrecedence);
    // Subclients of one mailbox or machine named by the path (empty: no optimisation).
    std::vector<int> optimisedSubclients(apptype::EAppType appType, int backupSetId, const char* path);
    // The version decision's content-indexed VM check; true when it forced v2.
    bool contentIndexedVmCheck(bool& indexingV2, apptype::EAppType& idxAppType);
    void backwardCompatibilityChecks(bool& indexingV2, apptype::EAppType idxAppType, long long& threshold);

    // Task values.
    uint32_t m_backupSetId;
    uint32_t m_subclientId;
    uint32_t m_clientId;
    uint32_t m_fromTime;
    uint32_t m_toTime;
    uint32_t m_copyPrecedence;
    // Results of the split.
    std::vector<SuperBrowse> m_cycles;
    CycleIterator m_cycleCursor;
    std::vector<SuperBrowseArchive> m_indexArchives;
    ArchiveIterator m_indexCursor;
    std::vector<SuperBrowseArchive> m_dataArchives;
    ArchiveIterator m_dataCursor;
    uint64_t m_optionBits;
    apptype::EAppType m_appType;
    uint32_t m_oldestMaVersion = 0xFFFFFFFF;
    std::list<std::string> m_masterMaCandidates GUARDED_BY(m_selectionLock);
    char m_extendedOptions[1025];
    bool m_superBrowseApplied = false;
    bool m_bypassContent = false;
    uint64_t m_taskMediaAgentClientId;
    // The worker's selections.
    mutable CHubMutex m_selectionLock;
    std::string m_selectedMediaAgent GUARDED_BY(m_selectionLock);
    std::string m_selectedDbId GUARDED_BY(m_selectionLock);
    App::IdxDbEngineType m_selectedDbEngineType GUARDED_BY(m_selectionLock) = App::IDX_DB_ENGINE_CTREE;
    std::string m_lastError;
    databrowse::BrowseErrorCode m_lastErrorCode = databrowse::BROWSE_ERR_NONE;
    uint32_t m_localeId;
    bool m_disableStopBrowse GUARDED_BY(m_selectionLock) = false;
    std::map<uint32_t, uint32_t> m_lastFindTimeBySubclient;
    std::map<uint32_t, std::string> m_maHostNameCache;
    std::list<databrowse::EntityWithFilters> m_entities;
    bool m_indexingV2 GUARDED_BY(m_selectionLock) = false;
    apptype::EAppType m_idxAppType{};
    uint32_t m_forceUseIndexType;
    bool m_includeRunningJob;
    uint32_t m_forcedDbEngineType;
    bool m_forcedV2ForContentIndexing = false;
    uint32_t m_instanceId;
    bool m_hasCatalogAfile = false;
    uint32_t m_indexServerClientId = 0;
    uint32_t m_ciJobId = 0;
    uint32_t m_ciKelmarchId = 0;
    bool m_userRequest;
    uint32_t m_minSpLevelMa = 0x7FFFFFFF;
    // While cycle rows are gathered: the first cycle of each job, for its data archives' mount text.
    std::unordered_map<uint64_t, size_t> m_firstCycleOfJob;
    TCallCounts m_callCounts;
    bool m_hasCloudLaptopJobs = false;
};

// The client id of the index-server node of a virtual-machine subclient, into `clientId` (left as it
// is when the subclient has no index server).
CUxError GetDm2IndexServerForVSASubclient(int subclientId, int& clientId);

// The backup sets listed under MediaAgent / msBackupsetsWithExchangeOptimization, read once per process
// (also when absent) on first use; read-only afterwards, so any thread may use it.
const std::vector<uint32_t>& backupsetsWithExchangeOptimization();
