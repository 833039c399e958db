// The second phase of the indexing information of an indexing-V2 request: the subclients the user may
// browse (with their cycle times, checkpoints and NAS mount parameters), a retention sub-query per
// subclient, one IndexDBInfo per cycle, the index database and media agent chosen by majority, the
// subclient-index options and the VM criteria of a parent VM browse. The planner's shared cycle list and
// selections are changed under the session record's plan lock. Members of CWorkerThreadHM, run under
// the worker's lock by the thread that holds it.
#include <memory>
#include <mutex>
#include <set>
#include <unordered_map>

#include "Db/Tbl/APP_Application.h"
#include "Db/Tbl/NBGlobalParam.h"
#include "Db/Tbl/archFile.h"
#include "fbDebug/fbdebug.h"
#include "framework/browseaccess.h"
#include "indexing/indexinginfo.h"
#include "indexing/superbrowserequest.h"
#include "planning/afileselection.h"
#include "planning/browsetask.h"
#include "planning/confmgr.h"
#include "planning/confrecord.h"
#include "planning/superbrowsemanager.h"
#include "platform/db/dbresult.h"
#include "platform/entities/applicationid.h"
#include "platform/entities/apptypes.h"
#include "platform/entities/entityconfig.h"
#include "platform/errors/evmessagecontainer.h"
#include "platform/errors/evmessageids.h"
#include "platform/indexing/indexingutils.h"
#include "platform/msg/criteriaoperators.h"
#include "platform/net/zynet_directory.h"
#include "platform/security/evsecuritymgr.h"
#include "platform/tasks/evrestoretask.h"
#include "platform/tasks/extendedoptions.h"
#include "worker/fastbrowsehmworkerthread.h"
#include "worker/naslivebrowseplugin.h"
#include "worker/requestlog.h"

namespace {

const char* const kTag = "FBHMWORKER";

constexpr const char* kNoVmsText =
    "We couldn't find any VMs for the given criteria. Please check Browse.log for detailed information.";

// True when a path of an Oracle or table-space request asks for the table view.
bool isTableViewRequest(apptype::EAppType appType, const std::vector<CNMessageBase>* paths) {
    if (!apptype::in(apptype::family::kOracle, appType) || !paths) return false;
    for (const CNMessageBase& p : *paths) {
        const std::string text = p.getstring(databrowse::BrowsePath::f::path);
        if (text.size() <= 6) continue;
        if (text.compare(1, 7, "TblView") == 0 || text.compare(1, 12, "+TblSpaceDep") == 0) return true;
    }
    return false;
}

// A subclient marked deleted (status bit 4) that has no V1 index logs.
bool isDeletedV1Subclient(int appId) {
    APP_Application app(nullptr);
    app.setTop(1);
    app.setIsolationType(4);
    app.setWhere("subclientStatus & 4 = 4 and id=%d", appId);
    if (app.getOneRow(&app, false, 0, 0) != zydb::DB_OK) return false;
    ArchFile logs(nullptr);
    logs.setTop(1);
    logs.setIsolationType(4);
    logs.setWhere(
        "appId=%d and filetype in (2,6) and cs_afname = CHECKSUM(N'IdxLogs_V1') and name = N'IdxLogs_V1'",
        appId);
    return logs.getOneRow(&logs, false, 0, 0) == zydb::DB_NO_DATA;
}

bool isLogOnly(uint32_t kelmarchId, int appId) {
    if (!ApplicationId(kelmarchId, static_cast<unsigned long>(appId)).getSubclient()) return false;
    bool logOnly = false;
    return Subclient(static_cast<unsigned long>(appId)).isLogOnlySubclient(logOnly, nullptr) == 0 && logOnly;
}

// The record's plan lock for a scope; nothing when the worker holds no record.
class CPlanLock {
public:
    explicit CPlanLock(const std::string& confId)
        : m_guard(confId.empty() || !g_poConfMgr ? nullptr : lockOf(g_poConfMgr->getConfRec(confId, false))) {
    }

private:
    static ZyCriticalSection* lockOf(CConfRecord* record) { return record ? record->getPlanLock() : nullptr; }
    ZyCriticalSectionLock m_guard;
};

}  // namespace

bool skipDeletedV1Subclients() {
    static std::once_flag once;
    static bool skip = false;
    std::call_once(once, [] {
        NBGlobalParam param(nullptr);
        param.setTop(1);
        param.setWhere("name = 'IDX_UPGRADE_SKIP_DELETED_V1_SUBCLIENTS' and modified=0 and value='1'");
        skip = param.getOneRow(&param, false, 0, 0) == zydb::DB_OK;
    });
    return skip;
}

bool CWorkerThreadHM::addNasMountParams(int appId, std::vector<CNMessageBase>& nasList) {
    CBrowseLog log(kTag);
    TBrowseTask& bt = *m_browseTask->getDataPtr();
    TAfileSelection selection;
    selection.subclientId = static_cast<uint32_t>(appId);
    selection.appType = apptype::of(m_inputData.appType);
    selection.copyPrecedence = m_inputData.copyPrecedence;
    selection.fromTime = m_inputData.fromTime;
    selection.toTime = m_inputData.toTime;
    EvMessageContainer messages;
    const int64_t snapAfile =
        getSnapAfile(m_inputData.toTime, &selection, messages, static_cast<unsigned>(appId));
    if (!snapAfileId(snapAfile, static_cast<unsigned>(appId), bt.snapAfileId)) {
        log.debugLvl(0, "No snapshot archive file for subclient [%d]; no NAS mount parameters sent for it",
                     appId);
        return false;
    }
    std::string text;
    const int rc = CNASLiveBrowsePlugin::instance().getSnapMountParams(static_cast<unsigned>(appId),
                                                                       bt.copyPrecedence, snapAfile, text);
    if (rc == -1) {
        log.debugLvl(0, "Failed to create NASLiveBrowse object");
        return false;
    }
    if (rc != NASLIVEBROWSE_OK) {
        log.debugLvl(0, "GetNASLiveBrowseSnapMountParams failed with [%d] for subclient [%d]", rc, appId);
        return false;
    }
    databrowse::NASMountXmlForSubclient mount;
    mount.setint64(databrowse::NASMountXmlForSubclient::f::appId, appId);
    mount.setstring(databrowse::NASMountXmlForSubclient::f::mountXml, text);
    nasList.push_back(mount);
    return true;
}

void CWorkerThreadHM::addRetentionSubquery(const APP_Application_t& row) {
    CBrowseLog log(kTag);
    if (!m_queryList) m_queryList = std::make_unique<databrowse::Querylist>();
    std::vector<databrowse::Criteria> filters = getRetentionFilters(row.id, true);
    log.debugLvl(0, " Setting retention query for [%s]", row.GUID);
    databrowse::Query query;
    query.setint64(databrowse::Query::f::type, databrowse::kQueryTypeRetention);
    query.setstring(databrowse::Query::f::queryId, std::string("retention-subquery") + ":" + row.GUID);
    query.setlistobject(databrowse::Query::f::criteriaList,
                        std::vector<CNMessageBase>(filters.begin(), filters.end()));
    m_queryList->getlistobject(databrowse::Querylist::f::queries, true)->push_back(query);
}

int CWorkerThreadHM::indexingInfoSubclients(TIndexingInfoRun& run) {
    CBrowseLog log(kTag);
    using S = databrowse::SubclientInfo::f;
    TBrowseTask& bt = *m_browseTask->getDataPtr();
    SuperBrowseManager* planner = bt.planner;
    const long userId = m_privateTask->getUserId();
    const long backupSet = m_privateTask->getBackupSetId();

    auto* paths = m_browseRequest.getlistobject(databrowse::BrowseRequest::f::paths, false);
    int subclientFilter = static_cast<int>(m_inputData.subclientId);
    if (paths && !paths->empty() && paths->front().getstring(databrowse::BrowsePath::f::path).empty()) {
        const CNMessageBase* block =
            paths->front().getObjectAccessor(databrowse::BrowsePath::f::detail, false);
        if (block && !block->getstring(databrowse::Msg2::f::subclientId).empty()) subclientFilter = 0;
    }
    const char* userName = m_privateTask->getUserName();
    const bool domainUser = userName && std::string(userName).find('\\') != std::string::npos;

    std::vector<APP_Application_t> rows;
    CUxError err = SuperBrowseManager::getAppIds(static_cast<int>(backupSet), subclientFilter, rows, false);
    if (err.IsError()) {
        log.debugLvl(0, "Failed to fetch subclients belonging to backupset [%lu], error [%s]",
                     static_cast<unsigned long>(backupSet), err.GetErrorText().c_str());
        return -1;
    }
    const bool tableView = isTableViewRequest(apptype::of(m_inputData.appType), paths);
    const bool skipDeleted = skipDeletedV1Subclients();
    const std::string accessText = browseAccessText(m_browseRequest);
    EvSecurityCheck security(static_cast<long long>(m_privateTask->getJobId()), m_reads);

    std::vector<CNMessageBase> subclientInfos;
    std::vector<CNMessageBase> nasList;
    std::set<uint32_t> allowed;
    for (const APP_Application_t& row : rows) {
        const uint32_t appId = static_cast<uint32_t>(row.id);
        const auto last = run.lastCycleTime.find(appId);
        const uint32_t lastCycle = last == run.lastCycleTime.end() ? 0 : last->second;
        if (!run.cloudLaptop && run.subclientIndex && lastCycle == 0 && !run.firstJobRunning) {
            if (planner) {
                CPlanLock lock(m_heldConfId);
                std::vector<SuperBrowse>* cycles = planner->getCycles();
                for (auto it = cycles->begin(); it != cycles->end(); ++it) {
                    if (it->indexDbId == row.GUID) {
                        cycles->erase(it);
                        break;
                    }
                }
            }
            continue;
        }
        if (tableView && isLogOnly(m_inputData.kelmarchId, row.id)) continue;

        // A VM's browse moved to its hypervisor's index reads only that VM, whose rights were judged.
        bool mayBrowse = userId <= 0 || m_vmView.judgedClient() > 0;
        if (!mayBrowse) {
            mayBrowse = security.canBrowse(static_cast<int>(userId), m_inputData.kelmarchId, row.clientId,
                                           row.appTypeId, row.instance, row.backupSet, row.id, false, "");
            if (!mayBrowse && domainUser)
                mayBrowse =
                    security.canBrowse(static_cast<int>(userId), m_inputData.kelmarchId, row.clientId,
                                       row.appTypeId, row.instance, row.backupSet, row.id, true, accessText);
        }
        if (mayBrowse && skipDeleted && isDeletedV1Subclient(row.id)) mayBrowse = false;

        if (!mayBrowse) {
            log.debugLvl(
                0,
                "subclientId(%lu) will be skipped! User (%lu) has no rights to browse. kelmarch (%lu), "
                "srcClientId (%lu), appTypeId (%lu), instance (%lu)  backupSet (%lu).",
                static_cast<unsigned long>(appId), static_cast<unsigned long>(userId),
                static_cast<unsigned long>(m_inputData.kelmarchId), static_cast<unsigned long>(row.clientId),
                static_cast<unsigned long>(row.appTypeId), static_cast<unsigned long>(row.instance),
                static_cast<unsigned long>(row.backupSet));
        } else {
            databrowse::SubclientInfo info;
            info.setstring(S::subclientGUID, row.GUID);
            info.setint64(S::appId, appId);
            info.setint64(S::lastCycleTime, lastCycle);
            const auto first = run.firstArchiveTime.find(appId);
            info.setint64(S::firstArchiveTime,
                          run.pointInTime && first != run.firstArchiveTime.end() ? first->second : 0);
            const auto checkpoint = run.checkpoints.find(appId);
            if (checkpoint != run.checkpoints.end()) {
                databrowse::SubclientInfo stored;
                if (stored.unserialize(checkpoint->second) == 0)
                    if (auto* list = stored.getlistobject(S::checkpoints, false))
                        info.setlistobject(S::checkpoints, *list);
            }
            subclientInfos.push_back(info);
            allowed.insert(appId);
            if (run.nasPlugin) addNasMountParams(row.id, nasList);
        }
        if (run.retentionFiltersSet) addRetentionSubquery(row);
    }

    CNMessageBase* advanced =
        m_browseRequest.getObjectAccessor(databrowse::BrowseRequest::f::advOptions, true);
    CNMessageBase* settings = advanced->getObjectAccessor(databrowse::Msg63::f::advancedConfig, true);
    if (!nasList.empty()) {
        CNMessageBase* search = settings->getObjectAccessor(databrowse::BrowseAdvancedConfig::f::at5_5, true);
        CNMessageBase* client = search->getObjectAccessor(databrowse::Msg38::f::at3_3, true);
        CNMessageBase* mount = client->getObjectAccessor(databrowse::Msg35::f::nasMount, true);
        mount->setlistobject(databrowse::NASMountXml::f::at5_5, nasList);
    }
    auto* jobs = run.jobs.getlistobject(databrowse::JobInfoList::f::jobs, false);
    if (jobs && !jobs->empty()) {
        databrowse::AdditionalFlag flag;
        std::string text;
        run.jobs.serialize(text);
        flag.setint64(databrowse::AdditionalFlag::f::flagType, browseflag::kJobList);
        flag.setstring(databrowse::AdditionalFlag::f::value, text);
        CNMessageBase* flags =
            settings->getObjectAccessor(databrowse::BrowseAdvancedConfig::f::flagBlock, true);
        flags->getlistobject(databrowse::Msg9::f::additionalFlags, true)->push_back(flag);
    }

    if (chooseIndexDatabase(run, subclientInfos, allowed) != 0) return -1;

    if (run.subclientIndex) {
        CExtendedOptions options;
        options.setOptions(m_inputData.text11);
        options.setOption("SubClientIndex", "1");
        options.setOption("ServeBrowseFromBackupset", run.serveFromBackupSet ? "1" : "0");
        std::string merged;
        if (options.getOptions(merged) == 0) m_inputData.text11 = merged;
    }

    if (run.parentVmBrowse) {
        if (run.vmGuids.empty()) {
            setLastError(databrowse::BROWSE_ERR_NOTHING_TO_BROWSE, kNoVmsText);
            return -1;
        }
        auto* queries =
            m_queryList ? m_queryList->getlistobject(databrowse::Querylist::f::queries, false) : nullptr;
        for (size_t n = 0; queries && n < queries->size(); ++n) {
            auto* criteria = (*queries)[n].getlistobject(databrowse::Query::f::criteriaList, true);
            for (const std::string& guid : run.vmGuids)
                criteria->push_back(makeBrowseCriteria(1, criteriaattr::kVirtualMachine,
                                                       criteriaop::kOfVirtualMachine, "\\" + guid));
        }
    }
    return 0;
}

int CWorkerThreadHM::chooseIndexDatabase(TIndexingInfoRun& run,
                                         const std::vector<CNMessageBase>& subclientInfos,
                                         const std::set<uint32_t>& allowed) {
    CBrowseLog log(kTag);
    using D = databrowse::IndexDBInfo::f;
    SuperBrowseManager* planner = m_browseTask->getDataPtr()->planner;
    CPlanLock lock(m_heldConfId);
    const std::vector<SuperBrowse> cycles = planner ? *planner->getCycles() : std::vector<SuperBrowse>{};
    if (cycles.empty()) {
        log.debugLvl(-1, "Can't find any cycle to browse for browse request [%s]",
                     maskedRequestText(m_browseRequest).c_str());
        return -1;
    }
    CNMessageBase* indexing = m_browseRequest.getObjectAccessor(databrowse::BrowseRequest::f::indexing, true);
    CNMessageBase* routing = indexing->getObjectAccessor(databrowse::Msg91::f::indexingInfo, true);
    auto* databases = routing->getlistobject(databrowse::IndexingInfo::f::indexDbList, true);

    const SuperBrowse* chosen = nullptr;
    databrowse::IndexDBInfo chosenInfo;
    std::string chosenMa;
    std::unordered_map<std::string, int> counts;
    for (const SuperBrowse& cycle : cycles) {
        if (run.subclientIndex && allowed.count(cycle.appId) == 0) continue;
        databrowse::IndexDBInfo info;
        info.setstring(D::backupSetGUID, cycle.backupSetGuid);
        info.getObjectAccessor(D::indexDb, true)->setstring(databrowse::Msg87::f::dbName, cycle.indexDbId);
        info.setint64(D::dbEngineType, cycle.dbEngineType);
        if (m_maFromTaskOptions) {
            info.setstring(D::mediaAgentName, m_maHostName);
            if (!chosen) {
                chosen = &cycle;
                chosenInfo = info;
                chosenMa = m_maHostName;
            }
        } else {
            info.setstring(D::mediaAgentName, cycle.mediaAgentName);
            const int count = ++counts[cycle.mediaAgentName];
            if (!chosen || (cycle.mediaAgentName != chosenMa && counts[chosenMa] < count)) {
                chosen = &cycle;
                chosenInfo = info;
                chosenMa = cycle.mediaAgentName;
            }
        }
        databases->push_back(info);
    }
    if (!chosen) {
        // Every cycle belongs to a subclient the user may not browse: there is nothing to serve.
        log.debugLvl(0, "No index database of the backup set [%s] may be browsed by user [%ld]",
                     m_backupSetGuid.c_str(), m_privateTask->getUserId());
        EvMessageContainer message;
        message.SetMessageID(evmsg::kBrowseAccessDenied, true);
        setErrorMessage(message);
        setLastError(databrowse::BROWSE_ERR_PERMISSION, m_errorText);
        return -1;
    }

    m_indexDbName = chosen->indexDbId;
    m_indexBackupSetName = chosen->backupSetGuid;
    m_idxDbEngineType = static_cast<App::IdxDbEngineType>(chosen->dbEngineType);
    const std::string key = I2::Utils::FormBackupSetAndDbName(chosen->backupSetGuid, chosen->indexDbId);
    if (!m_maFromTaskOptions) {
        m_maHostName = chosenMa;
        std::string host, clientName;
        int service = 0, port = 0;
        DemangleHostName(chosenMa, host, clientName, service, port);
        m_maClientName = clientName;
        m_maVersion = chosen->mediaAgentVersion;
    }
    chosenInfo.setlistobject(D::subclients, subclientInfos);
    routing->setObjectAccessor(chosenInfo, databrowse::IndexingInfo::f::indexDBInfo);
    routing->setstring(databrowse::IndexingInfo::f::mediaAgentName, m_maHostName);
    planner->selectV2Db(key);
    planner->selectV2DbEngineType(m_idxDbEngineType);
    planner->selectMediaAgent(m_maHostName);
    return 0;
}
