// instructions: the cost of a browse in instructions, which unlike time does not depend on the load of
// the machine. The real host (tools/hubmaster with libfastbrowsehm.so) and media agent (tools/mediaagent)
// of a build run under callgrind over the media agent's benchmark catalogue; consoles (tools/browse, one
// process per command, run natively) make the five browses of ./dev bench on both roads (BrowseRouter's,
// where the console takes the prepared request to the media agent itself, and the Hubmaster's own
// service, --via hubmaster). A cell is a road and a browse. Each measured block of a cell comes after a
// pre-block of the same browses that is not counted (the first browses after a while pay what expired
// meanwhile); each browse of the block is counted between dumps of both processes (callgrind_control),
// less what each process does while idle over as long (its rate counted once per round), and the cell's
// figure is the trimmed mean of the block's browses (counts.h: a timer's or a cache's work that lands on
// one browse now and then does not move it). The rounds each go over every cell, the roads taking turns
// browse by browse, so that neither is left idle past the host's idle expiries (30 s) while the other
// is measured. Per cell and browse: the host's and the media agent's instructions in the TLS libraries
// (libssl, libcrypto) and elsewhere, their mean and spread over the rounds, and the system calls each
// makes, counted in a separate run of the same processes natively with strace attached for each block
// (every call of every thread, less the writes to log files). Beside the warm cells, the mixed order
// (mixed.h): the ten cells in rotation, as consoles really arrive, each browse counted, its mean and
// dearest browse judged; the warm cells are judged on the mean of every browse of their blocks, their
// trimmed mean (CI's budgets) printed beside it. The handshake: what one TLS connection of a console costs
// the host, beside what it costs OpenSSL alone (tls_floor, with the same certificate, group and
// verification).
//
//   instructions [--build <folder>] [--work <folder>] [--rounds N] [--pre N] [--block N]
//                [--handshakes N] [--idle-seconds N] [--mixed N] [--no-instructions] [--no-calls]
//                [--no-handshake]
//                [--keep-dumps]
//                [--rows <file>] [--calls-goal <rows>] [--budgets <file> [--tolerance <fraction>]
//                [--cell-tolerance <fraction>]]
//                [--write-budgets <file>]
//   instructions --compare <new rows> <old rows>
//
// --build: the build whose host, media agent and console are measured (default: this program's);
// --calls-goal: a rows file whose host system calls per browse are the goal of each road's (the mean of
// its browses); --rows: every round's figures written to a file (bench/compare reads them back);
// --budgets: each budgeted figure held to its budget: each road's cells summed per figure (fails when
// over their budgets summed by more than --tolerance, 0.01) and each cell (--cell-tolerance, 0.025);
// --mixed: rotations of the mixed order a round (none by default; ./dev bench --instructions asks for 2);
// --write-budgets: the figures written as budgets; --no-instructions: the system calls alone
// (--no-calls: the instructions alone); --keep-dumps: the callgrind dumps are kept
// in <work>/callgrind; --compare: new/old per cell of two rows files. Prints the table, then "figure:"
// lines against the goals; exits 1 when a budget is exceeded or a process fails.
#include <openssl/ssl.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
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
    int mixed = 0;  // rotations of the mixed order a round; 0: none
    bool instructions = true, calls = true, handshake = true, keepDumps = false;
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
                 a == "--idle-seconds") {
            int& to = a == "--rounds"       ? o.rounds
                      : a == "--pre"        ? o.pre
                      : a == "--block"      ? o.block
                      : a == "--handshakes" ? o.handshakes
                                            : o.idleSeconds;
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

TProcesses startProcesses(const TSide& side, const TWorld& w, const fs::path& items, const fs::path& logs,
                          const fs::path& callgrindFolder) {
    TProcesses p;
    const bool counted = !callgrindFolder.empty();
    std::vector<std::string> agent = agentOptions(side, w, items);
    agent.insert(agent.end(), {"--port", "0", "--index-service", "started", "--registry", w.registry(),
                               "--tls", w.agentTls(), "--hubmaster", w.hubName});
    if (counted) agent = underCallgrind(callgrindFolder / "agent.out", agent);
    p.agent = std::make_unique<CProcess>(agent, logs / "agent.log");
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
    p.host = std::make_unique<CProcess>(host, logs / "host.log");
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

// One process under callgrind: its counters zeroed, and dumped and read.
class CCounted {
public:
    CCounted(pid_t pid, fs::path folder, std::string prefix, bool keep = false)
        : m_pid(pid), m_folder(std::move(folder)), m_prefix(std::move(prefix)), m_keep(keep) {}
    void zero() {
        waitQuiet(m_pid);
        control("-z");
    }
    // What it did since it was last zeroed or dumped, once it has nothing left to do.
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
    return {s.tls * by, s.rest * by};
}

// Per browse: a block's count less the idle rate over its time, over the block's browses.
TSplit perBrowse(const TSplit& block, const TSplit& idlePerSecond, double seconds, int count) {
    const TSplit idle = scaled(idlePerSecond, seconds);
    return {std::max(0.0, block.tls - idle.tls) / count, std::max(0.0, block.rest - idle.rest) / count};
}

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

struct TCounters {
    CCounted host, agent;
    TSplit hostIdle, agentIdle;  // per second
};

// Each process's idle rate: the least of one-second slices. What idles steadily (the listeners' loops)
// is in every slice; what comes now and then (the heap's trim each minute, the caller watch's looks for
// a while after a request) lands in a few, and taken as a rate off every browse it moved the figures of
// a whole round by up to a per cent.
void measureIdle(TCounters& c, int seconds) {
    for (int slice = 0; slice < seconds; ++slice) {
        c.host.zero();
        c.agent.zero();
        const auto start = Clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(1));
        const double took = secondsSince(start);
        const TSplit host = scaled(c.host.dump(), 1 / took), agent = scaled(c.agent.dump(), 1 / took);
        if (slice == 0 || host.total() < c.hostIdle.total()) c.hostIdle = host;
        if (slice == 0 || agent.total() < c.agentIdle.total()) c.agentIdle = agent;
    }
}

// The host's own per browse of each cell's blocks by round, the mean of every browse of the block (the
// goals are judged on it; the cells' figures are the trimmed means CI's budgets hold).
std::map<std::string, TFigure>& blockMeans() {
    static std::map<std::string, TFigure> means;
    return means;
}

// One measured block of a cell: its pre-block, then each browse of the block between dumps of the
// counters; the cell's figure of the round is the browses' trimmed mean (counts.h).
void countBlock(const TOptions& o, const TConsole& console, const TPorts& ports, TCounters& c, TCell& cell,
                int road, int browse) {
    if (!browses(console, ports, road, browse, o.pre)) giveUp("a pre-block failed");
    c.host.zero();
    c.agent.zero();
    std::vector<double> figures[4];  // host TLS, host rest, agent TLS, agent rest; a value per browse
    for (int i = 0; i < o.block; ++i) {
        const auto start = Clock::now();
        if (!browses(console, ports, road, browse, 1)) giveUp("a measured block failed");
        const double took = secondsSince(start);
        const TSplit host = perBrowse(c.host.dump(), c.hostIdle, took, 1);
        const TSplit agent = perBrowse(c.agent.dump(), c.agentIdle, took, 1);
        for (const auto& [to, value] :
             {std::pair{0, host.tls}, {1, host.rest}, {2, agent.tls}, {3, agent.rest}})
            figures[to].push_back(value);
    }
    blockMeans()[cell.road + "/" + cell.browse].rounds.push_back(plainMean(figures[1]));
    cell.hostTls.rounds.push_back(trimmedMean(figures[0]));
    cell.hostRest.rounds.push_back(trimmedMean(figures[1]));
    cell.agentTls.rounds.push_back(trimmedMean(figures[2]));
    cell.agentRest.rounds.push_back(trimmedMean(figures[3]));
}

std::vector<TCell> emptyCells() {
    std::vector<TCell> cells;
    for (int browse = 0; browse < hubbench::kCatalogueBrowseCount; ++browse)
        for (int road = 0; road < 2; ++road)
            cells.push_back({.road = kRoads[road], .browse = hubbench::kCatalogueBrowseNames[browse]});
    return cells;
}

// The cells' instructions: the rounds each go over every cell, the roads taking turns browse by browse,
// so that neither road is left idle for long.
void countInstructions(const TOptions& o, TConsole& console, const TProcesses& p, const fs::path& folder,
                       std::vector<TCell>& cells) {
    TCounters c{CCounted(p.host->pid(), folder, "host.out", o.keepDumps),
                CCounted(p.agent->pid(), folder, "agent.out", o.keepDumps),
                {},
                {}};
    // Every cell once before the first round: the processes' first browses of each kind (new threads,
    // their TLS libraries' per-thread state, caches filled) are nobody's figure.
    for (size_t i = 0; i < cells.size(); ++i)
        if (!browses(console, p.ports, static_cast<int>(i % 2), static_cast<int>(i / 2), o.pre))
            giveUp("the warm-up failed");
    for (int round = 1; round <= o.rounds; ++round) {
        measureIdle(c, o.idleSeconds);
        std::printf("round %d of %d: idle host %.0f, media agent %.0f instructions a second\n", round,
                    o.rounds, c.hostIdle.total(), c.agentIdle.total());
        std::fflush(stdout);
        for (size_t i = 0; i < cells.size(); ++i)
            countBlock(o, console, p.ports, c, cells[i], static_cast<int>(i % 2), static_cast<int>(i / 2));
    }
}

// The mixed order under callgrind: each round's idle rate, then the ten cells in rotation, each browse
// counted between dumps; no browse follows one of its own kind, and both roads take turns browse by browse.
void countMixed(const TOptions& o, const TConsole& console, const TProcesses& p, const fs::path& folder,
                std::vector<TMixedBrowse>& out) {
    TCounters c{CCounted(p.host->pid(), folder, "host.out", o.keepDumps),
                CCounted(p.agent->pid(), folder, "agent.out", o.keepDumps),
                {},
                {}};
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
        listener.zero();
        auto start = Clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(2));
        const TSplit idle = scaled(listener.dump(), 1 / secondsSince(start));
        if (!handshakes(port, w.authority(), w.hubName, 2, error)) giveUp(error);
        listener.zero();
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

// The goals' figures (bench/goals): the host's own instructions per browse in every cell, its system
// calls per browse against those of the reference (`callsGoal`, a rows file), and the handshake.
void printFigures(const std::vector<TCell>& cells, const std::vector<TCell>& callsGoal,
                  const THandshakes* h) {
    std::printf("\n");
    // Judged on the mean of every browse of the blocks; the trimmed mean (the budgets' figure) beside it.
    for (const TCell& c : cells)
        if (!c.hostRest.rounds.empty()) {
            const auto all = blockMeans().find(c.road + "/" + c.browse);
            const double mean = all != blockMeans().end() ? all->second.mean() : c.hostRest.mean();
            std::printf("%s, %s: host's own per browse, trimmed mean %.3f M, mean of every browse %.3f M\n",
                        c.road.c_str(), c.browse.c_str(), c.hostRest.mean() / 1e6, mean / 1e6);
            std::printf(
                "figure: %s, %s: host's own instructions per browse in millions = %.3f (goal: within 1)\n",
                c.road.c_str(), c.browse.c_str(), mean / 1e6);
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
    std::vector<TCell> cells = emptyCells();
    THandshakes h;
    std::vector<TMixedBrowse> mixed;
    if (o.instructions) {
        TProcesses p = startProcesses(side, w, items, logs, counted);
        console.fileOfVersions = findFileOfVersions(console, p.ports);
        countInstructions(o, console, p, counted, cells);
        if (o.mixed > 0) countMixed(o, console, p, counted, mixed);
        if (o.handshake) h = countBothHandshakes(o, p, counted, w);
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
    printFigures(cells, reference, o.instructions && o.handshake ? &h : nullptr);
    if (!mixed.empty()) printMixed(summarise(mixed, cells), o.mixed, 1.0, 1.5);
    if (!o.rowsFile.empty()) std::ofstream(o.rowsFile) << writeRows(cells);
    if (!o.writeBudgetsFile.empty())
        std::ofstream(o.writeBudgetsFile)
            << writeBudgets(cells, {"host_rest", "host_tls", "agent_rest", "agent_tls"}, 250e3, 0.005);
    if (!o.budgetsFile.empty() && !checkAgainstBudgets(cells, o.budgetsFile, o.tolerance, o.cellTolerance))
        return 1;
    return 0;
}
