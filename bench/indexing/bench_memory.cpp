// Memory of the whole system under a mixed load: the demo world with its host (tools/hubmaster) and its
// media agent mediaagent1 (tools/mediaagent) as processes, and consoles of this process (the console's
// own session code, as a desk console away from the Hubmaster: --host, --port, --ca) taking every road in
// turn: file-system lists, pages, versions, counts and finds through BrowseRouter and through the
// Hubmaster, Exchange mailboxes, OneDrive (both indexing versions, end users among the callers), mining
// of an Exchange database and of a SharePoint server, and stops. Each process is measured before the
// load, after each of two rounds of the same browses, and once the idle limits (the database's idle
// connections, a connection's parked thread) have passed: what its allocator holds once its free pages
// are given back (asked with SIGUSR1), its resident memory, its threads and what their stacks hold, and
// its open descriptors (those of the Hubmaster database apart). What the second round adds is what the
// processes keep per browse; once idle, what they hold should be back near what they held before the
// load. MEMORY_BENCH_BROWSES (5,000 per round), MEMORY_BENCH_SESSIONS (16), MEMORY_BENCH_SETTLE_SECONDS
// (12) and MEMORY_BENCH_IDLE_SECONDS (70) change the load.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/hubdemo/hubdemo.h"
#include "platform/threads/hubmutex.h"
#include "tests/support/process/childprocess.h"
#include "tools/browse/consoleoptions.h"
#include "tools/browse/consolesession.h"

namespace {

namespace fs = std::filesystem;

int envNumber(const char* name, int fallback) {
    const char* text = std::getenv(name);
    return text && std::atoi(text) > 0 ? std::atoi(text) : fallback;
}

[[noreturn]] void giveUp(const std::string& why) {
    std::fprintf(stderr, "bench_memory: %s\n", why.c_str());
    std::exit(1);
}

// One statement on the world's database; the first column of its first row ("" when none).
std::string sql(const std::string& database, const std::string& text) {
    sqlite3* db = nullptr;
    std::string out;
    if (sqlite3_open(database.c_str(), &db) == SQLITE_OK) {
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(db, text.c_str(), -1, &st, nullptr) == SQLITE_OK &&
            sqlite3_step(st) == SQLITE_ROW && sqlite3_column_text(st, 0))
            out = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
        sqlite3_finalize(st);
    }
    sqlite3_close(db);
    return out;
}

void pointAt(const std::string& database, const std::string& clients, int port) {
    sql(database, "UPDATE APP_Client SET zydPort = " + std::to_string(port) +
                      ", net_hostname = '127.0.0.1' WHERE name IN (" + clients + ")");
}

std::string subclientOf(const std::string& database, const std::string& client, int appType) {
    return sql(database,
               "SELECT a.id FROM APP_Application a JOIN APP_Client c ON c.id = a.clientId WHERE c.name = '" +
                   client + "' AND a.appTypeId = " + std::to_string(appType) + " ORDER BY a.id");
}

// What a process holds: its allocator, in MB, as it says on SIGUSR1; the rest as /proc shows it.
struct TMemory {
    double inUse = 0, free = 0, resident = 0;
    int threads = 0;
    double stacks = 0;            // resident in its threads' stacks, MB
    int descriptors = 0;          // open
    int databaseDescriptors = 0;  // open on the Hubmaster database's file itself
};

// What the stacks of `pid`'s threads hold resident, in MB: the main thread's, and each mapping that
// starts where a small inaccessible one ends (the guard page below a thread's stack; an allocator's
// arena has its inaccessible part above what it uses).
double stacksResident(pid_t pid) {
    std::ifstream smaps("/proc/" + std::to_string(pid) + "/smaps");
    unsigned long prevStart = 0, prevEnd = 0;
    std::string prevPerms;
    bool stack = false;
    long long kb = 0;
    for (std::string line; std::getline(smaps, line);) {
        unsigned long start = 0, end = 0;
        char perms[8] = {};
        int pathAt = 0;
        if (std::sscanf(line.c_str(), "%lx-%lx %7s %*s %*s %*s %n", &start, &end, perms, &pathAt) >= 3 &&
            line.find(':') > line.find(' ')) {
            const std::string path = pathAt > 0 ? line.substr(static_cast<size_t>(pathAt)) : "";
            const bool anonymous = path.empty();
            stack = path == "[stack]" || (anonymous && std::string(perms) == "rw-p" && prevPerms == "---p" &&
                                          prevEnd == start && prevEnd - prevStart <= (1ul << 20));
            prevStart = start;
            prevEnd = end;
            prevPerms = anonymous ? perms : "";
            continue;
        }
        long long rss = 0;
        if (stack && std::sscanf(line.c_str(), "Rss: %lld kB", &rss) == 1) kb += rss;
    }
    return static_cast<double>(kb) / 1024;
}

void countThreadsAndFiles(pid_t pid, const std::string& database, TMemory& m) {
    const fs::path proc = "/proc/" + std::to_string(pid);
    std::error_code ec;
    m.threads = static_cast<int>(std::distance(fs::directory_iterator(proc / "task", ec), {}));
    for (const auto& fd : fs::directory_iterator(proc / "fd", ec)) {
        ++m.descriptors;
        std::error_code gone;
        m.databaseDescriptors += fs::read_symlink(fd.path(), gone).string() == database ? 1 : 0;
    }
    m.stacks = stacksResident(pid);
}

TMemory askMemory(hubtest::CChildProcess& process, const std::string& program, size_t& asked) {
    const std::string marker = program + ": memory: in use ";
    process.signal(SIGUSR1);
    if (!process.waitFor(marker, std::chrono::seconds(60), ++asked))
        giveUp(program + " did not say its memory");
    const std::string& out = process.output();
    const size_t at = out.rfind(marker);
    TMemory m;
    long long inUse = 0, free = 0, resident = 0;
    std::sscanf(out.c_str() + at + marker.size(), "%lld KB, free in the allocator %lld KB, resident %lld KB",
                &inUse, &free, &resident);
    m.inUse = static_cast<double>(inUse) / 1024;
    m.free = static_cast<double>(free) / 1024;
    m.resident = static_cast<double>(resident) / 1024;
    return m;
}

TMemory measure(hubtest::CChildProcess& process, const std::string& program, size_t& asked,
                const std::string& database) {
    TMemory m = askMemory(process, program, asked);
    countThreadsAndFiles(process.pid(), database, m);
    return m;
}

struct TWorld {
    fs::path folder;
    std::string database;  // the Hubmaster database's file, as the processes name it
    std::unique_ptr<hubtest::CChildProcess> agent, host;
    size_t agentAsked = 0, hostAsked = 0;
    std::vector<TConsoleOptions> commands;  // each road's browse, parsed once
};

TWorld& world() {
    static TWorld w = [] {
        TWorld w;
        const fs::path build = fs::canonical("/proc/self/exe").parent_path().parent_path().parent_path();
        w.folder = fs::temp_directory_path() / ("bench-memory-" + std::to_string(getpid()));
        const fs::path demo = w.folder / "demo";
        hubdemo::DemoWorld dw;
        std::string error;
        if (!hubdemo::createDemoWorld(demo.string(), dw, &error)) giveUp("no demo world: " + error);
        const std::string db = dw.databasePath;
        w.database = fs::canonical(db).string();
        w.agent = std::make_unique<hubtest::CChildProcess>(
            (build / "tools/mediaagent/mediaagent").string(),
            std::vector<std::string>{"--hub", db, "--client", "mediaagent1", "--port", "0", "--log",
                                     w.folder.string(), "--index-service", "started", "--registry",
                                     dw.registryPath, "--tls", dw.machineTlsFolder("mediaagent1")});
        if (!w.agent->waitFor("listening on 127.0.0.1:", std::chrono::seconds(120)))
            giveUp("mediaagent1 did not start: " + w.agent->output());
        const int agentPort = static_cast<int>(w.agent->numberAfter("listening on 127.0.0.1:"));
        // The mining services of the world's miners run on mediaagent1's machine, as in the tour.
        pointAt(db, "'mediaagent1', 'spplain', 'spserver1', 'spserver2', 'spserver3'", agentPort);
        w.host = std::make_unique<hubtest::CChildProcess>(
            (build / "tools/hubmaster/hubmaster").string(),
            std::vector<std::string>{"--data", demo.string(), "--lib",
                                     (build / "libfastbrowsehm.so").string(), "--port", "0"});
        if (!w.host->waitFor("BrowseRouter listening on 127.0.0.1:", std::chrono::seconds(120)))
            giveUp("the host did not start: " + w.host->output());
        const int routerPort = static_cast<int>(w.host->numberAfter("BrowseRouter listening on 127.0.0.1:"));
        pointAt(db, "'hubmaster'", routerPort);

        auto token = [&](const std::string& user, const std::string& file) {
            hubtest::CChildProcess issuer((build / "tools/hubmaster/hubmaster").string(),
                                          {"token", "--user", user, "--data", demo.string(), "--lifetime",
                                           "86400", "--out", (demo / file).string()});
            if (!issuer.waitExit(std::chrono::seconds(60)) || issuer.exitStatus() != 0)
                giveUp("no token for " + user + ": " + issuer.output());
            return "--token-file " + (demo / file).string();
        };
        const std::string admin = token("admin", "admin.token"),
                          olivia = token("TENANT\\olivia", "olivia.token");
        const std::string set1 = "--client client1 --subclient " + std::to_string(dw.fileSubclient);
        const std::string day = "2023-11-28";
        const std::string mailboxes =
            "--client exchmb1 --subclient " + subclientOf(db, "exchmb1", 54) + " --app-type 54";
        const std::string onedrive =
            "--client onedrive1 --subclient " + subclientOf(db, "onedrive1", 134) + " --app-type 134";
        const std::string onedrive2 =
            "--client onedrive2 --subclient " + subclientOf(db, "onedrive2", 134) + " --app-type 134";
        const std::string exchmine =
            "--client exchmine1 --subclient " + subclientOf(db, "exchmine1", 53) + " --app-type 53";
        const std::string sharepoint =
            "--client spplain --subclient " + subclientOf(db, "spplain", 78) + " --app-type 78";
        // One browse of each road (the paging ones name a session of their own per browse).
        const std::vector<std::vector<std::string>> roads = {
            {"list " + set1 + " --at " + day + " " + admin},
            {"list " + set1 + " --at " + day + " --via hubmaster " + admin},
            {"list " + set1 + " --path /d00/d01/d00 --at " + day + " --page-size 5 --page 2 " + admin},
            {"list " + set1 + " --path /d00/d01/d00 --at " + day +
             " --page-size 5 --page 2 --via hubmaster " + admin},
            {"versions " + set1 + " --path /d00/d01/d00/f00000202.dat --from 2023-11-14 --to " + day + " " +
             admin},
            {"versions " + set1 + " --path /d00/d01/d00/f00000202.dat --from 2023-11-14 --to " + day +
             " --via hubmaster " + admin},
            {"count " + set1 + " --path /d00/d01/d00 --at " + day + " " + admin},
            {"find " + set1 + " --name f0000021* --at " + day + " " + admin},
            {"find --clients client1,client2 --path /d00/d01/d00 --name f0000020* --at " + day + " " + admin},
            {"list " + mailboxes + " --path \\MB --at " + day + " " + admin},
            {"list " + mailboxes + " --path \\MB --at " + day + " --via hubmaster " + admin},
            {"list " + onedrive + " --at " + day + " " + olivia},
            {"list " + onedrive + " --at " + day + " --via hubmaster " + olivia},
            {"list " + onedrive2 + " --path \\OneDrive --at " + day + " " + admin},
            {"list " + onedrive2 + " --path \\OneDrive --at " + day + " --via hubmaster " + olivia},
            {"list --mine " + exchmine + " --path", "Mailbox Database A",
             "--ma mediaagent1 --at " + day + " --via hubmaster " + admin},
            {"list --mine " + sharepoint + " --at " + day + " --via hubmaster " + admin},
            {"stop --session bench-memory-stop " + admin},
        };
        const std::string where =
            "--host 127.0.0.1 --port " + std::to_string(routerPort) + " --ca " +
            (demo / "tls" / "authority.crt").string() +
            " --hubmaster-name hubmaster --ma-address mediaagent1=127.0.0.1:" + std::to_string(agentPort) +
            " --quiet --timeout 60";
        for (const std::vector<std::string>& road : roads) {
            // Words split at blanks, but for a part given whole (a path with blanks).
            std::vector<std::string> words{"browse"};
            for (size_t i = 0; i < road.size(); ++i) {
                if (i % 2 == 1) {
                    words.push_back(road[i]);
                    continue;
                }
                std::istringstream in(road[i] + (i + 1 == road.size() ? " " + where : ""));
                for (std::string word; in >> word;) words.push_back(word);
            }
            std::vector<char*> argv;
            for (std::string& word : words) argv.push_back(word.data());
            TConsoleOptions options;
            if (!parseConsoleArgs(static_cast<int>(argv.size()), argv.data(), options, error))
                giveUp("console words: " + error);
            w.commands.push_back(options);
        }
        return w;
    }();
    return w;
}

// `browses` browses by `sessions` consoles, each taking the roads in turn; the failures' count and the
// first one's error.
long long runRound(int sessions, long long browses, std::string& firstFailure) {
    TWorld& w = world();
    std::atomic<long long> next{0}, failures{0};
    CHubMutex failureMutex;  // guards firstFailure
    std::vector<std::thread> threads;
    for (int s = 0; s < sessions; ++s)
        threads.emplace_back([&] {
            for (long long n; (n = next++) < browses;) {
                TConsoleOptions options = w.commands[static_cast<size_t>(n) % w.commands.size()];
                if (options.session.empty() && options.command != EConsoleCommand::kStop)
                    options.session = "bench-memory-" + std::to_string(n);
                CConsoleSession console(options, "");
                TConsoleResult result;
                // The stop road names a session nobody holds: its answer is that there is none.
                const bool answered =
                    console.run(result) == 0 || (options.command == EConsoleCommand::kStop &&
                                                 result.error.rfind("No such session", 0) == 0);
                if (!answered) {
                    ++failures;
                    CHubMutexLock lock(failureMutex);
                    if (firstFailure.empty())
                        firstFailure = "road " +
                                       std::to_string(n % static_cast<long long>(w.commands.size())) + ": " +
                                       result.error;
                }
            }
        });
    for (std::thread& t : threads) t.join();
    return failures;
}

void BM_MixedLoadMemory(benchmark::State& state) {
    const int sessions = envNumber("MEMORY_BENCH_SESSIONS", 16);
    const long long browses = envNumber("MEMORY_BENCH_BROWSES", 5000);
    const int idleSeconds = envNumber("MEMORY_BENCH_IDLE_SECONDS", 70);
    const int settleSeconds = envNumber("MEMORY_BENCH_SETTLE_SECONDS", 12);
    TWorld& w = world();
    for (auto _ : state) {
        std::vector<TMemory> host, agent;  // before the load, after each round, then after the idle wait
        const char* stages[] = {"before the load", "round 1", "round 2", "idle"};
        for (int stage = 0; stage < 4; ++stage) {
            if (stage == 1 || stage == 2) {
                std::string firstFailure;
                const long long failures = runRound(sessions, browses, firstFailure);
                if (failures > 0) {
                    state.SkipWithError(
                        ("browses failed: " + std::to_string(failures) + ", first: " + firstFailure).c_str());
                    return;
                }
                // A connection's thread that served the round waits parkedSeconds (10) for the next one,
                // with what it holds: those of the round's last moments are gone before it is measured.
                std::this_thread::sleep_for(std::chrono::seconds(settleSeconds));
            } else if (stage == 3) {
                std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));  // the idle limits pass
            }
            host.push_back(measure(*w.host, "hubmaster", w.hostAsked, w.database));
            agent.push_back(measure(*w.agent, "mediaagent", w.agentAsked, w.database));
            for (const auto& [name, m] :
                 {std::pair{"host", &host.back()}, std::pair{"media agent", &agent.back()}})
                std::printf(
                    "%s: %s in use %.3f MB, free %.3f MB, resident %.3f MB, %d threads with %.3f MB resident "
                    "in their stacks, %d descriptors open (%d on the database)\n",
                    stages[stage], name, m->inUse, m->free, m->resident, m->threads, m->stacks,
                    m->descriptors, m->databaseDescriptors);
            std::fflush(stdout);
        }
        const std::pair<const char*, const std::vector<TMemory>*> processes[] = {{"host", &host},
                                                                                 {"agent", &agent}};
        for (const auto& [name, m] : processes) {
            const std::string p = name;
            const TMemory &before = (*m)[0], &first = (*m)[1], &second = (*m)[2], &idle = (*m)[3];
            state.counters[p + "_resident_mb"] = second.resident;
            state.counters[p + "_growth_mb"] = second.resident - first.resident;
            state.counters[p + "_heap_growth_mb"] = second.inUse - first.inUse;
            state.counters[p + "_stacks_mb"] = second.stacks;
            state.counters[p + "_threads"] = second.threads;
            state.counters[p + "_idle_heap_mb"] = idle.inUse - before.inUse;
            state.counters[p + "_idle_heap_of_first"] = first.inUse > 0 ? idle.inUse / first.inUse : 0;
            state.counters[p + "_idle_heap_over_first"] = idle.inUse - first.inUse;
            state.counters[p + "_idle_resident_mb"] = idle.resident - before.resident;
            state.counters[p + "_idle_stacks_mb"] = idle.stacks;
            state.counters[p + "_idle_free_mb"] = idle.free;
            state.counters[p + "_idle_descriptors"] = idle.descriptors - before.descriptors;
            state.counters[p + "_idle_database_descriptors"] = idle.databaseDescriptors;
        }
        state.counters["sessions"] = sessions;
        state.counters["browses_per_round"] = static_cast<double>(browses);
    }
}

BENCHMARK(BM_MixedLoadMemory)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// The console table, then the figures against the goals: each process's heap in use grows by at most
// 4 MB over the second round and its resident memory by at most 8 MB; once idle, each process's heap in
// use is within 4 MB of what it was before the load (the host's also at most what the first round left),
// its resident memory within 32 MB of before the load, with at most 32 descriptors more open than before
// it and at most 2 on the Hubmaster database.
// The allocator's free space, the threads and their stacks as information.
class CMemoryReporter : public benchmark::ConsoleReporter {
public:
    CMemoryReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs)
            if (r.run_type == Run::RT_Iteration && !r.error_occurred) m_runs.push_back(r);
        ConsoleReporter::ReportRuns(runs);
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        for (const Run& r : m_runs) {
            const int sessions = static_cast<int>(r.counters.at("sessions").value);
            const long long browses = static_cast<long long>(r.counters.at("browses_per_round").value);
            const std::string second = "over the second " + std::to_string(browses);
            for (const char* p : {"host", "agent"}) {
                const std::string who = std::string(p) == "host" ? "host" : "media agent";
                // goal 0: information only
                auto figure = [&](const std::string& what, const char* counter, int goal) {
                    const std::string in =
                        goal ? "(goal: within " + std::to_string(goal) + ")" : "(information)";
                    std::printf("figure: %d sessions on the mixed roads, %s %s = %.3f %s\n", sessions,
                                who.c_str(), what.c_str(), r.counters.at(std::string(p) + counter).value,
                                in.c_str());
                };
                figure("memory in MB after " + std::to_string(browses) + " browses twice", "_resident_mb", 0);
                figure("memory growth in MB " + second, "_growth_mb", 8);
                figure("heap in use growth in MB " + second, "_heap_growth_mb", 4);
                figure("memory in MB in thread stacks after " + std::to_string(browses) + " browses twice",
                       "_stacks_mb", 0);
                figure("threads after " + std::to_string(browses) + " browses twice", "_threads", 0);
                // Each process gives back what the load held: once idle its heap is near what it was
                // before the load; the host's also at most what the first round left.
                figure("heap in use in MB once idle, over before the load", "_idle_heap_mb", 4);
                if (std::string(p) == "host")
                    std::printf(
                        "figure: %d sessions on the mixed roads, %s heap in use once idle / after the "
                        "first round = %.3f (goal: within 1)\n",
                        sessions, who.c_str(), r.counters.at(std::string(p) + "_idle_heap_of_first").value);
                else
                    figure("heap in use in MB once idle, over the first round's", "_idle_heap_over_first", 0);
                figure("memory in MB once idle, over before the load", "_idle_resident_mb", 32);
                figure("memory in MB in thread stacks once idle", "_idle_stacks_mb", 0);
                figure("free in the allocator in MB once idle", "_idle_free_mb", 0);
                figure("descriptors open once idle, over before the load", "_idle_descriptors", 32);
                figure("descriptors open on the Hubmaster database once idle", "_idle_database_descriptors",
                       2);
            }
        }
        std::fflush(stdout);
    }

private:
    std::vector<Run> m_runs;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    world();
    CMemoryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    TWorld& w = world();
    w.host->stop();
    w.agent->stop();
    fs::remove_all(w.folder);
    return 0;
}
