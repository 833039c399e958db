// Live machine browse initialisation: a request that only asks the Hubmaster to prepare the live browse
// of a machine is completed with its session, the index server of its backup set, the machine's proxy
// configuration and the user account to browse with, and handed back as the answer; nothing is
// browsed. Members of CWorkerThreadHM run by intake under the worker's lock.
#include <vector>

#include "Db/Proc/AppGetMachineBrowseDetails.h"
#include "appbrowse/fastbrowsehm_vsa.h"
#include "fbDebug/fbdebug.h"
#include "platform/entities/entityconfig.h"
#include "platform/entities/zyclient.h"
#include "platform/indexing/idxdbinfocache.h"
#include "platform/indexing/indexingversion.h"
#include "platform/msg/app_execute_sp.h"
#include "platform/security/evsecuritymgr.h"
#include "platform/tasks/evrestoretask.h"
#include "worker/fastbrowsehmworkerthread.h"

namespace {

constexpr const char* kTag = "FBHMWORKER";
const char* const kPasswordProbe = "@@PWD_PROBE@@";
const char* const kConfigurationText =
    "Please check with your Administrator for configuration issues. More details can be found in Browse.log "
    "on "
    "the Hubmaster";
const char* const kNoProfileText = "Unable to find user profile for this machine";

// The live-browse block of a request's advanced settings, made when missing.
CNMessageBase* liveBrowseBlock(databrowse::BrowseRequest& request) {
    return request.getObjectAccessor(databrowse::BrowseRequest::f::advOptions, true)
        ->getObjectAccessor(databrowse::Msg63::f::advancedConfig, true)
        ->getObjectAccessor(databrowse::BrowseAdvancedConfig::f::liveBrowseBlock, true);
}

}  // namespace

bool CWorkerThreadHM::isLiveMachineBrowseInit() {
    CNMessageBase* options =
        m_browseRequest.isSet(databrowse::BrowseRequest::f::options)
            ? m_browseRequest.getObjectAccessor(databrowse::BrowseRequest::f::options, false)
            : nullptr;
    return options && options->isSet(databrowse::BrowseOptions::f::initMachineBrowse) &&
           options->getint64(databrowse::BrowseOptions::f::initMachineBrowse) != 0;
}

bool CWorkerThreadHM::initLiveMachineBrowse(EvMultiEntityRestoreTask* task) {
    CBrowseLog log(kTag);
    using G = ZyEntities::GenericEntity::f;
    log.debugLvl(3, "request to initialize machine browse received");
    CNMessageBase* entity = m_browseRequest.getObjectAccessor(databrowse::BrowseRequest::f::entity, false);
    if (!entity || !entity->isSet(G::backupsetId)) {
        setLastError(databrowse::BROWSE_ERR_REQUEST_PROCESSING, "backupset id missing in the request");
        log.debugLvl(
            0,
            "Request received to initialize live browse doesn't have a backupset id - initialization failed");
        return false;
    }
    const int backupSetId = static_cast<int>(entity->getint64(G::backupsetId));
    const int entityAppType = static_cast<int>(entity->getint64(G::applicationId));
    const int clientId = static_cast<int>(entity->getint64(G::clientId));
    auto fail = [this](const std::string& text) REQUIRES(m_workerLock) {
        setLastError(databrowse::BROWSE_ERR_REQUEST_PROCESSING, text);
        return false;
    };

    // The rights are those on the machine whose details are handed out, the entity's client.
    EvSecurityCheck security(static_cast<long long>(task->getJobId()), task->requestReads());
    if (!security.canPerformLiveBrowse(static_cast<int>(task->getUserId()), task->getKelmarchId(), clientId,
                                       0, 0, 0, 0)) {
        log.debugLvl(-1, "User does not have the required permissions to perform live browse");
        // A refusal, not a failure of the road: its code says so, as every refusal's does.
        setLastError(databrowse::BROWSE_ERR_PERMISSION, "user does not have the required permissions");
        return false;
    }
    std::string guid;
    if (const int rc = BackupSet(static_cast<unsigned long>(backupSetId)).getGUIDStr(guid, nullptr);
        rc != 0) {
        log.debugLvl(-1, "unable to get backupset guid for backupset id [%d] - error code [%d]", backupSetId,
                     rc);
        return fail("Internal DB error. Please check Browse.log on Hubmaster for more details");
    }
    const auto* paths = m_browseRequest.getlistobject(databrowse::BrowseRequest::f::paths, false);
    if (!paths || paths->empty()) {
        log.debugLvl(-1, "no paths provided to browse");
        return fail("No paths provided to browse");
    }
    bool perSubclient = false;
    if (CUxError err =
            I2::Utils::HubmasterCallHelper::Instance(false)->isSubclientLevelIndex(guid, perSubclient);
        err.IsError()) {
        log.debugLvl(-1, "Unable to check if subclient index is enabled - message [%s]",
                     err.GetErrorText().c_str());
        return fail(
            "Internal DB error - unable to check if subclient index is enabled. Please check Browse.log on "
            "Hubmaster "
            "for more details.");
    }
    if (perSubclient) {
        if (CUxError err = GetActiveSubclient(apptype::code(task->getAppType()), backupSetId, guid);
            err.IsError()) {
            log.debugLvl(
                -1, "Cound't find index server for subclient level index: backupsetGuid[%s], message [%s]",
                guid.c_str(), err.GetErrorText().c_str());
            return false;
        }
    } else {
        CNMessageBase* options =
            m_browseRequest.getObjectAccessor(databrowse::BrowseRequest::f::options, true);
        const bool userRequest = options->getint64(databrowse::BrowseOptions::f::userRequest) != 0;
        I2::Utils::IdxDbInfoCache cache;
        std::string serverName;
        std::vector<I2::Utils::IdxSrvrInfo> servers;
        if (CUxError err = cache.FetchOrSetIdxSrvrForDb(guid, guid, static_cast<unsigned int>(entityAppType),
                                                        serverName, servers, userRequest);
            err.IsError()) {
            log.debugLvl(-1, "Unable to find the index server of backupsetGuid[%s] - message [%s]",
                         guid.c_str(), err.GetErrorText().c_str());
            return fail("Unable to find the index server of this machine's backup set: " +
                        err.GetErrorText());
        }
        if (servers.empty()) {
            log.debugLvl(
                -1,
                "Index server list is empty for the given browse request. Please make sure a backup job is "
                "run (or atleast a subclient is properly configured");
            return fail(kConfigurationText);
        }
        m_browseRequest.getObjectAccessor(databrowse::BrowseRequest::f::indexing, true)
            ->getObjectAccessor(databrowse::Msg91::f::indexingInfo, true)
            ->getObjectAccessor(databrowse::IndexingInfo::f::indexDBInfo, true)
            ->setstring(databrowse::IndexDBInfo::f::mediaAgentName, servers.front().routingName());
        // The request is signed as this media agent reads it.
        m_maClientName = servers.front().m_clientName;
    }
    m_browseRequest.getObjectAccessor(databrowse::BrowseRequest::f::session, true)
        ->setstring(databrowse::BrowseSession::f::sessionId, task->getbrowseSessionGUID());

    // The machine's proxy configuration.
    App::ClientLiveBrowseDetailsReq detailsRequest;
    detailsRequest.setint64(App::ClientLiveBrowseDetailsReq::f::clientId, clientId);
    detailsRequest.setint64(App::ClientLiveBrowseDetailsReq::f::userId, task->getUserId());
    std::string detailsRequestXml;
    detailsRequest.serialize(detailsRequestXml);
    AppGetMachineBrowseDetails procedure(nullptr);
    procedure.setValues(detailsRequestXml.c_str());
    int rows = 0;
    if (procedure.getNextRow(&procedure, &rows, -1, 0) != 0) {
        log.debugLvl(-1, "Unable to find proxy configuration for this machine");
        return fail(kConfigurationText);
    }
    App::ClientLiveBrowseDetails details;
    const char* detailsXml = procedure.getDataPtr()->o_xmlstring;
    // A reply that cannot be read is no configuration: going on would hand out a machine without proxy.
    if (!detailsXml || details.unserialize(detailsXml) != 0) {
        log.debugLvl(-1, "Unable to read the proxy configuration of this machine [%s]",
                     detailsXml ? detailsXml : "");
        return fail(kConfigurationText);
    }

    using D = App::ClientLiveBrowseDetails::f;
    using B = databrowse::Msg62::f;
    CNMessageBase* block = liveBrowseBlock(m_browseRequest);
    const std::string proxyName = details.getstring(D::proxyMachineName);
    if (details.getint64(D::proxyRequired) != 0) {
        if (proxyName.empty()) {
            log.debugLvl(
                -1,
                "Live machine browse requires at least one subclient to be configured with a Windows proxy "
                "machine");
            return fail(kConfigurationText);
        }
        block->setstring(B::proxyMachineName, proxyName);
        block->setObjectAccessor(details, B::liveBrowseDetails);
    } else {
        block->setObjectAccessor(details, B::liveBrowseDetails);
        block->setstring(B::proxyMachineName, proxyName);
        if (block->getstring(B::userName).empty() && details.isSet(D::userName)) {
            block->setstring(B::userName, details.getstring(D::userName));
            block->setpstringobject(B::password, bstring(kPasswordProbe));
        }
    }

    if (block->getstring(B::userName).empty()) {
        int osId = 0;
        if (ZYClient(static_cast<unsigned long>(clientId)).getOperatingSystemId(osId) != 0)
            return fail("Unable to find operating system ID for the client");
        if (CVSALiveBrowse::isWindowsGuestOs(osId)) {
            App::GetClientsUserProfilesResp reply;
            if (!findUserProfiles(clientId, reply, false)) return false;
            auto* entries = reply.getlistobject(App::GetClientsUserProfilesResp::f::clientProfiles, false);
            auto* maps = entries && !entries->empty()
                             ? entries->front().getlistobject(App::ClientUserProfilesInfo::f::profiles, false)
                             : nullptr;
            if (!maps || maps->empty()) {
                log.debugLvl(-1, "User profile not set for this machine and password was not provided");
                return fail("User profile not set for this machine");
            }
            block->setstring(B::userName,
                             maps->front().getstring(App::ClientUserProfileMap::f::userProfileName));
            block->setpstringobject(B::password, bstring(kPasswordProbe));
        }
    }
    m_requestToReturn = &m_browseRequest;
    return convertToSecureBrowseReq();
}

bool CWorkerThreadHM::findUserProfiles(long clientId, App::GetClientsUserProfilesResp& reply, bool syncUser) {
    CBrowseLog log(kTag);
    App::GetClientsUserProfilesReq request;
    ZyEntities::ClientEntity client;
    client.setint64(ZyEntities::ClientEntity::f::clientId, clientId);
    request.setlistobject(App::GetClientsUserProfilesReq::f::clients, {client});
    std::string requestXml, replyXml;
    request.serialize(requestXml);
    log.debugLvl(syncUser ? 0 : 5, "Live browse - find user profile XML request message - [%s]",
                 requestXml.c_str());
    if (const int rc = App_ExecuteSP().executeStoredProcedure(App::GetClientsUserProfilesReq::TAG, requestXml,
                                                              replyXml, nullptr);
        rc != 0) {
        if (!syncUser) log.debugLvl(-1, "Unable to find user profile for this machine - error code [%d]", rc);
        setLastError(databrowse::BROWSE_ERR_REQUEST_PROCESSING,
                     syncUser ? "unable to find user profile for this machine" : kNoProfileText);
        return false;
    }
    App::GetClientsUserProfilesResp decoded;
    if (decoded.unserialize(replyXml) != 0) {
        if (!syncUser)
            log.debugLvl(-1, "Unserialize error while trying to find user profile for this machine");
        setLastError(databrowse::BROWSE_ERR_REQUEST_PROCESSING,
                     syncUser ? "unable to find user profile for this machine - response unserialize failed"
                              : kNoProfileText);
        return false;
    }
    reply = decoded;
    return true;
}

bool CWorkerThreadHM::getSyncUser(long clientId, int, App::GetClientsUserProfilesResp& reply) {
    return findUserProfiles(clientId, reply, true);
}
