#include "tools/browse/consolesession.h"

#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <vector>

#include "Db/Tbl/APP_Application.h"
#include "Db/Tbl/APP_Client.h"
#include "platform/archive/archivemanagerhm.h"
#include "platform/config/zyplatforminfo.h"
#include "platform/db/dbresult.h"
#include "platform/entities/apptypes.h"
#include "platform/entities/clientaddress.h"
#include "platform/entities/vmhandback.h"
#include "platform/entities/zyclient.h"
#include "platform/errors/evmessageids.h"
#include "platform/hubdb/hubdb.h"
#include "platform/log/evdebug.h"
#include "platform/msg/agentflag.h"
#include "platform/msg/criteriaoperators.h"
#include "platform/msg/erasedryrun.h"
#include "platform/msg/password_cipher.h"
#include "platform/net/zynet_directory.h"
#include "platform/net/zynet_errors.h"
#include "platform/net/zynet_options.h"
#include "platform/net/zynet_tls.h"
#include "platform/net/zynetwork.h"
#include "platform/net/zyondemand_client.h"
#include "platform/security/evsecuritymgr.h"
#include "platform/threads/hubclock.h"
#include "tools/hubmaster/hostbrowse.h"
#include "tools/readablefiles.h"

namespace {

namespace fs = std::filesystem;
using R = databrowse::BrowseRequest::f;

constexpr const char* kLauncher = "sLNIDXMA";
constexpr const char* kMiningService = "LiveBrowseServer";
constexpr const char* kSharePointMiningService = "ZYAppMinningIdxService";
constexpr const char* kAlternateLauncher = "sLPIDXMA";
// Media agents below this release have no index service.
constexpr int kMinIndexServiceRelease = 10;
// Logical media flags: an index or a data archive file.
constexpr long long kIndexMediaFlag = 0x2, kDataMediaFlag = 0x8;

bool isRoot(const std::string& path) {
    return path.empty() || path == "/" || path == "\\";
}

// "/a/b/c" as its parent "/a/b" and name "c".
void splitPath(const std::string& path, std::string& parent, std::string& name) {
    std::string trimmed = path;
    while (trimmed.size() > 1 && (trimmed.back() == '/' || trimmed.back() == '\\')) trimmed.pop_back();
    const size_t slash = trimmed.find_last_of("/\\");
    if (slash == std::string::npos) {
        parent = "\\";
        name = trimmed;
        return;
    }
    parent = slash == 0 ? trimmed.substr(0, 1) : trimmed.substr(0, slash);
    name = trimmed.substr(slash + 1);
}

std::string newSessionId() {
    std::random_device random;
    char text[40];
    std::snprintf(text, sizeof text, "%08x-%04x-%04x-%04x-%04x%08x", random(), random() & 0xffff,
                  (random() & 0x0fff) | 0x4000, (random() & 0x3fff) | 0x8000, random() & 0xffff, random());
    return text;
}

std::string timeText(long long seconds) {
    return seconds > 0 ? consoleTimeText(seconds) + " UTC" : "now";
}

// A failure of the console's own before or between answers, with the exit status it stands for.
int failed(TConsoleResult& result, int exitCode, const std::string& error) {
    result.error = error;
    result.exitCode = exitCode;
    // The console's own failures carry their exit status as their code (the service's keep theirs).
    if (result.errorCode == 0) result.errorCode = exitCode;
    return exitCode;
}

// The words of an erase the Hubmaster did not make, as its exit status says it: a refusal of the user
// (3), or the service's error (1, such as a type that has no end-user erase); anything else (a peer
// unreachable or silent) says its own words.
std::string eraseVerdict(int rc, bool dryRun) {
    if (rc == kExitRefused) return dryRun ? "the erase would be refused: " : "the erase was refused: ";
    if (rc == kExitServiceError) return dryRun ? "the erase would fail: " : "the erase failed: ";
    return "";
}

// What a find across clients left out, by kind: "2 parts refused, 1 not searched".
std::string leftOutCount(const TConsoleResult& result) {
    std::string text;
    for (const auto& [parts, what] :
         {std::pair{result.refused.size(), "refused"}, std::pair{result.notSearched.size(), "not searched"}})
        if (parts > 0)
            text += (text.empty() ? std::to_string(parts) + (parts == 1 ? " part " : " parts ")
                                  : ", " + std::to_string(parts) + " ") +
                    what;
    return text;
}

// Whether a failed network step ran out of time: as the step says, or as its error does (a launch's
// exchanges say it only so).
bool ranOutOfTime(bool timedOut, const CUxError& step) {
    return timedOut || step.GetErrorCode() == ZYNET_E_TIMEOUT;
}

// A network step's failure: timed out or unreachable.
int networkFailure(TConsoleResult& result, bool timedOut, const CUxError& step, const std::string& error) {
    return failed(result, ranOutOfTime(timedOut, step) ? kExitTimedOut : kExitUnreachable, error);
}

// The client name of a media agent named plainly or mangled with its host and port.
std::string clientPart(const std::string& name) {
    std::string host, client;
    int service = 0, port = 0;
    if (name.find('*') != std::string::npos && DemangleHostName(name, host, client, service, port) &&
        !client.empty())
        return client;
    return name.substr(0, name.find('*'));
}

// The visible part of a user token, "ZT1." base64url("<kind>|<user id>|<issued>|<expires>|<session>")
// "." signature, split at its bars; false when it does not decode. Nothing of it is believed: it only
// helps tell a person what the service decided.
bool visibleTokenParts(const std::string& token, std::vector<std::string>& parts) {
    const std::string prefix = "ZT1.";
    const size_t dot = token.find('.', prefix.size());
    if (token.rfind(prefix, 0) != 0 || dot == std::string::npos) return false;
    std::string payload;
    unsigned bits = 0, buffer = 0;
    for (size_t i = prefix.size(); i < dot; ++i) {
        const char c = token[i];
        const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
        const char* at = std::strchr(alphabet, c);
        if (!at || !c) return false;
        buffer = (buffer << 6) | static_cast<unsigned>(at - alphabet);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            payload += static_cast<char>((buffer >> bits) & 0xff);
        }
    }
    parts.clear();
    std::stringstream in(payload);
    for (std::string part; std::getline(in, part, '|');) parts.push_back(part);
    return true;
}

CNMessageBase* childOf(CNMessageBase* owner, const MsgFieldRef& f) {
    return owner && owner->isSet(f) ? owner->getObjectAccessor(f, false) : nullptr;
}

// The application-mining block of a request the Hubmaster completed, or null.
CNMessageBase* miningOf(CNMessageBase& prepared) {
    if (!dynamic_cast<databrowse::BrowseRequest*>(&prepared)) return nullptr;
    CNMessageBase* mining =
        childOf(childOf(childOf(&prepared, R::advOptions), databrowse::Msg63::f::advancedConfig),
                databrowse::BrowseAdvancedConfig::f::appMiningBlock);
    return mining && mining->getint64(databrowse::Msg60::f::appMining) != 0 ? mining : nullptr;
}

// The advanced options of a prepared request; of a signed one, those of its clear payload.
CNMessageBase* advancedOf(CNMessageBase& prepared) {
    return dynamic_cast<databrowse::SecuredBrowseRequest*>(&prepared)
               ? childOf(childOf(&prepared, databrowse::SecuredBrowseRequest::f::payload),
                         databrowse::Msg238::f::advOptions)
           : dynamic_cast<databrowse::BrowseRequest*>(&prepared) ? childOf(&prepared, R::advOptions)
                                                                 : nullptr;
}

// The client of each subclient a find across clients' prepared request says its media agent searches,
// from its clear payload (browseflag::kFindClientSubclients); empty when it says none.
std::map<long long, std::string> findClientsOf(CNMessageBase& prepared) {
    std::map<long long, std::string> clients;
    CNMessageBase* advanced = advancedOf(prepared);
    CNMessageBase* block = childOf(childOf(advanced, databrowse::Msg63::f::advancedConfig),
                                   databrowse::BrowseAdvancedConfig::f::flagBlock);
    auto* flags = block ? block->getlistobject(databrowse::Msg9::f::additionalFlags, false) : nullptr;
    for (size_t n = 0; flags && n < flags->size(); ++n) {
        CNMessageBase& flag = (*flags)[n];
        if (flag.getstring(databrowse::AdditionalFlag::f::flagName) != browseflag::kFindClientSubclients)
            continue;
        // "<id>,<id>... <client name>": the ids are digits, the name the rest.
        const std::string value = flag.getstring(databrowse::AdditionalFlag::f::value);
        const size_t space = value.find(' ');
        if (space == std::string::npos || space + 1 == value.size()) continue;
        std::stringstream ids(value.substr(0, space));
        for (std::string id; std::getline(ids, id, ',');)
            if (!id.empty() && id.find_first_not_of("0123456789") == std::string::npos)
                clients[std::atoll(id.c_str())] = value.substr(space + 1);
    }
    return clients;
}

}  // namespace

CConsoleSession::CConsoleSession(TConsoleOptions options, std::string hubmasterProgram,
                                 const CHubClock& clock)
    : m_options(std::move(options)),
      m_hubmasterProgram(std::move(hubmasterProgram)),
      m_clock(clock),
      m_remark([](const std::string& text) { std::fprintf(stderr, "browse: %s\n", text.c_str()); }) {}

CConsoleSession::CConsoleSession(const CConsoleSession& command, TConsoleOptions options)
    : m_options(std::move(options)),
      m_hubmasterProgram(command.m_hubmasterProgram),
      m_clock(command.m_clock),
      m_remark(command.m_remark),
      m_deadline(command.m_deadline),
      m_exchanges(command.m_exchanges) {}

bool CConsoleSession::tokenExpired(const std::string& token) const {
    std::vector<std::string> parts;
    if (token.rfind("ZT1.", 0) != 0 || !visibleTokenParts(token, parts) || parts.size() != 5) return false;
    const long long expires = std::atoll(parts[3].c_str());
    return expires > 0 && expires <= m_clock.epochSeconds();
}

std::string CConsoleSession::mediaAgentOf(CNMessageBase& prepared) {
    // A signed request carries the request it was made of: whole (indexing v1), or its routing parts
    // inside the signed attributes (v2).
    if (auto* signedV1 = dynamic_cast<Indexing::SecuredBrowseReq*>(&prepared))
        if (CNMessageBase* inner = childOf(signedV1, Indexing::SecuredBrowseReq::f::request))
            return mediaAgentOf(*inner);
    if (auto* signedV2 = dynamic_cast<databrowse::SecuredBrowseRequest*>(&prepared)) {
        databrowse::SystemAttributes attributes;
        pstring* encoded = signedV2->getpstringobject(databrowse::SecuredBrowseRequest::f::systemAttributes);
        if (encoded && attributes.unserialize(encoded->str()) == 0)
            if (CNMessageBase* parts = childOf(&attributes, databrowse::SystemAttributes::f::requestParts))
                return mediaAgentOf(*parts);
        // Away from the Hubmaster's key the signed parts do not read: the clear advanced options say
        // where it goes (that agent's certificate proves the name when it is dialled).
        return agentflag::of(advancedOf(prepared));
    }
    if (auto* v1 = dynamic_cast<Indexing::BrowseReq*>(&prepared)) {
        for (const MsgFieldRef* f : {&Indexing::BrowseReq::f::maName, &Indexing::BrowseReq::f::maClientName})
            if (!v1->getstring(*f).empty()) return v1->getstring(*f);
        if (auto* cycles = v1->getlistobject(Indexing::BrowseReq::f::backupCycles, false))
            for (CNMessageBase& cycle : *cycles)
                if (!cycle.getstring(Indexing::BackupCycle::f::ma).empty())
                    return cycle.getstring(Indexing::BackupCycle::f::ma);
        return "";
    }
    // A mining request names the machine that mines it.
    if (CNMessageBase* connection = childOf(miningOf(prepared), databrowse::Msg60::f::connectionInfo))
        if (!connection->getstring(databrowse::ApplicationMiningConnectionInfo::f::maHostName).empty())
            return connection->getstring(databrowse::ApplicationMiningConnectionInfo::f::maHostName);
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

int CConsoleSession::mediaAgentReleaseOf(CNMessageBase& prepared, const std::string& agent) {
    if (auto* signedV1 = dynamic_cast<Indexing::SecuredBrowseReq*>(&prepared))
        if (CNMessageBase* inner = childOf(signedV1, Indexing::SecuredBrowseReq::f::request))
            return mediaAgentReleaseOf(*inner, agent);
    auto* v1 = dynamic_cast<Indexing::BrowseReq*>(&prepared);
    auto* cycles = v1 ? v1->getlistobject(Indexing::BrowseReq::f::backupCycles, false) : nullptr;
    if (!cycles) return 0;
    // The planner records each cycle's media agent with its version: the major release, or the
    // compared form (major x 100 + minor x 10).
    for (CNMessageBase& cycle : *cycles) {
        const long long version = cycle.getint64(Indexing::BackupCycle::f::maVersion);
        if (clientPart(cycle.getstring(Indexing::BackupCycle::f::ma)) == clientPart(agent) && version > 0)
            return static_cast<int>(version >= 100 ? version / 100 : version);
    }
    return 0;
}

bool CConsoleSession::secure(TConsoleResult& result) {
    // A console on a user's desk holds no certificate: it trusts the Hubmaster's authority (public, all
    // it needs besides the address) and is anonymous, acting only with a user's token.
    TZyNetCredentials credentials;
    const char* home = std::getenv("HOME");
    const fs::path usual = home ? fs::path(home) / kConsoleDefaultAuthority : fs::path();
    if (!m_options.tlsFolder.empty())
        credentials = zyNetCredentialsIn(m_options.tlsFolder);
    else if (!m_options.dataFolder.empty() && m_options.authorityFile.empty())
        credentials.authorityFile = (fs::path(m_options.dataFolder) / "tls" / "authority.crt").string();
    else if (m_options.authorityFile.empty() && !usual.empty() && fs::is_regular_file(usual))
        credentials.authorityFile = usual.string();
    if (!m_options.authorityFile.empty()) credentials.authorityFile = m_options.authorityFile;
    // Without an authority no answer can be checked to be the Hubmaster's: a setting is missing, nothing
    // was tried on the network.
    if (credentials.authorityFile.empty() && m_options.tlsFolder.empty()) {
        m_authorityMissing = true;  // told once the Hubmaster's address is known to be given
        return true;
    }
    std::string error;
    if (setZyNetCredentials(credentials, error)) return true;
    // The error names the authority's file and what is wrong with it.
    const std::string from = !m_options.authorityFile.empty() ? std::string("--ca")
                             : !m_options.tlsFolder.empty()   ? "--tls " + m_options.tlsFolder
                                                              : "the authority " + credentials.authorityFile;
    failed(result, kExitUsage, from + ": " + error);
    return false;
}

bool CConsoleSession::prepare(TConsoleResult& result) {
    if (!m_options.dataFolder.empty()) {
        // The Hubmaster's data is its owner's only: another user's console goes the desk's way.
        if (const std::string why = readablefiles::dataFolderProblem(m_options.dataFolder); !why.empty())
            return failed(result, kExitUsage, "--data " + why + "; " + kConsoleAwayFromData) == kExitOk;
    }
    if (!secure(result)) return false;
    // Away from the Hubmaster's data the console holds no installation key: the signed parts of a
    // prepared request are carried to the media agent as they came, which reads them.
    if (m_options.dataFolder.empty()) {
        useOwnLogFolder();
        msgSetRelaySealedSecrets(true);
        // Without the Hubmaster's database the media agents are found where the user says.
        for (const std::string& entry : m_options.mediaAgentAddresses) {
            const size_t eq = entry.find('='), colon = entry.rfind(':');
            CZyNetDirectory::instance().registerClient(entry.substr(0, eq),
                                                       entry.substr(eq + 1, colon - eq - 1),
                                                       std::atoi(entry.c_str() + colon + 1));
        }
        return true;
    }
    const fs::path folder(m_options.dataFolder);
    const fs::path database = folder / "hub.db";
    ZYPlatformInfo::setRegistryPath((folder / "registry.ini").string());
    EvDebugFileInstance::setLogDirectory(folder.string());
    std::string error;
    if (hubdb::openHubDatabase(database.string(), &error) != zydb::DB_OK) {
        failed(result, kExitServiceError, "cannot open " + database.string() + ": " + error);
        return false;
    }
    CZyNetDirectory::instance().setResolver(&ZyClientAddressFromDatabase);
    return true;
}

void CConsoleSession::useOwnLogFolder() {
    const char* chosen = std::getenv("HUB_LOG_DIR");
    if (chosen && *chosen) return;
    // A console's log names its user's sessions, paths and clients: it is kept in the user's own state
    // folder, never in the temporary folder every user of the machine shares.
    const char* state = std::getenv("XDG_STATE_HOME");
    const char* home = std::getenv("HOME");
    fs::path folder;
    if (state && *state && fs::path(state).is_absolute())
        folder = fs::path(state) / "browse";
    else if (home && *home)
        folder = fs::path(home) / ".local" / "state" / "browse";
    else
        return;
    std::error_code ec;
    fs::create_directories(folder, ec);
    struct stat st {};
    if (ec || lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid()) return;
    if ((st.st_mode & 077) != 0 && chmod(folder.c_str(), 0700) != 0) return;
    EvDebugFileInstance::setLogDirectory(folder.string());
}

bool CConsoleSession::tokenFromFile(std::string& token, std::string& error) const {
    const std::string& file = m_options.tokenFile;
    struct stat st {};
    // What keeps the file from this user is named: missing, a folder, or not to be read or reached.
    if (const std::string why = readablefiles::fileProblem(file); !why.empty()) {
        error = "--token-file " + why;
        return false;
    }
    if (stat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        error = "--token-file " + file + ": not a regular file";
        return false;
    }
    // A token others may read is a token others may use.
    if (st.st_mode & (S_IRWXG | S_IRWXO)) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        error = "--token-file " + file + " may be read by others (mode " + mode + "): chmod 600 " + file;
        return false;
    }
    if (st.st_uid != geteuid()) {
        error = "--token-file " + file + " belongs to another user";
        return false;
    }
    std::unique_ptr<FILE, int (*)(FILE*)> in(std::fopen(file.c_str(), "r"), std::fclose);
    char buffer[4096];
    const size_t n = in ? std::fread(buffer, 1, sizeof buffer, in.get()) : 0;
    token.assign(buffer, n);
    while (!token.empty() && std::isspace(static_cast<unsigned char>(token.back()))) token.pop_back();
    if (token.empty() || token.find_first_of(" \t\r\n") != std::string::npos) {
        error = "--token-file " + file + " holds no token (one line, as hubmaster token --out writes it)";
        return false;
    }
    return true;
}

bool CConsoleSession::obtainToken(TConsoleResult& result) {
    std::string error;
    if (!m_options.token.empty()) return true;
    if (!m_options.tokenFile.empty()) {
        if (tokenFromFile(m_options.token, error)) return true;
        failed(result, kExitUsage, error);
        return false;
    }
    if (m_options.user.empty()) {
        const char* fromEnvironment = std::getenv(kConsoleTokenVariable);
        if (fromEnvironment) m_options.token = fromEnvironment;
        m_tokenFromEnvironment = fromEnvironment != nullptr;
        return true;
    }
    if (m_hubmasterProgram.empty() || m_options.dataFolder.empty()) {
        failed(result, kExitUsage, "--user needs --data and the host program to issue a token");
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
        failed(result, kExitRefused, "no token could be obtained for user [" + m_options.user + "]");
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
    // The machine answering must prove the Hubmaster's own name: given, or from the Hubmaster's data at
    // hand. A certificate of the authority alone proves only that it is one of its machines, so a
    // console that knows no name dials no one.
    if (!m_options.hubmasterName.empty())
        address.peerName = m_options.hubmasterName;
    else if (!m_options.dataFolder.empty() &&
             ZYClient(ZYClient::hubmasterClientId()).getName(address.peerName) != 0)
        address.peerName.clear();
    if (address.port <= 0) {
        error = m_options.dataFolder.empty()
                    ? "where is the Hubmaster? give --data <folder> (or $BROWSE_DATA), or --host and --port "
                      "(or $BROWSE_HOST and $BROWSE_PORT)"
                    : "the Hubmaster of --data " + m_options.dataFolder +
                          " has not started BrowseRouter (its registry names no address): start it, or give "
                          "--port";
        return false;
    }
    if (address.peerName.empty()) {
        error =
            m_options.dataFolder.empty()
                ? "which machine is the Hubmaster? --host and --port name an address, not the machine that "
                  "must answer there: give --hubmaster-name <client> (or $BROWSE_HUBMASTER_NAME; the host "
                  "prints it at start-up)"
                : "the Hubmaster's data in --data " + m_options.dataFolder +
                      " names no Hubmaster client, so no answer could be checked to be the Hubmaster's";
        return false;
    }
    return true;
}

std::string CConsoleSession::askedBy() const {
    if (!m_options.user.empty()) return "user [" + m_options.user + "]";
    const std::string source = !m_options.tokenFile.empty() ? "the token of " + m_options.tokenFile
                               : m_tokenFromEnvironment
                                   ? std::string("the token of $") + kConsoleTokenVariable
                                   : std::string("a token given on the command line");
    if (m_options.token.empty())
        return m_options.tlsFolder.empty() ? "no token" : "its machine's certificate";
    // The token's visible part tells who it names, by id: the log line costs no look-up in the
    // Hubmaster's database and registry after every command, with --data or without.
    std::vector<std::string> parts;
    if (visibleTokenParts(m_options.token, parts) && parts.size() == 5 && std::atol(parts[1].c_str()) > 0)
        return "user id [" + parts[1] + "] (" + source + ")";
    return source;
}

int CConsoleSession::exitOfServiceError(long long code) {
    return code == databrowse::BROWSE_ERR_PERMISSION ? kExitRefused : kExitServiceError;
}

int CConsoleSession::mediaAgentRelease(const std::string& agent) {
    APP_Client client(nullptr);
    client.setIsolationType(4);
    const std::string name = clientPart(agent);
    client.setWhere("name = '%s'", name.c_str());
    if (client.getOneRow(&client, false, 0, 0) != zydb::DB_OK) return 0;
    ArchiveManagerHM archive(nullptr);
    GetMediaAgentInfoArgsHM_t args;
    args.clientId = static_cast<uint32_t>(client.getDataPtr()->id);
    GetMediaAgentInfoRetHM_t info;
    if (archive.getMediaAgentInfo(&args, &info) != 0) return 0;
    return std::atoi(info.versionText.c_str());
}

int CConsoleSession::run(TConsoleResult& result, const std::function<void(size_t)>& progress,
                         const std::function<bool(const std::string&)>& confirm) {
    const int rc = runCommand(result, progress, confirm);
    // A token whose user the service refused is said so by the service; of any other refusal of a token
    // the service says only that it refused it, and its visible part tells the user why.
    if (rc == kExitRefused &&
        result.error.find("Failed to authenticate the usertoken") != std::string::npos &&
        result.error.find(EvSecurityMgr::kTokenUserReason) == std::string::npos)
        result.error = explainTokenRefusal(m_options.token, m_options.dataFolder) +
                       " (the service answered: " + result.error + ")";
    return rc;
}

std::string CConsoleSession::explainTokenRefusal(const std::string& token,
                                                 const std::string& dataFolder) const {
    // Only the Hubmaster's machine holds the key tokens are signed with: a console elsewhere asks there.
    const std::string renew =
        dataFolder.empty()
            ? std::string(
                  "get a new one on the Hubmaster's machine (hubmaster token --user <login> --out "
                  "<file> runs there, with its data), or ask its administrator for one")
            : "get a new one with hubmaster token --user <login> --out <file> --data " + dataFolder;
    // "ZT1." base64url("<kind>|<user>|<issued>|<expires>|<session>") "." signature
    if (token.rfind("ZT1.", 0) != 0 || token.find('.', 4) == std::string::npos)
        return "the token is not a user token (one starts with ZT1.): " + renew;
    std::vector<std::string> parts;
    if (!visibleTokenParts(token, parts))
        return "the token is damaged (its visible part does not decode): " + renew;
    long long expires = 0;
    if (parts.size() == 5) expires = std::atoll(parts[3].c_str());
    if (tokenExpired(token)) return "the token expired at " + timeText(expires) + ": " + renew;
    return "the token was not issued by this Hubmaster as it stands: it was changed or forged, or issued "
           "before the Hubmaster's token key changed (a rebuilt world)" +
           (expires > 0 ? ", though it would be valid until " + timeText(expires) : std::string()) + ": " +
           renew;
}

int CConsoleSession::checkSettings(TZyNetAddress& router, TConsoleResult& result) {
    std::string error;
    if (!prepare(result) || !obtainToken(result)) return result.exitCode;
    if (!routerAddress(router, error))
        return failed(result, m_options.dataFolder.empty() ? kExitUsage : kExitUnreachable, error);
    // Without an authority no answer could be checked to be the Hubmaster's: a setting is missing,
    // nothing was tried on the network.
    if (m_authorityMissing)
        return failed(
            result, kExitUsage,
            "no authority certificate to check the Hubmaster with: give --ca <file> (or $BROWSE_CA), "
            "or copy the Hubmaster's tls/authority.crt (public) to ~/" +
                std::string(kConsoleDefaultAuthority));
    if (m_options.verbose)
        m_remark("session " + m_options.session + ": " + consoleCommandName(m_options.command) + " to " +
                 (m_options.command == EConsoleCommand::kStop ? CHostBrowseService::kServiceName
                                                              : "BrowseRouter") +
                 " at " + router.host + ":" + std::to_string(router.port) + " (which must prove it is [" +
                 router.peerName + "])");
    // Without a token and without a certificate of its own, the console can only be refused.
    if (m_options.token.empty() && m_options.tlsFolder.empty())
        return failed(result, kExitUsage,
                      "no token was given: give --token-file <file> (hubmaster token --user <login> --out "
                      "<file> writes one), set $" +
                          std::string(kConsoleTokenVariable) + ", or give --user <login> with --data");
    return kExitOk;
}

int CConsoleSession::judgeEraseDryRun(const TZyNetAddress& router, const databrowse::BrowseRequest& request,
                                      TConsoleResult& result) {
    // The verdicts of the real erase, in its order, nothing booked: BrowseRouter's erase gate, then the
    // Hubmaster's (what is booked or erased already).
    databrowse::BrowseRequest judged = request;
    erasedryrun::mark(judged);
    TConsoleResult verdict;
    const std::string road = m_road;
    int rc = throughRouter(router, judged, verdict, {});
    if (rc == kExitOk) rc = throughHubmaster(router, judged, verdict, {});
    if (rc != kExitOk) {
        result.items.clear();
        result.note.clear();
        const bool noVerdict = rc == kExitTimedOut || rc == kExitUnreachable;
        return failed(result, rc,
                      (noVerdict ? "dry run: the Hubmaster's verdict on the erase could not be had: "
                                 : "dry run: " + eraseVerdict(rc, true)) +
                          verdict.error);
    }
    m_road = road + ", then the Hubmaster's verdict";
    return kExitOk;
}

int CConsoleSession::questionFailed(TConsoleResult& result, int rc, const TConsoleResult& asked,
                                    const std::string& untold, const std::string& question) {
    return failed(
        result, rc,
        untold + ": " + question + (rc == kExitRefused ? " was refused: " : " failed: ") + asked.error);
}

int CConsoleSession::finishMedia(const TZyNetAddress& router, TConsoleResult& result) {
    if (const int described = describeMedia(router, result); described != kExitOk) return described;
    // The media are worked out per subclient and time, not per path: a path that was never backed
    // up gets the same archive files as any other, so it is looked up, and the answer says so.
    const std::string scope = "media are worked out per subclient and time, not per path";
    if (m_options.paths.size() == 1 && !isRoot(m_options.paths.front())) {
        TConsoleItem item;
        TConsoleResult probe;
        const std::string& path = m_options.paths.front();
        const int found = lookUp(router, path, m_options.at, item, probe);
        if (found <= 0) result.media.clear();
        if (found < 0)
            return questionFailed(result, -found, probe,
                                  "whether anything was backed up at " + path + " as of " +
                                      timeText(m_options.at) + ", and so its media, could not be told",
                                  "its parent's listing");
        if (found == 0)
            return failed(result, kExitServiceError,
                          "no backed-up item at " + path + " as of " + timeText(m_options.at) +
                              ", so no media to restore it (" + scope + ")");
    }
    // An answer of items is a listing, whatever asked for it: never shown as the media a restore needs.
    if (result.media.empty() && !result.items.empty()) {
        result.items.clear();
        return failed(result, kExitServiceError,
                      "the answer to the media request lists backed-up items, not media: the media of this "
                      "backup set are not offered on this road");
    }
    result.note = (result.media.empty() ? "No media hold the subclient's backups as of "
                                        : "The media of the subclient's backups as of ") +
                  timeText(m_options.at) + " (" + scope + ")";
    return kExitOk;
}

int CConsoleSession::explainNothingListed(const TZyNetAddress& router, TConsoleResult& result) {
    // Nothing listed: an empty folder, or a path that was never backed up. Its parent tells which.
    const bool listing =
        m_options.command == EConsoleCommand::kList || m_options.command == EConsoleCommand::kCount ||
        m_options.command == EConsoleCommand::kFind || m_options.command == EConsoleCommand::kVersions;
    const bool nothing = result.items.empty() && result.media.empty() &&
                         (result.counts.empty() || result.counts.front().second == 0);
    if (!listing || !nothing || !m_options.clients.empty() || m_options.paths.size() != 1 ||
        isRoot(m_options.paths.front()) || result.page > 1)
        return kExitOk;
    TConsoleItem item;
    TConsoleResult probe;
    // A versions listing with no version in its range is a path that exists, or not, at its end.
    const long long at = m_options.command == EConsoleCommand::kVersions ? m_options.to : m_options.at;
    const int found = lookUp(router, m_options.paths.front(), at, item, probe);
    if (found > 0) return kExitOk;
    // Not found, or not known to be there, is one answer, whatever the command: no "count: 0" beside it.
    result.counts.clear();
    if (found < 0)
        return questionFailed(result, -found, probe,
                              "nothing is listed at " + m_options.paths.front() + " as of " + timeText(at) +
                                  ", and whether it is an empty folder or a path never backed up could not "
                                  "be told",
                              "its parent's listing");
    return failed(result, kExitServiceError,
                  "no backed-up item at " + m_options.paths.front() + " as of " + timeText(at) +
                      " (a path that does not exist, not an empty folder)");
}

int CConsoleSession::runCommand(TConsoleResult& result, const std::function<void(size_t)>& progress,
                                const std::function<bool(const std::string&)>& confirm) {
    // --timeout bounds the whole command: every exchange of it, with the Hubmaster and the media agents,
    // ends by this deadline whatever time each one is given.
    m_deadline = m_clock.steadyNow() + std::chrono::seconds(m_options.timeoutSeconds);
    if (m_options.session.empty()) m_options.session = newSessionId();
    result.session = m_options.session;
    if (m_options.command != EConsoleCommand::kErase || !m_options.dryRun) {
        result.page = m_options.page > 0 ? m_options.page : (m_options.pageSize > 0 ? 1 : 0);
        result.pageSize = m_options.pageSize;
    }
    TZyNetAddress router;
    if (const int checked = checkSettings(router, result); checked != kExitOk) return checked;
    databrowse::BrowseRequest request = buildConsoleRequest(m_options);
    if (m_requestEditor) m_requestEditor(request);
    if (m_options.command == EConsoleCommand::kStop) return stop(router, request, result);
    // A token whose visible part shows it expired is refused here, as the service would refuse it,
    // before anything is sent.
    if (tokenExpired(m_options.token))
        return failed(result, kExitRefused,
                      explainTokenRefusal(m_options.token, m_options.dataFolder) + "; the " +
                          consoleCommandName(m_options.command) + " was not sent");
    if (m_options.command == EConsoleCommand::kErase) {
        const int checked = checkErase(router, result, confirm);
        if (checked != kExitOk) return checked;
        if (m_options.dryRun) return judgeEraseDryRun(router, request, result);
    }
    int rc = m_options.viaHubmaster && m_options.command != EConsoleCommand::kErase
                 ? throughHubmaster(router, request, result, progress)
                 : throughRouter(router, request, result, progress);
    // Without a subclient or backup set nothing of the client is browsed, and the service's "no backups
    // were found" would read like a wrong time: say what is missing.
    if (rc == kExitServiceError && m_options.clients.empty() && m_options.subclientId <= 0 &&
        m_options.backupSetId <= 0 && result.error.find("known client") == std::string::npos) {
        const std::string client =
            m_options.client.empty() ? std::to_string(m_options.clientId) : m_options.client;
        return failed(result, kExitUsage,
                      "--subclient is missing: name the subclient of client [" + client +
                          "] to browse (--subclient <id>, or --backup-set <id>); the service answered: " +
                          result.error);
    }
    if (rc != kExitOk) return rc;
    if (!m_options.clients.empty()) nameClients(result);
    // What the service refused to search, or says it did not search (a client it does not know, backups
    // it cannot reach by the find's road), leaves an answer that is not the whole: a script must tell.
    // Each part left out is said once, by its warning: the error counts them.
    if (!result.refused.empty() || (!m_options.clients.empty() && !result.notSearched.empty())) {
        const bool refused = !result.refused.empty();
        result.incomplete = refused ? "a part of it was refused" : "a part of it was not searched";
        return failed(result, refused ? kExitRefused : kExitServiceError,
                      "the answer is incomplete: " + leftOutCount(result) +
                          (result.refused.size() + result.notSearched.size() == 1
                               ? " (the warning says which and why)"
                               : " (the warnings say which and why)"));
    }
    if (m_options.command == EConsoleCommand::kMedia) {
        if (const int described = finishMedia(router, result); described != kExitOk) return described;
    }
    if (const int explained = explainNothingListed(router, result); explained != kExitOk) return explained;
    if (m_options.command != EConsoleCommand::kErase) return kExitOk;
    // The items to erase are listed; the Hubmaster now makes the erase task of them.
    TConsoleResult task;
    if ((rc = throughHubmaster(router, request, task, {})) != kExitOk) {
        if (rc != kExitServiceError && rc != kExitRefused) return failed(result, rc, task.error);
        // Nothing is erased: a refusal said as the dry run says it; a failure (the task could not be
        // made) as one.
        result.items.clear();
        result.note.clear();
        return failed(result, rc, eraseVerdict(rc, false) + task.error);
    }
    result.note =
        "The Hubmaster created the erase task for " + std::to_string(m_options.paths.size()) + " path(s)";
    return kExitOk;
}

int CConsoleSession::browseAs(const TConsoleOptions& options, const TZyNetAddress& router,
                              TConsoleResult& result) {
    CConsoleSession other(*this, options);
    databrowse::BrowseRequest request = buildConsoleRequest(other.m_options);
    return options.viaHubmaster ? other.throughHubmaster(router, request, result, {})
                                : other.throughRouter(router, request, result, {});
}

int CConsoleSession::lookUp(const TZyNetAddress& router, const std::string& path, long long at,
                            TConsoleItem& item, TConsoleResult& result) {
    std::string parent, name;
    splitPath(path, parent, name);
    TConsoleOptions options = m_options;
    options.command = EConsoleCommand::kList;
    options.paths = {parent};
    options.at = at;
    options.pattern.clear();
    options.pageSize = options.page = 0;
    options.session = m_options.session;  // one command, one session: its side requests tell its story
    options.viaHubmaster = m_options.viaHubmaster && m_options.command != EConsoleCommand::kErase;
    const int rc = browseAs(options, router, result);
    if (rc != kExitOk) return -rc;
    for (const TConsoleItem& listed : result.items)
        if (listed.name == name || listed.path == path) {
            item = listed;
            return 1;
        }
    return 0;
}

int CConsoleSession::checkErase(const TZyNetAddress& router, TConsoleResult& result,
                                const std::function<bool(const std::string&)>& confirm) {
    for (const std::string& text : m_options.paths) {
        std::string path;
        long long size = -1;
        splitErasePath(text, path, size);
        TConsoleItem item;
        TConsoleResult probe;
        const int found = lookUp(router, path, m_options.at, item, probe);
        if (found < 0) return failed(result, -found, probe.error);
        if (found == 0) {
            // A parent's listing shows only what the caller may see: the path's own answer tells one she
            // may not browse from one that does not exist.
            TConsoleOptions own = m_options;
            own.command = EConsoleCommand::kList;
            own.paths = {path};
            own.pageSize = own.page = 0;
            TConsoleResult asked;
            const int listed = browseAs(own, router, asked);
            if (listed == kExitRefused) return failed(result, kExitRefused, asked.error);
            if (listed != kExitOk)
                return questionFailed(result, listed, asked,
                                      "erase: " + path +
                                          " is not in its parent's listing, and whether it "
                                          "was never backed up could not be told",
                                      "its own listing");
        }
        if (found == 0) {
            // What follows a last '=' that is no number was taken as part of the path: perhaps a size.
            const size_t eq = text.rfind('=');
            if (size < 0 && eq != std::string::npos)
                return failed(result, kExitUsage,
                              "erase: nothing was backed up at " + path + " as of " + timeText(m_options.at) +
                                  "; if [" + text.substr(eq + 1) +
                                  "] was meant as its size, give the size in bytes: --path " +
                                  text.substr(0, eq) + "=<bytes>");
            return failed(result, kExitServiceError,
                          "erase: nothing was backed up at " + path + " as of " + timeText(m_options.at) +
                              " (a path that does not exist)");
        }
        if (!item.directory) {
            if (size < 0)
                return failed(result, kExitUsage,
                              "erase: give the size of " + path + " as backed up: --path " + path + "=" +
                                  std::to_string(item.size));
            if (size != item.size)
                return failed(result, kExitUsage,
                              "erase: " + path + " was backed up with " + std::to_string(item.size) +
                                  " bytes, not the " + std::to_string(size) +
                                  " given: check the path and its version");
            if (m_options.dryRun) result.items.push_back(item);
            continue;
        }
        if (size >= 0)
            return failed(result, kExitUsage,
                          "erase: " + path +
                              " is a folder: give its path alone (its contents are erased), not =" +
                              std::to_string(size));
        // A folder: its contents are erased. Show them or ask before booking.
        TConsoleOptions options = m_options;
        options.command = EConsoleCommand::kList;
        options.paths = {path};
        options.session = m_options.session;  // one command, one session: its side requests tell its story
        TConsoleResult contents;
        const int rc = browseAs(options, router, contents);
        if (rc != kExitOk) return failed(result, rc, contents.error);
        const std::string question = "erase the " + std::to_string(contents.items.size()) +
                                     " item(s) of folder " + path + " as of " + timeText(m_options.at) + "?";
        if (m_options.dryRun) {
            result.items.insert(result.items.end(), contents.items.begin(), contents.items.end());
        } else if (!m_options.yes) {
            if (!confirm)
                return failed(result, kExitUsage,
                              "erase: " + path + " is a folder of " + std::to_string(contents.items.size()) +
                                  " item(s): give --yes to erase its contents (--dry-run lists them)");
            if (!confirm(question))
                return failed(result, kExitCancelled, "erase cancelled: nothing was booked");
        }
    }
    if (m_options.dryRun) m_road = "router (lookups only)";
    if (m_options.dryRun)
        result.note = "dry run: nothing was booked; " + std::to_string(m_options.paths.size()) +
                      " path(s) would be erased (" + std::to_string(result.items.size()) + " item(s) listed)";
    return kExitOk;
}

void CConsoleSession::nameClients(TConsoleResult& result) const {
    // The Hubmaster's data names each subclient's client; away from it the prepared request names those
    // it searches (a client that was not asked for is not taken: the row keeps its subclient).
    std::map<long long, std::string> names;
    if (m_options.dataFolder.empty())
        for (const auto& [subclient, client] : m_findClients)
            for (const std::string& asked : m_options.clients)
                if (strcasecmp(asked.c_str(), client.c_str()) == 0) names[subclient] = client;
    for (TConsoleItem& item : result.items) {
        if (item.subclientId <= 0) continue;
        auto known = names.find(item.subclientId);
        if (known == names.end()) {
            if (m_options.dataFolder.empty()) continue;
            std::string name;
            APP_Application subclient(nullptr);
            subclient.setWhereRaw("id = " + std::to_string(item.subclientId));
            if (subclient.getOneRow(&subclient, false, 0, 0) == zydb::DB_OK) {
                APP_Client client(nullptr);
                client.setWhereRaw("id = " + std::to_string(subclient.getDataPtr()->clientId));
                if (client.getOneRow(&client, false, 0, 0) == zydb::DB_OK) name = client.getDataPtr()->name;
            }
            known = names.emplace(item.subclientId, name).first;
        }
        item.client = known->second;
    }
}

namespace {

// Adds `text` to a column of a medium's row, once ("a,b" when an archive file is on several media).
void joinMedium(std::string& into, const std::string& text) {
    if (text.empty() || ("," + into + ",").find("," + text + ",") != std::string::npos) return;
    into += (into.empty() ? "" : ",") + text;
}

}  // namespace

void CConsoleSession::describeMediaFromData(TConsoleResult& result) const {
    constexpr unsigned long kIndexMedia = 2, kDataMedia = 8;
    ArchiveManagerHM archive(nullptr);
    for (TConsoleMedia& m : result.media) {
        if (!m.label.empty() || m.archiveFileId <= 0) continue;
        std::vector<TMediaInfo> found;
        unsigned long long sizeOnCopy = 0;
        if (archive.getMediaListForArchFile(0, static_cast<unsigned long>(m.archiveFileId),
                                            static_cast<unsigned long>(m.kelmarchId),
                                            m.data ? kDataMedia : kIndexMedia, &found, &sizeOnCopy) != 0)
            continue;
        for (const TMediaInfo& medium : found) {
            joinMedium(m.label, medium.text1.empty() ? medium.mediaName : medium.text1);
            joinMedium(m.library, medium.text2);
            joinMedium(m.location, medium.text3);
            joinMedium(m.copy, medium.text6.empty() && medium.value6 > 0 ? std::to_string(medium.value6)
                                                                         : medium.text6);
            joinMedium(m.mediaAgent, medium.text4);
        }
    }
}

int CConsoleSession::describeMedia(const TZyNetAddress& router, TConsoleResult& result) {
    // On the Hubmaster's machine its data names the media; elsewhere only the router can, and it answers
    // a conversion for a machine's certificate alone.
    if (!m_options.dataFolder.empty()) describeMediaFromData(result);
    // The answer names each archive file's copy only; where its media are is the Hubmaster's to say, the
    // same with its data at hand or on a desk: one conversion request per archive file, in one message.
    using Q = Indexing::PredictionConversionReq::f;
    Indexing::PredictionConversionReqList list;
    std::vector<CNMessageBase> requests;
    for (size_t n = 0; n < result.media.size(); ++n) {
        const TConsoleMedia& m = result.media[n];
        if (!m.label.empty() || m.archiveFileId <= 0) continue;
        databrowse::LogicalMedia logical;
        logical.getObjectAccessor(databrowse::LogicalMedia::f::kelmarch, true)
            ->setint64(ZyEntities::KelmarchEntity::f::kelmarchId, m.kelmarchId);
        logical.setint64(databrowse::LogicalMedia::f::flags, m.data ? kDataMediaFlag : kIndexMediaFlag);
        logical.setint64(databrowse::LogicalMedia::f::archFileId, m.archiveFileId);
        logical.setint64(databrowse::LogicalMedia::f::size, m.size);
        Indexing::PredictionConversionReq one;
        one.setint64(Q::requestOffset, static_cast<int64_t>(n + 1));  // offset 0 reads as "not set"
        one.setlistobject(Q::logicalMedia, {logical});
        requests.push_back(std::move(one));
    }
    if (requests.empty()) return kExitOk;
    list.setlistobject(Indexing::PredictionConversionReqList::f::requests, requests);
    TConsoleResult asked;
    CZyNetwork session(m_clock);
    bool timedOut = false;
    std::unique_ptr<CNMessageBase> reply;
    int asking = sendTo(session, router, "BrowseRouter", list, asked);
    if (asking == kExitOk) {
        CNMessageBase* received = nullptr;
        const CUxError step =
            session.ReceiveXMLMessage(nullptr, received, nullptr, 0, m_options.timeoutSeconds, timedOut);
        reply.reset(received);
        if (step.IsError() || !received)
            asking = networkFailure(
                asked, timedOut || !step.IsError(), step,
                "no answer from BrowseRouter" +
                    (step.IsError() ? ": " + step.GetErrorText()
                                    : " within the command's " + std::to_string(m_options.timeoutSeconds) +
                                          " s (--timeout)"));
        ignoreResult(session.Disconnect(5, timedOut),
                     "the session ends either way; a peer already gone is no fault");
    }
    std::set<long long> unknown;
    for (size_t n = 0; n < result.media.size(); ++n)
        if (result.media[n].label.empty() && result.media[n].archiveFileId > 0)
            unknown.insert(static_cast<long long>(n));
    auto* answers = dynamic_cast<Indexing::PredictionConversionRespList*>(reply.get());
    if (auto* responses =
            answers ? answers->getlistobject(Indexing::PredictionConversionRespList::f::responses, false)
                    : nullptr)
        for (CNMessageBase& response : *responses) {
            const long long n = response.getint64(Indexing::PredictionConversionResp::f::requestOffset) - 1;
            auto* media = response.getlistobject(Indexing::PredictionConversionResp::f::physicalMedia, false);
            if (n < 0 || n >= static_cast<long long>(result.media.size()) || !media || media->empty())
                continue;
            TConsoleMedia& m = result.media[static_cast<size_t>(n)];
            using P = databrowse::PhysicalMedia::f;
            for (CNMessageBase& medium : *media) {
                std::string label = medium.getstring(P::barcode);
                if (CNMessageBase* named = childOf(&medium, P::at11_26); named && label.empty())
                    label = named->getstring(ZyEntities::Msg19::f::at1_1);
                joinMedium(m.label, label);
                joinMedium(m.library, medium.getstring(P::libraryName));
                joinMedium(m.location, medium.getstring(P::location));
                joinMedium(m.copy, medium.getstring(P::copyName).empty() && medium.getint64(P::copyId) > 0
                                       ? std::to_string(medium.getint64(P::copyId))
                                       : medium.getstring(P::copyName));
                joinMedium(m.mediaAgent, medium.getstring(P::mediaAgentName));
            }
            unknown.erase(n);
        }
    if (unknown.empty()) return kExitOk;
    // A column left "-" says why: the Hubmaster refused, or knows no medium; a question that could not
    // be asked leaves the answer incomplete, and fails it.
    std::string files;
    for (long long n : unknown)
        files +=
            (files.empty() ? "" : ", ") + std::to_string(result.media[static_cast<size_t>(n)].archiveFileId);
    std::string why;
    if (auto* refused = dynamic_cast<databrowse::BrowseResponse*>(reply.get())) {
        TConsoleResult error;
        addConsoleResponse(error, *refused);
        why =
            "the Hubmaster names media only to a machine's certificate or to a console run with --data on "
            "its machine (" +
            error.error + ")";
    } else if (asking != kExitOk) {
        return questionFailed(
            result, asking, asked,
            "the label, library, copy and media agent of archive file(s) " + files + " could not be told",
            "the Hubmaster's conversion of their media");
    } else if (!answers) {
        return failed(result, kExitServiceError,
                      "the label, library, copy and media agent of archive file(s) " + files +
                          " could not be told: the Hubmaster answered their conversion with a message of "
                          "another kind");
    } else {
        why = "the Hubmaster knows no medium holding them on any copy";
    }
    result.warnings.push_back("the label, library, copy and media agent of archive file(s) " + files +
                              " are unknown (-): " + why);
    return kExitOk;
}

int CConsoleSession::sendTo(CZyNetwork& session, const TZyNetAddress& where, const char* service,
                            CNMessageBase& request, TConsoleResult& result) {
    bool timedOut = false;
    session.setDeadline(m_deadline);
    const int exchange = ++m_exchanges->made;
    CUxError step = m_exchanges->fail && m_exchanges->fail(exchange)
                        ? zynet::makeError(ZYNET_E_CONNECT, __func__, "exchange " + std::to_string(exchange))
                        : session.Connect(where, service, nullptr, m_options.timeoutSeconds, timedOut);
    if (!step.IsError()) step = session.SendXMLMessage(request, 0, m_options.timeoutSeconds, timedOut);
    if (!step.IsError()) return kExitOk;
    return networkFailure(result, timedOut, step,
                          "cannot reach " + std::string(service) + " at " + where.host + ":" +
                              std::to_string(where.port) + ": " + step.GetErrorText());
}

int CConsoleSession::stop(const TZyNetAddress& router, databrowse::BrowseRequest& request,
                          TConsoleResult& result) {
    const std::string& token = m_options.token;
    if (token.empty())
        return failed(result, kExitUsage,
                      "stop needs the user's token (--token-file, $" + std::string(kConsoleTokenVariable) +
                          " or --user)");
    // A token the Hubmaster would refuse is refused here, where the console can tell: with the
    // Hubmaster's data it checks the token whole; elsewhere its visible part shows an expiry.
    std::string user, userRefused;
    bool valid = true;
    if (!m_options.dataFolder.empty()) {
        EvSecurityMgr security(0, m_clock);
        int userId = 0;
        std::string domain, fullName;
        valid = security.GetUserInfoFromZetaTokenWithoutAuthentication(token, true, userId, user, domain,
                                                                       fullName) == 1 ||
                security.GetSessionInfoFromZetaToken(token, true, userId, user, domain, fullName) == 1;
        userRefused = security.tokenRefusal("");
    } else {
        std::vector<std::string> parts;
        valid = token.rfind("ZT1.", 0) == 0 && visibleTokenParts(token, parts) && !tokenExpired(token);
    }
    if (!valid)
        return failed(result, kExitRefused,
                      (userRefused.empty() ? explainTokenRefusal(token, m_options.dataFolder)
                                           : "the token is refused" + userRefused) +
                          "; the stop was not sent");
    // The Hubmaster's own service answers a stop with its verdict (BrowseRouter's stop, which the
    // product's callers send, answers none).
    const std::string where = router.host + ":" + std::to_string(router.port);
    m_road = "hubmaster (" + std::string(CHostBrowseService::kServiceName) + " at " + where + ")";
    if (m_options.verbose)
        m_remark("stop of session " + m_options.session + (user.empty() ? "" : " as user [" + user + "]") +
                 " to " + CHostBrowseService::kServiceName + " at " + where +
                 "; the Hubmaster judges it against the session's owner and answers");
    const int rc = throughHubmaster(router, request, result, {});
    if (rc != kExitOk) return rc;
    // The service's verdict comes as a note: what the stop ends, or that nothing was left to stop.
    std::string verdict;
    for (const std::string& text : result.warnings) verdict += (verdict.empty() ? "" : "; ") + text;
    result.warnings.clear();
    const std::string stop = "stop of session " + m_options.session;
    const std::string accepted = "The stop was accepted: ";
    const std::string nothing = "Nothing was left to stop: ";
    if (verdict.rfind(accepted, 0) == 0)
        result.note = stop + " accepted: " + verdict.substr(accepted.size());
    else if (verdict.rfind(nothing, 0) == 0)
        result.note = stop + ": nothing was left to stop (" + verdict.substr(nothing.size()) + ")";
    else
        result.note = stop + ": " + (verdict.empty() ? "the Hubmaster answered no verdict" : verdict);
    return kExitOk;
}

int CConsoleSession::throughRouter(const TZyNetAddress& router, databrowse::BrowseRequest& request,
                                   TConsoleResult& result, const std::function<void(size_t)>& progress) {
    CZyNetwork session(m_clock);
    bool timedOut = false;
    m_road = "router";
    if (const int sent = sendTo(session, router, "BrowseRouter", request, result); sent != kExitOk)
        return sent;
    std::unique_ptr<CNMessageBase> reply;
    CUxError step;
    // Warnings (a find's clients that are not searched) come before the one reply.
    for (;;) {
        CNMessageBase* received = nullptr;
        step = session.ReceiveXMLMessage(nullptr, received, nullptr, 0, m_options.timeoutSeconds, timedOut);
        reply.reset(received);
        auto* warning = dynamic_cast<databrowse::BrowseResponse*>(reply.get());
        if (!warning ||
            warning->getint64(databrowse::BrowseResponse::f::respType) != databrowse::BROWSE_RESP_WARNING)
            break;
        addConsoleResponse(result, *warning);
    }
    ignoreResult(session.Disconnect(5, timedOut),
                 "the session ends either way; a peer already gone is no fault");
    if (!reply) {
        if (step.IsError() && !ranOutOfTime(timedOut, step))
            return failed(result, kExitUnreachable, "no answer from BrowseRouter: " + step.GetErrorText());
        return failed(result, kExitTimedOut,
                      "no answer from BrowseRouter within the command's " +
                          std::to_string(m_options.timeoutSeconds) + " s (--timeout)");
    }
    if (auto* response = dynamic_cast<databrowse::BrowseResponse*>(reply.get())) {
        // An error, or the whole answer the Hubmaster holds itself.
        addConsoleResponse(result, *response);
        if (result.error.empty()) return kExitOk;
        return result.exitCode = exitOfServiceError(result.errorCode);
    }
    return follow(*reply, result, progress);
}

int CConsoleSession::follow(CNMessageBase& prepared, TConsoleResult& result,
                            const std::function<void(size_t)>& progress) {
    m_findClients = findClientsOf(prepared);
    const std::string agent = m_options.mediaAgent.empty() ? mediaAgentOf(prepared) : m_options.mediaAgent;
    if (agent.empty()) {
        // A hypervisor's backup set kept per virtual machine is browsed by the Hubmaster itself: the
        // router hands a direct caller the request marked for that, naming no media agent.
        if (vmhandback::isMarked(prepared)) {
            const std::string why =
                "the virtual machines of a hypervisor's backup set are browsed by the Hubmaster itself";
            return throughHubmasterInstead(why, why, "hypervisor's virtual machines", result, progress);
        }
        // Which agent to ask is then a setting the user gives, as --ma-address is.
        return failed(
            result, kExitUsage,
            "which media agent answers this " + std::string(consoleCommandName(m_options.command)) +
                "? BrowseRouter's answer does not name it where this console can read it: give --ma "
                "<media agent>");
    }
    const std::string name = clientPart(agent);
    // An agent below release 10 has no index service: it would take the request and never answer.
    // With the Hubmaster's data its database tells; away from it, the prepared request's cycles do.
    const int release =
        m_options.dataFolder.empty() ? mediaAgentReleaseOf(prepared, agent) : mediaAgentRelease(agent);
    if (release > 0 && release < kMinIndexServiceRelease) {
        const std::string agentIs = "media agent [" + name + "] is release " + std::to_string(release);
        return throughHubmasterInstead(agentIs + " (no index service)",
                                       agentIs + ", which has no index service", agentIs, result, progress,
                                       "media agent [" + name + "]");
    }
    m_road = "router, then media agent [" + name + "]";
    if (m_options.verbose) m_remark("session " + m_options.session + ": road " + m_road);
    // The media agent's own host name, or the host given for media agents with the agent's port.
    std::string target = agent;
    TZyNetAddress address;
    const bool located = !CZyNetDirectory::instance().resolve(agent, address).IsError() ||
                         (!m_options.dataFolder.empty() && ZyClientAddressFromDatabase(name, address));
    // Away from the Hubmaster's data only --ma-address says where an agent listens: a setting is missing.
    if (!located && m_options.dataFolder.empty())
        return failed(
            result, kExitUsage,
            "where does media agent [" + name + "] listen? give --ma-address " + name +
                "=<host>:<port> (or $BROWSE_MA_ADDRESS): the Hubmaster prints every agent's address "
                "at start-up, on its line \"hubmaster: a console elsewhere: browse ...\"");
    if (!m_options.mediaAgentHost.empty()) {
        if (!located)
            return failed(result, kExitUnreachable, "the port of media agent [" + name + "] is unknown");
        target = MangleHostName(m_options.mediaAgentHost, name, 0, address.port);
    }
    auto ma = std::make_unique<CZyNetwork>(m_clock);
    ma->setDeadline(m_deadline);
    bool timedOut = false;
    const int limit = m_options.timeoutSeconds;
    if (CNMessageBase* mining = miningOf(prepared)) {
        // A mining request goes to the machine's mining service, started on demand for it.
        const bool sharePoint =
            apptype::of(mining->getint64(databrowse::Msg60::f::appType)) == apptype::kSharePoint;
        const std::string service = sharePoint ? kSharePointMiningService : kMiningService;
        // The user knows the machine that mines and the command, not the service's own name.
        const std::string miner = (sharePoint ? "SharePoint server [" : "media agent [") + name + "]";
        m_road = "router, then the mining service of " + miner;
        CNSession::LaunchOnDemandServiceReq launch;
        launch.setstring(CNSession::LaunchOnDemandServiceReq::f::hostName, target);
        launch.setstring(CNSession::LaunchOnDemandServiceReq::f::serviceName, service);
        launch.setint64(CNSession::LaunchOnDemandServiceReq::f::mode, 1);
        launch.setstring(CNSession::LaunchOnDemandServiceReq::f::launchInput, "");
        CNSession::LaunchOnDemandServiceDetails details;
        ZYOnDemandSvcClient launcher(m_clock);
        launcher.setDeadline(m_deadline);
        CUxError step = launcher.SubmitTask(launch, details);
        if (!step.IsError()) step = launcher.Attach(details, *ma);
        if (!step.IsError()) step = ma->SendXMLMessage(prepared, 0, limit, timedOut);
        // A mining service that does not answer this caller says so at its launch: it answers the
        // Hubmaster, whose own road mines for the caller.
        if (step.IsError() && step.GetErrorCode() == ZYNET_E_SERVICE_REFUSED) {
            ignoreResult(ma->Disconnect(5, timedOut), "the launch was refused: nothing is left to end");
            // The service's own words close the refusal's text, after what the session layer adds.
            const std::string text = step.GetErrorText();
            const size_t words = text.rfind(": ");
            const std::string refusal = "list --mine: " + miner + " mines only for the Hubmaster (" +
                                        (words == std::string::npos ? text : text.substr(words + 2)) + ")";
            return throughHubmasterInstead(refusal, refusal, "mining by " + miner, result, progress,
                                           "the mining service of " + miner);
        }
        // The user knows the machine that mines as a media agent, not by its service's name.
        if (step.IsError())
            return networkFailure(result, timedOut, step,
                                  "cannot reach the mining service of " + miner + ": " + step.GetErrorText());
        readAnswers(*ma, "the mining service of " + miner, result, progress);
        ignoreResult(ma->Disconnect(5, timedOut),
                     "the session ends either way; a peer already gone is no fault");
        return result.exitCode;
    }
    CUxError step = ma->Connect(target.c_str(), kIndexService, nullptr, limit, timedOut);
    if (step.IsError()) {
        // An index service that runs on demand is started through its launcher, on a session of its own.
        ma = std::make_unique<CZyNetwork>(m_clock);
        ma->setDeadline(m_deadline);
        TZyRemoteDLL launcher;
        std::snprintf(launcher.name, sizeof launcher.name, "%s", kLauncher);
        std::snprintf(launcher.alternateName, sizeof launcher.alternateName, "%s", kAlternateLauncher);
        step = ma->Attach_RemoteDLL(target.c_str(), launcher, nullptr, limit, timedOut);
    }
    if (!step.IsError()) step = ma->SendXMLMessage(prepared, 0, limit, timedOut);
    if (step.IsError()) {
        // Only an agent whose release is unknown may be an older one.
        const std::string hint =
            release == 0 ? " (an older media agent is browsed with --via hubmaster)" : "";
        return networkFailure(
            result, timedOut, step,
            "cannot reach the index service of media agent [" + name + "]: " + step.GetErrorText() + hint);
    }
    readAnswers(*ma, "media agent [" + name + "]", result, progress);
    ignoreResult(ma->Disconnect(5, timedOut), "the session ends either way; a peer already gone is no fault");
    return result.exitCode;
}

int CConsoleSession::throughHubmasterInstead(const std::string& why, const std::string& whyNot,
                                             const std::string& roadNote, TConsoleResult& result,
                                             const std::function<void(size_t)>& progress,
                                             const std::string& agent) {
    const bool hostCan =
        m_options.command == EConsoleCommand::kList || m_options.command == EConsoleCommand::kVersions;
    // The advice names only what is missing: a command that road does not offer has none to give.
    if (!hostCan)
        return failed(result, kExitServiceError,
                      whyNot + ": " + consoleCommandName(m_options.command) +
                          " of it is not offered; only list and versions are, through the Hubmaster");
    if (m_options.subclientId <= 0)
        return failed(result, kExitUsage,
                      whyNot +
                          ": it is listed through the Hubmaster, which needs its subclient: give "
                          "--subclient <n>");
    m_remark(why + ": browsing through the Hubmaster instead");
    TConsoleOptions hosted = m_options;
    hosted.viaHubmaster = true;
    CConsoleSession other(*this, hosted);
    databrowse::BrowseRequest request = buildConsoleRequest(hosted);
    TZyNetAddress hubmaster;
    std::string error;
    if (!other.routerAddress(hubmaster, error)) return failed(result, kExitUnreachable, error);
    const int rc = other.throughHubmaster(hubmaster, request, result, progress, agent);
    m_road = "hubmaster (" + roadNote + ")";
    return rc;
}

void CConsoleSession::readAnswers(CZyNetwork& peer, const std::string& who, TConsoleResult& result,
                                  const std::function<void(size_t)>& progress, const std::string& silent) {
    while (true) {
        CNMessageBase* received = nullptr;
        bool timedOut = false;
        const CUxError step =
            peer.ReceiveXMLMessage(nullptr, received, nullptr, 0, m_options.timeoutSeconds, timedOut);
        std::unique_ptr<CNMessageBase> answer(received);
        if (step.IsError() || !answer) {
            if (result.error.empty()) {
                if (step.IsError() && !ranOutOfTime(timedOut, step))
                    networkFailure(result, false, step, who + " stopped answering: " + step.GetErrorText());
                else
                    failed(result, kExitTimedOut,
                           (silent.empty() ? who : silent) + " did not answer within the command's " +
                               std::to_string(m_options.timeoutSeconds) + " s (--timeout)");
                // A listing cut short says so on its last line, whatever road it came by and however
                // few items had arrived.
                const EConsoleCommand c = m_options.command;
                if (c == EConsoleCommand::kList || c == EConsoleCommand::kVersions ||
                    c == EConsoleCommand::kFind)
                    result.incomplete = "the answer was cut short";
            }
            return;
        }
        auto* response = dynamic_cast<databrowse::BrowseResponse*>(answer.get());
        if (!response) continue;
        const bool done = addConsoleResponse(result, *response);
        if (progress) progress(result.items.size());
        if (!result.error.empty() && result.exitCode == kExitOk)
            result.exitCode = exitOfServiceError(result.errorCode);
        if (done) return;
    }
}

int CConsoleSession::throughHubmaster(const TZyNetAddress& hubmaster, databrowse::BrowseRequest& request,
                                      TConsoleResult& result, const std::function<void(size_t)>& progress,
                                      const std::string& agent) {
    CZyNetwork session(m_clock);
    bool timedOut = false;
    if (m_road.empty()) m_road = "hubmaster";
    if (const int sent = sendTo(session, hubmaster, CHostBrowseService::kServiceName, request, result);
        sent != kExitOk)
        return sent;
    // The Hubmaster took the request: a silence from here on is the peer it browses, when the router
    // named it; else the Hubmaster's or that of the media agent it asks, which nothing on the wire tells
    // apart (a stop asks no agent: its silence is the Hubmaster's).
    const std::string silent = !agent.empty() ? agent + ", browsed through the Hubmaster,"
                               : m_options.command == EConsoleCommand::kStop
                                   ? std::string()
                                   : "the Hubmaster, or the media agent it asks for the request,";
    readAnswers(session, "the Hubmaster", result, progress, silent);
    ignoreResult(session.Disconnect(5, timedOut),
                 "the session ends either way; a peer already gone is no fault");
    return result.exitCode;
}
