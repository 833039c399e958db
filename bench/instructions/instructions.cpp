// instructions: the cost of a browse in instructions, which unlike time does not depend on the load of
// the machine. The real host (tools/hubmaster with libfastbrowsehm.so) and media agent (tools/mediaagent)
// of a build run under callgrind over the media agent's benchmark catalogue; consoles (tools/browse, one
// process per command, run natively) make the five browses of ./dev bench on both roads (BrowseRouter's,
// where the console takes the prepared request to the media agent itself, and the Hubmaster's own
// service, --via hubmaster). A cell is a road and a browse. After every cell's first browses (and a wait
// past the host's idle expiries, so that what only they used is closed before counting), the rounds each
// go over every browse, measured on both roads at once: a pre-block that is not counted (the first
// browses after a while pay what expired meanwhile), then the block, the roads taking turns browse by
// browse so that neither is left idle past the host's idle expiries (30 s) while the other is measured.
// Each browse is counted between dumps of both processes (callgrind_control), less what each process
// does while idle over as long (its rate counted once per round); one during which a database connection
// was opened or closed is taken again (counts.h: when the idle expiry closes one follows the wall clock).
// A cell's figure is the mean of every browse of its block, as the goals judge it (a cost that lands on
// one browse in four counts as much as one spread over every browse); the trimmed mean is printed beside
// it. Per cell and browse: the host's and the media agent's instructions in the TLS libraries (libssl,
// libcrypto) and elsewhere, their mean and spread over the rounds, and the system calls each makes,
// counted in a separate run of the same processes natively with strace attached for each block (every
// call of every thread, less the writes to log files). Beside the warm cells, the mixed order (mixed.h):
// the ten cells in rotation, as consoles really arrive, each browse counted, its mean and dearest browse
// judged. The handshake: what one TLS connection of a console costs the host, beside what it costs
// OpenSSL alone (tls_floor, with the same certificate, group and verification).
//
//   instructions [--build <folder>] [--work <folder>] [--rounds N] [--pre N] [--block N]
//                [--handshakes N] [--idle-seconds N] [--settle-seconds N] [--mixed N] [--no-instructions]
//                [--no-calls] [--no-handshake] [--keep-dumps] [--each] [--own-path]
//                [--rows <file>] [--calls-goal <rows>] [--budgets <file> [--tolerance <fraction>]
//                [--cell-tolerance <fraction>] [--seam]]
//                [--write-budgets <file>]
//   instructions --compare <new rows> <old rows>
//
// --build: the build whose host, media agent and console are measured (default: this program's);
// --calls-goal: a rows file whose host system calls per browse are the goal of each road's (the mean of
// its browses); --rows: every round's figures written to a file (bench/compare reads them back);
// --budgets: each budgeted figure held to its budget: each road's cells summed per figure (fails when
// over their budgets summed by more than --tolerance, 0.01) and each cell (--cell-tolerance, 0.025);
// --seam: the check tests itself: the host runs with instrseam (seam.cpp) preloaded, and the last
// browse is measured again with a regression added to one browse in four, then as much spread over every
// browse: each must fail its cell's budget, or the run fails; --own-path: when the processes run on the
// baseline path ./dev pins for the budgets, one more round on the processor's own path (the pins left
// out, half the browses), whose host's own figures are the goals' and are printed beside the
// baseline's;
// --settle-seconds: the wait after the first browses (40); --mixed: rotations of the mixed order a
// round (none by default; ./dev bench --instructions asks for 2); --write-budgets: the figures written
// as budgets; --no-instructions: the system calls alone (--no-calls: the instructions alone);
// --keep-dumps: the callgrind dumps are kept in <work>/callgrind; --each: every browse's figures
// printed; --compare: new/old per cell of two rows files. Prints the table, then "figure:" lines against
// the goals; exits 1 when a budget is exceeded, the check's own test fails or a process fails.
#include <openssl/ssl.h>
#include <sys/mman.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <functional>
#include <map>
#include <sstream>

#include "bench/instructions/counts.h"
#include "bench/instructions/handshake.h"
#include "bench/instructions/mixed.h"
#include "bench/instructions/process.h"
#include "bench/instructions/world.h"
#include "bench/support/catalogue.h"

namespace {

using namespace instrbench;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct TOptions {
    fs::path build, work;
    fs::path self;  // this program's folder (tls_floor beside it), read before anything can replace it
    int rounds = 3, pre = 2, block = 10, handshakes = 20, idleSeconds = 6;
    int settleSeconds = 40;  // after the warm-up: past the host's idle expiries (30 s)
    int mixed = 0;           // rotations of the mixed order a round; 0: none
    bool instructions = true, calls = true, handshake = true, keepDumps = false;
    bool each = false;     // every browse's figures printed
    bool seam = false;     // the check's own test (--budgets): the host preloaded with instrseam
    bool ownPath = false;  // pinned to the baseline path: the processor's own counted too, for the goals
    std::string rowsFile, budgetsFile, writeBudgetsFile, compareNew, compareOld, callsGoalFile;
    double tolerance = 0.01, cellTolerance = 0.025;
};

[[noreturn]] void giveUp(const std::string& why) {
    std::fprintf(stderr, "instructions: %s\n", why.c_str());
    stopChildren();  // the host, the media agent, strace: none is left running
    std::exit(1);
}

bool parseOptions(int argc, char** argv, TOptions& o) {
    o.self = fs::canonical("/proc/self/exe").parent_path();
    o.build = o.self.parent_path().parent_path();
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool more = i + 1 < argc;
        auto count = [&](int& to) { return more && (to = std::atoi(argv[++i])) > 0; };
        if (a == "--build" && more)
            o.build = fs::absolute(argv[++i]);
        else if (a == "--work" && more)
            o.work = fs::absolute(argv[++i]);
        else if (a == "--rounds" || a == "--pre" || a == "--block" || a == "--handshakes" ||
                 a == "--idle-seconds" || a == "--settle-seconds") {
            int& to = a == "--rounds"         ? o.rounds
                      : a == "--pre"          ? o.pre
                      : a == "--block"        ? o.block
                      : a == "--handshakes"   ? o.handshakes
                      : a == "--idle-seconds" ? o.idleSeconds
                                              : o.settleSeconds;
            if (!count(to)) return false;
        } else if (a == "--no-calls")
            o.calls = false;
        else if (a == "--no-instructions")
            o.instructions = false;
        else if (a == "--mixed" && more)
            o.mixed = std::max(0, std::atoi(argv[++i]));
        else if (a == "--no-handshake")
            o.handshake = false;
        else if (a == "--keep-dumps")
            o.keepDumps = true;
        else if (a == "--each")
            o.each = true;
        else if (a == "--seam")
            o.seam = true;
        else if (a == "--own-path")
            o.ownPath = true;
        else if (a == "--calls-goal" && more)
            o.callsGoalFile = argv[++i];
        else if (a == "--rows" && more)
            o.rowsFile = argv[++i];
        else if (a == "--budgets" && more)
            o.budgetsFile = argv[++i];
        else if (a == "--write-budgets" && more)
            o.writeBudgetsFile = argv[++i];
        else if (a == "--tolerance" && more)
            o.tolerance = std::atof(argv[++i]);
        else if (a == "--cell-tolerance" && more)
            o.cellTolerance = std::atof(argv[++i]);
        else if (a == "--compare" && i + 2 < argc) {
            o.compareNew = argv[++i];
            o.compareOld = argv[++i];
        } else
            return false;
    }
    if (o.work.empty()) o.work = o.build / "instructions";
    return true;
}

// ---- the world and its processes -----------------------------------------------------------------

constexpr const char* kRoads[] = {"BrowseRouter", "Hubmaster"};

struct TSide {
    fs::path build;
    fs::path program(const char* relative) const { return build / relative; }
};

struct TPorts {
    int host = 0, agent = 0;
};

// The media agent's item index of the catalogue, made by the side's own media agent (its layout is the
// side's), or kept from an earlier run.
std::vector<std::string> agentOptions(const TSide& side, const TWorld& w, const fs::path& items) {
    std::vector<std::string> v = {side.program("tools/mediaagent/mediaagent").string()};
    const std::vector<std::string> options = hubbench::catalogueAgentOptions(
        hubbench::catalogueScale(), w.database(), w.agentName, items.string(), w.folder.string());
    v.insert(v.end(), options.begin(), options.end());
    return v;
}

std::vector<std::string> underCallgrind(const fs::path& out, std::vector<std::string> argv) {
    std::vector<std::string> v = {"valgrind", "--tool=callgrind", "--callgrind-out-file=" + out.string(),
                                  "--dump-instr=no"};
    v.insert(v.end(), argv.begin(), argv.end());
    return v;
}

// The host and the media agent, started (under callgrind when `callgrindFolder` is given), listening.
struct TProcesses {
    std::unique_ptr<CProcess> agent, host;
    TPorts ports;
};

// How the host and the media agent are started beyond their options: on the processor's own path (the
// pins this program was given for the C library and OpenSSL left out), and the host with the seam of the
// check's own test preloaded.
struct TStart {
    bool ownPath = false;
    fs::path seamLibrary, seamPage;  // empty: none
};

std::vector<std::string> started(const TStart& how, bool host, std::vector<std::string> argv) {
    std::vector<std::string> env;
    if (how.ownPath) env.insert(env.end(), {"-u", "GLIBC_TUNABLES", "-u", "OPENSSL_ia32cap"});
    if (host && !how.seamLibrary.empty())
        env.insert(env.end(),
                   {"LD_PRELOAD=" + how.seamLibrary.string(), "HUB_INSTR_SEAM=" + how.seamPage.string()});
    if (env.empty()) return argv;
    env.insert(env.begin(), "env");
    env.insert(env.end(), argv.begin(), argv.end());
    return env;
}

TProcesses startProcesses(const TSide& side, const TWorld& w, const fs::path& items, const fs::path& logs,
                          const fs::path& callgrindFolder, const TStart& how = {}) {
    TProcesses p;
    const bool counted = !callgrindFolder.empty();
    std::vector<std::string> agent = agentOptions(side, w, items);
    agent.insert(agent.end(), {"--port", "0", "--index-service", "started", "--registry", w.registry(),
                               "--tls", w.agentTls(), "--hubmaster", w.hubName});
    if (counted) agent = underCallgrind(callgrindFolder / "agent.out", agent);
    agent = started(how, false, agent);
    const std::string path = how.ownPath ? "-own-path" : "";  // the logs of each pair of processes
    p.agent = std::make_unique<CProcess>(agent, logs / ("agent" + path + ".log"));
    p.ports.agent =
        static_cast<int>(p.agent->waitForNumberAfter("listening on 127.0.0.1:", std::chrono::minutes(5)));
    std::string error;
    if (p.ports.agent <= 0) giveUp("the media agent did not start: " + p.agent->output());
    if (!pointClientAt(w, w.agentName, p.ports.agent, error)) giveUp(error);
    std::vector<std::string> host = {side.program("tools/hubmaster/hubmaster").string(),
                                     "--data",
                                     w.folder.string(),
                                     "--lib",
                                     side.program("libfastbrowsehm.so").string(),
                                     "--port",
                                     "0",
                                     "--name",
                                     w.hubName};
    if (counted) host = underCallgrind(callgrindFolder / "host.out", host);
    host = started(how, true, host);
    p.host = std::make_unique<CProcess>(host, logs / ("host" + path + ".log"));
    p.ports.host = static_cast<int>(
        p.host->waitForNumberAfter("BrowseRouter listening on 127.0.0.1:", std::chrono::minutes(5)));
    if (p.ports.host <= 0) giveUp("the host did not start: " + p.host->output());
    if (!pointClientAt(w, w.hubName, p.ports.host, error)) giveUp(error);
    return p;
}

// ---- the browses ---------------------------------------------------------------------------------

struct TConsole {
    TSide side;
    const TWorld* world = nullptr;
    std::string token, fileOfVersions;
    fs::path log;
};

std::string day(long long seconds) {
    return std::to_string(seconds);
}

std::vector<std::string> consoleCommand(const TConsole& c, const TPorts& ports, int road, int browse) {
    using namespace hubbench;
    const TWorld& w = *c.world;
    std::vector<std::string> v = {c.side.program("tools/browse/browse").string()};
    const std::string at = day(kCataloguePointInTime);
    switch (static_cast<TCatalogueBrowse>(browse)) {
        case kFirstPage:
            v.insert(v.end(),
                     {"list", "--path", "/d01/d01/d01", "--at", at, "--page-size", "100", "--page", "1"});
            break;
        case kDeepPage:
            v.insert(v.end(), {"list", "--path", "/big", "--at", at, "--page-size", "100", "--page", "901"});
            break;
        case kTopOfTree:
            v.insert(v.end(), {"list", "--path", "/d00", "--at", at, "--page-size", "100", "--page", "1"});
            break;
        case kFileVersions:
            v.insert(v.end(), {"versions", "--path", c.fileOfVersions, "--from", day(kCatalogueFirstJob - 1),
                               "--to", day(kCatalogueFirstJob + 10 * kCatalogueDay)});
            break;
        case kBigFirstPage:
            v.insert(v.end(), {"list", "--path", "/big", "--at", at, "--page-size", "100", "--page", "1"});
            break;
    }
    v.insert(v.end(),
             {"--client", "benchclient", "--subclient", std::to_string(w.subclient), "--host", "127.0.0.1",
              "--port", std::to_string(ports.host), "--ca", w.authority(), "--hubmaster-name", w.hubName,
              "--ma-address", w.agentName + "=127.0.0.1:" + std::to_string(ports.agent), "--token-file",
              c.token, "--quiet", "--timeout", "900"});
    if (road == 1) v.insert(v.end(), {"--via", "hubmaster"});
    return v;
}

// `count` browses of a cell, one console after another; false (the console's output shown) when one
// fails.
bool browses(const TConsole& c, const TPorts& ports, int road, int browse, int count) {
    const std::vector<std::string> argv = consoleCommand(c, ports, road, browse);
    for (int i = 0; i < count; ++i)
        if (const int status = run(argv, c.log); status != 0) {
            std::fprintf(stderr, "instructions: a console of %s, %s ended with status %d:\n%s\n",
                         kRoads[road], hubbench::kCatalogueBrowseNames[browse], status,
                         readFile(c.log).c_str());
            return false;
        }
    return true;
}

// The file whose versions are browsed: the first of the first page's directory, as the console lists it.
std::string findFileOfVersions(TConsole& c, const TPorts& ports) {
    std::vector<std::string> argv = consoleCommand(c, ports, 0, hubbench::kFirstPage);
    argv.insert(argv.end(), {"--json"});
    for (std::string& a : argv)
        if (a == "100") a = "1";
    if (run(argv, c.log) != 0) giveUp("the first page cannot be listed: " + readFile(c.log));
    const std::string out = readFile(c.log);
    const std::string marker = "\"path\":\"";
    const size_t at = out.find(marker);
    if (at == std::string::npos) giveUp("the first page is empty: " + out);
    const size_t end = out.find('"', at + marker.size());
    return out.substr(at + marker.size(), end - at - marker.size());
}

std::string issueToken(const TSide& side, const TWorld& w, const fs::path& logs) {
    const std::string file = (w.folder / "admin.token").string();
    if (run({side.program("tools/hubmaster/hubmaster").string(), "token", "--user", "admin", "--data",
             w.folder.string(), "--lifetime", "86400", "--out", file},
            logs / "token.log") != 0)
        giveUp("no token for the administrator: " + readFile(logs / "token.log"));
    return file;
}

// ---- counting ------------------------------------------------------------------------------------

// The CPU time `pid` has used, in clock ticks (user and system, every thread); -1 once it is gone.
long long cpuTicks(pid_t pid) {
    const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    const size_t close = stat.rfind(')');
    if (close == std::string::npos) return -1;
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    long long utime = 0, stime = 0;
    for (int i = 3; fields >> field; ++i) {
        if (i == 14) utime = std::atoll(field.c_str());
        if (i == 15) {
            stime = std::atoll(field.c_str());
            break;
        }
    }
    return utime + stime;
}

// Waits until `pid` has used no CPU for a while (at most 20 s): what a browse leaves the process to do
// after its console has its answer (a worker's end, a connection's close) is counted with that browse,
// not with the next.
void waitQuiet(pid_t pid) {
    const auto end = Clock::now() + std::chrono::seconds(20);
    long long last = cpuTicks(pid);
    for (int still = 0; still < 3 && Clock::now() < end;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(40));
        const long long now = cpuTicks(pid);
        still = now == last ? still + 1 : 0;
        last = now;
    }
}

// One process under callgrind: what it does from now on, dumped and read.
class CCounted {
public:
    CCounted(pid_t pid, fs::path folder, std::string prefix, bool keep = false)
        : m_pid(pid), m_folder(std::move(folder)), m_prefix(std::move(prefix)), m_keep(keep) {}
    // Counting starts afresh, once the process has nothing left to do. By a dump whose count is dropped:
    // after callgrind's own zeroing (callgrind_control -z) the next dump's lines still held part of what
    // came before (their total above the dump's own summary by up to a fifth of a browse), which landed
    // on the first browse of every block.
    void restart() { (void)dump(); }
    // What it did since it was last dumped, once it has nothing left to do.
    TSplit dump() {
        waitQuiet(m_pid);
        control("-d");
        // The newest dump of this process (callgrind numbers them).
        fs::path newest;
        long long number = -1;
        for (const auto& e : fs::directory_iterator(m_folder)) {
            const std::string name = e.path().filename().string();
            if (name.rfind(m_prefix + ".", 0) != 0) continue;
            const long long n = std::atoll(name.c_str() + m_prefix.size() + 1);
            if (n > number) number = n, newest = e.path();
        }
        if (number <= m_lastDump) giveUp("callgrind wrote no dump of " + m_prefix);
        m_lastDump = number;
        TSplit split;
        std::string error;
        if (!readCallgrindDump(readFile(newest), split, error)) giveUp(newest.string() + ": " + error);
        if (!m_keep) fs::remove(newest);
        return split;
    }

private:
    void control(const char* what) {
        const fs::path log = m_folder / (m_prefix + ".control.log");
        if (run({"callgrind_control", what, std::to_string(m_pid)}, log) != 0)
            giveUp(std::string("callgrind_control ") + what + " failed: " + readFile(log));
    }
    pid_t m_pid;
    fs::path m_folder;
    std::string m_prefix;
    bool m_keep;
    long long m_lastDump = 0;
};

TSplit scaled(const TSplit& s, double by) {
    return {s.tls * by, s.rest * by, s.connections};
}

// Per browse: a block's count less the idle rate over its time, over the block's browses.
TSplit perBrowse(const TSplit& block, const TSplit& idlePerSecond, double seconds, int count) {
    const TSplit idle = scaled(idlePerSecond, seconds);
    return {std::max(0.0, block.tls - idle.tls) / count, std::max(0.0, block.rest - idle.rest) / count,
            block.connections};
}

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// When the run began (the first call): the time a browse's figures are printed with (--each).
Clock::time_point runStart() {
    static const Clock::time_point start = Clock::now();
    return start;
}

struct TCounters {
    CCounted host, agent;
    TSplit hostIdle, agentIdle;  // per second
};

TCounters counters(const TProcesses& p, const fs::path& folder, bool keepDumps) {
    return {CCounted(p.host->pid(), folder, "host.out", keepDumps),
            CCounted(p.agent->pid(), folder, "agent.out", keepDumps),
            {},
            {}};
}

// Each process's idle rate: the least of one-second slices. What idles steadily (the listeners' loops)
// is in every slice; what comes now and then (the heap's trim each minute, the caller watch's looks for
// a while after a request) lands in a few, and taken as a rate off every browse it moved the figures of
// a whole round by up to a per cent.
void measureIdle(TCounters& c, int seconds) {
    for (int slice = 0; slice < seconds; ++slice) {
        c.host.restart();
        c.agent.restart();
        const auto start = Clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(1));
        const double took = secondsSince(start);
        const TSplit host = scaled(c.host.dump(), 1 / took), agent = scaled(c.agent.dump(), 1 / took);
        if (slice == 0 || host.total() < c.hostIdle.total()) c.hostIdle = host;
        if (slice == 0 || agent.total() < c.agentIdle.total()) c.agentIdle = agent;
    }
}

// The host's own per browse of each cell by round, the trimmed mean of its block's browses: printed
// beside the cell's figure, the mean of every browse, it shows what browses that paid for more than the
// others add to it.
std::map<std::string, TFigure>& trimmedMeans() {
    static std::map<std::string, TFigure> means;
    return means;
}

// The seam of the check's own test: instrseam, preloaded into the host, adds what is asked here to the
// browse whose connection the host accepts next (a shared page it reads back as 0 once it has added it).
class CSeam {
public:
    explicit CSeam(const fs::path& file) : m_file(file) {
        const int fd = open(file.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd < 0 || ftruncate(fd, sizeof(uint64_t)) != 0) giveUp("the seam's page cannot be made");
        void* page = mmap(nullptr, sizeof(uint64_t), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        close(fd);
        if (page == MAP_FAILED) giveUp("the seam's page cannot be mapped");
        m_asked = static_cast<std::atomic<uint64_t>*>(page);
    }
    const fs::path& file() const { return m_file; }
    void ask(uint64_t instructions) { m_asked->store(instructions); }
    // Whatever was asked has been added (or nothing was).
    bool taken() const { return m_asked->load() == 0; }

private:
    fs::path m_file;
    std::atomic<uint64_t>* m_asked = nullptr;
};

// Each browse's figures of a block of one road: host TLS, host rest, agent TLS, agent rest.
using TBlock = std::array<std::vector<double>, 4>;

// A browse measured on both roads: its pre-block, then `count` browses of each, the roads taking turns
// browse by browse so that neither road's threads and connections are left idle (and closed by the
// host's idle expiry) while the other road is measured; each browse counted between dumps of both
// processes. `seam`: what the seam adds to the i-th browse of each road (none when not given). The
// browses taken again.
int countBoth(const TOptions& o, const TConsole& console, const TPorts& ports, TCounters& c, int browse,
              int count, TBlock out[2], CSeam* seam = nullptr,
              const std::function<uint64_t(int)>& added = {}) {
    for (int i = 0; i < o.pre; ++i)
        for (int road = 0; road < 2; ++road)
            if (!browses(console, ports, road, browse, 1)) giveUp("a pre-block failed");
    c.host.restart();
    c.agent.restart();
    int retaken = 0;
    for (int i = 0; i < count; ++i)
        for (int road = 0; road < 2; ++road) {
            if (seam) seam->ask(added(i));
            const auto start = Clock::now();
            if (!browses(console, ports, road, browse, 1)) giveUp("a measured block failed");
            const double took = secondsSince(start);
            const TSplit host = perBrowse(c.host.dump(), c.hostIdle, took, 1);
            const TSplit agent = perBrowse(c.agent.dump(), c.agentIdle, took, 1);
            if (seam && !seam->taken()) giveUp("the host did not take what the seam asked");
            // A browse during which a database connection was opened or closed is taken again: when the
            // idle expiry closes one (and a later browse opens another) follows the wall clock, which
            // under callgrind has nothing to do with the browses (the close cost a browse 0.3 M, the
            // open 10 M). A browse that opens or closes one every time is no such accident: more than
            // one in four taken again ends the run.
            if (host.connections + agent.connections > 0) {
                if (o.each)
                    std::printf(
                        "browse: %s, %s, %d: taken again, %d database connection(s) opened or closed\n",
                        kRoads[road], hubbench::kCatalogueBrowseNames[browse], i + 1,
                        host.connections + agent.connections);
                if (++retaken > count * 2 / 4)
                    giveUp(std::string("more than one browse in four of ") +
                           hubbench::kCatalogueBrowseNames[browse] +
                           " opened or closed database connections");
                --road;
                continue;
            }
            for (const auto& [to, value] :
                 {std::pair{0, host.tls}, {1, host.rest}, {2, agent.tls}, {3, agent.rest}})
                out[road][to].push_back(value);
            if (o.each)
                std::printf(
                    "browse: %s, %s, %d: host own %.0f, TLS %.0f; agent own %.0f, TLS %.0f; at %.1f s\n",
                    kRoads[road], hubbench::kCatalogueBrowseNames[browse], i + 1, host.rest, host.tls,
                    agent.rest, agent.tls, secondsSince(runStart()));
        }
    return retaken;
}

// A cell's figures of a round: the mean of every browse of its block, the goals' measure (a cost that
// lands on one browse in four counts as the same cost spread over every browse).
void addRound(TCell& cell, const TBlock& block, std::map<std::string, TFigure>* trimmed = &trimmedMeans()) {
    cell.hostTls.rounds.push_back(plainMean(block[0]));
    cell.hostRest.rounds.push_back(plainMean(block[1]));
    cell.agentTls.rounds.push_back(plainMean(block[2]));
    cell.agentRest.rounds.push_back(plainMean(block[3]));
    if (trimmed) (*trimmed)[cellKey(cell.road, cell.browse)].rounds.push_back(trimmedMean(block[1]));
}

std::vector<TCell> emptyCells() {
    std::vector<TCell> cells;
    for (int browse = 0; browse < hubbench::kCatalogueBrowseCount; ++browse)
        for (int road = 0; road < 2; ++road)
            cells.push_back({.road = kRoads[road], .browse = hubbench::kCatalogueBrowseNames[browse]});
    return cells;
}

// Every cell once, then a wait past the host's idle expiries: the processes' first browses of each kind
// (new threads, their TLS libraries' per-thread state, caches filled) are nobody's figure, nor is the
// closing of what the warm-up alone used (the database connections of threads no later browse takes,
// closed 30 s after their last use, landed on whichever browse ran then).
void warmUp(const TOptions& o, const TConsole& console, const TPorts& ports,
            const std::vector<TCell>& cells) {
    for (size_t i = 0; i < cells.size(); ++i)
        if (!browses(console, ports, static_cast<int>(i % 2), static_cast<int>(i / 2), o.pre))
            giveUp("the warm-up failed");
    std::this_thread::sleep_for(std::chrono::seconds(o.settleSeconds));
}

// The cells' instructions: the rounds each go over every browse, on both roads at once.
void countInstructions(const TOptions& o, const TConsole& console, const TProcesses& p, TCounters& c,
                       std::vector<TCell>& cells, int rounds, std::map<std::string, TFigure>* trimmed) {
    warmUp(o, console, p.ports, cells);
    for (int round = 1; round <= rounds; ++round) {
        measureIdle(c, o.idleSeconds);
        std::printf("round %d of %d: idle host %.0f, media agent %.0f instructions a second\n", round, rounds,
                    c.hostIdle.total(), c.agentIdle.total());
        std::fflush(stdout);
        int retaken = 0;
        for (int browse = 0; browse < hubbench::kCatalogueBrowseCount; ++browse) {
            TBlock blocks[2];
            retaken += countBoth(o, console, p.ports, c, browse, o.block, blocks);
            for (int road = 0; road < 2; ++road) addRound(cells[browse * 2 + road], blocks[road], trimmed);
        }
        std::printf("round %d: %d browse(s) taken again (a database connection opened or closed)\n", round,
                    retaken);
    }
}

// The check's test of itself: the last browse measured again on both roads with the seam adding, once to
// one browse in four and once to every browse, what raises the mean of every browse by twice a cell's
// tolerance over the host's own budget. Each must fail its cell's budget as a real regression would,
// however it lands; true when both did.
bool seamCatches(const TOptions& o, const TConsole& console, const TProcesses& p, TCounters& c, CSeam& seam,
                 const TBudgets& budgets) {
    constexpr int kBlock = 8, kEvery = 4;
    const int browse = hubbench::kCatalogueBrowseCount - 1;
    std::printf(
        "\nthe check's own test: a regression on one browse in four fails as one on every browse does\n");
    bool all = true;
    for (const int every : {kEvery, 1}) {
        // The same rise in the mean for both: 2 x the tolerance of the BrowseRouter cell's own budget.
        const auto budget = budgets.find(cellKey(kRoads[0], hubbench::kCatalogueBrowseNames[browse]));
        if (budget == budgets.end() || !budget->second.contains("host_rest"))
            giveUp("the seam's cell has no budget of the host's own");
        const double rise = 2 * o.cellTolerance * budget->second.at("host_rest");
        const auto added = static_cast<uint64_t>(rise * every);
        TBlock blocks[2];
        countBoth(o, console, p.ports, c, browse, kBlock, blocks, &seam,
                  [&](int i) { return i % every == every - 1 ? added : uint64_t{0}; });
        for (int road = 0; road < 2; ++road) {
            TCell cell{.road = kRoads[road], .browse = hubbench::kCatalogueBrowseNames[browse]};
            addRound(cell, blocks[road], nullptr);
            const std::string key = cellKey(cell.road, cell.browse);
            const auto own = budgets.find(key);
            if (own == budgets.end()) giveUp("the seam's cell " + key + " has no budget");
            bool within = true;
            for (const TBudgetCheck& check : checkBudgets({cell}, {*own}, o.tolerance, o.cellTolerance))
                within = within && check.within;
            std::printf("  %s: %.0f instructions added to %s: host's own %.0f per browse, budget %.0f: %s\n",
                        key.c_str(), static_cast<double>(added),
                        every == 1 ? "every browse" : "one browse in four", cell.hostRest.mean(),
                        own->second.count("host_rest") ? own->second.at("host_rest") : 0.0,
                        within ? "WITHIN BUDGET: the check did not see it" : "over budget, as it must be");
            all = all && !within;
        }
    }
    std::printf("the check's own test: %s\n", all ? "every regression caught" : "FAILED");
    return all;
}

// The mixed order under callgrind: each round's idle rate, then the ten cells in rotation, each browse
// counted between dumps; no browse follows one of its own kind, and both roads take turns browse by browse.
void countMixed(const TOptions& o, const TConsole& console, const TProcesses& p, const fs::path& folder,
                std::vector<TMixedBrowse>& out) {
    TCounters c = counters(p, folder, o.keepDumps);
    const int steps = o.mixed * 2 * hubbench::kCatalogueBrowseCount;
    for (int round = 1; round <= o.rounds; ++round) {
        measureIdle(c, o.idleSeconds);
        for (int i = 0; i < steps; ++i) {
            const TRotationStep s = rotationStep(i, 2, hubbench::kCatalogueBrowseCount);
            const auto start = Clock::now();
            if (!browses(console, p.ports, s.road, s.browse, 1)) giveUp("a browse of the mixed order failed");
            const double took = secondsSince(start);
            TMixedBrowse b;
            b.road = s.road, b.browse = s.browse;
            b.host = perBrowse(c.host.dump(), c.hostIdle, took, 1);
            b.agent = perBrowse(c.agent.dump(), c.agentIdle, took, 1);
            out.push_back(b);
        }
    }
}

// ---- system calls --------------------------------------------------------------------------------

// strace -c attached to a running process (every thread) until it is told to stop.
class CTraced {
public:
    CTraced(pid_t pid, const fs::path& folder, const std::string& name)
        : m_summary(folder / (name + ".strace")),
          m_process({"strace", "-f", "-y", "-p", std::to_string(pid), "-o", m_summary.string()},
                    folder / (name + ".strace.log")) {
        // Attached once it says so ("Process <pid> attached with <n> threads").
        const auto end = Clock::now() + std::chrono::seconds(30);
        while (m_process.output().find(" attached") == std::string::npos) {
            if (!m_process.running() || Clock::now() > end)
                giveUp("strace did not attach: " + m_process.output());
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    // The system calls made, once it has detached (a call per line of the trace; the writes to log files
    // told apart, so that what is logged does not count).
    TTraceCalls finish() {
        m_process.stop(SIGINT, std::chrono::seconds(60));
        return readStraceTrace(readFile(m_summary));
    }

private:
    fs::path m_summary;
    CProcess m_process;
};

// The host's writes to its log files per browse, summed over a road's blocks (not counted in its calls).
std::map<std::string, double>& logWritesOf() {
    static std::map<std::string, double> writes;
    return writes;
}

// The cells' system calls per browse, from the same browses made to the processes run natively, less the
// writes to the log files (their number follows what is logged and how the log writes a line).
void countCalls(const TOptions& o, TConsole& console, const TProcesses& p, const fs::path& folder,
                std::vector<TCell>& cells) {
    for (int round = 1; round <= o.rounds; ++round) {
        double hostIdle = 0, agentIdle = 0;  // per second
        {
            CTraced host(p.host->pid(), folder, "host"), agent(p.agent->pid(), folder, "agent");
            const auto start = Clock::now();
            std::this_thread::sleep_for(std::chrono::seconds(o.idleSeconds));
            const double took = secondsSince(start);
            hostIdle = static_cast<double>(host.finish().counted()) / took;
            agentIdle = static_cast<double>(agent.finish().counted()) / took;
        }
        for (size_t i = 0; i < cells.size(); ++i) {
            const int road = static_cast<int>(i % 2), browse = static_cast<int>(i / 2);
            if (!browses(console, p.ports, road, browse, o.pre)) giveUp("a pre-block failed");
            waitQuiet(p.host->pid());
            waitQuiet(p.agent->pid());
            CTraced host(p.host->pid(), folder, "host"), agent(p.agent->pid(), folder, "agent");
            const auto start = Clock::now();
            if (!browses(console, p.ports, road, browse, o.block)) giveUp("a measured block failed");
            waitQuiet(p.host->pid());
            waitQuiet(p.agent->pid());
            const double took = secondsSince(start);
            const TTraceCalls hostTrace = host.finish();
            const double h = static_cast<double>(hostTrace.counted()),
                         a = static_cast<double>(agent.finish().counted());
            logWritesOf()[cells[i].road] += static_cast<double>(hostTrace.logWrites) / o.block;
            cells[i].hostCalls.rounds.push_back(std::max(0.0, h - hostIdle * took) / o.block);
            cells[i].agentCalls.rounds.push_back(std::max(0.0, a - agentIdle * took) / o.block);
        }
    }
}

// The mixed order's system calls: the same rotation as countMixed, each browse traced on its own.
void countMixedCalls(const TOptions& o, const TConsole& console, const TProcesses& p, const fs::path& folder,
                     std::vector<TMixedBrowse>& out) {
    const int steps = o.mixed * 2 * hubbench::kCatalogueBrowseCount;
    for (int round = 1; round <= o.rounds; ++round) {
        std::this_thread::sleep_for(std::chrono::seconds(o.idleSeconds));
        for (int i = 0; i < steps; ++i) {
            const TRotationStep s = rotationStep(i, 2, hubbench::kCatalogueBrowseCount);
            waitQuiet(p.host->pid());
            waitQuiet(p.agent->pid());
            CTraced host(p.host->pid(), folder, "host"), agent(p.agent->pid(), folder, "agent");
            if (!browses(console, p.ports, s.road, s.browse, 1)) giveUp("a browse of the mixed order failed");
            waitQuiet(p.host->pid());
            waitQuiet(p.agent->pid());
            TMixedBrowse b;
            b.road = s.road, b.browse = s.browse, b.counted = false;
            b.hostCalls = static_cast<double>(host.finish().counted());
            b.agentCalls = static_cast<double>(agent.finish().counted());
            out.push_back(b);
        }
    }
}

// ---- the handshake -------------------------------------------------------------------------------

// What `count` handshakes cost a listener under callgrind, per handshake, its idle rate subtracted.
TFigure countHandshakes(const TOptions& o, CCounted& listener, int port, const TWorld& w) {
    TFigure figure;
    std::string error;
    for (int round = 1; round <= o.rounds; ++round) {
        listener.restart();
        auto start = Clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(2));
        const TSplit idle = scaled(listener.dump(), 1 / secondsSince(start));
        if (!handshakes(port, w.authority(), w.hubName, 2, error)) giveUp(error);
        listener.restart();
        start = Clock::now();
        if (!handshakes(port, w.authority(), w.hubName, o.handshakes, error)) giveUp(error);
        const double took = secondsSince(start);
        figure.rounds.push_back(perBrowse(listener.dump(), idle, took, o.handshakes).total());
    }
    return figure;
}

struct THandshakes {
    TFigure service, floor;
};

THandshakes countBothHandshakes(const TOptions& o, const TProcesses& p, const fs::path& folder,
                                const TWorld& w) {
    THandshakes h;
    CCounted host(p.host->pid(), folder, "host.out");
    h.service = countHandshakes(o, host, p.ports.host, w);
    const fs::path tls = w.folder / "tls";
    CProcess floor(underCallgrind(folder / "floor.out",
                                  {(o.self / "tls_floor").string(), "--cert", (tls / "machine.crt").string(),
                                   "--key", (tls / "machine.key").string(), "--ca", w.authority()}),
                   folder / "floor.log");
    const int port =
        static_cast<int>(floor.waitForNumberAfter("listening on 127.0.0.1:", std::chrono::minutes(2)));
    if (port <= 0) giveUp("tls_floor did not start: " + floor.output());
    CCounted counted(floor.pid(), folder, "floor.out");
    h.floor = countHandshakes(o, counted, port, w);
    return h;
}

// ---- what is shown -------------------------------------------------------------------------------

TFigure sum(const TFigure& a, const TFigure& b) {
    TFigure s;
    for (size_t i = 0; i < std::min(a.rounds.size(), b.rounds.size()); ++i)
        s.rounds.push_back(a.rounds[i] + b.rounds[i]);
    return s;
}

void printTable(const std::vector<TCell>& cells, int rounds) {
    std::printf(
        "\ninstructions per browse in millions, the mean of %d round(s) (spread: max - min over the mean);\n"
        "system calls per browse (strace -c of the same browses run natively)\n",
        rounds);
    std::printf("%-13s %-28s %7s %6s %6s %7s | %7s %6s %6s %7s | %6s %6s\n", "ROAD", "BROWSE", "HOST", "own",
                "TLS", "spread", "AGENT", "own", "TLS", "spread", "host", "agent");
    std::printf("%-13s %-28s %7s %6s %6s %7s | %7s %6s %6s %7s | %6s %6s\n", "", "", "", "", "", "", "", "",
                "", "", "calls", "calls");
    for (const TCell& c : cells) {
        const TFigure host = sum(c.hostTls, c.hostRest), agent = sum(c.agentTls, c.agentRest);
        auto calls = [](const TFigure& f) {
            char text[32] = "-";
            if (!f.rounds.empty()) std::snprintf(text, sizeof text, "%.1f", f.mean());
            return std::string(text);
        };
        std::printf("%-13s %-28s %7.3f %6.3f %6.3f %6.2f%% | %7.3f %6.3f %6.3f %6.2f%% | %6s %6s\n",
                    c.road.c_str(), c.browse.c_str(), host.mean() / 1e6, c.hostRest.mean() / 1e6,
                    c.hostTls.mean() / 1e6, host.spread() * 100, agent.mean() / 1e6, c.agentRest.mean() / 1e6,
                    c.agentTls.mean() / 1e6, agent.spread() * 100, calls(c.hostCalls).c_str(),
                    calls(c.agentCalls).c_str());
    }
    double worst = 0;
    for (const TCell& c : cells)
        for (const TFigure* f : {&c.hostRest, &c.hostTls, &c.agentRest, &c.agentTls})
            worst = std::max(worst, f->spread());
    std::printf("largest spread of any figure over the rounds: %.2f%%\n", worst * 100);
}

// Whether the processes run on the baseline path ./dev pins for CI's budgets (the C library's and
// OpenSSL's SSE2 steps), which they inherit from this program.
bool pinnedToBaseline() {
    return std::getenv("GLIBC_TUNABLES") != nullptr || std::getenv("OPENSSL_ia32cap") != nullptr;
}

// The goals' figures (bench/goals): the host's own instructions per browse in every cell, its system
// calls per browse against those of the reference (`callsGoal`, a rows file), and the handshake. The
// goals count the path the processor picks: when the cells were counted on the baseline path, the
// figure is that of `own` (the same cells on the processor's own path) where it was counted, and both
// are shown.
void printFigures(const std::vector<TCell>& cells, const std::vector<TCell>& callsGoal, const THandshakes* h,
                  const std::vector<TCell>& own) {
    std::printf("\n");
    const bool pinned = pinnedToBaseline();
    for (const TCell& c : cells)
        if (!c.hostRest.rounds.empty()) {
            const std::string key = cellKey(c.road, c.browse);
            double goal = c.hostRest.mean();
            std::printf("%s, %s: host's own per browse, the mean of every browse %.3f M on %s",
                        c.road.c_str(), c.browse.c_str(), goal / 1e6,
                        pinned ? "the baseline path" : "this processor's own path");
            if (trimmedMeans().contains(key))
                std::printf(" (trimmed mean %.3f M)", trimmedMeans()[key].mean() / 1e6);
            for (const TCell& o : own)
                if (cellKey(o.road, o.browse) == key && !o.hostRest.rounds.empty()) {
                    goal = o.hostRest.mean();
                    std::printf("; host's own path: %.3f M", goal / 1e6);
                }
            std::printf("\n");
            std::printf(
                "figure: %s, %s: host's own instructions per browse in millions = %.3f (goal: within 1)\n",
                c.road.c_str(), c.browse.c_str(), goal / 1e6);
        }
    // System calls vary by a few per cent from block to block (futexes meet or not): each road's goal is
    // the mean of its five browses against the reference's.
    for (const char* road : kRoads) {
        double calls = 0, goal = 0;
        int counted = 0, referenced = 0;
        for (const TCell& c : cells) {
            if (c.road != road || c.hostCalls.rounds.empty()) continue;
            std::printf("figure: %s, %s: host system calls per browse = %.1f (information)\n", c.road.c_str(),
                        c.browse.c_str(), c.hostCalls.mean());
            calls += c.hostCalls.mean(), ++counted;
            for (const TCell& r : callsGoal)
                if (r.road == c.road && r.browse == c.browse && !r.hostCalls.rounds.empty())
                    goal += r.hostCalls.mean(), ++referenced;
        }
        if (counted == 0) continue;
        std::printf(
            "%s road: host writes to its log files per browse, not counted, the mean of its browses "
            "= %.1f\n",
            road, logWritesOf()[road] / counted / (cells.empty() ? 1 : cells[0].hostCalls.rounds.size()));
        if (referenced == counted)
            std::printf(
                "figure: %s road: host system calls per browse, the mean of its browses = %.1f (goal: "
                "within %.1f)\n",
                road, calls / counted, goal / referenced);
        else
            std::printf(
                "figure: %s road: host system calls per browse, the mean of its browses = %.1f "
                "(information)\n",
                road, calls / counted);
    }
    if (h == nullptr) return;
    std::printf(
        "figure: TLS handshake of a console, the host's instructions in millions = %.3f (information)\n",
        h->service.mean() / 1e6);
    std::printf("figure: TLS handshake, bare OpenSSL's instructions in millions = %.3f (information)\n",
                h->floor.mean() / 1e6);
    std::printf(
        "figure: TLS handshake of a console, the host's instructions over bare OpenSSL's = %.3f (goal: "
        "within 1.1)\n",
        h->floor.mean() > 0 ? h->service.mean() / h->floor.mean() : 0);
}

bool checkAgainstBudgets(const std::vector<TCell>& cells, const std::string& file, double tolerance,
                         double cellTolerance) {
    TBudgets budgets;
    std::string error;
    if (!readBudgets(readFile(file), budgets, error)) giveUp(file + ": " + error);
    std::printf(
        "\nbudgets of %s (instructions per browse; a cell's figure may exceed its budget by %.1f%%, a road's "
        "browses summed theirs by %.1f%%):\n",
        file.c_str(), cellTolerance * 100, tolerance * 100);
    bool all = true;
    for (const TBudgetCheck& c : checkBudgets(cells, budgets, tolerance, cellTolerance)) {
        all = all && c.within;
        std::printf("  %-50s %-11s %12.0f %12.0f %7.4f  %s\n", c.cell.c_str(), c.figure.c_str(), c.measured,
                    c.budget, c.budget > 0 ? c.measured / c.budget : 0, c.within ? "within" : "OVER BUDGET");
    }
    std::printf("budget check: %s\n", all ? "every cell and road within its budget" : "FAILED");
    return all;
}

// new/old of two rows files, per cell and figure.
int compareRows(const std::string& newFile, const std::string& oldFile) {
    std::vector<TCell> newer, older;
    std::string error;
    if (!readRows(readFile(newFile), newer, error)) giveUp(newFile + ": " + error);
    if (!readRows(readFile(oldFile), older, error)) giveUp(oldFile + ": " + error);
    std::printf("%-13s %-28s %-11s %13s %13s  %-17s %7s  %s\n", "ROAD", "BROWSE", "FIGURE", "NEW", "OLD",
                "NEW/OLD BY ROUND", "SPREAD", "VERDICT");
    std::map<std::string, int> verdicts;
    for (const TCell& n : newer)
        for (const TCell& o : older) {
            if (n.road != o.road || n.browse != o.browse) continue;
            const std::pair<const char*, std::pair<TFigure, TFigure>> figures[] = {
                {"host", {sum(n.hostTls, n.hostRest), sum(o.hostTls, o.hostRest)}},
                {"host own", {n.hostRest, o.hostRest}},
                {"agent", {sum(n.agentTls, n.agentRest), sum(o.agentTls, o.agentRest)}},
                {"agent own", {n.agentRest, o.agentRest}}};
            for (const auto& [name, pair] : figures) {
                const TComparison c = compareFigure(pair.first, pair.second);
                std::string ratios;
                for (double r : c.ratios)
                    ratios += (ratios.empty() ? "" : " ") + std::to_string(r).substr(0, 5);
                std::printf("%-13s %-28s %-11s %13.0f %13.0f  %-17s %6.2f%%  %s\n", n.road.c_str(),
                            n.browse.c_str(), name, pair.first.mean(), pair.second.mean(), ratios.c_str(),
                            c.spread * 100, verdictName(c.verdict));
                ++verdicts[verdictName(c.verdict)];
            }
        }
    std::printf("verdicts:");
    for (const auto& [name, n] : verdicts) std::printf(" %d %s", n, name.c_str());
    std::printf(" (cheaper or dearer: beyond 1 %% in every round, each side's spread under 0.5 %%)\n");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    TOptions o;
    if (!parseOptions(argc, argv, o)) {
        std::fprintf(stderr, "usage: see the head of bench/instructions/instructions.cpp\n");
        return 2;
    }
    if (!o.compareNew.empty()) return compareRows(o.compareNew, o.compareOld);
    (void)runStart();
    std::set_terminate([] {
        stopChildren();
        std::abort();
    });
    const TSide side{o.build};
    const fs::path logs = o.work / "logs", counted = o.work / "callgrind", calls = o.work / "strace";
    for (const fs::path& f : {logs, counted, calls}) {
        fs::remove_all(f);
        fs::create_directories(f);
    }
    TWorld w;
    std::string error;
    if (!makeWorld(o.work / "world", w, error)) giveUp(error);
    const fs::path items = o.work / ("items-" + hubbench::catalogueScale().label + ".db");
    std::vector<std::string> build = agentOptions(side, w, items);
    build.push_back("--build-only");
    if (run(build, logs / "index.log") != 0)
        giveUp("the item index was not made: " + readFile(logs / "index.log"));
    TConsole console{side, &w, issueToken(side, w, logs), "", logs / "console.log"};
    std::vector<TCell> cells = emptyCells(), own;
    THandshakes h;
    std::vector<TMixedBrowse> mixed;
    TBudgets budgets;
    if (!o.budgetsFile.empty() && !readBudgets(readFile(o.budgetsFile), budgets, error))
        giveUp(o.budgetsFile + ": " + error);
    if (o.seam && budgets.empty()) giveUp("--seam tests the check against its budgets: --budgets is needed");
    bool seamCaught = true;
    if (o.instructions) {
        TStart how;
        std::unique_ptr<CSeam> seam;
        if (o.seam) {
            seam = std::make_unique<CSeam>(o.work / "seam");
            how.seamLibrary = o.self / "libinstrseam.so";
            how.seamPage = seam->file();
        }
        TProcesses p = startProcesses(side, w, items, logs, counted, how);
        console.fileOfVersions = findFileOfVersions(console, p.ports);
        TCounters c = counters(p, counted, o.keepDumps);
        countInstructions(o, console, p, c, cells, o.rounds, &trimmedMeans());
        if (seam) seamCaught = seamCatches(o, console, p, c, *seam, budgets);
        if (o.mixed > 0) countMixed(o, console, p, counted, mixed);
        if (o.handshake) h = countBothHandshakes(o, p, counted, w);
    }
    if (o.instructions && o.ownPath && pinnedToBaseline()) {
        // One round on the processor's own path, for the goals' figures beside the baseline's.
        std::printf("the same cells on the processor's own path:\n");
        const fs::path folder = counted / "own";
        fs::create_directories(folder);
        TStart how;
        how.ownPath = true;
        TProcesses p = startProcesses(side, w, items, logs, folder, how);
        TCounters c = counters(p, folder, o.keepDumps);
        own = emptyCells();
        TOptions shorter = o;  // information beside the goals, not judged: half the browses
        shorter.block = std::max(1, o.block / 2);
        countInstructions(shorter, console, p, c, own, 1, nullptr);
    }
    if (o.calls) {
        TProcesses p = startProcesses(side, w, items, logs, {});
        if (console.fileOfVersions.empty()) console.fileOfVersions = findFileOfVersions(console, p.ports);
        countCalls(o, console, p, calls, cells);
        if (o.mixed > 0) countMixedCalls(o, console, p, calls, mixed);
    }
    printTable(cells, o.rounds);
    std::vector<TCell> reference;
    if (!o.callsGoalFile.empty() && !readRows(readFile(o.callsGoalFile), reference, error))
        giveUp(o.callsGoalFile + ": " + error);
    printFigures(cells, reference, o.instructions && o.handshake ? &h : nullptr, own);
    if (!mixed.empty()) printMixed(summarise(mixed, cells), o.mixed, 1.0, 1.5);
    if (!o.rowsFile.empty()) std::ofstream(o.rowsFile) << writeRows(cells);
    if (!o.writeBudgetsFile.empty())
        std::ofstream(o.writeBudgetsFile)
            << writeBudgets(cells, {"host_rest", "host_tls", "agent_rest", "agent_tls"}, 250e3, 0.005);
    if (!o.budgetsFile.empty() && !checkAgainstBudgets(cells, o.budgetsFile, o.tolerance, o.cellTolerance))
        return 1;
    return seamCaught ? 0 : 1;
}
