// The media-prediction clients of the browse service and the router's two physical-media conversions.
#include "indexing/fsprediction.h"

#include <string>

#include "Db/Proc/AppGetBackupSetGUIDFromAFiles.h"
#include "fbDebug/fbdebug.h"
#include "platform/msg/app_execute_sp.h"
#include "platform/tasks/evrestoretask.h"

namespace {

constexpr const char* kPredictionTag = "FBHMPREDICTION";

// Kinds of the index locations found through the archive-file look-up.
constexpr uint64_t kIndexFileOfCycle = 2;
constexpr uint64_t kIndexFileOfJob = 6;

using ArchFileInfo = Indexing::GetArchFileInfoForJobs;

// Runs AppGetArchFileInfoForJobs for `request` and reads its answer into `reply`. 0 on success.
int runArchFileInfo(ArchFileInfo& request, ArchFileInfo& reply, std::string& replyXml) {
    std::string requestXml;
    if (request.serialize(requestXml) != 0) return APP_SP_BAD_REQUEST;
    int rc = App_ExecuteSP().executeStoredProcedure(ArchFileInfo::TAG, requestXml, replyXml, nullptr);
    if (rc != 0) return rc;
    return reply.unserialize(replyXml) == 0 ? 0 : APP_SP_BAD_ANSWER;
}

// The request of the index archive files of an index database on a copy.
ArchFileInfo archFileInfoRequest(const std::string& backupSetGuid, const std::string& indexDbName,
                                 int64_t copyPrecedence) {
    ArchFileInfo request;
    request.setstring(ArchFileInfo::f::backupSetGUID, backupSetGuid);
    request.setstring(ArchFileInfo::f::indexDbName, indexDbName);
    request.setint64(ArchFileInfo::f::indexFilesOnly, 1);
    request.setint64(ArchFileInfo::f::copyPrecedence, copyPrecedence);
    return request;
}

// An index location of `kind` for every archive file of the answer.
void addIndexLocationsOf(CPredictionClient& client, ArchFileInfo& reply, uint64_t kind) {
    auto* files = reply.getlistobject(ArchFileInfo::f::jobArchFiles, false);
    if (files == nullptr) return;
    for (const CNMessageBase& f : *files) {
        TLocationInfo location;
        location.flags = kind;
        location.archFileId = static_cast<uint64_t>(f.getint64(Indexing::JobArchFileInfo::f::archFileId));
        location.kelmarchId = static_cast<uint64_t>(f.getint64(Indexing::JobArchFileInfo::f::kelmarchId));
        client.addIndexLocationInfo(&location);
    }
}

// The locations of `client` become media on the copy, merged and converted. False (logged) on failure;
// false without a line when nothing was predicted.
bool predictMedia(CPredictionClient& client, unsigned long copyPrecedence, CBrowseLog& log,
                  std::vector<databrowse::PredictionData>& items) {
    if (client.addIndexMedia(copyPrecedence) < 0) {
        log.debugLvl(0, "Failed to predict index media information");
        return false;
    }
    if (client.addDataMedia(copyPrecedence) < 0) {
        log.debugLvl(0, "Failed to predict data media information");
        return false;
    }
    normalizeMediaList(client.getMediaListPtr());
    if (!client.convertPredictionToXML(items)) {
        log.debugLvl(0, "Failed to convert media information to indexing message");
        return false;
    }
    return !items.empty();
}

}  // namespace

void addLogicalMediaLocation(CPredictionClient& client, const CNMessageBase& logicalMedia, CBrowseLog& log) {
    using L = databrowse::LogicalMedia::f;
    TLocationInfo location;
    location.flags = static_cast<uint64_t>(logicalMedia.getint64(L::flags));
    location.archFileId = static_cast<uint64_t>(logicalMedia.getint64(L::archFileId));
    location.beginOffset = static_cast<uint64_t>(logicalMedia.getint64(L::beginOffset));
    location.endOffset = static_cast<uint64_t>(logicalMedia.getint64(L::endOffset));
    location.size = static_cast<uint64_t>(logicalMedia.getint64(L::size));
    CNMessageBase* kelmarch = const_cast<CNMessageBase&>(logicalMedia).getObjectAccessor(L::kelmarch, false);
    if (kelmarch != nullptr)
        location.kelmarchId =
            static_cast<uint64_t>(kelmarch->getint64(ZyEntities::KelmarchEntity::f::kelmarchId));
    if (location.flags & kPredictIndexLocation) {
        if (client.addIndexLocationInfo(&location) != 0)
            log.debugLvl(0, "Failed to add index location information");
    } else if (location.flags & kPredictDataLocation) {
        if (client.addDataLocationInfo(&location) != 0)
            log.debugLvl(0, "Failed to add data location information");
    }
}

// ---- CFsPredictionClient -------------------------------------------------------------------------

CFsPredictionClient::CFsPredictionClient() = default;
CFsPredictionClient::~CFsPredictionClient() = default;

// The service predicts from locations only: no media of its own.
int CFsPredictionClient::getRawMedia(unsigned long, TMediaList*) {
    return -1;
}
int CFsPredictionClient::getDataMedia(unsigned long, TMediaList*) {
    return 0;
}
int CFsPredictionClient::getIndexMedia(unsigned long, TMediaList*) {
    return 0;
}

int CFsPredictionClient::doPhysicalMediaConversion(databrowse::MediaPredictionConvReq& request,
                                                   databrowse::MediaPredictionConvResp& response) {
    using R = databrowse::MediaPredictionConvReq::f;
    CBrowseLog log(kPredictionTag);
    const std::string requestText = messageXml(request);
    log.debugLvl(3, "doPhysicalMediaConversion: input xml %s", requestText.c_str());
    const int64_t copyPrecedence = request.getint64(R::copyPrecedence);
    if (request.getint64(R::lookUpIndexFiles) != 0) {
        ArchFileInfo lookUp = archFileInfoRequest(request.getstring(R::backupSetGUID),
                                                  request.getstring(R::indexDbName), copyPrecedence);
        ArchFileInfo reply;
        std::string replyXml;
        if (runArchFileInfo(lookUp, reply, replyXml) != 0) {
            log.error("Error while executing stored procedure AppGetArchFileInfoForJobs for input xml [%s]",
                      requestText.c_str());
            return 0;
        }
        log.debugLvl(3, "GetArchFileInfoForJobs returned [%s]", replyXml.c_str());
        addIndexLocationsOf(*this, reply, kIndexFileOfCycle);
    }
    if (auto* items = request.getlistobject(R::predictionData, false))
        for (CNMessageBase& item : *items)
            if (CNMessageBase* logical =
                    item.getObjectAccessor(databrowse::PredictionData::f::logicalMedia, false))
                addLogicalMediaLocation(*this, *logical, log);
    std::vector<databrowse::PredictionData> converted;
    if (!predictMedia(*this, static_cast<unsigned long>(copyPrecedence), log, converted)) return 0;
    response.setlistobject(databrowse::MediaPredictionConvResp::f::predictionData,
                           std::vector<CNMessageBase>(converted.begin(), converted.end()));
    if (getTotalDataSize() != 0)
        response.setint64(databrowse::MediaPredictionConvResp::f::totalDataSize, getTotalDataSize());
    log.debugLvl(3, "doPhysicalMediaConversion: output xml %s", messageXml(response).c_str());
    return 1;
}

void CFsPredictionClient::addIndexLocationInfoForVSADB(bool fromIndexList) {
    CBrowseLog log("addIndexLocationInfoForVSADB");
    Indexing::ArchGetBackupsetGUID files;
    files.setint64(Indexing::ArchGetBackupsetGUID::f::fromIndexList, fromIndexList ? 1 : 0);
    std::vector<CNMessageBase> afiles;
    for (const TLocationInfo& l : fromIndexList ? *getIndexLocationListPtr() : *getDataLocationListPtr()) {
        Indexing::IdxAfile afile;
        afile.setint64(Indexing::IdxAfile::f::archFileId, static_cast<int64_t>(l.archFileId));
        afile.setint64(Indexing::IdxAfile::f::kelmarchId, static_cast<int64_t>(l.kelmarchId));
        afiles.push_back(afile);
    }
    files.setlistobject(Indexing::ArchGetBackupsetGUID::f::afiles, afiles);
    const std::string filesText = messageXml(files);
    log.debugLvl(5, "Additional archive files to be processed - [%s]", filesText.c_str());

    AppGetBackupSetGUIDFromAFiles proc(nullptr);
    proc.setValues(filesText.c_str());
    if (getOneRow(&proc, false, -1, 0) != 0) {
        log.error("Unable to fetch backupset guids for VSA child archive files failed for input - [%s]",
                  filesText.c_str());
        return;
    }
    const char* out = proc.getDataPtr()->outResp;
    Indexing::ArchGetBackupsetGUIDResp guids;
    if (out == nullptr || guids.unserialize(out) != 0) {
        log.error("Unable to unserialize XML output from stored procedure - [%s]", out ? out : "");
        return;
    }
    const auto* list = guids.getliststring(Indexing::ArchGetBackupsetGUIDResp::f::backupsetGUIDs, false);
    const int64_t copyPrecedence =
        getTask() != nullptr ? static_cast<int64_t>(getTask()->getArchGroupCopyPrecedence()) : 0;
    for (const std::string& guid : list ? *list : std::vector<std::string>{}) {
        // A fresh answer per backup set: what an earlier one listed must not be added again.
        ArchFileInfo request = archFileInfoRequest(guid, guid, copyPrecedence);
        ArchFileInfo reply;
        std::string replyXml;
        if (runArchFileInfo(request, reply, replyXml) != 0) {
            log.debugLvl(0, "Error while executing stored procedure AppGetArchFileInfoForJobs.");
            continue;
        }
        if (reply.getint64(ArchFileInfo::f::indexMissingInCopy) != 0) {
            setIndexMissingInCopy(true);
            log.debugLvl(-1, "Some Indexing archive files are missing in the copy %ld",
                         static_cast<long>(copyPrecedence));
            continue;
        }
        addIndexLocationsOf(*this, reply, kIndexFileOfJob);
    }
}

// ---- CFastBrowsePredictionClient -----------------------------------------------------------------

CFastBrowsePredictionClient::CFastBrowsePredictionClient(Indexing::PredictionConversionReq& request,
                                                         unsigned copyPrecedence)
    : m_request(request), m_copyPrecedence(copyPrecedence) {}

CFastBrowsePredictionClient::~CFastBrowsePredictionClient() = default;

int CFastBrowsePredictionClient::getRawMedia(unsigned long, TMediaList*) {
    return -1;
}
int CFastBrowsePredictionClient::getDataMedia(unsigned long, TMediaList*) {
    return 0;
}
int CFastBrowsePredictionClient::getIndexMedia(unsigned long, TMediaList*) {
    return 0;
}

bool CFastBrowsePredictionClient::GetPhysicalMedia(Indexing::PredictionConversionResp& response) {
    using Q = Indexing::PredictionConversionReq::f;
    using P = Indexing::PredictionConversionResp::f;
    CBrowseLog log(kPredictionTag);
    if (!m_request.isSet(Q::logicalMedia)) {
        log.debugLvl(0, "Logical media not set in request id [%d]",
                     static_cast<int>(m_request.getint64(Q::requestOffset)));
        return false;
    }
    if (!m_request.isSet(Q::requestOffset)) {
        log.debugLvl(0, "Ignoring bad request - no request offset set");
        return false;
    }
    for (const CNMessageBase& logical : *m_request.getlistobject(Q::logicalMedia, true))
        addLogicalMediaLocation(*this, logical, log);
    std::vector<databrowse::PredictionData> converted;
    if (!predictMedia(*this, m_copyPrecedence, log, converted)) return false;
    std::vector<CNMessageBase> physical;
    for (databrowse::PredictionData& item : converted)
        if (CNMessageBase* media =
                item.getObjectAccessor(databrowse::PredictionData::f::physicalMedia, false))
            physical.push_back(*media);
    if (getTotalDataSize() != 0) response.setint64(P::totalDataSize, getTotalDataSize());
    response.setint64(P::requestOffset, m_request.getint64(Q::requestOffset));
    response.setlistobject(P::physicalMedia, physical);
    return true;
}

// ---- CFastBrowsePredictionHandler ----------------------------------------------------------------

CFastBrowsePredictionHandler::CFastBrowsePredictionHandler(Indexing::PredictionConversionReqList& requests)
    : m_requests(requests) {}

int CFastBrowsePredictionHandler::doPhysicalMediaConversion() {
    using L = Indexing::PredictionConversionReqList::f;
    CBrowseLog log(kPredictionTag);
    if (!m_requests.isSet(L::requests)) return 1;
    if (log.getDebugLevel() > 3) {
        std::string text;
        log.debugLvl(
            0, "Converting prediction request [%s]",
            m_requests.serialize(text) == 0 ? text.c_str() : "failed to serialize request for logging");
    }
    const unsigned copyPrecedence = static_cast<unsigned>(m_requests.getint64(L::copyPrecedence));
    auto* responses = m_response.getlistobject(Indexing::PredictionConversionRespList::f::responses, true);
    responses->clear();
    for (CNMessageBase& item : *m_requests.getlistobject(L::requests, true)) {
        Indexing::PredictionConversionReq request;
        static_cast<CNMessageBase&>(request) = item;
        CFastBrowsePredictionClient client(request, copyPrecedence);
        Indexing::PredictionConversionResp response;
        const int offset =
            static_cast<int>(request.getint64(Indexing::PredictionConversionReq::f::requestOffset));
        if (!client.GetPhysicalMedia(response)) {
            log.debugLvl(0, "failed to convert offset id [%d]", offset);
            continue;
        }
        log.debugLvl(3, "Converted to physical media for prediction request offset - [%d]", offset);
        responses->push_back(response);
    }
    return 1;
}
