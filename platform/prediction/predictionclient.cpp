// The prediction client over the archive manager's media, and the predictor over a return channel.
#include "platform/prediction/predictionclient.h"

#include <algorithm>
#include <set>

#include "platform/archive/archivemanagerhm.h"
#include "platform/hubdb/archivefiles.h"
#include "platform/log/evdebug.h"
#include "platform/security/evalertex.h"
#include "platform/tasks/evrestoretask.h"
#include "platform/tasks/evreturndata.h"

namespace {

constexpr const char* kTag = "MEDIAPREDICTION";
// The alert a prediction raises (sendAlert).
constexpr long kMediaPredictionAlertId = 7301;
// Browse response type of prediction items.
constexpr const char* kTotalSizeQueryId = "TotalMediaSize";

EvDebug logger() {
    EvDebug log(nullptr);
    log.setPrefixMessage(kTag);
    return log;
}

// A report line: -1 when the file is missing or the write fails.
template <class... A>
int report(FILE* file, const char* format, A... args) {
    if (file == nullptr) return -1;
    return std::fprintf(file, format, args...) < 0 ? -1 : 0;
}

const char* yesNo(bool b) {
    return b ? "yes" : "no";
}

}  // namespace

// ---- CPredictionClient ---------------------------------------------------------------------------

CPredictionClient::CPredictionClient() = default;
CPredictionClient::~CPredictionClient() = default;

bool CPredictionClient::isRestore() {
    return m_restore;
}

int CPredictionClient::getRestoreType() {
    return m_task != nullptr ? static_cast<int>(m_task->getBrowseOpType()) : -1;
}

long CPredictionClient::getSequenceNumber() {
    return m_sequenceNumber;
}

int CPredictionClient::init(EvRestoreTask* task, bool restore) {
    m_totalDataSize = 0;
    m_indexRestoreNeeded = m_incompleteMediaList = m_indexMissingInMedia = m_mediaAddFailed = false;
    m_unresolvedLocations = 0;
    m_indexLocations.clear();
    m_dataLocations.clear();
    m_media.clear();
    m_task = task;
    m_restore = restore;
    return 0;
}

int CPredictionClient::getRawMedia(unsigned long copyPrecedence, TMediaList* media) {
    if (media == nullptr || m_task == nullptr || m_task->getSubClientId() <= 0) return -1;
    TMediaList found;
    ArchiveManagerHM archMgr(nullptr);
    int rc = archMgr.getMediaListForAppIdByTime(
        copyPrecedence, static_cast<unsigned long>(m_task->getSubClientId()),
        static_cast<unsigned long>(m_task->getFromTime()), static_cast<unsigned long>(m_task->getToTime()), 0,
        &found, kPredictIndexLocation | kPredictDataLocation);
    if (rc != 0 && rc != 100) return -1;
    media->insert(media->end(), found.begin(), found.end());
    return static_cast<int>(found.size());
}

int CPredictionClient::getDataMedia(unsigned long, TMediaList*) {
    return 0;
}
int CPredictionClient::getIndexMedia(unsigned long, TMediaList*) {
    return 0;
}

bool CPredictionClient::haveToSkipIndexingMedia() {
    return m_indexLocations.empty();
}

bool CPredictionClient::checkIndexRestoreIsNeeded() {
    m_indexRestoreNeeded =
        !haveToSkipIndexingMedia() && std::any_of(m_media.begin(), m_media.end(), [](const TMediaInfo& m) {
            return (m.flags & kPredictIndexLocation) != 0;
        });
    return m_indexRestoreNeeded;
}

bool CPredictionClient::checkIncompleteMediaList() {
    m_incompleteMediaList = m_unresolvedLocations > 0 || m_indexMissingInMedia || m_mediaAddFailed;
    return m_incompleteMediaList;
}

bool CPredictionClient::isListMediaPrecise() {
    return !checkIncompleteMediaList();
}

int CPredictionClient::addHeaderToReport(FILE* file) {
    return report(file, "Media prediction for job [%llu], prediction %ld\n",
                  m_task != nullptr ? static_cast<unsigned long long>(m_task->getJobId()) : 0ULL,
                  m_sequenceNumber);
}

int CPredictionClient::addOptionsToReport(FILE* file) {
    return report(file,
                  "Kind: %s, operation %d\nIndex restore needed: %s\nIncomplete media list: %s\n"
                  "Index missing in the copy: %s\nEmpty media list ignored: %s\n",
                  m_restore ? "restore" : "browse", getRestoreType(), yesNo(m_indexRestoreNeeded),
                  yesNo(m_incompleteMediaList), yesNo(m_indexMissingInMedia), yesNo(m_ignoreEmptyMediaList));
}

int CPredictionClient::addMediaListToReport(FILE* file) {
    if (file == nullptr) return -1;
    for (const TMediaInfo& m : m_media)
        if (report(file,
                   "Media [%llu] [%s] flags [%llu] type [%llu] library [%s] location [%s] copy [%s] files "
                   "[%llu]\n",
                   static_cast<unsigned long long>(m.mediaId), m.text1.c_str(),
                   static_cast<unsigned long long>(m.flags), static_cast<unsigned long long>(m.mediaType),
                   m.text2.c_str(), m.text3.c_str(), m.text6.c_str(),
                   static_cast<unsigned long long>(m.value8)) != 0)
            return -1;
    return 0;
}

int CPredictionClient::addFooterToReport(FILE* file) {
    return report(file, "Media: %zu, total data size: %lld bytes\n", m_media.size(),
                  static_cast<long long>(m_totalDataSize));
}

int CPredictionClient::sendAlert(char* text) {
    if (text == nullptr) return -1;
    EvAlertEx alert;
    alert.setAlert(kMediaPredictionAlertId, nullptr);
    if (m_task != nullptr) {
        alert.setKelmarchId(m_task->getKelmarchId(), nullptr);
        alert.setClientId(m_task->getClientId(), nullptr);
        alert.setBackupsetId(m_task->getBackupSetId(), nullptr);
        alert.setappTypeId(apptype::code(m_task->getAppType()), nullptr);
        alert.setInstanceId(m_task->getInstanceId(), nullptr);
    }
    alert.fmtMsgString("%s", text);
    return alert.sendAlert(1, 0, 0);
}

int CPredictionClient::addLocation(std::vector<TLocationInfo>& list, TLocationInfo* location) {
    if (location == nullptr || location->archFileId == 0) return -1;
    list.push_back(*location);
    return 0;
}

int CPredictionClient::addIndexLocationInfo(TLocationInfo* location) {
    return addLocation(m_indexLocations, location);
}
int CPredictionClient::addDataLocationInfo(TLocationInfo* location) {
    return addLocation(m_dataLocations, location);
}

int CPredictionClient::addNasHDRandACLLocationInfo() {
    std::set<std::pair<uint64_t, uint64_t>> known;  // (file, kelmarch)
    std::set<uint64_t> jobs;
    ArchiveManagerHM archMgr(nullptr);
    for (const TLocationInfo& l : m_dataLocations) {
        known.insert({l.archFileId, l.kelmarchId});
        GetArchFileInfoArgs_t args;
        args.archFileId = l.archFileId;
        args.kelmarchId = l.kelmarchId != 0 ? l.kelmarchId : 2;
        GetArchFileInfoRet_t info;
        if (int rc = archMgr.getArchFileInfo(&args, &info)) {
            logger().debugLvl(-1, "addNasHDRandACLLocationInfo: no archive file [%llu], error [%d]",
                              static_cast<unsigned long long>(l.archFileId), rc);
            return rc < 0 ? rc : -1;
        }
        jobs.insert(static_cast<uint64_t>(info.archFile.jobId));
    }
    int added = 0;
    for (uint64_t job : jobs) {
        GetAfileListByJobArgsHM_t args;
        args.jobId = job;
        GetAfileListByJobRetHM_t files;
        if (int rc = archMgr.getArchFileListByJob(&args, &files)) {
            logger().debugLvl(-1, "addNasHDRandACLLocationInfo: files of job [%llu] not listed, error [%d]",
                              static_cast<unsigned long long>(job), rc);
            return rc < 0 ? rc : -1;
        }
        for (const ArchFilePruneListEl_t& f : files.afiles) {
            if (!hubdb::isDataFileType(static_cast<int>(f.fileType)) ||
                !known.insert({f.archFileId, f.kelmarchId}).second)
                continue;
            TLocationInfo l;
            l.flags = kPredictDataLocation;
            l.archFileId = f.archFileId;
            l.kelmarchId = f.kelmarchId;
            m_dataLocations.push_back(l);
            ++added;
        }
    }
    return added;
}

int CPredictionClient::addIndexMedia(unsigned long copyPrecedence) {
    return addMedia(kPredictIndexLocation, copyPrecedence);
}
int CPredictionClient::addDataMedia(unsigned long copyPrecedence) {
    return addMedia(kPredictDataLocation, copyPrecedence);
}

int CPredictionClient::addMedia(uint64_t flag, unsigned long copyPrecedence) {
    const bool index = flag == kPredictIndexLocation;
    if (index && haveToSkipIndexingMedia()) return 0;
    const std::vector<TLocationInfo>& locations = index ? m_indexLocations : m_dataLocations;
    TMediaList found;
    int64_t size = 0;
    unsigned long unresolved = 0;
    ArchiveManagerHM archMgr(nullptr);
    for (const TLocationInfo& l : locations) {
        unsigned long long onCopy = 0;
        int rc = archMgr.getMediaListForArchFile(copyPrecedence, l.archFileId, l.kelmarchId, flag, &found,
                                                 &onCopy);
        if (rc == 100) {
            ++unresolved;
            logger().debugLvl(1,
                              "no medium holds archive file [%llu] kelmarch [%llu] on copy precedence [%lu]",
                              static_cast<unsigned long long>(l.archFileId),
                              static_cast<unsigned long long>(l.kelmarchId), copyPrecedence);
            continue;
        }
        if (rc != 0) {
            logger().debugLvl(-1, "media of archive file [%llu] not found, error [%d]",
                              static_cast<unsigned long long>(l.archFileId), rc);
            return rc < 0 ? rc : -1;
        }
        if (!index) size += static_cast<int64_t>(l.size != 0 ? l.size : onCopy);
    }
    int own = index ? getIndexMedia(copyPrecedence, &found) : getDataMedia(copyPrecedence, &found);
    if (own < 0) return own;
    if (!index && !haveLocationData() && isRestore() && getRawMedia(copyPrecedence, &found) < 0)
        logger().debugLvl(1, "no media of the restore's own for job [%llu]",
                          m_task != nullptr ? static_cast<unsigned long long>(m_task->getJobId()) : 0ULL);
    m_media.insert(m_media.end(), found.begin(), found.end());
    m_totalDataSize += size;
    m_unresolvedLocations += unresolved;
    if (index) checkIndexRestoreIsNeeded();
    checkIncompleteMediaList();
    return static_cast<int>(found.size());
}

bool CPredictionClient::convertPredictionToXML(std::vector<databrowse::PredictionData>& out) {
    std::vector<databrowse::PredictionData> items;
    items.reserve(m_media.size());
    for (const TMediaInfo& m : m_media) {
        // A medium the caller cannot name is no prediction.
        if (m.mediaId == 0) {
            logger().debugLvl(-1, "a medium without id [%s] cannot be converted", m.text1.c_str());
            return false;
        }
        items.push_back(predictionDataOf(m));
    }
    out.swap(items);
    return true;
}

int CPredictionClient::apiSendPredictionResults(CPredictor& predictor) {
    if (!predictor.isInitialized()) {
        logger().debugLvl(-1, "the predictor is not initialised");
        return -1;
    }
    if (m_media.empty() && m_ignoreEmptyMediaList) return 0;
    std::vector<databrowse::PredictionData> items;
    if (!convertPredictionToXML(items)) return -1;
    databrowse::BrowseResponse response;
    response.setint64(databrowse::BrowseResponse::f::respType, databrowse::BROWSE_RESP_PREDICTIONS);
    std::vector<CNMessageBase> list(items.begin(), items.end());
    response.setlistobject(databrowse::BrowseResponse::f::predictions, list);
    CNMessageBase* result = response.getObjectAccessor(databrowse::BrowseResponse::f::browseResult, true);
    result->setstring(databrowse::BrowseResult::f::queryId, kTotalSizeQueryId);
    databrowse::AggregateResult total;
    total.setint64(databrowse::AggregateResult::f::count, m_totalDataSize);
    result->setlistobject(databrowse::BrowseResult::f::aggrResultSet, {total});
    int rc = predictor.sendPrediction(response);
    if (rc == 0) ++m_sequenceNumber;
    return rc;
}

// ---- CPredictor ----------------------------------------------------------------------------------

CPredictor::CPredictor() = default;
CPredictor::~CPredictor() = default;

int CPredictor::init(CPredictionClient* client, EvRestoreReturn* channel) {
    if (client == nullptr || channel == nullptr) return -1;
    m_client = client;
    m_channel = channel;
    return 0;
}

int CPredictor::sendPrediction(const databrowse::BrowseResponse& response) {
    if (m_channel == nullptr) return -1;
    std::string xml;
    if (response.serialize(xml) != 0) {
        logger().debugLvl(-1, "the prediction response cannot be written");
        return -1;
    }
    return m_channel->returnXMLItem(xml) == 0 ? 0 : -1;
}

// ---- media lists ---------------------------------------------------------------------------------

int normalizeMediaList(TMediaList* media) {
    if (media == nullptr) return -1;
    std::stable_sort(media->begin(), media->end(), [](const TMediaInfo& a, const TMediaInfo& b) {
        return a.mediaId != b.mediaId ? a.mediaId < b.mediaId : a.value6 < b.value6;
    });
    TMediaList merged;
    merged.reserve(media->size());
    for (TMediaInfo& m : *media) {
        if (!merged.empty() && merged.back().mediaId == m.mediaId && merged.back().value6 == m.value6) {
            merged.back().flags |= m.flags;
            merged.back().value8 += m.value8;
            continue;
        }
        merged.push_back(std::move(m));
    }
    const int removed = static_cast<int>(media->size() - merged.size());
    media->swap(merged);
    return removed;
}

namespace {

// An entity block of a physical media: an id and a name.
template <class Entity>
void setEntity(CNMessageBase& owner, const MsgFieldRef& slot, const MsgFieldRef& idField, uint64_t id,
               const MsgFieldRef& nameField, const std::string& name) {
    Entity e;
    e.setint64(idField, static_cast<int64_t>(id));
    e.setstring(nameField, name);
    owner.setObjectAccessor(e, slot);
}

}  // namespace

databrowse::PredictionData predictionDataOf(const TMediaInfo& m) {
    using P = databrowse::PhysicalMedia::f;
    auto n = [](uint64_t v) { return static_cast<int64_t>(v); };
    databrowse::PhysicalMedia media;
    media.setint64(P::mediaId, n(m.mediaId));
    media.setint64(P::flags, n(m.flags));
    media.setint64(P::mediaType, n(m.mediaType));
    media.setint64(P::mediaSize, n(m.size));
    media.setstring(P::barcode, m.text1);
    media.setstring(P::libraryName, m.text2);
    media.setstring(P::location, m.text3);
    media.setstring(P::mediaAgentName, m.text4);
    setEntity<ZyEntities::Msg10>(media, P::at8_20, ZyEntities::Msg10::f::subclientId, m.value5,
                                 ZyEntities::Msg10::f::subclientName, m.text5);
    media.setint64(P::copyId, n(m.value6));
    media.setstring(P::copyName, m.text6);
    setEntity<ZyEntities::Msg19>(media, P::at11_26, ZyEntities::Msg19::f::at0_0, m.value7,
                                 ZyEntities::Msg19::f::at1_1, m.mediaName);
    media.setint64(P::numberOfAfiles, n(m.value8));
    setEntity<ZyEntities::Msg23>(media, P::at13_28, ZyEntities::Msg23::f::at1_1, m.value9,
                                 ZyEntities::Msg23::f::at2_2, m.text8);
    databrowse::PredictionData item;
    item.setObjectAccessor(media, databrowse::PredictionData::f::physicalMedia);
    return item;
}
