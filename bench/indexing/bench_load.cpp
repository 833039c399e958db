// Throughput of the whole chain under load: 64 console sessions at once, each a client in this process
// over loopback (the console's own session code), browsing the media agent's benchmark catalogue page
// after page for a fixed time: once through "BrowseRouter" (the prepared request is sent to the media
// agent, whose index service answers the console itself) and once through the Hubmaster's own service
// "HubmasterBrowse" (the service runs the super browse and streams the relayed answers back). The
// browses cycle through four pages: the first page of a directory, a page at offset 90,000, a directory
// of directories, the first page of the 100,000-entry directory; every answer is checked against the item
// index read directly. Reported per road: browses/s, items/s, p50 and p99 of a browse, and CPU per browse
// of the host process (service and clients) and of the media agent. MEDIAAGENT_BENCH_SCALE=10M selects the
// larger catalogue; LOAD_BENCH_SESSIONS and LOAD_BENCH_SECONDS change the load (64, 3).
// The host's memory: the same load through "BrowseRouter" for a fixed number of browses, twice
// (LOAD_BENCH_MEMORY_BROWSES, 20,000), with the process's resident memory after each: what the second
// round adds is what the host keeps per browse, and it should be nothing.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/support/chainworld.h"
#include "platform/security/evsecuritymgr.h"
#include "platform/threads/hubmutex.h"
#include "tools/browse/consolesession.h"
#include "tools/hubmaster/hostbrowse.h"
#include "tools/hubmaster/hostmemory.h"

namespace {

using hubbench::catalogueChain;
using Clock = std::chrono::steady_clock;

constexpr hubbench::TCatalogueBrowse kPages[] = {hubbench::kFirstPage, hubbench::kDeepPage,
                                                 hubbench::kTopOfTree, hubbench::kBigFirstPage};

int envNumber(const char* name, int fallback) {
    const char* text = std::getenv(name);
    return text && std::atoi(text) > 0 ? std::atoi(text) : fallback;
}

struct TLoad {
    std::unique_ptr<CHostBrowseService> hostBrowse;
    std::string token;
    size_t expected[std::size(kPages)] = {};
};

TLoad& load() {
    static TLoad l = [] {
        TLoad l;
        hubbench::TCatalogueChain& c = catalogueChain();
        l.hostBrowse = std::make_unique<CHostBrowseService>(&fastBrowseHMProcessRequestMultiEntity,
                                                            &fastBrowseHMLaunchEraseCreateTask);
        std::string error;
        if (!l.hostBrowse->start(error)) hubbench::giveUp(error);
        // The benchmark's own registry gets a token key of this run, as a host's data folder holds one.
        std::random_device random;
        char key[40];
        std::snprintf(key, sizeof key, "%08x%08x%08x%08x", random(), random(), random(), random());
        ZYPlatformInfo::setString("~Hubmaster", "sZetaTokenKey", key);
        if (EvSecurityMgr::IssueZetaToken(c.user, false, 3600, l.token) != 0) hubbench::giveUp("no token");
        for (size_t k = 0; k < std::size(kPages); ++k) {
            std::vector<mediaagent::TItemVersion> out;
            hubbench::readCatalogueIndex(*c.index, hubbench::chainBrowseQuery(kPages[k]), out);
            l.expected[k] = out.size();
        }
        return l;
    }();
    return l;
}

// The console's command for one page of the catalogue.
TConsoleOptions pageCommand(hubbench::TCatalogueBrowse b, bool viaHubmaster) {
    hubbench::TCatalogueChain& c = catalogueChain();
    const mediaagent::TBrowseQuery q = hubbench::chainBrowseQuery(b);
    TConsoleOptions o;
    o.routerHost = "127.0.0.1";
    o.routerPort = c.routerPort;
    o.token = load().token;
    o.viaHubmaster = viaHubmaster;
    o.client = "benchclient";
    o.clientId = c.client;
    o.backupSetId = c.backupSet;
    o.subclientId = c.appId;
    o.appType = 29;
    o.paths = {q.path};
    o.at = q.toTime;
    o.pageSize = static_cast<int>(q.pageSize);
    o.page = static_cast<int>(q.skip / q.pageSize) + 1;  // pages count from 1
    o.progress = false;
    o.timeoutSeconds = 60;
    return o;
}

// User plus system CPU seconds of a process (this one when pid is 0).
double cpuSeconds(pid_t pid) {
    if (pid == 0) {
        rusage u{};
        getrusage(RUSAGE_SELF, &u);
        return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
               static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
    }
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const size_t close = text.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    double ticks = 0;
    // After the name: state is field 3; utime and stime are fields 14 and 15.
    for (int n = 3; n <= 15 && fields >> field; ++n)
        if (n >= 14) ticks += std::stod(field);
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Resident memory of this process in MB (the host's service and its consoles; the consoles keep
// nothing between rounds).
double residentMb() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::atof(line.c_str() + 6) / 1024.0;
    return 0;
}

// What one run of the load measured.
struct TLoadRun {
    std::vector<double> latencies;  // ms, sorted
    long long items = 0;
    long long failures = 0;
    std::string firstFailure;
    double seconds = 0;
};

// `sessions` consoles browse page after page while `more()` says so (it is asked before each browse).
template <class More>
TLoadRun runLoad(int sessions, bool viaHubmaster, More more) {
    TLoad& l = load();
    TLoadRun run;
    CHubMutex mutex;  // guards run
    std::atomic<long long> items{0}, failures{0};
    const Clock::time_point start = Clock::now();
    std::vector<std::thread> threads;
    for (int s = 0; s < sessions; ++s) {
        threads.emplace_back([&, s] {
            std::vector<double> mine;
            for (size_t n = static_cast<size_t>(s); more(); ++n) {
                const size_t k = n % std::size(kPages);
                CConsoleSession console(pageCommand(kPages[k], viaHubmaster), "");
                TConsoleResult result;
                const Clock::time_point began = Clock::now();
                const int rc = console.run(result);
                mine.push_back(std::chrono::duration<double, std::milli>(Clock::now() - began).count());
                items += static_cast<long long>(result.items.size());
                if (rc != 0 || result.items.size() != l.expected[k]) {
                    ++failures;
                    CHubMutexLock lock(mutex);
                    if (run.firstFailure.empty())
                        run.firstFailure = "page " + std::to_string(k) + ": " +
                                           std::to_string(result.items.size()) + " items of " +
                                           std::to_string(l.expected[k]) + " " + result.error;
                }
            }
            CHubMutexLock lock(mutex);
            run.latencies.insert(run.latencies.end(), mine.begin(), mine.end());
        });
    }
    for (std::thread& t : threads) t.join();
    run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    run.items = items;
    run.failures = failures;
    std::sort(run.latencies.begin(), run.latencies.end());
    return run;
}

void BM_Load(benchmark::State& state) {
    const bool viaHubmaster = state.range(0) != 0;
    const int sessions = envNumber("LOAD_BENCH_SESSIONS", 64);
    const auto duration = std::chrono::seconds(envNumber("LOAD_BENCH_SECONDS", 3));
    const pid_t agent = catalogueChain().agent->pid();
    for (auto _ : state) {
        const double hostCpu = cpuSeconds(0), agentCpu = cpuSeconds(agent);
        const Clock::time_point stop = Clock::now() + duration;
        const TLoadRun run = runLoad(sessions, viaHubmaster, [stop] { return Clock::now() < stop; });
        const double browses = static_cast<double>(run.latencies.size());
        if (run.failures > 0 || run.latencies.empty()) {
            state.SkipWithError(
                ("browses failed: " + std::to_string(run.failures) + ", first: " + run.firstFailure).c_str());
            break;
        }
        const std::vector<double>& latencies = run.latencies;
        state.counters["sessions"] = sessions;
        state.counters["browses_per_s"] = browses / run.seconds;
        state.counters["items_per_s"] = static_cast<double>(run.items) / run.seconds;
        state.counters["p50_ms"] = latencies[latencies.size() / 2];
        state.counters["p99_ms"] = latencies[std::min(latencies.size() - 1, latencies.size() * 99 / 100)];
        state.counters["host_cpu_ms_per_browse"] = (cpuSeconds(0) - hostCpu) * 1e3 / browses;
        state.counters["agent_cpu_ms_per_browse"] = (cpuSeconds(agent) - agentCpu) * 1e3 / browses;
    }
}

// The host's memory after a fixed number of browses, twice.
void BM_LoadMemory(benchmark::State& state) {
    const int sessions = envNumber("LOAD_BENCH_SESSIONS", 64);
    const long long browses = envNumber("LOAD_BENCH_MEMORY_BROWSES", 20000);
    for (auto _ : state) {
        double residentAfter[2] = {};
        for (double& resident : residentAfter) {
            std::atomic<long long> claimed{0};
            const TLoadRun run = runLoad(sessions, false, [&] { return claimed++ < browses; });
            if (run.failures > 0) {
                state.SkipWithError(("browses failed: " + std::to_string(run.failures) +
                                     ", first: " + run.firstFailure).c_str());
                return;
            }
            resident = residentMb();
        }
        state.counters["sessions"] = sessions;
        state.counters["browses_per_round"] = static_cast<double>(browses);
        state.counters["first_round_mb"] = residentAfter[0];
        state.counters["second_round_mb"] = residentAfter[1];
        state.counters["growth_mb"] = residentAfter[1] - residentAfter[0];
    }
}

BENCHMARK(BM_Load)
    ->ArgName("via_hubmaster")
    ->Arg(0)
    ->Arg(1)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_LoadMemory)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// The console table, then the figures against the goals of the road through BrowseRouter (64 sessions on
// 8 cores: 2,000 browses/s, that is 0.5 ms of wall time per browse, and a p99 of 25 ms); the road through
// the Hubmaster's service as information. Lower is better for each.
class CLoadReporter : public benchmark::ConsoleReporter {
public:
    CLoadReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs) {
            if (r.error_occurred || r.run_type != Run::RT_Iteration) continue;
            if (r.counters.count("p99_ms")) m_runs.push_back(r);
            if (r.counters.count("growth_mb")) m_memory.push_back(r);
        }
        ConsoleReporter::ReportRuns(runs);
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        // The second round's growth against its goal: a host that keeps nothing per browse stays within
        // a few MB of what the first round left (the allocator's and the kernel's own noise).
        for (const Run& r : m_memory) {
            const int sessions = static_cast<int>(r.counters.at("sessions").value);
            const long long browses = static_cast<long long>(r.counters.at("browses_per_round").value);
            std::printf("figure: %d sessions through BrowseRouter, host memory in MB after %lld browses = %.3f "
                        "(information)\n",
                        sessions, browses, r.counters.at("first_round_mb").value);
            std::printf("figure: %d sessions through BrowseRouter, host memory in MB after %lld more = %.3f "
                        "(information)\n",
                        sessions, browses, r.counters.at("second_round_mb").value);
            std::printf("figure: %d sessions through BrowseRouter, host memory growth in MB over the second "
                        "%lld = %.3f (goal: within 4)\n",
                        sessions, browses, r.counters.at("growth_mb").value);
        }
        for (const Run& r : m_runs) {
            const bool router = r.benchmark_name().find("via_hubmaster:0") != std::string::npos;
            const std::string road = router ? "through BrowseRouter" : "through HubmasterBrowse";
            const int sessions = static_cast<int>(r.counters.at("sessions").value);
            auto figure = [&](const std::string& what, double value, double goal) {
                std::printf("figure: %d sessions %s, %s = %.3f ms", sessions, road.c_str(), what.c_str(),
                            value);
                if (router && goal > 0)
                    std::printf(" (goal: within %g)\n", goal);
                else
                    std::printf(" (information)\n");
            };
            figure("wall time per browse", 1e3 / r.counters.at("browses_per_s").value, 0.5);
            figure("p50 of a browse", r.counters.at("p50_ms").value, 0);
            figure("p99 of a browse", r.counters.at("p99_ms").value, 25);
            figure("host CPU per browse", r.counters.at("host_cpu_ms_per_browse").value, 0);
            figure("media agent CPU per browse", r.counters.at("agent_cpu_ms_per_browse").value, 0);
        }
        std::fflush(stdout);
    }

private:
    std::vector<Run> m_runs;
    std::vector<Run> m_memory;
};

}  // namespace

int main(int argc, char** argv) {
    limitHostAllocatorArenas();  // as the host does
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    load();
    CLoadReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    load().hostBrowse->drain();
    load().hostBrowse->stop();
    hubbench::stopCatalogueChain();
    return 0;
}
