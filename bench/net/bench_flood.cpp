// What a caller waits while a crowd without certificates floods the service: N anonymous sessions send
// ~1 MiB browse requests (under their frame cap) as fast as an in-process server lets them, and each
// iteration is one whole exchange (its own session, as a console run opens) of a caller that must still
// be served: a console on a desk (no certificate, a token in a request of a few hundred bytes), or a
// proven infrastructure peer ("hubmaster"). Counters: the longest exchange (goal: within 1 s) and the
// growth of this process's peak resident memory (goal: within 100 MB). The crowd runs in a child process,
// so that its own buffers (a sender joins each frame into one before encrypting it) are not counted.
// Sessions cannot choose their source address: the whole crowd comes from 127.0.0.1, under the limit
// per address (64) at the sizes run here.
#include <benchmark/benchmark.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/msg/msg_classes.h"
#include "platform/net/zyd_listener.h"
#include "platform/net/zynet_options.h"
#include "platform/net/zynetwork.h"
#include "platform/net/zynetwork_server.h"
#include "platform/threads/hubmutex.h"
#include "tests/support/tls/testpki.h"
#include "tools/hubmaster/hostmemory.h"

namespace {

using Clock = std::chrono::steady_clock;

// The process's peak resident memory in kB; `reset` first lowers the peak to what is resident now.
long long peakKb(bool reset) {
    if (reset) std::ofstream("/proc/self/clear_refs") << "5";
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmHWM:", 0) == 0) return std::stoll(line.substr(6));
    return 0;
}

std::string browseRequestXml(int paths, const std::string& token) {
    databrowse::BrowseRequest request;
    std::vector<CNMessageBase> list;
    for (int n = 0; n < paths; ++n) {
        databrowse::BrowsePath path;
        path.setstring(databrowse::BrowsePath::f::path, "/d00/flood" + std::to_string(n));
        list.push_back(path);
    }
    request.setlistobject(databrowse::BrowseRequest::f::paths, list);
    if (!token.empty()) request.setstring(databrowse::BrowseRequest::f::token, token);
    std::string xml;
    if (request.serialize(xml) != 0) xml.clear();
    return xml;
}

// Answers every request with a small response, as the router answers a refused or finished browse.
void answerCallback(CZyNetworkServer::ZynCallback_e type, CZyNetworkServer* server, long long handle,
                    CNMessageBase* message) {
    const std::unique_ptr<CNMessageBase> owned(message);
    if (type != CZyNetworkServer::ZYN_CALLBACK_MESSAGE) return;
    CZySessionLease session(server, handle);
    if (!session) return;
    databrowse::BrowseResponse response;
    response.setint64(databrowse::BrowseResponse::f::respType, 0);
    bool timedOut = false;
    ignoreResult(session->SendXMLMessage(response, 0, 10, timedOut), "a caller gone has nobody to answer");
}

// The crowd, in a child process forked before any thread was started (no lock is copied held). It waits
// for the server's port and starts the senders: each sends the big request, reads its answer, and opens
// a new session whenever the server refuses or closes one. Once each has sent a few (the crowd at its
// height) it says so; on the word to stop it tells what it sent and had answered since, and joins them.
[[noreturn]] void runCrowd(int senders, const std::string& xml, int in, int out) {
    int port = 0;
    if (read(in, &port, sizeof(port)) != sizeof(port)) _exit(0);
    std::atomic<bool> stop{false};
    std::atomic<long> sent{0}, answered{0};
    CHubMutex mutex;  // with `counted`: waiting for the crowd's height
    std::condition_variable counted;
    std::vector<std::thread> threads;
    for (int i = 0; i < senders; ++i)
        threads.emplace_back([&] {
            while (!stop) {
                CZyNetwork session;
                bool timedOut = false;
                if (session
                        .Connect(TZyNetAddress{"127.0.0.1", port}, "BrowseRouter", hubtest::kAnonymous, 10,
                                 timedOut)
                        .IsError())
                    continue;
                while (!stop && session.IsConnected()) {
                    if (session.SendXMLMessage(databrowse::BrowseRequest::TAG, xml, 0, 30, timedOut)
                            .IsError())
                        break;
                    {
                        CHubMutexLock lock(mutex);
                        ++sent;
                    }
                    counted.notify_all();
                    std::string answer;
                    unsigned long code = 0;
                    // A refused message closes the session: the sender opens another.
                    if (!session.ReceiveXMLMessage(&code, answer, nullptr, 0, 10, timedOut).IsError() &&
                        code == databrowse::BrowseResponse::TAG)
                        ++answered;
                }
            }
        });
    char height = 0;
    {
        CHubMutexLock lock(mutex);
        height = lock.waitFor(counted, std::chrono::seconds(120), [&] { return sent >= 3L * senders; });
    }
    const long before[2] = {sent, answered};
    char word = 0;
    bool told = write(out, &height, 1) == 1 && read(in, &word, 1) == 1;
    if (told) {
        const long counts[2] = {sent - before[0], answered - before[1]};
        told = write(out, counts, sizeof(counts)) == sizeof(counts);
    }
    stop = true;
    for (std::thread& t : threads) t.join();
    _exit(0);  // nothing of the parent's (its exit handlers, its streams) runs here
}

// The parent's side of the crowd: start gives it the port and waits for its height; counts stops it and
// takes what it did; finish (also on destruction) waits for its end, true when it ended cleanly.
class CCrowd {
public:
    CCrowd(int senders, const std::string& xml) {
        if (pipe(m_toChild) != 0 || pipe(m_fromChild) != 0 || (m_pid = fork()) < 0) return;
        if (m_pid == 0) runCrowd(senders, xml, m_toChild[0], m_fromChild[1]);
        close(m_toChild[0]);
        close(m_fromChild[1]);
    }
    ~CCrowd() { finish(); }
    bool start(int port) {
        char height = 0;
        return m_pid > 0 && write(m_toChild[1], &port, sizeof(port)) == sizeof(port) &&
               read(m_fromChild[0], &height, 1) == 1 && height == 1;
    }
    std::array<long, 2> counts() {  // sent, answered
        std::array<long, 2> counts{0, 0};
        const char word = 1;
        if (m_pid > 0 && m_toChild[1] >= 0 && write(m_toChild[1], &word, 1) == 1 &&
            read(m_fromChild[0], counts.data(), sizeof(counts)) != sizeof(counts))
            counts = {0, 0};
        for (int* fd : {&m_toChild[1], &m_fromChild[0]})
            if (*fd >= 0) close(std::exchange(*fd, -1));
        return counts;
    }
    bool finish() {
        counts();
        int status = -1;
        return m_pid > 0 && waitpid(std::exchange(m_pid, 0), &status, 0) > 0 && WIFEXITED(status) &&
               WEXITSTATUS(status) == 0;
    }

private:
    int m_toChild[2] = {-1, -1}, m_fromChild[2] = {-1, -1};
    pid_t m_pid = 0;
};

// One exchange timed per iteration, the session opened as `localName` (kAnonymous: no certificate).
void exchangeDuringFlood(benchmark::State& state, const char* localName) {
    struct TRestore {
        const TZyNetOptions saved = zyNetOptions();
        ~TRestore() { setZyNetOptions(saved); }
    } restore;
    TZyNetOptions options = restore.saved;
    options.isInfrastructure = [](const std::string& name) {
        return name == "hubmaster" || name.rfind("mediaagent", 0) == 0;
    };
    setZyNetOptions(options);
    static const std::string big = browseRequestXml(20000, std::string());
    const std::string small = browseRequestXml(3, std::string(160, 'T'));
    if (big.size() < (500u << 10) || big.size() >= options.anonymousMaxFrameBytes || small.empty()) {
        state.SkipWithError("the requests are not of the intended sizes");
        return;
    }
    // Forked while this process has no other thread, so that no lock is copied held.
    if (std::distance(std::filesystem::directory_iterator("/proc/self/task"), {}) != 1) {
        state.SkipWithError("threads alive before the crowd's process is forked");
        return;
    }
    CCrowd flood(static_cast<int>(state.range(0)), big);
    const long long peakBefore = peakKb(true);
    auto listener = CZydListener::create();
    if (listener->start(0).IsError()) {
        state.SkipWithError("no listener");
        return;
    }
    CZyNetworkServer server(nullptr, answerCallback, "BrowseRouter", listener);
    const int port = listener->port();
    // Measured once the crowd is at its height: each sender has sent a few.
    const bool atHeight = flood.start(port);

    double longest = 0;
    long failed = 0;
    for (auto _ : state) {
        const Clock::time_point start = Clock::now();
        bool ok = false;
        {
            CZyNetwork session;
            bool timedOut = false;
            std::string answer;
            unsigned long code = 0;
            ok = !session
                      .Connect(TZyNetAddress{"127.0.0.1", port, "hubmaster"}, "BrowseRouter", localName, 30,
                               timedOut)
                      .IsError() &&
                 !session.SendXMLMessage(databrowse::BrowseRequest::TAG, small, 0, 30, timedOut).IsError() &&
                 !session.ReceiveXMLMessage(&code, answer, nullptr, 0, 30, timedOut).IsError() && !timedOut &&
                 code == databrowse::BrowseResponse::TAG;
            const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
            state.SetIterationTime(seconds);
            longest = std::max(longest, seconds);
        }
        if (!ok) ++failed;
    }
    const long long peakAfter = peakKb(false);
    const std::array<long, 2> flooded = flood.counts();
    ignoreResult(server.Quit(true, true), "stopping: nothing is left to do when it fails");
    listener->stop();
    if (!flood.finish()) state.SkipWithError("the crowd's process did not end cleanly");

    state.counters["max_ms"] = longest * 1e3;
    state.counters["failed"] = static_cast<double>(failed);
    state.counters["peak_growth_mb"] = static_cast<double>(peakAfter - peakBefore) / 1024.0;
    state.counters["flood_sent"] = static_cast<double>(flooded[0]);
    state.counters["flood_answered"] = static_cast<double>(flooded[1]);
    if (!atHeight) state.SetLabel("the crowd never reached its height");
}

void BM_ConsoleExchangeDuringFlood(benchmark::State& state) {
    exchangeDuringFlood(state, hubtest::kAnonymous);
}
void BM_InfrastructureExchangeDuringFlood(benchmark::State& state) {
    exchangeDuringFlood(state, "hubmaster");
}
void crowdSizes(benchmark::internal::Benchmark* b) {
    b->ArgName("flooders")->Arg(0)->Arg(16)->Arg(48)->UseManualTime()->Unit(benchmark::kMillisecond);
}
BENCHMARK(BM_ConsoleExchangeDuringFlood)->Apply(crowdSizes);
BENCHMARK(BM_InfrastructureExchangeDuringFlood)->Apply(crowdSizes);

// The console table, then each run's figures against the team's goals for a flooded host.
class CFloodReporter : public benchmark::ConsoleReporter {
public:
    CFloodReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs)
            if (!r.error_occurred && r.run_type == Run::RT_Iteration) m_runs.push_back(r);
        ConsoleReporter::ReportRuns(runs);
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        for (const Run& r : m_runs) {
            const std::string name = r.benchmark_name();
            std::printf("figure: %s, longest exchange = %.3f ms (goal: within 1000)\n", name.c_str(),
                        r.counters.at("max_ms").value);
            std::printf("figure: %s, peak memory growth in MB = %.3f (goal: within 100)\n", name.c_str(),
                        r.counters.at("peak_growth_mb").value);
            std::printf("figure: %s, exchanges failed = %.0f (goal: within 0)\n", name.c_str(),
                        r.counters.at("failed").value);
        }
        std::fflush(stdout);
    }

private:
    std::vector<Run> m_runs;
};

}  // namespace

int main(int argc, char** argv) {
    limitHostAllocatorArenas();  // this process plays the host, whose allocator is set up so
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    CFloodReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
