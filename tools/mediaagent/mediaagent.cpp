// mediaagent: a storage node for tests, ./dev run and the benchmarks. It reads what its media agent holds
// from the Hubmaster database (the APP_Client row named by --client, its copies, jobs, cycles and archive
// files), makes or reuses its item index (a SQLite file), registers on its machine's listener (the
// client's zydPort, or --port) and serves the classic file-system restore service until SIGINT/SIGTERM.
//
//   mediaagent --hub <hub.db> --client <name> [--index <file>] [--port <n>] [--service <name>]
//              [--log <folder>] [--files <n>] [--files-per-dir <n>] [--fanout <n>] [--big-dir <n>]
//              [--change-percent <p>] [--delete-percent <p>] [--new-percent <p>] [--metadata-every <n>]
//              [--seed <n>] [--batch <n>] [--fault silent|vanish|garbage --fault-after <n>] [--build-only]
//              [--progress 1]
//              [--index-service started|on-demand|refused] [--index-script <file>] [--journal <file>]
//              [--convert-predictions 1]
//              [--registry <file>] [--mining-journal <file>] [--tls <folder>]
//              [--hold-sessions <prefix> [--hold-seconds <n>]] [--reconnect-every <n>]
//
// --reconnect-every sends each answer to a Hubmaster's BrowseRouter over a fresh connection after every
// n responses, the one it leaves ended, as a media agent whose connections are cut or recycled may.
// --hold-sessions holds the index service's answers of the browse sessions whose id starts with the
// prefix after their first items ("session <s> held after <n> items" on standard output), until the
// Hubmaster stops the session or --hold-seconds (120) pass: a browse in flight for tests and the tour.
// --tls names the machine's credentials folder (authority.crt, machine.crt, machine.key, issued by
// the Hubmaster's authority; default: machines/<client>/tls beside the Hubmaster database, where the
// demo world puts them); without credentials the media agent runs only where plain sessions are allowed.
// The index service "IndexingService_0" runs from the start, is started by its launcher when asked
// (the default), or every launch is refused; it answers plain browse requests as the --index-script says
// and indexing-V1 requests (Indexing::BrowseReq) from the item index, and writes each request it takes
// to --journal. The on-demand mining services "LiveBrowseServer" and "ZYAppMinningIdxService" answer
// the Hubmaster's mining requests from the item index (the mined entity's items), and write each request
// to --mining-journal.
// --index defaults to "<client>.items.db" beside the Hubmaster database; --port 0 lets the system
// choose. It prints "listening on <address>:<port>" once sessions can reach it.
// On SIGUSR1 it says, numbered, once every service instance it launched has ended and given back its
// threads, listener and sessions ("at rest (report <n>)"), or how many still run after 20 s ("not at
// rest (report <n>)"): what a test waits for before it counts what the process holds; then it gives the
// allocator's free pages back and prints what it holds ("mediaagent: memory: in use <n> KB, ...").
#include <poll.h>
#include <signal.h>
#include <strings.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "platform/config/zyplatforminfo.h"
#include "platform/entities/infrastructurepeers.h"
#include "platform/log/evdebug.h"
#include "platform/net/zyd_listener.h"
#include "platform/net/zynet_options.h"
#include "platform/net/zynet_tls.h"
#include "tools/hubmaster/hostmemory.h"
#include "tools/mediaagent/agentplan.h"
#include "tools/mediaagent/answerstops.h"
#include "tools/mediaagent/indexservice.h"
#include "tools/mediaagent/itemindex.h"
#include "tools/mediaagent/itemindexbuilder.h"
#include "tools/mediaagent/ondemandservices.h"
#include "tools/mediaagent/progress.h"
#include "tools/mediaagent/restoreservice.h"
#include "tools/mediaagent/superbrowseanswer.h"

namespace {

// How long a rest report waits for the launched instances to end. The stop signal waits behind it, so
// it stays short of what a test gives a stop.
constexpr std::chrono::seconds kRestLimit{20};

// Says whether every instance the listener launched has ended: an ended instance has joined its threads
// and closed its listener and sessions, so a count of the process taken after "at rest" is a count at
// rest. Written on this (the main) thread so that no thread of the report is left to count.
void reportRest(const CZydListener& listener, unsigned number) {
    if (listener.waitForLaunchedInstances(0, kRestLimit))
        std::printf("mediaagent: at rest (report %u): every launched instance has ended\n", number);
    else
        std::printf(
            "mediaagent: not at rest (report %u): %zu launched instance(s) still running after %lld s\n",
            number, listener.launchedInstances(), static_cast<long long>(kRestLimit.count()));
    std::fflush(stdout);
}

namespace fs = std::filesystem;

struct TOptions {
    std::string hub;
    std::string client;
    std::string index;
    std::string log;
    int port = -1;  // -1: the client's zydPort
    bool buildOnly = false;
    mediaagent::TIndexScale scale;
    mediaagent::TRestoreServiceOptions service;
    mediaagent::TIndexServiceOptions indexService;
    mediaagent::TOnDemandOptions onDemand;
    std::string registry;
    std::string tls;
    std::string hubmasterName;  // the Hubmaster's client name; empty: as the Hubmaster database says
    std::string holdPrefix;     // index-service answers of sessions named so are held until stopped
    long long holdSeconds = 120;
};

int fail(const std::string& what) {
    std::fprintf(stderr, "mediaagent: %s\n", what.c_str());
    return 1;
}

bool number(const char* text, long long& out) {
    char* end = nullptr;
    errno = 0;
    out = std::strtoll(text, &end, 10);
    return errno == 0 && end != text && *end == '\0' && out >= 0;
}

bool parseOptions(int argc, char** argv, TOptions& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--build-only") {
            o.buildOnly = true;
            continue;
        }
        if (i + 1 >= argc) return false;
        const char* value = argv[++i];
        long long n = 0;
        const bool isNumber = number(value, n);
        const int small = static_cast<int>(std::min<long long>(n, 1 << 30));
        if (a == "--hub")
            o.hub = value;
        else if (a == "--client")
            o.client = value;
        else if (a == "--index")
            o.index = value;
        else if (a == "--log")
            o.log = value;
        else if (a == "--service")
            o.service.serviceName = value;
        else if (a == "--index-script")
            o.indexService.scriptPath = value;
        else if (a == "--journal")
            o.indexService.journalPath = value;
        else if (a == "--convert-predictions")
            o.indexService.convertPredictions = std::string(value) == "1";
        else if (a == "--registry")
            o.registry = value;
        else if (a == "--tls")
            o.tls = value;
        else if (a == "--hubmaster")
            o.hubmasterName = value;
        else if (a == "--hold-sessions")
            o.holdPrefix = value;
        else if (a == "--mining-journal")
            o.onDemand.journalPath = value;
        else if (a == "--index-service") {
            const std::string l = value;
            if (l == "started")
                o.indexService.launch = mediaagent::TIndexLaunch::Started;
            else if (l == "on-demand")
                o.indexService.launch = mediaagent::TIndexLaunch::OnDemand;
            else if (l == "refused")
                o.indexService.launch = mediaagent::TIndexLaunch::Refused;
            else
                return false;
        } else if (a == "--fault") {
            const std::string f = value;
            if (f == "silent")
                o.service.fault = mediaagent::TRestoreFault::Silent;
            else if (f == "vanish")
                o.service.fault = mediaagent::TRestoreFault::Vanish;
            else if (f == "garbage")
                o.service.fault = mediaagent::TRestoreFault::Garbage;
            else
                return false;
        } else if (!isNumber)
            return false;
        else if (a == "--port")
            o.port = small;
        else if (a == "--files")
            o.scale.files = n;
        else if (a == "--files-per-dir")
            o.scale.filesPerDirectory = std::max(1, small);
        else if (a == "--fanout")
            o.scale.fanout = std::max(2, small);
        else if (a == "--big-dir")
            o.scale.bigDirectoryFiles = n;
        else if (a == "--change-percent")
            o.scale.changePercent = std::min(100, small);
        else if (a == "--delete-percent")
            o.scale.deletePercent = std::min(100, small);
        else if (a == "--new-percent")
            o.scale.newPercent = std::min(100, small);
        else if (a == "--metadata-every")
            o.scale.metadataEvery = small;
        else if (a == "--seed")
            o.scale.seed = static_cast<uint64_t>(n);
        else if (a == "--batch")
            o.service.batchSize = static_cast<uint32_t>(std::max(1, small));
        else if (a == "--fault-after")
            o.service.faultAfter = static_cast<uint64_t>(n);
        else if (a == "--hold-seconds")
            o.holdSeconds = n;
        else if (a == "--progress")
            mediaagent::setProgressLines(n != 0);
        else if (a == "--reconnect-every")
            mediaagent::setAnswerConnectionResponses(static_cast<unsigned>(std::min<long long>(n, 1 << 30)));
        else
            return false;
    }
    return !o.hub.empty() && !o.client.empty();
}

// What the options are, on standard error.
void printUsage() {
    std::fprintf(
        stderr,
        "usage: mediaagent --hub <hub.db> --client <name> [--index <file>] [--port <n>] [--service "
        "<name>] [--log <folder>] [--files <n>] [--files-per-dir <n>] [--fanout <n>] [--big-dir <n>] "
        "[--change-percent <p>] [--delete-percent <p>] [--new-percent <p>] [--metadata-every <n>] "
        "[--seed <n>] [--batch <n>] [--fault silent|vanish|garbage --fault-after <n>] [--hubmaster "
        "<name>] "
        "[--build-only] [--progress 1] [--hold-sessions <prefix> [--hold-seconds <n>]] "
        "[--reconnect-every <n>]\n");
}

// SIGINT, SIGTERM (stop) and SIGUSR1 (report) blocked, read from the descriptor returned (-1: none).
int blockStopSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    return signalfd(-1, &signals, SFD_CLOEXEC);
}

// Serves until a stop signal (0) or a failure to read the signals (1), reporting what it holds on SIGUSR1
// and giving memory back while idle.
int serveUntilStopped(int signalFd, CZydListener& listener, EvDebug& log) {
    for (unsigned reports = 0;;) {
        // Idle for the host's interval: the allocator's free pages go back, as the host's do.
        pollfd signalReady{signalFd, POLLIN, 0};
        const int ready = poll(&signalReady, 1, kHostTrimIntervalMs);
        if (ready == 0) trimHostMemory();
        if (ready <= 0 && (ready == 0 || errno == EINTR)) continue;
        signalfd_siginfo info;
        const ssize_t n = read(signalFd, &info, sizeof info);
        if (n == sizeof info && info.ssi_signo == SIGUSR1) {
            reportRest(listener, ++reports);
            printHostMemory("mediaagent");
            continue;
        }
        if (n == sizeof info) {
            std::printf("mediaagent: signal %u, stopping\n", info.ssi_signo);
            log.debugLvl(0, "signal %u, stopping", info.ssi_signo);
            return 0;
        }
        if (n < 0 && errno != EINTR) return 1;
    }
}

}  // namespace

int main(int argc, char** argv) {
    // A thread per peer connection, as the host: the same arenas, so a burst of callers is given back.
    limitHostAllocatorArenas();
    // A listener for many callers at once, as the host's.
    zynet::raiseDescriptorLimit();
    TOptions o;
    if (!parseOptions(argc, argv, o)) {
        printUsage();
        return 2;
    }
    // Blocked before any thread exists, so that only the signal descriptor sees them.
    const int signalFd = blockStopSignals();
    if (signalFd < 0) return fail(std::string("signalfd: ") + std::strerror(errno));

    const fs::path hubFolder = fs::absolute(o.hub).parent_path();
    if (o.index.empty()) o.index = (hubFolder / (o.client + ".items.db")).string();
    EvDebugFileInstance::setLogDirectory(o.log.empty() ? hubFolder.string() : o.log);
    o.service.indexPath = o.index;
    o.indexService.indexPath = o.index;
    o.indexService.hubDatabasePath = o.hub;
    o.indexService.batchSize = o.service.batchSize;
    o.onDemand.indexPath = o.index;
    o.onDemand.batchSize = o.service.batchSize;
    mediaagent::CAnswerStops::instance().holdSessions(o.holdPrefix, std::chrono::seconds(o.holdSeconds));

    mediaagent::TAgentPlan plan;
    std::string error;
    if (!fs::is_regular_file(o.hub)) return fail("no Hubmaster database at " + o.hub);
    if (!mediaagent::loadAgentPlan(o.hub, o.client, plan, error)) return fail(error);
    // Each agent its own log in the folder it is given: two agents of one demo must not share a file.
    EvDebug log(nullptr);
    log.initialize(0, 0, false, plan.clientName + ".log");
    log.setPrefixMessage("MEDIAAGENT");
    std::printf("mediaagent: log %s\n", EvDebugFileInstance::defaultInstance()->filePath().c_str());
    if (mediaagent::itemIndexIsCurrent(o.index, plan, o.scale)) {
        std::printf("mediaagent: index %s is current\n", o.index.c_str());
    } else {
        mediaagent::TBuildStats stats;
        if (!mediaagent::buildItemIndex(o.index, plan, o.scale, error, &stats)) return fail(error);
        std::printf("mediaagent: index %s built: %lld entries, %lld versions of %zu subclient(s) in %.1f s\n",
                    o.index.c_str(), static_cast<long long>(stats.entries),
                    static_cast<long long>(stats.versions), plan.subclients.size(), stats.seconds);
    }
    std::fflush(stdout);
    if (o.buildOnly) return 0;

    TZyNetOptions net = zyNetOptions();
    net.localClientName = plan.clientName;
    net.listenPort = o.port >= 0 ? o.port : plan.zydPort;
    setZyNetOptions(net);
    std::shared_ptr<CZydListener> listener = CZydListener::create();
    int result = 0;
    // The registry first: signed requests are checked with its key, and it holds the plain mode.
    if (!o.registry.empty()) ZYPlatformInfo::setRegistryPath(o.registry);
    mediaagent::TPeerRule peers;
    peers.hubmasterName = o.hubmasterName;
    if (!mediaagent::loadPeerRule(o.hub, peers, error)) return fail(error);
    {
        // Only the Hubmaster and the media agents get a trusted peer's limits; a client machine's
        // certificate gets an outsider's frame size, decoding and launches.
        TZyNetOptions limits = zyNetOptions();
        auto infrastructure = std::make_shared<CInfrastructurePeers>(o.hub);
        limits.isInfrastructure = [infrastructure, hubmaster = peers.hubmasterName](const std::string& name) {
            return (!hubmaster.empty() && name == hubmaster) || infrastructure->contains(name);
        };
        setZyNetOptions(limits);
    }
    o.service.peers = o.indexService.peers = o.onDemand.peers = peers;
    std::fprintf(stderr, "mediaagent: answers the Hubmaster [%s]%s\n", peers.hubmasterName.c_str(),
                 peers.acceptPlain ? " and, in plain mode, anyone" : " and requests it signed");
    {
        mediaagent::CRestoreService restore(listener, o.service);
        // The index service and its launcher; signed requests are checked with the registry's key.
        if (!o.registry.empty()) ZYPlatformInfo::setRegistryPath(o.registry);
        // The demo world keeps each machine's credentials beside the Hubmaster's data.
        const std::string tls =
            !o.tls.empty() ? o.tls : (hubFolder / "machines" / plan.clientName / "tls").string();
        if (!startZyNetSecurity(tls, error)) return fail(error);
        mediaagent::CIndexService indexService(listener, o.indexService);
        mediaagent::COnDemandServices onDemand(listener, o.onDemand);
        if (listener->start(net.listenPort).IsError())
            return fail("cannot listen on port " + std::to_string(net.listenPort));
        log.debugLvl(0, "%s (release %s) listening on %s:%d, index %s", plan.clientName.c_str(),
                     plan.versionText.c_str(), net.bindAddress.c_str(), listener->port(), o.index.c_str());
        std::printf("mediaagent: %s (release %s) restore service %s listening on %s:%d\n",
                    plan.clientName.c_str(), plan.versionText.c_str(), o.service.serviceName.c_str(),
                    net.bindAddress.c_str(), listener->port());
        std::fflush(stdout);

        result = serveUntilStopped(signalFd, *listener, log);
        onDemand.stop();
        mediaagent::CAnswerStops::instance().releaseHolds();  // a held answer must not hold the exit
        indexService.stop();
        restore.stop();
    }
    listener->stop();
    close(signalFd);
    std::printf("mediaagent: stopped\n");
    return result;
}
