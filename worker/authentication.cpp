// The authentication step of a request and the browse-rights members of the worker, and the rule for
// callers that reach the service through "BrowseRouter" without a user name.
#include "worker/authentication.h"

#include <strings.h>

#include <cstdlib>
#include <cstring>

#include "appbrowse/mailboxaccess.h"
#include "fbDebug/fbdebug.h"
#include "framework/browseaccess.h"
#include "framework/headerconstants.h"
#include "platform/config/zyplatforminfo.h"
#include "platform/entities/apptypes.h"
#include "platform/entities/zyclient.h"
#include "platform/errors/evmessagecontainer.h"
#include "platform/errors/evmessageids.h"
#include "platform/indexing/configloader.h"
#include "platform/security/accesscontroller.h"
#include "platform/security/evsecuritymgr.h"
#include "platform/security/evsecuritynew.h"
#include "platform/security/rights.h"
#include "platform/security/useraccess.h"
#include "platform/tasks/evrestoretask.h"
#include "worker/fastbrowsehmworkerthread.h"

namespace {

constexpr const char* kTag = "FBHMWORKER";
constexpr unsigned int kRootBrowseOption = 109;
constexpr int kNoAccessStringCategory = 1000;
constexpr int kObjectIdCategory = 2;
constexpr int kEntityTypeClient = 3;
constexpr int kEntityTypeAppType = 4;

bool hasUserName(const EvRestoreTask& task) {
    const char* name = task.getUserName();
    return name != nullptr && *name != '\0';
}

// Operations that erase data act on the data of whoever they name: never run for an unnamed caller
// on trust.
bool isEraseOperation(long opType) {
    return opType == 7 || opType == 8 || opType == 9 || opType == 13 || opType == 18;
}

// The erase operations that need the delete capability of their user.
bool needsDeleteCapability(long opType) {
    return opType == 7 || opType == 13 || opType == 18;
}

const char* trueFalse(bool value) {
    return value ? "True" : "False";
}

// The ids of one entity of the task's list; unset ids stay 0, an unset app type falls back to the
// entry's and then to the task's.
struct TEntityIds {
    long kelmarchId = 0, clientId = 0, appType = 0, instanceId = 0, backupSetId = 0, subclientId = 0;
};

TEntityIds entityIds(databrowse::EntityWithFilters& entry, CNMessageBase& entity, long taskAppType) {
    using G = ZyEntities::GenericEntity::f;
    auto idOf = [&entity](const MsgFieldRef& f) {
        return entity.isSet(f) ? static_cast<long>(entity.getint64(f)) : 0L;
    };
    TEntityIds ids;
    ids.kelmarchId = idOf(G::kelmarchId);
    ids.clientId = idOf(G::clientId);
    ids.appType = idOf(G::applicationId);
    if (!entity.isSet(G::applicationId)) {
        const long entryAppType =
            static_cast<long>(entry.getint64(databrowse::EntityWithFilters::f::appType));
        ids.appType = entryAppType != 0 ? entryAppType : taskAppType;
    }
    ids.instanceId = idOf(G::instanceId);
    ids.backupSetId = idOf(G::backupsetId);
    ids.subclientId = idOf(G::subclientId);
    return ids;
}

}  // namespace

bool isLocalUserName(const char* userName) {
    return userName == nullptr || std::strchr(userName, '\\') == nullptr;
}

int checkClientMapSetting() {
    I2::Utils::ConfigLoader loader;
    int value = 1;
    if (loader.GetProperty(CONFIGID_HM_CHECK_CLIENT_MAP, "1", value).IsError()) {
        CBrowseLog(kTag).debugLvl(0, "cannot read [%s]; callers' client maps will be checked",
                                  CONFIGID_HM_CHECK_CLIENT_MAP.c_str());
        return 1;
    }
    return value;
}

bool isTrustedPeer(unsigned long callerClientId) {
    if (callerClientId == 0) return false;
    if (callerClientId == ZYClient::hubmasterClientId()) return true;
    std::string name, list;
    if (ZYClient(callerClientId).getName(name) != 0 || name.empty()) return false;
    ZYPlatformInfo::getString(kTrustedPeersSection, kTrustedPeersValue, &list);
    for (size_t start = 0; start <= list.size();) {
        size_t end = list.find(',', start);
        if (end == std::string::npos) end = list.size();
        std::string entry = list.substr(start, end - start);
        entry.erase(0, entry.find_first_not_of(" \t"));
        entry.erase(entry.find_last_not_of(" \t") + 1);
        if (!entry.empty() && strcasecmp(entry.c_str(), name.c_str()) == 0) return true;
        start = end + 1;
    }
    return false;
}

TDirectCallerDecision decideDirectCaller(const TDirectCaller& caller) {
    TDirectCallerDecision d;
    // Trust without a user is given to a proven peer the installation names, never to a claim in the
    // request nor to an anonymous peer.
    if (caller.checkClientMap == 0 && caller.act != EDirectCallerAct::kActAsUser &&
        isTrustedPeer(caller.callerClientId)) {
        d.verdict = TDirectCallerDecision::kTrusted;
        d.reason = "trusted peer [" + std::to_string(caller.callerClientId) + "] (client-map check off)";
        return d;
    }
    if (!caller.token.empty()) {
        EvSecurityMgr manager(caller.jobId);
        manager.setRequestReads(caller.reads);
        int userId = 0;
        std::string userName, domain, fullName;
        if (manager.GetUserInfoFromZetaTokenWithoutAuthentication(caller.token, true, userId, userName,
                                                                  domain, fullName) == 1 ||
            manager.GetSessionInfoFromZetaToken(caller.token, true, userId, userName, domain, fullName) ==
                1) {
            d.verdict = TDirectCallerDecision::kTokenUser;
            d.tokenUserId = userId;
            d.tokenUserName = userName;
            d.reason = "valid token of user [" + std::to_string(userId) + "]";
            return d;
        }
    }
    if (caller.checkClientMap == 0) {
        d.reason =
            caller.act == EDirectCallerAct::kActAsUser
                ? "acting as another user needs a valid token or a calling client the client map allows"
                : "a caller without a valid token that is no configured trusted peer";
        return d;
    }
    // A caller the network could not identify has no client map entry to be allowed by.
    if (caller.callerClientId == 0) {
        d.reason = "the calling client is not identified";
        return d;
    }
    if (static_cast<long>(caller.callerClientId) == caller.clientId) {
        d.verdict = TDirectCallerDecision::kCallerAllowed;
        d.reason = "the calling client is the browsed client";
        return d;
    }
    AccessController access;
    const int rc = access.canAccess(static_cast<long>(caller.callerClientId), caller.clientId);
    if (rc == 1) {
        d.verdict = TDirectCallerDecision::kCallerAllowed;
        d.reason = "the client map allows calling client [" + std::to_string(caller.callerClientId) + "]";
        return d;
    }
    d.reason = rc < 0 ? "the client map cannot be read: " + access.getErrorString()
                      : "the client map does not allow calling client [" +
                            std::to_string(caller.callerClientId) + "] for client [" +
                            std::to_string(caller.clientId) + "]";
    return d;
}

bool callerMaySeeClient(const TEntityCaller& caller, long clientId) {
    int userId = caller.userId;
    if (userId <= 0 && caller.directWithoutUser) {
        TDirectCaller direct = caller.direct;
        direct.act = EDirectCallerAct::kBrowse;
        direct.clientId = clientId;
        const TDirectCallerDecision d = decideDirectCaller(direct);
        if (d.verdict != TDirectCallerDecision::kTokenUser)
            return d.verdict != TDirectCallerDecision::kRefused;
        userId = d.tokenUserId;
    }
    return userId > 0 && EvVisibilityCheck(0, caller.reads).canSeeClient(userId, clientId);
}

TMaySeeClient maySeeClientOf(TEntityCaller caller) {
    return [caller = std::move(caller)](long clientId) { return callerMaySeeClient(caller, clientId); };
}

bool CWorkerThreadHM::authenticateRequest(EvMultiEntityRestoreTask* task, TRequestAuth& auth) {
    CBrowseLog log(kTag);
    const bool directWithoutUser = m_directAPI && !hasUserName(*task);

    // A direct caller without a user name: the rule for such callers decides; a valid token makes its
    // user the task's user, whose own rights are then checked like any other user's.
    auto directCaller = [&]() REQUIRES(m_workerLock) -> TDirectCallerDecision::Verdict {
        TDirectCaller caller;
        caller.checkClientMap = m_checkClientMap;
        caller.act = isEraseOperation(task->getBrowseOpType()) ? EDirectCallerAct::kActAsUser
                                                               : EDirectCallerAct::kBrowse;
        caller.token = m_browseRequest.getstring(databrowse::BrowseRequest::f::token);
        caller.callerClientId = task->getCallerClientId();
        caller.clientId = task->getClientId();
        caller.jobId = static_cast<long long>(task->getJobId());
        caller.reads = m_reads;
        if (m_checkClientMap == 0)
            log.debugLvl(0, "Skipping authentication as this is direct api...");
        else
            log.debugLvl(0, "certificate based authentication as this is a direct api...");
        const TDirectCallerDecision d = decideDirectCaller(caller);
        log.debugLvl(1, "direct caller [%lu] for client [%ld]: %s", caller.callerClientId, caller.clientId,
                     d.reason.c_str());
        if (d.verdict == TDirectCallerDecision::kTokenUser) {
            task->setUserId(d.tokenUserId);
            task->setUserName(d.tokenUserName.c_str());
        } else if (d.verdict == TDirectCallerDecision::kRefused) {
            // An unidentified or unmapped caller gets no prepared request; say why.
            EvMessageContainer message;
            message.SetMessageID(evmsg::kBrowseAccessDenied, true);
            setLastError(databrowse::BROWSE_ERR_PERMISSION,
                         getErrorMsgContainer(message, static_cast<unsigned long>(task->getTaskLocale())));
        }
        return d.verdict;
    };

    if (task->getAppType() == apptype::kVirtualServer) {
        const char* first = task->getFirstPath(EvRestoreTask::kBrowsePathList);
        const std::string path = first ? first : "\\";
        const bool rootBrowse = (path == "/" || path == "\\") && task->isSet(kRootBrowseOption);
        TDirectCallerDecision::Verdict verdict = TDirectCallerDecision::kRefused;
        if (directWithoutUser) verdict = directCaller();
        if (directWithoutUser && verdict != TDirectCallerDecision::kTokenUser) {
            if (verdict == TDirectCallerDecision::kRefused) auth.authFailed = true;
        } else if (rootBrowse) {
            // The root lists the hypervisor's VMs; intake filters them by the user's own VMs.
            log.debugLvl(0, "Skipping authentication as this is direct api...");
        } else if (!handleVSARequest(task, auth.vmGuids)) {
            auth.authFailed = true;
        }
        // The task of this platform carries no media-agent override; a caller's override arrives
        // through setFbrMa.
        if (!m_fbrMediaAgent.empty())
            log.debugLvl(0, "FBR ma is sent from GUI for override, value [%s]", m_fbrMediaAgent.c_str());
        return true;
    }

    // A report reads the same data as a browse: the caller's rights are checked first, like any other;
    // only then is the web server's client looked up.
    const bool ciReport =
        task->getBrowseOpType() == databrowse::BROWSE_OP_CONTENT_INDEX_REPORT && task->getCICloudId() > 0;
    auto reportClient = [&]() REQUIRES(m_workerLock) {
        if (!ciReport || auth.authFailed) return true;
        auth.findMode = 4;
        const std::string host = task->getWebServerHostName();
        ZYClient webServer(host, true, nullptr);
        unsigned long clientId = 0;
        if (webServer.getClientId(clientId) != 0) {
            log.debugLvl(0, "ERROR: oMA.getClientId() Failed to get client id for oMA(%s).", host.c_str());
            setLastError(databrowse::BROWSE_ERR_GENERIC,
                         "The web server [" + host + "] is not a known client");
            return false;
        }
        auth.ciClientId = static_cast<long>(clientId);
        return true;
    };

    if (directWithoutUser) {
        const TDirectCallerDecision::Verdict verdict = directCaller();
        if (verdict == TDirectCallerDecision::kRefused) {
            auth.authMode = 0;
            auth.authFailed = true;
            return true;
        }
        if (verdict != TDirectCallerDecision::kTokenUser) {
            auth.authMode = 2;
            return reportClient();
        }
    }
    if (!AuthenticateUser(task, auth.authMode, isLocalUserName(task->getUserName()))) {
        log.debugLvl(0, "Authentication failure for BrowseSession[%s] for UserId:[%lu]",
                     task->getbrowseSessionGUID(), static_cast<unsigned long>(task->getUserId()));
        auth.authFailed = true;
    }
    return reportClient();
}

bool CWorkerThreadHM::AuthenticateUser(EvMultiEntityRestoreTask* task, int& authMode, bool isNimbraUser) {
    CBrowseLog log(kTag);
    const int userId = static_cast<int>(task->getUserId());
    const unsigned long locale = static_cast<unsigned long>(task->getTaskLocale());
    EvSecurityCheck check(static_cast<long long>(task->getJobId()), m_reads);
    const std::string accessText = browseAccessText(m_browseRequest);

    const bool canBrowse =
        check.canBrowse(userId, task->getKelmarchId(), task->getClientId(), apptype::code(task->getAppType()),
                        task->getInstanceId(), task->getBackupSetId(), 0, false, accessText);
    authMode = 0;
    bool canBrowseAsEndUser = false;
    if (canBrowse) {
        authMode = 2;
    } else if (!isNimbraUser) {
        canBrowseAsEndUser = check.canBrowse(userId, task->getKelmarchId(), task->getClientId(),
                                             apptype::code(task->getAppType()), task->getInstanceId(),
                                             task->getBackupSetId(), 0, true, accessText);
        if (canBrowseAsEndUser) {
            authMode = 1;
            const int category = ZyUserAccess::checkAppType(apptype::code(task->getAppType()));
            bool accessStringFailed = false;
            if (category != kNoAccessStringCategory) {
                std::string info;
                if (EvJobMgr::getUserAccessInfoString(info, task->getUserName(),
                                                      static_cast<long long>(task->getJobId()))) {
                    m_userAccessInfo = info;
                } else {
                    log.debugLvl(
                        1, "Error returned while fetching user access information. Failing the operation.");
                    accessStringFailed = true;
                    authMode = 0;
                }
            }
            if (category == kObjectIdCategory) {
                EvSecurityMgr manager(static_cast<long long>(task->getJobId()));
                std::string objectId;
                if (manager.GetFromUsersPropDB(userId, "Object ID", objectId, nullptr)) {
                    m_userObjectId = objectId;
                    // A failed access-string fetch stays a denial: the object id alone would let the end
                    // user browse confined by less than the access string says.
                    if (!accessStringFailed) authMode = 1;
                } else {
                    log.debugLvl(1, "Error returned while fetching objectID . Failing the operation.");
                }
            }
        }
    }
    log.debugLvl(1, "bCanBrowse[%s], bCanBrowseAsEndUser[%s], isNimbraUser[%s]", trueFalse(canBrowse),
                 trueFalse(canBrowseAsEndUser), trueFalse(isNimbraUser));

    // Every entity the request browses must be covered: one the user may not browse refuses the whole
    // request, and none raises the rights the task's own entity gave.
    bool entityDenied = false;
    for (databrowse::EntityWithFilters& entry : task->getEntityList()) {
        CNMessageBase* entity = entry.getObjectAccessor(databrowse::EntityWithFilters::f::entity, false);
        if (authMode == 0 || entity == nullptr) continue;
        const TEntityIds ids = entityIds(entry, *entity, apptype::code(task->getAppType()));
        // The same kind of rights the task's own entity was granted with (an end user's, or full).
        if (check.canBrowse(userId, ids.kelmarchId, ids.clientId, ids.appType, ids.instanceId,
                            ids.backupSetId, ids.subclientId, authMode == 1, accessText))
            continue;
        log.debugLvl(1, "Entity (%ld, %ld, %ld, %ld, %ld) of the request is not browsable by user [%d]",
                     ids.kelmarchId, ids.clientId, ids.appType, ids.backupSetId, ids.subclientId, userId);
        entityDenied = true;
        break;
    }
    if (entityDenied) authMode = 0;
    // The delete capability is asked of a user who may browse the data: one who may not is refused as
    // for any data he may not browse, whether it exists or not.
    if (authMode != 0 && needsDeleteCapability(task->getBrowseOpType()) && !CanUserDeleteData(task)) {
        log.debugLvl(-1, "User [%ld] does not have required capability to delete data.", task->getUserId());
        EvMessageContainer message;
        message.SetMessageID(evmsg::kNoDeleteCapability, true);
        setLastError(databrowse::BROWSE_ERR_PERMISSION, getErrorMsgContainer(message, locale));
        return false;
    }
    if (authMode != 0) return true;

    log.debugLvl(1, "%s", check.getResponseString());
    const CNMessageBase* flags = nullptr;
    if (CNMessageBase* adv =
            m_browseRequest.getObjectAccessor(databrowse::BrowseRequest::f::advOptions, false))
        if (CNMessageBase* config = adv->getObjectAccessor(databrowse::Msg63::f::advancedConfig, false))
            flags = config->getObjectAccessor(databrowse::BrowseAdvancedConfig::f::flagBlock, false);
    const long long alertSession = flags ? flags->getint64(databrowse::Msg9::f::alertSessionId) : 0;
    const char* guid = task->getbrowseSessionGUID();
    if (alertSession > 0 && guid && *guid && std::atoll(guid) == alertSession)
        raiseBrowseAccessAlert(*task, task->getUserId(), check.getResponseString());

    const TBrowseDenial denial = browseDenialError(check, locale);
    setLastError(denial.code, denial.text);
    return false;
}

bool CWorkerThreadHM::authenticateMailbox(EvMultiEntityRestoreTask* task, TRequestAuth& auth) {
    if (auth.authFailed || !isMailboxAppType(task->getAppType())) return true;
    CBrowseLog log(kTag);
    if (!handleExchangeRequest(task, auth.authMode, auth.mailboxFilterPath, auth.mailboxPath,
                               auth.useMailboxPath, auth.mailboxAcrossUpgrade, auth.authFailed,
                               auth.mailboxGuid)) {
        log.debugLvl(0, "Error: Failure in handleExchangeRequest");
        return false;
    }
    if (auth.authFailed) {
        log.debugLvl(0, "Authentication failure for BrowseSession[%s] for UserId:[%lu]",
                     task->getbrowseSessionGUID(), static_cast<unsigned long>(task->getUserId()));
        // The caller is told why, like any refused browse.
        EvMessageContainer message;
        message.SetMessageID(evmsg::kBrowseAccessDenied, true);
        setLastError(databrowse::BROWSE_ERR_PERMISSION,
                     getErrorMsgContainer(message, static_cast<unsigned long>(task->getTaskLocale())));
    }
    return true;
}

bool CWorkerThreadHM::CanUserDeleteData(EvMultiEntityRestoreTask* task) {
    EvSecurityNew security(nullptr, static_cast<int>(task->getTaskLocale()));
    bool allowed = false;
    if (security.hasPermissionForUserOnEntity(allowed, zysec::kPermDeleteData,
                                              static_cast<int>(task->getUserId()), kEntityTypeClient,
                                              task->getClientId(), kEntityTypeAppType,
                                              apptype::code(task->getAppType()), 0, 0, 0, 0, 0, 0) != 0)
        return false;
    return allowed;
}
