// The set-up the whole-system tests share: a demo world in its own temporary folder (logs written
// there), the real tools/mediaagent process started over it, the service started in this process with
// the Hubmaster's row pointed at its "BrowseRouter" port. Called from a suite's SetUpTestSuite and
// TearDownTestSuite on the test's main thread; helpers that check use gtest assertions, so wrap them in
// ASSERT_NO_FATAL_FAILURE.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/config/zyplatforminfo.h"
#include "platform/db/dbenv.h"
#include "platform/entities/zyclient.h"
#include "platform/hubdb/hubdb.h"
#include "platform/hubdb/hubdbseed.h"
#include "platform/hubdemo/hubdemo.h"
#include "platform/log/evdebug.h"
#include "platform/net/zyd_listener.h"
#include "platform/net/zynet_directory.h"
#include "platform/net/zynet_options.h"
#include "platform/net/zynetwork_server.h"
#include "platform/tasks/evrestoretask.h"
#include "service/browserouterthread.h"
#include "service/controllerthread.h"
#include "service/failurefallback.h"
#include "service/fastbrowsehm_api.h"
#include "tests/support/process/childprocess.h"
#include "worker/fastbrowsehmworkerthread.h"

namespace e2eworld {

inline constexpr const char* kListening = "listening on 127.0.0.1:";

// The service's workers, made as the controller makes them, each telling when it is deleted: tests wait
// on those deletions for workers to leave the registry (and what leaves with them) instead of looking
// again and again. Workers are deleted on any thread; one test thread waits.
class CWorkerEnds {
public:
    using Make = std::function<CWorkerThreadHM*()>;

    // From now on the controller makes its workers with `make` (the service's own worker by default).
    void install(Make make = [] { return new CWorkerThreadHM; }) {
        g_poControllerThreadHM->setWorkerFactory(
            [state = m_state, make = std::move(make)]() -> std::shared_ptr<CWorkerThreadHM> {
                CWorkerThreadHM* worker = make();
                if (!worker) return nullptr;
                return std::shared_ptr<CWorkerThreadHM>(worker, [state](CWorkerThreadHM* done) {
                    delete done;
                    {
                        std::lock_guard<std::mutex> lock(state->mutex);
                        ++state->deleted;
                    }
                    state->changed.notify_all();
                });
            });
    }
    // True once `done` holds: asked now and again after each deletion of a worker. False when it does
    // not hold at `limit`.
    bool waitUntil(const std::function<bool()>& done,
                   std::chrono::milliseconds limit = std::chrono::seconds(30)) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        for (;;) {
            // `done` runs without the lock (it takes the service's own); a deletion after this count
            // was read wakes the wait below, whether `done` saw its effect or not.
            unsigned long long seen;
            {
                std::lock_guard<std::mutex> lock(m_state->mutex);
                seen = m_state->deleted;
            }
            if (done()) return true;
            std::unique_lock<std::mutex> lock(m_state->mutex);
            if (!m_state->changed.wait_until(lock, deadline, [&] { return m_state->deleted != seen; })) {
                lock.unlock();
                return done();
            }
        }
    }

private:
    struct TState {
        std::mutex mutex;  // guards deleted
        std::condition_variable changed;
        unsigned long long deleted = 0;
    };
    // Shared with the deleters of workers that may outlive this object.
    std::shared_ptr<TState> m_state = std::make_shared<TState>();
};

// The one set of worker deletions of this process's service (startService installs it).
inline CWorkerEnds& workerEnds() {
    static CWorkerEnds ends;
    return ends;
}

// Waits on worker deletions until at most `count` workers are registered; a failure tells how many are.
inline ::testing::AssertionResult workersDownTo(size_t count,
                                                std::chrono::milliseconds limit = std::chrono::seconds(30)) {
    if (workerEnds().waitUntil([&] { return g_poControllerThreadHM->getWorkerCount() <= count; }, limit))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << g_poControllerThreadHM->getWorkerCount()
                                         << " worker(s) still registered, at most " << count << " expected";
}

// A fresh <tmp>/<name>-<pid> holding the logs and the demo world (under demo/).
inline void createWorld(const std::string& name, std::filesystem::path& folder, hubdemo::DemoWorld*& world) {
    folder = std::filesystem::temp_directory_path() / (name + "-" + std::to_string(getpid()));
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    EvDebugFileInstance::setLogDirectory(folder.string());
    std::string error;
    world = new hubdemo::DemoWorld;
    ASSERT_TRUE(hubdemo::createDemoWorld((folder / "demo").string(), *world, &error)) << error;
}

// Undoes createWorld: the world, the registry and log settings it left, and the folder.
inline void removeWorld(std::filesystem::path& folder, hubdemo::DemoWorld*& world) {
    delete world;
    world = nullptr;
    ZYPlatformInfo::setRegistryPath("");
    EvDebugFileInstance::setLogDirectory("");
    std::filesystem::remove_all(folder);
}

// The media agent process serving `client` over the world with its index service started, logging into
// the folder; `extra` adds the test's own options (index size, journal...). Its port once it listens.
inline void startAgent(const std::filesystem::path& folder, const hubdemo::DemoWorld& world,
                       const std::string& client, const std::vector<std::string>& extra,
                       hubtest::CChildProcess*& agent, int& port) {
    std::vector<std::string> args = {
        "--hub", world.databasePath, "--client",        client,    "--port",     "0",
        "--log", folder.string(),    "--index-service", "started", "--registry", world.registryPath};
    args.insert(args.end(), extra.begin(), extra.end());
    agent = new hubtest::CChildProcess("tools/mediaagent/mediaagent", args);
    ASSERT_TRUE(agent->waitFor(kListening, std::chrono::seconds(120))) << agent->output();
    port = static_cast<int>(agent->numberAfter(kListening));
}

// Where the Hubmaster database says a client is reached.
inline void pointClientAt(const hubdemo::DemoWorld& world, const std::string& column, zydb::DbValue client,
                          int port) {
    hubdb::HubDbSeed seed(world.databasePath);
    ASSERT_EQ(
        seed.exec("UPDATE APP_Client SET net_hostname = '127.0.0.1', zydPort = ? WHERE " + column + " = ?",
                  {zydb::DbValue::ofInt(port), std::move(client)}),
        0);
}

// Starts the service over the (already opened) Hubmaster database; the media agent answers the router
// of this Hubmaster, and this side reaches the media agent `client` at `agentPort`.
inline void startService(const hubdemo::DemoWorld& world, const std::string& client, int agentPort,
                         int& routerPort) {
    // This process plays the Hubmaster: its sessions carry the Hubmaster's client name, as the host's do.
    TZyNetOptions net = zyNetOptions();
    ASSERT_EQ(ZYClient(ZYClient::hubmasterClientId()).getName(net.localClientName), 0);
    setZyNetOptions(net);
    ASSERT_EQ(fastBrowseHMInitialize(), 1);
    workerEnds().install();
    // The router's thread starts this machine's listener on its way; started here first (its start then
    // finds it listening), the port is known as soon as the call returns.
    ASSERT_FALSE(CZydListener::machineListener()->start(zyNetOptions().listenPort).IsError());
    routerPort = g_poBrowseRouterThreadHM->getSessionServer()->GetPort();
    ASSERT_GT(routerPort, 0);
    ASSERT_NO_FATAL_FAILURE(pointClientAt(
        world, "id", zydb::DbValue::ofInt(static_cast<long long>(ZYClient::hubmasterClientId())),
        routerPort));
    CZyNetDirectory::instance().registerClient(client, "127.0.0.1", agentPort);
}

// Undoes startService and closes the Hubmaster database.
inline void stopService(const std::string& client) {
    // Every browse that failed here told its caller why.
    EXPECT_EQ(failurefallback::count(), 0u) << "a failure was answered with the generic text";
    fastBrowseHMCleanUp();
    TZyNetOptions net = zyNetOptions();
    net.localClientName.clear();
    setZyNetOptions(net);
    CZyNetDirectory::instance().unregisterClient(client);
    zydb::CDbEnv::close();
}

// A find pattern of two queries: a page of 100 items after skipping 50 (named `pageId` when given), and
// the count of all items as "count-of-big".
inline void pageAndCountPattern(const char* pageId, std::string& pattern) {
    databrowse::Querylist list;
    databrowse::Query page;
    page.setint64(databrowse::Query::f::type, 0);
    if (pageId != nullptr) page.setstring(databrowse::Query::f::queryId, pageId);
    databrowse::Msg6 paging;
    paging.setint64(databrowse::Msg6::f::pageSize, 100);
    paging.setint64(databrowse::Msg6::f::skipNode, 50);
    page.getObjectAccessor(databrowse::Query::f::dataParam, true)
        ->setObjectAccessor(paging, databrowse::DataParam::f::paging);
    databrowse::Query count;
    count.setstring(databrowse::Query::f::queryId, "count-of-big");
    count.getObjectAccessor(databrowse::Query::f::queryOptions, true)
        ->setint64(databrowse::Msg70::f::queryType, 4);
    list.setlistobject(databrowse::Querylist::f::queries, {page, count});
    ASSERT_EQ(list.serialize(pattern), 0);
}

// The whole chain over a fresh world: createWorld, startAgent with the options `agentOptions` gives
// (asked once the folder exists), the Hubmaster database opened, startService.
inline void startChain(const std::string& name, const std::string& client,
                       const std::function<std::vector<std::string>()>& agentOptions,
                       std::filesystem::path& folder, hubdemo::DemoWorld*& world,
                       hubtest::CChildProcess*& agent, int& agentPort, int& routerPort) {
    ASSERT_NO_FATAL_FAILURE(createWorld(name, folder, world));
    ASSERT_NO_FATAL_FAILURE(startAgent(folder, *world, client, agentOptions(), agent, agentPort));
    std::string error;
    ASSERT_EQ(hubdb::openHubDatabase(world->databasePath, &error), 0) << error;
    ASSERT_NO_FATAL_FAILURE(startService(*world, client, agentPort, routerPort));
}

// Undoes startChain (or the same pieces started one by one).
inline void stopChain(const std::string& client, std::filesystem::path& folder, hubdemo::DemoWorld*& world,
                      hubtest::CChildProcess*& agent) {
    stopService(client);
    delete agent;
    agent = nullptr;
    removeWorld(folder, world);
}

}  // namespace e2eworld
