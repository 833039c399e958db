// SharePoint browse: the application-mining index service started on a SharePoint server through the
// on-demand launcher and handed the request, which it answers itself; the server chosen from the
// request's ids, a farm's primary member server, or the first member server of a farm that answers.
// Refusals become the worker's error, which its caller sends once. On the caller's thread under the
// worker's lock.
#include "appbrowse/appmininglookups.h"
#include "fbDebug/fbdebug.h"
#include "platform/entities/apptypes.h"
#include "platform/entities/entityconfig.h"
#include "platform/entities/installmanager.h"
#include "platform/entities/sharepointfarm.h"
#include "platform/entities/zyclient.h"
#include "platform/errors/evevent.h"
#include "platform/errors/evmessageids.h"
#include "platform/log/evdebug.h"
#include "platform/net/zynet_errors.h"
#include "platform/net/zyondemand_client.h"
#include "worker/fastbrowsehmworkerthread.h"
#include "worker/requestlog.h"

namespace {

using R = databrowse::BrowseRequest::f;
using M = databrowse::Msg60::f;
using S = databrowse::Msg53::f;
using L = CNSession::LaunchOnDemandServiceReq::f;

const char* const kMiningIndexService = "ZYAppMinningIdxService";
constexpr int64_t kFarmLevel = 6;
constexpr int kSendSeconds = 300;
constexpr int kDisconnectSeconds = 120;

CNMessageBase* child(CNMessageBase* parent, const MsgFieldRef& f) {
    return parent && parent->isSet(f) ? parent->getObjectAccessor(f, false) : nullptr;
}

CNMessageBase* miningBlockOf(databrowse::BrowseRequest& request) {
    return child(child(child(&request, R::advOptions), databrowse::Msg63::f::advancedConfig),
                 databrowse::BrowseAdvancedConfig::f::appMiningBlock);
}

CNMessageBase* selectionOf(databrowse::BrowseRequest& request) {
    return child(child(miningBlockOf(request), M::sharePointBlock), databrowse::Msg57::f::at3_6);
}

// The first id, else the second (-1 when the selection does not hold it).
void selectionIds(databrowse::BrowseRequest& request, int& firstId, int& secondId) {
    firstId = secondId = -1;
    CNMessageBase* selection = selectionOf(request);
    if (!selection) return;
    if (selection->isSet(S::firstId))
        firstId = static_cast<int>(selection->getint64(S::firstId));
    else if (selection->isSet(S::secondId))
        secondId = static_cast<int>(selection->getint64(S::secondId));
}

std::string requestClientName(databrowse::BrowseRequest& request) {
    CNMessageBase* client = child(&request, R::ma);
    return client ? client->getstring(ZyEntities::ClientEntity::f::clientName) : std::string();
}

}  // namespace

void CWorkerThreadHM::GetClientIdforSharepoint(int& clientId, int firstId, int secondId) {
    CNMessageBase* client = child(&m_browseRequest, R::ma);
    if (firstId == 0 || (firstId == -1 && secondId == -1)) {
        clientId = client ? static_cast<int>(client->getint64(ZyEntities::ClientEntity::f::clientId)) : 0;
        return;
    }
    CNMessageBase* entity = child(&m_browseRequest, R::entity);
    if (entity && entity->isSet(ZyEntities::GenericEntity::f::clientId))
        clientId = static_cast<int>(entity->getint64(ZyEntities::GenericEntity::f::clientId));
}

// The steps of a mining that goes well are told at level 0 under the function's name; only a failure
// is written as an error.
bool CWorkerThreadHM::GetClientNameForSharepoint(std::string& hostName, int clientId) {
    static const char* const kFunction = "CWorkerThreadHM::GetClientNameForSharepoint";
    EvDebug log(nullptr);
    log.DebugLvl(kFunction, 0, "clientId [%d].", clientId);
    const int rc = ZYClient(static_cast<unsigned long>(clientId)).getNetworkHostnameMangled(hostName);
    if (rc != 0) {
        const std::string name = requestClientName(m_browseRequest);
        log.Error(kFunction,
                  "Failed to get mangled host name for app mining service client [%s] with error code [%d].",
                  name.c_str(), rc);
        setLastError(databrowse::BROWSE_ERR_GENERIC,
                     "Failed to get mangled host name for app mining service client [" + name + "].");
        return false;
    }
    log.DebugLvl(kFunction, 0, "clientname [%s]", hostName.c_str());
    return true;
}

int CWorkerThreadHM::getPhysicalClientForSharepoint(int pseudoClientId, int& clientId) {
    static const char* const kFunction = "CWorkerThreadHM::getPhysicalClientForSharepoint";
    EvDebug log(nullptr);
    std::vector<ZyEntities::ClientEntity> members;
    std::string why;
    SharePointWebSitePlanPolicyAssociation farm;
    const int rc = farm.GetO365SharePointMemberServers(pseudoClientId, &members, &why);
    if (rc != 0) {
        log.Error(kFunction,
                  "Error : Failed to get list of sharepoint member server ErrorCode [%d] ErrorMessage [%s].",
                  rc, why.c_str());
        return rc;
    }
    for (const ZyEntities::ClientEntity& member : members) {
        const int id = static_cast<int>(member.getint64(ZyEntities::ClientEntity::f::clientId));
        if (id == 0) continue;
        const std::string name = member.getstring(ZyEntities::ClientEntity::f::clientName);
        log.DebugLvl(kFunction, 7, "Checking client id [%d/%s] available", id, name.c_str());
        CZyNetwork probe;
        if (AttemptSessionAttach(probe, id) == 1) {
            clientId = id;
            log.DebugLvl(kFunction, 0, "Using client [%d/%s]", id, name.c_str());
            return 0;
        }
        log.Error(kFunction, "AttemptSessionAttach to client id  [%d/%s] failed", id, name.c_str());
    }
    log.Error(kFunction, "No proxy member servers found");
    return 1;
}

bool CWorkerThreadHM::sharePointNetworkRoad() {
    CBrowseLog log("FBHMWORKER");
    int firstId = -1, secondId = -1;
    selectionIds(m_browseRequest, firstId, secondId);
    CNMessageBase* selection = selectionOf(m_browseRequest);
    int clientId = 0;
    if (!selection || selection->getint64(S::pseudoClient) == 0) {
        GetClientIdforSharepoint(clientId, firstId, secondId);
    } else {
        CNMessageBase* entity = child(&m_browseRequest, R::entity);
        const int pseudoClientId =
            entity && entity->isSet(ZyEntities::GenericEntity::f::clientId)
                ? static_cast<int>(entity->getint64(ZyEntities::GenericEntity::f::clientId))
                : 0;
        if (pseudoClientId == 0 || getPhysicalClientForSharepoint(pseudoClientId, clientId) != 0) {
            setLastError(databrowse::BROWSE_ERR_GENERIC, "Can't find physical member server.");
            log.debugLvl(-1, "%s", m_errorText);
            return false;
        }
        log.debugLvl(1, "Browsing on member server [%d] for pseudoclient [%d]", clientId, pseudoClientId);
    }
    log.debugLvl(1, "nClientId [%d].", clientId);
    unsigned long flags = 0;
    ZYClient(static_cast<unsigned long>(clientId)).getSpecialClientFlags(flags);
    if (selection && selection->getint64(S::browseLevel) == kFarmLevel &&
        (flags & kSpecialClientPseudoClient) != 0)
        return getClientsforPseudoClientBrowse(clientId) == 1;
    std::string name;
    if (!GetClientNameForSharepoint(name, clientId)) return false;
    miningBlockOf(m_browseRequest)
        ->getObjectAccessor(M::connectionInfo, true)
        ->setstring(databrowse::ApplicationMiningConnectionInfo::f::maHostName, name);
    setDirectAPIBrowseReq(&m_browseRequest);
    return true;
}

int CWorkerThreadHM::SharepointBrowse() {
    static const char* const kFunction = "CWorkerThreadHM::SharepointBrowse";
    EvDebug log(nullptr);
    CNMessageBase* session = child(&m_browseRequest, R::session);
    const std::string sessionId = session ? session->getstring(databrowse::BrowseSession::f::sessionId) : "";
    if (sessionId.empty()) {
        log.Error(kFunction, "Browser session id [%s] has been closed.", sessionId.c_str());
        return 0;
    }
    CNMessageBase* mining = miningBlockOf(m_browseRequest);
    if (!mining || mining->getint64(M::appMining) == 0) return 0;
    int firstId = -1, secondId = -1;
    selectionIds(m_browseRequest, firstId, secondId);
    if (apptype::of(mining->getint64(M::appType)) != apptype::kSharePoint ||
        !child(mining, M::sharePointBlock))
        return 0;
    log.DebugLvl(kFunction, 1, "Session id[%s].", sessionId.c_str());

    CNMessageBase* client = child(&m_browseRequest, R::ma);
    if (firstId == 0 && (!client || (!client->isSet(ZyEntities::ClientEntity::f::clientId) &&
                                     !client->isSet(ZyEntities::ClientEntity::f::clientName)))) {
        log.Error(kFunction, "App mining service client/client id/client name is not set.");
        EvEvent event;
        const std::string name = requestClientName(m_browseRequest);
        event << name.c_str();
        char text[2048] = {};
        event.evPrintf(evmsg::kUnknownClient, text, sizeof text - 1, 0);
        setLastError(databrowse::BROWSE_ERR_GENERIC, text);
        return 0;
    }

    int clientId = 0;
    GetClientIdforSharepoint(clientId, firstId, secondId);
    CNMessageBase* selection = selectionOf(m_browseRequest);
    int64_t browseLevel = selection ? selection->getint64(S::browseLevel) : 0;
    log.DebugLvl(kFunction, 0, "nClientId [%d].", clientId);
    unsigned long flags = 0;
    ZYClient(static_cast<unsigned long>(clientId)).getSpecialClientFlags(flags);
    const bool createRecoveryPoint = selection && selection->isSet(S::createRecoveryPoint);
    if (createRecoveryPoint) {
        log.Error(kFunction,
                  "isCreateRPRequest is true, forcing nBrowseLevel to BrowseLevelInGUI_SHAREPOINT_VFARM");
        browseLevel = kFarmLevel;
    }
    if (browseLevel == kFarmLevel && (flags & kSpecialClientPseudoClient) != 0) {
        if (!createRecoveryPoint) return getClientsforPseudoClientBrowse(clientId);
        unsigned long primary = 0;
        ClientProperties(static_cast<unsigned long>(clientId), nullptr)
            .getSharePointPrimaryMemberServer(primary);
        clientId = static_cast<int>(primary);
        log.DebugLvl(kFunction, 0, "nClientId is overriden with primaryMemberId [%d].", clientId);
    }

    std::string hostName;
    if (!GetClientNameForSharepoint(hostName, clientId)) return 0;
    std::string requestXml;
    if (const int rc = m_browseRequest.serialize(requestXml); rc != 0) {
        log.Error(kFunction, "Failed to serialize input string xml [%s] with error code [%d].",
                  maskedRequestText(m_browseRequest).c_str(), rc);
        return 0;
    }
    CNSession::LaunchOnDemandServiceReq launch;
    launch.setstring(L::hostName, hostName);
    launch.setstring(L::serviceName, kMiningIndexService);
    launch.setint64(L::mode, 1);
    launch.setstring(L::launchInput, requestXml);

    if (firstId != -1 || secondId != -1) {
        CNMessageBase* entity = child(&m_browseRequest, R::entity);
        const int64_t appType = secondId != -1 && entity
                                    ? entity->getint64(ZyEntities::GenericEntity::f::applicationId)
                                    : mining->getint64(M::appType);
        ApplicationTypeSharePointV2Doc application(static_cast<unsigned long>(clientId),
                                                   static_cast<unsigned long>(appType));
        log.DebugLvl(kFunction, 0, "AppType [%d]", static_cast<int>(appType));
        CNMessageBase* credentials = child(child(mining, M::miningDetails), databrowse::Msg55::f::at7_13);
        std::string user = credentials ? credentials->getstring(databrowse::Msg54::f::userName) : "";
        pstring* given = credentials && credentials->isSet(databrowse::Msg54::f::password)
                             ? credentials->getpstringobject(databrowse::Msg54::f::password)
                             : nullptr;
        std::string password = given ? given->str() : "";
        if (user.empty() || password.empty()) {
            user.clear();
            password.clear();
            application.getUserName(user);
            application.getPassword(password);
        }
        if (password.empty()) {
            setLastError(databrowse::BROWSE_ERR_GENERIC,
                         "Please enter password for the User [" + user + "].");
            return 0;
        }
        launch.setstring(L::userName, user);
        launch.setpstringobject(L::password, bstring(password), 1);
    }

    const std::string clientName = requestClientName(m_browseRequest);
    ZYOnDemandSvcClient launcher;
    CNSession::LaunchOnDemandServiceDetails details;
    if (CUxError rc = launcher.SubmitTask(launch, details); rc.IsError()) {
        // Only a launch that the server itself failed can be the account's fault: a server that cannot
        // be reached, or that runs as many instances as it may, is not helped by checking the account.
        const bool accountMayBeTheCause = rc.GetErrorCode() == ZYNET_E_LAUNCH_FAILED;
        const std::string text =
            "Failed to submit task to send request to app mining service on client [" + hostName +
            "] with error [" + rc.GetErrorText() + "]." +
            (accountMayBeTheCause
                 ? " Please check if the username/password are correct in the sharepoint agent "
                   "properties and user is a local admin on the client."
                 : "");
        log.Error(kFunction, "%s", text.c_str());
        setLastError(databrowse::BROWSE_ERR_GENERIC, text);
        return 0;
    }
    log.DebugLvl(kFunction, 0, "Launched process");
    CZyNetwork service;
    if (CUxError rc = launcher.Attach(details, service); rc.IsError()) {
        const std::string text = "Failed to attach to app mining service client [" + clientName +
                                 "] with error [" + rc.GetErrorText() + "].";
        log.Error(kFunction, "%s", text.c_str());
        setLastError(databrowse::BROWSE_ERR_GENERIC, text);
        return 0;
    }
    bool timedOut = false;
    if (CUxError rc = service.SendXMLMessage(m_browseRequest, 0, kSendSeconds, timedOut); rc.IsError()) {
        const std::string text = "Failed to send request to mining service client [" + clientName +
                                 "] with error [" + rc.GetErrorText() + "].";
        log.Error(kFunction, "%s", text.c_str());
        setLastError(databrowse::BROWSE_ERR_GENERIC, text);
        ignoreResult(service.Disconnect(kDisconnectSeconds, timedOut),
                     "the session ends either way; a peer already gone is no fault");
        return 0;
    }
    expectAnswersFrom(service);
    if (CUxError rc = service.Disconnect(kDisconnectSeconds, timedOut); rc.IsError())
        log.Error(kFunction, "Failed to disconnect from app mining serivce on [%s] with error [%s]",
                  clientName.c_str(), rc.GetErrorText().c_str());
    return 1;
}
