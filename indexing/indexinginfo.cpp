// The first phase of the indexing information of an indexing-V2 request: the entity's GUIDs, the
// subclient-index mode, data-archive validation, the NAS live-browse plug-in, the parent-VM input, the
// old-index-server rule, and the scan of the backup set's archive rows into cycle times, jobs,
// cross-cycle ranges and VM GUIDs, with the checkpoints of those ranges, the no-cycles and the
// running-job rules. Members of CWorkerThreadHM, run under the worker's lock by the thread that holds it.
#include "indexing/indexinginfo.h"

#include <algorithm>

#include "Db/Proc/AppGetIndexCheckpointForGivenTimeRange.h"
#include "Db/Proc/archFileByTimeSuperBrowse.h"
#include "Db/Tbl/APP_IDAProp.h"
#include "Db/Tbl/APP_SubClientProp.h"
#include "Db/Tbl/App_IndexDBInfo.h"
#include "Db/Tbl/JMBkpStats.h"
#include "Db/Tbl/archFile.h"
#include "fbDebug/fbdebug.h"
#include "planning/browsetask.h"
#include "planning/superbrowsemanager.h"
#include "platform/db/dbresult.h"
#include "platform/entities/apptypes.h"
#include "platform/entities/entityconfig.h"
#include "platform/entities/zyglobalparam.h"
#include "platform/errors/evmessagecontainer.h"
#include "platform/errors/evmessageids.h"
#include "platform/indexing/indexingversion.h"
#include "platform/net/zynet_directory.h"
#include "platform/tasks/evrestoretask.h"
#include "worker/fastbrowsehmworkerthread.h"
#include "worker/naslivebrowseplugin.h"

namespace {

const char* const kTag = "FBHMWORKER";

constexpr uint64_t kOptionNasLiveBrowse = 0x200;
constexpr int kSecuredCrossCycleServicePack = 22;
constexpr uint32_t kEngineDynamicIndex = 2;
constexpr int kResultSetCycle = 1;
constexpr int kResultSetData = 2;
constexpr int kResultSetIndex = 3;
constexpr const char* kParentVmInput = "<InputParam><VSAV2ParentBrowse>1</VSAV2ParentBrowse></InputParam>";

bool isOldIndexServerOperation(int opType) {
    return opType == 7 || opType == 8 || opType == 9 || opType == 11;
}

// Whether a backup job of the backup set finished by `toTime` (0: now). A dynamic index keeps no cycle of
// its own to tell so, and one asked for before the first backup has nothing to answer with.
bool backupSetHasJobUpTo(long backupSetId, long toTime) {
    JMBkpStats stats(nullptr);
    stats.setIsolationType(4);
    stats.setTop(1);
    if (toTime > 0)
        stats.setWhere(
            "appId IN (SELECT id FROM APP_Application WHERE backupSet = %ld) AND status IN (1, 3, 14) AND "
            "servEndDate <= %ld",
            backupSetId, toTime);
    else
        stats.setWhere(
            "appId IN (SELECT id FROM APP_Application WHERE backupSet = %ld) AND status IN (1, 3, 14)",
            backupSetId);
    return stats.getOneRow(&stats, false, 0, 0) == zydb::DB_OK;
}

}  // namespace

int CWorkerThreadHM::populateIndexingInfo(bool retentionFiltersSet, bool pointInTime) {
    TIndexingInfoRun run;
    run.retentionFiltersSet = retentionFiltersSet;
    run.pointInTime = pointInTime;
    if (indexingInfoJobsAndCycles(run) != 0) return -1;
    return indexingInfoSubclients(run);
}

void CWorkerThreadHM::readSubclientIndexMode(TIndexingInfoRun& run) {
    CBrowseLog log(kTag);
    const long backupSet = m_privateTask->getBackupSetId();
    if (run.subclientIndex) {
        run.indexInUse = true;
        APP_IDAProp agent(nullptr);
        agent.setIsolationType(4);
        agent.setWhere(
            "attrname = 'Subclient Index' AND modified = 0 AND componentNameId = (SELECT id FROM App_IdaName "
            "WITH(NOLOCK) WHERE ClientID = (SELECT TOP 1 clientID from App_Application WITH(NOLOCK) WHERE "
            "backupset = %ld) AND appTypeId = %ld)",
            backupSet, static_cast<long>(m_inputData.appType));
        const int rc = agent.getOneRow(&agent, false, 0, 0);
        if (rc == zydb::DB_OK) run.subclientIndexEnabledTime = agent.getDataPtr()->created;
        log.debugLvl(1, "retVal [%d], [%d], subclientIndexEnabledTime [%ld]", rc, 0,
                     static_cast<long>(run.subclientIndexEnabledTime));
        APP_SubClientProp pruning(nullptr);
        pruning.setIsolationType(4);
        pruning.setWhere(
            "attrname = 'IndexPruning_DBRetentionCycle' AND attrval = '1' AND modified = 0 AND "
            "componentNameId "
            "in (SELECT id from App_Application WITH(NOLOCK) WHERE backupset = %ld AND appTypeId = %u)",
            backupSet, m_inputData.appType);
        run.pruning = pruning.getOneRow(&pruning, false, 0, 0) == zydb::DB_OK;
    } else {
        App_IndexDBInfo db(nullptr);
        db.setIsolationType(4);
        db.setWhere("backupSetId = %ld", backupSet);
        if (db.getOneRow(&db, false, 0, 0) == zydb::DB_OK && (db.getDataPtr()->flags & 1) != 0)
            run.indexInUse = true;
    }
}

void CWorkerThreadHM::decideDataValidation(TIndexingInfoRun& run, CNMessageBase* options,
                                           CNMessageBase* advanced) {
    CBrowseLog log(kTag);
    // Pruned indexes keep no old cycles to validate against, so pruning turns validation off.
    if (!run.option42 && !run.browseByJob && !run.pruning && run.timeRangeBrowse &&
        (m_inputData.copyPrecedence != 0 || run.indexInUse))
        advanced->setint64(databrowse::Msg63::f::validateDataArchFiles, 1);
    options->setint64(databrowse::BrowseOptions::f::includeRunningJob, 0);

    if (run.timeRangeBrowse) {
        std::string skipOldCycles;
        if (ZYGlobalParam::get(m_reads, "IDX_RECON_SKIP_OLD_CYCLES", skipOldCycles) == 0 &&
            (skipOldCycles == "*" ||
             (!m_backupSetGuid.empty() && skipOldCycles.find(m_backupSetGuid) != std::string::npos))) {
            advanced->setint64(databrowse::Msg63::f::validateDataArchFiles, 1);
            options->setint64(databrowse::BrowseOptions::f::dataValidationByParam, 1);
            log.debugLvl(
                1,
                "Enabled data archfile validation for time range browse as IDX_RECON_SKIP_OLD_CYCLES is "
                "set on the backupset ");
        }
    }
    run.validateData = advanced->getint64(databrowse::Msg63::f::validateDataArchFiles) != 0;
}

void CWorkerThreadHM::decideOldIndexServer(TIndexingInfoRun& run) {
    const SuperBrowseManager* planner = m_browseTask->getDataPtr()->planner;
    run.oldIndexServer = isOldIndexServerOperation(static_cast<int>(m_privateTask->getBrowseOpType()));
    if (m_inputData.copyPrecedence != 0) {
        run.oldIndexServer = true;
    } else if (m_maFromTaskOptions) {
        bool named = false;
        if (planner) {
            for (const SuperBrowse& cycle : *const_cast<SuperBrowseManager*>(planner)->getCycles())
                if (cycle.mediaAgentName == m_maHostName) named = true;
        }
        run.oldIndexServer = !named;
    } else {
        int level = planner ? static_cast<int>(planner->GetMinSPLevelMa()) : 0;
        if (level <= 0) {
            std::string host, clientName;
            int service = 0, port = 0;
            DemangleHostName(m_maHostName, host, clientName, service, port);
            level = GetMinSPLevelInClusterClient(clientName);
        }
        if (level < kSecuredCrossCycleServicePack) run.oldIndexServer = true;
    }
}

int CWorkerThreadHM::scanArchiveRows(TIndexingInfoRun& run, const std::string& procedureInput) {
    CBrowseLog log(kTag);
    using J = databrowse::JobInfo::f;
    const long fromTime = (run.pointInTime && !run.browseByJob) ? 0 : m_privateTask->getFromTime();
    ArchFileByTimeSuperBrowse rows(nullptr);
    rows.setValues(static_cast<int>(m_inputData.appType), 0,
                   static_cast<int>(m_privateTask->getBackupSetId()),
                   static_cast<int>(m_privateTask->getSubClientId()), static_cast<int>(fromTime),
                   static_cast<int>(m_privateTask->getToTime()), static_cast<int>(m_inputData.copyPrecedence),
                   0, 0, m_indexingV2 ? 1 : 0, procedureInput.c_str());
    auto* jobs = run.jobs.getlistobject(databrowse::JobInfoList::f::jobs, true);
    auto* ranges = run.ranges.getlistobject(databrowse::TimeRangeForEachCycleList::f::cycles, true);
    uint32_t pendingRangeStart = 0;
    while (rows.getNextRow(&rows, nullptr, 0, 0) == zydb::DB_OK) {
        const ArchFileByTimeSuperBrowse_t* r = rows.getDataPtr();
        const uint32_t appId = static_cast<uint32_t>(r->r_appId);
        const uint32_t jobId = static_cast<uint32_t>(r->r_jobId);
        const uint32_t created = static_cast<uint32_t>(r->r_createTime);
        if (r->r_VMGUID[0] != '\0') {
            if (!run.parentVmBrowse) {
                log.debugLvl(
                    -1,
                    "VM GUID was set when filter VMs flag was not set. This is not expected. Failing the "
                    "browse operation.");
                return -1;
            }
            run.vmGuids.insert(r->r_VMGUID);
            continue;
        }
        switch (r->r_resultSetId) {
            case kResultSetIndex: {
                if (!run.validateData || r->r_isRunningJob != 0 || (r->r_isAged != 0 && !run.option42)) break;
                run.jobsSeen = true;
                databrowse::JobInfo job;
                job.setint64(J::jobId, jobId);
                job.setint64(J::isIndexFile, r->r_fileType == 6 ? 1 : 0);
                job.setint64(J::kelmarchId, r->r_kelmarchId);
                job.setint64(J::appId, appId);
                job.setint64(J::archFileTime, created);
                auto data = run.archiveJobTime.find(jobId);
                if (data != run.archiveJobTime.end()) job.setint64(J::dataArchFileTime, data->second);
                jobs->push_back(job);
                break;
            }
            case kResultSetCycle: {
                auto last = run.lastCycleTime.find(appId);
                if (last == run.lastCycleTime.end() || created > last->second)
                    run.lastCycleTime[appId] = created;
                if (run.crossCycleRanges) run.cycleJobTime[jobId] = created;
                break;
            }
            case kResultSetData: {
                run.dataRowsSeen = true;
                if (run.pointInTime) {
                    auto first = run.firstArchiveTime.find(appId);
                    if (first == run.firstArchiveTime.end() || first->second > created)
                        run.firstArchiveTime[appId] = created;
                }
                if (run.crossCycleRanges && run.archiveJobTime.count(jobId) == 0 && r->r_isRunningJob == 0 &&
                    r->r_fullCycleNum != 0) {
                    if (pendingRangeStart == 0) pendingRangeStart = created;
                    auto cycleEnd = run.cycleJobTime.find(jobId);
                    if (cycleEnd != run.cycleJobTime.end()) {
                        databrowse::TimeRangeForEachCycle range;
                        using T = databrowse::TimeRangeForEachCycle::f;
                        range.setint64(T::appId, appId);
                        range.setint64(T::kelmarchId, r->r_kelmarchId);
                        range.setint64(T::fromTime, pendingRangeStart);
                        range.setint64(T::toTime, cycleEnd->second);
                        range.setint64(T::fullCycleNum, r->r_fullCycleNum);
                        ranges->push_back(range);
                        pendingRangeStart = 0;
                    }
                }
                run.archiveJobTime[jobId] = created;
                if (run.cloudLaptop && std::none_of(jobs->begin(), jobs->end(), [&](const CNMessageBase& j) {
                        return j.getint64(J::jobId) == static_cast<int64_t>(jobId);
                    })) {
                    databrowse::JobInfo job;
                    job.setint64(J::jobId, jobId);
                    job.setint64(J::kelmarchId, r->r_kelmarchId);
                    jobs->push_back(job);
                }
                break;
            }
            default:
                break;
        }
    }
    return 0;
}

void CWorkerThreadHM::readCrossCycleCheckpoints(TIndexingInfoRun& run) {
    CBrowseLog log(kTag);
    int disabled = 0;
    if (ZYGlobalParam::get(m_reads, "DisableCrossCycleBrowseForSubClientIndex", disabled) != 0) disabled = 0;
    auto* ranges = run.ranges.getlistobject(databrowse::TimeRangeForEachCycleList::f::cycles, false);
    if (!run.crossCycleRanges || disabled != 0 || !ranges || ranges->empty() || !run.jobsSeen) return;
    std::string text;
    run.ranges.serialize(text);
    log.debugLvl(0, "Input to find cross cycle browse time ranges [%s] ", text.c_str());
    AppGetIndexCheckpointForGivenTimeRange procedure(nullptr);
    procedure.setValues(text.c_str());
    if (procedure.getOneRow(&procedure, false, -1, 0) != zydb::DB_OK) return;
    databrowse::IndexDBInfo answer;
    const char* xml = procedure.getDataPtr()->outXML;
    if (!xml || answer.unserialize(xml) != 0) return;
    auto* subclients = answer.getlistobject(databrowse::IndexDBInfo::f::subclients, false);
    for (const CNMessageBase& info : subclients ? *subclients : std::vector<CNMessageBase>{}) {
        auto* checkpoints =
            const_cast<CNMessageBase&>(info).getlistobject(databrowse::SubclientInfo::f::checkpoints, false);
        if (!checkpoints || checkpoints->empty()) continue;
        std::string infoText;
        info.serialize(infoText);
        run.checkpoints[static_cast<uint32_t>(info.getint64(databrowse::SubclientInfo::f::appId))] = infoText;
    }
}

int CWorkerThreadHM::indexingInfoJobsAndCycles(TIndexingInfoRun& run) {
    CBrowseLog log(kTag);
    using O = databrowse::BrowseOptions::f;
    SuperBrowseManager* planner = m_browseTask->getDataPtr()->planner;

    // Entity completion.
    CNMessageBase* entity = m_browseRequest.getObjectAccessor(databrowse::BrowseRequest::f::entity, true);
    if (static_cast<int32_t>(m_inputData.subclientId) > 0) {
        std::string subclientGuid;
        if (Subclient(m_inputData.subclientId).getGUIDStr(subclientGuid, nullptr) == 0)
            entity->setstring(ZyEntities::GenericEntity::f::subclientGUID, subclientGuid);
    }
    m_backupSetGuid.clear();
    if (planner && planner->getCycleCount() > 0)
        m_backupSetGuid = planner->getCycles()->front().backupSetGuid;
    entity->setint64(ZyEntities::GenericEntity::f::kelmarchId, m_inputData.kelmarchId);
    entity->setstring(ZyEntities::GenericEntity::f::backupsetGUID, m_backupSetGuid);
    bool subclientIndex = false;
    if (!I2::Utils::HubmasterCallHelper::Instance(false)
             ->isSubclientLevelIndex(m_backupSetGuid, subclientIndex)
             .IsError())
        run.subclientIndex = subclientIndex;

    readSubclientIndexMode(run);

    CNMessageBase* options = m_browseRequest.getObjectAccessor(databrowse::BrowseRequest::f::options, true);
    CNMessageBase* advanced =
        m_browseRequest.getObjectAccessor(databrowse::BrowseRequest::f::advOptions, true);
    const CNMessageBase* timeRange =
        m_browseRequest.getObjectAccessor(databrowse::BrowseRequest::f::timeRange, false);
    run.explicitToTime = timeRange && timeRange->getint64(databrowse::BrowseTimeRange::f::toTime) != 0;
    run.option42 = options->getint64(O::partialIndex) != 0;
    CNMessageBase* settings = advanced->getObjectAccessor(databrowse::Msg63::f::advancedConfig, false);
    const CNMessageBase* jobBlock =
        settings ? settings->getObjectAccessor(databrowse::BrowseAdvancedConfig::f::jobBlock, false)
                 : nullptr;
    run.browseByJob = jobBlock && jobBlock->getint64(databrowse::Msg11::f::jobId) != 0;
    run.option35 = options->getint64(O::synthFullBrowse) != 0;
    run.timeRangeBrowse = !run.pointInTime || run.explicitToTime;

    decideDataValidation(run, options, advanced);

    // A missing plug-in costs the NAS mount parameters, never the rest of the indexing information.
    if (apptype::of(m_inputData.appType) == apptype::kNas &&
        (m_inputData.optionBits & kOptionNasLiveBrowse) != 0) {
        CNASLiveBrowsePlugin& plugin = CNASLiveBrowsePlugin::instance();
        run.nasPlugin = plugin.isLoaded();
        if (!run.nasPlugin)
            log.debugLvl(0, "%s; the browse goes on without NAS mount parameters",
                         plugin.loadError().c_str());
    }

    auto* paths = m_browseRequest.getlistobject(databrowse::BrowseRequest::f::paths, false);
    run.parentVmBrowse = planner && !planner->isLastJobDelayCataloged() &&
                         planner->getIdxAppType() == apptype::kVmIndex && paths && paths->size() == 1 &&
                         paths->front().getstring(databrowse::BrowsePath::f::path) == "\\";
    const std::string procedureInput = run.parentVmBrowse ? kParentVmInput : "";

    run.cloudLaptop = planner && planner->GetHasCloudLapatopJobs();
    run.includeRunning = options->getint64(O::userRequest) != 0;

    decideOldIndexServer(run);
    run.crossCycleRanges =
        run.subclientIndex && run.timeRangeBrowse && !run.option35 && !run.cloudLaptop && !run.oldIndexServer;
    run.serveFromBackupSet = run.crossCycleRanges && run.subclientIndexEnabledTime >
                                                         static_cast<long long>(m_privateTask->getToTime());

    if (scanArchiveRows(run, procedureInput) != 0) return -1;
    readCrossCycleCheckpoints(run);

    if (run.lastCycleTime.empty() && !run.dataRowsSeen) {
        if (run.cloudLaptop) {
            log.debugLvl(0, "Cloud Laptop Mode enabled, Ignoring 'No Backup Cycles found for time range'");
        } else if (options->getint64(O::caseManagerCopy) != 0) {
            log.debugLvl(0, "Case manager data copy, Ignoring 'No Backup Cycles found for time range'");
        } else if (planner && planner->getCycleCount() > 0 &&
                   planner->getCycles()->front().dbEngineType == kEngineDynamicIndex &&
                   backupSetHasJobUpTo(m_privateTask->getBackupSetId(), m_privateTask->getToTime())) {
            log.debugLvl(0, "Dynamic Index, Ignoring 'No Backup Cycles found for time range'");
        } else {
            EvMessageContainer message;
            message.SetMessageID(evmsg::kNoBackupsFound, true);
            setErrorMessage(message);
            setLastError(databrowse::BROWSE_ERR_NOTHING_TO_BROWSE, m_errorText);
            log.debugLvl(0, "No backup cycles found for browse time range [%lu] to [%lu]",
                         static_cast<unsigned long>(m_privateTask->getFromTime()),
                         static_cast<unsigned long>(m_privateTask->getToTime()));
            return -1;
        }
    }

    int allowRunning = 0;
    if (ZYGlobalParam::get(m_reads, "AllowBrowseForRunningJob", allowRunning) != 0) allowRunning = 0;
    if (allowRunning != 0 && run.includeRunning && static_cast<int32_t>(m_inputData.subclientId) >= 1 &&
        run.dataRowsSeen && run.lastCycleTime.empty()) {
        ArchFile files(nullptr);
        files.setTop(1);
        files.setWhere("fileType = 2 and backupLevel = 1 and isValid = 1 and appId = %d",
                       static_cast<int>(m_inputData.subclientId));
        if (files.getOneRow(&files, false, 0, 0) == zydb::DB_OK) {
            log.debugLvl(0, "First job for subclient is running and has valid data archfiles");
            run.firstJobRunning = true;
            run.lastCycleTime[m_inputData.subclientId] = 0;
            options->setint64(O::firstJobRunning, 1);
        }
    }
    return 0;
}
