#include "tools/browse/consolesession.h"

#include <cstdio>
#include <filesystem>
#include <memory>

#include "platform/config/zyplatforminfo.h"
#include "platform/db/dbresult.h"
#include "platform/entities/clientaddress.h"
#include "platform/hubdb/hubdb.h"
#include "platform/log/evdebug.h"
#include "platform/net/zynet_directory.h"
#include "platform/net/zynetwork.h"
#include "tools/hubmaster/hostbrowse.h"

namespace {

namespace fs = std::filesystem;
using R = databrowse::BrowseRequest::f;

constexpr const char* kLauncher = "sLNIDXMA";
constexpr const char* kAlternateLauncher = "sLPIDXMA";
constexpr int kStopReplySeconds = 3;
constexpr int64_t kWarningResponse = 4;

// The first name of a mangled one ("name*host*0*port").
std::string clientPart(const std::string& name) {
    return name.substr(0, name.find('*'));
}

CNMessageBase* childOf(CNMessageBase* owner, const MsgFieldRef& f) {
    return owner && owner->isSet(f) ? owner->getObjectAccessor(f, false) : nullptr;
}

}  // namespace

CConsoleSession::CConsoleSession(TConsoleOptions options, std::string hubmasterProgram)
    : m_options(std::move(options)), m_hubmasterProgram(std::move(hubmasterProgram)) {}

std::string CConsoleSession::mediaAgentOf(CNMessageBase& prepared) {
    if (auto* v1 = dynamic_cast<Indexing::BrowseReq*>(&prepared)) {
        for (const MsgFieldRef* f : {&Indexing::BrowseReq::f::maName, &Indexing::BrowseReq::f::maClientName})
            if (!v1->getstring(*f).empty()) return v1->getstring(*f);
        if (auto* cycles = v1->getlistobject(Indexing::BrowseReq::f::backupCycles, false))
            for (CNMessageBase& cycle : *cycles)
                if (!cycle.getstring(Indexing::BackupCycle::f::ma).empty())
                    return cycle.getstring(Indexing::BackupCycle::f::ma);
        return "";
    }
    CNMessageBase* routing = childOf(childOf(&prepared, R::indexing), databrowse::Msg91::f::indexingInfo);
    if (routing && !routing->getstring(databrowse::IndexingInfo::f::mediaAgentName).empty())
        return routing->getstring(databrowse::IndexingInfo::f::mediaAgentName);
    if (CNMessageBase* database = childOf(routing, databrowse::IndexingInfo::f::indexDBInfo))
        if (!database->getstring(databrowse::IndexDBInfo::f::mediaAgentName).empty())
            return database->getstring(databrowse::IndexDBInfo::f::mediaAgentName);
    if (CNMessageBase* ma = childOf(&prepared, R::ma))
        return ma->getstring(ZyEntities::ClientEntity::f::clientName);
    return "";
}

bool CConsoleSession::prepare(std::string& error) {
    if (m_options.dataFolder.empty()) return true;
    const fs::path folder(m_options.dataFolder);
    ZYPlatformInfo::setRegistryPath((folder / "registry.ini").string());
    EvDebugFileInstance::setLogDirectory(folder.string());
    const fs::path database = folder / "hub.db";
    if (!fs::is_regular_file(database)) {
        error = "no Hubmaster database in " + folder.string();
        return false;
    }
    if (hubdb::openHubDatabase(database.string(), &error) != zydb::DB_OK) {
        error = "cannot open " + database.string() + ": " + error;
        return false;
    }
    CZyNetDirectory::instance().setResolver(&ZyClientAddressFromDatabase);
    return true;
}

bool CConsoleSession::obtainToken(std::string& error) {
    if (!m_options.token.empty() || m_options.user.empty()) return true;
    if (m_hubmasterProgram.empty() || m_options.dataFolder.empty()) {
        error = "--user needs --data and the host program to issue a token";
        return false;
    }
    // The login goes as one argument of its own: no shell sees it.
    const std::string command =
        "'" + m_hubmasterProgram + "' token --user \"$BROWSE_TOKEN_USER\" --data \"$BROWSE_TOKEN_DATA\"";
    setenv("BROWSE_TOKEN_USER", m_options.user.c_str(), 1);
    setenv("BROWSE_TOKEN_DATA", m_options.dataFolder.c_str(), 1);
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    std::string token;
    char buffer[512];
    while (pipe && std::fgets(buffer, sizeof buffer, pipe.get())) token += buffer;
    const int status = pipe ? pclose(pipe.release()) : -1;
    while (!token.empty() && (token.back() == '\n' || token.back() == '\r')) token.pop_back();
    if (status != 0 || token.empty()) {
        error = "no token could be obtained for user [" + m_options.user + "]";
        return false;
    }
    m_options.token = token;
    return true;
}

bool CConsoleSession::routerAddress(TZyNetAddress& address, std::string& error) {
    address.host = m_options.routerHost;
    address.port = m_options.routerPort;
    if (address.host.empty()) ZYPlatformInfo::getString(kRegistrySection, kRouterHostKey, &address.host);
    if (address.port <= 0) ZYPlatformInfo::getRegInt(kRegistrySection, kRouterPortKey, &address.port);
    if (address.host.empty()) address.host = "127.0.0.1";
    if (address.port > 0) return true;
    error = "the Hubmaster's address is unknown: give --port (and --host), or --data of a running host";
    return false;
}

int CConsoleSession::run(TConsoleResult& result, const std::function<void(size_t)>& progress) {
    TZyNetAddress router;
    std::string error;
    if (!prepare(error) || !obtainToken(error) || !routerAddress(router, error)) {
        result.error = error;
        return 1;
    }
    databrowse::BrowseRequest request = buildConsoleRequest(m_options);
    if (m_options.viaHubmaster && m_options.command != EConsoleCommand::kErase)
        return throughHubmaster(router, request, result, progress);
    const int browsed = throughRouter(router, request, result, progress);
    if (browsed != 0 || m_options.command != EConsoleCommand::kErase) return browsed;
    // The items to erase are listed; the Hubmaster now makes the erase task of them.
    TConsoleResult task;
    if (throughHubmaster(router, request, task, {}) != 0) {
        result.error = task.error;
        return 1;
    }
    result.note =
        "The Hubmaster created the erase task for " + std::to_string(m_options.paths.size()) + " path(s)";
    return 0;
}

int CConsoleSession::throughRouter(const TZyNetAddress& router, databrowse::BrowseRequest& request,
                                   TConsoleResult& result, const std::function<void(size_t)>& progress) {
    CZyNetwork session;
    bool timedOut = false;
    CUxError step = session.Connect(router, "BrowseRouter", m_options.callerClient.c_str(), 30, timedOut);
    if (!step.IsError()) step = session.SendXMLMessage(request, 0, m_options.timeoutSeconds, timedOut);
    if (step.IsError()) {
        result.error = "cannot reach BrowseRouter at " + router.host + ":" + std::to_string(router.port) +
                       ": " + step.GetErrorText();
        return 1;
    }
    const bool stop = m_options.command == EConsoleCommand::kStop;
    std::unique_ptr<CNMessageBase> reply;
    // Warnings (a find's clients that are not searched) come before the one reply.
    for (;;) {
        CNMessageBase* received = nullptr;
        step = session.ReceiveXMLMessage(nullptr, received, nullptr, 0,
                                         stop ? kStopReplySeconds : m_options.timeoutSeconds, timedOut);
        reply.reset(received);
        auto* warning = dynamic_cast<databrowse::BrowseResponse*>(reply.get());
        if (!warning || warning->getint64(databrowse::BrowseResponse::f::respType) != kWarningResponse) break;
        addConsoleResponse(result, *warning);
    }
    session.Disconnect(5, timedOut);
    if (!reply) {
        if (stop && !step.IsError()) {
            result.note = "stop requested for session " + m_options.session;
            return 0;
        }
        result.error = step.IsError() ? "no answer from BrowseRouter: " + step.GetErrorText()
                                      : "no answer from BrowseRouter within " +
                                            std::to_string(m_options.timeoutSeconds) + " s";
        return 1;
    }
    if (auto* response = dynamic_cast<databrowse::BrowseResponse*>(reply.get())) {
        // An error, or the whole answer the Hubmaster holds itself.
        addConsoleResponse(result, *response);
        return result.error.empty() ? 0 : 1;
    }
    return follow(*reply, result, progress);
}

int CConsoleSession::follow(CNMessageBase& prepared, TConsoleResult& result,
                            const std::function<void(size_t)>& progress) {
    const std::string agent = m_options.mediaAgent.empty() ? mediaAgentOf(prepared) : m_options.mediaAgent;
    if (agent.empty()) {
        result.error = "the prepared request names no media agent; give --ma";
        return 1;
    }
    // The media agent's own host name, or the host given for media agents with the agent's port.
    std::string target = agent;
    if (!m_options.mediaAgentHost.empty()) {
        TZyNetAddress address;
        if (CZyNetDirectory::instance().resolve(agent, address).IsError() &&
            !ZyClientAddressFromDatabase(clientPart(agent), address)) {
            result.error = "the port of media agent [" + clientPart(agent) + "] is unknown";
            return 1;
        }
        target = MangleHostName(m_options.mediaAgentHost, clientPart(agent), 0, address.port);
    }
    auto ma = std::make_unique<CZyNetwork>();
    bool timedOut = false;
    CUxError step = ma->Connect(target.c_str(), kIndexService, m_options.callerClient.c_str(), 30, timedOut);
    if (step.IsError()) {
        // An index service that runs on demand is started through its launcher, on a session of its own.
        ma = std::make_unique<CZyNetwork>();
        TZyRemoteDLL launcher;
        std::snprintf(launcher.name, sizeof launcher.name, "%s", kLauncher);
        std::snprintf(launcher.alternateName, sizeof launcher.alternateName, "%s", kAlternateLauncher);
        step = ma->Attach_RemoteDLL(target.c_str(), launcher, m_options.callerClient.c_str(), 30, timedOut);
    }
    if (!step.IsError()) step = ma->SendXMLMessage(prepared, 0, m_options.timeoutSeconds, timedOut);
    if (step.IsError()) {
        // Media agents below release 10.0 have no index service: the Hubmaster browses them itself.
        result.error = "cannot reach the index service of media agent [" + clientPart(agent) +
                       "]: " + step.GetErrorText() +
                       " (an older media agent is browsed with --via hubmaster)";
        return 1;
    }
    readAnswers(*ma, "media agent [" + clientPart(agent) + "]", result, progress);
    ma->Disconnect(5, timedOut);
    return result.error.empty() ? 0 : 1;
}

void CConsoleSession::readAnswers(CZyNetwork& peer, const std::string& who, TConsoleResult& result,
                                  const std::function<void(size_t)>& progress) {
    while (true) {
        CNMessageBase* received = nullptr;
        bool timedOut = false;
        const CUxError step =
            peer.ReceiveXMLMessage(nullptr, received, nullptr, 0, m_options.timeoutSeconds, timedOut);
        std::unique_ptr<CNMessageBase> answer(received);
        if (step.IsError() || !answer) {
            if (result.error.empty())
                result.error = who + " stopped answering" +
                               (step.IsError() ? ": " + step.GetErrorText() : " within the time limit");
            return;
        }
        auto* response = dynamic_cast<databrowse::BrowseResponse*>(answer.get());
        if (!response) continue;
        const bool done = addConsoleResponse(result, *response);
        if (progress) progress(result.items.size());
        if (done) return;
    }
}

int CConsoleSession::throughHubmaster(const TZyNetAddress& hubmaster, databrowse::BrowseRequest& request,
                                      TConsoleResult& result, const std::function<void(size_t)>& progress) {
    CZyNetwork session;
    bool timedOut = false;
    CUxError step = session.Connect(hubmaster, CHostBrowseService::kServiceName,
                                    m_options.callerClient.c_str(), 30, timedOut);
    if (!step.IsError()) step = session.SendXMLMessage(request, 0, m_options.timeoutSeconds, timedOut);
    if (step.IsError()) {
        result.error = "cannot reach the Hubmaster's browse service at " + hubmaster.host + ":" +
                       std::to_string(hubmaster.port) + ": " + step.GetErrorText();
        return 1;
    }
    readAnswers(session, "the Hubmaster", result, progress);
    session.Disconnect(5, timedOut);
    return result.error.empty() ? 0 : 1;
}
