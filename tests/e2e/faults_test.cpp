// Whole-system faults with the real processes on loopback: the host program serving "BrowseRouter", a
// media agent answering from a large directory one item per answer, and consoles. A media agent killed
// mid-listing, callers that disconnect in the middle of their request, and the host stopped with
// browses in flight: every console ends within its limit with an answer or the error, and the host
// still serves and then stops with its clean-up done.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/config/zyplatforminfo.h"
#include "platform/hubdemo/hubdemo.h"
#include "platform/net/zynetwork.h"
#include "tests/platform/db/tempdir.h"
#include "tests/support/process/childprocess.h"
#include "tests/support/process/demosystem.h"
#include "tests/support/sqlite/testsql.h"
#include "tools/browse/consoleoptions.h"

namespace {

using namespace std::chrono_literals;
const char* const kListening = "listening on 127.0.0.1:";
const char* const kRouterListening = "BrowseRouter listening on 127.0.0.1:";
// The media agent's progress lines (--progress 1): what the tests wait on instead of time.
const char* const kServedHundred = "served item 100\n";
const char* const kServedOne = "served item 1\n";

class SystemFaults : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(hubdemo::createDemoWorld(m_dir.file("demo"), m_world, &error)) << error;
        // The faults need client1's file system only: the media agent holds no other subclient, so
        // that its item index (every subclient at the size below) is built in seconds, not minutes under
        // the sanitizers, and the listings start soon.
        ASSERT_EQ(hubtest::execSql(
                      m_world.databasePath,
                      "DELETE FROM archFileCopy WHERE mediaAgentId = " + std::to_string(m_world.mediaAgent) +
                          " AND EXISTS (SELECT 1 FROM archFile f WHERE f.id = archFileCopy.archFileId"
                          " AND f.kelmarchId = archFileCopy.kelmarchId AND f.appId <> " +
                          std::to_string(m_world.fileSubclient) + ")"),
                  "");
        m_binaries = hubtest::binaryDir();
        ASSERT_NO_FATAL_FAILURE(startAgent({}));
        m_host = std::make_unique<hubtest::CChildProcess>(
            "tools/hubmaster/hubmaster",
            std::vector<std::string>{"--data", m_dir.file("demo"), "--lib",
                                     m_binaries + "/libfastbrowsehm.so", "--port", "0"});
        ASSERT_TRUE(m_host->waitFor(kRouterListening, 60s)) << m_host->output();
        // Where the media agent answers the host's own browses.
        hubtest::pointClientAt(m_world, "hubmaster", m_host->numberAfter(kRouterListening));
    }

    // The media agent (its item index made by the first start), with the test's `extra` options.
    void startAgent(const std::vector<std::string>& extra) {
        // Thousands of items in /big, each in an answer of its own: a listing lasts long enough to be cut.
        std::vector<std::string> args{"--hub",           m_world.databasePath,
                                      "--client",        "mediaagent1",
                                      "--port",          "0",
                                      "--index",         m_dir.file("agent.items.db"),
                                      "--files",         "60000",
                                      "--big-dir",       "50000",
                                      "--batch",         "1",
                                      "--log",           m_dir.path(),
                                      "--index-service", "started",
                                      "--registry",      m_world.registryPath,
                                      "--progress",      "1"};
        args.insert(args.end(), extra.begin(), extra.end());
        m_agent = std::make_unique<hubtest::CChildProcess>("tools/mediaagent/mediaagent", args);
        ASSERT_TRUE(m_agent->waitFor(kListening, 120s)) << m_agent->output();
        hubtest::pointClientAt(m_world, "mediaagent1", m_agent->numberAfter(kListening));
    }

    // A console listing `path` of client1's file-system subclient at the last day of the demo, by
    // BrowseRouter's road or with `extra` options.
    std::unique_ptr<hubtest::CChildProcess> console(const std::string& path,
                                                    const std::vector<std::string>& extra = {}) {
        const std::string lastDay = std::to_string(m_world.firstBackupTime + 86400LL * m_world.backupDays);
        std::vector<std::string> args{"list",
                                      "--client",
                                      "client1",
                                      "--subclient",
                                      std::to_string(m_world.fileSubclient),
                                      "--path",
                                      path,
                                      "--at",
                                      lastDay,
                                      "--data",
                                      m_dir.file("demo"),
                                      "--user",
                                      "admin",
                                      "--ma-host",
                                      "127.0.0.1",
                                      "--quiet",
                                      "--timeout",
                                      "20"};
        args.insert(args.end(), extra.begin(), extra.end());
        return std::make_unique<hubtest::CChildProcess>("tools/browse/browse", args);
    }

    // Reads the console's output until it exits; false when it is still running after `limit`.
    static bool ends(hubtest::CChildProcess& process, std::chrono::seconds limit) {
        return process.waitExit(limit);
    }

    // The host stops on SIGTERM with its clean-up done.
    void hostStopsCleanly() {
        EXPECT_EQ(m_host->stop("hubmaster: stopped"), 0) << m_host->output();
        EXPECT_NE(m_host->output().find("stopped cleanly"), std::string::npos) << m_host->output();
    }

    TempDir m_dir;
    hubdemo::DemoWorld m_world;
    std::string m_binaries;
    std::unique_ptr<hubtest::CChildProcess> m_agent, m_host;
};

}  // namespace

TEST_F(SystemFaults, MediaAgentKilledMidListing) {
    auto listing = console("/big");
    ASSERT_TRUE(m_agent->waitFor(kServedHundred, 60s)) << m_agent->output() << listing->output();
    ASSERT_TRUE(listing->alive()) << "the listing must still be running when its media agent goes: "
                                  << listing->output();
    m_agent->signal(SIGKILL);
    ASSERT_TRUE(ends(*listing, 40s)) << "a console left waiting on a dead media agent";
    EXPECT_NE(listing->output().find("browse: media agent [mediaagent1] stopped answering"),
              std::string::npos)
        << listing->output().substr(0, 400);

    // The host is not hurt: it still prepares requests (the console then finds the agent gone) and stops.
    auto after = console("/");
    ASSERT_TRUE(ends(*after, 40s));
    EXPECT_NE(after->output().find("cannot reach the index service of media agent [mediaagent1]"),
              std::string::npos)
        << after->output();
    // A release-11 agent that is down is no older agent: no hint to take the Hubmaster's road.
    EXPECT_EQ(after->output().find("older media agent"), std::string::npos) << after->output();
    hostStopsCleanly();
}

// Killed in the middle of its answer to the Hubmaster's worker, the media agent leaves the browse without
// an end: the host ends it with an error that says so once the agent has had its time to go on on
// another connection (ten seconds), well within the console's --timeout, not at the browse's idle limit.
TEST_F(SystemFaults, MediaAgentKilledMidAnswerToTheHubmaster) {
    auto listing = console("/big", {"--via", "hubmaster"});
    ASSERT_TRUE(m_agent->waitFor(kServedHundred, 60s)) << m_agent->output() << listing->output();
    ASSERT_TRUE(listing->alive()) << "the listing must still be running when its media agent goes: "
                                  << listing->output();
    m_agent->signal(SIGKILL);
    ASSERT_TRUE(ends(*listing, 40s)) << "a console left waiting on a dead media agent";
    EXPECT_NE(
        listing->output().find("media agent [mediaagent1] closed the connection it answered on before the "
                               "end of its answer"),
        std::string::npos)
        << listing->output().substr(0, 400);
    EXPECT_EQ(listing->output().find("--timeout"), std::string::npos) << listing->output().substr(0, 400);
    hostStopsCleanly();
}

// A media agent that answers the Hubmaster's worker over a fresh connection every two responses, each
// one it leaves ended: the listing reaches the console whole, the same as from one connection.
TEST_F(SystemFaults, AnAnswerSplitOverManyConnectionsReachesTheConsoleWhole) {
    auto whole = console("/", {"--via", "hubmaster"});
    ASSERT_TRUE(ends(*whole, 60s));
    ASSERT_NE(whole->output().find("/d00"), std::string::npos) << whole->output();
    EXPECT_EQ(m_agent->stop("mediaagent: stopped"), 0) << m_agent->output();
    ASSERT_NO_FATAL_FAILURE(startAgent({"--reconnect-every", "2"}));
    auto split = console("/", {"--via", "hubmaster"});
    ASSERT_TRUE(ends(*split, 60s));
    EXPECT_EQ(split->output(), whole->output());
    hostStopsCleanly();
    // It did go on on other connections: the media agent says so each time it leaves one.
    std::ifstream log(m_dir.file("mediaagent1.log"));
    const std::string logged{std::istreambuf_iterator<char>(log), std::istreambuf_iterator<char>()};
    EXPECT_NE(logged.find("the answer goes on on a fresh connection"), std::string::npos);
}

TEST_F(SystemFaults, CallersDisconnectingMidRequest) {
    TConsoleOptions options;
    options.command = EConsoleCommand::kList;
    options.client = "client1";
    options.subclientId = m_world.fileSubclient;
    options.paths = {"/big"};
    TZyNetAddress router{"127.0.0.1", static_cast<int>(m_host->numberAfter(kRouterListening))};
    for (int i = 0; i < 16; ++i) {
        CZyNetwork session;
        bool timedOut = false;
        ASSERT_FALSE(session.Connect(router, "BrowseRouter", "client1", 10, timedOut).IsError());
        databrowse::BrowseRequest request = buildConsoleRequest(options);
        // Half leave as soon as the request is out, half right after connecting.
        if (i % 2 == 0) {
            EXPECT_FALSE(session.SendXMLMessage(request, 0, 10, timedOut).IsError());
        }
        ignoreResult(session.Disconnect(1, timedOut), "callers leaving as they like is the fault under test");
    }
    auto after = console("/");
    ASSERT_TRUE(ends(*after, 40s));
    EXPECT_NE(after->output().find("/d00"), std::string::npos) << after->output();
    hostStopsCleanly();
}

TEST_F(SystemFaults, HostStoppedWithBrowsesInFlight) {
    std::vector<std::unique_ptr<hubtest::CChildProcess>> consoles;
    for (int i = 0; i < 6; ++i) consoles.push_back(console(i % 3 ? "/" : "/big"));
    // In flight: the media agent has begun to answer.
    ASSERT_TRUE(m_agent->waitFor(kServedOne, 60s)) << m_agent->output();
    hostStopsCleanly();
    for (auto& c : consoles) {
        ASSERT_TRUE(ends(*c, 60s)) << "a console left waiting on a stopped host";
        // Either the browse got through before the stop (its items, or its media agent's), or the error.
        const std::string& out = c->output();
        EXPECT_TRUE(out.find(" items\n") != std::string::npos || out.find("browse: ") != std::string::npos)
            << out.substr(0, 400);
    }
}

namespace {

// A console browsing the classic media agent through the host's own service when the host is told to
// stop: the host waits for the browse (which the agent's silence ends at the idle limit), the console
// gets the error, and only then is the service cleaned up.
TEST_F(SystemFaults, HostStoppedWhileAConsoleBrowsesThroughIt) {
    hubtest::CChildProcess silent(
        "tools/mediaagent/mediaagent",
        std::vector<std::string>{"--hub", m_world.databasePath, "--client", "mediaagent3", "--port", "0",
                                 "--index", m_dir.file("legacy.items.db"), "--log", m_dir.path(), "--fault",
                                 "silent", "--fault-after", "0", "--registry", m_world.registryPath,
                                 "--progress", "1"});
    ASSERT_TRUE(silent.waitFor(kListening, 120s)) << silent.output();
    EXPECT_EQ(
        hubtest::execSql(m_world.databasePath,
                         "UPDATE APP_Client SET zydPort = " + std::to_string(silent.numberAfter(kListening)) +
                             ", net_hostname = '127.0.0.1' WHERE name = 'mediaagent3'"),
        "");
    ASSERT_TRUE(ZYPlatformInfo::setNumber("EventManager", "nFastBrowseIdleLimitSec", 3));
    hubtest::CChildProcess browse(
        "tools/browse/browse",
        std::vector<std::string>{
            "list", "--client", "client3", "--subclient", std::to_string(m_world.legacy.subclient), "--at",
            std::to_string(m_world.legacy.firstBackupTime + 86400LL * 11), "--via", "hubmaster", "--data",
            m_dir.file("demo"), "--user", "admin", "--quiet", "--timeout", "30"});
    ASSERT_TRUE(silent.waitFor("fault after 0 items", 60s)) << silent.output() << browse.output();
    ASSERT_TRUE(browse.alive()) << "the browse must still wait on its silent media agent: "
                                << browse.output();
    hostStopsCleanly();
    ASSERT_TRUE(ends(browse, 40s)) << "a console left waiting on a stopping host";
    EXPECT_NE(browse.output().find("browse: Media agent [mediaagent3] sent nothing for"), std::string::npos)
        << browse.output();
}

}  // namespace
