// Index prediction of a browse: the index archive files the browse relies on become index locations of
// the worker's prediction client, whose media are then sent through the worker's predictor. Members of
// CWorkerThreadHM, run under the worker's lock by the thread that holds it.
#include "Db/Proc/archFileByTimeSuperBrowse.h"
#include "fbDebug/fbdebug.h"
#include "planning/browsetask.h"
#include "platform/entities/apptypes.h"
#include "platform/log/evdebug.h"
#include "platform/msg/app_execute_sp.h"
#include "platform/tasks/evrestoretask.h"
#include "worker/fastbrowsehmworkerthread.h"

namespace {

const char* const kTag = "FBHMWORKER";

constexpr uint64_t kOptionPredictIndex = 1ULL << 38;
constexpr uint64_t kLocationCycleIndex = 2;  // index archive file of a cycle
constexpr uint64_t kLocationJobIndex = 6;    // index archive file found for a job
constexpr int kResultSetJobs = 3;

int addIndexLocation(CPredictionClient& client, uint64_t kind, int64_t archFileId, int64_t kelmarchId) {
    TLocationInfo location;
    location.flags = kind;
    location.archFileId = static_cast<uint64_t>(archFileId);
    location.kelmarchId = static_cast<uint64_t>(kelmarchId);
    return client.addIndexLocationInfo(&location);
}

}  // namespace

int CWorkerThreadHM::doIndexPrediction() {
    CBrowseLog log(kTag);
    const TBrowseTask* browseTask = m_browseTask->getDataPtr();
    if ((browseTask->options & kOptionPredictIndex) == 0) return sendResultsFromPredictor();

    if (!m_indexingV2) {
        if (auto* cycles = m_indexBrowseRequest.getlistobject(Indexing::BrowseReq::f::backupCycles, false)) {
            for (const CNMessageBase& cycle : *cycles) {
                addIndexLocation(m_predictionClient, kLocationCycleIndex,
                                 cycle.getint64(Indexing::BackupCycle::f::afile),
                                 cycle.getint64(Indexing::BackupCycle::f::kelmarchId));
            }
        }
        return sendResultsFromPredictor();
    }

    CNMessageBase* indexing =
        m_browseRequest.isSet(databrowse::BrowseRequest::f::indexing)
            ? m_browseRequest.getObjectAccessor(databrowse::BrowseRequest::f::indexing, false)
            : nullptr;
    CNMessageBase* routing = indexing && indexing->isSet(databrowse::Msg91::f::indexingInfo)
                                 ? indexing->getObjectAccessor(databrowse::Msg91::f::indexingInfo, false)
                                 : nullptr;
    std::vector<CNMessageBase>* databases =
        routing ? routing->getlistobject(databrowse::IndexingInfo::f::indexDbList, false) : nullptr;
    const long fromTime = m_privateTask->getFromTime();
    const long toTime = m_privateTask->getToTime();

    for (size_t n = 0; databases && n < databases->size(); ++n) {
        CNMessageBase& database = (*databases)[n];
        // The jobs of the range whose data is complete: running and aged jobs have no index to predict.
        std::vector<CNMessageBase> jobs;
        ArchFileByTimeSuperBrowse proc(nullptr);
        proc.setValues(static_cast<int>(m_inputData.appType), 0,
                       static_cast<int>(m_privateTask->getBackupSetId()),
                       static_cast<int>(m_privateTask->getSubClientId()), static_cast<int>(fromTime),
                       static_cast<int>(toTime), static_cast<int>(m_inputData.copyPrecedence), 0, 0, 1, "");
        int count = 0;
        while (proc.getNextRow(&proc, &count, -1, 0) == 0) {
            const ArchFileByTimeSuperBrowse_t* row = proc.getDataPtr();
            if (row->r_resultSetId != kResultSetJobs || row->r_isRunningJob != 0 || row->r_isAged != 0)
                continue;
            databrowse::JobInfo job;
            job.setint64(databrowse::JobInfo::f::jobId, row->r_jobId);
            if (row->r_fileType == 6) job.setint64(databrowse::JobInfo::f::isIndexFile, 1);
            job.setint64(databrowse::JobInfo::f::kelmarchId, row->r_kelmarchId);
            job.setint64(databrowse::JobInfo::f::appId, row->r_appId);
            jobs.push_back(job);
        }
        proc.closeCursor();

        Indexing::GetArchFileInfoForJobs request;
        request.setstring(Indexing::GetArchFileInfoForJobs::f::backupSetGUID, m_backupSetGuid);
        CNMessageBase* dbBlock = database.isSet(databrowse::IndexDBInfo::f::indexDb)
                                     ? database.getObjectAccessor(databrowse::IndexDBInfo::f::indexDb, false)
                                     : nullptr;
        request.setstring(Indexing::GetArchFileInfoForJobs::f::indexDbName,
                          dbBlock ? dbBlock->getstring(databrowse::Msg87::f::dbName) : "");
        request.setint64(Indexing::GetArchFileInfoForJobs::f::indexFilesOnly, 1);
        request.setint64(Indexing::GetArchFileInfoForJobs::f::copyPrecedence, browseTask->copyPrecedence);
        Indexing::Msg282 range;
        range.setint64(Indexing::Msg282::f::fromTime, fromTime);
        range.setint64(Indexing::Msg282::f::toTime, toTime);
        request.setObjectAccessor(range, Indexing::GetArchFileInfoForJobs::f::at18_24);
        if (!jobs.empty()) {
            request.setint64(Indexing::GetArchFileInfoForJobs::f::useJobList, 1);
            request.setlistobject(Indexing::GetArchFileInfoForJobs::f::jobList, jobs);
        }

        Indexing::GetArchFileInfoForJobs reply;
        const CUxError rc = I2::Utils::ExecuteAppMgrSP(request.getTagID(), request, reply);
        if (rc.IsError()) {
            log.error("Error while executing stored procedure AppGetArchFileInfoForJobs. error %s",
                      rc.GetErrorText().c_str());
            return 0;
        }
        if (reply.getint64(Indexing::GetArchFileInfoForJobs::f::indexMissingInCopy) != 0) {
            m_predictionClient.setIndexMissingInCopy(true);
            log.debugLvl(-1, "Some Indexing archive files are missing in the copy %lu",
                         static_cast<unsigned long>(browseTask->copyPrecedence));
        }
        if (auto* files = reply.getlistobject(Indexing::GetArchFileInfoForJobs::f::jobArchFiles, false)) {
            for (const CNMessageBase& file : *files) {
                addIndexLocation(m_predictionClient, kLocationJobIndex,
                                 file.getint64(Indexing::JobArchFileInfo::f::archFileId),
                                 file.getint64(Indexing::JobArchFileInfo::f::kelmarchId));
            }
        }
        if (apptype::of(routing->getint64(databrowse::IndexingInfo::f::idxAppType)) == apptype::kVmIndex) {
            CNMessageBase* options =
                m_browseRequest.isSet(databrowse::BrowseRequest::f::options)
                    ? m_browseRequest.getObjectAccessor(databrowse::BrowseRequest::f::options, false)
                    : nullptr;
            m_predictionClient.addIndexLocationInfoForVSADB(
                options && options->getint64(databrowse::BrowseOptions::f::predictVSADB) != 0);
        }
    }
    return sendResultsFromPredictor();
}

int CWorkerThreadHM::sendResultsFromPredictor() {
    CBrowseLog log(kTag);
    if (!m_predictionClient.haveLocationData()) return 1;
    if (apptype::of(m_inputData.appType) == apptype::kNas) m_predictionClient.addNasHDRandACLLocationInfo();
    const unsigned long copyPrecedence = m_browseTask->getDataPtr()->copyPrecedence;
    if (m_predictionClient.addIndexMedia(copyPrecedence) < 0) {
        log.debugLvl(0, "failed to add index media");
        // The media of these locations are not in the list: the caller must not take it as complete.
        m_predictionClient.markMediaListIncomplete();
    }
    if (m_predictionClient.addDataMedia(copyPrecedence) < 0) {
        log.debugLvl(0, "failed to add data media");
        m_predictionClient.markMediaListIncomplete();
    }
    if (m_predictionClient.apiSendPredictionResults(m_predictor) != 0) {
        log.debugLvl(0, "Failed to send media prediction results");
        return 0;
    }
    return 1;
}
