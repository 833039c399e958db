#include "service/routertoken.h"

#include <string>

#include "Db/Proc/AppSharingGetShareFolderOwner.h"
#include "framework/headerconstants.h"
#include "planning/confmgr.h"
#include "planning/confrecord.h"
#include "platform/entities/apptypes.h"
#include "platform/indexing/configloader.h"
#include "platform/net/zynetwork.h"
#include "platform/security/evsecuritymgr.h"
#include "platform/security/evsecuritynew.h"
#include "platform/security/userdirectory.h"
#include "service/directtaskprep.h"
#include "service/routerentities.h"
#include "service/routerfields.h"
#include "worker/authentication.h"
#include "worker/requestlog.h"

namespace {

using namespace routerfields;
using R = databrowse::BrowseRequest::f;

const char* const kTokenRejected = "Error: Failed to authenticate the usertoken...";
const char* const kCallerRefused = "Error: Failed to authenticate the caller to act as the requested user...";

// Operations that act on a user's own data when no token names the user.
bool actsAsRequestUser(int64_t operation) {
    return operation == 7 || operation == 18 || operation == 13;
}

const char* masked(const std::string& token) {
    return token.empty() ? "" : kMaskedSecret;
}

// The user of this step.
struct TRoutedUser {
    int id = 0;
    std::string name;
};

// The token's user, through the token calls; false when neither call accepts the token.
bool tokenUser(EvSecurityMgr& security, const std::string& token, TRoutedUser& user, std::string& domain) {
    std::string fullName;
    if (security.GetUserInfoFromZetaTokenWithoutAuthentication(token, true, user.id, user.name, domain,
                                                               fullName) == 1)
        return true;
    return security.GetSessionInfoFromZetaToken(token, true, user.id, user.name, domain, fullName) == 1;
}

void resourceDomain(TDirectTask& t, const TRoutedUser& user, const std::string& domain, CBrowseLog& log) {
    bool enabled = false;
    std::string guid, name, extra1, extra2;
    if (!GetResourceDomainUserDetails(domain, user.name, enabled, guid, name, extra1, extra2)) {
        log.debugLvl(3, "Error: Failed to check if Resource Domain is enabled for user:[%s]",
                     user.name.c_str());
    } else if (!enabled) {
        log.debugLvl(3, "Resource Domain is not enabled for user:[%s]", user.name.c_str());
    } else {
        log.debugLvl(
            3, "UserId:[%d], UserName[%s], sUserNameInResourceDomain[%s], sUserGUIDInResourceDomain[%s],",
            user.id, user.name.c_str(), name.c_str(), guid.c_str());
        t.worker->setIsResourceDomainEnabled(true);
        t.worker->setResourceDomainUserGUID(guid);
    }
}

// The user a request without token names: its job's owner, else (erase and the like) its user entity.
TRoutedUser namedUser(const TDirectTask& t) {
    TRoutedUser user;
    const long long jobId = intOf(flagBlock(t.request), databrowse::Msg9::f::alertSessionId);
    if (jobId > 0) {
        long userId = 0;
        if (GetJobUserId(jobId, userId) == 0) {
            user.id = static_cast<int>(userId);
            EvExternal users(0);
            std::string login;
            if (users.getUserLogin(userId, login) == 0) user.name = login;
        }
    }
    const CNMessageBase* caller = child(&t.request, R::caller);
    const CNMessageBase* entity = child(caller, ZyEntities::Msg74::f::user);
    if (user.id == 0 && user.name.empty() && actsAsRequestUser(intOf(&t.request, R::opType)) && entity) {
        user.id = static_cast<int>(intOf(entity, ZyEntities::UserEntity::f::userId));
        user.name = textOf(entity, ZyEntities::UserEntity::f::userName);
    }
    return user;
}

// A caller refused its token or its right to act: the permission code tells its caller so, whatever the
// words.
bool refuse(TDirectTask& t, const char* text) {
    t.replyError = databrowse::BrowseError();
    t.recordError(text, databrowse::BROWSE_ERR_PERMISSION);
    return false;
}

// A shared-folder browse runs as the folder's owner, for a validated caller the folder is shared with.
void sharedFolderOwner(TDirectTask& t, bool tokenValid, int callerUserId, CBrowseLog& log) {
    if (intOf(options(t.request), databrowse::BrowseOptions::f::at23_23) == 0) return;
    const int folderId = static_cast<int>(
        intOf(child(selectionBlock(t.request), databrowse::BrowseAdvancedConfig::f::sharedFolderBlock),
              databrowse::Msg12::f::sharedFolderId));
    if (folderId == 0) {
        log.debugLvl(0, "Shared folder Id is not set, user details cannot be obtained");
        return;
    }
    bool shared = false;
    if (!tokenValid || IsFolderSharedWithUser(folderId, callerUserId, shared) != 0 || !shared) {
        log.debugLvl(
            0,
            "Shared folder [%d] is not shared with the authenticated caller; the browse runs as the caller",
            folderId);
        return;
    }
    log.debugLvl(0, "Calling AppSharingGetShareFolderOwner for shared folder id [%d] ", folderId);
    AppSharingGetShareFolderOwner owner(nullptr);
    owner.setValues(folderId);
    const int rc = owner.getNextRow(&owner, nullptr, 0, 0);
    if (rc != 0) {
        log.debugLvl(0, "Failed to get user details for shared folder with error %d", rc);
        return;
    }
    const std::string ownerName = owner.getDataPtr()->o_userName;
    if (ownerName.empty()) {
        log.debugLvl(0, "Shared folder username is empty");
        return;
    }
    log.debugLvl(0, "Overriding username [%s]  with [%s] for shared folder browse", t.task->getUserName(),
                 ownerName.c_str());
    t.task->setUserName(ownerName.c_str());
    t.task->setUserId(owner.getDataPtr()->o_userId);
}

}  // namespace

bool identifyRoutedCaller(TDirectTask& t, CZyNetwork* session, CBrowseLog& log) {
    if (t.caller.asked) return t.caller.refusal.empty();
    t.caller.asked = true;
    const std::string token = textOf(&t.request, R::token);
    const std::string guid = sessionGuid(t.request);
    if (!token.empty())
        log.debugLvl(3, "AuthToken:[%s]", masked(token));
    else
        log.debugLvl(3, "AuthToken is empty");
    // The caller's client: the router caller rule needs it, and the worker checks it again. A caller
    // without a certificate (a console on a user's desk) has none and acts only with its user's token.
    t.caller.callerClientId = routedCallerClientId(session);
    // An anonymous caller acts only with a user's token.
    if (t.caller.callerClientId == 0 && token.empty()) {
        log.debugLvl(0, "Error: Failed to get remote client id for session :[%s]...", guid.c_str());
        t.caller.refusal = "Error: Failed to get client id for authorization";
        return false;
    }
    if (!token.empty()) {
        EvSecurityMgr security(0);
        security.setRequestReads(t.task ? t.task->requestReads() : nullptr);
        TRoutedUser user;
        t.caller.tokenValid = tokenUser(security, token, user, t.caller.domain);
        t.caller.userId = user.id;
        t.caller.userName = user.name;
        log.debugLvl(3, "AuthToken:[%s], UserId:[%d], UserName:[%s]", masked(token), user.id,
                     user.name.c_str());
        if (!t.caller.tokenValid) {
            log.debugLvl(0, "Error: Failed to authenticate the usertoken for session:[%s]...", guid.c_str());
            t.caller.refusal = security.tokenRefusal(kTokenRejected);
            return false;
        }
    }
    return true;
}

bool authenticateRoutedRequest(TDirectTask& t, CZyNetwork* session, CBrowseLog& log) {
    if (!identifyRoutedCaller(t, session, log)) return refuse(t, t.caller.refusal.c_str());
    const std::string token = textOf(&t.request, R::token);
    const std::string guid = sessionGuid(t.request);
    const unsigned long callerClientId = t.caller.callerClientId;
    t.task->setCallerClientId(callerClientId);

    TRoutedUser user;
    const bool tokenValid = t.caller.tokenValid;
    if (tokenValid) {
        user.id = t.caller.userId;
        user.name = t.caller.userName;
        const apptype::EAppType appType =
            apptype::of(intOf(entity(t.request), ZyEntities::GenericEntity::f::applicationId));
        if (!user.name.empty() &&
            (appType == apptype::kExchangeMailbox || appType == apptype::kExchangeMonorun))
            resourceDomain(t, user, t.caller.domain, log);
        if (CConfRecordRef record = g_poConfMgr ? g_poConfMgr->holdConfRec(guid) : CConfRecordRef())
            record->setAuthToken(token);
        t.task->setUserId(user.id);
        t.task->setUserName(user.name.c_str());
        log.debugLvl(3, "UserId:[%d], UserName[%s]", user.id, user.name.c_str());
    } else {
        user = namedUser(t);
        if (user.id != 0 || !user.name.empty()) {
            // Running as a job's owner or as a named user is acting as another user: never on trust.
            TDirectCaller caller;
            caller.checkClientMap = checkClientMapSetting();
            caller.act = EDirectCallerAct::kActAsUser;
            caller.callerClientId = callerClientId;
            caller.clientId = t.clientId;
            const TDirectCallerDecision decision = decideDirectCaller(caller);
            log.debugLvl(1, "caller [%lu] acting as user [%d] of client [%d]: %s", callerClientId, user.id,
                         t.clientId, decision.reason.c_str());
            if (decision.verdict == TDirectCallerDecision::kRefused) return refuse(t, kCallerRefused);
        }
        t.task->setUserId(user.id);
        t.task->setUserName(user.name.c_str());
        log.debugLvl(3, "UserId:[%d], Username[%s]", user.id, user.name.c_str());
    }
    sharedFolderOwner(t, tokenValid, user.id, log);
    return true;
}
