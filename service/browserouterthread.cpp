#include "service/browserouterthread.h"

#include <cstdio>

#include "fbDebug/fbdebug.h"
#include "platform/msg/msg_classes.h"
#include "platform/threads/sessionport.h"

namespace {

// The network framework's disconnect request, answered so the peer can close cleanly.
constexpr unsigned long kDisconnectRequest = 0x09000102;
constexpr int kReplySeconds = 30;
constexpr int kSendSeconds = 120;

// An error answer as every network caller of the router reads one: type 3, one error with code 1.
void replyError(CZyNetwork* session, const std::string& text, CBrowseLog& log) {
    databrowse::BrowseError error;
    error.setint64(databrowse::BrowseError::f::errorCode, databrowse::BROWSE_ERR_GENERIC);
    error.setstring(databrowse::BrowseError::f::errorMessage, text);
    databrowse::BrowseResponse response;
    response.setint64(databrowse::BrowseResponse::f::respType, 3);
    response.setlistobject(databrowse::BrowseResponse::f::messages, {error});
    bool timedOut = false;
    CUxError sent = session->SendXMLMessage(response, 0, kSendSeconds, timedOut);
    if (sent.IsError()) log.debugLvl(-1, "failed to send the error reply: %s", sent.GetErrorText().c_str());
}

}  // namespace

CBrowseRouterThreadHM::CBrowseRouterThreadHM() {
    CSessionPort port(0, 0);
    port.SetType(CSessionPort::SessType_MessageService);
    m_server = std::make_unique<CZyNetworkServer>(&browseRouterCallBackXDR, &browseRouterCallBackXML,
                                                  m_serverName.c_str(), port);
}

CBrowseRouterThreadHM::~CBrowseRouterThreadHM() {
    terminate();
    if (isStarted()) join();
}

void* CBrowseRouterThreadHM::run(void*) {
    CBrowseLog log("FBHMROUTER");
    log.debugLvl(0, "start fast browse router thread");
    CUxError served = m_server->SelectData(5, 100, 100);
    if (served.IsError())
        log.debugLvl(-1, "the server [%s] could not serve: %s", m_serverName.c_str(),
                     served.GetErrorText().c_str());
    return nullptr;
}

void CBrowseRouterThreadHM::terminate() {
    if (!m_server) return;
    m_server->Quit(true, true);
    CBrowseLog log("FBHMROUTER");
    log.debugLvl(0, "terminated fast browse router thread");
}

void CBrowseRouterThreadHM::browseRouterCallBackXDR(CZyNetworkServer::ZynCallback_e type,
                                                    CZyNetworkServer* server, long long handle,
                                                    unsigned long messageType, zysDatabuf_v2*) {
    CBrowseLog log("FBHMROUTER");
    CZyNetwork* session = nullptr;
    CUxError acquired = server->AcquireSession(handle, &session);
    if (acquired.IsError()) {
        log.debugLvl(-1,
                     "Acquire session is failed in browseRouterCallBackXDR. Handle:%lld. Call Back Type: %d. "
                     "Error: %s",
                     handle, static_cast<int>(type), acquired.GetErrorText().c_str());
        return;
    }
    if (type == CZyNetworkServer::ZYN_CALLBACK_DISCONNECTED)
        log.debugLvl(0, "Received disconnected handle [%lld]", handle);
    if (messageType == kDisconnectRequest) {
        bool timedOut = false;
        session->ReplyDisconnect(kReplySeconds, timedOut);
    }
    CUxError released = server->ReleaseSession(handle);
    if (released.IsError())
        log.debugLvl(-1,
                     "Could not release session in browseRouterCallBackXDR. Handle:%lld. Call Back Type: %d. "
                     "Error: %s",
                     handle, static_cast<int>(type), released.GetErrorText().c_str());
}

void CBrowseRouterThreadHM::browseRouterCallBackXML(CZyNetworkServer::ZynCallback_e type,
                                                    CZyNetworkServer* server, long long handle,
                                                    CNMessageBase* message) {
    CBrowseLog log("FBHMROUTER");
    std::unique_ptr<CNMessageBase> owned(message);
    CZyNetwork* session = nullptr;
    CUxError acquired = server->AcquireSession(handle, &session);
    if (acquired.IsError()) {
        log.debugLvl(-1,
                     "Acquire session is failed in browseRouterCallBackXML. Handle:%lld. Call Back Type: %d. "
                     "Error: %s",
                     handle, static_cast<int>(type), acquired.GetErrorText().c_str());
        return;
    }
    const uint32_t tag = owned ? owned->getTagID() : 0;
    // This router does not serve any message yet: a browse request is refused with an error answer so
    // its caller does not wait, anything else is logged and dropped.
    char text[128];
    std::snprintf(text, sizeof text, "BrowseRouter does not serve message [0x%08x]", tag);
    log.debugLvl(0, "%s", text);
    if (tag == databrowse::BrowseRequest::TAG) replyError(session, text, log);
    CUxError released = server->ReleaseSession(handle);
    if (released.IsError())
        log.debugLvl(-1,
                     "Could not release session in browseRouterCallBackXML. Handle:%lld. Call Back Type: %d. "
                     "Error: %s",
                     handle, static_cast<int>(type), released.GetErrorText().c_str());
}
