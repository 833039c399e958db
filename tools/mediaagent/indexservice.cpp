#include "tools/mediaagent/indexservice.h"

#include <cctype>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <vector>

#include "platform/config/zyplatforminfo.h"
#include "platform/log/evdebug.h"
#include "platform/log/logtext.h"
#include "platform/msg/msg_classes.h"
#include "platform/msg/secured_message_handler.h"
#include "platform/msg/sessionidlimit.h"
#include "platform/net/zynet_directory.h"
#include "platform/net/zynet_options.h"
#include "platform/net/zynetwork.h"
#include "platform/restoreproto/fsr_messages.h"
#include "platform/threads/hubclock.h"
#include "tools/mediaagent/answerstops.h"
#include "tools/mediaagent/superbrowseanswer.h"
#include "tools/mediaagent/v2answer.h"

namespace mediaagent {

namespace {

// The routing block of a V2 request; null when it has none.
CNMessageBase* routingOf(databrowse::BrowseRequest& request) {
    CNMessageBase* indexing = request.getObjectAccessor(databrowse::BrowseRequest::f::indexing, false);
    return indexing ? indexing->getObjectAccessor(databrowse::Msg91::f::indexingInfo, false) : nullptr;
}

constexpr int kSendSeconds = 30;
// A signed request presented a second time.
constexpr int kReplayed = 100;
constexpr const char* kReplayedText =
    "This signed request was answered already, or signed before this media agent started; ask the Hubmaster "
    "for a new one";
const char* operationName(int64_t op) {
    switch (op) {
        case databrowse::BROWSE_OP_BROWSE:
            return "browse";
        case databrowse::BROWSE_OP_FIND:
            return "find";
        case databrowse::BROWSE_OP_ALL_VERSIONS:
            return "all versions";
        case databrowse::BROWSE_OP_MEDIA_PREDICTION:
            return "media";
        case databrowse::BROWSE_OP_STOP:
            return "stop";
        case databrowse::BROWSE_OP_END_USER_ERASE:
            return "erase";
        default:
            return "operation";
    }
}

// What a request asks, in the log's words: the entity and the operation.
// The user a request's user text names: "<user id>12<login>" as the Hubmaster writes it; " for user
// [<login>]", or "" when it names none.
std::string forUser(const std::string& userText) {
    size_t digits = 0;
    while (digits < userText.size() && std::isdigit(static_cast<unsigned char>(userText[digits]))) ++digits;
    if (digits < 3 || userText.compare(digits - 2, 2, "12") != 0 || digits == userText.size()) return "";
    return " for user [" + userText.substr(digits) + "]";
}

std::string describeAsked(databrowse::BrowseRequest& request) {
    const CNMessageBase* entity = request.getObjectAccessor(databrowse::BrowseRequest::f::entity, false);
    std::string text = operationName(request.getint64(databrowse::BrowseRequest::f::opType));
    if (entity) {
        using E = ZyEntities::GenericEntity::f;
        if (!entity->getstring(E::clientName).empty())
            text += " of client [" + entity->getstring(E::clientName) + "]";
        if (entity->getint64(E::subclientId) > 0)
            text += " subclient [" + std::to_string(entity->getint64(E::subclientId)) + "]";
    }
    return text + forUser(request.getstring(databrowse::BrowseRequest::f::userName));
}

std::string describeAsked(Indexing::BrowseReq& request) {
    using B = Indexing::BrowseReq::f;
    std::string text = "index browse of";
    // The browsed client's host, as the Hubmaster's request carries it.
    if (!request.getstring(B::at38_62).empty()) text += " client [" + request.getstring(B::at38_62) + "]";
    text += " subclient [" + std::to_string(request.getint64(B::subclientId)) + "]";
    if (!request.getstring(B::browsePath).empty()) text += " path [" + request.getstring(B::browsePath) + "]";
    return text + forUser(request.getstring(B::userText));
}

const char* signedRefusal(int check) {
    switch (check) {
        case I2::SECURED_NO_KEY:
            return "no signing key here";
        case I2::SECURED_BAD_SIGNATURE:
            return "the signature does not match";
        case I2::SECURED_BAD_ATTRIBUTES:
            return "the signed attributes do not read";
        case I2::SECURED_WRONG_CLIENT:
            return "signed for another client than the caller";
        case I2::SECURED_DIGEST_MISMATCH:
            return "the request was changed after it was signed";
        case I2::SECURED_NO_PAYLOAD:
            return "a signed request without its parts";
        case I2::SECURED_STALE:
            return "signed too long ago";
        case kReplayed:
            return "presented again (each signed request is answered once)";
        default:
            return "not a valid signed request";
    }
}

const MsgFieldRef& kSignatureV2 = databrowse::SecuredBrowseRequest::f::signature;
const MsgFieldRef& kSignatureV1 = Indexing::SecuredBrowseReq::f::signature;
constexpr int64_t kLaunchRefused = 5;

// The service each server belongs to, so that the plain callbacks find it. A launcher instance's server
// leaves the map when the launcher frees it.
CHubMutex g_serversMutex;
std::map<const CZyNetworkServer*, CIndexService*> g_servers GUARDED_BY(g_serversMutex);

CIndexService* serviceOf(const CZyNetworkServer* server) {
    CHubMutexLock lock(g_serversMutex);
    auto it = g_servers.find(server);
    return it == g_servers.end() ? nullptr : it->second;
}

class CLauncherServer : public CZyNetworkServer {
public:
    CLauncherServer(CIndexService* owner, XdrCallback xdr, XmlCallback xml, const std::string& guid,
                    std::shared_ptr<CZydListener> listener)
        : CZyNetworkServer(xdr, xml, guid.c_str(), std::move(listener)) {
        CHubMutexLock lock(g_serversMutex);
        g_servers[this] = owner;
    }
    ~CLauncherServer() override {
        CHubMutexLock lock(g_serversMutex);
        g_servers.erase(this);
    }
};

// The state the script steps move on: who the answers name.
struct TAnswerTarget {
    std::string workerId;
    std::string session;
};

databrowse::BrowseResponse response(int64_t type, const TAnswerTarget& target) {
    databrowse::BrowseResponse r;
    r.setint64(databrowse::BrowseResponse::f::respType, type);
    r.setstring(databrowse::BrowseResponse::f::workerId, target.workerId);
    databrowse::BrowseSession session;
    session.setstring(databrowse::BrowseSession::f::sessionId, target.session);
    r.setObjectAccessor(session, databrowse::BrowseResponse::f::session);
    return r;
}

void addItems(databrowse::BrowseResponse& r, long count, const std::string& prefix) {
    using D = databrowse::BrowseData::f;
    using A = databrowse::Msg93::f;
    std::vector<CNMessageBase> items;
    items.reserve(static_cast<size_t>(count));
    for (long i = 0; i < count; ++i) {
        const std::string name = prefix + std::to_string(i);
        databrowse::BrowseData data;
        data.setstring(D::name, name);
        data.setstring(D::displayName, name);
        data.setstring(D::path, "/" + name);
        data.setint64(D::size, 1000 + i);
        data.setint64(D::modificationTime, 1700000000 + i);
        databrowse::Msg93 inner;
        inner.setint64(A::backupTime, 1700000500 + i);
        inner.setint64(A::archiveFileId, 10 + i);
        ZyEntities::Msg10 subclient;
        subclient.setint64(ZyEntities::Msg10::f::subclientId, 7);
        inner.setObjectAccessor(subclient, A::subclientEntity);
        data.setObjectAccessor(inner, D::advancedData);
        items.push_back(std::move(data));
    }
    r.getObjectAccessor(databrowse::BrowseResponse::f::browseResult, true)
        ->setlistobject(databrowse::BrowseResult::f::dataResultSet, items);
}

void addPredictions(databrowse::BrowseResponse& r, long count) {
    using L = databrowse::LogicalMedia::f;
    std::vector<CNMessageBase> predictions;
    for (long i = 0; i < count; ++i) {
        databrowse::LogicalMedia media;
        media.setint64(L::flags, 0x8);
        media.setint64(L::archFileId, 100 + i);
        media.setint64(L::size, 4096);
        databrowse::PredictionData prediction;
        prediction.setObjectAccessor(media, databrowse::PredictionData::f::logicalMedia);
        predictions.push_back(std::move(prediction));
    }
    r.setlistobject(databrowse::BrowseResponse::f::predictions, predictions);
}

void addError(databrowse::BrowseResponse& r, int64_t code, const std::string& text) {
    databrowse::BrowseError error;
    error.setint64(databrowse::BrowseError::f::errorCode, code);
    if (!text.empty()) error.setstring(databrowse::BrowseError::f::errorMessage, text);
    r.setlistobject(databrowse::BrowseResponse::f::messages, {error});
}

std::string rest(std::istringstream& in) {
    std::string text;
    std::getline(in >> std::ws, text);
    return text;
}

}  // namespace

CIndexService::CIndexService(std::shared_ptr<CZydListener> listener, TIndexServiceOptions options)
    : m_options(std::move(options)),
      m_listener(std::move(listener)),
      m_ledger(CSignatureLedger::nextWholeSecond()) {
    if (m_options.launch == TIndexLaunch::Started) startService();
    ZyLaunchFactory factory = [this](const TZyLaunch& launch) -> std::unique_ptr<CZyNetworkServer> {
        return std::make_unique<CLauncherServer>(this, &onXdr, &onXml<&CIndexService::launch>, launch.guid,
                                                 launch.listener);
    };
    m_listener->registerLaunchable(kLauncherName, factory);
    m_listener->registerLaunchable(kAlternateLauncherName, factory);
}

CIndexService::~CIndexService() {
    stop();
}

bool CIndexService::startService() {
    CHubMutexLock lock(m_mutex);
    if (m_service) return true;
    CHubMutexLock servers(g_serversMutex);
    m_service =
        std::make_unique<CZyNetworkServer>(&onXdr, &onXml<&CIndexService::serve>, kServiceName, m_listener);
    g_servers[m_service.get()] = this;
    return true;
}

void CIndexService::stop() {
    m_listener->unregisterLaunchable(kLauncherName);
    m_listener->unregisterLaunchable(kAlternateLauncherName);
    std::unique_ptr<CZyNetworkServer> service;
    {
        CHubMutexLock lock(m_mutex);
        service = std::move(m_service);
    }
    if (!service) return;
    ignoreResult(service->Quit(true, true), "stopping: nothing is left to do when it fails");
    CHubMutexLock servers(g_serversMutex);
    g_servers.erase(service.get());
}

void CIndexService::journal(const std::string& line) {
    if (m_options.journalPath.empty()) return;
    CHubMutexLock lock(m_mutex);
    std::ofstream out(m_options.journalPath, std::ios::app);
    out << logtext::escaped(line) << '\n';  // one line, whatever the caller's texts in it hold
}

void CIndexService::onXdr(CZyNetworkServer::ZynCallback_e, CZyNetworkServer* server, long long handle,
                          unsigned long code, zysDatabuf_v2*) {
    if (code != ZYS_PM_DISCONNECT_REQ) return;
    CZySessionLease session(server, handle);
    if (!session) return;
    bool timedOut = false;
    ignoreResult(session->ReplyDisconnect(5, timedOut),
                 "the session ends either way; a peer already gone is no fault");
}

template <void (CIndexService::*Handler)(CZyNetwork&, CNMessageBase&)>
void CIndexService::onXml(CZyNetworkServer::ZynCallback_e, CZyNetworkServer* server, long long handle,
                          CNMessageBase* message) {
    std::unique_ptr<CNMessageBase> owned(message);
    CIndexService* service = serviceOf(server);
    if (!service || !owned) return;
    CZySessionLease session(server, handle);
    if (!session) return;
    ZYPlatformInfo::CReadScope settings;  // one message's registry reads look at the file once
    (service->*Handler)(*session, *owned);
}

void CIndexService::launch(CZyNetwork& session, CNMessageBase& message) {
    bool timedOut = false;
    if (message.getTagID() == ZYS_PM_DISCONNECT_REQ) {
        ignoreResult(session.ReplyDisconnect(5, timedOut),
                     "the session ends either way; a peer already gone is no fault");
        return;
    }
    if (message.getTagID() != Indexing::LaunchIndexingServiceReq::TAG) return;
    const std::string wanted = message.getstring(Indexing::LaunchIndexingServiceReq::f::serviceName);
    int64_t result = kLaunchRefused;
    if (m_options.launch != TIndexLaunch::Refused && wanted == kServiceName && startService()) result = 0;
    journal("launch service=" + wanted + " result=" + std::to_string(result));
    Indexing::LaunchIndexingServiceResp reply;
    reply.setint64(Indexing::LaunchIndexingServiceResp::f::launchResult, result);
    ignoreResult(session.SendXMLMessage(reply, 0, kSendSeconds, timedOut),
                 "a caller gone before the answer has nobody to tell");
}

void CIndexService::serve(CZyNetwork& session, CNMessageBase& message) {
    // One line per request at level 0: its session, who asked (the name its certificate proves), what,
    // how it ended (refusals with their reason), the items answered and the time taken.
    TRequestLine line;
    const auto started = CHubClock::real().steadyNow();
    serveOne(session, message, line);
    if (line.what.empty()) return;
    // A refused request's session id is the caller's text: the line keeps no more of it than any id has.
    if (const size_t cut = line.session.size(); cut > databrowse::kMaxSessionIdLength) {
        line.session.resize(databrowse::kMaxSessionIdLength);
        line.session += "... (" + std::to_string(cut) + " characters)";
    }
    const std::string peer = TPeerRule::peerName(session);
    const long long ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(CHubClock::real().steadyNow() - started)
            .count();
    EvDebug log(nullptr);
    log.setPrefixMessage("MEDIAAGENT");
    log.debugLvl(0, "request of session [%s] by [%s]: %s: %s in %lld ms", line.session.c_str(),
                 peer.empty() ? "an anonymous caller" : peer.c_str(), line.what.c_str(),
                 line.outcome.empty() ? "done" : line.outcome.c_str(), ms);
}

void CIndexService::serveOne(CZyNetwork& session, CNMessageBase& message, TRequestLine& line) {
    bool timedOut = false;
    const uint32_t tag = message.getTagID();
    if (tag == ZYS_PM_DISCONNECT_REQ) {
        ignoreResult(session.ReplyDisconnect(5, timedOut),
                     "the session ends either way; a peer already gone is no fault");
    } else if (auto* request = dynamic_cast<databrowse::BrowseRequest*>(&message)) {
        if (const std::string why = databrowse::sessionIdRefusal(*request); !why.empty()) {
            line.what = "a browse";
            line.refuse(why);
            refuseCaller(session);
            return;
        }
        CNMessageBase* block = request->getObjectAccessor(databrowse::BrowseRequest::f::session, false);
        const std::string guid = block ? block->getstring(databrowse::BrowseSession::f::sessionId) : "";
        line.session = guid;
        line.what = describeAsked(*request);
        if (request->getint64(databrowse::BrowseRequest::f::opType) == databrowse::BROWSE_OP_STOP) {
            if (!m_options.peers.isHubmaster(session)) {
                journal("refused stop-v2 session=" + guid + " peer=" + TPeerRule::peerName(session));
                line.refuse("only the Hubmaster stops a session");
                return;
            }
            const int stopped = CAnswerStops::instance().stop(guid, ownerOfV2Request(*request));
            journal("stop-v2 session=" + guid + " stopped=" + std::to_string(stopped));
            line.noteOutcome("stopped " + std::to_string(stopped) + " answer(s)");
            return;
        }
        if (!m_options.peers.mayAskPlain(session)) {
            journal("refused plain session=" + guid + " peer=" + TPeerRule::peerName(session));
            line.refuse("an unsigned request of a caller other than the Hubmaster (plain mode is off)");
            refuseCaller(session);
            return;
        }
        journal("browse plain session=" + guid);
        CNMessageBase* routing = routingOf(*request);
        const std::string host =
            routing ? routing->getstring(databrowse::IndexingInfo::f::hubmasterHost) : "";
        if (!answerV2(*request, "plain", routing ? consoleOf(session, host) : nullptr, line))
            answer(*request);
    } else if (auto* secured = dynamic_cast<databrowse::SecuredBrowseRequest*>(&message)) {
        I2::SecuredMessageHandler handler;
        databrowse::BrowseRequest opened;
        const int check =
            openSigned(session, handler, secured->getpstringobject(kSignatureV2),
                       [&](auto& name) { return handler.openSecuredBrowseRequest(*secured, opened, name); });
        if (CNMessageBase* block = opened.getObjectAccessor(databrowse::BrowseRequest::f::session, false))
            line.session = block->getstring(databrowse::BrowseSession::f::sessionId);
        line.what = "signed " + describeAsked(opened);
        if (check != 0) line.refuse(signedRefusal(check));
        // A request prepared for a direct caller names no Hubmaster: its caller reads the answers.
        CNMessageBase* routing = check == 0 ? routingOf(opened) : nullptr;
        if (check == 0)
            answerV2(opened, "secured",
                     consoleOf(session,
                               routing ? routing->getstring(databrowse::IndexingInfo::f::hubmasterHost) : ""),
                     line);
        else
            refuseCaller(session, check == kReplayed ? kReplayedText : nullptr);  // never left waiting
    } else if (auto* signedV1 = dynamic_cast<Indexing::SecuredBrowseReq*>(&message)) {
        I2::SecuredMessageHandler handler;
        Indexing::BrowseReq opened;
        const int check = openSigned(
            session, handler, signedV1->getpstringobject(kSignatureV1),
            [&](auto& name) { return handler.openSecuredIndexBrowseReq(*signedV1, opened, name); });
        line.session = opened.getstring(Indexing::BrowseReq::f::browseSessionGuid);
        line.what = "signed " + describeAsked(opened);
        if (check != 0) line.refuse(signedRefusal(check));
        if (check == 0)
            answerIndexBrowse(session, opened, "secured ", line);
        else
            refuseCaller(session, check == kReplayed ? kReplayedText : nullptr);
    } else if (auto* stop = dynamic_cast<Indexing::BrowseReq*>(&message)) {
        const bool isStop =
            stop->getint64(Indexing::BrowseReq::f::options) == Indexing::kBrowseReqStopOptions;
        line.session = stop->getstring(Indexing::BrowseReq::f::browseSessionGuid);
        line.what = isStop ? "stop" : describeAsked(*stop);
        // Only the Hubmaster stops a session: it has judged who asks against the session's owner, and
        // plain mode lets anyone browse, not end another caller's answer.
        if (isStop ? !m_options.peers.isHubmaster(session) : !m_options.peers.mayAskPlain(session)) {
            journal(std::string(isStop ? "refused stop" : "refused index-browse") +
                    " peer=" + TPeerRule::peerName(session));
            line.refuse(isStop
                            ? "only the Hubmaster stops a session"
                            : "an unsigned request of a caller other than the Hubmaster (plain mode is off)");
            if (!isStop) refuseCaller(session);
            return;
        }
        if (isStop) {
            const std::string guid = stop->getstring(Indexing::BrowseReq::f::browseSessionGuid);
            TAnswerOwner owner;
            owner.userText = stop->getstring(Indexing::BrowseReq::f::userText);
            journal("stop session=" + guid + " ma=" + stop->getstring(Indexing::BrowseReq::f::maName) +
                    " stopped=" + std::to_string(CAnswerStops::instance().stop(guid, owner)));
        } else {
            answerIndexBrowse(session, *stop, "", line);
        }
    } else if (tag == Indexing::LaunchIndexingServiceReq::TAG) {
        launch(session, message);
    } else {
        char text[32];
        std::snprintf(text, sizeof text, "unknown 0x%08x", tag);
        journal(text);
    }
}

int CIndexService::openSigned(CZyNetwork& session, I2::SecuredMessageHandler& handler, pstring* signature,
                              const std::function<int(const std::string&)>& open) {
    // A proven peer presents requests signed for itself; the Hubmaster signs some in its own name (for
    // callers without a certificate, and a find across clients), answered to whoever presents them.
    const std::string peer = TPeerRule::peerName(session);
    const std::string& hubmaster = m_options.peers.hubmasterName;
    int check = open("");
    if (check == 0) {
        const std::string signedFor =
            handler.systemAttributes()->getstring(databrowse::SystemAttributes::f::clientName);
        if (!(!peer.empty() && signedFor == peer) && !(!hubmaster.empty() && signedFor == hubmaster))
            check = I2::SECURED_WRONG_CLIENT;
    }
    const databrowse::SystemAttributes* attributes = check == 0 ? handler.systemAttributes() : nullptr;
    if (attributes && signature && !m_options.peers.isHubmaster(session) &&
        !m_ledger.firstUse(signature->str(),
                           attributes->getint64(databrowse::SystemAttributes::f::createTime),
                           I2::SecuredMessageHandler::maxAgeSeconds()))
        check = kReplayed;
    journal(
        "browse secured check=" + std::to_string(check) + " client=" +
        (attributes ? attributes->getstring(databrowse::SystemAttributes::f::clientName) : std::string()) +
        " peer=" + peer);
    return check;
}

void CIndexService::answerIndexBrowse(CZyNetwork& session, Indexing::BrowseReq& request, const char* form,
                                      TRequestLine& line) {
    if (m_options.indexPath.empty()) {
        journal(std::string("index-browse ") + form);
        return;
    }
    std::string outcome;
    sendIndexBrowseAnswer(request, m_options.indexPath, m_options.batchSize, outcome,
                          consoleOf(session, request.getstring(Indexing::BrowseReq::f::hubmasterHost)));
    journal(std::string("index-browse ") + form + outcome);
    line.noteOutcome(outcome);
}

CZyNetwork* CIndexService::consoleOf(CZyNetwork& session, const std::string& hubmasterHost) {
    if (m_options.hubDatabasePath.empty()) return nullptr;
    if (hubmasterHost.empty()) return &session;
    CUxString peer;
    if (session.GetRemoteClientName(peer).IsError()) return nullptr;
    const std::string name = peer.c_str();
    // The Hubmaster itself asked (proven by its certificate to be the machine the request names, by its
    // client name, or its host name when the name is not mangled): its answers go to its router. Any
    // other caller, a console with or without a certificate of its own, reads them on its session.
    std::string host, client;
    int service = 0, port = 0;
    if (!DemangleHostName(hubmasterHost, host, client, service, port)) host = client = hubmasterHost;
    if (session.IsPeerProven() && !name.empty() && (name == client || name == host)) return nullptr;
    return &session;
}

bool CIndexService::answerV2(databrowse::BrowseRequest& request, const char* form, CZyNetwork* caller,
                             TRequestLine& line) {
    if (m_options.indexPath.empty() || !isV2IndexRequest(request)) return false;
    journal(std::string("browse-v2 ") + form + " " + describeV2Request(request));
    std::string outcome;
    sendV2BrowseAnswer(request, m_options.indexPath, m_options.batchSize, outcome, caller);
    journal("browse-v2 " + outcome);
    line.noteOutcome(outcome);
    if (m_options.convertPredictions) {
        std::string converted;
        sendPredictionConversions(request, m_options.indexPath, converted);
        journal("prediction-conversion " + converted);
    }
    return true;
}

bool CIndexService::answer(const databrowse::BrowseRequest& request) {
    auto& req = const_cast<databrowse::BrowseRequest&>(request);
    CNMessageBase* indexing = req.getObjectAccessor(databrowse::BrowseRequest::f::indexing, false);
    CNMessageBase* routing =
        indexing ? indexing->getObjectAccessor(databrowse::Msg91::f::indexingInfo, false) : nullptr;
    CNMessageBase* block = req.getObjectAccessor(databrowse::BrowseRequest::f::session, false);
    if (!routing) {
        journal("answer none: no routing block");
        return false;
    }
    TAnswerTarget target{routing->getstring(databrowse::IndexingInfo::f::workerId),
                         block ? block->getstring(databrowse::BrowseSession::f::sessionId) : ""};
    const std::string host = routing->getstring(databrowse::IndexingInfo::f::hubmasterHost);
    std::string router = routing->getstring(databrowse::IndexingInfo::f::routerName);
    if (router.empty()) router = "BrowseRouter";

    std::vector<std::string> steps;
    std::ifstream script(m_options.scriptPath);
    for (std::string line; std::getline(script, line);)
        if (!line.empty() && line[0] != '#') steps.push_back(line);
    if (steps.empty()) steps.push_back("end");

    // One session for the whole answer: the router relays it in this order.
    CRouterSession session;
    std::string error;
    if (!session.open(host, router, error)) {
        journal("answer failed: " + error);
        return false;
    }
    CZyNetwork& out = session.session();
    bool timedOut = false;
    int sent = 0;
    for (const std::string& step : steps) {
        std::istringstream in(step);
        std::string verb;
        in >> verb;
        databrowse::BrowseResponse r;
        if (verb == "session") {
            in >> target.session;
            continue;
        } else if (verb == "worker") {
            in >> target.workerId;
            continue;
        } else if (verb == "items") {
            long count = 0;
            std::string prefix = "item";
            in >> count >> prefix;
            r = response(0, target);
            addItems(r, count, prefix);
        } else if (verb == "predictions") {
            long count = 0;
            in >> count;
            r = response(1, target);
            addPredictions(r, count);
        } else if (verb == "warning" || verb == "error") {
            int64_t code = 0;
            in >> code;
            r = response(verb == "error" ? 3 : 4, target);
            addError(r, code, rest(in));
        } else if (verb == "end") {
            r = response(5, target);
        } else {
            continue;
        }
        if (out.SendXMLMessage(r, 0, kSendSeconds, timedOut).IsError()) break;
        ++sent;
    }
    journal("answered worker=" + target.workerId + " responses=" + std::to_string(sent));
    return true;
}

}  // namespace mediaagent
