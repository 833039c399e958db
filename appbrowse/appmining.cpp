// The application-mining road of a worker's request: the caller's rights on the mined entity, the media
// agent that mines, the subclient and backup jobs of the cycle, where the answers go; then the completed
// request back to a network caller, or sent to the media agent's mining service for an entry-point
// caller (whose answers come back through "BrowseRouter"). Runs on the caller's thread under the
// worker's lock, from newRequest.
#include <ctime>

#include "appbrowse/appmininglookups.h"
#include "fbDebug/fbdebug.h"
#include "framework/browseaccess.h"
#include "planning/browsetask.h"
#include "planning/confmgr.h"
#include "planning/confrecord.h"
#include "platform/entities/apptypes.h"
#include "platform/entities/zyclient.h"
#include "platform/entities/zymanagedbforjm.h"
#include "platform/errors/evmessagecontainer.h"
#include "platform/errors/evmessageids.h"
#include "platform/net/zynetwork.h"
#include "platform/security/evsecuritymgr.h"
#include "platform/tasks/evrestoretask.h"
#include "platform/threads/hubclock.h"
#include "service/browserouterthread.h"
#include "service/fastbrowsehm_api.h"
#include "worker/fastbrowsehmworkerthread.h"
#include "worker/odssessioncache.h"

const char* const ZYAPPMINING_APPNAME = "LiveBrowseServer";

namespace {

using R = databrowse::BrowseRequest::f;
using E = ZyEntities::GenericEntity::f;
using M = databrowse::Msg60::f;
using D = databrowse::Msg55::f;
using C = databrowse::ApplicationMiningConnectionInfo::f;

const char* const kTag = "FBHMWORKER";
constexpr int64_t kRecoveryPointFlagType = 13;
const char* const kRecoveryPointFlag = "RecoveryPointIndexServer";
constexpr long kDefaultKelmarch = 2;
// The mining service is a peer like any other: a send that hangs must not hold the worker's lock.
constexpr int kMiningSendSeconds = 300;

CNMessageBase* child(CNMessageBase* parent, const MsgFieldRef& f) {
    return parent && parent->isSet(f) ? parent->getObjectAccessor(f, false) : nullptr;
}

CNMessageBase* advancedSettings(databrowse::BrowseRequest& request) {
    return child(child(&request, R::advOptions), databrowse::Msg63::f::advancedConfig);
}

CNMessageBase* miningBlock(databrowse::BrowseRequest& request) {
    return child(advancedSettings(request), databrowse::BrowseAdvancedConfig::f::appMiningBlock);
}

// The values of one application type's subclient and job completion (Exchange database, Active
// Directory): the same steps with these differences.
struct TMiningKind {
    apptype::EAppType appType;
    MsgFieldRef offlinePath;  // set: an offline browse of a database file, nothing to complete
    const char* offlineLog;
    const char* noSubclientText;
    bool readsClient;  // the subclient comes from the entity's client, not from the database path
};
const TMiningKind kMiningKinds[] = {
    {apptype::kExchangeDatabase, D::edbPath, "Edb path already set, this might be offline browse request.",
     "Get SubclientId failed.", false},
    {apptype::kActiveDirectory, D::ditPath, "Dit path already set, this might be offline browse request.",
     "Failed to get SubclientId.", true},
};

// The index-server client of a recovery point from the additional flags (the last one wins); 0: none.
long recoveryPointIndexServer(databrowse::BrowseRequest& request) {
    CNMessageBase* flagBlock =
        child(advancedSettings(request), databrowse::BrowseAdvancedConfig::f::flagBlock);
    auto* flags = flagBlock ? flagBlock->getlistobject(databrowse::Msg9::f::additionalFlags, false) : nullptr;
    long id = 0;
    if (!flags) return 0;
    for (const CNMessageBase& flag : *flags) {
        if (flag.getint64(databrowse::AdditionalFlag::f::flagType) != kRecoveryPointFlagType ||
            flag.getstring(databrowse::AdditionalFlag::f::flagName) != kRecoveryPointFlag ||
            !flag.isSet(databrowse::AdditionalFlag::f::value))
            continue;
        id = std::strtol(flag.getstring(databrowse::AdditionalFlag::f::value).c_str(), nullptr, 10);
    }
    return id;
}

std::string passwordText(CNMessageBase* block, const MsgFieldRef& f) {
    if (!block || !block->isSet(f)) return {};
    pstring* p = block->getpstringobject(f);
    return p ? p->str() : std::string();
}

}  // namespace

bool CWorkerThreadHM::authoriseMiningEntity(EvMultiEntityRestoreTask* task) {
    CBrowseLog log(kTag);
    CNMessageBase* entity = child(&m_browseRequest, R::entity);
    CNMessageBase* mining = miningBlock(m_browseRequest);
    CNMessageBase* ma = child(&m_browseRequest, R::ma);
    const auto idOf = [&](const MsgFieldRef& f) {
        return entity && entity->isSet(f) ? entity->getint64(f) : 0;
    };
    long kelmarch = static_cast<long>(idOf(E::kelmarchId));
    if (kelmarch < 1) kelmarch = kDefaultKelmarch;
    long clientId = static_cast<long>(idOf(E::clientId));
    if (clientId == 0 && ma)
        clientId = static_cast<long>(ma->getint64(ZyEntities::ClientEntity::f::clientId));
    const long appType = static_cast<long>(mining ? mining->getint64(M::appType) : 0);

    const bool hasUser = task->getUserName() && *task->getUserName();
    if (m_directAPI && !hasUser) {
        TDirectCaller caller;
        caller.checkClientMap = m_checkClientMap;
        caller.token = m_browseRequest.getstring(R::token);
        caller.callerClientId = task->getCallerClientId();
        caller.clientId = clientId;
        caller.jobId = static_cast<long long>(task->getJobId());
        const TDirectCallerDecision d = decideDirectCaller(caller);
        log.debugLvl(1, "application mining by direct caller [%lu] for client [%ld]: %s",
                     caller.callerClientId, clientId, d.reason.c_str());
        if (d.verdict == TDirectCallerDecision::kTokenUser) {
            task->setUserId(d.tokenUserId);
            task->setUserName(d.tokenUserName.c_str());
        } else if (d.verdict != TDirectCallerDecision::kRefused) {
            return true;
        }
    }
    if (task->getUserName() && *task->getUserName()) {
        EvSecurityCheck check(static_cast<long long>(task->getJobId()), task->requestReads());
        const std::string access = browseAccessText(m_browseRequest);
        const int userId = static_cast<int>(task->getUserId());
        const auto allowed = [&](bool endUser) {
            return check.canBrowse(userId, kelmarch, clientId, appType,
                                   static_cast<long>(idOf(E::instanceId)),
                                   static_cast<long>(idOf(E::backupsetId)),
                                   static_cast<long>(idOf(E::subclientId)), endUser, access);
        };
        if (allowed(false) || (!isLocalUserName(task->getUserName()) && allowed(true))) return true;
    }
    log.debugLvl(-1, "User [%ld] may not mine client [%ld] of application type [%ld]", task->getUserId(),
                 clientId, appType);
    EvMessageContainer message;
    message.SetMessageID(evmsg::kBrowseAccessDenied, true);
    setLastError(databrowse::BROWSE_ERR_PERMISSION,
                 getErrorMsgContainer(message, static_cast<unsigned long>(task->getTaskLocale())));
    return false;
}

bool CWorkerThreadHM::completeMiningJobs(apptype::EAppType appType) {
    CBrowseLog log(kTag);
    CNMessageBase* mining = miningBlock(m_browseRequest);
    CNMessageBase* details = child(mining, M::miningDetails);
    const TMiningKind* kind = nullptr;
    for (const TMiningKind& k : kMiningKinds)
        if (k.appType == appType) kind = &k;
    if (!kind || !details) return true;
    auto* jobList =
        details->getlistlonglong(D::jobList.i, D::jobList.j, D::jobList.tag, D::jobList.code, true);
    if (details->isSet(kind->offlinePath)) {
        jobList->push_back(0);
        log.debugLvl(1, "%s", kind->offlineLog);
        return true;
    }
    std::string path;
    if (const auto* paths = m_browseRequest.getlistobject(R::paths, false); paths && !paths->empty())
        path = paths->front().getstring(databrowse::BrowsePath::f::path);
    CNMessageBase* entity = child(&m_browseRequest, R::entity);
    if (!entity) return true;

    int64_t kelmarch = entity->getint64(E::kelmarchId);
    if (kelmarch < 1) kelmarch = kDefaultKelmarch;
    const int64_t backupSet = entity->getint64(E::backupsetId);
    int64_t subclient = entity->getint64(E::subclientId);
    if (backupSet < 1) {
        setLastError(databrowse::BROWSE_ERR_GENERIC, "Backupset id was not set for applicaiton mining.");
        log.debugLvl(-1, "%s", m_errorText);
        return false;
    }
    int64_t refTime = static_cast<int64_t>(CHubClock::real().epochSeconds());
    bool noToTime = false;
    CNMessageBase* times = child(&m_browseRequest, R::timeRange);
    if (times) {
        const int64_t to = times->getint64(databrowse::BrowseTimeRange::f::toTime);
        if (to > 0)
            refTime = to;
        else
            noToTime = true;
    }
    if (subclient < 1) {
        subclient = static_cast<int64_t>(
            kind->readsClient
                ? GetAdAppAwareSubclientId(static_cast<uint64_t>(kelmarch), static_cast<uint64_t>(backupSet),
                                           static_cast<uint64_t>(entity->getint64(E::clientId)))
                : GetExchangeSubclientIdFromPath(static_cast<uint64_t>(kelmarch),
                                                 static_cast<uint64_t>(backupSet), refTime, path.c_str()));
        entity->setint64(E::subclientId, subclient);
        if (subclient < 1) {
            setLastError(databrowse::BROWSE_ERR_GENERIC, kind->noSubclientText);
            log.debugLvl(-1, "%s", m_errorText);
            return false;
        }
    }
    std::vector<uint64_t> jobs;
    const auto miningType = static_cast<databrowse::AppMiningType>(details->getint64(D::miningType));
    if (GetJobsInCycle(static_cast<uint64_t>(kelmarch), static_cast<uint64_t>(subclient), refTime, miningType,
                       path, jobs) <= 0) {
        // Nothing backed up by then is told as every other browse tells it, not as a failure.
        if (HasBackupJobsUpTo(static_cast<uint64_t>(subclient), refTime) == 0) return noBackupsBy(refTime);
        setLastError(databrowse::BROWSE_ERR_GENERIC, "Get mining jobs failed.");
        log.debugLvl(-1, "%s", m_errorText);
        return false;
    }
    if (noToTime && !jobs.empty()) {
        long start = 0, end = 0;
        if (ZYManageDBForJM::GetBkpTimeForBkpHistoryJob(static_cast<unsigned long>(jobs.back()), start, end,
                                                        static_cast<unsigned long>(kelmarch)))
            times->setint64(databrowse::BrowseTimeRange::f::toTime, end);
        else
            log.debugLvl(-1, "Failed to get job start-end time for job [%llu]",
                         static_cast<unsigned long long>(jobs.back()));
    }
    for (uint64_t job : jobs) jobList->push_back(static_cast<long long>(job));
    return true;
}

bool CWorkerThreadHM::noBackupsBy(int64_t time) {
    CBrowseLog log(kTag);
    EvMessageContainer message;
    message.SetMessageID(evmsg::kNoBackupsFound, true);
    setLastError(databrowse::BROWSE_ERR_NOTHING_TO_BROWSE, getErrorMsgContainer(message, m_miningLocale));
    log.debugLvl(0, "No backup cycles found for mining up to [%lld]", static_cast<long long>(time));
    return false;
}

bool CWorkerThreadHM::minedSiteBackedUp() {
    CNMessageBase* entity = child(&m_browseRequest, R::entity);
    const int64_t subclient = entity ? entity->getint64(E::subclientId) : 0;
    if (subclient < 1) return true;  // a farm or server named without its subclient: nothing to check
    CNMessageBase* times = child(&m_browseRequest, R::timeRange);
    const int64_t to = times ? times->getint64(databrowse::BrowseTimeRange::f::toTime) : 0;
    const int64_t refTime = to > 0 ? to : static_cast<int64_t>(CHubClock::real().epochSeconds());
    return HasBackupJobsUpTo(static_cast<uint64_t>(subclient), refTime) != 0 || noBackupsBy(refTime);
}

bool CWorkerThreadHM::openMiningSession(EvMultiEntityRestoreTask* task) {
    CBrowseLog log(kTag);
    TConfError error{databrowse::BROWSE_ERR_GENERIC, "the configuration cache does not exist"};
    bool created = false;
    const std::string id =
        g_poConfMgr ? g_poConfMgr->openConfRef(task, created, error, CConfigurationMgr::EPlanning::kUnplanned)
                    : std::string();
    if (id.empty()) {
        setLastError(error.code, error.text);
        log.debugLvl(0, "the mining's browse session [%s] is not opened: %s", task->getbrowseSessionGUID(),
                     error.text.c_str());
        return false;
    }
    // The reference this request holds from here on: given back at its end, or with its answers'.
    m_heldConfId = id;
    m_browseTask->getDataPtr()->confId = id;
    if (CConfRecord* record = g_poConfMgr->getConfRec(id, false)) record->insertWorkerInConf(m_workerId);
    return true;
}

bool CWorkerThreadHM::findMiningMediaAgent(EvMultiEntityRestoreTask* task, apptype::EAppType appType,
                                           std::string& host) {
    CBrowseLog log(kTag);
    CNMessageBase* ma = child(&m_browseRequest, R::ma);
    if (!ma && appType == apptype::kExchangeMonorun) {
        const long indexServer = recoveryPointIndexServer(m_browseRequest);
        if (indexServer == 0) {
            log.debugLvl(
                -1,
                "Failed to fetch index server clientId for the recovery point creation from additional "
                "flags");
            return false;
        }
        int node = -1;
        const CUxError found = getIndexServerFirstNode(static_cast<int>(indexServer), node);
        if (found.IsError()) {
            log.debugLvl(-1, "Error: %s", found.GetErrorText().c_str());
            return false;
        }
        ZYClient(static_cast<unsigned long>(node)).getNetworkHostnameMangled(host);
        m_browseRequest.getObjectAccessor(R::advOptions, true)
            ->setint64(databrowse::Msg63::f::userId, task->getUserId());
        CNMessageBase* details = miningBlock(m_browseRequest)->getObjectAccessor(M::miningDetails, true);
        auto* mailboxes = details->getlistobject(D::at29_50, true);
        if (mailboxes->empty() ||
            !mailboxes->front().isSet(databrowse::ExchangeMailboxInfo::f::mailboxGuid)) {
            log.debugLvl(-1, "Mailbox info. is not populated for the recovery point request");
            return false;
        }
        int created = 0;
        CNMessageBase* entity = child(&m_browseRequest, R::entity);
        const CUxError createdFound = getMailboxCreationTime(
            static_cast<int>(entity ? entity->getint64(E::subclientId) : 0),
            mailboxes->front().getstring(databrowse::ExchangeMailboxInfo::f::mailboxGuid), created);
        if (createdFound.IsError()) {
            log.debugLvl(-1, "Unable to fetch mailbox creation time with the error: %s",
                         createdFound.GetErrorText().c_str());
            return false;
        }
        m_browseRequest.getObjectAccessor(R::timeRange, true)
            ->setint64(databrowse::BrowseTimeRange::f::fromTime, created);
    } else if (ma && ma->isSet(ZyEntities::ClientEntity::f::clientId)) {
        const unsigned long id =
            static_cast<unsigned long>(ma->getint64(ZyEntities::ClientEntity::f::clientId));
        log.debugLvl(2, "Application mining MA client id was set to [%lu].", id);
        ZYClient(id).getNetworkHostnameMangled(host);
    } else if (ma && ma->isSet(ZyEntities::ClientEntity::f::clientName)) {
        const std::string name = ma->getstring(ZyEntities::ClientEntity::f::clientName);
        log.debugLvl(2, "Application mining MA client name was set to [%s].", name.c_str());
        ZYClient client(name);
        unsigned long id = 0;
        if (client.getClientId(id) == 0) ZYClient(id).getNetworkHostnameMangled(host);
    }
    if (host.empty()) {
        setLastError(databrowse::BROWSE_ERR_GENERIC, "MA not set for application mining.");
        log.debugLvl(-1, "%s", m_errorText);
        return false;
    }
    log.debugLvl(2, "Application mining MA mangled client name was set to [%s].", host.c_str());
    return true;
}

bool CWorkerThreadHM::appMiningRequest(EvMultiEntityRestoreTask* task) {
    CBrowseLog log(kTag);
    // The browse session of the request.
    CNMessageBase* session = child(&m_browseRequest, R::session);
    if (!session) {
        databrowse::BrowseSession fresh;
        fresh.setstring(databrowse::BrowseSession::f::sessionId, GenerateSessionId());
        m_browseRequest.setObjectAccessor(fresh, R::session);
    } else if (session->getstring(databrowse::BrowseSession::f::sessionId).empty()) {
        session->setstring(databrowse::BrowseSession::f::sessionId, GenerateSessionId());
    }
    const std::string sessionGuid =
        child(&m_browseRequest, R::session)->getstring(databrowse::BrowseSession::f::sessionId);

    // Subclient and job completion answers for the entity only to callers who may browse it.
    if (!authoriseMiningEntity(task)) return false;
    // The request goes on to the machine that mines (or back to a caller that takes it there): a media
    // agent, or a SharePoint server, which is a client and no part of the infrastructure.
    forgetCallerToken();

    // The entry-point caller's return channel, through the browse task of the private task.
    if (m_appMiningFromGui) {
        EvMultiEntityRestoreTask* priv = m_privateTask.get();
        priv->setTaskParameters(task->getJobId(), task->getTaskId(), task->getUserId(), task->getOptions(),
                                task->getKelmarchId(), task->getClientId(), task->getBackupSetId(),
                                task->getDestClientId(), task->getToTime(), task->getFromTime(),
                                apptype::code(task->getAppType()), task->getInstanceId(), task->getOptions1(),
                                task->getTaskLocale());
        priv->setDestClientId(2);
        priv->setSubClientId(task->getSubClientId() < 0 ? 1 : task->getSubClientId());
        priv->setUserName(task->getUserName());
        priv->setbrowseSessionGUID(sessionGuid.c_str());
        m_browseTask->getDataPtr()->workerId = m_workerId;
        // Only the caller's return channel: the mining browses no path of its own, so the path step of a
        // browse's set-up would fail (and log an error) for a mining that goes on as it should.
        m_browseTask->initReturnChannel(priv);
    }
    // 3.
    task->setbrowseSessionGUID(sessionGuid.c_str());
    if (!openMiningSession(task)) return false;

    // Application type; SharePoint with its block needs no media agent of its own.
    CNMessageBase* mining = miningBlock(m_browseRequest);
    if (!mining) {
        // Only a request with its mining block is marked for this road.
        setLastError(databrowse::BROWSE_ERR_GENERIC, "The request carries no application-mining block.");
        return false;
    }
    const apptype::EAppType appType = apptype::of(mining->getint64(M::appType));
    const bool sharePoint = appType == apptype::kSharePoint && child(mining, M::sharePointBlock) != nullptr;
    std::string maHost;
    m_miningLocale = static_cast<unsigned long>(task->getTaskLocale());
    if (!sharePoint) {
        if (!findMiningMediaAgent(task, appType, maHost)) return false;
        if (!completeMiningJobs(appType)) return false;
    } else if (!minedSiteBackedUp()) {
        return false;
    }
    mining = miningBlock(m_browseRequest);
    CNMessageBase* connection = mining->getObjectAccessor(M::connectionInfo, true);

    if (!m_appMiningFromGui) {
        log.debugLvl(1, "Get application mining request from non-JAVA GUI client.");
        if (!sharePoint) {
            connection->setstring(C::maHostName, maHost);
            setDirectAPIBrowseReq(&m_browseRequest);
            return true;
        }
        return sharePointNetworkRoad();
    }

    log.debugLvl(-1, "Get application mining request from JAVA GUI.");
    // Kept for the answers only when the request went out.
    setAsyncMode(true);
    const bool sent = sendMiningRequest(sharePoint, maHost, sessionGuid);
    if (!sent) setAsyncMode(false);
    return sent;
}

bool CWorkerThreadHM::sendMiningRequest(bool sharePoint, const std::string& maHost,
                                        const std::string& sessionGuid) {
    CBrowseLog log(kTag);
    CNMessageBase* mining = miningBlock(m_browseRequest);
    CNMessageBase* connection = mining->getObjectAccessor(M::connectionInfo, true);
    std::string hubmasterHost;
    if (ZYClient(ZYClient::hubmasterClientId()).getNetworkHostnameMangled(hubmasterHost) != 0) {
        setLastError(databrowse::BROWSE_ERR_GENERIC, "failed to fetch mangled host name of hubmaster");
        log.debugLvl(-1, "%s", m_errorText);
        return false;
    }
    connection->setstring(C::hubmasterHostName, hubmasterHost);
    connection->setstring(C::browseRouterName, g_poBrowseRouterThreadHM
                                                   ? g_poBrowseRouterThreadHM->getRouterName()
                                                   : std::string("BrowseRouter"));
    connection->setstring(C::workerId, getWorkerId());
    CNMessageBase* credentials = child(child(mining, M::miningDetails), D::at7_13);
    const std::string user = credentials ? credentials->getstring(databrowse::Msg54::f::userName) : "";
    const std::string password = passwordText(credentials, databrowse::Msg54::f::password);
    // The answers of the mining service end this request like a media agent's end.
    setOutstandingRequests(1);
    if (sharePoint) return SharepointBrowse() == 1;

    const bool withCredentials = !user.empty() && !password.empty();
    CZyNetwork* miningSession = nullptr;
    ODSSessionCache* cache = ODSSessionCache::Instance();
    // Held before the launch: whatever becomes of this request, the instance goes with the worker.
    m_miningPoolHold = CODSPoolHold(*cache, sessionGuid);
    const CUxError got = cache->GetSession(maHost.c_str(), ZYAPPMINING_APPNAME, sessionGuid.c_str(),
                                           withCredentials ? user.c_str() : nullptr,
                                           withCredentials ? password.c_str() : nullptr, miningSession);
    if (got.IsError()) {
        setLastError(
            databrowse::BROWSE_ERR_GENERIC,
            "Failed to get mining session. Please check: 1) Connectivity between Hubmaster and MediaAgent; "
            "2) Trovehall services status on MediaAgent.");
        log.debugLvl(-1, "%s", m_errorText);
        return false;
    }
    bool timedOut = false;
    const CUxError sent = miningSession->SendXMLMessage(m_browseRequest, 0, kMiningSendSeconds, timedOut);
    if (!sent.IsError()) expectAnswersFrom(*miningSession);
    // Released before anything else: the next request of any session may need it.
    ignoreResult(cache->ReleaseSession(maHost.c_str(), ZYAPPMINING_APPNAME, miningSession),
                 "the session is given up either way; the send's own failure is reported next");
    if (sent.IsError()) {
        setLastError(databrowse::BROWSE_ERR_GENERIC,
                     s_FormateDebugString("Faild to send message to [%s] with error [%d] for app mining.",
                                          maHost.c_str(), sent.GetErrorCode()));
        log.debugLvl(-1, "%s", m_errorText);
        return false;
    }
    return true;
}
