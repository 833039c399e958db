// Many concurrent browses through the whole chain: the service started in this process over the demo
// world (entry point, workers, BrowseRouter), the real media agent's index service in its own process.
// Each session enters its requests one after another; every answer is checked against the media agent's
// item index read directly (nothing lost, nothing duplicated, one end), and afterwards the worker
// registry and the configuration cache are empty. The figures (requests and items per second, p50/p99 of
// a browse's answer) are printed and recorded as test properties.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "planning/confmgr.h"
#include "platform/config/zyplatforminfo.h"
#include "platform/db/dbenv.h"
#include "platform/entities/zyclient.h"
#include "platform/hubdb/hubdb.h"
#include "platform/hubdb/hubdbseed.h"
#include "platform/hubdemo/hubdemo.h"
#include "platform/log/evdebug.h"
#include "platform/net/zynet_directory.h"
#include "platform/net/zynetwork_server.h"
#include "platform/tasks/evrestoretask.h"
#include "platform/tasks/evreturndestination.h"
#include "service/browserouterthread.h"
#include "service/controllerthread.h"
#include "service/fastbrowsehm_api.h"
#include "tests/e2e/e2eworld.h"
#include "tests/support/process/childprocess.h"
#include "tools/mediaagent/itemindex.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
const char* const kAgent = "mediaagent1";

// Sanitized builds run a smaller load: the same paths, fewer of them, and no memory check (their
// allocators keep freed memory on purpose).
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kSessions = 6;
constexpr int kRequests = 5;
constexpr bool kCheckMemory = false;
#else
constexpr int kSessions = 32;
constexpr int kRequests = 15;
constexpr bool kCheckMemory = true;
#endif
// Rounds of every session's requests; memory after the first must not grow across the others.
constexpr int kRounds = 3;
constexpr long kMemoryGrowthLimitKb = 24 * 1024;

// The process's resident memory in kB (0 when unreadable).
long residentKb() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return 0;
}

// One browse of the load: a directory at a point in time, or its versions over a range.
struct TCase {
    std::string path;
    int64_t toTime = 0;
    int64_t fromTime = 0;
    std::vector<std::string> expected;  // paths in answer order, from the item index
};

// What came back for one browse.
struct TOutcome {
    std::vector<std::string> paths;
    size_t ends = 0;
    std::vector<std::string> errors;
};

TOutcome outcomeOf(const EvRecordingDestination& destination) {
    TOutcome out;
    for (const std::string& xml : destination.payloads(EV_RETURN_RECORD_XML_ITEM)) {
        databrowse::BrowseResponse response;
        if (response.unserialize(xml) != 0) continue;
        if (response.getint64(databrowse::BrowseResponse::f::respType) == 5) ++out.ends;
        if (auto* errors = response.getlistobject(databrowse::BrowseResponse::f::messages, false))
            for (const CNMessageBase& e : *errors)
                out.errors.push_back(e.getstring(databrowse::BrowseError::f::errorMessage));
        if (!response.isSet(databrowse::BrowseResponse::f::browseResult)) continue;
        CNMessageBase* result =
            response.getObjectAccessor(databrowse::BrowseResponse::f::browseResult, false);
        if (auto* items = result->getlistobject(databrowse::BrowseResult::f::dataResultSet, false))
            for (const CNMessageBase& i : *items)
                out.paths.push_back(i.getstring(databrowse::BrowseData::f::path));
    }
    return out;
}

class LoadEndToEnd : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        int agentPort = 0;
        int routerPort = 0;
        ASSERT_NO_FATAL_FAILURE(e2eworld::startChain(
            "load-e2e", kAgent,
            [] {
                return std::vector<std::string>{"--index",         index(), "--files", "3000",
                                                "--files-per-dir", "40",    "--batch", "100"};
            },
            s_folder, s_world, s_agent, agentPort, routerPort));
        ASSERT_NO_FATAL_FAILURE(
            e2eworld::pointClientAt(*s_world, "name", zydb::DbValue::ofText(kAgent), agentPort));
    }
    static void TearDownTestSuite() { e2eworld::stopChain(kAgent, s_folder, s_world, s_agent); }
    static std::string index() { return (s_folder / "agent1.items.db").string(); }

    // The browses of the load: the root's directories and theirs, each at two points in time and over
    // the whole range, with what the item index holds for each.
    std::vector<TCase> cases() {
        std::string error;
        auto items = mediaagent::CItemIndex::open(index(), error);
        EXPECT_TRUE(items) << error;
        std::vector<TCase> out;
        if (!items) return out;
        std::vector<mediaagent::TIndexJob> jobs;
        EXPECT_TRUE(items->jobs(s_world->fileSubclient, jobs));
        if (jobs.size() < 6) return out;
        auto list = [&](const TCase& c) {
            mediaagent::TBrowseQuery q;
            q.appId = s_world->fileSubclient;
            q.path = c.path;
            q.toTime = c.toTime;
            q.fromTime = c.fromTime;
            std::vector<mediaagent::TItemVersion> versions;
            bool found = false;
            EXPECT_TRUE(c.fromTime ? items->listRange(q, versions, found)
                                   : items->listAt(q, versions, found));
            return versions;
        };
        std::vector<std::string> directories = {"/"};
        for (size_t i = 0; i < directories.size() && directories.size() < 12; ++i)
            for (const auto& v : list({directories[i], jobs.back().time, 0, {}}))
                if (v.directory() && directories.size() < 12) directories.push_back(v.path);
        for (const std::string& d : directories)
            for (TCase c : {TCase{d, jobs[2].time, 0, {}}, TCase{d, jobs.back().time, 0, {}},
                            TCase{d, jobs.back().time, jobs[1].time, {}}}) {
                for (const auto& v : list(c)) c.expected.push_back(v.path);
                out.push_back(std::move(c));
            }
        return out;
    }

    // A browse of client1's subclient by the administrator into `destination` (job ids unique per run).
    static std::unique_ptr<EvMultiEntityRestoreTask> task(long long job, const TCase& c) {
        auto t = std::make_unique<EvMultiEntityRestoreTask>();
        t->setTaskParameters(static_cast<unsigned long long>(job), 0, s_world->adminUser, 0, 2,
                             s_world->fileClient, s_world->fileBackupSet, 0, static_cast<long>(c.toTime),
                             static_cast<long>(c.fromTime), s_world->fileAppType, 1, 0, 0);
        t->setUserName("admin");
        t->setSubClientId(s_world->fileSubclient);
        t->addPath(EvRestoreTask::kBrowsePathList, c.path.c_str());
        // Option 86 asks the planner for super browse even over one cycle of one subclient.
        std::string extended(87, '0');
        extended[86] = '1';
        t->setextendedOptions(extended.c_str());
        return t;
    }

    static fs::path s_folder;
    static hubdemo::DemoWorld* s_world;
    static hubtest::CChildProcess* s_agent;
};
fs::path LoadEndToEnd::s_folder;
hubdemo::DemoWorld* LoadEndToEnd::s_world = nullptr;
hubtest::CChildProcess* LoadEndToEnd::s_agent = nullptr;

}  // namespace

TEST_F(LoadEndToEnd, ConcurrentSessionsGetExactlyTheIndexAndLeaveNothingBehind) {
    const std::vector<TCase> all = cases();
    ASSERT_GE(all.size(), 9u);
    size_t held = 0;
    for (const TCase& c : all) held += c.expected.size();
    ASSERT_GT(held, all.size()) << "the browses must find items for the check to mean anything";
    std::atomic<long long> nextJob{70000};
    std::atomic<size_t> items{0}, wrong{0};
    std::mutex mutex;
    std::vector<double> latencies;  // milliseconds, from entering a browse to its end
    std::vector<std::string> failures;

    const auto start = std::chrono::steady_clock::now();
    long firstRoundKb = 0;
    for (int round = 0; round < kRounds; ++round) {
        std::vector<std::thread> sessions;
        for (int s = 0; s < kSessions; ++s)
            sessions.emplace_back([&, s] {
                for (int r = 0; r < kRequests; ++r) {
                    const TCase& c =
                        all[static_cast<size_t>(s * 7 + (round * kRequests + r) * 3) % all.size()];
                    const long long job = nextJob++;
                    auto destination = std::make_shared<EvRecordingDestination>();
                    EvReturnDestinations::registerDestination(job, destination);
                    auto t = task(job, c);
                    const auto begun = std::chrono::steady_clock::now();
                    const int entered = fastBrowseHMProcessRequestMultiEntity(
                        t.get(), false, databrowse::FORCE_USE_INDEX_NONE, nullptr);
                    const bool ended = destination->waitForEnd(30s);
                    const double ms =
                        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begun)
                            .count();
                    const TOutcome o = outcomeOf(*destination);
                    EvReturnDestinations::unregisterDestination(job);
                    items += o.paths.size();
                    std::lock_guard<std::mutex> lock(mutex);
                    latencies.push_back(ms);
                    if (entered != 1 || !ended || o.ends != 1 || !o.errors.empty() || o.paths != c.expected) {
                        ++wrong;
                        failures.push_back(c.path + (c.fromTime ? " range" : " at") + ": entered " +
                                           std::to_string(entered) + ", ended " + std::to_string(ended) +
                                           ", ends " + std::to_string(o.ends) + ", items " +
                                           std::to_string(o.paths.size()) + " of " +
                                           std::to_string(c.expected.size()) +
                                           (o.errors.empty() ? "" : ", error " + o.errors.front()));
                    }
                }
            });
        for (std::thread& t : sessions) t.join();
        if (round == 0) firstRoundKb = residentKb();
    }
    const long lastRoundKb = residentKb();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    EXPECT_EQ(wrong.load(), 0u) << (failures.empty() ? "" : failures.front());
    const size_t requests = static_cast<size_t>(kSessions) * kRequests * kRounds;
    if (kCheckMemory) {
        EXPECT_LT(lastRoundKb - firstRoundKb, kMemoryGrowthLimitKb)
            << "resident memory grew from " << firstRoundKb << " kB after the first round to " << lastRoundKb
            << " kB after the last";
    }
    ASSERT_EQ(latencies.size(), requests);
    // A worker gives its configuration record back before it is deleted: both are gone with the last.
    EXPECT_TRUE(e2eworld::workersDownTo(0));
    EXPECT_TRUE(e2eworld::workerEnds().waitUntil([] { return g_poConfMgr->getRecordCount() == 0; }))
        << g_poConfMgr->getRecordCount() << " configuration record(s) left in the cache";

    std::sort(latencies.begin(), latencies.end());
    const double p50 = latencies[latencies.size() / 2];
    const double p99 = latencies[std::min(latencies.size() - 1, latencies.size() * 99 / 100)];
    std::printf(
        "load: %d sessions x %d requests in %.2f s: %.0f requests/s, %.0f items/s, p50 %.1f ms, "
        "p99 %.1f ms; resident %ld kB after the first round, %ld kB after the last\n",
        kSessions, kRequests * kRounds, seconds, requests / seconds,
        static_cast<double>(items.load()) / seconds, p50, p99, firstRoundKb, lastRoundKb);
    RecordProperty("requests_per_second", static_cast<int>(requests / seconds));
    RecordProperty("p99_ms", static_cast<int>(p99));
}
