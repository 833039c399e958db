// The controller's handling of a stop of a browse session (browse operation 5): the index service of an
// indexing-v2 session, and the media agent of a session handed to its caller, are told to stop it; when
// the registry allows it, the session's workers are stopped (those waiting for answers ended at once),
// their media agents told once each, and the workers waited for. Runs on the caller's thread; the media
// agents are told on threads of their own (CStopNotices), after the workers are ended.
#include <chrono>
#include <map>
#include <set>
#include <vector>

#include "fbDebug/fbdebug.h"
#include "planning/browsetask.h"
#include "planning/confmgr.h"
#include "planning/confrecord.h"
#include "planning/handedover.h"
#include "platform/config/zyplatforminfo.h"
#include "platform/db/requestscope.h"
#include "platform/indexing/idxsrvrsessioncache.h"
#include "platform/net/zynet_directory.h"
#include "platform/net/zynetwork.h"
#include "platform/tasks/evrestoretask.h"
#include "platform/threads/hubclock.h"
#include "service/controllerthread.h"
#include "worker/fastbrowsehmworkerthread.h"

namespace {

// A stop is a few hundred bytes: an agent that takes longer than this to take it is not answering (it
// is sent on a thread of its own, so the limit holds up only the shutdown's wait for it).
constexpr int kSendSeconds = 30;
constexpr int kDisconnectSeconds = 5;

constexpr const char* kIndexService = "IndexingService_0";
constexpr const char* kStoppedText = "The browse was stopped";

std::unique_ptr<CZyNetwork> openIndexService(const std::string& server) {
    auto session = std::make_unique<CZyNetwork>();
    bool timedOut = false;
    if (session->Connect(server.c_str(), kIndexService, nullptr, kSendSeconds, timedOut).IsError())
        return nullptr;
    return session;
}

// The line to `server` is opened again for its next stop.
void keepLine(CStopLines& lines, const std::string& server) {
    if (lines.refill(server)) {
        CBrowseLog log("FBHMCONTROLLER");
        log.debugLvl(0, "a connection to mediaAgent [%s] is kept for its next stop", server.c_str());
    }
}

// Stops to the index service of `server`, in order, on a connection of their own (with `lines`, the
// one kept to it when there is one): the pooled connection the browse request went out on is the one
// whose answer the agent is still streaming, and a stop queued behind that answer would end nothing.
// The close is answered once the agent has read the stops. Empty on success, else the failure's text.
// A kept line the agent has closed meanwhile is given up for a new connection.
std::string sendOnOwnConnection(const std::vector<CNMessageBase*>& stops, const std::string& server,
                                CStopLines* lines, const std::string& guid = std::string()) {
    std::string failure = "not sent";
    for (int attempt = lines ? 0 : 1; attempt < 2; ++attempt) {
        std::unique_ptr<CZyNetwork> session = attempt == 0 ? lines->take(server) : openIndexService(server);
        if (!session) continue;
        bool timedOut = false;
        CUxError step;
        for (CNMessageBase* stop : stops)
            if (!step.IsError()) step = session->SendXMLMessage(*stop, 0, kSendSeconds, timedOut);
        if (step.IsError()) {
            failure = step.GetErrorText().empty() ? "not sent" : step.GetErrorText();
            continue;
        }
        if (attempt == 0) {
            CBrowseLog log("FBHMCONTROLLER");
            log.debugLvl(0, "the stop of session [%s] went out on the connection kept to mediaAgent [%s]",
                         guid.c_str(), server.c_str());
        }
        // A peer that closes first has read them; a kept line it had closed before may not have.
        if (!session->Disconnect(kDisconnectSeconds, timedOut).IsError() || attempt == 1) return {};
    }
    return failure;
}

// The indexing-v2 stop of a session, as its index server reads it; it names the session's owner as an
// indexing-v2 request does (the user id of the advanced options) and by its user text, so that the
// media agent ends only that owner's answers of the session, of either form.
databrowse::BrowseRequest indexingV2Stop(const std::string& guid, unsigned appType, unsigned long idxAppType,
                                         const TSessionOwner& owner) {
    databrowse::BrowseRequest stop;
    stop.getObjectAccessor(databrowse::BrowseRequest::f::advOptions, true)
        ->setint64(databrowse::Msg63::f::userId, owner.userId);
    stop.setstring(databrowse::BrowseRequest::f::userName,
                   legacyUserText(static_cast<uint64_t>(owner.userId), owner.userName));
    databrowse::BrowseSession session;
    session.setstring(databrowse::BrowseSession::f::sessionId, guid);
    stop.setObjectAccessor(session, databrowse::BrowseRequest::f::session);
    stop.setint64(databrowse::BrowseRequest::f::opType, databrowse::BROWSE_OP_STOP);
    stop.getObjectAccessor(databrowse::BrowseRequest::f::entity, true)
        ->setint64(ZyEntities::GenericEntity::f::applicationId, appType);
    stop.getObjectAccessor(databrowse::BrowseRequest::f::indexing, true)
        ->getObjectAccessor(databrowse::Msg91::f::indexingInfo, true)
        ->setint64(databrowse::IndexingInfo::f::idxAppType, static_cast<int64_t>(idxAppType));
    return stop;
}

// The stop names its session's owner as the session's requests did: the media agent ends only that
// owner's answers of the session. An index browse request names its user by user text, which the stop
// carries; an indexing-v2 one (a mining request's too) by user id, which only the indexing-v2 form of
// the stop carries: it follows on the same connection. Runs on a stop notice's own thread; the line to
// the agent is opened again afterwards, on a notice of its own.
bool sendStopToMediaAgent(Indexing::BrowseReq stop, const std::string& mediaAgent, const TSessionOwner& owner,
                          CStopLines* lines, CStopNotices& notices) {
    CBrowseLog log("FBHMCONTROLLER");
    std::string host, client;
    int service = 0, port = 0;
    if (!DemangleHostName(mediaAgent, host, client, service, port)) host = mediaAgent;
    stop.setstring(Indexing::BrowseReq::f::maName, mediaAgent);
    stop.setstring(Indexing::BrowseReq::f::userText,
                   legacyUserText(static_cast<uint64_t>(owner.userId), owner.userName));
    databrowse::BrowseRequest byUserId =
        indexingV2Stop(stop.getstring(Indexing::BrowseReq::f::browseSessionGuid), 0, 0, owner);
    const std::string failure = sendOnOwnConnection(
        {&stop, &byUserId}, mediaAgent, lines, stop.getstring(Indexing::BrowseReq::f::browseSessionGuid));
    if (!failure.empty())
        log.debugLvl(0, "failed to send stop browse request to mediaAgent [%s]: %s", host.c_str(),
                     failure.c_str());
    else
        log.debugLvl(0, "stop request was successfully sent to mediaAgent [%s]", host.c_str());
    if (lines) notices.post("", [lines, mediaAgent] { keepLine(*lines, mediaAgent); });
    return failure.empty();
}

void sendIndexServerStop(const std::string& guid, const std::string& dbId, const std::string& mediaAgent,
                         unsigned appType, unsigned long idxAppType, App::IdxDbEngineType engineType,
                         const TSessionOwner& owner) {
    CBrowseLog log("FBHMCONTROLLER");
    databrowse::BrowseRequest stop = indexingV2Stop(guid, appType, idxAppType, owner);
    if (!mediaAgent.empty()) {
        // Not on the cached session: the index server may still be streaming this session's answer on it.
        if (sendOnOwnConnection({&stop}, mediaAgent, nullptr).empty())
            log.debugLvl(3, "stop request sent to Media Agent [%s]", mediaAgent.c_str());
        return;
    }
    I2::Utils::DbToIdxSrvrSessionCache* cache = I2::Utils::DbToIdxSrvrSessionCache::Instance();
    CZyNetwork* session = nullptr;
    std::string key;
    std::string server = mediaAgent;
    if (cache->GetSession(dbId, engineType, server, session, key).IsError()) return;
    bool timedOut = false;
    if (!session->SendXMLMessage(stop, 0, kSendSeconds, timedOut).IsError())
        log.debugLvl(3, "stop request sent to Media Agent [%s]", server.c_str());
    ignoreResult(cache->ReleaseSession(key, session), "the session is given up either way");
}

// The owner the stop of session `guid` names, as the session record keeps it: a session it does not
// keep names user 0, whose answers the stop ends.
TSessionOwner ownerOf(const std::string& guid) {
    CHandedOverSessions::TSession session;
    CHandedOverSessions::instance().find(guid, session);
    return session.owner;
}

void stopIndexServer(const std::string& guid, CConfRecord& record, CStopNotices& notices) {
    std::string dbId, mediaAgent;
    unsigned appType = 0;
    unsigned long idxAppType = 0;
    App::IdxDbEngineType engineType = App::IDX_DB_ENGINE_CTREE;
    if (!record.IsIndexingV2(dbId, mediaAgent, appType, engineType, idxAppType)) return;
    const TSessionOwner owner = ownerOf(guid);
    notices.post(guid, [guid, dbId, mediaAgent, appType, idxAppType, engineType, owner] {
        sendIndexServerStop(guid, dbId, mediaAgent, appType, idxAppType, engineType, owner);
    });
}

}  // namespace

bool CControllerThreadHM::processStopReq(EvMultiEntityRestoreTask* task) {
    CBrowseLog log("FBHMCONTROLLER");
    const char* sessionGuid = task ? task->getbrowseSessionGUID() : nullptr;
    if (!sessionGuid || !*sessionGuid) {
        log.debugLvl(3, "Session GUID is not set, couldn't process the stop request");
        return false;
    }
    const std::string guid = sessionGuid;
    if (!g_poConfMgr) return false;

    // With a reference: the record cannot be deleted while it is read.
    if (CConfRecordRef record = g_poConfMgr->holdConfRec(guid))
        stopIndexServer(guid, *record.get(), m_stopNotices);

    Indexing::BrowseReq stop;
    stop.setstring(Indexing::BrowseReq::f::browseSessionGuid, guid);
    stop.setint64(Indexing::BrowseReq::f::options, Indexing::kBrowseReqStopOptions);

    // A session handed to its caller has no worker here: its media agent, which the caller reads the
    // answers from, is told to end them. Only that agent knows whether they have ended (a request it
    // reads after a stop is answered), so every stop of the session's keep tells it again.
    bool handedOverStopped = false;
    CHandedOverSessions::TSession handed;
    if (CHandedOverSessions::instance().find(guid, handed) && !handed.mediaAgent.empty()) {
        log.debugLvl(0, "session [%s] was handed to its caller; its media agent [%s] is told to stop it",
                     guid.c_str(), handed.mediaAgent.c_str());
        handedOverStopped = true;
        m_stopNotices.post(guid, [this, stop, agent = handed.mediaAgent, owner = handed.owner] {
            sendStopToMediaAgent(stop, agent, owner, &m_stopLines, m_stopNotices);
        });
    }

    unsigned enabled = 0;
    ZYPlatformInfo::getNumber("EventManager", "EnableStopBrowseRequest", &enabled);
    if (enabled == 0) return true;

    CConfRecordRef record = g_poConfMgr->holdConfRec(guid);
    if (!record) {
        g_poConfMgr->deleteConfRec(guid);
        return handedOverStopped;
    }
    log.debugLvl(0, "User canceled request for the session[%s], received stop request", guid.c_str());
    record->setStaleFlag();

    const std::map<std::string, std::string> workers = record->getWorkersToMaMap();
    const TSessionOwner owner = ownerOf(guid);
    std::set<std::string> agents;
    for (const auto& [workerId, mediaAgent] : workers) {
        setStopFlag(workerId);
        if (!mediaAgent.empty()) agents.insert(mediaAgent);
    }
    // A worker waiting for a browse of its own (a virtual machine's) ends when that one does: it is
    // stopped too.
    for (const auto& entry : workers)
        if (WorkerPtr worker = getWorker(entry.first))
            if (const std::string waited = worker->getWaitedSession(); !waited.empty()) {
                log.debugLvl(0, "the stop of session [%s] stops session [%s] that its worker [%s] waits for",
                             guid.c_str(), waited.c_str(), entry.first.c_str());
                EvMultiEntityRestoreTask waitedStop;
                waitedStop.setBrowseOpType(databrowse::BROWSE_OP_STOP);
                waitedStop.setbrowseSessionGUID(waited.c_str());
                processStopReq(&waitedStop);
            }
    // A worker waiting for its media agent's answers ends now, whatever the agent does; one still
    // running its request ends at its stop flag. Only then are the agents told, each on its own, so
    // that a frozen one delays neither this thread nor the others' stops.
    for (const auto& entry : workers) endStoppedWorker(entry.first);
    for (const std::string& agent : agents)
        m_stopNotices.post(guid, [this, stop, agent, owner] {
            sendStopToMediaAgent(stop, agent, owner, nullptr, m_stopNotices);
        });

    const bool ended = waitForStoppedWorkers(record.get());
    // A worker still sending its request when the stop came named its agent only once it had gone out.
    for (const std::string& agent : record->getAskedAgents())
        if (agents.insert(agent).second)
            m_stopNotices.post(guid, [this, stop, agent, owner] {
                sendStopToMediaAgent(stop, agent, owner, nullptr, m_stopNotices);
            });
    if (!ended) return false;
    const std::string id = record->getId();
    record.release();
    g_poConfMgr->deleteConfRec(id);
    return true;
}

std::unique_ptr<CZyNetwork> CControllerThreadHM::openStopLine(const std::string& server) {
    return openIndexService(server);
}

void CControllerThreadHM::keepStopLineTo(const std::string& mediaAgent) {
    // Called before a hand-over's reply: with every notice thread busy the line is not opened now (a
    // stop opens one of its own), rather than connecting on the caller's thread before its reply.
    if (!mediaAgent.empty() && !m_stopLines.has(mediaAgent))
        m_stopNotices.offer([this, mediaAgent] { keepLine(m_stopLines, mediaAgent); });
}

void CControllerThreadHM::letEarlierStopsArrive(const std::string& session) {
    // As long as a notice may take: its two stops, each connected, sent and closed within their limits.
    constexpr auto kLimit = std::chrono::seconds(2 * (2 * kSendSeconds + kDisconnectSeconds));
    if (m_stopNotices.waitForSession(session, std::chrono::seconds(0))) return;  // none on its way
    zydb::readAfresh();  // the request's snapshot is not held through the wait
    if (!m_stopNotices.waitForSession(session, kLimit)) {
        CBrowseLog log("FBHMCONTROLLER");
        log.debugLvl(0,
                     "the stops of an earlier browse of session [%s] are still on their way; the new "
                     "browse goes on",
                     session.c_str());
    }
}

void CControllerThreadHM::endStoppedWorker(const std::string& id) {
    WorkerPtr worker = getWorker(id);
    if (!worker || !worker->getAsyncMode()) return;
    {
        // An answer being relayed to it finishes first.
        CWorkerAccess access(*worker);
        if (worker->getMarkedForDeletion()) return;
        CBrowseLog log("FBHMCONTROLLER");
        log.debugLvl(0, "worker [%s] of a stopped session ends its browse", id.c_str());
        worker->processErrorMessage(databrowse::BROWSE_ERR_GENERIC, kStoppedText);
    }
    deleteWorker(id);
}

bool CControllerThreadHM::waitForStoppedWorkers(CConfRecord* record) {
    CBrowseLog log("waitForStoppedWorkers");
    zydb::readAfresh();  // the request's snapshot is not held through the wait
    const auto limit = m_clock.steadyNow() + std::chrono::seconds(m_options.stopWaitLimitSeconds);
    const auto poll = std::chrono::milliseconds(m_options.stopPollMs ? m_options.stopPollMs : 1);
    // Woken by every worker deletion (which leaves the record before it notifies), else every poll.
    // The record is looked at under m_goneMutex, so a deletion between the look and the wait is not
    // missed.
    CHubMutexLock lock(m_goneMutex);
    for (;;) {
        // Completion is looked at before the limit, so workers that finished during the last pause
        // count as finished.
        if (record->areAllWorkersCompleted()) return true;
        const auto now = m_clock.steadyNow();
        if (now >= limit) break;
        lock.waitFor(m_gone,
                     std::min<CHubClock::Steady::duration>({poll, limit - now, m_clock.recheckEvery()}));
    }
    log.debugLvl(
        0, "Timed out [%u] while waiting for workers after sending the stop request, for configuration [%s]",
        m_options.stopWaitLimitSeconds, record->getId().c_str());
    return false;
}
