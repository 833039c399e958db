#include "service/fastbrowse_multiclient.h"

#include <ctime>

#include "Db/Tbl/APP_Application.h"
#include "fbDebug/fbdebug.h"
#include "framework/headerconstants.h"
#include "platform/entities/zyclient.h"
#include "platform/errors/cuxstring.h"
#include "platform/errors/fxerrorutil.h"
#include "platform/hubdb/hubdb.h"
#include "platform/indexing/clusterservicepack.h"
#include "platform/indexing/configloader.h"
#include "platform/indexing/indexingversion.h"
#include "platform/log/zytime.h"
#include "platform/msg/app_execute_sp.h"
#include "platform/msg/secured_message_handler.h"
#include "platform/net/zynetwork.h"
#include "platform/security/evsecuritymgr.h"
#include "service/browserouterthread.h"
#include "service/controllerthread.h"
#include "service/errorresponse.h"
#include "service/fastbrowsehm_api.h"
#include "service/routerfields.h"
#include "worker/authentication.h"
#include "worker/fastbrowsehmworkerthread.h"
#include "worker/requestlog.h"

namespace {

using namespace routerfields;
using R = databrowse::BrowseRequest::f;

constexpr int kSendSeconds = 120;
constexpr int kErrSerialize = 22;
constexpr int kErrNothingToFind = 61;
constexpr int kManyPaths = 99;
// An error of the find: `code` with its text.
CUxError findError(int code, const std::string& text) {
    return FXErrorUtil::ErrorInt(code, FXCodeLocation(__FILE__, __PRETTY_FUNCTION__, __LINE__), text.c_str());
}

const char* const kSendFailure = "Failed to send browse response back to caller with error [%s]";

CNMessageBase* routingBlock(databrowse::BrowseRequest& request) {
    return child(child(&request, R::indexing), databrowse::Msg91::f::indexingInfo);
}

CUxError sendOn(CZyNetwork* session, CNMessageBase& message, CBrowseLog& log) {
    if (!session) return findError(1, "no caller session");
    bool timedOut = false;
    CUxError sent = session->SendXMLMessage(message, 0, kSendSeconds, timedOut);
    if (sent.IsError()) log.debugLvl(0, kSendFailure, sent.AsString().c_str());
    return sent;
}

// The caller's client id as the network tells it (0 when it cannot be told).
unsigned long callerClientOf(CZyNetwork* session, std::string& name) {
    CUxString remote;
    if (!session || session->GetRemoteClientName(remote).IsError()) return 0;
    name = remote.c_str();
    return ZYClient::idOfProvenName(name);
}

// Sends one response of `type` (3 error, 4 warning) carrying `text` with code 1 to the caller.
void sendMessage(CZyNetwork* session, int64_t type, const std::string& text, CBrowseLog& log) {
    databrowse::BrowseResponse response = errorresponse::of(1, text, type);
    ignoreResult(sendOn(session, response, log), "sendOn logs a failed send; the caller is gone");
}

void sendWarning(CZyNetwork* session, const std::string& text, CBrowseLog& log) {
    log.debugLvl(0, "multi-client find: %s", text.c_str());
    sendMessage(session, errorresponse::kWarning, text, log);
}

// True when the user may browse the client or one of its subclients (the find keeps to those).
bool userMayBrowseAnyOf(int userId, long clientId) {
    EvSecurityCheck check(0);
    if (check.canBrowse(userId, hubdb::kDefaultKelmarchId, clientId, 0, 0, 0, 0, false, "")) return true;
    APP_Application subclients(nullptr);
    subclients.setIsolationType(4);
    subclients.setWhere("clientId=%ld", clientId);
    while (subclients.getNextRow(&subclients, nullptr, -1, 0) == zydb::DB_OK) {
        const APP_Application_t& row = *subclients.getDataPtr();
        if (check.canBrowse(userId, hubdb::kDefaultKelmarchId, clientId, static_cast<long>(row.appTypeId),
                            static_cast<long>(row.instance), static_cast<long>(row.backupSet),
                            static_cast<long>(row.id), false, ""))
            return true;
    }
    return false;
}

// Keeps the request's entities whose client is known and may be browsed by the caller (the token's
// user, else the caller the router caller rule judges for that client); every other one leaves the
// find with a warning to the caller, so that a find over what is left is never mistaken for the whole.
void keepBrowsableEntities(databrowse::BrowseRequest& request, int userId, const TDirectCaller& anonymous,
                           CZyNetwork* session, CBrowseLog& log) {
    using E = ZyEntities::GenericEntity::f;
    auto* entities = request.getlistobject(R::filteredEntities, false);
    if (!entities) return;
    for (auto it = entities->begin(); it != entities->end();) {
        CNMessageBase* entity = child(&*it, databrowse::EntityWithFilters::f::entity);
        const std::string name = textOf(entity, E::clientName);
        unsigned long clientId = static_cast<unsigned long>(intOf(entity, E::clientId));
        if (clientId == 0 && !name.empty() && ZYClient(name).getClientId(clientId) != 0) clientId = 0;
        std::string known;
        if (clientId != 0 && ZYClient(clientId).getName(known) != 0) clientId = 0;
        const std::string shown = name.empty() ? std::to_string(intOf(entity, E::clientId)) : name;
        bool allowed = false;
        if (clientId == 0) {
            sendWarning(session, "Client [" + shown + "] is not known; it is not searched", log);
        } else {
            if (userId > 0) {
                allowed = userMayBrowseAnyOf(userId, static_cast<long>(clientId));
            } else {
                TDirectCaller caller = anonymous;
                caller.clientId = static_cast<long>(clientId);
                allowed = decideDirectCaller(caller).verdict != TDirectCallerDecision::kRefused;
            }
            if (!allowed)
                sendWarning(session,
                            "You are not authorised to browse client [" + known + "]; it is not searched",
                            log);
        }
        it = allowed ? std::next(it) : entities->erase(it);
    }
}

}  // namespace

CBrowseMulticlient::CBrowseMulticlient() {
    if (g_poControllerThreadHM) m_workerId = g_poControllerThreadHM->generateWorkerId();
    I2::Utils::ConfigLoader loader;
    int value = 0;
    if (!loader.GetProperty(CONFIGID_HM_ALWAYS_REPLY_V1_BROWSE, "", value).IsError()) m_alwaysReplyV1 = value;
}

CUxError CBrowseMulticlient::Find(databrowse::BrowseRequest* request, CZyNetwork* session) {
    CBrowseLog log("CBrowseMulticlient::Find");
    log.debugLvl(0, "START - browse request with worker id [%s]", m_workerId.c_str());
    CUxError error = HandleMultiClientFind(request, session);
    if (error.IsError()) {
        std::string text = m_errorText.str();
        if (text.empty()) text = "Browse initialization failed with error.";
        log.debugLvl(0, "Browse initialization failed with error [%s] and message [%s].", text.c_str(),
                     error.GetErrorText().c_str());
        sendMessage(session, errorresponse::kError, text, log);
    }
    log.debugLvl(0, "END - browse request with worker id [%s]", m_workerId.c_str());
    return error;
}

CUxError CBrowseMulticlient::HandleMultiClientFind(databrowse::BrowseRequest* request, CZyNetwork* session) {
    CBrowseLog log("HandleMultiClientFind");
    if (!request) return findError(kErrSerialize, "no browse request");
    CNMessageBase* browseSession = request->getObjectAccessor(R::session, true);
    if (textOf(browseSession, databrowse::BrowseSession::f::sessionId).empty())
        browseSession->setstring(databrowse::BrowseSession::f::sessionId,
                                 CWorkerThreadHM::GenerateSessionId());
    std::string xml;
    const int serialized = request->serialize(xml);
    if (serialized != 0) {
        m_errorText << "Failed to serialize BrowseRequest with error code [" << serialized << "]";
        return findError(kErrSerialize, "Failed to serialize BrowseRequest with error code [" +
                                            std::to_string(serialized) + "]");
    }
    log.debugLvl(3, "browse xml [%s]", maskedRequestText(*request).c_str());

    std::string callerName;
    const unsigned long callerClientId = callerClientOf(session, callerName);
    const std::string token = textOf(request, R::token);
    std::string userName = textOf(request, R::userName);
    int userId = 0;
    if (!token.empty()) {
        log.debugLvl(3, "AuthToken:[%s]", kMaskedSecret);
        EvSecurityMgr security(0);
        std::string domain, fullName;
        const bool valid =
            security.GetUserInfoFromZetaTokenWithoutAuthentication(token, true, userId, userName, domain,
                                                                   fullName) == 1 ||
            security.GetSessionInfoFromZetaToken(token, true, userId, userName, domain, fullName) == 1;
        log.debugLvl(3, "AuthToken:[%s], UserId:[%d], UserName:[%s]", kMaskedSecret, userId,
                     userName.c_str());
        if (!valid) {
            m_errorText << "Error: Failed to authenticate the usertoken for session: "
                        << sessionGuid(*request) << " ...";
            return findError(kErrSerialize, "Error: Failed to authenticate the usertoken...");
        }
        log.debugLvl(3, "UserId:[%d], UserName[%s]", userId, userName.c_str());
    }
    // Without a token the request names its user itself: serving it as that user is acting as another
    // user, which only the router caller rule can allow; each client is judged on its own below.
    TDirectCaller caller;
    caller.checkClientMap = checkClientMapSetting();
    caller.act = userName.empty() ? EDirectCallerAct::kBrowse : EDirectCallerAct::kActAsUser;
    caller.callerClientId = callerClientId;
    if (token.empty()) {
        log.debugLvl(3, "AuthToken is empty");
        const bool anonymous = callerClientId == 0;
        log.debugLvl(1, "multi-client find caller [%lu] as user [%s]", callerClientId, userName.c_str());
        if (anonymous) {
            m_errorText << "Error: Failed to authenticate the usertoken for session: "
                        << sessionGuid(*request) << " ...";
            return findError(kErrSerialize, "Error: Failed to authenticate the usertoken...");
        }
        log.debugLvl(3, "UserId:[%d], Username[%s]", userId, userName.c_str());
    }
    if (!userName.empty()) request->setstring(R::userName, userName);
    keepBrowsableEntities(*request, userId, caller, session, log);
    if (auto* left = request->getlistobject(R::filteredEntities, false); !left || left->empty()) {
        m_errorText << "Nothing to Find";
        return findError(kErrNothingToFind, "Nothing to Find");
    }

    CNMessageBase* range = request->getObjectAccessor(R::timeRange, true);
    if (intOf(range, databrowse::BrowseTimeRange::f::toTime) == 0) {
        const long long now = static_cast<long long>(std::time(nullptr));
        range->setint64(databrowse::BrowseTimeRange::f::toTime, now);
        log.debugLvl(0, "to time was not specified, defaulting to %d", static_cast<int>(now));
    }

    databrowse::BrowseRequest prepared;
    CUxError ran = I2::Utils::ExecuteAppMgrSP(databrowse::BrowseRequest::TAG, *request, prepared);
    if (ran.IsError()) {
        m_errorText << "Failed to execute Stored Procedure";
        return ran;
    }
    CNMessageBase* routing = routingBlock(prepared);
    if (!has(routing, databrowse::IndexingInfo::f::indexDBInfo)) {
        m_errorText << "Nothing to Find";
        return findError(kErrNothingToFind, "Nothing to Find");
    }
    log.debugLvl(0, "mediaAgent [%s] will be used for the browse.",
                 textOf(routing, databrowse::IndexingInfo::f::mediaAgentName).c_str());
    routing->setstring(databrowse::IndexingInfo::f::routerName,
                       g_poBrowseRouterThreadHM ? g_poBrowseRouterThreadHM->getRouterName()
                                                : CBrowseRouterThreadHM::kServerName);
    routing->setstring(databrowse::IndexingInfo::f::workerId, m_workerId);
    smallDump("FBHMWORKER", &prepared);

    databrowse::SecuredBrowseRequest secured;
    CUxError sent = convertToSecureBrowseReq(callerName, prepared, secured) ? sendOn(session, secured, log)
                                                                            : sendOn(session, prepared, log);
    return sent;
}

bool CBrowseMulticlient::convertToSecureBrowseReq(std::string& callerClientName,
                                                  databrowse::BrowseRequest& prepared,
                                                  databrowse::SecuredBrowseRequest& secured) {
    CBrowseLog log("CBrowseMulticlient::convertToSecureBrowseReq");
    if (m_alwaysReplyV1 != 0) {
        log.debugLvl(2,
                     "Secured V2 browse protocol reply is disabled due to key [HM_ALWAYS_REPLY_V1_BROWSE]");
        return false;
    }
    // A caller without a certificate (a console acting with a user's token) has no service pack of its
    // own: the media agent the request names decides whether it reads the signed form.
    std::string judged = callerClientName;
    if (judged.empty())
        judged = textOf(routingBlock(prepared), databrowse::IndexingInfo::f::mediaAgentName);
    int level = I2::Utils::GetClientServicePack(judged);
    if (level <= 0) level = GetMinSPLevelInClusterClient(judged);
    if (level < kSecuredServicePack) {
        log.debugLvl(
            0,
            "V2 browse protocol is not supported by MA [at SP%d] for the multiclient request as it SP "
            "version level not above [%d]",
            level, kSecuredServicePack);
        return false;
    }
    if (CNMessageBase* routing = routingBlock(prepared)) {
        routing->setstring(databrowse::IndexingInfo::f::hubmasterHost, "");
        routing->setstring(databrowse::IndexingInfo::f::routerName, "");
    }
    std::string hubmasterName;
    if (ZYClient(ZYClient::hubmasterClientId()).getName(hubmasterName) != 0 || hubmasterName.empty()) {
        log.debugLvl(0, "Failed to retrieve HM's client name to add in V2 browse protocol");
        return false;
    }
    I2::SecuredMessageHandler signer;
    if (!signer.secureBrowseRequest(prepared, hubmasterName, secured)) {
        log.debugLvl(0, "Failed to generate signature for secured browse request");
        return false;
    }
    return true;
}

int CBrowseMulticlient::GetMinSPLevelInClusterClient(std::string& clientName) {
    CBrowseLog log("CBrowseMulticlient::GetMinSPLevelInClusterClient");
    int level = 0;
    switch (I2::Utils::GetMinServicePackOfClusterClient(clientName, level)) {
        case I2::Utils::EClusterServicePack::kNotCluster:
            log.debugLvl(3, "Client [%s] is not a cluster client", clientName.c_str());
            return 0;
        case I2::Utils::EClusterServicePack::kLowest:
            log.debugLvl(3,
                         "Client [%s] is clustered with lowest Service Pack level of physical client as [%d]",
                         clientName.c_str(), level);
            return level;
        default:
            return 0;
    }
}

void CBrowseMulticlient::smallDump(const char* tag, databrowse::BrowseRequest* request) {
    CBrowseLog log(tag);
    log.debugLvl(0, "browse session [%s]", sessionGuid(*request).c_str());
    auto* paths = request->getlistobject(R::paths, false);
    if (paths)
        for (CNMessageBase& path : *paths) {
            const std::string text = path.getstring(databrowse::BrowsePath::f::path);
            const CNMessageBase* detail = child(&path, databrowse::BrowsePath::f::detail);
            std::string parameters;
            if (!detail)
                log.debugLvl(0, "browse path [%s]", text.c_str());
            else if (detail->serialize(parameters) == 0)
                log.debugLvl(0, "browse path [%s] with parameters [%s]", text.c_str(), parameters.c_str());
            else
                log.debugLvl(0, "Failed to serialize optional path parameters of browse path [%s]",
                             text.c_str());
        }
    const CNMessageBase* range = child(request, R::timeRange);
    const long fromTime = static_cast<long>(intOf(range, databrowse::BrowseTimeRange::f::fromTime));
    const long toTime = static_cast<long>(intOf(range, databrowse::BrowseTimeRange::f::toTime));
    char fromText[ZYTIME_BUFFER_SIZE] = {}, toText[ZYTIME_BUFFER_SIZE] = {}, nowText[ZYTIME_BUFFER_SIZE] = {};
    ZyTime(fromTime == 0 ? 1 : fromTime, fromText, 0);
    ZyTime(toTime, toText, 0);
    log.debugLvl(0, "from [%ld : %s] to [%ld : %s]", fromTime, fromText, toTime, toText);
    const CNMessageBase* advanced = child(request, R::advOptions);
    log.debugLvl(0, "copy precedence [%lu] user [%s]",
                 static_cast<unsigned long>(intOf(advanced, databrowse::Msg63::f::copyPrecedence)),
                 textOf(request, R::userName).c_str());
    const long now = static_cast<long>(std::time(nullptr));
    ZyTime(now, nowText, 0);
    log.debugLvl(2, "current time [%ld : %s]", now, nowText);
    if (has(advanced, databrowse::Msg63::f::browseViewName))
        log.debugLvl(0, "browse-view [%s]", textOf(advanced, databrowse::Msg63::f::browseViewName).c_str());
    const size_t count = paths ? paths->size() : 0;
    if (count > kManyPaths && log.getDebugLevel() <= 1)
        log.debugLvl(1, "Prepared browse Request with [%u] source files", static_cast<unsigned>(count));
    else
        log.debugLvl(0, "Prepared browse Request %s", maskedRequestText(*request).c_str());
}
