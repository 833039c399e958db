// Memory of the whole system under a mixed load: the demo world with its host (tools/hubmaster) and its
// media agent mediaagent1 (tools/mediaagent) as processes, and consoles of this process (the console's
// own session code, as a desk console away from the Hubmaster: --host, --port, --ca) taking every road in
// turn: file-system lists, pages, versions, counts and finds through BrowseRouter and through the
// Hubmaster, Exchange mailboxes, OneDrive (both indexing versions, end users among the callers), mining
// of an Exchange database and of a SharePoint server, and stops. Two rounds of the same browses, then
// the idle limits (the database's idle connections, a connection's parked thread) pass; after each round
// and after the idle wait each process is asked (SIGUSR1) what its allocator holds once its free pages
// are given back. What the second round adds is what the processes keep per browse, and after the idle
// wait what is in use should be what the first round left. MEMORY_BENCH_BROWSES (5,000 per round),
// MEMORY_BENCH_SESSIONS (16), MEMORY_BENCH_SETTLE_SECONDS (12) and MEMORY_BENCH_IDLE_SECONDS (40) change the
// load.
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

// What a process's allocator holds, in MB, as it says on SIGUSR1.
struct TMemory {
    double inUse = 0, free = 0, resident = 0;
};

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

struct TWorld {
    fs::path folder;
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
    const int idleSeconds = envNumber("MEMORY_BENCH_IDLE_SECONDS", 40);
    const int settleSeconds = envNumber("MEMORY_BENCH_SETTLE_SECONDS", 12);
    TWorld& w = world();
    for (auto _ : state) {
        std::vector<TMemory> host, agent;  // after each round, then after the idle wait
        for (int round = 0; round < 3; ++round) {
            if (round < 2) {
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
            } else {
                std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));  // the idle limits pass
            }
            host.push_back(askMemory(*w.host, "hubmaster", w.hostAsked));
            agent.push_back(askMemory(*w.agent, "mediaagent", w.agentAsked));
            std::printf(
                "%s: host in use %.3f MB, free %.3f MB, resident %.3f MB; media agent in use %.3f MB, free "
                "%.3f MB, resident %.3f MB\n",
                round < 2 ? ("round " + std::to_string(round + 1)).c_str() : "idle", host.back().inUse,
                host.back().free, host.back().resident, agent.back().inUse, agent.back().free,
                agent.back().resident);
            std::fflush(stdout);
        }
        const std::pair<const char*, const std::vector<TMemory>*> processes[] = {{"host", &host},
                                                                                 {"agent", &agent}};
        for (const auto& [name, m] : processes) {
            const std::string p = name;
            state.counters[p + "_resident_mb"] = (*m)[1].resident;
            state.counters[p + "_growth_mb"] = (*m)[1].resident - (*m)[0].resident;
            state.counters[p + "_heap_growth_mb"] = (*m)[1].inUse - (*m)[0].inUse;
            state.counters[p + "_idle_heap_mb"] = (*m)[2].inUse - (*m)[0].inUse;
            state.counters[p + "_idle_free_mb"] = (*m)[2].free;
        }
        state.counters["sessions"] = sessions;
        state.counters["browses_per_round"] = static_cast<double>(browses);
    }
}

BENCHMARK(BM_MixedLoadMemory)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// The console table, then the figures against the goals: each process's heap in use grows by at most
// 4 MB over the second round, and after the idle wait is within 4 MB of the first round's; the resident
// memory and the allocator's free space as information.
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
            for (const char* p : {"host", "agent"}) {
                const std::string who = std::string(p) == "host" ? "host" : "media agent";
                auto figure = [&](const char* what, const char* counter, bool goal) {
                    std::printf("figure: %d sessions on the mixed roads, %s %s = %.3f %s\n", sessions,
                                who.c_str(), what, r.counters.at(std::string(p) + counter).value,
                                goal ? "(goal: within 4)" : "(information)");
                };
                std::printf(
                    "figure: %d sessions on the mixed roads, %s memory in MB after %lld browses twice = %.3f "
                    "(information)\n",
                    sessions, who.c_str(), browses, r.counters.at(std::string(p) + "_resident_mb").value);
                figure(("memory growth in MB over the second " + std::to_string(browses)).c_str(),
                       "_growth_mb", false);
                figure(("heap in use growth in MB over the second " + std::to_string(browses)).c_str(),
                       "_heap_growth_mb", true);
                figure("heap in use in MB once idle, over the first round's", "_idle_heap_mb", true);
                figure("free in the allocator in MB once idle", "_idle_free_mb", false);
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
