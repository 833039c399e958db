// Media prediction of a VM browse of a hypervisor backup set (members of CBrowseVSAClient): the media
// each named VM's own subclient needs over the request's range, merged into one list with its size.
#include <algorithm>
#include <ctime>
#include <string>

#include "Db/Proc/ArchGetVMsForBrowse.h"
#include "appbrowse/fbhmvsautils.h"
#include "appbrowse/vsabrowseclient.h"
#include "fbDebug/fbdebug.h"
#include "platform/archive/archivemanagerhm.h"
#include "platform/db/dbresult.h"
#include "platform/errors/fxerrorutil.h"
#include "platform/indexing/indexingutils.h"
#include "platform/tasks/evrestoretask.h"
#include "platform/threads/hubclock.h"
#include "worker/fastbrowsehmworkerthread.h"

namespace {

constexpr uint64_t kMediaIndexFlag = kMediaIndex;
constexpr uint64_t kMediaDataFlag = kMediaData;
constexpr uint64_t kCloudMediaFlag = 32;
constexpr uint64_t kCloudMediaType = 10001;

using R = databrowse::BrowseRequest::f;

CUxError predictionError(const std::string& text) {
    static const FXCodeLocation here(__FILE__, "CBrowseVSAClient::HandleMediaPredictionRequest", __LINE__);
    return FXErrorUtil::ErrorInt(-1, here, text.c_str());
}

}  // namespace

bool CBrowseVSAClient::SkipDataPrediction() {
    databrowse::BrowseRequest& req = request();
    CNMessageBase* options = req.isSet(R::options) ? req.getObjectAccessor(R::options, false) : nullptr;
    return options && options->isSet(databrowse::BrowseOptions::f::predictVSADB) &&
           options->getint64(databrowse::BrowseOptions::f::predictVSADB) != 0;
}

CUxError CBrowseVSAClient::GetVMListForRoot(std::vector<unsigned long>& appIds) {
    databrowse::BrowseRequest& req = request();
    CNMessageBase* entity = req.isSet(R::entity) ? req.getObjectAccessor(R::entity, false) : nullptr;
    const int subclientId =
        entity && entity->isSet(ZyEntities::GenericEntity::f::subclientId)
            ? static_cast<int>(entity->getint64(ZyEntities::GenericEntity::f::subclientId))
            : -1;
    ArchGetVMsForBrowse vms(nullptr);
    vms.setValues(static_cast<int>(m_task->getBackupSetId()), subclientId,
                  static_cast<long long>(m_task->getFromTime()), static_cast<long long>(m_task->getToTime()),
                  GetCopyPrecedence(), static_cast<int>(m_task->getUserId()));
    int rows = 0;
    int rc = zydb::DB_OK;
    while ((rc = vms.getNextRow(&vms, &rows, -1, 0)) == zydb::DB_OK)
        appIds.push_back(static_cast<unsigned long>(vms.getDataPtr()->r_VMAppId));
    if (rc != zydb::DB_NO_DATA)
        return predictionError("Unable to list the virtual machines of backupset [" +
                               std::to_string(m_task->getBackupSetId()) + "]: database error [" +
                               std::to_string(rc) + "]");
    return CUxError::Success();
}

CUxError CBrowseVSAClient::GetVMListFromPath(std::vector<unsigned long>& appIds) {
    appIds.clear();
    databrowse::BrowseRequest& req = request();
    CNMessageBase* entity = req.isSet(R::entity) ? req.getObjectAccessor(R::entity, false) : nullptr;
    const int parentBackupSet =
        entity ? static_cast<int>(entity->getint64(ZyEntities::GenericEntity::f::backupsetId)) : 0;
    for (const char* p = m_task->getFirstPath(EvRestoreTask::kBrowsePathList); p;
         p = m_task->getNextPath(EvRestoreTask::kBrowsePathList)) {
        if (IsRootPath(p)) {
            appIds.clear();
            CUxError err = GetVMListForRoot(appIds);
            CBrowseLog log("GetVMListFromPath");
            log.debugLvl(5, "VMListForRoot returned [%lu] VM subclients",
                         static_cast<unsigned long>(appIds.size()));
            return err;
        }
        ZyEntities::GenericEntity vm;
        if (CBrowseVSAUtils::ConvertParentVSAEntityToChild(parentBackupSet, p, vm).IsError()) {
            // An unset id would name no subclient, or another one: this VM is left out.
            CBrowseLog log("GetVMListFromPath");
            log.debugLvl(0, "No VM found for path [%s] under backupset [%d]; not predicted", p,
                         parentBackupSet);
            continue;
        }
        appIds.push_back(static_cast<unsigned long>(vm.getint64(ZyEntities::GenericEntity::f::subclientId)));
    }
    return CUxError::Success();
}

bool CBrowseVSAClient::NormalizeMediaList(std::vector<TMediaInfo>* media) {
    if (!media) return false;
    // By medium first, so that every entry of one medium is adjacent whatever its flags.
    std::sort(media->begin(), media->end(), [](const TMediaInfo& a, const TMediaInfo& b) {
        return a.mediaId != b.mediaId ? a.mediaId < b.mediaId : a.flags < b.flags;
    });
    std::vector<TMediaInfo> merged;
    merged.reserve(media->size());
    for (TMediaInfo& m : *media) {
        // An entry joins the one before when they overlap in the flags they were listed with.
        if (!merged.empty()) {
            TMediaInfo& last = merged.back();
            if (last.mediaId == m.mediaId && (last.flags & m.flags) != 0 && last.mediaName == m.mediaName) {
                last.flags |= m.flags;
                continue;
            }
        }
        if (m.mediaType == kCloudMediaType) m.flags |= kCloudMediaFlag;
        merged.push_back(std::move(m));
    }
    *media = std::move(merged);
    return true;
}

void CBrowseVSAClient::ConvertPredictionToXML(std::vector<TMediaInfo>& media,
                                              std::vector<databrowse::PredictionData>& out) {
    using P = databrowse::PhysicalMedia::f;
    for (const TMediaInfo& m : media) {
        databrowse::PhysicalMedia physical;
        physical.setint64(P::mediaId, static_cast<int64_t>(m.mediaId));
        physical.setint64(P::flags, static_cast<int64_t>(m.flags));
        physical.setint64(P::mediaType, static_cast<int64_t>(m.mediaType));
        physical.setint64(P::mediaSize, static_cast<int64_t>(m.size));
        physical.setstring(P::barcode, m.text1);
        physical.setstring(P::libraryName, m.text2);
        physical.setstring(P::location, m.text3);
        physical.setstring(P::mediaAgentName, m.text4);
        CNMessageBase* agent = physical.getObjectAccessor(P::at8_20, true);
        agent->setint64(ZyEntities::Msg10::f::subclientId, static_cast<int64_t>(m.value5));
        agent->setstring(ZyEntities::Msg10::f::subclientName, m.text5);
        physical.setint64(P::copyId, static_cast<int64_t>(m.value6));
        physical.setstring(P::copyName, m.text6);
        CNMessageBase* policy = physical.getObjectAccessor(P::at11_26, true);
        policy->setint64(ZyEntities::Msg19::f::at0_0, static_cast<int64_t>(m.value7));
        policy->setstring(ZyEntities::Msg19::f::at1_1, m.mediaName);
        physical.setint64(P::numberOfAfiles, static_cast<int64_t>(m.value8));
        CNMessageBase* kelmarch = physical.getObjectAccessor(P::at13_28, true);
        kelmarch->setint64(ZyEntities::Msg23::f::at1_1, static_cast<int64_t>(m.value9));
        kelmarch->setstring(ZyEntities::Msg23::f::at2_2, m.text8);
        databrowse::PredictionData data;
        data.setObjectAccessor(physical, databrowse::PredictionData::f::physicalMedia);
        out.push_back(std::move(data));
    }
}

CUxError CBrowseVSAClient::HandleMediaPredictionRequest() {
    CBrowseLog log("HandleMediaPredictionRequest");
    std::vector<unsigned long> appIds;
    CUxError err = GetVMListFromPath(appIds);
    if (err.IsError()) {
        std::string text = "Failed to get VM list for media prediction. Message [" + err.GetErrorText() + "]";
        log.debugLvl(0, "%s", text.c_str());
        return predictionError(text);
    }
    if (log.getDebugLevel() >= 5) {
        std::string ids;
        for (unsigned long id : appIds) ids += std::to_string(id) + ",";
        log.debugLvl(5, "Application IDs returned for media prediction [%s]", ids.c_str());
    }
    const bool indexOnly = SkipDataPrediction();
    const unsigned long toTime = m_task->getToTime() != 0
                                     ? static_cast<unsigned long>(m_task->getToTime())
                                     : static_cast<unsigned long>(CHubClock::real().epochSeconds());
    std::vector<TMediaInfo> media;
    ArchiveManagerHM archive(nullptr);
    for (unsigned long appId : appIds) {
        const int rc = archive.getMediaListForAppIdByTime(
            static_cast<unsigned long>(GetCopyPrecedence()), appId,
            static_cast<unsigned long>(m_task->getFromTime()), toTime, 0, &media,
            indexOnly ? kMediaIndexFlag : kMediaIndexFlag | kMediaDataFlag);
        // A subclient with nothing in the range has no media; any other failure leaves the list short,
        // which the caller must not take for the restore's whole need.
        if (rc != 0 && rc != zydb::DB_NO_DATA) {
            std::string text = "Failed to get the media of VM subclient [" + std::to_string(appId) +
                               "] for media prediction. Error [" + std::to_string(rc) + "]";
            log.debugLvl(0, "%s", text.c_str());
            return predictionError(text);
        }
    }
    if (indexOnly)
        media.erase(std::remove_if(media.begin(), media.end(),
                                   [](const TMediaInfo& m) {
                                       return (m.flags & (kMediaIndexFlag | kMediaDataFlag)) ==
                                              kMediaDataFlag;
                                   }),
                    media.end());
    NormalizeMediaList(&media);
    log.debugLvl(5, "Number of media returned for prediction [%ld]", static_cast<long>(media.size()));

    std::vector<databrowse::PredictionData> predictions;
    ConvertPredictionToXML(media, predictions);
    int64_t total = 0;
    for (const TMediaInfo& m : media) total += static_cast<int64_t>(m.size);
    databrowse::BrowseResponse response;
    response.setint64(databrowse::BrowseResponse::f::respType, databrowse::BROWSE_RESP_PREDICTIONS);
    std::vector<CNMessageBase> list(predictions.begin(), predictions.end());
    response.setlistobject(databrowse::BrowseResponse::f::predictions, list);
    CNMessageBase* result = response.getObjectAccessor(databrowse::BrowseResponse::f::browseResult, true);
    result->setstring(databrowse::BrowseResult::f::queryId, "TotalMediaSize");
    databrowse::AggregateResult aggregate;
    aggregate.setint64(databrowse::AggregateResult::f::count, total);
    result->setlistobject(databrowse::BrowseResult::f::aggrResultSet, {aggregate});
    return SendResponseBack(response);
}
