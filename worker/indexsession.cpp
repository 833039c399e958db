// The worker's session to its media agent's index service and the sends over it: a power-managed media
// agent is powered on first, the session comes from the index-server session cache (indexing v2) or the
// process-wide pool, and the index service is launched once when the pool cannot reach it. Called on the
// worker's thread under its lock.
#include <atomic>
#include <cstring>
#include <string_view>

#include "fbDebug/fbdebug.h"
#include "platform/errors/evevent.h"
#include "platform/errors/evmessagecontainer.h"
#include "platform/errors/evmessageids.h"
#include "platform/indexing/idxsrvrsessioncache.h"
#include "platform/indexing/indexingutils.h"
#include "platform/indexing/powermanagement.h"
#include "platform/msg/xml_codec.h"
#include "platform/net/zynet_directory.h"
#include "platform/net/zynet_options.h"
#include "platform/net/zynetwork.h"
#include "platform/net/zynetwork_pool.h"
#include "platform/tasks/evrestoretask.h"
#include "worker/fastbrowsehmworkerthread.h"
#include "worker/odssessioncache.h"

namespace {

const char* const kTag = "FBHMWORKER";
const char* const kIndexService = "IndexingService_0";
const char* const kLauncherName = "sLNIDXMA";
const char* const kLauncherAlternateName = "sLPIDXMA";
constexpr int kAttachSeconds = 120;
constexpr unsigned long kLaunchReplyTag = 0x30313d62;
constexpr int kAbortSeconds = 5;
constexpr databrowse::BrowseErrorCode kPowerManagedCode = static_cast<databrowse::BrowseErrorCode>(23);

std::atomic<ZyNetworkPoP*> s_sessionPool{nullptr};

EvMessageContainer message(int id, const std::string& argument) {
    EvMessageContainer container;
    container.SetMessageID(id, true);
    container << argument.c_str();
    return container;
}

void copyName(char* field, const char* name) {
    std::strncpy(field, name, 256);
    field[256] = '\0';
}

// The time-out of a wait that has no limit of its own: the browse's idle limit (one beyond an int leaves
// the process's cap, -1).
int boundedWait(unsigned int idleLimit) {
    const int seconds = static_cast<int>(idleLimit);
    return seconds > 0 ? seconds : -1;
}

}  // namespace

void CWorkerThreadHM::setSessionPool(ZyNetworkPoP* pool) {
    s_sessionPool.store(pool);
}

ZyNetworkPoP* CWorkerThreadHM::getSessionPool() {
    return s_sessionPool.load();
}

bool CWorkerThreadHM::getSession() {
    CBrowseLog log(kTag);
    std::string hostName, clientName;
    int serviceNumber = 0, port = 0;
    if (!DemangleHostName(m_maHostName, hostName, clientName, serviceNumber, port)) hostName = m_maHostName;
    std::string localName = GetSessionLocalName();

    bool powerOnSent = false;
    // A request asks for its media agent's session more than once: the power check is made once.
    bool online = m_maFoundUp == m_maHostName ||
                  I2::Utils::IsPowerManagedVMOnline(m_maHostName, powerOnSent, 0, -1, nullptr, m_clock);
    if (powerOnSent && !online) {
        log.debugLvl(-1, "Media agent [%s] is a power managed VM. Sent power on request.", hostName.c_str());
        char text[kErrorTextSize] = {};
        EvEvent event;
        event << hostName.c_str();
        event.evPrintf(evmsg::kPowerOnSent, text, sizeof text,
                       m_privateTask ? static_cast<unsigned long>(m_privateTask->getTaskLocale()) : 0);
        databrowse::BrowseError warning;
        warning.setint64(databrowse::BrowseError::f::errorCode, kPowerManagedCode);
        warning.setstring(databrowse::BrowseError::f::errorMessage, text);
        sendWarningToBrowse(warning);
    }
    // Only a media agent that is not up yet is waited for (the first check found all else).
    if (!online)
        online = I2::Utils::IsPowerManagedVMOnline(m_maHostName, powerOnSent, 3, -1, nullptr, m_clock);
    if (!online) {
        log.debugLvl(-1, "Failed to power on media agent [%s].", hostName.c_str());
        setErrorMessage(message(evmsg::kPowerOnFailed, hostName));
        setLastError(kPowerManagedCode, m_errorText);
        return false;
    }
    m_maFoundUp = m_maHostName;

    if (m_indexingV2) {
        std::string sessionKey;
        CUxError got = I2::Utils::DbToIdxSrvrSessionCache::Instance()->GetSession(
            I2::Utils::FormBackupSetAndDbName(m_indexBackupSetName, m_indexDbName), m_idxDbEngineType,
            m_maHostName, m_session, sessionKey, &m_networkCancel);
        if (got.IsError()) {
            log.debugLvl(0, "failed to connect to zyd on mediaagent [%s]. Error:[%s]", m_maHostName.c_str(),
                         got.GetErrorText().c_str());
            setErrorMessage(
                message(evmsg::kMediaAgentUnreachable, m_maClientName.empty() ? hostName : m_maClientName));
            return false;
        }
        return true;
    }

    ZyNetworkPoP* pool = getSessionPool();
    if (!pool) {
        log.debugLvl(0, "no session pool; the index service of [%s] cannot be reached", m_maHostName.c_str());
        setErrorMessage(message(evmsg::kMediaAgentUnreachable, hostName));
        return false;
    }
    if (pool->getSession(m_session, m_maHostName.c_str(), localName.c_str(), kIndexService,
                         &m_networkCancel) != 0) {
        if (getStopFlag()) return false;  // the stop ended the wait: nothing is down
        log.debugLvl(0, "indexing service on mediaagent [%s] is probably down, try to reconnect",
                     m_maHostName.c_str());
        if (!launchIndexService(localName)) return false;
        localName = GetSessionLocalName();
        if (pool->getSession(m_session, m_maHostName.c_str(), localName.c_str(), kIndexService,
                             &m_networkCancel) != 0) {
            log.debugLvl(0, "failed to connect to indexing service [%s] on mediaagent [%s]", kIndexService,
                         m_maHostName.c_str());
            setErrorMessage(message(evmsg::kMediaAgentUnreachable, hostName));
            return false;
        }
    }
    log.debugLvl(8, "browse session with mediaagent [%s] index service [%s] was established.",
                 m_maHostName.c_str(), kIndexService);
    return true;
}

void CWorkerThreadHM::raiseSendFailedEvent(const std::string& hostName, bool inTaskLocale) {
    EvEvent event;
    if (inTaskLocale && m_privateTask) {
        event.setLocaleId(static_cast<unsigned long>(m_privateTask->getTaskLocale()));
        unsigned long locale = 0;
        if (!event.getLocaleId(locale)) {
            CBrowseLog log(kTag);
            log.debugLvl(
                0,
                "WARNING: event.getLocaleId() failed to return LocalId. US_NO_LOCALE_ID_SET will be used.");
        }
    }
    event << hostName.c_str();
    event.MinorEvent(evmsg::kRequestNotSent,
                     m_privateTask ? static_cast<long long>(m_privateTask->getJobId()) : 0, 2);
}

bool CWorkerThreadHM::launchIndexService(const std::string& localName) {
    CBrowseLog log(kTag);
    std::string hostName, clientName;
    int serviceNumber = 0, port = 0;
    if (!DemangleHostName(m_maHostName, hostName, clientName, serviceNumber, port)) hostName = m_maHostName;

    TZyRemoteDLL launcher;
    copyName(launcher.name, kLauncherName);
    copyName(launcher.alternateName, kLauncherAlternateName);
    // Closed when this call ends, whatever the outcome.
    CZyNetwork launch;
    launch.watchCancel(&m_networkCancel);  // a stop ends the launch's waits too
    bool timedOut = false;
    CUxError attached =
        launch.Attach_RemoteDLL(m_maHostName.c_str(), launcher, localName.c_str(), kAttachSeconds, timedOut);
    if (attached.IsError()) {
        log.debugLvl(0, "failed to connect to zyd on mediaagent [%s]. Error:[%s]", m_maHostName.c_str(),
                     attached.GetErrorText().c_str());
        setErrorMessage(message(evmsg::kMediaAgentUnreachable, hostName));
        return false;
    }
    // The launch and its reply wait at most the browse's idle limit: the worker's lock is held meanwhile.
    const int bounded = boundedWait(idleLimitSeconds());
    Indexing::LaunchIndexingServiceReq request;
    request.setstring(Indexing::LaunchIndexingServiceReq::f::hostName, hostName);
    request.setstring(Indexing::LaunchIndexingServiceReq::f::serviceName, kIndexService);
    CUxError sent = launch.SendXMLMessage(request, 0, bounded, timedOut);
    if (sent.IsError()) {
        log.debugLvl(0, "failed to send indexing service request to mediaagent [%s], error [%s]",
                     m_maHostName.c_str(), sent.GetErrorText().c_str());
        raiseSendFailedEvent(hostName, false);
        setErrorMessage(message(evmsg::kSendToMediaAgentFailed, hostName));
        return false;
    }
    CNMessageBase* received = nullptr;
    CUxError answered = launch.ReceiveXMLMessage(nullptr, received, nullptr, 0, bounded, timedOut);
    std::unique_ptr<CNMessageBase> reply(received);
    if (answered.IsError() || !reply) {
        log.debugLvl(0, "failed to receive indexing service information from mediaagent [%s], error [%s]",
                     m_maHostName.c_str(), answered.IsError() ? answered.GetErrorText().c_str() : "time-out");
        raiseSendFailedEvent(hostName, true);
        setErrorMessage(message(evmsg::kSendToMediaAgentFailed, hostName));
        return false;
    }
    if (reply->getTagID() != kLaunchReplyTag) {
        log.debugLvl(0, "received unknown message while trying to wait for indexing service name");
        return false;
    }
    if (reply->getint64(Indexing::LaunchIndexingServiceResp::f::launchResult) != 0) {
        log.debugLvl(0, "failed to launch indexing service [%s] on mediaagent [%s]", kIndexService,
                     m_maHostName.c_str());
        setErrorMessage(message(evmsg::kMediaAgentUnreachable, hostName));
        return false;
    }
    return true;
}

void CWorkerThreadHM::expectAnswersFrom(CZyNetwork& session) {
    // A media agent's answers come back on sessions of its own: the name its certificate proved here is
    // the one they must come from.
    CUxString peer;
    if (session.IsPeerProven() && !session.GetRemoteClientName(peer).IsError() && *peer.c_str())
        expectAnswersFrom(std::string(peer.c_str()));
}

void CWorkerThreadHM::expectAnswersFrom(const std::string& peer) {
    ++m_answerPeers[peer].requests;
}

bool CWorkerThreadHM::admitsAnswer(const std::string& peer) const {
    return !peer.empty() && m_answerPeers.count(peer) > 0;
}

bool CWorkerThreadHM::sendReqToMA(CNMessageBase* request, bool answeredLater, bool* wentOut,
                                  std::string* sentText) {
    CBrowseLog log(kTag);
    if (wentOut) *wentOut = false;
    // A stopped session sends nothing more, whichever road the session would come from; looked at before
    // any session is taken or any service launched.
    if (getStopFlag()) {
        log.debugLvl(3, "browse session stopped; request for mediaagent [%s] not sent", m_maHostName.c_str());
        return true;
    }
    // A stop from now on ends the waits below at once (the sessions this worker borrows watch its
    // signal); the request then counts as not sent.
    // A further request of this worker to the same agent follows its earlier one on the session kept
    // for that answer, as the agent would serve them in turn anyway: one session per agent and worker.
    TAnswerSession* kept = nullptr;
    for (TAnswerSession& held : m_answerSessions)
        if (answeredLater && held.host == m_maHostName && held.indexingV2 == m_indexingV2) kept = &held;
    if (kept)
        m_session = kept->session;
    else if (!getSession())
        return false;

    std::string hostName, clientName;
    int serviceNumber = 0, port = 0;
    if (!DemangleHostName(m_maHostName, hostName, clientName, serviceNumber, port)) hostName = m_maHostName;
    bool timedOut = false;
    m_session->watchCancel(&m_networkCancel);  // a kept session, too, while this request goes out
    // Written once: the text that goes out is the one its log line shows, where it holds no secret.
    std::string text;
    XMLEncoder encoder;
    const bool written = sentText && request && encoder.serialize(*request, text) == MSG_OK;
    CUxError sent = written ? m_session->SendXMLMessage(request->getTagID(), text, 0,
                                                        boundedWait(idleLimitSeconds()), timedOut)
                            : m_session->SendXMLMessage(request, 0, boundedWait(idleLimitSeconds()),
                                                        timedOut);  // as the launch above
    if (written && !encoder.wroteSecret()) *sentText = std::move(text);
    // The answers are read as before: a stop ends them through the worker's end, not as a time-out.
    m_session->watchCancel(nullptr);
    const bool result = !sent.IsError();
    if (wentOut) *wentOut = result;
    if (result) expectAnswersFrom(*m_session);
    if (!result && !getStopFlag()) {
        raiseSendFailedEvent(hostName, false);
        setErrorMessage(
            message(evmsg::kSendToMediaAgentFailed, m_maClientName.empty() ? hostName : m_maClientName));
        log.debugLvl(0, "Sending browse request failed. Error:[%s]", sent.GetErrorText().c_str());
    }
    if (kept)
        m_session = nullptr;  // stays kept: a failed one is closed with the others
    else
        releaseSentSession(result && answeredLater);
    return result;
}

void CWorkerThreadHM::releaseSentSession(bool keepForAnswer) {
    TAnswerSession sent;
    sent.session = m_session;
    sent.host = m_maHostName;
    sent.indexingV2 = m_indexingV2;
    if (m_indexingV2) sent.dbKey = I2::Utils::FormBackupSetAndDbName(m_indexBackupSetName, m_indexDbName);
    sent.engineType = m_idxDbEngineType;
    m_session = nullptr;
    if (keepForAnswer) {
        m_answerSessions.push_back(std::move(sent));
        return;
    }
    giveBack(sent);
}

void CWorkerThreadHM::giveBackAnswerSessions(bool answered) {
    std::vector<TAnswerSession> held;
    held.swap(m_answerSessions);
    for (TAnswerSession& kept : held) {
        if (!answered && kept.session->IsConnected()) {
            // Closed, not reused: the agent may still be answering on it. The abort is a few bytes and
            // waits for no reply, so a frozen agent holds nobody here.
            zysStatus status;
            status.status = -1;
            bool timedOut = false;
            ignoreResult(kept.session->AbortConnection(status, kAbortSeconds, timedOut),
                         "the session is closed either way");
        }
        giveBack(kept);
    }
}

void CWorkerThreadHM::giveBack(TAnswerSession& sent) {
    CBrowseLog log(kTag);
    if (sent.indexingV2) {
        CUxError released = I2::Utils::DbToIdxSrvrSessionCache::Instance()->ReleaseSession(
            sent.dbKey, sent.engineType, sent.host, sent.session);
        if (released.IsError())
            log.debugLvl(0, "failed to release connection to the Index Server pool, err [%s]",
                         released.GetErrorText().c_str());
    } else if (ZyNetworkPoP* pool = getSessionPool();
               !pool || pool->releaseSession(sent.session, sent.host.c_str(), kIndexService) != 0) {
        log.debugLvl(0, "failed to release connection to the indexing service pool");
    }
}

bool CWorkerThreadHM::sendStopReq(Indexing::BrowseReq& request) {
    CBrowseLog log(kTag);
    m_maHostName = request.getstring(Indexing::BrowseReq::f::maName);
    std::string hostName, clientName;
    int serviceNumber = 0, port = 0;
    if (!DemangleHostName(m_maHostName, hostName, clientName, serviceNumber, port)) hostName = m_maHostName;
    const bool sent = sendReqToMA(&request);
    if (sent)
        log.debugLvl(0, "stop request was successfully sent to mediaAgent [%s]", hostName.c_str());
    else
        log.debugLvl(0, "failed to send stop browse request to mediaAgent [%s]", hostName.c_str());
    return sent;
}
