#include "service/browserouterthread.h"

#include <memory>
#include <set>
#include <vector>

#include "Db/Tbl/archFile.h"
#include "fbDebug/fbdebug.h"
#include "indexing/fsprediction.h"
#include "platform/config/zyplatforminfo.h"
#include "platform/db/requestscope.h"
#include "platform/entities/recordedkind.h"
#include "platform/entities/zyclient.h"
#include "platform/errors/evevent.h"
#include "platform/errors/evmessageids.h"
#include "platform/indexing/indexingversion.h"
#include "platform/msg/errorresponse.h"
#include "platform/net/zynet_xml.h"
#include "platform/restoreproto/fsr_messages.h"
#include "platform/threads/sessionport.h"
#include "service/controllerthread.h"
#include "service/fastbrowsehm_api.h"
#include "service/routerbrowserequest.h"
#include "service/routerentities.h"
#include "worker/authentication.h"

namespace {

constexpr int kReplySeconds = 30;
constexpr int kSendSeconds = 120;
constexpr size_t kMessageBufferSize = 4104;
const char* const kConversionRefused = "Browse access denied: you are not authorised to browse this data.";
const char* const kConversionNeedsMachine =
    "Browse access denied: a media conversion is answered for a machine's certificate only; a console asks "
    "for the media of a restore with the media command (a media prediction browse) and its user's token.";

void sendReply(CZyNetwork* session, CNMessageBase& reply, const char* failureFormat, CBrowseLog& log) {
    bool timedOut = false;
    CUxError sent = session->SendXMLMessage(reply, 0, kSendSeconds, timedOut);
    if (sent.IsError()) log.debugLvl(0, failureFormat, sent.GetErrorText().c_str());
}

databrowse::BrowseResponse errorResponse(const std::string& text, bool withCode) {
    return withCode ? errorresponse::of(databrowse::BROWSE_ERR_GENERIC, text) : errorresponse::ofText(text);
}

// What a conversion names that its caller must be allowed to browse: its archive files, and the backup
// set whose index files it asks to be looked up.
struct TConversionScope {
    std::set<long> archiveFiles;
    bool lookUp = false;
    std::string backupSetGuid;
};

// The client of the subclient that wrote an archive file, as the Hubmaster database records it; 0 when
// the file or its subclient is unknown.
long clientOfArchive(long file) {
    ArchFile archive(nullptr);
    archive.setIsolationType(4);
    archive.setWhere("id=%ld", file);
    if (archive.getOneRow(&archive, false, -1, 0) != 0) return 0;
    TEntityKind kind;
    return readEntityKind(zydb::CRequestReads::current(), static_cast<long>(archive.getDataPtr()->appId), 0,
                          kind) == EEntityKindRead::kRecorded
               ? kind.clientId
               : 0;
}

// The client of the backup set with this GUID (all of a backup set's subclients are its client's); 0
// when no backup set has the GUID or it has no subclient. The look-up reads the index database it
// names within that backup set only, so the backup set's client is the client whose media it tells.
long clientOfBackupSet(const std::string& guid) {
    const long backupSetId = backupSetIdOfGuid(guid);
    TEntityKind kind;
    return backupSetId > 0 && readEntityKind(zydb::CRequestReads::current(), 0, backupSetId, kind) ==
                                  EEntityKindRead::kRecorded
               ? kind.clientId
               : 0;
}

void addArchiveFiles(const std::vector<CNMessageBase>* media, TConversionScope& scope) {
    for (size_t n = 0; media && n < media->size(); ++n)
        scope.archiveFiles.insert(
            static_cast<long>((*media)[n].getint64(databrowse::LogicalMedia::f::archFileId)));
}

// A conversion tells where a client's backups are kept: it is answered for a proven machine only, one
// that is a trusted peer or a media agent (answering a browse it was sent), or a client the router
// caller rule lets browse the client of everything the conversion names. A conversion that names
// nothing to judge it by is refused, and so is an anonymous caller: a console with a token asks for
// the media with a media browse, which is judged as every browse is. `refusal`: the caller's text.
bool mayConvert(CZyNetwork* session, const TConversionScope& scope, std::string& refusal, CBrowseLog& log) {
    const unsigned long caller = routedCallerClientId(session);
    if (caller != 0 && (isTrustedPeer(caller) || I2::Utils::IsMediaAgentClient(caller))) return true;
    if (caller == 0) {
        log.debugLvl(0, "prediction conversion refused: the caller is anonymous or unknown");
        refusal = kConversionNeedsMachine;
        return false;
    }
    refusal = kConversionRefused;
    if (scope.archiveFiles.empty() && !scope.lookUp) {
        log.debugLvl(0, "prediction conversion refused: caller [%lu] names nothing to judge it by", caller);
        return false;
    }
    TDirectCaller rule;
    rule.checkClientMap = checkClientMapSetting();
    rule.callerClientId = caller;
    // One client named (0: none found): the caller may browse it.
    const auto allowed = [&](long clientId, const std::string& what) {
        rule.clientId = clientId;
        if (clientId > 0 && decideDirectCaller(rule).verdict != TDirectCallerDecision::kRefused) return true;
        log.debugLvl(0, "prediction conversion refused: caller [%lu] may not browse %s (client [%ld])",
                     caller, what.c_str(), rule.clientId);
        return false;
    };
    for (long file : scope.archiveFiles)
        if (!allowed(clientOfArchive(file), "archive file [" + std::to_string(file) + "]")) return false;
    return !scope.lookUp ||
           allowed(clientOfBackupSet(scope.backupSetGuid), "backup set [" + scope.backupSetGuid + "]");
}

void convertMediaPrediction(CNMessageBase& message, CZyNetwork* session, CBrowseLog& log) {
    log.debugLvl(3, "Received request to convert logical media to physical media");
    databrowse::MediaPredictionConvResp response;
    auto* request = dynamic_cast<databrowse::MediaPredictionConvReq*>(&message);
    TConversionScope scope;
    std::string refusal;
    if (auto* predictions =
            request ? request->getlistobject(databrowse::MediaPredictionConvReq::f::predictionData, false)
                    : nullptr)
        for (CNMessageBase& prediction : *predictions)
            if (CNMessageBase* logical =
                    prediction.getObjectAccessor(databrowse::PredictionData::f::logicalMedia, false)) {
                std::vector<CNMessageBase> one{*logical};
                addArchiveFiles(&one, scope);
            }
    // The index files it asks to be looked up are those of the backup set it names.
    if (request && request->getint64(databrowse::MediaPredictionConvReq::f::lookUpIndexFiles) != 0) {
        scope.lookUp = true;
        scope.backupSetGuid = request->getstring(databrowse::MediaPredictionConvReq::f::backupSetGUID);
    }
    if (request && !mayConvert(session, scope, refusal, log)) {
        databrowse::BrowseResponse refused = errorresponse::of(databrowse::BROWSE_ERR_PERMISSION, refusal);
        sendReply(session, refused, "Failed to send browse response back to caller with error [%s]", log);
        return;
    }
    CFsPredictionClient client;
    if (!request || !client.doPhysicalMediaConversion(*request, response))
        log.debugLvl(0, "Failed to convert logical media to physical media");
    sendReply(session, response, "Failed to send physical media response back to caller with error [%s]",
              log);
}

void convertPredictionList(CNMessageBase& message, CZyNetwork* session, CBrowseLog& log) {
    log.debugLvl(3, "Received prediction conversion request");
    const char* const sendFailure = "Failed to send browse response back to caller with error [%s]";
    auto* requests = dynamic_cast<Indexing::PredictionConversionReqList*>(&message);
    if (!requests) log.debugLvl(0, "Received prediction conversion request. But dynamic cast failed.");
    TConversionScope scope;
    std::string refusal;
    if (auto* list = requests
                         ? requests->getlistobject(Indexing::PredictionConversionReqList::f::requests, false)
                         : nullptr)
        for (CNMessageBase& one : *list)
            addArchiveFiles(one.getlistobject(Indexing::PredictionConversionReq::f::logicalMedia, false),
                            scope);
    if (requests && !mayConvert(session, scope, refusal, log)) {
        databrowse::BrowseResponse refused = errorresponse::of(databrowse::BROWSE_ERR_PERMISSION, refusal);
        sendReply(session, refused, sendFailure, log);
        return;
    }
    if (requests) {
        CFastBrowsePredictionHandler handler(*requests);
        if (handler.doPhysicalMediaConversion()) {
            sendReply(session, handler.getPredictionResp(), sendFailure, log);
            return;
        }
    }
    char text[kMessageBufferSize] = {};
    EvEvent event;
    event.evPrintf(evmsg::kRequestContentMismatch, text, sizeof text, 0);
    databrowse::BrowseResponse response = errorResponse(text, false);
    sendReply(session, response, sendFailure, log);
}

void releaseSession(CZySessionLease& lease, long long handle, int type, const char* callback,
                    CBrowseLog& log) {
    CUxError released = lease.release();
    if (released.IsError())
        log.debugLvl(-1, "Could not release session in %s. Handle:%lld. Call Back Type: %d. Error: %s",
                     callback, handle, type, released.GetErrorText().c_str());
}

}  // namespace

CBrowseRouterThreadHM::CBrowseRouterThreadHM() {
    CSessionPort port(0, 0);
    port.SetType(CSessionPort::SessType_MessageService);
    m_server = std::make_unique<CZyNetworkServer>(&browseRouterCallBackXDR, &browseRouterCallBackXML,
                                                  m_serverName.c_str(), port);
    // The items of an answer go on as they came: only the rest of it is read (see forward).
    // Answers that the relay forwards unchanged go on as they came, not written again.
    m_server->SetSkimmedXml(
        {databrowse::BrowseResponse::TAG, databrowse::BrowseResponse::f::browseResult.code,
         databrowse::BrowseResult::f::dataResultSet.code},
        &browseRouterCallBackRelay);
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
    ignoreResult(m_server->Quit(true, true), "stopping: nothing is left to do when it fails");
    CBrowseLog log("FBHMROUTER");
    log.debugLvl(0, "terminated fast browse router thread");
}

void CBrowseRouterThreadHM::browseRouterCallBackXDR(CZyNetworkServer::ZynCallback_e type,
                                                    CZyNetworkServer* server, long long handle,
                                                    unsigned long messageType, zysDatabuf_v2*) {
    CBrowseLog log("FBHMROUTER");
    CZySessionLease session(server, handle);
    if (!session) {
        log.debugLvl(-1,
                     "Acquire session is failed in browseRouterCallBackXDR. Handle:%lld. Call Back Type: %d. "
                     "Error: %s",
                     handle, static_cast<int>(type), session.acquired().GetErrorText().c_str());
        return;
    }
    if (type == CZyNetworkServer::ZYN_CALLBACK_DISCONNECTED) {
        log.debugLvl(0, "Received disconnected handle [%lld]", handle);
        // An answer still under way on it broke off: its agent may go on elsewhere, in time.
        if (CControllerThreadHM* controller = g_poControllerThreadHM)
            controller->answerStreams().connectionEnded(handle);
    }
    if (messageType == ZYS_PM_DISCONNECT_REQ) {
        bool timedOut = false;
        ignoreResult(session->ReplyDisconnect(kReplySeconds, timedOut),
                     "the session ends either way; a peer already gone is no fault");
    }
    releaseSession(session, handle, static_cast<int>(type), "browseRouterCallBackXDR", log);
}

void CBrowseRouterThreadHM::browseRouterCallBackXML(CZyNetworkServer::ZynCallback_e type,
                                                    CZyNetworkServer* server, long long handle,
                                                    CNMessageBase* message) {
    // Owned from here on: deleted on every way out, a failed acquire included.
    serveXml(type, server, handle, std::unique_ptr<CNMessageBase>(message), nullptr);
}

void CBrowseRouterThreadHM::browseRouterCallBackRelay(CZyNetworkServer::ZynCallback_e type,
                                                      CZyNetworkServer* server, long long handle,
                                                      zynet::TReceivedXml& received) {
    std::unique_ptr<CNMessageBase> owned = std::move(received.message);
    serveXml(type, server, handle, std::move(owned), &received);
}

void CBrowseRouterThreadHM::serveXml(CZyNetworkServer::ZynCallback_e type, CZyNetworkServer* server,
                                     long long handle, std::unique_ptr<CNMessageBase> owned,
                                     zynet::TReceivedXml* received) {
    // Each message is a request: what it reads of the registry, its clients and the database, once.
    zydb::CRequestReads reads;
    CBrowseLog log("FBHMROUTER");
    unsigned oldProtocol = 0;
    ZYPlatformInfo::getNumber("EventManager", "OldBrowseProtocol", &oldProtocol);
    if (oldProtocol != 0)
        log.debugLvl(0, "dword EventManager\\OldBrowseProtocol is present. Old browse protocol will be used");

    CZySessionLease lease(server, handle);
    if (!lease) {
        log.debugLvl(-1,
                     "Acquire session is failed in browseRouterCallBackXML. Handle:%lld. Call Back Type: %d. "
                     "Error: %s",
                     handle, static_cast<int>(type), lease.acquired().GetErrorText().c_str());
        return;
    }
    CZyNetwork* session = lease.get();
    if (!owned) {
        log.debugLvl(0, "Message received is NULL. Call Back Type: %d", static_cast<int>(type));
        releaseSession(lease, handle, static_cast<int>(type), "browseRouterCallBackXML", log);
        return;
    }

    std::string errorText;
    int errorCode = databrowse::BROWSE_ERR_GENERIC;
    bool timedOut = false;
    switch (owned->getTagID()) {
        case ZYS_PM_SESSION_MSG:
            break;
        case ZYS_PM_DISCONNECT_REQ:
            ignoreResult(session->ReplyDisconnect(kReplySeconds, timedOut),
                         "the session ends either way; a peer already gone is no fault");
            break;
        case ZYS_PM_ABORT_REQ: {
            zysStatus status{};
            status.status = 0;
            status.detail = 0;
            status.kind = 2;
            ignoreResult(session->AbortConnection(status, kReplySeconds, timedOut),
                         "the session ends either way; a peer already gone is no fault");
            break;
        }
        case databrowse::BrowseRequest::TAG:
            if (auto* request = dynamic_cast<databrowse::BrowseRequest*>(owned.get())) {
                errorText = answerRoutedBrowseRequest(&reads, *request, session, errorCode);
            } else
                log.debugLvl(0, "browse request of no known class dropped");
            break;
        case databrowse::BrowseResponse::TAG:
            if (auto* response = dynamic_cast<databrowse::BrowseResponse*>(owned.get())) {
                CUxString peer;
                if (!session->IsPeerProven() || session->GetRemoteClientName(peer).IsError()) peer = "";
                relayBrowseResponse(*response, oldProtocol != 0, peer.c_str(), handle, received);
            } else
                log.debugLvl(0, "browse response of no known class dropped");
            break;
        case databrowse::MediaPredictionConvReq::TAG:
            convertMediaPrediction(*owned, session, log);
            break;
        case Indexing::PredictionConversionReqList::TAG:
            convertPredictionList(*owned, session, log);
            break;
        default:
            log.debugLvl(3, "message [0x%08x] is not served by BrowseRouter; dropped", owned->getTagID());
            break;
    }

    if (!errorText.empty()) {
        databrowse::BrowseResponse response = errorresponse::of(errorCode, errorText);
        sendReply(session, response, "Failed to send browse response back to caller with error [%s]", log);
    }
    owned.reset();
    releaseSession(lease, handle, static_cast<int>(type), "browseRouterCallBackXML", log);
}

std::string CBrowseRouterThreadHM::getMbGuidFromPath(const std::string& path) {
    if (path.empty()) return {};
    const char separator = path[0];
    if (separator != '/' && separator != '\\') return {};
    const std::string marker = std::string(1, separator) + "MB" + separator;
    const size_t found = path.find(marker);
    if (found == std::string::npos) return {};
    const size_t start = found + marker.size();
    const size_t end = path.find(separator, start);
    return path.substr(start, end == std::string::npos ? std::string::npos : end - start);
}
