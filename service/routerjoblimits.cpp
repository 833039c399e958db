#include "service/routerjoblimits.h"

#include <memory>

#include "fbDebug/fbdebug.h"
#include "platform/archive/archivemanagerhm.h"
#include "platform/entities/applicationid.h"
#include "platform/entities/apptypes.h"
#include "platform/entities/entityconfig.h"
#include "platform/entities/kelmarchmapper.h"
#include "platform/entities/zymanagedbforjm.h"
#include "platform/msg/app_execute_sp.h"
#include "service/routerfields.h"

namespace {

using namespace routerfields;
using E = ZyEntities::GenericEntity::f;
using Sel = databrowse::BrowseAdvancedConfig::f;

constexpr const char* kTag = "FBHMROUTER";
constexpr long kHubmasterKelmarchId = 2;

// "... job <id>. Session:[<guid>]..." as both the log and the caller read it.
std::string jobText(const char* lead, long long jobId, const std::string& guid) {
    return std::string(lead) + std::to_string(jobId) + ". Session:[" + guid + "]...";
}

bool fail(std::string& errorText, std::string text) {
    errorText = std::move(text);
    return false;
}

void replaceEntity(databrowse::BrowseRequest& request, long long clientId, long long subclientId,
                   long long backupSetId, long long appType) {
    ZyEntities::GenericEntity entity;
    entity.setint64(E::clientId, clientId);
    entity.setint64(E::subclientId, subclientId);
    entity.setint64(E::backupsetId, backupSetId);
    entity.setint64(E::applicationId, appType);
    request.setObjectAccessor(entity, databrowse::BrowseRequest::f::entity);
}

}  // namespace

bool applyJobSelection(databrowse::BrowseRequest& request, std::string& errorText) {
    CBrowseLog log(kTag);
    const CNMessageBase* job = child(selectionBlock(request), Sel::jobBlock);
    if (!job) return true;
    const long long jobId = intOf(job, databrowse::Msg11::f::jobId);
    const int kelmarchId = static_cast<int>(intOf(job, databrowse::Msg11::f::kelmarchId));
    if (jobId < 1) return true;
    const std::string guid = sessionGuid(request);

    JobManager::JobInfoReq query;
    query.setint64(JobManager::JobInfoReq::f::kelmarchId, kelmarchId);
    JobManager::QueryInfo byId;
    byId.setint64(JobManager::QueryInfo::f::queryType, 1);
    byId.setint64(JobManager::QueryInfo::f::jobId, jobId);
    query.setlistobject(JobManager::JobInfoReq::f::at2_2, {byId});
    std::string requestXml, replyXml;
    if (query.serialize(requestXml) != 0) {
        log.debugLvl(0, "Error in Browse By JobId: unknown job %lld. Session:[%s]...", jobId, guid.c_str());
        return fail(errorText, jobText("Error in Browse By JobId: unknown job ", jobId, guid));
    }
    App_ExecuteSP executor;
    if (executor.executeGetStoredProcedure(JobManager::JobInfoReq::TAG, requestXml, replyXml, nullptr) != 0) {
        log.debugLvl(0, "Error in Browse By JobId: DB returned error for job %lld. Session:[%s]...", jobId,
                     guid.c_str());
        return fail(errorText, jobText("Error in Browse By JobId: DB returnrd error for job ", jobId, guid));
    }
    JobManager::JobInfoResp reply;
    if (reply.unserialize(replyXml) != 0) {
        log.debugLvl(0, "Error in Browse By JobId: unable to unserialise XML for job %lld. Session:[%s]...",
                     jobId, guid.c_str());
        return fail(errorText,
                    jobText("Error in Browse By JobId: unable to unserialize XML for job ", jobId, guid));
    }
    auto* jobs = reply.getlistobject(JobManager::JobInfoResp::f::jobs, false);
    if (!jobs || jobs->empty()) {
        log.debugLvl(0, "Error in Browse By JobId: job list is empty for job %lld. Session:[%s]...", jobId,
                     guid.c_str());
        return fail(errorText, jobText("Error in Browse By JobId: job list is empty for job ", jobId, guid));
    }
    const CNMessageBase& first = jobs->front();
    const int subclientId = static_cast<int>(first.getint64(JobManager::JobInfo::f::appId));
    ApplicationId application(static_cast<unsigned long>(kelmarchId),
                              static_cast<unsigned long>(subclientId));
    std::unique_ptr<BackupSet> backupSet = application.getBackupSet(nullptr);
    unsigned long appType = 0;
    if (application.getAppType(appType, nullptr) != 0 || appType == 0 || !backupSet) {
        log.debugLvl(0, "Error in Browse By JobId: unknown SubClientID %d in job %lld. Session:[%s]...",
                     subclientId, jobId, guid.c_str());
        return fail(errorText, "Error in Browse By JobId: unknown SubclientID " +
                                   std::to_string(subclientId) + " in job " + std::to_string(jobId) +
                                   ". Session:[" + guid + "]...");
    }
    replaceEntity(request, first.getint64(JobManager::JobInfo::f::clientId), subclientId,
                  static_cast<long long>(backupSet->getBackupSetId()), static_cast<long long>(appType));
    return true;
}

bool applyArchiveFileSelection(databrowse::BrowseRequest& request, std::string& errorText) {
    CBrowseLog log(kTag);
    const CNMessageBase* reference = child(selectionBlock(request), Sel::archiveFileRef);
    if (!reference) return true;
    const uint64_t afileId = static_cast<uint64_t>(intOf(reference, databrowse::Msg26::f::archFileId));
    const auto number = static_cast<unsigned long>(
        intOf(child(reference, databrowse::Msg26::f::kelmarch), ZyEntities::KelmarchEntity::f::kelmarchId));
    if (afileId == 0 || number == 0) return true;
    unsigned long kelmarchId = KelmarchMapper::numberToId(number);
    if (kelmarchId == 0) kelmarchId = kHubmasterKelmarchId;

    ArchiveManagerHM archiveManager(nullptr);
    GetArchFileInfoArgs_t args;
    args.archFileId = afileId;
    args.kelmarchId = kelmarchId;
    GetArchFileInfoRet_t file;
    if (archiveManager.getArchFileInfo(&args, &file) != 0) {
        log.debugLvl(0, "Failed to get aFile [%lu:%llu] details", kelmarchId,
                     static_cast<unsigned long long>(afileId));
        return fail(errorText, "Failed to get aFile[" + std::to_string(kelmarchId) + ":" +
                                   std::to_string(afileId) + "] details");
    }
    const APP_Application_t& app = file.application;
    replaceEntity(request, app.clientId, app.id, app.backupSet, app.appTypeId);

    CNMessageBase* range = request.getObjectAccessor(databrowse::BrowseRequest::f::timeRange, true);
    using T = databrowse::BrowseTimeRange::f;
    const ArchFile_t& afile = file.archFile;
    if (afile.fileType == 2 || afile.fileType == 6) {
        if (intOf(range, T::toTime) > 0)
            log.debugLvl(0, "Specified ToTime is overriden by aFile [%lu:%llu] to %lld", kelmarchId,
                         static_cast<unsigned long long>(afileId), static_cast<long long>(afile.cTime));
        range->setint64(T::toTime, afile.cTime);
        range->setint64(T::fromTime, 0);
        return true;
    }
    long start = 0, end = 0;
    if (!ZYManageDBForJM::GetBkpTimeForBkpHistoryJob(static_cast<unsigned long>(afile.jobId), start, end,
                                                     kelmarchId)) {
        const std::string guid = sessionGuid(request);
        log.debugLvl(
            0,
            "Error: Browse By JobId is failing because of inability to determine timestamp for job %d is "
            "not set. Session:[%s]...",
            static_cast<int>(afile.jobId), guid.c_str());
        return fail(errorText,
                    "Error: Browse By JobId is failing because of inability to determine timestamp for job " +
                        std::to_string(afile.jobId) + " is not set. Session:[" + guid + "]...");
    }
    range->setint64(T::toTime, end);
    // The routed browse by job keeps the from-time of Exchange databases, whose jobs stand on the whole
    // chain; the direct task keeps SharePoint's instead (directtaskprep.cpp): the product's two roads
    // have different rules, so the two types differ on purpose.
    if (!keepsFromTime(request) && apptype::of(app.appTypeId) != apptype::kExchangeDatabase)
        range->setint64(T::fromTime, start);
    return true;
}
