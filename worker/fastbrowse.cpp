// Classic fast browse of one media agent over the restore service's XDR protocol: the legacy request and
// its three follow-up messages, then item batches received on the same thread until the media agent's
// end, each written to the caller as one response. Runs on the thread of newRequest, under the worker's
// lock. A media agent that falls silent, leaves or sends garbage ends the browse with an error and the
// end, and its session never returns to the pool.
#include <chrono>
#include <cstring>
#include <memory>

#include "fbDebug/fbdebug.h"
#include "planning/browsetask.h"
#include "platform/config/zyplatforminfo.h"
#include "platform/entities/apptypes.h"
#include "platform/errors/evmessagecontainer.h"
#include "platform/errors/evmessageids.h"
#include "platform/net/zynet_directory.h"
#include "platform/net/zynetwork.h"
#include "platform/net/zynetwork_pool.h"
#include "platform/restoreproto/fsr_messages.h"
#include "platform/tasks/evrestoretask.h"
#include "worker/fastbrowsehmworkerthread.h"
#include "worker/odssessioncache.h"

namespace {

const char* const kTag = "FBHMWORKER";

constexpr uint64_t kFlagFastBrowse = 0x400;    // input record word that becomes legacy offset 7392
constexpr uint64_t kOptionFilteredFind = 0x2;  // the media agent reads the path's last part as a pattern
constexpr char kSeparator = 0x12;
constexpr int kReceiveSeconds = 1;
constexpr int kDisconnectSeconds = 120;
constexpr int kAbortSeconds = 5;
constexpr size_t kReceiveBufferSize = 128;
constexpr size_t kClientNameLimit = 255;

// How long a media agent may send nothing before its browse is given up (registry, seconds).
const char* const kIdleLimitSection = "EventManager";
const char* const kIdleLimitName = "nFastBrowseIdleLimitSec";
constexpr unsigned int kDefaultIdleLimitSeconds = 600;

// Application types whose filtered find searches mailboxes (a pattern of mailbox paths).
bool searchesMailboxes(apptype::EAppType appType) {
    return apptype::in(apptype::family::kMailboxSearch, appType);
}

EvMessageContainer message(int id, const std::string& argument) {
    EvMessageContainer container;
    container.SetMessageID(id, true);
    container << argument.c_str();
    return container;
}

// A received record must be the one its code carries, and an array's items must be there for its count;
// anything else is garbage from the peer, never read.
bool payloadFits(unsigned long code, const unsigned char* data, size_t size) {
    const fsr::TMessage* m = fsr::findMessage(code);
    if (!m || m->shape == fsr::Shape::Empty) return true;
    if (!data) return false;
    if (m->shape == fsr::Shape::Single) return size == m->layout->size;
    if (size != sizeof(FSRItemArray)) return false;
    const FSRItemArray* array = reinterpret_cast<const FSRItemArray*>(data);
    return array->count <= fsr::kMaxArrayCount && (array->count == 0 || array->items != nullptr);
}

// The first value of each criterion of the request's plain queries, by attribute (a later match wins).
template <class F>
void forEachCriterion(const databrowse::Querylist* queries, F take) {
    if (!queries) return;
    const auto* list =
        const_cast<databrowse::Querylist*>(queries)->getlistobject(databrowse::Querylist::f::queries, false);
    if (!list) return;
    for (CNMessageBase& query : *const_cast<std::vector<CNMessageBase>*>(list)) {
        if (query.getint64(databrowse::Query::f::type) != 0) continue;
        auto* criteria = query.getlistobject(databrowse::Query::f::criteriaList, false);
        if (!criteria) continue;
        for (CNMessageBase& criterion : *criteria) {
            if (!criterion.isSet(databrowse::Criteria::f::criteria)) continue;
            CNMessageBase* value = criterion.getObjectAccessor(databrowse::Criteria::f::criteria, false);
            auto* values = value->getliststring(databrowse::FilteredBrowseCriteriaValue::f::values, false);
            take(value->getint64(databrowse::FilteredBrowseCriteriaValue::f::attribute),
                 values && !values->empty() ? values->front() : std::string());
        }
    }
}

}  // namespace

unsigned int CWorkerThreadHM::idleLimitSeconds() {
    unsigned int seconds = 0;
    if (!ZYPlatformInfo::getNumber(kIdleLimitSection, kIdleLimitName, &seconds) || seconds == 0)
        seconds = kDefaultIdleLimitSeconds;
    return seconds;
}

void CWorkerThreadHM::abandonFastBrowse(const std::string& text) {
    CBrowseLog log(kTag);
    log.debugLvl(0, "fast browse with media agent [%s] given up: %s", m_maClientName.c_str(), text.c_str());
    m_discardSession = true;
    setLastError(databrowse::BROWSE_ERR_GENERIC, text);
    // The caller learns why, and that nothing more comes; the worker then writes nothing further.
    sendErrorToBrowse();
    sendEndResponse();
}

bool CWorkerThreadHM::fastBrowse() {
    CBrowseLog log(kTag);
    const TBrowseTask& bt = *m_browseTask->getDataPtr();
    m_itemsReceived = 0;
    m_discardSession = false;
    m_inputData.value49 |= kFlagFastBrowse;

    if (!m_userAccessInfo.empty()) {
        log.debugLvl(0,
                     "User (%ld) has no rights to browse subclientId (%ld) kelmarch(%ld), srcClientId(%ld), "
                     "appTypeId(%ld), instance(%ld), backupSet(%ld)",
                     static_cast<long>(bt.userId), static_cast<long>(bt.subclientId),
                     static_cast<long>(bt.kelmarchId), static_cast<long>(bt.srcClientId),
                     static_cast<long>(bt.appType), static_cast<long>(bt.instanceId),
                     static_cast<long>(bt.backupSetId));
        EvMessageContainer refusal;
        refusal.SetMessageID(evmsg::kNoBrowseRights, true);
        setErrorMessage(refusal);
        return false;
    }
    // Selection may succeed without a media agent (no subclient): there is nobody to ask then.
    if (m_maHostName.empty() || m_maVersionText.empty()) {
        log.debugLvl(0, "no media agent was found for the browse (host [%s], version [%s])",
                     m_maHostName.c_str(), m_maVersionText.c_str());
        setLastError(databrowse::BROWSE_ERR_GENERIC,
                     "No media agent holds the data of this browse: classic browse cannot run.");
        return false;
    }
    if (mediaAgentOlderThanBackups()) return false;
    log.debugLvl(0, "mediaAgent [%s], version [%s] will be used for the browse.", m_maClientName.c_str(),
                 m_maVersionText.c_str());

    std::string hostName, secondName;
    int serviceNumber = 0, port = 0;
    if (!DemangleHostName(m_maHostName, hostName, secondName, serviceNumber, port)) hostName = m_maHostName;
    ZyNetworkPoP* pool = getSessionPool();
    m_session = nullptr;
    if (!pool || pool->getSession(m_session, m_maHostName.c_str(), GetSessionLocalName().c_str(),
                                  serviceNumber, &m_networkCancel) != 0) {
        log.debugLvl(0, "failed to connect to zyd on mediaAgent <%s>", m_maHostName.c_str());
        setErrorMessage(message(evmsg::kMediaAgentUnreachable, m_maClientName));
        m_session = nullptr;
        return false;
    }
    log.debugLvl(8, "fast browse session with mediaagent [%s] was established", m_maHostName.c_str());

    auto finish = [&](bool result) REQUIRES(m_workerLock) {
        if (m_discardSession && m_session->IsConnected()) {
            // Whatever the media agent still sends belongs to this browse: the session must not serve
            // another.
            zysStatus status;
            status.status = -1;
            bool timedOut = false;
            ignoreResult(m_session->AbortConnection(status, kAbortSeconds, timedOut),
                         "the session ends either way; a peer already gone is no fault");
        }
        if (pool->releaseSession(m_session, m_maHostName.c_str(), serviceNumber) != 0)
            log.debugLvl(0, "failed to release connection to the zyd pool");
        m_session = nullptr;
        return result;
    };
    auto fail = [&](const char* what, int messageId) REQUIRES(m_workerLock) {
        log.debugLvl(0, "%s", what);
        setErrorMessage(message(messageId, m_maClientName));
        return finish(false);
    };

    std::string keptPath;
    bool pathKept = false;
    if (m_inputData.optionBits & kOptionFilteredFind) {
        std::string pattern = searchesMailboxes(apptype::of(m_inputData.appType)) ? generateRegExFor90EXMB()
                                                                                  : generateRegExFor90FS();
        if (pattern != m_inputData.browsePath) {
            log.debugLvl(0, "Converted filtered-find to regular expression [%s]", pattern.c_str());
            keptPath = std::move(m_inputData.browsePath);
            m_inputData.browsePath = std::move(pattern);
            pathKept = true;
        }
    }
    const int sent = sendRequest(m_session, &m_inputData);
    if (pathKept) m_inputData.browsePath = std::move(keptPath);
    if (sent != 0) {
        log.debugLvl(0, "failed to send request to mediaAgent [%s] with error [%s]", m_maClientName.c_str(),
                     m_session->GetLastErrorGenericText().c_str());
        raiseSendFailedEvent(m_maClientName, false);
        m_discardSession = true;
        return fail("request not sent", evmsg::kSendToMediaAgentFailed);
    }
    if (sendPathsToMA(std::vector<TSubclientPath>(bt.subclientPaths.begin(), bt.subclientPaths.end()),
                      m_session) != 0) {
        m_discardSession = true;
        return fail("failed to send destination paths to mediaagent", evmsg::kMediaAgentUnreachable);
    }
    if (bt.userId != 0 && sendOriginatedUserIdToMA(static_cast<unsigned int>(bt.userId), m_session) != 0) {
        m_discardSession = true;
        return fail("failed to send user information to mediaagent", evmsg::kMediaAgentUnreachable);
    }
    if (sendClientNameToMA(m_maClientName, m_session) != 0) {
        m_discardSession = true;
        return fail("failed to send client name to mediaagent", evmsg::kMediaAgentUnreachable);
    }
    log.debugLvl(0, "browse request was successfully sent to MediaAgent [%s]", m_maClientName.c_str());
    if (!waitForCompletion()) {
        log.debugLvl(0, "failed to receive response from media agent");
        // The wait left its own reason (and told the caller); a plain receive failure says so.
        if (m_errorText[0] == '\0') setErrorMessage(message(evmsg::kMediaAgentUnreachable, m_maClientName));
        return finish(false);
    }
    return finish(true);
}

int CWorkerThreadHM::sendRequest(CZyNetwork* session, TInputData* input) {
    CBrowseLog log(kTag);
    if (!session) {
        log.debugLvl(0, "ERROR: poSession = NULL.");
        return -1;
    }
    if (!input) {
        log.debugLvl(0, "ERROR: pRequest = NULL.");
        return -1;
    }
    std::unique_ptr<TLegacyBrowseRequest> record = input->getBackwardCompatibilityRequest();
    if (!record) {
        log.debugLvl(
            0, "ERROR: path with length more that 1000 is not supported in backward compatibility mode");
        return -1;
    }
    unsigned int version = 0;
    CUxError rc = session->GetProtocolVersion(version);
    if (rc.IsError()) {
        log.debugLvl(
            0, "ERROR: getProtocolVersion() failed to send ZYS_PM_WAKEUP_REMOTE_THREAD_REQ with error(%s)",
            session->GetLastErrorGenericText().c_str());
        return -1;
    }
    const unsigned long code = version <= 4096   ? ZYS_PM_WAKEUP_REMOTE_THREAD_REQ
                               : version == 4097 ? ZYS_PM_WAKEUP_REMOTE_THREAD_REQ_4097
                                                 : ZYS_PM_WAKEUP_REMOTE_THREAD_REQ_4098;
    zysDatabuf_v2 buffer;
    buffer.setExternalBuffer(record.get(), sizeof(TLegacyBrowseRequest));
    bool timedOut = false;
    if (session->SendXDRMessage(code, &buffer, 0, -1, timedOut).IsError()) {
        log.debugLvl(0,
                     "ERROR: SendXDRMessage() failed to send ZYS_PM_WAKEUP_REMOTE_THREAD_REQ with error(%s)",
                     session->GetLastErrorGenericText().c_str());
        return -1;
    }
    log.debugLvl(2, "Request was sent to the MA.");
    return 0;
}

int CWorkerThreadHM::sendPathsToMA(std::vector<TSubclientPath> paths, CZyNetwork* session) {
    CBrowseLog log(kTag);
    if (!session) {
        log.debugLvl(0, "ERROR: poSession = NULL.");
        return -1;
    }
    for (size_t i = 0; i < paths.size(); ++i) {
        std::string text = paths[i].path;
        if (!paths[i].displayName.empty()) text += kSeparator + paths[i].displayName;
        FSRSrcPath record;
        record.pathIndex = i;
        record.path = text.c_str();
        log.debugLvl(2, "sending path[%u]: %s", static_cast<unsigned>(i), text.c_str());
        zysDatabuf_v2 buffer;
        buffer.setExternalBuffer(&record, sizeof record);
        bool timedOut = false;
        if (session->SendXDRMessage(FSR_MSG_SRC_PATH, &buffer, 0, -1, timedOut).IsError()) {
            log.debugLvl(0, "ERROR: CZyNetwork::SendXDRMessage() failed to send Path[%lu], error=%s",
                         static_cast<unsigned long>(i), session->GetLastErrorGenericText().c_str());
            return -1;
        }
    }
    return 0;
}

int CWorkerThreadHM::sendOriginatedUserIdToMA(unsigned int userId, CZyNetwork* session) {
    CBrowseLog log(kTag);
    if (!session) {
        log.debugLvl(0, "ERROR: poSession = NULL.");
        return -1;
    }
    FSROriginatedUserId record;
    record.userId = userId;
    log.debugLvl(2, "sending Originated User ID (%lu)", static_cast<unsigned long>(userId));
    zysDatabuf_v2 buffer;
    buffer.setExternalBuffer(&record, sizeof record);
    bool timedOut = false;
    if (session->SendXDRMessage(FSR_MSG_ORIGINATED_USER_ID, &buffer, 0, -1, timedOut).IsError()) {
        log.debugLvl(0, "ERROR: CZyNetwork::SendXDRMessage() failed to send USER ID[%lu], error=%s",
                     static_cast<unsigned long>(userId), session->GetLastErrorGenericText().c_str());
        return -1;
    }
    return 0;
}

int CWorkerThreadHM::sendClientNameToMA(std::string clientName, CZyNetwork* session) {
    CBrowseLog log(kTag);
    if (!session) {
        log.debugLvl(0, "ERROR: poSession = NULL.");
        return -1;
    }
    FSRClasterClientName record;
    // A cut name could name another client: a name that does not fit is refused.
    if (clientName.size() > kClientNameLimit || !fsr::setClientName(record, clientName)) {
        log.debugLvl(0, "ERROR: client name '%s' is longer than %u characters", clientName.c_str(),
                     static_cast<unsigned>(kClientNameLimit));
        return -1;
    }
    log.debugLvl(2, "sending Client Name '%s'", clientName.c_str());
    zysDatabuf_v2 buffer;
    buffer.setExternalBuffer(&record, sizeof record);
    bool timedOut = false;
    if (session->SendXDRMessage(FSR_MSG_CLIENT_NAME, &buffer, 0, -1, timedOut).IsError()) {
        log.debugLvl(0, "ERROR: CZyNetwork::SendXDRMessage() failed to send client name '%s', error=%s",
                     clientName.c_str(), session->GetLastErrorGenericText().c_str());
        return -1;
    }
    return 0;
}

bool CWorkerThreadHM::waitForCompletion() {
    CBrowseLog log(kTag);
    log.debugLvl(0, "start waiting for responses from media agent [%s]", m_maClientName.c_str());
    const unsigned int idleLimit = idleLimitSeconds();
    unsigned char receiveBuffer[kReceiveBufferSize];
    zysDatabuf_v2 buffer;
    auto lastMessage = ageingNow();
    bool done = false;
    while (!done) {
        if (getStopFlag()) {
            abandonFastBrowse("The browse was stopped.");
            return false;
        }
        std::memset(receiveBuffer, 0, sizeof receiveBuffer);
        buffer.setExternalBuffer(receiveBuffer, sizeof receiveBuffer);
        unsigned long code = 0;
        bool timedOut = false;
        CUxError rc = m_session->ReceiveXDRMessage(&code, nullptr, &buffer, 0, kReceiveSeconds, timedOut);
        if (timedOut) {
            const auto silent = std::chrono::duration_cast<std::chrono::seconds>(ageingNow() - lastMessage);
            if (silent.count() >= static_cast<long long>(idleLimit)) {
                abandonFastBrowse("Media agent [" + m_maClientName + "] sent nothing for " +
                                  std::to_string(silent.count()) + " seconds; the browse was given up.");
                return false;
            }
            continue;
        }
        if (rc.IsError()) {
            log.debugLvl(0, "ERROR: CZyNetwork::ReceiveXDRMessage() failed with code [%s]",
                         m_session->GetLastErrorGenericText().c_str());
            abandonFastBrowse(
                "The connection to media agent [" + m_maClientName +
                "] failed before the end of its answer: " + m_session->GetLastErrorGenericText());
            return false;
        }
        lastMessage = ageingNow();
        if (code == ZYS_PM_DISCONNECT_REQ) {
            ignoreResult(m_session->ReplyDisconnect(kDisconnectSeconds, timedOut),
                         "the session ends either way; a peer already gone is no fault");
            // An answer without its end is not a complete listing.
            abandonFastBrowse("Media agent [" + m_maClientName +
                              "] ended the session before the end of its answer.");
            return false;
        }
        unsigned char* data = buffer.getDataBuffer();
        if (!payloadFits(code, data, buffer.getDataSize())) {
            ignoreResult(m_session->FreeReceivedMessage(code, &buffer), "it only gives the buffer back");
            abandonFastBrowse("Media agent [" + m_maClientName + "] sent a malformed " +
                              ZYS_FileSystemRestore_PM_STRING(code) + " message.");
            return false;
        }
        const bool written = processMessage(static_cast<unsigned int>(code), data, done);
        ignoreResult(m_session->FreeReceivedMessage(code, &buffer), "it only gives the buffer back");
        if (!written && code == FSR_MSG_RESTORE_END) {
            // The caller would never learn that the answer is complete.
            setLastError(databrowse::BROWSE_ERR_GENERIC,
                         "The end of the browse answer could not be written.");
            return false;
        }
    }
    return true;
}

bool CWorkerThreadHM::processMessage(unsigned int code, unsigned char* data, bool& done) {
    CBrowseLog log(kTag);
    databrowse::BrowseResponse response;
    response.setint64(databrowse::BrowseResponse::f::respType, databrowse::BROWSE_RESP_ITEMS);
    const FSRItemArray* array = reinterpret_cast<const FSRItemArray*>(data);
    uint32_t count = 0;
    switch (code) {
        case FSR_MSG_RESTORE_ITEM_ARRAY_90:
        case FSR_MSG_RESTORE_ITEM_90: {
            const bool isArray = code == FSR_MSG_RESTORE_ITEM_ARRAY_90;
            log.debugLvl(
                5, isArray ? "FSR_MSG_RESTORE_ITEM_ARRAY_90 received." : "FSR_MSG_RESTORE_ITEM_90 received.");
            count = isArray ? array->count : 1;
            const auto* items =
                isArray ? array->itemsAs<FSRRestoreItem_90>() : reinterpret_cast<FSRRestoreItem_90*>(data);
            for (uint32_t n = 0; n < count; ++n) {
                FSRRestoreItem_90 item = items[n];
                convertToXML(&item, response);
            }
            break;
        }
        case FSR_MSG_RESTORE_ITEM_ARRAY_80:
        case FSR_MSG_RESTORE_ITEM_80: {
            const bool isArray = code == FSR_MSG_RESTORE_ITEM_ARRAY_80;
            log.debugLvl(
                5, isArray ? "FSR_MSG_RESTORE_ITEM_ARRAY_80 received." : "FSR_MSG_RESTORE_ITEM_80 received.");
            count = isArray ? array->count : 1;
            const auto* items =
                isArray ? array->itemsAs<FSRRestoreItem_80>() : reinterpret_cast<FSRRestoreItem_80*>(data);
            for (uint32_t n = 0; n < count; ++n) {
                FSRRestoreItem_90 item = fsr::widenRestoreItem(items[n]);
                convertToXML(&item, response);
            }
            break;
        }
        case FSR_MSG_RESTORE_ITEM_ARRAY:
        case FSR_MSG_RESTORE_ITEM: {
            const bool isArray = code == FSR_MSG_RESTORE_ITEM_ARRAY;
            log.debugLvl(5,
                         isArray ? "FSR_MSG_RESTORE_ITEM_ARRAY received." : "FSR_MSG_RESTORE_ITEM received.");
            count = isArray ? array->count : 1;
            const auto* items =
                isArray ? array->itemsAs<FSRRestoreItem>() : reinterpret_cast<FSRRestoreItem*>(data);
            const bool nameShown = isArray && fsr::oldItemNameIsDisplayName(m_privateTask->getOptions(),
                                                                            m_privateTask->getAppType());
            for (uint32_t n = 0; n < count; ++n) {
                const char* second = !isArray ? nullptr : nameShown ? items[n].name : "";
                FSRRestoreItem_90 item = fsr::widenRestoreItem(items[n], second);
                convertToXML(&item, response);
            }
            break;
        }
        case FSR_MSG_PREDICTION_ITEM_ARRAY:
        case FSR_MSG_PREDICTION_ITEM: {
            const bool isArray = code == FSR_MSG_PREDICTION_ITEM_ARRAY;
            log.debugLvl(
                5, isArray ? "FSR_MSG_PREDICTION_ITEM_ARRAY received." : "FSR_MSG_PREDICTION_ITEM received.");
            const uint32_t n = isArray ? array->count : 1;
            const auto* items =
                isArray ? array->itemsAs<FSRPredictionItem>() : reinterpret_cast<FSRPredictionItem*>(data);
            for (uint32_t k = 0; k < n; ++k) {
                FSRPredictionItem item = items[k];
                sendItemBack(&item);
            }
            return true;
        }
        case FSR_MSG_RESTORE_END: {
            log.debugLvl(5, "FSR_MSG_RESTORE_END received.");
            response.setint64(databrowse::BrowseResponse::f::respType, databrowse::BROWSE_RESP_END);
            std::string xml;
            const int rc = response.serialize(xml);
            if (rc != 0) {
                log.debugLvl(0, "failed to serialize browse message, error [%d]", rc);
                return false;
            }
            processEndMessage(xml.c_str());
            done = true;
            return true;
        }
        default:
            log.debugLvl(0, "ERROR: unexpected message [%s]", ZYS_FileSystemRestore_PM_STRING(code).c_str());
            return true;
    }
    m_itemsReceived += count;
    if (count == 0) return true;
    std::string xml;
    const int rc = response.serialize(xml);
    if (rc != 0) {
        log.debugLvl(0, "failed to serialize browse message, error [%d]", rc);
        return false;
    }
    sendItemBack(std::move(xml));
    return true;
}

void CWorkerThreadHM::sendItemBack(FSRPredictionItem* item) {
    CBrowseLog log(kTag);
    if (!item) return;
    TLocationInfo location;
    location.flags = item->flags;
    location.archFileId = item->archiveFileId;
    location.beginOffset = item->beginOffset;
    location.endOffset = item->endOffset;
    location.size = item->size;
    location.kelmarchId = item->kelmarchId;
    if (item->flags & 0x2) {
        if (m_predictionClient.addIndexLocationInfo(&location) != 0) {
            log.debugLvl(0, "ERROR: (MP) failed to add IndexLocationInfo record.");
            return;
        }
    } else if (item->flags & 0x8) {
        if (m_predictionClient.addDataLocationInfo(&location) != 0) {
            log.debugLvl(0, "ERROR: (MP) failed to add DataLocationInfo record.");
            return;
        }
    } else {
        log.debugLvl(0, "ERROR: (MP) Wrong flags (media type)");
        return;
    }
    log.debugLvl(
        8,
        "sending prediction item to GUI - kelmarch [%lu] flags [%lu] archive [%lu]  begin offset [%llu] "
        "end offset [%llu] size [%llu]",
        static_cast<unsigned long>(item->kelmarchId), static_cast<unsigned long>(item->flags),
        static_cast<unsigned long>(item->archiveFileId), static_cast<unsigned long long>(item->beginOffset),
        static_cast<unsigned long long>(item->endOffset), static_cast<unsigned long long>(item->size));
}

std::string CWorkerThreadHM::generateRegExFor90FS() {
    CBrowseLog log(kTag);
    std::string path = m_inputData.browsePath;
    std::string pattern;
    forEachCriterion(m_queryList.get(), [&](int64_t attribute, const std::string& value) {
        if (attribute == 0) pattern = value;
    });
    if (!pattern.empty() && !path.empty() && path.back() == '*') {
        const std::string converted = path.substr(0, path.size() - 1) + pattern;
        log.debugLvl(3,
                     "browse path [%s], search pattern [%s], new browse path after conversion to reg-ex [%s]",
                     path.c_str(), pattern.c_str(), converted.c_str());
        return converted;
    }
    return path;
}

std::string CWorkerThreadHM::generateRegExFor90EXMB() {
    std::string values[3];  // attributes 6, 7 and 8
    forEachCriterion(m_queryList.get(), [&](int64_t attribute, const std::string& value) {
        if (attribute >= 6 && attribute <= 8) values[attribute - 6] = value;
    });
    auto segment = [](const std::string& value) {
        std::string s{kSeparator, '*'};
        if (!value.empty()) s += value + "*";
        return s;
    };
    return std::string("\\MB\\*\\**\\*") + segment(values[1]) + segment(values[0]) + segment(std::string()) +
           segment(values[2]);
}

std::string CWorkerThreadHM::classicListingKey() {
    const TInputData& in = m_inputData;
    // The path as the agent gets it: a filtered find's pattern in its place.
    std::string path = in.browsePath;
    if (in.optionBits & kOptionFilteredFind)
        path = searchesMailboxes(apptype::of(in.appType)) ? generateRegExFor90EXMB() : generateRegExFor90FS();
    std::string key = m_maClientName;
    for (uint64_t value : {static_cast<uint64_t>(in.subclientId), static_cast<uint64_t>(in.appType),
                           static_cast<uint64_t>(in.clientId), static_cast<uint64_t>(in.copyPrecedence),
                           static_cast<uint64_t>(in.fromTime), static_cast<uint64_t>(in.toTime),
                           in.optionBits, static_cast<uint64_t>(in.emFunction & 0xFF),
                           static_cast<uint64_t>(m_browseTask->getDataPtr()->userId)})
        key += '|' + std::to_string(value);
    return key + '|' + path + '|' + in.secondPath;
}
