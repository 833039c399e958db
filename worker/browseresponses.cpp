// The worker's answers to its caller: items, errors, warnings, counts and the end, each one
// databrowse::BrowseResponse handed to the request's return channel, and the end of a media agent's
// answer. Called under the worker's lock by the thread that holds it.
#include <algorithm>
#include <cstring>

#include "fbDebug/fbdebug.h"
#include "planning/browsetask.h"
#include "planning/confmgr.h"
#include "platform/errors/evmessagecontainer.h"
#include "platform/msg/errorresponse.h"
#include "platform/tasks/evrestoretask.h"
#include "platform/tasks/evreturndata.h"
#include "platform/tasks/taskoptions.h"
#include "worker/fastbrowsehmworkerthread.h"

namespace {

const char* const kTag = "FBHMWORKER";

// databrowse::BrowseResponse types the worker writes.

// The browse task's options that keep a paged request from asking for a count.
constexpr uint64_t kNoCountOptions = taskoption::kNested | 0x2;
// A nested browse (the dot browse of an unknown item): it writes into its outer browse's channel.

void setSession(databrowse::BrowseResponse& response, const std::string& sessionGuid) {
    databrowse::BrowseSession session;
    session.setstring(databrowse::BrowseSession::f::sessionId, sessionGuid);
    response.setObjectAccessor(session, databrowse::BrowseResponse::f::session);
}

void addError(databrowse::BrowseResponse& response, const CNMessageBase& error) {
    response.getlistobject(databrowse::BrowseResponse::f::messages, true)->push_back(error);
}

}  // namespace

int CWorkerThreadHM::writeToCaller(std::string& xml, bool classicItem) {
    if (!m_replyChannel.admits(xml)) return -1;
    EvRestoreReturn* channel = m_browseTask ? m_browseTask->getDataPtr()->restoreReturn : nullptr;
    if (channel) return classicItem ? channel->returnItem_9_0(xml) : channel->returnXMLItem(xml);

    // No channel yet (the request failed before its browse task was set up): a stand-by channel of the
    // job, so the caller still sees the answer.
    long long jobId = static_cast<long long>(m_privateTask ? m_privateTask->getJobId() : 0);
    unsigned long long options = m_privateTask ? m_privateTask->getOptions() : 0;
    if (jobId == 0) {
        jobId = static_cast<long long>(m_callerJobId);
        options = m_callerOptions;
    }
    EvRestoreReturn standBy(jobId, static_cast<int>(static_cast<uint32_t>(options)), true, nullptr, nullptr);
    return classicItem ? standBy.returnItem_9_0(xml) : standBy.returnXMLItem(xml);
}

int CWorkerThreadHM::writeToCaller(std::string&& xml, xmlscan::TItems items,
                                   std::shared_ptr<CNMessageBase> read) {
    if (!m_replyChannel.admits(xml)) return -1;
    EvRestoreReturn* channel = m_browseTask ? m_browseTask->getDataPtr()->restoreReturn : nullptr;
    return channel ? channel->returnXMLItem(std::move(xml), std::move(items), std::move(read))
                   : writeToCaller(xml, false);
}

int CWorkerThreadHM::writeResponse(databrowse::BrowseResponse& response, const char* failureFormat) {
    std::string xml;
    const int rc = response.serialize(xml);
    if (rc != 0) {
        CBrowseLog log(kTag);
        log.debugLvl(0, failureFormat, rc);
        return rc;
    }
    return writeToCaller(xml, false);
}

std::string CWorkerThreadHM::responseSessionGuid() const {
    if (m_privateTask) {
        const char* guid = m_privateTask->getbrowseSessionGUID();
        if (guid && *guid) return guid;
    }
    return getBrowseSessionGuid();
}

void CWorkerThreadHM::sendItemBack(std::string xml) {
    sendItemBack(std::move(xml), xmlscan::TItems{});
}

void CWorkerThreadHM::sendItemBack(std::string xml, xmlscan::TItems items,
                                   std::shared_ptr<CNMessageBase> read) {
    CBrowseLog log(kTag);
    // The answer's bytes go to the channel as they are, not copied, unless its line below shows them.
    const int rc = log.getDebugLevel() >= 8
                       ? writeToCaller(xml, false)
                       : writeToCaller(std::move(xml), std::move(items), std::move(read));
    if (rc >= 0)
        log.debugLvl(8, "sending item to GUI - [%s]", xml.c_str());
    else
        log.debugLvl(0, "failed to send item [%s]", xml.c_str());
}

void CWorkerThreadHM::sendItemBack(databrowse::BrowseItem& item) {
    CBrowseLog log(kTag);
    item.setXmlWriteFlag(true);
    std::string xml;
    const int rc = item.serialize(xml);
    if (rc != 0) {
        log.debugLvl(0, "failed to serialize browse message, error [%d]", rc);
        return;
    }
    if (writeToCaller(xml, true) >= 0)
        log.debugLvl(8, "sending item to GUI - [%s]", xml.c_str());
    else
        log.debugLvl(0, "failed to send item [%s]", item.getstring(databrowse::BrowseItem::f::name).c_str());
}

void CWorkerThreadHM::processErrorMessage(databrowse::BrowseErrorCode code, const char* text) {
    if (!text) return;
    databrowse::BrowseResponse response = errorresponse::of(code, text);
    std::string xml;
    if (response.serialize(xml) != 0) return;
    sendItemBack(xml);
    // Delivered now, not when the last holder lets the worker go: a stop may hold it while its request's
    // caller, once the request has returned, listens no more.
    if (EvRestoreReturn* channel = m_browseTask ? m_browseTask->getDataPtr()->restoreReturn : nullptr)
        channel->dumpBuffer(9);
}

void CWorkerThreadHM::sendErrorToBrowse() {
    if (m_errorCode == databrowse::BROWSE_ERR_NONE) return;
    databrowse::BrowseResponse response = errorresponse::of(m_errorCode, m_errorText);
    setSession(response, responseSessionGuid());
    writeResponse(response, "failed to serialize browse error message, error [%d]");
}

void CWorkerThreadHM::sendWarningToBrowse(databrowse::BrowseError error) {
    databrowse::BrowseResponse response;
    response.setint64(databrowse::BrowseResponse::f::respType, databrowse::BROWSE_RESP_WARNING);
    setSession(response, responseSessionGuid());
    addError(response, error);
    std::string xml;
    const int rc = response.serialize(xml);
    if (rc != 0) {
        CBrowseLog log(kTag);
        log.debugLvl(-1, "Failed to serialize browse error message, error [%d]", rc);
        return;
    }
    writeToCaller(xml, false);
}

void CWorkerThreadHM::sendEndResponse() {
    CBrowseLog log(kTag);
    databrowse::BrowseResponse response;
    response.setint64(databrowse::BrowseResponse::f::respType, databrowse::BROWSE_RESP_END);
    setSession(response, responseSessionGuid());
    std::string xml;
    const int rc = response.serialize(xml);
    if (rc != 0) {
        log.debugLvl(0, "failed to serialize browse error message, error [%d]", rc);
        return;
    }
    if (writeToCaller(xml, false) < 0) return;
    m_replyChannel.markEndSent();
    log.debugLvl(0, "sent end flag [%s]", xml.c_str());
}

std::string CWorkerThreadHM::localisedText(EvMessageContainer message) const {
    const unsigned long locale =
        m_privateTask ? static_cast<unsigned long>(m_privateTask->getTaskLocale()) : 0;
    return getErrorMsgContainer(message, locale);
}

void CWorkerThreadHM::setErrorMessage(EvMessageContainer message) {
    const std::string text = localisedText(std::move(message));
    const size_t n = std::min(text.size(), kErrorTextSize - 1);
    std::memcpy(m_errorText, text.data(), n);
    m_errorText[n] = '\0';
}

void CWorkerThreadHM::addCountResponse(long long count, databrowse::BrowseResponse& response) {
    CNMessageBase* result = response.getObjectAccessor(databrowse::BrowseResponse::f::browseResult, true);
    result->setstring(databrowse::BrowseResult::f::queryId, m_countTag);
    databrowse::AggregateResult aggregate;
    aggregate.setint64(databrowse::AggregateResult::f::count, count);
    result->getlistobject(databrowse::BrowseResult::f::aggrResultSet, true)->push_back(aggregate);
}

bool CWorkerThreadHM::emRequiresCount(unsigned int& countOperation) {
    if (m_browseTask->getDataPtr()->options & kNoCountOptions) return false;
    switch (m_inputData.emFunction & 0xFF) {
        case 7:
            countOperation = 8;
            return true;
        case 2:
        case 3:
            countOperation = 1;
            return true;
        case 6:
            countOperation = 5;
            return true;
        default:
            countOperation = 0xFFFFFFFF;
            return false;
    }
}

bool CWorkerThreadHM::processEndMessage(const char* endXml, std::shared_ptr<CNMessageBase> read) {
    CBrowseLog log(kTag);
    // A count pass may follow: the caller gets one end, after it (dispatchRequest releases it).
    if (m_replyChannel.keepEnd(endXml)) return false;
    log.debugLvl(0, "received response from media agent");
    const int predicted = m_indexingV2 ? sendResultsFromPredictor() : doIndexPrediction();
    if (predicted != 1) log.debugLvl(0, "Warning: Prediction failed for worker id [%s]", m_workerId.c_str());

    --m_outstandingRequests;
    if (m_outstandingRequests >= 1) {
        // Each media agent ends its own answer; the caller is told the end of the browse once.
        if (endXml)
            log.debugLvl(3, "end of one of several answers; %d still outstanding", m_outstandingRequests);
        return false;
    }
    // A nested browse writes into its outer browse's channel: the outer browse tells its caller the end.
    const bool nested = m_browseTask && (m_browseTask->getDataPtr()->options & taskoption::kNested) != 0;
    if (endXml && !nested) {
        sendItemBack(endXml, xmlscan::TItems{}, std::move(read));
        m_replyChannel.markEndSent();
        // Nothing more reaches the caller: its channel ends now, not once the worker is torn down.
        if (m_browseTask) m_browseTask->endChannel();
    }
    log.debugLvl(0, "END - browse request with worker id [%s]", m_workerId.c_str());
    releaseConfReference();
    giveBackAnswerSessions(true);
    return true;
}

void CWorkerThreadHM::releaseHeldEnd() {
    if (const auto held = m_replyChannel.releaseEnd()) processEndMessage(held->text());
}

void CWorkerThreadHM::releaseConfReference() {
    if (m_heldConfId.empty()) return;
    const std::string id = std::move(m_heldConfId);
    m_heldConfId.clear();
    if (!g_poConfMgr) return;
    if (g_poConfMgr->closeConfRef(id) != 0) {
        CBrowseLog log(kTag);
        log.debugLvl(0, "failed to release configuration [%s]", id.c_str());
    }
    g_poConfMgr->deleteConfRec(id);
}
