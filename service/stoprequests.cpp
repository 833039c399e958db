// The controller's handling of a stop of a browse session (browse operation 5): the index service of an
// indexing-v2 session is told to stop, and, when the registry allows it, the session's workers are
// stopped, their media agents told once each, and the workers waited for. Runs on the caller's thread.
#include <chrono>
#include <set>

#include "fbDebug/fbdebug.h"
#include "planning/confmgr.h"
#include "planning/confrecord.h"
#include "platform/config/zyplatforminfo.h"
#include "platform/indexing/idxsrvrsessioncache.h"
#include "platform/net/zynetwork.h"
#include "platform/tasks/evrestoretask.h"
#include "service/controllerthread.h"
#include "worker/fastbrowsehmworkerthread.h"

namespace {

constexpr int kSendSeconds = 120;
constexpr int64_t kStopOperation = 16;

// Sends the per-media-agent stops; never runs a request of its own.
class CStopRequestSender final : public CWorkerThreadHM {
public:
    bool newRequest(EvMultiEntityRestoreTask*) override { return false; }
};

// The indexing-v2 stop of a session, as its index server reads it.
databrowse::BrowseRequest indexingV2Stop(const std::string& guid, unsigned appType,
                                         unsigned long idxAppType) {
    databrowse::BrowseRequest stop;
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

void stopIndexServer(const std::string& guid, CConfRecord& record, CBrowseLog& log) {
    std::string dbId, mediaAgent;
    unsigned appType = 0;
    unsigned long idxAppType = 0;
    App::IdxDbEngineType engineType = App::IDX_DB_ENGINE_CTREE;
    if (!record.IsIndexingV2(dbId, mediaAgent, appType, engineType, idxAppType)) return;
    databrowse::BrowseRequest stop = indexingV2Stop(guid, appType, idxAppType);
    I2::Utils::DbToIdxSrvrSessionCache* cache = I2::Utils::DbToIdxSrvrSessionCache::Instance();
    CZyNetwork* session = nullptr;
    std::string key;
    if (cache->GetSession(dbId, engineType, mediaAgent, session, key).IsError()) return;
    bool timedOut = false;
    if (!session->SendXMLMessage(stop, 0, kSendSeconds, timedOut).IsError())
        log.debugLvl(3, "stop request sent to Media Agent [%s]", mediaAgent.c_str());
    ignoreResult(cache->ReleaseSession(key, session), "the session is given up either way");
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
    if (CConfRecordRef record = g_poConfMgr->holdConfRec(guid)) stopIndexServer(guid, *record.get(), log);

    unsigned enabled = 0;
    ZYPlatformInfo::getNumber("EventManager", "EnableStopBrowseRequest", &enabled);
    if (enabled == 0) return true;

    CConfRecordRef record = g_poConfMgr->holdConfRec(guid);
    if (!record) {
        g_poConfMgr->deleteConfRec(guid);
        return false;
    }
    log.debugLvl(0, "User canceled request for the session[%s], received stop request", guid.c_str());
    record->setStaleFlag();

    Indexing::BrowseReq stop;
    stop.setstring(Indexing::BrowseReq::f::browseSessionGuid, guid);
    stop.setint64(Indexing::BrowseReq::f::options, kStopOperation);
    CStopRequestSender sender;
    CWorkerAccess senderAccess(sender);  // it sends as any worker does, under its own lock
    std::set<std::string> told;
    for (const auto& [workerId, mediaAgent] : record->getWorkersToMaMap()) {
        setStopFlag(workerId);
        if (mediaAgent.empty() || told.count(mediaAgent)) continue;
        stop.setstring(Indexing::BrowseReq::f::maName, mediaAgent);
        // A media agent whose stop failed is tried again for its next worker.
        if (sender.sendStopReq(stop)) told.insert(mediaAgent);
    }

    if (!waitForStoppedWorkers(record.get())) return false;
    const std::string id = record->getId();
    record.release();
    g_poConfMgr->deleteConfRec(id);
    return true;
}

bool CControllerThreadHM::waitForStoppedWorkers(CConfRecord* record) {
    CBrowseLog log("waitForStoppedWorkers");
    const auto limit =
        std::chrono::steady_clock::now() + std::chrono::seconds(m_options.stopWaitLimitSeconds);
    const auto poll = std::chrono::milliseconds(m_options.stopPollMs ? m_options.stopPollMs : 1);
    // Woken by every worker deletion (which leaves the record before it notifies), else every poll.
    // The record is looked at under m_goneMutex, so a deletion between the look and the wait is not
    // missed.
    CHubMutexLock lock(m_goneMutex);
    for (;;) {
        // Completion is looked at before the limit, so workers that finished during the last pause
        // count as finished.
        if (record->areAllWorkersCompleted()) return true;
        const auto now = std::chrono::steady_clock::now();
        if (now >= limit) break;
        lock.waitFor(m_gone, std::min<std::chrono::steady_clock::duration>(poll, limit - now));
    }
    log.debugLvl(
        0, "Timed out [%u] while waiting for workers after sending the stop request, for configuration [%s]",
        m_options.stopWaitLimitSeconds, record->getId().c_str());
    return false;
}
