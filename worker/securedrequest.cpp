// The signed form of an indexing-v2 browse request for media agents (and direct callers) at service pack
// 22 or later: the session block, the request's system attributes encoded for the requesting client, a
// signature over them and a payload of the request's parts. Called on the worker's thread under its lock.
#include <algorithm>
#include <climits>
#include <utility>
#include <vector>

#include "fbDebug/fbdebug.h"
#include "platform/entities/installmanager.h"
#include "platform/entities/zyclient.h"
#include "platform/errors/evmessagecontainer.h"
#include "platform/errors/evmessageids.h"
#include "platform/indexing/indexingversion.h"
#include "platform/indexing/powermanagement.h"
#include "platform/msg/agentflag.h"
#include "platform/msg/msg_field.h"
#include "platform/msg/secured_message_handler.h"
#include "platform/msg/xml_codec.h"
#include "platform/tasks/evrestoretask.h"
#include "worker/fastbrowsehmworkerthread.h"

namespace {

const char* const kTag = "FBHMWORKER";
constexpr int kSecuredServicePack = 22;

EvMessageContainer serverError() {
    EvMessageContainer error;
    error.SetMessageID(evmsg::kServerError, true);
    return error;
}

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

// Whom the request to return is signed for: the direct caller's own client name, the Hubmaster's for
// requests it sends itself and for callers that hold no certificate (a console acting with a user's
// token; a media agent answers such a request to whoever presents it, held to its signature and age),
// or nobody (`signer` empty: the request goes plain, to peers below service pack 22). False, with the
// error state set, when the request cannot be signed.
bool CWorkerThreadHM::securedRequestSigner(std::string& signer) {
    CBrowseLog log(kTag);
    signer.clear();
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

    if (m_directAPI && callerKnown && (maLevel < kSecuredServicePack || callerLevel < kSecuredServicePack)) {
        log.debugLvl(
            0,
            "V2 browse protocol is not supported by either MA [at SP%d] or client [at SP%d] as it SP "
            "version level not above [%d]",
            maLevel, callerLevel, kSecuredServicePack);
        return true;
    }
    if ((!m_directAPI || !callerKnown) && maLevel < kSecuredServicePack) {
        log.debugLvl(0,
                     "V2 browse protocol is not supported by MA [at SP%d] for the JAVA GUI request as it SP "
                     "version level not above [%d]",
                     maLevel, kSecuredServicePack);
        return true;
    }
    if (m_directAPI && callerKnown) {
        signer = callerName;
        return true;
    }
    ZYClient hubmaster(ZYClient::hubmasterClientId());
    if (hubmaster.getName(signer) != 0 || signer.empty()) {
        signer.clear();
        log.debugLvl(0, "Failed to retrieve HM's client name to add in V2 browse protocol");
        setErrorMessage(serverError());
        return false;
    }
    return true;
}

bool CWorkerThreadHM::returnSigned(bool made, CNMessageBase& form) {
    if (!made) {
        CBrowseLog(kTag).debugLvl(0, "Failed to generate signature for secured browse request");
        setErrorMessage(serverError());
        return false;
    }
    m_requestToReturn = &form;
    return true;
}

bool CWorkerThreadHM::convertToSecureBrowseReq() {
    std::string signer;
    if (!securedRequestSigner(signer)) return false;
    if (signer.empty()) return true;
    if (m_directAPI) {
        // A direct caller sends the request itself: the answers go to the caller, not to this router.
        CNMessageBase* indexing =
            m_browseRequest.getObjectAccessor(databrowse::BrowseRequest::f::indexing, true);
        CNMessageBase* routing = indexing->getObjectAccessor(databrowse::Msg91::f::indexingInfo, true);
        routing->setstring(databrowse::IndexingInfo::f::hubmasterHost, "");
        routing->setstring(databrowse::IndexingInfo::f::routerName, "");
        // The caller cannot read the signed parts: the clear ones say where it takes the request.
        agentflag::name(m_browseRequest);
    }
    I2::SecuredMessageHandler handler;
    return returnSigned(handler.secureBrowseRequest(m_browseRequest, signer, m_securedBrowseRequest),
                        m_securedBrowseRequest);
}

bool CWorkerThreadHM::convertToSecureIndexBrowseReq(std::string* requestText) {
    std::string signer;
    if (!securedRequestSigner(signer)) return false;
    if (signer.empty()) return true;
    // In its class's declared order the request is written once: the text its digest is made of is the
    // one it is sent as, and its log line's.
    m_indexBrowseRequest.putInDeclaredOrder();
    I2::SecuredMessageHandler handler;
    // The signed form carries the request itself, not a copy: from here on it is read there.
    return returnSigned(handler.secureIndexBrowseReq(std::move(m_indexBrowseRequest), signer,
                                                     m_securedIndexBrowseRequest, requestText),
                        m_securedIndexBrowseRequest);
}

Indexing::BrowseReq& CWorkerThreadHM::indexRequestSent() {
    if (m_requestToReturn == &m_securedIndexBrowseRequest) {
        CNMessageField* carried =
            m_securedIndexBrowseRequest.findField(Indexing::SecuredBrowseReq::f::request.code);
        if (carried && carried->kind == MsgFieldKind::Obj)
            if (auto* request = dynamic_cast<Indexing::BrowseReq*>(carried->child)) return *request;
    }
    return m_indexBrowseRequest;
}

bool CWorkerThreadHM::writeSignedReturn(std::string& text) const {
    if (m_requestToReturn != &m_securedIndexBrowseRequest || m_signedIndexRequestText.empty()) return false;
    const CNMessageField* payload =
        m_securedIndexBrowseRequest.findField(Indexing::SecuredBrowseReq::f::request.code);
    if (!payload || payload->kind != MsgFieldKind::Obj || !payload->child) return false;
    // The payload is the request as it was signed: a change since would break its signature anyway.
    return XMLEncoder().serialize(m_securedIndexBrowseRequest, text,
                                  TWrittenChild{payload->child, m_signedIndexRequestText}) == MSG_OK;
}
