#include "service/directrun.h"

#include <chrono>

#include "fbDebug/fbdebug.h"
#include "framework/browseaccess.h"
#include "planning/browsetask.h"
#include "planning/confmgr.h"
#include "planning/confrecord.h"
#include "planning/handedover.h"
#include "platform/config/zyplatforminfo.h"
#include "platform/msg/errorresponse.h"
#include "platform/net/zynetwork.h"
#include "platform/threads/hubclock.h"
#include "service/controllerthread.h"
#include "service/directtaskprep.h"
#include "service/enduserErase.h"
#include "service/failurefallback.h"
#include "service/fastbrowsehm_api.h"
#include "service/routerfields.h"
#include "service/routeroptions.h"
#include "service/routertoken.h"

namespace {

using namespace routerfields;
using R = databrowse::BrowseRequest::f;

constexpr const char* kTag = "FBHMROUTER";
constexpr int kSendSeconds = 120;

// The token to the worker and its copy of the request.
void handToWorker(TDirectTask& t) {
    const std::string token = textOf(&t.request, R::token);
    if (!token.empty()) t.worker->getBrowseTask()->getDataPtr()->authToken = token;
    t.worker->setBrowseReq(&t.request);
}

// The worker's refusal, recorded as t.replyError.
void recordWorkerError(TDirectTask& t) REQUIRES(t.worker->workerLock()) {
    const int code = static_cast<int>(t.worker->getErrorId());
    std::string text = t.worker->getErrorMessage();
    // An empty text would tell the caller nothing: the generic one, noted so that it shows.
    if (text.empty()) {
        failurefallback::note(kTag, "direct", t.worker->getWorkerId());
        text = failurefallback::kText;
    }
    t.replyError = databrowse::BrowseError();
    t.replyError.setint64(databrowse::BrowseError::f::errorCode, errorresponse::failureCode(code));
    t.replyError.setstring(databrowse::BrowseError::f::errorMessage, text);
}

// The worker's run: the token to the worker, its copy of the request, live update, the run, and
// the reply chosen (null after a failure, which is recorded as t.replyError).
CNMessageBase* runWorker(TDirectTask& t, CBrowseLog& log) {
    handToWorker(t);
    t.task->setLiveUpdate(false);
    if (has(selectionBlock(t.request), databrowse::BrowseAdvancedConfig::f::at9_9)) {
        log.debugLvl(0, "this is live update operation");
        t.task->setLiveUpdate(true);
    }
    // No other thread can reach this worker, but a request runs under its worker's lock all the same.
    CWorkerAccess access(*t.worker);
    if (!t.worker->newRequest(t.task.get())) {
        recordWorkerError(t);
        return nullptr;
    }
    if (t.worker->getBrowseFromHMDB()) return t.worker->getHMDBBrowseResponse();
    if (CNMessageBase* prepared = t.worker->getBrowseReqXML()) {
        // The caller takes it on to another machine: the token it proved itself with stays here.
        if (auto* request = dynamic_cast<databrowse::BrowseRequest*>(prepared)) dropCallerToken(*request);
        return prepared;
    }
    // A success with nothing to send would leave the caller waiting for an answer that never comes.
    log.debugLvl(0, "worker [%s] succeeded without a prepared request or a stored answer",
                 t.worker->getWorkerId().c_str());
    t.recordError(kDirectRunNoAnswer);
    return nullptr;
}

// Release of the record: the worker leaves the session's record, which goes when no other request holds it.
void releaseRecord(TDirectTask& t) {
    if (!g_poConfMgr) return;
    CConfRecordRef record = g_poConfMgr->holdConfRec(t.task->getbrowseSessionGUID());
    if (!record) return;
    CWorkerAccess access(*t.worker);  // the worker's state is read under its lock, as during its run
    const std::string workerId = t.worker->getWorkerId();
    access.release();
    record->removeWorkerFromConf(workerId);
    const std::string id = record->getId();
    record.release();
    g_poConfMgr->deleteConfRec(id);
}

// The caller now takes the prepared request to the media agent and reads the answers there: the session
// is remembered with its owner and media agent, so that its stop can still be judged and sent on, and
// nobody else takes it over while its answers may still run. A request for an agent without an index
// service, or for a mining service, is taken through the Hubmaster instead: nothing of it is handed to
// that agent, so no stop tells it. Only a session claimed for this caller is handed over; one that cannot
// be remembered is not handed over (its request is refused instead). True when it was handed to a media
// agent.
bool rememberHandOver(TDirectTask& t, CBrowseLog& log) {
    CWorkerAccess access(*t.worker);  // the worker's state is read under its lock, as during its run
    const std::string guid = t.worker->getBrowseSessionGuid();
    // The caller as the router authenticated it, whose copy the worker's own steps read.
    const TSessionOwner owner = TSessionOwner::of(*t.task);
    const std::string mediaAgent = t.worker->handedOverAgent();
    access.release();
    CHandedOverSessions::TSession planned;
    if (guid.empty() || !CHandedOverSessions::instance().find(guid, planned)) return false;
    switch (rememberHandedOverSession(guid, owner, mediaAgent)) {
        case CHandedOverSessions::ERemembered::kKept:
            if (g_poControllerThreadHM) g_poControllerThreadHM->keepStopLineTo(mediaAgent);
            return !mediaAgent.empty();
        case CHandedOverSessions::ERemembered::kOtherOwner:
            log.debugLvl(0, "session [%s] is held by another caller; not handed over", guid.c_str());
            t.recordError(CHandedOverSessions::inUseText(guid), databrowse::BROWSE_ERR_PERMISSION);
            return false;
        case CHandedOverSessions::ERemembered::kFull:
            break;
    }
    log.debugLvl(0, "session [%s] not handed over: too many browse sessions are in flight", guid.c_str());
    t.recordError(kDirectRunTooManySessions);
    return false;
}

}  // namespace

CHandedOverSessions::ERemembered rememberHandedOverSession(const std::string& guid,
                                                           const TSessionOwner& owner,
                                                           const std::string& mediaAgent) {
    CHandedOverSessions::TSession handed;
    handed.owner = owner;
    handed.mediaAgent = mediaAgent;
    return CHandedOverSessions::instance().remember(guid, handed, CHandedOverSessions::keepFromRegistry());
}

bool judgeGatedErase(TDirectTask& t, CZyNetwork* session, bool dryRun) {
    CBrowseLog log(kTag);
    {
        CWorkerAccess access(*t.worker);
        t.worker->logRequestStart();
    }
    // The caller and its rights on the client first, as for any browse: the gate's verdict tells which
    // clients and data types allow end users' erases, which is nobody else's to learn. An erase that
    // passes runs on this verdict (runDirectTask judges its caller no more).
    if (authenticateRoutedRequest(t, session, log)) {
        t.callerAuthenticated = true;
        handToWorker(t);
        CWorkerAccess access(*t.worker);
        if (!t.worker->judgeCaller(t.task.get())) recordWorkerError(t);
    }
    std::string refusal;
    if (!t.hasReplyError() && !checkEraseGate(t, refusal)) t.recordError(refusal);
    if (!t.hasReplyError() && !dryRun) return true;
    databrowse::BrowseResponse reply;
    if (t.hasReplyError()) {
        reply = errorresponse::of(t.replyError);
        refusal = "refused [" + textOf(&t.replyError, databrowse::BrowseError::f::errorMessage) + "]";
    } else {
        reply.setint64(databrowse::BrowseResponse::f::respType, databrowse::BROWSE_RESP_END);
        refusal = "would pass the gate";
    }
    const char* user = t.task->getUserName();
    log.debugLvl(0, "erase%s of session [%s] by user [%s], operation [%lld]: %s", dryRun ? " dry run" : "",
                 sessionGuid(t.request).c_str(), user && *user ? user : "-",
                 static_cast<long long>(intOf(&t.request, R::opType)), refusal.c_str());
    {
        CWorkerAccess access(*t.worker);
        t.worker->logRequestEnd();
    }
    bool timedOut = false;
    if (session)
        if (const CUxError sent = session->SendXMLMessage(reply, 0, kSendSeconds, timedOut); sent.IsError())
            log.debugLvl(0, "Failed to send browse response back to caller with error [%s]",
                         sent.AsString().c_str());
    releaseRecord(t);
    return false;
}

void runDirectTask(TDirectTask& t, CZyNetwork* session) {
    CBrowseLog log(kTag);
    const auto started = CHubClock::real().steadyNow();
    CNMessageBase* reply = nullptr;
    bool handOver = false;
    if (t.callerAuthenticated || authenticateRoutedRequest(t, session, log)) {
        // The caller presents the prepared request only after the earlier stops of its session are in.
        if (g_poControllerThreadHM) g_poControllerThreadHM->letEarlierStopsArrive(sessionGuid(t.request));
        reply = runWorker(t, log);
        // Paths are booked only for an erase the worker accepted (its user's delete capability
        // included): a refused erase books nothing.
        if (!t.hasReplyError()) runEndUserEraseBookkeeping(t, log);
        // Remembered before the caller can present the request: a stop may follow at once.
        if (reply && session && !t.hasReplyError() && !dynamic_cast<databrowse::BrowseResponse*>(reply))
            handOver = rememberHandOver(t, log);
    }
    databrowse::BrowseResponse errorResponse;
    if (t.hasReplyError()) {
        errorResponse = errorresponse::of(t.replyError);
        reply = &errorResponse;
    }
    if (reply && session) {
        bool timedOut = false;
        const CUxError sent = session->SendXMLMessage(*reply, 0, kSendSeconds, timedOut);
        if (sent.IsError()) {
            log.debugLvl(0, "Failed to send browse response back to caller with error [%s]",
                         sent.AsString().c_str());
            if (handOver) {
                CWorkerAccess access(*t.worker);
                const std::string guid = t.worker->getBrowseSessionGuid();
                access.release();
                // The caller never got it: nothing of it runs at the agent; the session stays hers.
                CHandedOverSessions::instance().endHandOver(guid);
            }
        }
    }
    // One line per browse on this road: who asked, what the caller got, and how long it took.
    const char* user = t.task->getUserName();
    std::string outcome = "a prepared request for the media agent";
    if (t.hasReplyError())
        outcome = "error [" + textOf(&t.replyError, databrowse::BrowseError::f::errorMessage) + "]";
    else if (!reply)
        outcome = "no reply";
    else if (auto* answer = dynamic_cast<databrowse::BrowseResponse*>(reply))
        outcome = "an answer from the database (type " +
                  std::to_string(answer->getint64(databrowse::BrowseResponse::f::respType)) + ")";
    log.debugLvl(0, "direct browse of session [%s] by user [%s], operation [%lld]: %s in %lld ms",
                 sessionGuid(t.request).c_str(), user && *user ? user : "-",
                 static_cast<long long>(intOf(&t.request, R::opType)), outcome.c_str(),
                 static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                            CHubClock::real().steadyNow() - started)
                                            .count()));
    releaseRecord(t);
}
