#include "tools/hubmaster/hostbrowse.h"

#include <strings.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <set>

#include "Db/Proc/EntityNameToIdConverter.h"
#include "platform/db/cursorwrapper.h"
#include "platform/db/dbresult.h"
#include "platform/entities/recordedkind.h"
#include "platform/hubdb/messageproc.h"
#include "platform/log/evdebug.h"
#include "platform/msg/criteriaoperators.h"
#include "platform/msg/erasedryrun.h"
#include "platform/msg/errorresponse.h"
#include "platform/msg/msg_registry.h"
#include "platform/msg/sessionidlimit.h"
#include "platform/msg/xml_codec.h"
#include "platform/security/evsecuritymgr.h"
#include "platform/security/evsecuritynew.h"
#include "platform/security/rights.h"
#include "platform/taskmgr/evtaskmgr.h"
#include "platform/tasks/browseoperations.h"
#include "platform/tasks/erasebookings.h"
#include "platform/tasks/evreturndestination.h"
#include "platform/threads/hubclock.h"
#include "platform/threads/sessionport.h"

namespace {

using R = databrowse::BrowseRequest::f;
using E = ZyEntities::GenericEntity::f;
using Resp = databrowse::BrowseResponse::f;

constexpr int kEntityTypeClient = 3;
constexpr int kEntityTypeAppType = 4;
constexpr int kSendSeconds = 120;
// A browse whose answers stop coming is ended by the service's own idle limits well before this.
constexpr auto kAnswerLimit = std::chrono::minutes(15);
// How long a stopping host waits for the requests inside the service.
constexpr auto kDrainLimit = std::chrono::seconds(120);

CHostBrowseService* g_instance = nullptr;  // the one service of this process, while it serves

void logLine(const std::string& text) {
    evTaggedLog("HOSTBROWSE", 0, false, "%s", text.c_str());
}

bool sendResponse(CZyNetwork& session, databrowse::BrowseResponse& response) {
    bool timedOut = false;
    const CUxError sent = session.SendXMLMessage(response, 0, kSendSeconds, timedOut);
    if (sent.IsError()) logLine(std::string("answer not sent to the caller: ") + sent.GetErrorText());
    return !sent.IsError();
}

void sendEnd(CZyNetwork& session) {
    databrowse::BrowseResponse end;
    end.setint64(Resp::respType, databrowse::BROWSE_RESP_END);
    sendResponse(session, end);
}

// A refusal carries the permission code: the caller tells it from a failure by the code, not the words.
// `outcome` names it in the log: "refused", or "failed" for what no verdict decided.
void sendError(CZyNetwork& session, const std::string& text,
               databrowse::BrowseErrorCode code = databrowse::BROWSE_ERR_GENERIC,
               const char* outcome = "refused") {
    databrowse::BrowseResponse response = errorresponse::of(code, text);
    logLine(std::string("request ") + outcome + ": " + text);
    sendResponse(session, response);
    sendEnd(session);
}

// The request with its entity's names made ids by the database's resolver (the one BrowseRouter
// uses); false when the resolver fails.
bool resolveNames(databrowse::BrowseRequest& request) {
    std::string text;
    if (request.serialize(text, false) != 0) return false;
    SprocWrapper<EntityNameToIdConverter, EntityNameToIdConverter_t> resolver("EntityNameToIdConverter",
                                                                              nullptr);
    resolver.getCursor()->setValues(text.c_str());
    // Handed over as it is beside its text: neither side reads back what the other wrote.
    resolver.getCursor()->bindArgObject(hubdb::messageObject(request));
    text.clear();
    std::unique_ptr<zydb::CProcObject> answer;
    if (resolver.getXMLFromCursor(text, nullptr, false, true, answer) != 0) return false;
    std::unique_ptr<databrowse::BrowseRequest> resolved =
        hubdb::takeMessage<databrowse::BrowseRequest>(answer);
    if (!resolved) {
        resolved = std::make_unique<databrowse::BrowseRequest>();
        if (resolved->unserialize(text) != 0) return false;
    }
    CNMessageBase* entity = resolved->getObjectAccessor(R::entity, false);
    if (entity) request.setObjectAccessor(*entity, R::entity);
    return true;
}

}  // namespace

// The return channel of one browse, forwarded to its caller's connection as the answers arrive. The
// channel may deliver on other threads (answers of a media agent relayed by the router) until the
// request closes the forwarder; after that nothing touches the connection.
class CHostBrowseService::CForwarder : public EvReturnDestination {
public:
    CForwarder(CZyNetwork& session, const CHubClock& clock) : m_clock(clock), m_session(&session) {}

    void deliver(const EvReturnRecord& record) override {
        CHubMutexLock lock(m_mutex);
        if (record.kind == EV_RETURN_RECORD_END) {
            m_ended = true;
        } else if (record.kind == EV_RETURN_RECORD_XML_ITEM && m_session && !m_callerGone) {
            // Only the answer's type, messages and number of items are looked at: its items go on as
            // they came, counted but not read into objects. The channel's answers are the library's,
            // which checked each when it took it in (or wrote it): they are not checked again here, and
            // where that check told where the items lie, they are not looked for again either.
            static const char* const result =
                CNMessageRegistry::instance().fieldName(Resp::browseResult.code);
            static const char* const dataItems =
                CNMessageRegistry::instance().fieldName(databrowse::BrowseResult::f::dataResultSet.code);
            // Where it also told what the answer reads as without its items, the text is not read at all.
            std::unique_ptr<CNMessageBase> read;
            size_t items = record.items.count;
            // (Read against the answer's tag, the object is one of its class.)
            CNMessageBase* response = nullptr;
            if (record.read)
                response =
                    record.read->getTagID() == databrowse::BrowseResponse::TAG ? record.read.get() : nullptr;
            else if (XMLDecoder().decodeCheckedLeavingOut(databrowse::BrowseResponse::TAG, record.data.data(),
                                                          record.data.size(), result, dataItems, record.items,
                                                          read, items) == MSG_OK)
                response = read.get();
            if (!response) {
                logLine("an answer of the channel does not read: " + record.data.substr(0, 200));
            } else {
                m_endSent = m_endSent || response->getint64(Resp::respType) == databrowse::BROWSE_RESP_END;
                m_items += static_cast<long long>(items);
                count(*response);
                bool timedOut = false;
                const CUxError sent = m_session->SendXMLMessage(databrowse::BrowseResponse::TAG, record.data,
                                                                0, kSendSeconds, timedOut);
                // The caller left: the browse goes on to its end, its answers go nowhere.
                if (sent.IsError()) m_callerGone = true;
            }
        }
        m_changed.notify_all();
    }

    // Until the channel ended, the caller left, the host drains or the limit passed; true when ended.
    // The caller sends nothing while it waits: anything arriving on its connection (its close
    // included) means it left.
    bool waitForEnd(CZyNetwork& session, const std::function<bool()>& draining) {
        const auto limit = m_clock.steadyNow() + kAnswerLimit;
        while (m_clock.steadyNow() < limit) {
            {
                CHubMutexLock lock(m_mutex);
                if (m_ended || m_callerGone) break;
                if (draining()) break;
                lock.waitFor(m_changed, std::chrono::milliseconds(200));
                if (m_ended || m_callerGone) break;
            }
            CNMessageBase* received = nullptr;
            bool timedOut = false;
            const CUxError heard = session.ReceiveXMLMessage(nullptr, received, nullptr, 0, 0, timedOut);
            delete received;
            if (heard.IsError() || !timedOut) {
                CHubMutexLock lock(m_mutex);
                m_callerGone = true;
            }
        }
        CHubMutexLock lock(m_mutex);
        return m_ended;
    }
    void wake() { m_changed.notify_all(); }
    // Detaches the connection; a delivery running now finishes first.
    bool close() {
        CHubMutexLock lock(m_mutex);
        m_session = nullptr;
        return m_endSent;
    }
    bool callerGone() {
        CHubMutexLock lock(m_mutex);
        return m_callerGone;
    }
    // The caller left: true when it had not yet been answered whole (its browse is to be stopped).
    bool callerLeft() {
        CHubMutexLock lock(m_mutex);
        if (m_ended || m_endSent) return false;
        m_callerGone = true;
        return true;
    }
    bool errorSent() {
        CHubMutexLock lock(m_mutex);
        return !m_error.empty();
    }
    // What the caller was sent, for the browse's log line.
    std::string outcome() {
        CHubMutexLock lock(m_mutex);
        if (!m_error.empty()) return "error [" + m_error + "]";
        return std::to_string(m_items) + " item(s)" + (m_callerGone ? ", the caller left" : "");
    }
    // The first warning the caller was sent ("" when none): a stop's verdict.
    std::string warning() {
        CHubMutexLock lock(m_mutex);
        return m_warning;
    }

private:
    void count(CNMessageBase& response) REQUIRES(m_mutex) {
        const long long type = response.getint64(Resp::respType);
        if (type == databrowse::BROWSE_RESP_ERROR) {
            if (auto* messages = response.getlistobject(Resp::messages, false);
                messages && !messages->empty())
                m_error = messages->front().getstring(databrowse::BrowseError::f::errorMessage);
            if (m_error.empty()) m_error = "an error without text";
        }
        if (type == databrowse::BROWSE_RESP_WARNING && m_warning.empty())
            if (auto* messages = response.getlistobject(Resp::messages, false);
                messages && !messages->empty())
                m_warning = messages->front().getstring(databrowse::BrowseError::f::errorMessage);
        CNMessageBase* result = response.isSet(Resp::browseResult)
                                    ? response.getObjectAccessor(Resp::browseResult, false)
                                    : nullptr;
        if (auto* items =
                result ? result->getlistobject(databrowse::BrowseResult::f::dataResultSet, false) : nullptr)
            m_items += static_cast<long long>(items->size());
    }

    const CHubClock& m_clock;
    CHubMutex m_mutex;
    std::condition_variable m_changed;
    CZyNetwork* m_session GUARDED_BY(m_mutex);
    bool m_ended GUARDED_BY(m_mutex) = false;
    bool m_endSent GUARDED_BY(m_mutex) = false;
    bool m_callerGone GUARDED_BY(m_mutex) = false;
    long long m_items GUARDED_BY(m_mutex) = 0;
    std::string m_error GUARDED_BY(m_mutex);
    std::string m_warning GUARDED_BY(m_mutex);
};

CHostBrowseService::CHostBrowseService(ProcessFn process, LaunchEraseFn launchErase, const CHubClock& clock)
    : m_process(process), m_launchErase(launchErase), m_clock(clock) {}

CHostBrowseService::~CHostBrowseService() {
    stop();
}

long long CHostBrowseService::nextJobId() {
    static std::atomic<long long> next{1000};
    return next++;
}

bool CHostBrowseService::start(std::string& error) {
    static CSessionPort machinePort(0, 0);
    machinePort.SetType(CSessionPort::SessType_MessageService);
    g_instance = this;
    m_callerWatch = std::make_unique<CCallerWatch>();
    m_server = std::make_unique<CZyNetworkServer>(
        &CHostBrowseService::xdrCallback, &CHostBrowseService::xmlCallback, kServiceName, machinePort);
    const std::shared_future<CUxError> listening = m_server->Listening();
    // SelectData's own result repeats what Listening told: a start that failed, or nothing once it served.
    m_serving = std::thread([this] {
        ignoreResult(m_server->SelectData(0, 0, 0), "its failure to listen is read from Listening");
    });
    const CUxError& started = listening.get();
    if (!started.IsError()) return true;
    error = std::string("the service ") + kServiceName + " cannot listen: " + started.GetErrorText();
    stop();
    return false;
}

bool CHostBrowseService::drain() {
    CHubMutexLock lock(m_mutex);
    m_draining = true;
    for (CForwarder* f : m_forwarders) f->wake();
    if (lock.waitFor(m_changed, kDrainLimit, [this]() REQUIRES(m_mutex) { return m_inside == 0; }))
        return true;
    logLine("requests still inside the browse service after the drain limit");
    return false;
}

void CHostBrowseService::stop() {
    if (m_server) ignoreResult(m_server->Quit(true, true), "stopping: nothing is left to do when it fails");
    if (m_serving.joinable()) m_serving.join();
    m_server.reset();
    m_callerWatch.reset();  // no request is inside any more
    if (g_instance == this) g_instance = nullptr;
}

int CHostBrowseService::port() const {
    return m_server ? m_server->GetPort() : 0;
}

void CHostBrowseService::xdrCallback(CZyNetworkServer::ZynCallback_e type, CZyNetworkServer* server,
                                     long long handle, unsigned long messageType, zysDatabuf_v2*) {
    // A caller that says goodbye is answered, so that it need not wait for its own time limit.
    if (type != CZyNetworkServer::ZYN_CALLBACK_MESSAGE || messageType != ZYS_PM_DISCONNECT_REQ || !server)
        return;
    CZySessionLease session(server, handle);
    if (!session) return;
    bool timedOut = false;
    ignoreResult(session->ReplyDisconnect(kSendSeconds, timedOut),
                 "the session ends either way; a peer already gone is no fault");
}

void CHostBrowseService::xmlCallback(CZyNetworkServer::ZynCallback_e type, CZyNetworkServer* server,
                                     long long handle, CNMessageBase* message) {
    std::unique_ptr<CNMessageBase> owned(message);
    if (type != CZyNetworkServer::ZYN_CALLBACK_MESSAGE || !g_instance || !server) return;
    CZySessionLease session(server, handle);
    if (!session) return;
    if (auto* request = dynamic_cast<databrowse::BrowseRequest*>(owned.get()))
        g_instance->serve(*session, *request);
    else
        sendError(*session, "the Hubmaster's browse service takes browse requests only");
}

void CHostBrowseService::serve(CZyNetwork& session, databrowse::BrowseRequest& request) {
    {
        CHubMutexLock lock(m_mutex);
        if (m_draining) {
            sendError(session, "The Hubmaster is stopping; browse again once it is back");
            return;
        }
        ++m_inside;
    }
    {
        zydb::CRequestReads reads;
        TCaller caller;
        databrowse::BrowseErrorCode code = databrowse::BROWSE_ERR_GENERIC;
        std::string error = databrowse::sessionIdRefusal(request);
        if (!error.empty())
            sendError(session, error);
        else if (!authenticate(reads, request, caller, error))
            sendError(session, error, databrowse::BROWSE_ERR_PERMISSION);
        else if (request.getint64(R::opType) == databrowse::BROWSE_OP_STOP)
            stopSession(reads, session, request, caller);
        else if (!resolveEntity(reads, request, caller, error, code))
            sendError(session, error, code);
        else if (request.getint64(R::opType) == databrowse::BROWSE_OP_END_USER_ERASE)
            erase(reads, session, request, caller);
        else if (!servedHere(request, error))
            sendError(session, error);
        else
            browse(reads, session, request, caller);
    }
    CHubMutexLock lock(m_mutex);
    --m_inside;
    m_changed.notify_all();
}

bool CHostBrowseService::authenticate(zydb::CRequestReads& reads, databrowse::BrowseRequest& request,
                                      TCaller& caller, std::string& error) {
    const std::string token = request.getstring(R::token);
    if (token.empty()) {
        error = "A browse through the Hubmaster needs the user's authentication token";
        return false;
    }
    EvSecurityMgr security(0, m_clock);
    security.setRequestReads(&reads);  // a token's user is read once while the database is unchanged
    std::string domain, fullName;
    const bool valid = security.GetUserInfoFromZetaTokenWithoutAuthentication(
                           token, true, caller.userId, caller.userName, domain, fullName) == 1 ||
                       security.GetSessionInfoFromZetaToken(token, true, caller.userId, caller.userName,
                                                            domain, fullName) == 1;
    if (!valid || caller.userId <= 0) {
        error = security.tokenRefusal("Error: Failed to authenticate the usertoken...");
        return false;
    }
    // The token says who asks; a user named in the request itself counts for nothing.
    request.setstring(R::userName, caller.userName);
    return true;
}

bool CHostBrowseService::resolveEntity(zydb::CRequestReads& reads, databrowse::BrowseRequest& request,
                                       const TCaller& caller, std::string& error,
                                       databrowse::BrowseErrorCode& code) {
    CNMessageBase* entity = request.getObjectAccessor(R::entity, false);
    entityids::keepEverySubclient(entity);
    // An id out of range names no entity (cut to 32 bits it would name another): refused as the
    // service refuses it, before anything of the entity is read.
    if (error = entityids::outOfRange(entity); !error.empty()) return false;
    // Names the judge does not read itself (a subclient's name, a backup set's GUID) become ids through
    // the resolver BrowseRouter uses, so that both roads judge the same ids.
    const bool namesToResolve =
        entity && ((!entity->getstring(E::subclientName).empty() && entity->getint64(E::subclientId) <= 0) ||
                   (!entity->getstring(E::backupsetGUID).empty() && entity->getint64(E::backupsetId) <= 0));
    if (namesToResolve && !resolveNames(request)) {
        error = "The Hubmaster could not resolve the names of the browse request";
        return false;
    }
    entity = request.getObjectAccessor(R::entity, false);
    TNamedEntity named = namedEntityOf(entity);
    // What the entity is, the service's one judge decides, rights first: a caller who may not see the
    // client it names is told no more of it than of one he may not browse.
    const TMaySeeClient maySee = [&caller, &reads](long clientId) {
        return EvVisibilityCheck(0, &reads).canSeeClient(caller.userId, clientId);
    };
    TEntityKind kind;
    const TEntityVerdict verdict = judgeNamedEntity(&reads, named, maySee, kind, 0, &request);
    if (!verdict.settled) {
        error = verdict.refusal;
        code = static_cast<databrowse::BrowseErrorCode>(verdict.code);
        if (!verdict.described()) logLine("entity refused as not authorised: " + verdict.description);
        return false;
    }
    // Nothing recorded named (a client named alone): the task names the client by its id, and the
    // service judges the rest, as on BrowseRouter.
    if (kind.clientId <= 0) {
        if (verdict.namedClientId > 0) entity->setint64(E::clientId, verdict.namedClientId);
        return true;
    }
    // The task carries the record's ids; a claimed type stays as claimed (the service refuses one it
    // does not take).
    entity->setstring(E::clientName, kind.clientName);
    entity->setint64(E::clientId, kind.clientId);
    if (!entity->isSet(E::applicationId) || entity->getint64(E::applicationId) == 0)
        entity->setint64(E::applicationId, apptype::code(kind.appType));
    entity->setint64(E::instanceId, kind.instanceId);
    entity->setint64(E::backupsetId, kind.backupSetId);
    return true;
}

bool CHostBrowseService::servedHere(databrowse::BrowseRequest& request, std::string& error) {
    const int64_t operation = request.getint64(R::opType);
    if (operation != databrowse::BROWSE_OP_BROWSE && operation != databrowse::BROWSE_OP_ALL_VERSIONS) {
        error =
            "The Hubmaster's browse service lists a directory and the versions of items; ask "
            "BrowseRouter for operation " +
            std::to_string(operation);
        return false;
    }
    auto* queries = request.getlistobject(R::queries, false);
    for (size_t n = 0; queries && n < queries->size(); ++n) {
        CNMessageBase& query = (*queries)[n];
        const CNMessageBase* options =
            query.isSet(databrowse::Query::f::queryOptions)
                ? query.getObjectAccessor(databrowse::Query::f::queryOptions, false)
                : nullptr;
        auto* criteria = query.getlistobject(databrowse::Query::f::criteriaList, false);
        if ((options &&
             options->getint64(databrowse::Msg70::f::queryType) == databrowse::kQueryOptionsCount) ||
            (criteria && !criteria->empty())) {
            error = "The Hubmaster's browse service pages a listing; ask BrowseRouter for counts and filters";
            return false;
        }
    }
    return true;
}

void CHostBrowseService::fillTask(databrowse::BrowseRequest& request, long long jobId,
                                  EvMultiEntityRestoreTask& task) {
    task.setJobId(static_cast<unsigned long long>(jobId));
    const auto operation = static_cast<uint32_t>(request.getint64(R::opType));
    const TOperationRow& row = operationRow(operation);
    if (row.setsOperation) {
        task.setBrowseOpType(static_cast<databrowse::BrowseOperation>(operation));
        task.setOptions(task.getOptions() | row.flags);
    }
    const CNMessageBase* mode = request.isSet(R::mode) ? request.getObjectAccessor(R::mode, false) : nullptr;
    if (mode && mode->isSet(databrowse::BrowseMode::f::mode) && !row.clearsEmFunction)
        task.setEmFunction(static_cast<unsigned long>(mode->getint64(databrowse::BrowseMode::f::mode)));
    // The queries (paging, counts, filters) travel as the task's find pattern.
    if (auto* queries = request.getlistobject(R::queries, false); queries && !queries->empty()) {
        databrowse::Querylist list;
        list.setlistobject(databrowse::Querylist::f::queries, *queries);
        std::string xml;
        if (list.serialize(xml) == 0) task.setbrowseFindPattern(xml.c_str());
    }
    if (CNMessageBase* session = request.getObjectAccessor(R::session, false))
        task.setbrowseSessionGUID(session->getstring(databrowse::BrowseSession::f::sessionId).c_str());
    if (CNMessageBase* entity = request.getObjectAccessor(R::entity, false)) {
        task.setClientId(static_cast<long>(entity->getint64(E::clientId)));
        task.setAppType(apptype::of(static_cast<long>(entity->getint64(E::applicationId))));
        task.setInstanceId(static_cast<long>(entity->getint64(E::instanceId)));
        task.setBackupSetId(static_cast<long>(entity->getint64(E::backupsetId)));
        task.setSubClientId(static_cast<long>(entity->getint64(E::subclientId)));
    }
    if (CNMessageBase* range = request.getObjectAccessor(R::timeRange, false)) {
        task.setToTime(static_cast<long>(range->getint64(databrowse::BrowseTimeRange::f::toTime)));
        task.setFromTime(static_cast<long>(range->getint64(databrowse::BrowseTimeRange::f::fromTime)));
    }
    if (std::vector<CNMessageBase>* paths = request.getlistobject(R::paths, false))
        for (const CNMessageBase& path : *paths)
            task.addPath(EvRestoreTask::kBrowsePathList,
                         path.getstring(databrowse::BrowsePath::f::path).c_str());
    const std::string user = request.getstring(R::userName);
    if (!user.empty()) task.setUserName(user.c_str());
}

void CHostBrowseService::browse(zydb::CRequestReads& reads, CZyNetwork& session,
                                databrowse::BrowseRequest& request, const TCaller& caller) {
    // A live browse is only prepared by the Hubmaster, for a caller that then browses the machine: the
    // prepared request is BrowseRouter's answer, and this service, which forwards answers, has none.
    if (const CNMessageBase* options = request.getObjectAccessor(R::options, false);
        options && options->getint64(databrowse::BrowseOptions::f::initMachineBrowse) != 0) {
        sendError(session, "A live browse of a machine is prepared through BrowseRouter, not " +
                               std::string(kServiceName));
        return;
    }
    const auto started = m_clock.steadyNow();
    const long long jobId = nextJobId();
    auto forwarder = std::make_shared<CForwarder>(session, m_clock);
    {
        CHubMutexLock lock(m_mutex);
        m_forwarders.insert(forwarder.get());
    }
    EvReturnDestinations::registerDestination(jobId, forwarder);
    EvMultiEntityRestoreTask task;
    fillTask(request, jobId, task);
    task.setUserId(caller.userId);
    // A caller that leaves while the entry point runs (a VM's browse waiting for the VM's, a classic
    // agent read on this thread) has its session stopped then, not once the entry point returns.
    bool stopped = false;
    bool accepted = false;
    {
        CCallerWatch::CWatched watched(*m_callerWatch, session, [&] {
            if (!forwarder->callerLeft()) return;
            stopLeftBrowse(request, caller);
            stopped = true;  // read once the watch has ended, which waits for this
        });
        const CTaskRequestReads lent(&task, &reads);
        accepted = m_process(&task, false, databrowse::FORCE_USE_INDEX_NONE, &request) != 0;
    }
    reads.letGo();  // no snapshot is held through the wait for the answers
    // A super browse answers later, through the router; a classic one has answered by now, and so has a
    // refused or failed one (whose channel may never see an end: nothing is left to wait for).
    const bool ended = !accepted || forwarder->waitForEnd(session, [this] {
        CHubMutexLock lock(m_mutex);
        return m_draining;
    });
    EvReturnDestinations::unregisterDestination(jobId);
    {
        CHubMutexLock lock(m_mutex);
        m_forwarders.erase(forwarder.get());
    }
    const bool gone = forwarder->callerGone();
    const bool endSent = forwarder->close();
    // Nobody reads this browse's answers any more (a caller that closes once it has read the end left
    // nothing behind): the event manager's cancel, a stop of its session, ends its worker and tells the
    // media agent, which would otherwise go on answering nobody.
    if (gone && !ended && !endSent && !stopped) stopLeftBrowse(request, caller);
    // One line per browse: who asked, the road, what came of it and how long it took.
    CNMessageBase* session_ =
        request.isSet(R::session) ? request.getObjectAccessor(R::session, false) : nullptr;
    const long long ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(m_clock.steadyNow() - started).count();
    logLine("browse of session [" +
            (session_ ? session_->getstring(databrowse::BrowseSession::f::sessionId) : "") + "] by user [" +
            caller.userName + "] through " + kServiceName + ": " +
            (ended || gone ? forwarder->outcome() : "no end in time") + " in " + std::to_string(ms) + " ms");
    if (gone) return;
    if (!ended) {
        sendError(session, "The browse did not end in time, or the Hubmaster is stopping");
        return;
    }
    // A failure must never reach the caller as an empty listing.
    if (!accepted && !forwarder->errorSent()) {
        sendError(session, "The Hubmaster could not run the browse");
        return;
    }
    if (!endSent) sendEnd(session);
}

void CHostBrowseService::stopSession(zydb::CRequestReads& reads, CZyNetwork& session,
                                     databrowse::BrowseRequest& request, const TCaller& caller) {
    const CNMessageBase* block =
        request.isSet(R::session) ? request.getObjectAccessor(R::session, false) : nullptr;
    const std::string guid = block ? block->getstring(databrowse::BrowseSession::f::sessionId) : "";
    if (guid.empty()) {
        sendError(session, "A stop names the session to stop");
        return;
    }
    // The service judges the stop against the session's owner and answers its verdict on the channel.
    const long long jobId = nextJobId();
    auto forwarder = std::make_shared<CForwarder>(session, m_clock);
    EvReturnDestinations::registerDestination(jobId, forwarder);
    EvMultiEntityRestoreTask task;
    task.setJobId(static_cast<unsigned long long>(jobId));
    task.setBrowseOpType(databrowse::BROWSE_OP_STOP);
    task.setbrowseSessionGUID(guid.c_str());
    task.setUserId(caller.userId);
    task.setUserName(caller.userName.c_str());
    const CTaskRequestReads lent(&task, &reads);
    const bool accepted = m_process(&task, false, databrowse::FORCE_USE_INDEX_NONE, &request) != 0;
    EvReturnDestinations::unregisterDestination(jobId);
    const bool endSent = forwarder->close();
    logLine("stop of session [" + guid + "] by user [" + caller.userName + "] through " + kServiceName +
            ": " +
            (forwarder->errorSent()         ? forwarder->outcome()
             : forwarder->warning().empty() ? std::string("accepted")
                                            : forwarder->warning()));
    if (!accepted && !forwarder->errorSent()) {
        sendError(session, "The Hubmaster could not stop the session");
        return;
    }
    if (!endSent) sendEnd(session);
}

void CHostBrowseService::stopLeftBrowse(databrowse::BrowseRequest& request, const TCaller& caller) {
    const CNMessageBase* block =
        request.isSet(R::session) ? request.getObjectAccessor(R::session, false) : nullptr;
    const std::string guid = block ? block->getstring(databrowse::BrowseSession::f::sessionId) : "";
    if (guid.empty()) return;
    EvMultiEntityRestoreTask task;
    task.setJobId(static_cast<unsigned long long>(nextJobId()));
    task.setBrowseOpType(databrowse::BROWSE_OP_STOP);
    task.setbrowseSessionGUID(guid.c_str());
    task.setUserId(caller.userId);
    task.setUserName(caller.userName.c_str());
    logLine("the caller of session [" + guid + "] left before its answer ended; the session is stopped");
    if (m_process(&task, false, databrowse::FORCE_USE_INDEX_NONE, nullptr) == 0)
        logLine("the service did not confirm the stop of session [" + guid + "]; see its log");
}

namespace {

constexpr const char* kErasedAlready =
    "is already booked or erased in this version; an item version is erased once, and no erase task was "
    "created";

}  // namespace

void CHostBrowseService::erase(zydb::CRequestReads& reads, CZyNetwork& session,
                               databrowse::BrowseRequest& request, const TCaller& caller) {
    CNMessageBase* entity = request.getObjectAccessor(R::entity, false);
    // A caller who may not see the client is refused as for any data he may not browse, before his
    // capability is asked (which would tell him the entity exists).
    if (!EvVisibilityCheck(0, &reads).canSeeClient(caller.userId,
                                                   static_cast<long>(entity->getint64(E::clientId)))) {
        sendError(session, notAuthorisedText(0), databrowse::BROWSE_ERR_PERMISSION);
        return;
    }
    bool allowed = false;
    {
        EvSecurityNew security(nullptr, 0);
        if (security.hasPermissionForUserOnEntity(
                allowed, zysec::kPermDeleteData, caller.userId, kEntityTypeClient,
                static_cast<long>(entity->getint64(E::clientId)), kEntityTypeAppType,
                static_cast<long>(entity->getint64(E::applicationId)), 0, 0, 0, 0, 0, 0) != 0)
            allowed = false;
    }
    auto* paths = request.getlistobject(R::paths, false);
    std::set<std::string> distinct;
    for (size_t n = 0; paths && n < paths->size(); ++n)
        distinct.insert((*paths)[n].getstring(databrowse::BrowsePath::f::path));
    const std::string what = std::to_string(distinct.size()) + " path(s) of subclient " +
                             std::to_string(entity->getint64(E::subclientId));
    const bool dryRun = erasedryrun::isMarked(request);
    if (!allowed) {
        logLine("erase of " + what + " refused to user [" + caller.userName + "]: no delete capability");
        sendError(session, "You do not have the capability required to delete data.",
                  databrowse::BROWSE_ERR_PERMISSION);
        return;
    }
    // Only what BrowseRouter listed and booked for this user and entity becomes a task, once.
    TEraseBooking wanted;
    wanted.userId = caller.userId;
    wanted.clientId = static_cast<long>(entity->getint64(E::clientId));
    wanted.appType = static_cast<long>(entity->getint64(E::applicationId));
    wanted.instanceId = static_cast<long>(entity->getint64(E::instanceId));
    wanted.backupSetId = static_cast<long>(entity->getint64(E::backupsetId));
    wanted.subclientId = static_cast<long>(entity->getint64(E::subclientId));
    if (paths && paths->size() > CEraseBookings::kMaxPaths) {
        sendError(session, "An erase names at most " + std::to_string(CEraseBookings::kMaxPaths) + " paths");
        return;
    }
    wanted.paths = distinct;
    if (dryRun) {
        // The verdicts of the real erase, in its order, with nothing booked, taken or claimed: the
        // booking BrowseRouter would refuse, then the versions erased already.
        std::string refused = CEraseBookings::instance().bookingProblem(wanted);
        std::string error;
        std::map<std::string, std::string> versions;
        // A verdict of the erase's is a refusal, with the refusal's code; a listing of the sizes that
        // fails is no verdict.
        databrowse::BrowseErrorCode code = databrowse::BROWSE_ERR_PERMISSION;
        if (refused.empty() && !sizeFromIndex(reads, request, caller, versions, error)) {
            refused = error;
            code = databrowse::BROWSE_ERR_GENERIC;
        }
        if (const std::string erased =
                refused.empty() ? CEraseBookings::instance().erasedAlready(wanted, versions) : std::string();
            !erased.empty())
            refused = "[" + erased + "] " + kErasedAlready;
        const bool verdict = code == databrowse::BROWSE_ERR_PERMISSION;
        logLine("erase dry run of " + what + " by user [" + caller.userName + "]: " +
                (refused.empty() ? "would be erased"
                 : verdict       ? "would be refused: " + refused
                                 : "could not be judged: " + refused));
        if (refused.empty())
            sendEnd(session);
        else
            sendError(session, refused, code, verdict ? "refused" : "failed");
        return;
    }
    if (!CEraseBookings::instance().take(wanted)) {
        logLine("erase of [" + std::to_string(wanted.paths.size()) + "] path(s) of subclient [" +
                std::to_string(wanted.subclientId) + "] by user [" + caller.userName + "] was not booked");
        sendError(session,
                  "No erase of these paths is booked for you: list them with an erase through BrowseRouter "
                  "first (each listing makes one erase task)");
        return;
    }
    std::string error;
    std::map<std::string, std::string> versions;
    if (!sizeFromIndex(reads, request, caller, versions, error)) {
        sendError(session, error, databrowse::BROWSE_ERR_GENERIC, "failed");
        return;
    }
    // Each version once: a second erase of it would make a second task and give its usage back again.
    const std::string erased = CEraseBookings::instance().claimErased(wanted, versions);
    if (!erased.empty()) {
        logLine("erase of " + what + " by user [" + caller.userName + "] refused: [" + erased +
                "] is erased already");
        sendError(session, "[" + erased + "] " + kErasedAlready, databrowse::BROWSE_ERR_PERMISSION);
        return;
    }
    const int rc = m_launchErase(&request);
    if (rc != 0) {
        CEraseBookings::instance().releaseErased(wanted, versions);
        // A failure, not a refusal: the same erase may be made once the cause has passed.
        sendError(session,
                  rc == EvTaskMgr::kStoreBusy
                      ? "The erase task could not be created: the Hubmaster database was busy with "
                        "another writer for as long as the task manager waits for it; nothing "
                        "was erased"
                      : "The Hubmaster's task manager did not create the erase task (result " +
                            std::to_string(rc) + "); see the Hubmaster's log",
                  databrowse::BROWSE_ERR_GENERIC, "failed");
        return;
    }
    logLine("erase task created for user [" + caller.userName + "]: " + what);
    sendEnd(session);
}

bool CHostBrowseService::sizeFromIndex(zydb::CRequestReads& reads, databrowse::BrowseRequest& request,
                                       const TCaller& caller, std::map<std::string, std::string>& versions,
                                       std::string& error) {
    std::vector<CNMessageBase>* paths = request.getlistobject(R::paths, false);
    if (!paths || paths->empty()) {
        error = "An erase names its paths";
        return false;
    }
    std::map<std::string, std::set<std::string>> byParent;
    for (CNMessageBase& path : *paths) {
        const std::string text = path.getstring(databrowse::BrowsePath::f::path);
        const size_t cut = text.find_last_of("/\\");
        byParent[cut == 0 ? text.substr(0, 1) : text.substr(0, cut)].insert(text);
    }
    std::map<std::string, long long> sizes;
    for (const auto& [parent, wanted] : byParent) {
        databrowse::BrowseRequest listing = request;
        listing.setint64(R::opType, databrowse::BROWSE_OP_BROWSE);
        listing.clearField(R::queries.tag, R::queries.code);
        databrowse::BrowsePath where;
        where.setstring(databrowse::BrowsePath::f::path, parent);
        listing.setlistobject(R::paths, {where});
        const long long jobId = nextJobId();
        auto answers = std::make_shared<EvRecordingDestination>();
        EvReturnDestinations::registerDestination(jobId, answers);
        EvMultiEntityRestoreTask task;
        fillTask(listing, jobId, task);
        task.setUserId(caller.userId);
        {
            const CTaskRequestReads lent(&task, &reads);
            m_process(&task, false, databrowse::FORCE_USE_INDEX_NONE, &listing);
        }
        reads.letGo();  // no snapshot is held through the wait for the listing
        const bool ended = answers->waitForEnd(kAnswerLimit);
        EvReturnDestinations::unregisterDestination(jobId);
        if (!ended) {
            error = "The media agent did not list [" + parent + "] in time; nothing was erased";
            return false;
        }
        for (const std::string& xml : answers->payloads(EV_RETURN_RECORD_XML_ITEM)) {
            databrowse::BrowseResponse response;
            if (response.unserialize(xml) != 0) continue;
            if (response.getint64(Resp::respType) == databrowse::BROWSE_RESP_ERROR) {
                error = "The media agent's index could not list [" + parent + "]; nothing was erased";
                return false;
            }
            CNMessageBase* result = response.getObjectAccessor(Resp::browseResult, false);
            auto* items =
                result ? result->getlistobject(databrowse::BrowseResult::f::dataResultSet, false) : nullptr;
            for (size_t n = 0; items && n < items->size(); ++n) {
                const std::string path = (*items)[n].getstring(databrowse::BrowseData::f::path);
                if (!wanted.count(path)) continue;
                const CNMessageBase& item = (*items)[n];
                sizes[path] = item.getint64(databrowse::BrowseData::f::size);
                versions[path] = std::to_string(item.getint64(databrowse::BrowseData::f::version)) + "@" +
                                 std::to_string(item.getint64(databrowse::BrowseData::f::modificationTime));
            }
        }
    }
    CNMessageBase* entity = request.getObjectAccessor(R::entity, false);
    const std::string subclient = std::to_string(entity ? entity->getint64(E::subclientId) : 0);
    for (CNMessageBase& path : *paths) {
        const std::string text = path.getstring(databrowse::BrowsePath::f::path);
        auto found = sizes.find(text);
        if (found == sizes.end()) {
            error = "[" + text + "] is not among the backed-up items at the erase's time; nothing was erased";
            return false;
        }
        CNMessageBase* detail = path.getObjectAccessor(databrowse::BrowsePath::f::detail, true);
        detail->setstring(databrowse::Msg2::f::subclientId, subclient);
        detail->setint64(databrowse::Msg2::f::itemSize, found->second);
    }
    return true;
}
