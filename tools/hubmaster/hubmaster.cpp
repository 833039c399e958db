// hubmaster: the host process of the browse service, in the place of the management server's event
// manager. It opens the Hubmaster database and registry of a data folder, loads libfastbrowsehm.so,
// starts it, hands it browse tasks made from XML browse requests (files, the control channel, and
// consoles through its own service "HubmasterBrowse"), serves until SIGINT/SIGTERM (or the control
// command "stop"), and cleans the service up before it exits. On SIGUSR1 it gives the allocator's free
// pages back and prints what it holds ("hubmaster: memory: in use <n> KB, ...").
//
//   hubmaster [--data <folder>] [--lib <libfastbrowsehm.so>] [--port <n>] [--name <client name>]
//             [--browse <request.xml>]... [--control]
//   hubmaster token --user <login> [--data <folder>] [--lifetime <seconds>] [--session] [--out <file>]
//   hubmaster cert --client <name> --out <folder> [--data <folder>]
//
// --data defaults to the demo world under the build folder (build/demo, made by tools/hubdbdemo);
// --port 0 lets the system choose the listener's port; --control reads commands from standard input:
// "browse <request.xml>" and "stop". "token" prints a new authentication token for a user of the
// database (by login or name), or writes it owner-only to --out's file, and exits. "cert" issues a new
// machine's credentials (its certificate, key and the authority's certificate, owner-only) from the
// authority in <data>/tls, where the host also finds its own.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Db/Tbl/APP_Client.h"
#include "Db/Tbl/UMUsers.h"
#include "platform/config/zyplatforminfo.h"
#include "platform/db/dbenv.h"
#include "platform/db/dbresult.h"
#include "platform/entities/clientaddress.h"
#include "platform/entities/infrastructurepeers.h"
#include "platform/entities/zyclient.h"
#include "platform/hubdb/hubdb.h"
#include "platform/log/evdebug.h"
#include "platform/net/zyd_listener.h"
#include "platform/net/zynet_directory.h"
#include "platform/net/zynet_options.h"
#include "platform/net/zynet_tls.h"
#include "platform/security/evsecuritymgr.h"
#include "platform/tasks/evrestoretask.h"
#include "platform/tasks/evreturndestination.h"
#include "platform/threads/processrest.h"
#include "tools/hubmaster/hostbrowse.h"
#include "tools/hubmaster/hostmemory.h"
#include "tools/readablefiles.h"

namespace {

namespace fs = std::filesystem;

using InitializeFn = int (*)();
using ProcessFn = CHostBrowseService::ProcessFn;
using LaunchEraseFn = CHostBrowseService::LaunchEraseFn;
using CleanUpFn = int (*)();
using WaitForListenerFn = int (*)(int, char*, unsigned long);
// How long the service may take to listen once started.
constexpr int kListenWaitSeconds = 10;

struct TOptions {
    fs::path data;
    fs::path library;
    int port = 0;
    std::string name = "hubmaster";
    std::vector<std::string> browses;
    bool control = false;
};

constexpr const char* kTokenUsage =
    "usage: hubmaster token --user <login> [--data <folder>] [--lifetime <seconds>] [--session] [--out "
    "<file>]\n"
    "  a new token of the user on standard output, or written to <file> that only its owner may read\n"
    "  (browse --token-file <file>); it is valid for one hour (3600 s): --lifetime <seconds> asks for\n"
    "  another lifetime. Only the Hubmaster's machine issues tokens (it holds the key in <data>): a console\n"
    "  elsewhere gets its token from there\n";
constexpr const char* kUsage =
    "usage: hubmaster [--data <folder>] [--lib <libfastbrowsehm.so>] [--port <n>] [--name <client>]\n"
    "                 [--browse <request.xml>]... [--control]\n"
    "       hubmaster token --user <login> [--data <folder>] [--lifetime <seconds>] [--session] [--out "
    "<file>]\n"
    "       hubmaster cert --client <name> --out <folder> [--data <folder>]\n"
    "  serves BrowseRouter and HubmasterBrowse for the data folder (default: the demo world, build/demo)\n"
    "  until SIGINT/SIGTERM; token: issues a user's token, valid for one hour (hubmaster token --help);\n"
    "  cert: issues a new machine's credentials (hubmaster cert --help)\n";

int fail(const std::string& what, int status = 1) {
    std::fprintf(stderr, "hubmaster: %s\n", what.c_str());
    return status;
}

// The way of a user who cannot read the Hubmaster's data: it is its owner's only.
constexpr const char* kOwnersOnly =
    "the Hubmaster's data is its owner's only: run hubmaster as that user (a console elsewhere gets its "
    "token from there, and gives --host, --port and --ca <the Hubmaster's tls/authority.crt>)";

fs::path defaultDataFolder() {
    return fs::canonical("/proc/self/exe").parent_path() / ".." / ".." / "demo";
}

int threadCount() {
    int n = 0;
    if (DIR* dir = opendir("/proc/self/task")) {
        while (dirent* e = readdir(dir)) n += e->d_name[0] != '.';
        closedir(dir);
    }
    return n;
}

// Prints every record of a browse's return channel as it arrives.
class PrintingDestination : public EvReturnDestination {
public:
    explicit PrintingDestination(std::string label) : m_label(std::move(label)) {}
    void deliver(const EvReturnRecord& record) override {
        if (record.kind == EV_RETURN_RECORD_END)
            std::printf("%s: end %lld\n", m_label.c_str(), record.code);
        else
            std::printf("%s: record %lu: %s\n", m_label.c_str(), record.kind, record.data.c_str());
        std::fflush(stdout);
    }

private:
    std::string m_label;
};

// Hands the browse request of `file` to the service; false when the file cannot be read.
bool browse(ProcessFn process, const std::string& file) {
    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf();
    databrowse::BrowseRequest request;
    if (!in || request.unserialize(text.str()) != 0) {
        std::printf("browse %s: not a readable browse request\n", file.c_str());
        return false;
    }
    const long long jobId = CHostBrowseService::nextJobId();
    const std::string label = "browse " + file + " (job " + std::to_string(jobId) + ")";
    EvReturnDestinations::registerDestination(jobId, std::make_shared<PrintingDestination>(label));
    EvMultiEntityRestoreTask task;
    CHostBrowseService::fillTask(request, jobId, task);
    const int result = process(&task, false, databrowse::FORCE_USE_INDEX_NONE, &request);
    EvReturnDestinations::unregisterDestination(jobId);
    std::printf("%s: result %d\n", label.c_str(), result);
    std::fflush(stdout);
    return true;
}

bool parseOptions(int argc, char** argv, TOptions& o) {
    o.data = defaultDataFolder();
    o.library = fs::canonical("/proc/self/exe").parent_path() / ".." / ".." / "libfastbrowsehm.so";
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "--data" && hasValue)
            o.data = argv[++i];
        else if (a == "--lib" && hasValue)
            o.library = argv[++i];
        else if (a == "--port" && hasValue)
            o.port = std::atoi(argv[++i]);
        else if (a == "--name" && hasValue)
            o.name = argv[++i];
        else if (a == "--browse" && hasValue)
            o.browses.push_back(argv[++i]);
        else if (a == "--control")
            o.control = true;
        else
            return false;
    }
    return true;
}

// 0 when the data folder's database is open; else the exit status, with `error`: 2 when this user
// cannot read the folder or its database, 1 when it holds none or it does not open.
int openDataFolder(const fs::path& data, fs::path& database, std::string& error) {
    database = data / "hub.db";
    if (access(database.c_str(), F_OK) != 0 && errno == ENOENT) {
        error = "no Hubmaster database at " + database.string() + " (create one with tools/hubdbdemo)";
        return 1;
    }
    if (std::string why = readablefiles::dataFolderProblem(data); !why.empty()) {
        error = why + "; " + kOwnersOnly;
        return readablefiles::kExitUnreadable;
    }
    EvDebugFileInstance::setLogDirectory(data.string());
    ZYPlatformInfo::setRegistryPath((data / "registry.ini").string());
    if (hubdb::openHubDatabase(database.string(), &error) == zydb::DB_OK) return 0;
    error = "cannot open the Hubmaster database " + database.string() + ": " + error;
    return 1;
}

// hubmaster cert --client <name> --out <folder>: a new machine's credentials from the Hubmaster's
// authority.
int certCommand(int argc, char** argv) {
    fs::path data = defaultDataFolder();
    std::string client, out;
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--client")
            client = argv[i + 1];
        else if (a == "--out")
            out = argv[i + 1];
        else if (a == "--data")
            data = argv[i + 1];
        else
            client.clear(), i = argc;
    }
    const char* usage =
        "usage: hubmaster cert --client <name> --out <folder> [--data <folder>]\n"
        "  writes a new machine's credentials, issued by the Hubmaster's authority: machine.crt (its\n"
        "  certificate, proving <name>), machine.key and authority.crt, owner-only; a console needs only\n"
        "  authority.crt (browse --ca)\n";
    for (int i = 2; i < argc; ++i)
        if (std::string(argv[i]) == "--help" || std::string(argv[i]) == "-h") {
            std::fputs(usage, stdout);
            return 0;
        }
    if (client.empty() || out.empty() || argc % 2 != 0) {
        std::fputs(usage, stderr);
        return 2;
    }
    std::string error;
    fs::path database;
    if (const int status = openDataFolder(data, database, error)) return fail(error, status);
    // A certificate proves the name it carries: never the Hubmaster's, whose credentials come with its
    // data folder, and never a machine's name in other letters, which a peer comparing loosely would
    // take for that machine.
    const unsigned long exact = ZYClient::idOfProvenName(client);
    if (exact != 0 && exact == ZYClient::hubmasterClientId())
        return fail("[" + client + "] is the Hubmaster's own name: its credentials are in its data folder");
    std::string stored;
    ZYClient alike(client, false, nullptr);
    if (exact == 0 && alike.getName(stored) == 0 && !stored.empty())
        return fail("[" + client + "] differs from the machine [" + stored +
                    "] only in letter case: give the name exactly as the Hubmaster knows it");
    if (!issueZyNetCredentials((data / "tls").string(), client, out, error)) return fail(error);
    std::printf("hubmaster: credentials of [%s] written to %s\n", client.c_str(), out.c_str());
    return 0;
}

// hubmaster token --user <login>: prints a token of that user (a user token, or with --session a
// session token with its live session) on standard output.
int tokenCommand(int argc, char** argv) {
    fs::path data = defaultDataFolder();
    std::string user;
    long long lifetime = 3600;
    bool session = false, help = false;
    std::string out, bad;
    for (int i = 2; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "--user" && hasValue)
            user = argv[++i];
        else if (a == "--data" && hasValue)
            data = argv[++i];
        else if (a == "--lifetime" && hasValue)
            lifetime = std::atoll(argv[++i]);
        else if (a == "--session")
            session = true;
        else if (a == "--out" && hasValue)
            out = argv[++i];
        else if (a == "--help" || a == "-h")
            help = true;
        else
            bad = a, i = argc;
    }
    if (help) {
        std::fputs(kTokenUsage, stdout);
        return 0;
    }
    if (!bad.empty() || user.empty() || lifetime <= 0) {
        std::fprintf(stderr, "hubmaster token: %s\n%s",
                     !bad.empty()   ? ("unknown or incomplete option [" + bad + "]").c_str()
                     : user.empty() ? "--user <login> is needed"
                                    : "--lifetime takes a positive number of seconds",
                     kTokenUsage);
        return 2;
    }
    fs::path database;
    std::string error;
    if (const int status = openDataFolder(data, database, error)) return fail(error, status);
    UMUsers users(nullptr);
    users.setWhere("login = '%s' OR name = '%s'", user.c_str(), user.c_str());
    const int found = users.getOneRow(&users, false, 0, 0);
    const int userId = found == zydb::DB_OK ? users.getDataPtr()->id : 0;
    std::string token;
    const int issued = userId > 0 ? EvSecurityMgr::IssueZetaToken(userId, session, lifetime, token) : -1;
    zydb::CDbEnv::close();
    if (userId <= 0) return fail("no user [" + user + "] in " + database.string());
    if (issued != 0) return fail("no token could be issued for user [" + user + "]; see the log");
    if (out.empty()) {
        std::printf("%s\n", token.c_str());
        return 0;
    }
    // Owner-only from its creation: the token is the user's password while it lives.
    const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    const std::string line = token + "\n";
    const bool written = fd >= 0 && fchmod(fd, 0600) == 0 &&
                         write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    if (fd >= 0) close(fd);
    if (!written) return fail("cannot write the token to " + out + ": " + std::strerror(errno));
    std::fprintf(stderr, "hubmaster: token of user [%s] written to %s (owner-only, valid %lld s)\n",
                 user.c_str(), out.c_str(), lifetime);
    return 0;
}

// The service's entry points, looked up in the loaded library.
struct TServiceEntries {
    InitializeFn initialize = nullptr;
    ProcessFn process = nullptr;
    CleanUpFn cleanUp = nullptr;
    LaunchEraseFn launchErase = nullptr;
    WaitForListenerFn waitForListener = nullptr;
};

// Blocks the stop signals before any thread exists, so every thread inherits the mask and only the
// returned descriptor sees them; -1 when it cannot be made.
int blockStopSignals() {
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGUSR1);  // not a stop: what the allocator holds (printHostMemory)
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    return signalfd(-1, &stopSignals, SFD_CLOEXEC);
}

// The network options of this host, and its TLS identity from the data folder.
bool startNetwork(const TOptions& o, const fs::path& database, TZyNetOptions& net, std::string& error) {
    CZyNetDirectory::instance().setResolver(&ZyClientAddressFromDatabase);
    net = zyNetOptions();
    net.listenPort = o.port;
    net.localClientName = o.name;
    net.bindAddress = "127.0.0.1";
    // Only the Hubmaster's own client and the media agents get a trusted peer's limits.
    auto infrastructure = std::make_shared<CInfrastructurePeers>(database.string());
    net.isInfrastructure = [infrastructure](const std::string& name) {
        return infrastructure->contains(name);
    };
    setZyNetOptions(net);
    // Every session is TLS with the Hubmaster's own certificate, kept in the data folder.
    return startZyNetSecurity((o.data / "tls").string(), error);
}

bool loadService(const fs::path& path, void*& library, TServiceEntries& entries, std::string& error) {
    library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        error = "cannot load the browse service " + path.string() + ": " + dlerror();
        return false;
    }
    entries.initialize = reinterpret_cast<InitializeFn>(dlsym(library, "fastBrowseHMInitialize"));
    entries.process = reinterpret_cast<ProcessFn>(dlsym(library, "fastBrowseHMProcessRequestMultiEntity"));
    entries.cleanUp = reinterpret_cast<CleanUpFn>(dlsym(library, "fastBrowseHMCleanUp"));
    entries.launchErase =
        reinterpret_cast<LaunchEraseFn>(dlsym(library, "fastBrowseHMLaunchEraseCreateTask"));
    entries.waitForListener =
        reinterpret_cast<WaitForListenerFn>(dlsym(library, "fastBrowseHMWaitForListener"));
    if (entries.initialize && entries.process && entries.cleanUp && entries.launchErase &&
        entries.waitForListener)
        return true;
    error = "the browse service " + path.string() + " lacks its entry points";
    return false;
}

// Says where the router listens and what a console away from the data folder needs: the address, the
// authority's certificate, the name this host proves and the media agents' addresses.
void announceListener(const TOptions& o, const TZyNetOptions& net, int port) {
    std::printf("hubmaster: BrowseRouter listening on %s:%d\n", net.bindAddress.c_str(), port);
    std::string agents;
    APP_Client client(nullptr);
    client.setWhereRaw("zydPort > 0 AND id IN (SELECT clientId FROM mediaAgent)");
    client.setOrderBy("name");
    while (client.getNextRow(&client, nullptr, -1, 0) == zydb::DB_OK) {
        const auto* row = client.getDataPtr();
        agents += std::string(agents.empty() ? "" : ",") + row->name + "=" +
                  (row->net_hostname[0] ? row->net_hostname : "127.0.0.1") + ":" +
                  std::to_string(row->zydPort);
    }
    std::printf(
        "hubmaster: a console elsewhere: browse --host %s --port %d --ca %s --hubmaster-name %s%s%s\n",
        net.bindAddress.c_str(), port, (o.data / "tls" / "authority.crt").c_str(),
        zyNetCredentialName().c_str(), agents.empty() ? "" : " --ma-address ", agents.c_str());
    // Consoles given this data folder find the router here.
    ZYPlatformInfo::setString("~Hubmaster", "sBrowseRouterHost", net.bindAddress);
    ZYPlatformInfo::setNumber("~Hubmaster", "nBrowseRouterPort", static_cast<unsigned long>(port));
}

// Runs the commands of one chunk of standard input's lines; true when one of them was "stop".
bool runControlLines(std::string& pending, ProcessFn process) {
    bool stop = false;
    for (size_t eol; (eol = pending.find('\n')) != std::string::npos;) {
        const std::string line = pending.substr(0, eol);
        pending.erase(0, eol + 1);
        if (line == "stop") {
            stop = true;
        } else if (line.rfind("browse ", 0) == 0) {
            browse(process, line.substr(7));
        } else if (!line.empty()) {
            std::printf("hubmaster: unknown command [%s]\n", line.c_str());
        }
    }
    std::fflush(stdout);
    return stop;
}

// Set while the host serves: its rests give free memory back then, not while it stops.
std::atomic<bool> g_serving{false};

void giveBackWhileServing() {
    if (g_serving.load()) giveBackAtRest("hubmaster");
}

// Serves until a stop signal or the "stop" command; free memory goes back each time the host comes to
// rest (giveBackWhileServing, on the thread that let the process go).
void serveUntilStopped(int signalFd, bool control, ProcessFn process) {
    std::string pending;
    bool readStdin = control;
    g_serving = true;
    for (bool stop = false; !stop;) {
        pollfd fds[2] = {{signalFd, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
        const int ready = poll(fds, readStdin ? 2 : 1, -1);
        if (ready < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[0].revents & POLLIN) {
            signalfd_siginfo info;
            if (read(signalFd, &info, sizeof info) == sizeof info && info.ssi_signo == SIGUSR1) {
                printHostMemory("hubmaster");
                continue;
            }
            std::printf("hubmaster: signal %u, stopping\n", info.ssi_signo);
            stop = true;
        }
        if (readStdin && (fds[1].revents & (POLLIN | POLLHUP))) {
            char buffer[4096];
            const ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
            if (n <= 0) {
                readStdin = false;  // no more commands; signals still stop
                continue;
            }
            pending.append(buffer, static_cast<size_t>(n));
            if (runControlLines(pending, process)) stop = true;
        }
    }
    g_serving = false;
}

// Drains the host's own service, cleans the browse service up and says plainly whether anything of it
// was left behind (this main thread is not). The process's exit status.
int stopService(CHostBrowseService& hostBrowse, CleanUpFn cleanUp, int foreignThreads) {
    // No request may be inside the service while it is cleaned up; the listener closes with the last
    // service behind it.
    if (!hostBrowse.drain()) {
        // A browse still inside the service would run on after its clean-up: leave without it.
        std::printf("hubmaster: a browse did not end in time; stopping without the service's clean-up\n");
        std::fflush(stdout);
        return 1;
    }
    const int cleaned = cleanUp();
    hostBrowse.stop();
    // Nothing uses the database now; its kept connections are not left for the idle sweeper to close.
    zydb::CDbEnv::close();
    // A thread whose work has ended may take a moment to leave the process (a worker that deletes
    // itself detaches its own thread on the way out): only one still here after a short grace is left
    // running.
    int threadsLeft = threadCount() - foreignThreads;
    for (int waited = 0; threadsLeft > 1 && waited < 200; ++waited) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        threadsLeft = threadCount() - foreignThreads;
    }
    const bool listening = CZydListener::machineListener()->running();
    if (cleaned == 1 && threadsLeft == 1 && !listening)
        std::printf(
            "hubmaster: stopped cleanly: the browse service cleaned up, no thread of it left, "
            "listener closed\n");
    else
        std::printf(
            "hubmaster: stopped, but not cleanly: the service's clean-up %s, %d thread(s) of it "
            "left running, listener %s\n",
            cleaned == 1 ? "succeeded" : "failed", threadsLeft - 1, listening ? "still open" : "closed");
    std::fflush(stdout);
    return threadsLeft == 1 && !listening ? 0 : 1;
}

int serve(int argc, char** argv) {
    limitHostAllocatorArenas();
    registerProcessRestAction(&giveBackWhileServing);
    // Threads a runtime starts are not ours to join: ThreadSanitizer runs one of its own from the first
    // thread created on.
#if defined(__SANITIZE_THREAD__)
    const int foreignThreads = 1;
#else
    const int foreignThreads = 0;
#endif
    if (argc > 1 && std::string(argv[1]) == "token") return tokenCommand(argc, argv);
    if (argc > 1 && std::string(argv[1]) == "cert") return certCommand(argc, argv);
    if (argc > 1 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h")) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    TOptions o;
    if (!parseOptions(argc, argv, o)) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    const int signalFd = blockStopSignals();
    if (signalFd < 0) return fail(std::string("signalfd: ") + std::strerror(errno));

    fs::path database;
    std::string error;
    if (const int status = openDataFolder(o.data, database, error)) return fail(error, status);
    zynet::raiseDescriptorLimit();
    TZyNetOptions net;
    if (!startNetwork(o, database, net, error)) return fail(error);
    void* library = nullptr;
    TServiceEntries service;
    if (!loadService(o.library, library, service, error)) return fail(error);

    if (service.initialize() != 1) return fail("the browse service did not start");
    std::string logPath = EvDebugFileInstance::defaultInstance()->filePath();
    if (auto** instance = static_cast<EvDebugFileInstance**>(dlsym(library, "g_pLogInstance"));
        instance && *instance)
        logPath = (*instance)->filePath();
    std::printf("hubmaster: database %s\nhubmaster: log %s\n", database.c_str(), logPath.c_str());

    // Announced once the service says its listener is up (or why it is not).
    char notListening[512] = "";
    const int port = service.waitForListener(kListenWaitSeconds, notListening, sizeof notListening);
    if (port > 0)
        announceListener(o, net, port);
    else
        std::printf("hubmaster: BrowseRouter is not listening: %s\n", notListening);
    // Consoles reach the service here as the event manager's callers do (answers stream back).
    CHostBrowseService hostBrowse(service.process, service.launchErase);
    if (port > 0 && hostBrowse.start(error))
        std::printf("hubmaster: %s listening on %s:%d\n", CHostBrowseService::kServiceName,
                    net.bindAddress.c_str(), port);
    else
        std::printf("hubmaster: %s is not serving: %s\n", CHostBrowseService::kServiceName, error.c_str());
    std::fflush(stdout);

    for (const std::string& file : o.browses) browse(service.process, file);
    serveUntilStopped(signalFd, o.control, service.process);
    return stopService(hostBrowse, service.cleanUp, foreignThreads);
}

}  // namespace

int main(int argc, char** argv) {
    // Whatever file or folder cannot be read on the way is named, with the way forward.
    return readablefiles::runReading("hubmaster", kOwnersOnly, [&] { return serve(argc, argv); });
}
