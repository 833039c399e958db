// Cycles per entity (the stored procedure's rows sorted into cycles, data and index archives, with the
// mailbox and VM optimisation) and the indexing-v2 databases of a backup set with their index servers.
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>

#include "Db/Proc/JMGetHasCloudLaptopJobs.h"
#include "Db/Tbl/APP_Application.h"
#include "appbrowse/fbhmvsautils.h"
#include "fbDebug/fbdebug.h"
#include "planning/superbrowsemanager.h"
#include "platform/archive/archivemanagerhm.h"
#include "platform/config/zyplatforminfo.h"
#include "platform/db/requestscope.h"
#include "platform/entities/apptypes.h"
#include "platform/entities/entityconfig.h"
#include "platform/entities/vmguid.h"
#include "platform/entities/zyclient.h"
#include "platform/entities/zyglobalparam.h"
#include "platform/indexing/idxdbinfocache.h"
#include "platform/indexing/indexingversion.h"
#include "platform/msg/app_execute_sp.h"
#include "platform/threads/hubmutex.h"

namespace {

constexpr const char* kTag = "FBHMSUPERMGR";
constexpr const char* kExchangeOptimizationKey = "msBackupsetsWithExchangeOptimization";
constexpr size_t kMultiStringBuffer = 65536;
// The archive-file flag of a block-level backup's data file.
constexpr int kBlockLevelFileFlag = 0x200;

struct MountXmlProviderSlot {
    CHubMutex lock;
    SuperBrowseManager::MountXmlProvider provider GUARDED_BY(lock);
};
MountXmlProviderSlot& mountXmlProviderSlot() {
    static MountXmlProviderSlot slot;
    return slot;
}

// The registry list with the first text of the value, read once.
struct ExchangeOptimizationList {
    std::vector<uint32_t> backupSets;
    std::string firstText;
    bool present = false;
};

const ExchangeOptimizationList& exchangeOptimizationList() {
    static const ExchangeOptimizationList list = [] {
        ExchangeOptimizationList l;
        std::vector<char> buffer(kMultiStringBuffer);
        size_t used = ZYPlatformInfo::getMultiString("MediaAgent", kExchangeOptimizationKey, buffer.data(),
                                                     buffer.size());
        l.present = used > 0;
        // Texts end at a NUL or at the end of what was read, whichever comes first: a value cut by the
        // buffer never runs past it.
        size_t p = 0;
        while (p < used && buffer[p] != '\0') {
            size_t end = p;
            while (end < used && buffer[end] != '\0') ++end;
            std::string text(buffer.data() + p, end - p);
            if (l.firstText.empty() && l.backupSets.empty()) l.firstText = text;
            unsigned long id = std::strtoul(text.c_str(), nullptr, 10);
            if (id != 0) l.backupSets.push_back(static_cast<uint32_t>(id));
            p = end + 1;
        }
        return l;
    }();
    return list;
}

// The ids of APP_Application rows for a where clause with one number and one bound text.
void collectSubclients(const char* where, int backupSetId, const std::string& guid, std::vector<int>& ids) {
    APP_Application app(nullptr);
    app.setIsolationType(4);
    app.setWhere(where, backupSetId, guid.c_str());
    int count = 0;
    while (app.getNextRow(&app, &count, -1, 0) == 0) ids.push_back(app.getDataPtr()->id);
}

}  // namespace

const std::vector<uint32_t>& backupsetsWithExchangeOptimization() {
    return exchangeOptimizationList().backupSets;
}

void SuperBrowseManager::setBlockLevelMountXmlProvider(MountXmlProvider provider) {
    MountXmlProviderSlot& slot = mountXmlProviderSlot();
    CHubMutexLock lock(slot.lock);
    slot.provider = std::move(provider);
}

// One index database: the subclient it serves and its name.
struct SuperBrowseManager::IndexDb {
    int subclientId;
    std::string name;
};

// The stored procedure's rows for the backup set, read once per look-up and shared by its databases.
struct SuperBrowseManager::MediaAgentScan {
    bool done = false;
    int subclientId = 0;  // whose rows these are: each subclient's database has its own
    int rc = 0;
    std::string error;
    std::vector<std::pair<int, int>> rows;  // (media agent id, archive group), in row order
};

std::vector<int> SuperBrowseManager::optimisedSubclients(apptype::EAppType appType, int backupSetId,
                                                         const char* path) {
    CBrowseLog log(kTag);
    std::vector<int> ids;
    const ExchangeOptimizationList& list = exchangeOptimizationList();
    static std::once_flag logged;
    if (list.present)
        std::call_once(logged, [&] {
            log.debugLvl(
                0,
                "Registry key [MediaAgent/%s] is set. Enable user-level Browse optimization for the selected "
                "VSA and Exchange Mailbox BackupSets [%s]",
                kExchangeOptimizationKey, list.firstText.c_str());
        });
    if (!(m_subclientId == 0 || m_subclientId == 0xFFFFFFFF) || list.backupSets.empty()) return ids;
    const std::string p = path;
    if (std::find(list.backupSets.begin(), list.backupSets.end(), static_cast<uint32_t>(backupSetId)) ==
            list.backupSets.end() ||
        p.size() <= 36)
        return ids;
    if (appType == apptype::kExchangeMailbox) {
        if (p[1] != 'M' || p[2] != 'B' || p[4] != '{') return ids;
        size_t close = p.find('}', 4);
        if (close == std::string::npos) return ids;
        const std::string guid = p.substr(4, close - 4 + 1);
        // Only a GUID is looked up: any other text leaves the browse unoptimised.
        if (!isVmGuidText(guid)) return ids;
        collectSubclients(
            " backupSet=%d and id in (SELECT DISTINCT SP.componentNameId subclientId FROM APP_SubClientProp "
            "SP (NOLOCK) JOIN APP_ComponentProp CP (NOLOCK) ON CP.componentType IN (7) AND "
            "CP.propertyTypeId IN (1103) AND CP.componentId = SP.id WHERE CP.stringVal = '%s')",
            backupSetId, guid, ids);
        collectSubclients(
            " backupSet=%d and id in (SELECT DISTINCT CP.componentId subclientId FROM APP_ComponentProp "
            "CP (NOLOCK) where CP.componentType IN (6) AND CP.propertyTypeId IN (2300) AND "
            "CP.stringVal='%s')",
            backupSetId, guid, ids);
        if (ids.empty())
            log.debugLvl(0, "There are no sub-clients found for MailBox '%s'. Skip optimization",
                         guid.c_str());
    } else if (appType == apptype::kVirtualServer) {
        // The VM follows a label ("VM\<guid>\..."): its GUID is read from the first separator on. A
        // path naming no VM is not optimised.
        size_t first = p.find('\\');
        if (first == std::string::npos) first = p.find('/');
        if (first == std::string::npos) return ids;
        const std::string guid = CBrowseVSAUtils::ExtractVMGUID(p.substr(first));
        if (!CBrowseVSAUtils::IsVMGUID(guid)) return ids;
        collectSubclients(
            "id in (select distinct SCtemp.id from JMBkpStats JS WITH (NOLOCK), APP_VMPROP PROP WITH "
            "(NOLOCK), "
            "(select SC.id from app_application SC WITH (NOLOCK) join APP_BackupSetName BS WITH (NOLOCK) on "
            "SC.backupSet = Bs.id and BS.id = %d) SCTemp where JS.apptype = 106 and JS.appid = SCtemp.id "
            "and JS.jobId = PROP.jobid and PROP.attrName = 'vmGUID' and PROP.attrVal = '%s')",
            backupSetId, guid, ids);
        if (ids.empty())
            log.debugLvl(0, "There are no sub-clients found for VM '%s'. Skip optimization", guid.c_str());
    }
    return ids;
}

int SuperBrowseManager::getCyclesForEntity(apptype::EAppType appType, int clientId, int backupSetId,
                                           int subclientId, int fromTime, int toTime, int copyPrecedence,
                                           const char* path) {
    CBrowseLog log(kTag);
    std::vector<int> selected;
    if ((appType == apptype::kExchangeMailbox || appType == apptype::kVirtualServer) && path)
        selected = optimisedSubclients(appType, backupSetId, path);
    if (!selected.empty() && appType == apptype::kExchangeMailbox) {
        log.debugLvl(0,
                     "splitting browse range [%d] to [%d] for backupset [%d] subclient [%d] into cycles. "
                     "Selected [%d] "
                     "MB and PST subclients for optimization.",
                     fromTime, toTime, backupSetId, subclientId, static_cast<int>(selected.size()));
    } else if (!selected.empty()) {
        log.debugLvl(0,
                     "splitting browse range [%d] to [%d] for backupset [%d] subclient [%d] into cycles. "
                     "Selected [%d] "
                     "subclients for VM Browse optimization.",
                     fromTime, toTime, backupSetId, subclientId, static_cast<int>(selected.size()));
    } else {
        log.debugLvl(0, "splitting browse range [%d] to [%d] for backupset [%d] subclient [%d] into cycles",
                     fromTime, toTime, backupSetId, subclientId);
    }
    const int ignoreRunning = m_includeRunningJob ? 0 : 1;
    log.debugLvl(0,
                 "Getting Cycles for entity called with appType[%ld] clientid[%d] backupSetId[%d], appId[%d] "
                 "fromTime[%d] "
                 "toTime[%d] ignoreRunningJob [%d]",
                 apptype::code(appType), clientId, backupSetId, subclientId, fromTime, toTime, ignoreRunning);
    std::string xml;
    int procSubclient = subclientId;
    if (!selected.empty()) {
        procSubclient = selected.front();
        if (selected.size() > 1) {
            xml = "<InputParam>";
            for (size_t i = 1; i < selected.size(); ++i)
                xml += "<AppIdPST id=\"" + std::to_string(selected[i]) + "\"/>";
            xml += "</InputParam>";
        }
    }
    const bool v2 = isIndexingV2();
    ArchFileByTimeSuperBrowse proc(nullptr);
    proc.setValues(apptype::code(appType), clientId, backupSetId, procSubclient, fromTime, toTime,
                   copyPrecedence, ignoreRunning, 0, v2 ? 1 : 0, xml.c_str());
    const bool vmIndexCycles = m_appType == apptype::kVirtualServer && (m_optionBits & 0x18) != 0;
    MountXmlProvider mount;
    if ((m_optionBits & kOptionExactBrowse) == 0) {
        MountXmlProviderSlot& slot = mountXmlProviderSlot();
        CHubMutexLock lock(slot.lock);
        mount = slot.provider;
    }
    ++m_callCounts.procedureCalls;
    int count = 0, rows = 0, rc;
    while ((rc = proc.getNextRow(&proc, &count, -1, 0)) == 0) {
        ++rows;
        ArchFileByTimeSuperBrowse_t* row = proc.getDataPtr();
        SuperBrowseArchive archive;
        archive.r_afileId = row->r_afileId;
        archive.r_kelmarchId = row->r_kelmarchId;
        archive.r_agroupId = row->r_agroupId;
        archive.r_fileType = row->r_fileType;
        archive.r_createTime = row->r_createTime;
        archive.r_jobId = row->r_jobId;
        archive.appId = static_cast<uint32_t>(row->r_appId);
        switch (row->r_resultSetId) {
            case 1:
                if (vmIndexCycles) break;
                processCycle(row);
                [[fallthrough]];
            case 2: {
                const uint64_t job = static_cast<uint32_t>(archive.r_jobId);
                m_dataArchives.push_back(archive);
                // Only a block-level data file has a mount to describe (its flag says so without a read).
                if (!mount || (row->r_archFileFlag & kBlockLevelFileFlag) == 0) break;
                // A data file whose job closes no cycle has no cycle to describe.
                auto it = m_firstCycleOfJob.find(job);
                if (it == m_firstCycleOfJob.end()) break;
                SuperBrowse& cycle = m_cycles[it->second];
                std::string text = mount(false, static_cast<unsigned>(archive.appId),
                                         static_cast<unsigned long>(static_cast<uint32_t>(archive.r_afileId)),
                                         m_appType, cycle.fromTime, cycle.toTime,
                                         static_cast<int>(m_copyPrecedence), getExtendedOption(110) == '1');
                if (!text.empty()) cycle.mountXml = text;
                break;
            }
            case 3:
                if (vmIndexCycles) processCycle(row);
                m_indexArchives.push_back(archive);
                break;
            default:
                log.debugLvl(0, "ignored unknown data returned by super browse SP, archfile [%d]",
                             row->r_afileId);
        }
    }
    if (v2) {
        log.debugLvl(
            0, "This appears to be complete Indexing V2 supported browse, ignoring empty archive file list");
        return 0;
    }
    if (rc == 100) {
        if (rows == 0)
            log.debugLvl(0,
                         "got empty list of index archives for backupset [%d] subclient [%d] in time range "
                         "from [%d] to [%d]",
                         backupSetId, subclientId, fromTime, toTime);
        return 0;
    }
    log.debugLvl(0,
                 "failed to list index archives for backupset [%d] subclient [%d] in time range from [%d] to "
                 "[%d], error [%s]",
                 backupSetId, subclientId, fromTime, toTime, proc.getErrorStr(rc));
    return -1;
}

int SuperBrowseManager::scanMediaAgents(MediaAgentScan& scan, int appType, int clientId, int backupSetId,
                                        int subclientId, int fromTime, int toTime, int copyPrecedence) {
    if (scan.done && scan.subclientId == subclientId) return scan.rc;
    scan = MediaAgentScan{};
    scan.subclientId = subclientId;
    CBrowseLog log(kTag);
    log.debugLvl(0,
                 "Getting Cycles for entity called with appType[%d] clientid[%d] backupSetId[%d], appId [%d] "
                 "fromTime[%d] "
                 "toTime[%d], copy Precedence [%d]",
                 appType, clientId, backupSetId, subclientId, fromTime, toTime, copyPrecedence);
    ArchFileByTimeSuperBrowse proc(nullptr);
    proc.setValues(appType, clientId, backupSetId, subclientId, fromTime, toTime, copyPrecedence, 1, 0, 1,
                   "");
    ++m_callCounts.procedureCalls;
    int count = 0, rc;
    while ((rc = proc.getNextRow(&proc, &count, -1, 0)) == 0)
        scan.rows.emplace_back(proc.getDataPtr()->r_mediaAgentId, proc.getDataPtr()->r_agroupId);
    scan.done = true;
    scan.rc = rc == 100 ? 0 : rc;
    if (scan.rc != 0) scan.error = proc.getErrorStr(rc);
    return scan.rc;
}

// The planner keeps the signatures it is given: it reads in the request its thread serves.
int SuperBrowseManager::chooseIndexServer(const IndexDb& db, const std::string& backupSetGuid, int appType,
                                          int clientId, int backupSetId, int fromTime, int toTime,
                                          int copyPrecedence, bool cloudLaptopMode, size_t dbCount,
                                          MediaAgentScan& scan, std::string& server, uint32_t& engine) {
    CBrowseLog log(kTag);
    if (m_forcedV2ForContentIndexing) {
        int rc = ZYClient(m_indexServerClientId).getNetworkHostnameMangled(server);
        if (rc != 0) {
            log.debugLvl(-1, "Failed to get host name of Indexing Data Source server clientId [%d] ret [%d]",
                         static_cast<int>(m_indexServerClientId), rc);
            return -1;
        }
        log.debugLvl(0, "Using [%s] for Virtual Server DM2 Index browse", server.c_str());
        engine = 2;
        return 0;
    }
    if (cloudLaptopMode && !m_hasCloudLaptopJobs) {
        log.debugLvl(-1, "CLoud Laptop jobs not found for backupset [%d] fromTime [%d]", backupSetId,
                     fromTime);
        scanMediaAgents(scan, appType, clientId, backupSetId, m_subclientId, fromTime, toTime,
                        copyPrecedence);
        if (!scan.rows.empty()) server = hostNameOf(static_cast<uint32_t>(scan.rows.front().first));
        engine = 1;
        return 0;
    }
    std::string serverName;
    std::vector<I2::Utils::IdxSrvrInfo> servers;
    CUxError err = I2::Utils::IdxDbInfoCache::Instance()->FetchOrSetIdxSrvrForDb(
        db.name, backupSetGuid, static_cast<unsigned>(appType), serverName, servers, m_userRequest);
    if (err.IsError()) {
        log.debugLvl(0, "Unable to fetch Index Server for Db [%s]. Error [%s]", db.name.c_str(),
                     err.GetErrorText().c_str());
        if (dbCount > 1) {
            log.debugLvl(0, "Skipping browse for Db [%s]", db.name.c_str());
            return 1;
        }
        return -1;
    }
    bool offline = false;
    int state = 0;
    for (const I2::Utils::IdxSrvrInfo& s : servers) {
        m_minSpLevelMa = std::min<uint32_t>(
            m_minSpLevelMa, static_cast<uint32_t>(I2::Utils::GetClientServicePack(s.m_clientName)));
        const bool hasLucene = std::find(s.m_engineTypes.begin(), s.m_engineTypes.end(),
                                         App::IDX_DB_ENGINE_LUCENE) != s.m_engineTypes.end();
        if (m_forcedDbEngineType != 0) {
            if (std::find(s.m_engineTypes.begin(), s.m_engineTypes.end(),
                          static_cast<App::IdxDbEngineType>(m_forcedDbEngineType)) == s.m_engineTypes.end())
                continue;
            server = s.routingName();
            engine = m_forcedDbEngineType;
            offline = s.m_offline;
            state = s.m_state;
            break;
        }
        server = s.routingName();
        engine = s.m_engineTypes.empty() ? 0 : static_cast<uint32_t>(s.m_engineTypes.front());
        offline = s.m_offline;
        state = s.m_state;
        if (getExtendedOption(113) != '1') break;
        if (hasLucene) {
            engine = 2;
            break;
        }
    }
    if (server.empty()) {
        log.debugLvl(0, "Unable to fetch Index Server from HM DB for BackupsetGUID[%s] engineType [%d]",
                     backupSetGuid.c_str(), static_cast<int>(m_forcedDbEngineType));
        return -1;
    }
    int switchMode = 1;
    if (ZYGlobalParam::get(zydb::CRequestReads::current(), "EnableIdxSrvrSwitch", switchMode)) switchMode = 1;
    if (copyPrecedence >= 1 && switchMode != 2 && switchMode != 3) {
        if (scanMediaAgents(scan, appType, clientId, backupSetId, db.subclientId, fromTime, toTime,
                            copyPrecedence) != 0) {
            log.debugLvl(0,
                         "failed to list index archives for backupset [%d] subclient [%d] in time range from "
                         "[%d] to [%d], error [%s]",
                         backupSetId, db.subclientId, fromTime, toTime, scan.error.c_str());
            return -1;
        }
        if (scan.rows.empty())
            log.debugLvl(0,
                         "got empty list of index archives for backupset [%d] subclient [%d] in time range "
                         "from [%d] to [%d]",
                         backupSetId, db.subclientId, fromTime, toTime);
        std::map<int, std::string> mediaAgents;
        std::set<int> groups;
        bool serverIsMediaAgent = false;
        for (const auto& [maId, group] : scan.rows) {
            if (maId > 0 && mediaAgents.count(maId) == 0) {
                std::string host = hostNameOf(static_cast<uint32_t>(maId));
                if (host == server) {
                    serverIsMediaAgent = true;
                    break;
                }
                mediaAgents[maId] = host;
            }
            groups.insert(group);
        }
        if (!serverIsMediaAgent && !mediaAgents.empty()) {
            ArchiveManagerHM archives(nullptr);
            for (int group : groups) {
                int snap = 0, nonSnap = 0;
                unsigned long copyId = 0;
                archives.getDefaultSnapCopy(group, snap);
                archives.getDefaultNonSnapCopy(group, nonSnap);
                if (archives.getAGCFromAGAndCopy(static_cast<unsigned long>(group),
                                                 static_cast<unsigned long>(copyPrecedence), copyId,
                                                 nullptr) != 0) {
                    log.debugLvl(0, "failed to get copy Id for ArchGroup [%d], copyPrecedence [%d]", group,
                                 copyPrecedence);
                    return -1;
                }
                const bool inOrder = (snap != 0 && copyId == static_cast<unsigned long>(snap)) ||
                                     (nonSnap != 0 && copyId == static_cast<unsigned long>(nonSnap));
                if (inOrder) continue;
                const std::string& picked = mediaAgents.begin()->second;
                log.debugLvl(0,
                             "Picking [%s] as Index Server [%s] it is not one of the Media Agents returned "
                             "by ArchFileByTimeSuperBrowse",
                             picked.c_str(), server.c_str());
                server = picked;
                break;
            }
        }
    } else if (offline && m_userRequest && state != 7 && !cloudLaptopMode) {
        log.debugLvl(0, "Index Server [%s] is marked offline", server.c_str());
        scanMediaAgents(scan, appType, clientId, backupSetId, db.subclientId, fromTime, toTime,
                        copyPrecedence);
        if (!scan.rows.empty()) server = hostNameOf(static_cast<uint32_t>(scan.rows.front().first));
    }
    return 0;
}

int SuperBrowseManager::getIndexing2DbsForBackupSet(apptype::EAppType appType, int clientId, int backupSetId,
                                                    int subclientId, int fromTime, int toTime,
                                                    int copyPrecedence) {
    CBrowseLog log(kTag);
    std::string guid;
    int rc = BackupSet(static_cast<unsigned long>(backupSetId)).getGUIDStr(guid, nullptr);
    if (rc != 0) {
        log.debugLvl(0, "Failed to get backupset guid for backupset id [%d], ret [%d]", backupSetId, rc);
        return -1;
    }
    bool perSubclient = false;
    CUxError err = I2::Utils::HubmasterCallHelper::Instance(false)->isSubclientLevelIndex(guid, perSubclient);
    if (err.IsError()) {
        // Not knowing the layout is not the same as knowing there is one database.
        log.debugLvl(0, "Failed to find whether backupset [%d] keeps an index per subclient, error [%s]",
                     backupSetId, err.GetErrorText().c_str());
        return -1;
    }
    std::vector<IndexDb> dbs;
    if (!perSubclient) {
        dbs.push_back({static_cast<int>(m_subclientId), guid});
    } else {
        std::vector<APP_Application_t> rows;
        err = getAppIds(backupSetId, subclientId, rows, subclientId < 0);
        if (err.IsError()) {
            log.debugLvl(0, "Failed to fetch subclients belonging to backupset [%d], error [%s]", backupSetId,
                         err.GetErrorText().c_str());
            return -1;
        }
        for (const APP_Application_t& r : rows) dbs.push_back({r.id, r.GUID});
    }
    bool cloudLaptopMode = false;
    if (apptype::in(apptype::family::kCloudLaptop, appType)) {
        App::GetIsCloudLaptopModeEnabledReq request;
        request.setstring(App::GetIsCloudLaptopModeEnabledReq::f::backupSetGUID, guid);
        App::GetIsCloudLaptopEnabledModeResp response;
        err = I2::Utils::ExecuteAppMgrSP(App::GetIsCloudLaptopModeEnabledReq::TAG, request, response);
        if (err.IsError()) {
            log.debugLvl(-1, "Failed to check CLoud Laptop Enabled property, err [%s]",
                         err.GetErrorText().c_str());
            return -1;
        }
        cloudLaptopMode =
            response.getint64(App::GetIsCloudLaptopEnabledModeResp::f::isCloudLaptopModeEnabled) != 0;
    }
    if (cloudLaptopMode) {
        JMGetHasCloudLaptopJobs jobs(nullptr);
        jobs.setValues(backupSetId, toTime);
        rc = jobs.getOneRow(&jobs, false, -1, 0);
        if (rc != 0 && rc != 100) {
            log.debugLvl(-1,
                         "Failed to check  for CLoud Laptop jobs backupset [%d] fromTime [%d] errCode [%d]",
                         backupSetId, fromTime, rc);
            return -1;
        }
        if (rc == 0 && jobs.getDataPtr()->o_hasCloudLaptopJobs != 0) m_hasCloudLaptopJobs = true;
    }
    MediaAgentScan scan;
    for (size_t i = 0; i < dbs.size(); ++i) {
        std::string server;
        uint32_t engine = 0;
        rc = chooseIndexServer(dbs[i], guid, apptype::code(appType), clientId, backupSetId, fromTime, toTime,
                               copyPrecedence, cloudLaptopMode, dbs.size(), scan, server, engine);
        if (rc < 0) return -1;
        if (rc > 0) continue;
        if (server.empty()) {
            // No media agent can serve this database: others may still answer.
            log.debugLvl(0, "Unable to fetch Index Server from HM DB for BackupsetGUID[%s] engineType [%d]",
                         guid.c_str(), static_cast<int>(m_forcedDbEngineType));
            if (dbs.size() > 1) {
                log.debugLvl(0, "Skipping browse for Db [%s]", dbs[i].name.c_str());
                continue;
            }
            return -1;
        }
        SuperBrowse cycle;
        cycle.appId = static_cast<uint32_t>(dbs[i].subclientId);
        cycle.mediaAgentName = server;
        cycle.mediaAgentVersion = 1100;
        cycle.indexDbId = dbs[i].name;
        cycle.backupSetGuid = guid;
        cycle.indexingV2Cycle = true;
        cycle.dbEngineType = engine;
        if (m_oldestMaVersion == 0xFFFFFFFF) m_oldestMaVersion = 1100;
        {
            CHubMutexLock lock(m_selectionLock);
            m_masterMaCandidates.push_back(server);
        }
        m_cycles.push_back(std::move(cycle));
    }
    return 0;
}
