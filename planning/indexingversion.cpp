// The indexing-version decision: the caller's choice, the indexing utilities, the content-indexed
// virtual-machine rule and the backward-compatibility checks against the client's switch time.
#include "platform/indexing/indexingversion.h"

#include <set>
#include <string>

#include "Db/Proc/DM2GetIndexServers.h"
#include "Db/Tbl/APP_ClientProp.h"
#include "Db/Tbl/JMBkpStats.h"
#include "Db/Tbl/archFile.h"
#include "fbDebug/fbdebug.h"
#include "planning/superbrowsemanager.h"
#include "platform/config/zyplatforminfo.h"
#include "platform/db/requestscope.h"
#include "platform/entities/apptypes.h"
#include "platform/entities/entityconfig.h"
#include "platform/entities/recordedkind.h"
#include "platform/entities/zymanagedbforjm.h"
#include "platform/errors/fxerrorutil.h"
#include "platform/msg/app_execute_sp.h"

namespace {

constexpr const char* kTag = "FBHM::determineBrowseIndexingVersion";
constexpr int kContentIndexedFlag = 64;  // ZYA_AF_CI_SUCCESS_FLAG

bool usable(uint32_t id) {
    return id != 0 && id != 0xFFFFFFFF;
}

// Which key the backward-compatibility queries select the entity by.
enum class Key { Subclient, BackupSet, Client };

}  // namespace

CUxError GetDm2IndexServerForVSASubclient(int subclientId, int& clientId) {
    Api::AdvancedIndexingInfoRequest request;
    CNMessageBase* entity = request.getObjectAccessor(Api::AdvancedIndexingInfoRequest::f::entity, true);
    entity->setint64(ZyEntities::GenericEntity::f::subclientId, subclientId);
    entity->setint64(ZyEntities::GenericEntity::f::_type_, 7);
    Api::AdvancedIndexingInfoResponse response;
    CUxError err = I2::Utils::ExecuteAppMgrSP(Api::AdvancedIndexingInfoRequest::TAG, request, response);
    if (err.IsError()) {
        err.Push(FXCodeLocation(__FILE__, __PRETTY_FUNCTION__, __LINE__));
        return err;
    }
    CNMessageBase* client = response.getObjectAccessor(Api::AdvancedIndexingInfoResponse::f::client, false);
    int indexServer = client ? static_cast<int>(client->getint64(ZyEntities::ClientEntity::f::clientId)) : 0;
    if (indexServer <= 0) return CUxError::Success();
    DM2GetIndexServers servers(nullptr);
    servers.setValues("Virtual Machine", indexServer, 0, 0, 1, 1, 0);
    if (servers.getOneRow(&servers, false, -1, 0) != 0) {
        char text[128];
        snprintf(text, sizeof(text), "Failed to fetch node clientId from the IndexServerClientId [%d].",
                 indexServer);
        return FXErrorUtil::ErrorInt(-1, FXCodeLocation(__FILE__, __PRETTY_FUNCTION__, __LINE__), text);
    }
    clientId = servers.getDataPtr()->o_clientId;
    return CUxError::Success();
}

unsigned long long SuperBrowseManager::determineBrowseIndexingVersion(bool& indexingV2,
                                                                      apptype::EAppType& idxAppType) {
    CBrowseLog log(kTag);
    if (m_forceUseIndexType == 1) {
        log.debugLvl(0, "browse request will use backward compatibility protocol as specified by caller");
        indexingV2 = false;
        return 0;
    }
    if (m_forceUseIndexType != 0) {
        log.debugLvl(0, "browse request will use latest protocol as specified by caller");
        indexingV2 = true;
        // Only the indexing application type is asked: the caller's choice of v2 stands.
        bool utilityChoice = true;
        unsigned long idxCode = 0;
        if (I2::Utils::shouldUseIndexingV2ByAppType(m_clientId, m_backupSetId, apptype::code(m_appType),
                                                    utilityChoice, idxCode, 0) == 0)
            log.debugLvl(0, "WARNING: Not able to fetch idxAppType");
        idxAppType = apptype::of(static_cast<int64_t>(idxCode));
        return 0;
    }
    unsigned long idxCode = 0;
    I2::Utils::shouldUseIndexingV2ByAppType(m_clientId, m_backupSetId, apptype::code(m_appType), indexingV2,
                                            idxCode, 0);
    idxAppType = apptype::of(static_cast<int64_t>(idxCode));
    unsigned int enforceLive = 0;
    ZYPlatformInfo::getNumber("VirtualServer", "nEnforceLivebrowse", &enforceLive);
    if (enforceLive != 0) log.debugLvl(0, "nEnforceLivebrowse registry key is set");
    if (m_appType == apptype::kVirtualServer && m_forcedDbEngineType == 0 && getExtendedOption(103) != '1' &&
        getExtendedOption(59) == '1' && getExtendedOption(112) != '1' &&
        !(indexingV2 && idxAppType == apptype::kVmIndex) && enforceLive == 0) {
        if (contentIndexedVmCheck(indexingV2, idxAppType)) return 0;
    }
    if (!indexingV2) return 0;
    long long threshold = 0;
    backwardCompatibilityChecks(indexingV2, idxAppType, threshold);
    return static_cast<unsigned long long>(threshold);
}

bool SuperBrowseManager::contentIndexedVmCheck(bool& indexingV2, apptype::EAppType& idxAppType) {
    CBrowseLog log(kTag);
    uint32_t subclient = m_subclientId;
    if ((subclient == 0 || subclient == 0xFFFFFFFF) && idxAppType == apptype::kVmBackupSetIndex) {
        TEntityKind kind;
        if (readEntityKind(zydb::CRequestReads::current(), 0, static_cast<long>(m_backupSetId), kind) ==
            EEntityKindRead::kRecorded)
            subclient = static_cast<uint32_t>(kind.readSubclientId);
    }
    ArchFile files(nullptr);
    files.setTop(1);
    files.setIsolationType(4);
    log.debugLvl(2,
                 "Checking for latest valid afile fromTime [%u] toTime [%u] appId [%u] copyPrecedence [%u]",
                 m_fromTime, m_toTime, subclient, m_copyPrecedence);
    files.setWhere(
        "ctime >= %u AND ctime <= %u AND appId = %u AND fileType = 1 AND isValid = 1  and (0 = %d OR exists( "
        "\tselect 1 "
        "from archfileCopy WITH(NOLOCK) where \tarchfileCopy.archfileid = archfile.id \tand "
        "archfilecopy.kelmarchId = "
        "archFile.kelmarchId \tand archfilecopy.isValid = 1 \tand archfilecopy.agedBy = 0 \tand "
        "archFileCopy.archCopyId "
        "in( \t\tselect archgroupcopy.id from archGroupCopy WITH(NOLOCK) where \t\tarchGroupCopy.archgroupId "
        "= "
        "archfile.archGroupId \t\tand archGroupCopy.copy = %d \t)  ))  and exists(select 1 from JMBkpStats "
        "WITH(NOLOCK) "
        "where JMBkpStats.jobId = archfile.jobId and JMBkpStats.kelmarchId = archfile.kelmarchId and "
        "JMBkpStats.status "
        "in(1, 3, 14))",
        m_fromTime, m_toTime, subclient, static_cast<int>(m_copyPrecedence),
        static_cast<int>(m_copyPrecedence));
    files.setOrderBy("ctime desc");
    uint32_t latestJob = 0, latestKelmarch = 0;
    if (files.getOneRow(&files, false, -1, 0) == 0) {
        latestJob = static_cast<uint32_t>(files.getDataPtr()->jobId);
        latestKelmarch = static_cast<uint32_t>(files.getDataPtr()->kelmarchId);
    }
    log.debugLvl(2, "Checking for catalog status of job [%u]", latestJob);
    files.setWhere("jobId = %lu AND kelmarchId = %lu and filetype=%d AND isValid = 1",
                   static_cast<unsigned long>(latestJob), static_cast<unsigned long>(latestKelmarch), 9);
    files.setOrderBy("ctime desc");
    if (files.getOneRow(&files, false, -1, 0) == 0) m_hasCatalogAfile = true;
    if (m_hasCatalogAfile) return false;

    int node = static_cast<int>(m_indexServerClientId);
    CUxError err = GetDm2IndexServerForVSASubclient(static_cast<int>(subclient), node);
    if (err.IsError()) {
        log.debugLvl(-1, "Unable to get Associated IndexServer for VSA subclient [%u], err [%s]", subclient,
                     err.GetErrorText().c_str());
        return false;
    }
    m_indexServerClientId = static_cast<uint32_t>(node);
    if (node <= 0) return false;

    log.debugLvl(2,
                 "Checking for latest afile with ZYA_AF_CI_SUCCESS_FLAG fromTime [%u] toTime [%u] appId [%u]",
                 m_fromTime, m_toTime, subclient);
    files.setWhere("flags & 64 <> 0 AND fileType = 1 AND isValid = 1 AND appId = %u", subclient);
    files.setOrderBy("ctime desc");
    uint32_t ciJob =
        files.getOneRow(&files, false, -1, 0) == 0 ? static_cast<uint32_t>(files.getDataPtr()->jobId) : 0;

    auto force = [&](uint32_t job) {
        indexingV2 = true;
        idxAppType = m_appType;
        m_forcedV2ForContentIndexing = true;
        m_ciJobId = job;
        m_ciKelmarchId = latestKelmarch;
    };
    if ((m_optionBits & 0x2) != 0) {
        indexingV2 = true;
        idxAppType = m_appType;
        m_forcedV2ForContentIndexing = true;
        return true;
    }
    if (m_fromTime != 0) return false;
    log.debugLvl(2, "Latest job [%d], Latest CI'd job [%d]", static_cast<int>(latestJob),
                 static_cast<int>(ciJob));
    if (ciJob == 0 || ciJob != latestJob) return false;

    bool syntheticFull = false;
    if (!indexingV2) {
        JMBkpStats stats(nullptr);
        stats.setWhere("jobId = %u AND bkpLevel IN (%d, %d, %d)", latestJob, 64, 16384, 128);
        if (stats.getOneRow(&stats, false, -1, 0) == 0) {
            syntheticFull = true;
            log.debugLvl(2, "Job [%u] is v1 synthetic full job", latestJob);
        }
    }
    ArchFile scan(nullptr);
    scan.setIsolationType(4);
    int count = 0;
    bool contentIndexed = false;
    if (indexingV2 || syntheticFull) {
        scan.setWhere("jobId = %u  AND fileType = 1 AND isValid = 1", latestJob);
        while (scan.getNextRow(&scan, &count, -1, 0) == 0) {
            const ArchFile_t& f = *scan.getDataPtr();
            log.debugLvl(2, "Checking for ZYA_AF_CI_SUCCESS_FLAG afile id [%d]", f.id);
            if (f.flags & kContentIndexedFlag) {
                log.debugLvl(2, "ZYA_AF_CI_SUCCESS_FLAG set for afile id [%d]", f.id);
                contentIndexed = true;
                break;
            }
        }
    } else {
        unsigned long instanceType = 0;
        if (InstanceTypeVirtualServer(m_instanceId).getInstanceType(instanceType, nullptr) != 0) {
            log.debugLvl(2, "Unable to fetch instanceType for instanceId [%d]",
                         static_cast<int>(m_instanceId));
            instanceType = 0;
        }
        const bool cloudInstance = instanceType == 301 || instanceType == 401 || instanceType == 402;
        std::set<std::string> indexed, notIndexed;
        scan.setWhere(
            "jobId = %u  AND (name not in ('', 'N/A', 'Not Named') OR flags & 2 <> 0) AND fileType = 1 AND "
            "isValid = 1",
            latestJob);
        while (scan.getNextRow(&scan, &count, -1, 0) == 0) {
            const ArchFile_t& f = *scan.getDataPtr();
            log.debugLvl(2, "Checking for ZYA_AF_CI_SUCCESS_FLAG afile id [%d]", f.id);
            if (cloudInstance && (f.flags & 4)) {
                log.debugLvl(2,
                             "SKipping ZYA_AF_CI_SUCCESS_FLAG check for backup copy archive file [%d] for "
                             "Azure/AWS instanceType [%lu]",
                             f.id, instanceType);
                continue;
            }
            if (!cloudInstance && (f.flags & 2)) {
                log.debugLvl(2,
                             "SKipping ZYA_AF_CI_SUCCESS_FLAG check for snap copy archive file [%d] for "
                             "instanceType [%lu]",
                             f.id, instanceType);
                continue;
            }
            if (f.flags & kContentIndexedFlag) {
                log.debugLvl(2, "ZYA_AF_CI_SUCCESS_FLAG set for afile id [%d]", f.id);
                indexed.insert(f.name);
            } else {
                log.debugLvl(2, "ZYA_AF_CI_SUCCESS_FLAG not set for afile id [%d]", f.id);
                notIndexed.insert(f.name);
            }
        }
        contentIndexed = !indexed.empty();
        for (const std::string& vm : notIndexed) {
            if (indexed.count(vm) == 0) {
                log.debugLvl(2, "ZYA_AF_CI_SUCCESS_FLAG is not set for VM [%s]", vm.c_str());
                contentIndexed = false;
                break;
            }
        }
    }
    if (!contentIndexed) return false;
    log.debugLvl(0,
                 " VSA appType [%ld] ZYA_AF_CI_SUCCESS_FLAG set for latest job id [%d] fromTime [%d] toTime "
                 "[%d] appId "
                 "[%d] , forcing V2 browse",
                 apptype::code(m_appType), static_cast<int>(ciJob), static_cast<int>(m_fromTime),
                 static_cast<int>(m_toTime), static_cast<int>(subclient));
    force(ciJob);
    return true;
}

void SuperBrowseManager::backwardCompatibilityChecks(bool& indexingV2, apptype::EAppType idxAppType,
                                                     long long& threshold) {
    CBrowseLog log(kTag);
    static const char* const kSwitchToV1 =
        "There is no backups utilized new Indexing layer. Switch to backward compatibility mode.";
    static const char* const kKeepV2 =
        "Unable to fetch aFile list to check backward compatibility threshold. Continue with new Indexing "
        "layer.";
    APP_ClientProp prop(nullptr);
    prop.setIsolationType(4);
    const std::string propertyName = I2::Utils::getIndexingV2PropertyName(apptype::code(idxAppType));
    prop.setWhere("componentNameId=%lu and attrName='%s'", static_cast<unsigned long>(m_clientId),
                  propertyName.c_str());
    if (prop.getOneRow(&prop, false, -1, 0) != 0) {
        log.debugLvl(
            0,
            "Unable to fetch client property to check backward compatibility threshold. Continue with new "
            "Indexing layer.");
        return;
    }
    threshold = prop.getDataPtr()->created;
    // The outcome of a look-up for backups of the new layer: none switches to v1, an error keeps v2;
    // true when a row came.
    auto switchToV1UnlessFound = [&](int rc) {
        if (rc == 100) {
            log.debugLvl(0, "%s", kSwitchToV1);
            indexingV2 = false;
        } else if (rc != 0) {
            log.debugLvl(0, "%s", kKeepV2);
        }
        return rc == 0;
    };
    const Key key = usable(m_subclientId)   ? Key::Subclient
                    : usable(m_backupSetId) ? Key::BackupSet
                                            : Key::Client;
    const uint32_t t = static_cast<uint32_t>(threshold);
    ArchFile files(nullptr);
    files.setTop(1);
    files.setIsolationType(4);

    if (threshold <= static_cast<long long>(m_toTime)) {
        const bool live = m_appType == apptype::kNas;
        if (usable(m_backupSetId)) {
            files.setWhere(
                live ? "(fileType in (2,6) and name not in ('', 'N/A', 'Not Named') OR fileType=1) and "
                       "cTime>=%u and appId in (select id from APP_Application where clientId = %u and "
                       "backupSet=%u)"
                     : "(fileType in (2,6) and name not in ('', 'N/A', 'Not Named')) and cTime>=%u and appId "
                       "in (select id from APP_Application where clientId = %u and backupSet=%u)",
                t, m_clientId, m_backupSetId);
        } else {
            files.setWhere(
                live ? "(fileType in (2,6) and name not in ('', 'N/A', 'Not Named') or fileType=1) and "
                       "cTime>=%u and appId in (select id from APP_Application where clientId = %u and "
                       "apptype = %ld)"
                     : "(fileType in (2,6) and name not in ('', 'N/A', 'Not Named')) and cTime>=%u and appId "
                       "in (select id from APP_Application where clientId = %u and apptype = %ld)",
                t, m_clientId, apptype::code(m_appType));
        }
        switchToV1UnlessFound(files.getOneRow(&files, false, -1, 0));
    } else {
        static const char* const kV2Jobs =
            " and a1.fileType in (1,4) and a1.cTime<%u and exists (select 1 from archFile a2 with (NOLOCK) "
            "where "
            "a1.jobId=a2.jobId and a1.kelmarchId = a2.kelmarchId and a2.name not in ('', 'N/A', 'Not Named') "
            "and "
            "a2.fileType in (2,6)))";
        // The earliest job indexed by the new layer decides, whatever order the rows come in.
        files.setOrderBy("cTime asc");
        if (key == Key::Subclient) {
            files.setWhere(
                (std::string(" id in (select a1.id from archFile a1 with (NOLOCK) where a1.appId=%u") +
                 kV2Jobs)
                    .c_str(),
                m_subclientId, t);
        } else if (key == Key::BackupSet) {
            files.setWhere(
                (std::string(
                     " id in (select a1.id from archFile a1 with (NOLOCK) where a1.appId in (select app.id "
                     "from app_application app with (NOLOCK) where app.backupSet=%u)") +
                 kV2Jobs)
                    .c_str(),
                m_backupSetId, t);
        } else {
            files.setWhere(
                " id in(select a1.id from archFile a1 with(NOLOCK) where a1.appId in(select app.id from "
                "app_application "
                "app with(NOLOCK) where app.clientId = %u and apptype = %ld) and a1.fileType in(1, 4) and "
                "a1.cTime<%u and "
                "exists(select 1 from archFile a2 with(NOLOCK) where a1.jobId = a2.jobId and a1.kelmarchId = "
                "a2.kelmarchId "
                "and a2.name not in ('', 'N/A', 'Not Named') and a2.fileType in(2, 6)))",
                m_clientId, apptype::code(m_appType), t);
        }
        if (switchToV1UnlessFound(files.getOneRow(&files, false, -1, 0)) &&
            files.getDataPtr()->cTime < static_cast<int>(t)) {
            const ArchFile_t& f = *files.getDataPtr();
            long backupTime = 0, endTime = 0;
            if (ZYManageDBForJM::GetBkpTimeForBkpHistoryJob(static_cast<unsigned long>(f.jobId), backupTime,
                                                            endTime,
                                                            static_cast<unsigned long>(f.kelmarchId))) {
                if (static_cast<long>(m_toTime) <= backupTime) {
                    log.debugLvl(0, "%s", kSwitchToV1);
                    indexingV2 = false;
                } else {
                    indexingV2 = true;
                }
            } else {
                log.debugLvl(0,
                             "Unable to fetch job properties for aFile (%d, %d) from job %d. Continue with "
                             "new Indexing layer.",
                             f.kelmarchId, f.id, f.jobId);
            }
        }
        files.setOrderBy("");
    }

    if (indexingV2 && getExtendedOption(105) == '1' && m_appType == apptype::kNas) {
        if (key == Key::Subclient) {
            files.setWhere(
                "id in (select TOP 1 id from archFile where fileType in(2, 6) and name in ('', 'N/A', 'Not "
                "Named') and fileType in(2, 6) and cTime >= %u and appId = %u order by ctime desc)",
                m_fromTime, m_subclientId);
        } else if (key == Key::BackupSet) {
            files.setWhere(
                "id in(select TOP 1 id from archFile where fileType in(2, 6) and name in ('', 'N/A', 'Not "
                "Named') and fileType in(2, 6) and cTime >= %u and appId in(select id from APP_Application "
                "where clientId = %u and backupSet = %u) order by ctime desc)",
                m_fromTime, m_clientId, m_backupSetId);
        } else {
            files.setWhere(
                "ID in (select TOP 1 id from ARCHFILE  where fileType in (2,6) and name in ('', 'N/A', 'Not "
                "Named') and fileType in (2,6) and cTime>=%u and appId in (select id from APP_Application "
                "where clientId = %u and apptype = %ld) order by ctime desc)",
                m_fromTime, m_clientId, apptype::code(m_appType));
        }
        int rc = files.getOneRow(&files, false, -1, 0);
        if (rc == 0) {
            const ArchFile_t& f = *files.getDataPtr();
            // The browse may end earlier than asked, never later.
            uint32_t newTo = std::min<uint32_t>(m_toTime, static_cast<uint32_t>(f.cTime));
            log.debugLvl(
                0, "Found V1 backups in the selected timeframe (%u, %u). Adjust toTime to %u (max aFile %u).",
                m_fromTime, m_toTime, newTo, static_cast<uint32_t>(f.id));
            m_toTime = newTo;
        } else if (rc != 100) {
            log.debugLvl(0, "%s", kKeepV2);
        }
    }

    if (indexingV2) return;
    const bool live = m_appType == apptype::kNas;
    if (key == Key::Subclient) {
        files.setWhere(
            live ? "(fileType in (2,6) OR fileType=1) and appId =%u" : "fileType in (2,6) and appId =%u",
            m_subclientId);
    } else if (key == Key::BackupSet) {
        files.setWhere(live ? "(fileType in (2,6) OR fileType=1) and appId in (select id from "
                              "APP_Application where clientId = %u and backupSet=%u)"
                            : "fileType in (2,6) and appId in (select id from APP_Application where clientId "
                              "= %u and backupSet=%u)",
                       m_clientId, m_backupSetId);
    } else {
        files.setWhere(live ? "(fileType in (2,6) or fileType=1) and appId in (select id from "
                              "APP_Application where clientId = %u and apptype = %ld)"
                            : "fileType in (2,6) and appId in (select id from APP_Application where clientId "
                              "= %u and apptype=%ld)",
                       m_clientId, apptype::code(m_appType));
    }
    int rc = files.getOneRow(&files, false, -1, 0);
    if (rc == 0) {
        log.debugLvl(0,
                     "There is no backups utilized new Indexing layer before the ToTime but some backups "
                     "exists. Switch "
                     "to backward compatibility mode.");
    } else if (rc == 100) {
        indexingV2 = true;
    } else {
        log.debugLvl(0, "Unable to query DB to verity presence of jobs in backupset with error code %d.", rc);
    }
}
