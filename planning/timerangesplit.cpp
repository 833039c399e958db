// The time-range split: the browse range becomes cycles, index and data archive files and master media
// agents, by the stored procedure per entity (split2), by the archive manager per subclient (split with
// nDONOTUSESUPERBROWSESP), or for a content-indexing request (splitCI); then the super-browse decision.
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <map>
#include <unordered_set>

#include "fbDebug/fbdebug.h"
#include "framework/browseutils.h"
#include "planning/superbrowsemanager.h"
#include "platform/archive/archivemanagerhm.h"
#include "platform/config/zyformat.h"
#include "platform/config/zyplatforminfo.h"
#include "platform/db/dbtable.h"
#include "platform/entities/apptypes.h"
#include "platform/entities/clientapplist.h"
#include "platform/entities/zysim.h"
#include "platform/errors/evmessagecontainer.h"
#include "platform/errors/evmessageids.h"
#include "platform/threads/hubclock.h"

namespace {

constexpr const char* kTag = "FBHMSUPERMGR";
// "No backups found for the browse time range."

bool isEverySubclient(uint32_t subclientId) {
    return subclientId == 0 || subclientId == 0xFFFFFFFF || subclientId == 0x7FFFFFFF;
}

// The entity's ids, each 0 when not set.
void entityIds(databrowse::EntityWithFilters& entity, int& clientId, int& backupSetId, int& subclientId) {
    using E = ZyEntities::GenericEntity::f;
    clientId = backupSetId = subclientId = 0;
    CNMessageBase* e = entity.getObjectAccessor(databrowse::EntityWithFilters::f::entity, false);
    if (!e) return;
    clientId = static_cast<int>(e->getint64(E::clientId));
    backupSetId = static_cast<int>(e->getint64(E::backupsetId));
    subclientId = static_cast<int>(e->getint64(E::subclientId));
}

// Seconds spent in one kind of call.
class CallTimer {
public:
    explicit CallTimer(double& total) : m_total(total), m_start(CHubClock::real().steadyNow()) {}
    ~CallTimer() {
        m_total += std::chrono::duration<double>(CHubClock::real().steadyNow() - m_start).count();
    }

private:
    double& m_total;
    std::chrono::steady_clock::time_point m_start;
};

}  // namespace

struct SuperBrowseManager::SplitStatistics {
    double latest = 0;
    double each = 0;
    double ma = 0;
    double data = 0;
    double index = 0;
};

int SuperBrowseManager::split(const char* browsePath) {
    unsigned int noSp = 0;
    ZYPlatformInfo::getNumber("EventManager", "nDONOTUSESUPERBROWSESP", &noSp);
    if (noSp == 0) return split2(browsePath);
    return splitBySubclient();
}

int SuperBrowseManager::gatherEntityCycles(const char* browsePath) {
    getCyclesForEntity(m_appType, 0, static_cast<int>(m_backupSetId), static_cast<int>(m_subclientId),
                       static_cast<int>(m_fromTime), static_cast<int>(m_toTime),
                       static_cast<int>(m_copyPrecedence), browsePath);
    for (databrowse::EntityWithFilters& entity : m_entities) {
        int clientId = 0, backupSetId = 0, subclientId = 0;
        entityIds(entity, clientId, backupSetId, subclientId);
        size_t before = m_cycles.size();
        getCyclesForEntity(m_appType, clientId, backupSetId, subclientId, static_cast<int>(m_fromTime),
                           static_cast<int>(m_toTime), static_cast<int>(m_copyPrecedence), browsePath);
        auto* paths = entity.getlistobject(databrowse::EntityWithFilters::f::mappedPaths, false);
        if (!paths || paths->empty()) continue;
        std::vector<databrowse::MappedBrowsePath> mapped;
        mapped.reserve(paths->size());
        for (const CNMessageBase& p : *paths) {
            databrowse::MappedBrowsePath m;
            static_cast<CNMessageBase&>(m) = p;
            mapped.push_back(m);
        }
        for (size_t i = before; i < m_cycles.size(); ++i) m_cycles[i].mappedPaths = mapped;
    }
    return 0;
}

int SuperBrowseManager::split2(const char* browsePath) {
    CBrowseLog log(kTag);
    log.debugLvl(0, "splitting browse range [%d] to [%d] for backupset [%d] subclient [%d] into cycles",
                 static_cast<int>(m_fromTime), static_cast<int>(m_toTime), static_cast<int>(m_backupSetId),
                 static_cast<int>(m_subclientId));
    bool v2 = false;
    apptype::EAppType idxAppType{};
    determineBrowseIndexingVersion(v2, idxAppType);
    setIndexingV2(v2);
    m_idxAppType = idxAppType;
    if (v2) {
        log.debugLvl(0, "*******************Using new Indexing layer*******************");
    } else if (getExtendedOption(88) == '1' && m_appType == apptype::kNas) {
        log.debugLvl(0, "super browse is disabled for live browse");
        m_superBrowseApplied = false;
        return 0;
    }

    bool v2LookupFailed = false;
    if (v2) {
        if (getIndexing2DbsForBackupSet(m_appType, 0, static_cast<int>(m_backupSetId),
                                        static_cast<int>(m_subclientId), static_cast<int>(m_fromTime),
                                        static_cast<int>(m_toTime),
                                        static_cast<int>(m_copyPrecedence)) != 0) {
            log.debugLvl(0, "Failed to get Indexing2 Dbs for backupset for browse time range [%d] to [%d]",
                         static_cast<int>(m_fromTime), static_cast<int>(m_toTime));
            v2LookupFailed = true;
        }
    } else {
        gatherEntityCycles(browsePath);
    }

    if (m_cycles.empty() && v2LookupFailed) {
        // The backups may well exist: the index databases could not be found, which is not
        // "nothing to browse".
        char text[256];
        snprintf(text, sizeof(text),
                 "Failed to find the index databases of backupset [%u] for browse time range [%u] to [%u]",
                 m_backupSetId, m_fromTime, m_toTime);
        setLastError(databrowse::BROWSE_ERR_REQUEST_PROCESSING, text);
        log.debugLvl(0, "%s", text);
        return -1;
    }
    return finishSplit(m_appType != apptype::kExchangeMailboxClassic && (m_optionBits & 0x18) == 0);
}

int SuperBrowseManager::finishSplit(bool lastCycleOnly) {
    CBrowseLog log(kTag);
    if (m_cycles.empty()) {
        setNoCyclesError();
        log.debugLvl(0, "No backup cycles found for browse time range [%d] to [%d]",
                     static_cast<int>(m_fromTime), static_cast<int>(m_toTime));
        return -1;
    }
    correctExactFindTimes();
    sortAndUnique();
    std::string skippedCycles, skippedData, skippedIndex;
    if (lastCycleOnly) keepLastCyclePerSubclient(skippedCycles, skippedData, skippedIndex);
    logArchives(numberCycles(), skippedCycles, skippedData, skippedIndex);
    decideSuperBrowse();
    return 0;
}

int SuperBrowseManager::splitCI(const char* browsePath) {
    CBrowseLog log(kTag);
    log.debugLvl(0, "splitting browse range [%d] to [%d] for backupset [%d] subclient [%d] into cycles",
                 static_cast<int>(m_fromTime), static_cast<int>(m_toTime), static_cast<int>(m_backupSetId),
                 static_cast<int>(m_subclientId));
    setIndexingV2(false);
    gatherEntityCycles(browsePath);
    // App type 78 keeps only the last cycle even when every cycle is asked for.
    return finishSplit(m_appType == apptype::kSharePoint ||
                       (m_appType != apptype::kExchangeMailboxClassic && (m_optionBits & 0x18) == 0));
}

void SuperBrowseManager::setNoCyclesError() {
    EvMessageContainer messages;
    messages.SetMessageID(static_cast<int>(evmsg::kNoBackupsFound), true);
    setLastError(databrowse::BROWSE_ERR_NOTHING_TO_BROWSE, getErrorMsgContainer(messages, m_localeId));
}

void SuperBrowseManager::processCycle(ArchFileByTimeSuperBrowse_t* row) {
    CBrowseLog log(kTag);
    SuperBrowse cycle;
    cycle.appId = static_cast<uint32_t>(row->r_appId);
    cycle.findTime = static_cast<uint32_t>(row->r_createTime);
    auto last = m_lastFindTimeBySubclient.find(cycle.appId);
    if (last == m_lastFindTimeBySubclient.end()) {
        cycle.fromTime = m_fromTime;
        m_lastFindTimeBySubclient[cycle.appId] = cycle.findTime;
    } else {
        cycle.fromTime = last->second + 1;
        last->second = cycle.findTime;
    }
    cycle.toTime = cycle.findTime + 1;
    cycle.jobId = static_cast<uint32_t>(row->r_jobId);
    cycle.kelmarchId = static_cast<uint32_t>(row->r_kelmarchId);
    cycle.archGroupId = static_cast<uint32_t>(row->r_agroupId);
    cycle.afileId = static_cast<uint32_t>(row->r_afileId);
    cycle.mediaAgentId = static_cast<uint32_t>(row->r_mediaAgentId);
    if (row->r_mediaAgentId < 1) {
        log.debugLvl(8, "media agent ID [%d] is not usable or not accessible.", row->r_mediaAgentId);
        cycle.mediaAgentVersion = 11;
    } else {
        cycle.mediaAgentVersion = static_cast<uint32_t>(std::atoi(row->r_mediaAgentVersion));
    }
    unsigned int version = 0;
    makeVersion(row->r_mediaAgentVersion, version);
    m_oldestMaVersion = std::min(m_oldestMaVersion, version);
    if (cycle.mediaAgentVersion < 10) setDisableStopBrowseFlag(true);
    cycle.mediaAgentName = hostNameOf(cycle.mediaAgentId);
    if (cycle.mediaAgentName.empty()) {
        // A media agent without a name cannot be reached: never a candidate.
        log.debugLvl(8, "media agent [%d] has no host name; not a master media agent", row->r_mediaAgentId);
    } else if (cycle.mediaAgentVersion >= 10 && row->r_idxCacheSoftState == 1) {
        CHubMutexLock lock(m_selectionLock);
        m_masterMaCandidates.push_back(cycle.mediaAgentName);
    } else if (cycle.mediaAgentVersion >= 10) {
        log.debugLvl(8,
                     "media agent [%s] is not usable as master media agent, either it is offline or index "
                     "cache is offline",
                     cycle.mediaAgentName.c_str());
    } else {
        log.debugLvl(8, "media agent [%s] is not usable as master media agentas it is older than 10.0",
                     cycle.mediaAgentName.c_str());
    }
    if (isExact(cycle.appId, cycle.toTime)) cycle.flags |= SuperBrowse::kFlagExact;
    if (isImage(cycle.appId, cycle.toTime)) cycle.flags |= SuperBrowse::kFlagImage;
    if (row->r_fileType == 6) cycle.flags |= SuperBrowse::kFlagIndexFileType6;
    m_firstCycleOfJob.emplace(cycle.jobId, m_cycles.size());
    m_cycles.push_back(std::move(cycle));
}

// ---- steps shared by the three splits -----------------------------------------------------------------

void SuperBrowseManager::correctExactFindTimes() {
    std::map<uint32_t, int> newestIndex;  // subclient -> greatest index-archive creation time
    for (const SuperBrowseArchive& a : m_indexArchives) {
        auto it = newestIndex.find(a.appId);
        if (it == newestIndex.end())
            newestIndex.emplace(a.appId, a.r_createTime);
        else
            it->second = std::max(it->second, a.r_createTime);
    }
    for (SuperBrowse& c : m_cycles) {
        if ((c.flags & SuperBrowse::kFlagExact) == 0 || c.findTime <= c.toTime) continue;
        auto it = newestIndex.find(c.appId);
        c.findTime = it == newestIndex.end() ? 0 : static_cast<uint32_t>(it->second);
    }
}

void SuperBrowseManager::sortAndUnique() {
    // Repeats of one cycle are only removed when they are next to each other: ordering by subclient
    // within one find time puts every repeat beside its first.
    std::stable_sort(m_cycles.begin(), m_cycles.end(), [](const SuperBrowse& a, const SuperBrowse& b) {
        if (a.findTime != b.findTime) return SuperBrowseCmp(a, b);
        return a.appId < b.appId;
    });
    m_cycles.erase(std::unique(m_cycles.begin(), m_cycles.end(), SuperBrowseEq), m_cycles.end());
    for (auto* archives : {&m_dataArchives, &m_indexArchives}) {
        std::stable_sort(archives->begin(), archives->end(), ArchiveCmp);
        archives->erase(std::unique(archives->begin(), archives->end(), ArchiveEq), archives->end());
    }
    m_cycleCursor = m_cycles.begin();
    m_dataCursor = m_dataArchives.begin();
    m_indexCursor = m_indexArchives.begin();
    m_firstCycleOfJob.clear();
}

void SuperBrowseManager::keepLastCyclePerSubclient(std::string& skippedCycles, std::string& skippedData,
                                                   std::string& skippedIndex) {
    CBrowseLog log(kTag);
    log.debugLvl(0, "browse will only consider the last cycle closest to the end time");
    std::map<uint32_t, size_t> chosen;  // subclient -> index of its cycle with the greatest find time
    for (size_t i = 0; i < m_cycles.size(); ++i) {
        auto it = chosen.find(m_cycles[i].appId);
        if (it == chosen.end())
            chosen.emplace(m_cycles[i].appId, i);
        else if (m_cycles[i].findTime > m_cycles[it->second].findTime)
            it->second = i;
    }
    std::vector<SuperBrowse> kept;
    std::map<uint32_t, std::pair<int, int>> window;  // subclient -> the kept cycle's from and to
    for (size_t i = 0; i < m_cycles.size(); ++i) {
        SuperBrowse& c = m_cycles[i];
        if (chosen[c.appId] == i) {
            window[c.appId] = {static_cast<int>(c.fromTime), static_cast<int>(c.toTime)};
            kept.push_back(std::move(c));
        } else {
            skippedCycles += std::to_string(static_cast<int>(c.appId)) + ":" +
                             std::to_string(static_cast<int>(c.findTime)) + " ";
        }
    }
    m_cycles.swap(kept);
    auto filter = [&window](std::vector<SuperBrowseArchive>& archives, std::string& skipped) {
        auto outside = [&](const SuperBrowseArchive& a) {
            auto w = window.find(a.appId);
            if (w == window.end()) return false;
            bool out = a.r_createTime < w->second.first || a.r_createTime > w->second.second;
            if (out) skipped += std::to_string(a.r_afileId) + " ";
            return out;
        };
        archives.erase(std::remove_if(archives.begin(), archives.end(), outside), archives.end());
    };
    filter(m_dataArchives, skippedData);
    filter(m_indexArchives, skippedIndex);
    m_cycleCursor = m_cycles.begin();
    m_dataCursor = m_dataArchives.begin();
    m_indexCursor = m_indexArchives.begin();
}

std::vector<std::string> SuperBrowseManager::numberCycles() {
    std::vector<std::string> lines;
    uint32_t number = 0;
    for (SuperBrowse& c : m_cycles) {
        c.cycleNumber = ++number;
        lines.push_back(
            zyFormat("this browse request involves cycle [%d] last-in-cycle job [%llu] from [%d] to "
                     "[%d] find time [%d] for subclient [%d]",
                     static_cast<int>(c.cycleNumber), static_cast<unsigned long long>(c.jobId),
                     static_cast<int>(c.fromTime), static_cast<int>(c.toTime), static_cast<int>(c.findTime),
                     static_cast<int>(c.appId)));
    }
    return lines;
}

void SuperBrowseManager::logArchives(std::vector<std::string> lines, const std::string& skippedCycles,
                                     const std::string& skippedData, const std::string& skippedIndex) {
    auto ids = [](const std::vector<SuperBrowseArchive>& archives) {
        std::string text;
        for (const SuperBrowseArchive& a : archives) text += std::to_string(a.r_afileId) + " ";
        return text;
    };
    lines.push_back("this browse request involves data archive files [" + ids(m_dataArchives) + "]");
    lines.push_back("this browse request involves index archive files [" + ids(m_indexArchives) + "]");
    if (!skippedCycles.empty())
        lines.push_back("skipped cycles [" + skippedCycles + "] for this browse request");
    if (!skippedData.empty())
        lines.push_back("skipped data archvies [" + skippedData + "] for this browse request");
    if (!skippedIndex.empty())
        lines.push_back("skipped index archives [" + skippedIndex + "] for this browse request");
    // Made together, nothing waited for between them: one write.
    CBrowseLog(kTag).debugLines(0, lines);
}

void SuperBrowseManager::decideSuperBrowse() {
    CBrowseLog log(kTag);
    if (getOldestMa() <= 999) {
        log.debugLvl(
            0,
            "some of the media agents involved in this browse operation are not of 10.0 or higher, so super "
            "browse is not applied");
        m_superBrowseApplied = false;
    } else if (getCycleCount() < 2 && getExtendedOption(86) != '1') {
        log.debugLvl(
            0, "browse range consists of just one cycle and one subclient, so super browse is not applied");
        m_superBrowseApplied = false;
    } else {
        m_superBrowseApplied = canSuperBrowseBeApplied();
        if (m_superBrowseApplied) log.debugLvl(0, "enforcing super browse on this browse request");
    }
}

// ---- the per-subclient path ---------------------------------------------------------------------------

int SuperBrowseManager::splitBySubclient() {
    CBrowseLog log(kTag);
    if (getExtendedOption(88) == '1' && m_appType == apptype::kNas) {
        log.debugLvl(0, "super browse is disabled for live browse");
        return 0;
    }
    log.debugLvl(0, "splitting browse range [%d] to [%d] for backupset [%d] subclient [%d] into cycles",
                 static_cast<int>(m_fromTime), static_cast<int>(m_toTime), static_cast<int>(m_backupSetId),
                 static_cast<int>(m_subclientId));
    std::vector<unsigned long> subclients;
    if (isEverySubclient(m_subclientId)) {
        std::vector<std::string> names;
        if (ClientApplicationList::getSubclientList(subclients, names, apptype::code(m_appType),
                                                    m_backupSetId, 0, 1) != 0) {
            log.debugLvl(0, "failed to get subclients within backupset [%d], ",
                         static_cast<int>(m_backupSetId));
            return -1;
        }
    } else {
        subclients.push_back(m_subclientId);
    }
    SplitStatistics stats;
    for (unsigned long subclient : subclients) {
        if (splitSubclient(static_cast<uint32_t>(subclient), stats) != 0) return -1;
    }
    if (m_cycles.empty()) {
        setNoCyclesError();
        log.debugLvl(0, "No Backup Cycles found for browse time range [%d] to [%d]",
                     static_cast<int>(m_fromTime), static_cast<int>(m_toTime));
        return -1;
    }
    log.debugLvl(
        8, "super browse database query statistics - latest [%lu] each [%lu] ma [%lu] data [%lu] index [%lu]",
        static_cast<unsigned long>(stats.latest), static_cast<unsigned long>(stats.each),
        static_cast<unsigned long>(stats.ma), static_cast<unsigned long>(stats.data),
        static_cast<unsigned long>(stats.index));
    correctExactFindTimes();
    sortAndUnique();
    uint32_t number = 0;
    for (SuperBrowse& c : m_cycles) c.cycleNumber = ++number;
    logArchives({}, std::string(), std::string(), std::string());
    decideSuperBrowse();
    return 0;
}

// One subclient of the per-subclient path: 0 when handled or skipped, -1 when the split must end.
int SuperBrowseManager::splitSubclient(uint32_t subclient, SplitStatistics& stats) {
    CBrowseLog log(kTag);
    ArchiveManagerHM archives(nullptr);
    log.debugLvl(8, "start processing cycles within subclient [%lu]", static_cast<unsigned long>(subclient));
    uint32_t start = 0;
    if (!findOldestDataTime(archives, subclient, stats, start)) return 0;
    std::vector<ArchFileByTime_t> files;
    if (!findLastFileOfEachCycle(archives, subclient, stats, start, files)) return 0;
    std::string mediaAgent;
    if (!findSubclientMediaAgent(archives, subclient, stats, mediaAgent)) return 0;
    addSubclientCycles(subclient, start, files, mediaAgent);
    std::vector<int> jobs;
    if (addIndexArchives(subclient, start, stats, jobs) != 0) return -1;
    return addDataArchivesOfJobs(archives, subclient, start, jobs, stats);
}

// The browse starts no earlier than the subclient's oldest data archive file. False: skip the subclient.
bool SuperBrowseManager::findOldestDataTime(ArchiveManagerHM& archives, uint32_t subclient,
                                            SplitStatistics& stats, uint32_t& start) {
    CBrowseLog log(kTag);
    GetOldestArchFileArgs_t oldestArgs;
    oldestArgs.appId = subclient;
    oldestArgs.searchMode = 1;
    oldestArgs.copyPrecedence = m_copyPrecedence;
    oldestArgs.optionA = -1;
    oldestArgs.flag = 1;
    GetOldestArchFileRet_t oldest;
    int rc;
    {
        CallTimer t(stats.latest);
        ++m_callCounts.archiveManagerCalls;
        rc = archives.getOldestArchFile(&oldestArgs, &oldest);
    }
    if (rc == 100) {
        log.debugLvl(8, "appid [%lu] is probably never backed up, no data afiles found, skip it",
                     static_cast<unsigned long>(subclient));
        return false;
    }
    if (rc != 0) {
        log.debugLvl(0, "failed to find oldest data afile for subclient [%d], skip it",
                     static_cast<int>(subclient));
        return false;
    }
    start = std::max<uint32_t>(m_fromTime, static_cast<uint32_t>(oldest.creationTime));
    return true;
}

// The last archive file of each cycle from `start` to the browse's end; a latest browse keeps only the
// newest cycle and starts just after the one before it. False: skip the subclient.
bool SuperBrowseManager::findLastFileOfEachCycle(ArchiveManagerHM& archives, uint32_t subclient,
                                                 SplitStatistics& stats, uint32_t& start,
                                                 std::vector<ArchFileByTime_t>& files) {
    CBrowseLog log(kTag);
    LastAfileForEachCycleArgs_t cycleArgs;
    cycleArgs.appId = subclient;
    cycleArgs.searchMode = 2;
    cycleArgs.fromTime = start;
    cycleArgs.toTime = m_toTime;
    cycleArgs.copyPrecedence = m_copyPrecedence;
    cycleArgs.flags |= 1;
    LastAfileForEachCycleRet_t cycleFiles;
    int rc;
    {
        CallTimer t(stats.each);
        ++m_callCounts.archiveManagerCalls;
        rc = archives.getLastAfileForEachCycle(&cycleArgs, &cycleFiles);
    }
    if (rc == 100 || rc == 1) {
        log.debugLvl(8,
                     "no backup cycles found for subclient [%lu] in time range from [%lu] to [%lu], skip it",
                     static_cast<unsigned long>(subclient), static_cast<unsigned long>(start),
                     static_cast<unsigned long>(m_toTime));
        return false;
    }
    if (rc != 0) {
        log.debugLvl(
            0, "failed to find backup cycles for subclient [%lu] in time range from [%lu] to [%lu], skip it",
            static_cast<unsigned long>(subclient), static_cast<unsigned long>(start),
            static_cast<unsigned long>(m_toTime));
        return false;
    }
    files = std::move(cycleFiles.lastAfiles);
    if (m_fromTime == 0 && files.size() >= 2) {
        start = static_cast<uint32_t>(files[files.size() - 2].r_createTime) + 1;
        log.debugLvl(8, "adjusted from time for appid [%lu] to [%lu] for latest browse",
                     static_cast<unsigned long>(subclient), static_cast<unsigned long>(start));
        files.erase(files.begin(), files.end() - 1);
    }
    return true;
}

// The subclient's index media agent, which also counts towards the oldest version and the master
// candidates. False: skip the subclient.
bool SuperBrowseManager::findSubclientMediaAgent(ArchiveManagerHM& archives, uint32_t subclient,
                                                 SplitStatistics& stats, std::string& mediaAgent) {
    CBrowseLog log(kTag);
    GetMediaAgentArgsHM_t maArgs;
    maArgs.appId = subclient;
    maArgs.copyPrecedence = m_copyPrecedence;
    GetMediaAgentRetHM_t ma;
    int rc;
    {
        CallTimer t(stats.ma);
        ++m_callCounts.archiveManagerCalls;
        rc = archives.getRegularOrBCDIndexMediaAgent(&maArgs, &ma);
    }
    if (rc != 0) {
        log.debugLvl(0, "failed to find media agent version for subclient [%d], skip it",
                     static_cast<int>(subclient));
        return false;
    }
    {
        CHubMutexLock lock(m_selectionLock);
        if (std::find(m_masterMaCandidates.begin(), m_masterMaCandidates.end(), ma.clientName) ==
            m_masterMaCandidates.end()) {
            std::string text;
            unsigned int version = 0;
            if (ZYSim::simGetVersionOfClient(ma.clientName, text) == 0) makeVersion(text, version);
            m_oldestMaVersion = std::min(m_oldestMaVersion, version);
            if (version > 999 && !ma.clientName.empty()) m_masterMaCandidates.push_back(ma.clientName);
        }
    }
    mediaAgent = ma.clientName;
    return true;
}

// One cycle per last archive file, each running from just after the one before it.
void SuperBrowseManager::addSubclientCycles(uint32_t subclient, uint32_t start,
                                            const std::vector<ArchFileByTime_t>& files,
                                            const std::string& mediaAgent) {
    CBrowseLog log(kTag);
    for (size_t i = 0; i < files.size(); ++i) {
        const ArchFileByTime_t& f = files[i];
        SuperBrowse cycle;
        cycle.appId = subclient;
        cycle.findTime = static_cast<uint32_t>(f.r_createTime);
        // A start at 0 stays 0: one before it would wrap to the end of time.
        cycle.fromTime =
            i == 0 ? (start > 0 ? start - 1 : 0) : static_cast<uint32_t>(files[i - 1].r_createTime) + 1;
        cycle.toTime = m_toTime < cycle.findTime ? m_toTime : cycle.findTime + 1;
        cycle.jobId = static_cast<uint32_t>(f.r_jobId);
        cycle.kelmarchId = static_cast<uint32_t>(f.r_kelmarchId);
        cycle.archGroupId = static_cast<uint32_t>(f.r_agroupId);
        cycle.afileId = static_cast<uint32_t>(f.r_afileId);
        cycle.mediaAgentName = mediaAgent;
        if (isExact(cycle.appId, cycle.toTime)) cycle.flags |= SuperBrowse::kFlagExact;
        if (isImage(cycle.appId, cycle.toTime)) cycle.flags |= SuperBrowse::kFlagImage;
        if (f.r_fileType == 6) cycle.flags |= SuperBrowse::kFlagIndexFileType6;
        log.debugLvl(0,
                     "this browse request involves cycle [%llu] from [%d] to [%d] with find time [%d] for "
                     "subclient [%d]",
                     static_cast<unsigned long long>(cycle.jobId), static_cast<int>(cycle.fromTime),
                     static_cast<int>(cycle.toTime), static_cast<int>(cycle.findTime),
                     static_cast<int>(subclient));
        m_cycles.push_back(std::move(cycle));
    }
}

// Index archives, newest first, down to the start time; every job met is listed in `jobs` for its data.
// -1 when the listing fails.
int SuperBrowseManager::addIndexArchives(uint32_t subclient, uint32_t start, SplitStatistics& stats,
                                         std::vector<int>& jobs) {
    CBrowseLog log(kTag);
    std::unordered_set<int> jobSeen;
    CallTimer t(stats.index);
    ArchFileByTime byTime(nullptr);
    byTime.setValues(0, static_cast<int>(subclient), 0, static_cast<int>(m_toTime), 0, 0,
                     static_cast<int>(m_copyPrecedence), 0, 0, 1);
    ++m_callCounts.procedureCalls;
    int count = 0;
    int rc;
    for (;;) {
        rc = byTime.getNextRow(&byTime, &count, -1, 0);
        if (rc != 0) break;
        const ArchFileByTime_t& row = *byTime.getDataPtr();
        const bool indexFile = row.r_fileType == 2 || row.r_fileType == 6 || row.r_fileType == 34;
        if (static_cast<uint32_t>(row.r_createTime) < start && indexFile) break;
        // A job's data is listed once, however many of its files come by.
        if (jobSeen.insert(row.r_jobId).second) jobs.push_back(row.r_jobId);
        if (indexFile) {
            SuperBrowseArchive a;
            static_cast<ArchFileByTime_t&>(a) = row;
            a.appId = subclient;
            m_indexArchives.push_back(std::move(a));
        }
    }
    if (rc != 0 && rc != 100) {
        log.debugLvl(0,
                     "failed to list index archives for subclient [%d] in time range from [%d] to [%d], "
                     "error [%s]",
                     static_cast<int>(subclient), static_cast<int>(start), static_cast<int>(m_toTime),
                     byTime.getErrorStr(rc));
        return -1;
    }
    return 0;
}

// The data archive files of each job; -1 when a job's list cannot be had.
int SuperBrowseManager::addDataArchivesOfJobs(ArchiveManagerHM& archives, uint32_t subclient, uint32_t start,
                                              const std::vector<int>& jobs, SplitStatistics& stats) {
    CBrowseLog log(kTag);
    CallTimer t(stats.data);
    for (int job : jobs) {
        GetAfileListByJobArgsHM_t listArgs;
        listArgs.listKind = 2;
        listArgs.jobId = static_cast<uint64_t>(job);
        GetAfileListByJobRetHM_t list;
        ++m_callCounts.archiveManagerCalls;
        const int rc = archives.getArchFileListByJob(&listArgs, &list);
        if (rc != 0) {
            log.debugLvl(
                0,
                "failed to list data archives for subclient [%d] in time range from [%d] to [%d], error [%s]",
                static_cast<int>(subclient), static_cast<int>(start), static_cast<int>(m_toTime),
                zydb::dbResultText(rc));
            return -1;
        }
        for (const ArchFilePruneListEl_t& f : list.afiles) {
            // Index files (2, 6, 34) and the delayed-catalogue marker (9) carry no data.
            if (f.fileType == 2 || f.fileType == 6 || f.fileType == 9 || f.fileType == 34) continue;
            SuperBrowseArchive a;
            a.r_afileId = static_cast<int>(f.archFileId);
            a.r_agroupId = static_cast<int>(f.archGroupId);
            a.r_kelmarchId = static_cast<int>(f.kelmarchId);
            a.r_copyId = static_cast<int>(f.copyId);
            a.r_fileType = static_cast<int>(f.fileType);
            a.r_createTime = static_cast<int>(f.creationTime);
            a.r_jobId = static_cast<int>(f.jobId);
            a.r_backupLevel = static_cast<int>(f.backupLevel);
            a.appId = subclient;
            m_dataArchives.push_back(std::move(a));
        }
    }
    return 0;
}
