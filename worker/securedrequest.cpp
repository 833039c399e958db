// The signed form of an indexing-v2 browse request for media agents (and direct callers) at service pack
// 22 or later: the session block, the request's system attributes encoded for the requesting client, a
// signature over them and a payload of the request's parts. Called on the worker's thread under its lock.
#include <algorithm>
#include <climits>
#include <vector>

#include "fbDebug/fbdebug.h"
#include "platform/entities/installmanager.h"
#include "platform/entities/zyclient.h"
#include "platform/errors/evmessagecontainer.h"
#include "platform/indexing/indexingversion.h"
#include "platform/indexing/powermanagement.h"
#include "platform/msg/secured_message_handler.h"
#include "platform/tasks/evrestoretask.h"
#include "worker/fastbrowsehmworkerthread.h"

namespace {

const char* const kTag = "FBHMWORKER";
constexpr int kSecuredServicePack = 22;
constexpr int kMsgServerError = 0x0e00010d;

}  // namespace

int CWorkerThreadHM::GetMinSPLevelInClusterClient(std::string& clientName) {
    CBrowseLog log(kTag);
    ZYClient client(clientName);
    unsigned long clientId = 0;
    if (client.lookup() != 0 || client.getClientId(clientId) != 0) return 0;
    if (!I2::Utils::IsVirtualClient(clientId)) {
        log.debugLvl(3, "Client [%s] is not a cluster client", clientName.c_str());
        return 0;
    }
    ZyAPP_VMToPMMap map(nullptr);
    std::vector<int> physical;
    if (map.GetAllPMsMappedToAVM(static_cast<int>(clientId), physical) != 0 || physical.empty()) return 0;
    int lowest = INT_MAX;
    for (int id : physical) {
        std::string name;
        ZYClient node(static_cast<unsigned long>(id));
        if (node.getName(name) != 0) continue;
        lowest = std::min(lowest, I2::Utils::GetClientServicePack(name));
    }
    log.debugLvl(3, "Client [%s] is clustered with lowest Service Pack level of physical client as [%d]",
                 clientName.c_str(), lowest == INT_MAX ? 0 : lowest);
    return lowest == INT_MAX ? 0 : lowest;
}

bool CWorkerThreadHM::convertToSecureBrowseReq() {
    CBrowseLog log(kTag);
    if (m_alwaysReplyV1 != 0) {
        log.debugLvl(2,
                     "Secured V2 browse protocol reply is disabled due to key [HM_ALWAYS_REPLY_V1_BROWSE]");
        return true;
    }
    const unsigned long callerClientId = m_privateTask ? m_privateTask->getCallerClientId() : 0;
    std::string callerName;
    ZYClient caller(callerClientId);
    const bool callerKnown = callerClientId != 0 && caller.getName(callerName) == 0;
    const int callerLevel = callerKnown ? I2::Utils::GetClientServicePack(callerName) : 0;
    int maLevel = I2::Utils::GetClientServicePack(m_maClientName);
    if (maLevel < 1) maLevel = GetMinSPLevelInClusterClient(m_maClientName);

    if (m_directAPI && (maLevel < kSecuredServicePack || callerLevel < kSecuredServicePack)) {
        log.debugLvl(
            0,
            "V2 browse protocol is not supported by either MA [at SP%d] or client [at SP%d] as it SP "
            "version level not above [%d]",
            maLevel, callerLevel, kSecuredServicePack);
        return true;
    }
    if (!m_directAPI && maLevel < kSecuredServicePack) {
        log.debugLvl(0,
                     "V2 browse protocol is not supported by MA [at SP%d] for the JAVA GUI request as it SP "
                     "version level not above [%d]",
                     maLevel, kSecuredServicePack);
        return true;
    }

    databrowse::SecuredBrowseRequest secured;
    if (m_browseRequest.isSet(databrowse::BrowseRequest::f::session))
        secured.setObjectAccessor(
            *m_browseRequest.getObjectAccessor(databrowse::BrowseRequest::f::session, false),
            databrowse::SecuredBrowseRequest::f::session);

    std::string clientName;
    EvMessageContainer serverError;
    serverError.SetMessageID(kMsgServerError, true);
    if (m_directAPI) {
        // A direct caller sends the request itself: the answers go to the caller, not to this router.
        CNMessageBase* indexing =
            m_browseRequest.getObjectAccessor(databrowse::BrowseRequest::f::indexing, true);
        CNMessageBase* routing = indexing->getObjectAccessor(databrowse::Msg91::f::indexingInfo, true);
        routing->setstring(databrowse::IndexingInfo::f::hubmasterHost, "");
        routing->setstring(databrowse::IndexingInfo::f::routerName, "");
        if (!callerKnown) {
            log.debugLvl(0,
                         "Failed to retrieve browse api caller's client name to add in V2 browse protocol");
            setErrorMessage(serverError);
            return false;
        }
        clientName = callerName;
    } else {
        ZYClient hubmaster(ZYClient::hubmasterClientId());
        if (hubmaster.getName(clientName) != 0 || clientName.empty()) {
            log.debugLvl(0, "Failed to retrieve HM's client name to add in V2 browse protocol");
            setErrorMessage(serverError);
            return false;
        }
    }

    I2::SecuredMessageHandler signer;
    std::string encoded = signer.encodeSystemAttributes(&m_browseRequest, clientName);
    std::string signature;
    if (encoded.empty() || !signer.generateSignature(encoded, signature)) {
        log.debugLvl(0, "Failed to generate signature for secured browse request");
        setErrorMessage(serverError);
        return false;
    }
    secured.setpstringobject(databrowse::SecuredBrowseRequest::f::systemAttributes, bstring(encoded), 1);
    secured.setpstringobject(databrowse::SecuredBrowseRequest::f::signature, bstring(signature), 1);
    // The payload holds exactly the parts the attributes' digest covers.
    databrowse::Msg238 payload;
    copyFieldsByCode(m_browseRequest, payload);
    secured.setObjectAccessor(payload, databrowse::SecuredBrowseRequest::f::payload);

    m_securedBrowseRequest = std::move(secured);
    m_requestToReturn = &m_securedBrowseRequest;
    return true;
}
