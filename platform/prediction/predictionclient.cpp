// The prediction client's state and the predictor.
#include "platform/prediction/predictionclient.h"

#include "platform/tasks/evrestoretask.h"
#include "platform/tasks/evreturndata.h"

CPredictionClient::CPredictionClient() = default;
CPredictionClient::~CPredictionClient() = default;

bool CPredictionClient::isRestore() {
    return m_restore;
}
int CPredictionClient::getRestoreType() {
    return m_task ? static_cast<int>(m_task->getBrowseOpType()) : -1;
}
long CPredictionClient::getSequenceNumber() {
    return m_sequenceNumber;
}

int CPredictionClient::init(EvRestoreTask* task, bool restore) {
    m_totalDataSize = 0;
    m_indexRestoreNeeded = m_incompleteMediaList = m_indexMissingInMedia = false;
    m_unresolvedLocations = 0;
    m_indexLocations.clear();
    m_dataLocations.clear();
    m_media.clear();
    m_task = task;
    m_restore = restore;
    return 0;
}

int CPredictionClient::getRawMedia(unsigned long, TMediaList*) {
    return -1;
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
    return m_indexRestoreNeeded;
}
bool CPredictionClient::checkIncompleteMediaList() {
    return m_incompleteMediaList;
}
bool CPredictionClient::isListMediaPrecise() {
    return !m_incompleteMediaList && !m_indexMissingInMedia;
}
int CPredictionClient::addOptionsToReport(FILE*) {
    return -1;
}
int CPredictionClient::addMediaListToReport(FILE*) {
    return -1;
}
int CPredictionClient::addHeaderToReport(FILE*) {
    return -1;
}
int CPredictionClient::addFooterToReport(FILE*) {
    return -1;
}
int CPredictionClient::sendAlert(char*) {
    return -1;
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
    return -1;
}
int CPredictionClient::addMedia(uint64_t, unsigned long) {
    return -1;
}
int CPredictionClient::addIndexMedia(unsigned long copyPrecedence) {
    return addMedia(kPredictIndexLocation, copyPrecedence);
}
int CPredictionClient::addDataMedia(unsigned long copyPrecedence) {
    return addMedia(kPredictDataLocation, copyPrecedence);
}
bool CPredictionClient::convertPredictionToXML(std::vector<databrowse::PredictionData>&) {
    return false;
}
int CPredictionClient::apiSendPredictionResults(CPredictor&) {
    return -1;
}

CPredictor::CPredictor() = default;
CPredictor::~CPredictor() = default;
int CPredictor::init(CPredictionClient* client, EvRestoreReturn* channel) {
    if (client == nullptr || channel == nullptr) return -1;
    m_client = client;
    m_channel = channel;
    return 0;
}
int CPredictor::sendPrediction(const databrowse::BrowseResponse&) {
    return -1;
}

int normalizeMediaList(TMediaList* media) {
    return media ? 0 : -1;
}
databrowse::PredictionData predictionDataOf(const TMediaInfo&) {
    return {};
}
