// The console (tools/browse) against the demo world: the host program serving "BrowseRouter" and the
// media agent of client1's data as real processes; the console is run for each of its commands and its
// output, exit status and JSON are checked.
#include <gtest/gtest.h>

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "platform/hubdemo/hubdemo.h"
#include "tests/platform/db/tempdir.h"
#include "tests/support/process/childprocess.h"
#include "tests/support/process/consolerun.h"
#include "tests/support/sqlite/testsql.h"
#include "tools/browse/consoleoptions.h"

namespace {

using namespace std::chrono_literals;

using TRun = hubtest::TConsoleRun;

class BrowseConsole : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s = new TShared;
        std::string error;
        ASSERT_TRUE(hubdemo::createDemoWorld(s->dir.file("demo"), s->world, &error)) << error;
        const char* binaries = std::getenv("HUB_BINARY_DIR");
        s->binaries = binaries ? binaries : ".";
        s->agent = std::make_unique<hubtest::CChildProcess>(
            "tools/mediaagent/mediaagent",
            std::vector<std::string>{"--hub", s->world.databasePath, "--client", "mediaagent1", "--port", "0",
                                     "--index", s->dir.file("agent.items.db"), "--log", s->dir.path(),
                                     "--index-service", "started", "--registry", s->world.registryPath});
        ASSERT_TRUE(s->agent->waitFor("listening on 127.0.0.1:", 60s)) << s->agent->output();
        // Requests name the media agent's port as the Hubmaster records it.
        sql("UPDATE APP_Client SET zydPort = " +
            std::to_string(s->agent->numberAfter("listening on 127.0.0.1:")) +
            ", net_hostname = '127.0.0.1' WHERE name = 'mediaagent1'");
        // The classic media agent of client3's data, browsed by the Hubmaster itself.
        s->legacyAgent = std::make_unique<hubtest::CChildProcess>(
            "tools/mediaagent/mediaagent",
            std::vector<std::string>{"--hub", s->world.databasePath, "--client", "mediaagent3", "--port", "0",
                                     "--index", s->dir.file("legacy.items.db"), "--log", s->dir.path(),
                                     "--registry", s->world.registryPath});
        ASSERT_TRUE(s->legacyAgent->waitFor("listening on 127.0.0.1:", 60s)) << s->legacyAgent->output();
        sql("UPDATE APP_Client SET zydPort = " +
            std::to_string(s->legacyAgent->numberAfter("listening on 127.0.0.1:")) +
            ", net_hostname = '127.0.0.1' WHERE name = 'mediaagent3'");
        s->host = std::make_unique<hubtest::CChildProcess>(
            "tools/hubmaster/hubmaster",
            std::vector<std::string>{"--data", s->dir.file("demo"), "--lib",
                                     s->binaries + "/libfastbrowsehm.so", "--port", "0"});
        ASSERT_TRUE(s->host->waitFor("BrowseRouter listening on", 60s)) << s->host->output();
        // Media agents answer the Hubmaster's own browses at its recorded address.
        sql("UPDATE APP_Client SET zydPort = " +
            std::to_string(s->host->numberAfter("BrowseRouter listening on 127.0.0.1:")) +
            ", net_hostname = '127.0.0.1' WHERE name = 'hubmaster'");
    }
    static void TearDownTestSuite() {
        delete s;
        s = nullptr;
    }

    static void sql(const std::string& statement) {
        EXPECT_EQ(hubtest::execSql(s->world.databasePath, statement), "");
    }

    // Runs the console with the demo's connection options and `args`.
    static TRun browse(const std::string& args, const std::string& who = "--user admin") {
        const std::string errFile = s->dir.file("stderr");
        const std::string command = s->binaries + "/tools/browse/browse " + args + " --data " +
                                    s->dir.file("demo") + " " + who +
                                    " --ma-host 127.0.0.1 --quiet --timeout 30";
        return hubtest::runConsole(command, errFile);
    }
    static std::string fileSubclient() {
        return "--client client1 --subclient " + std::to_string(s->world.fileSubclient);
    }
    static std::string lastDay() {
        return std::to_string(s->world.firstBackupTime + 86400LL * s->world.backupDays);
    }
    static size_t lines(const std::string& text, const std::string& part) {
        size_t n = 0;
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);) n += line.find(part) != std::string::npos;
        return n;
    }

    struct TShared {
        TempDir dir;
        hubdemo::DemoWorld world;
        std::string binaries;
        std::unique_ptr<hubtest::CChildProcess> agent, legacyAgent, host;
    };
    static TShared* s;
};
BrowseConsole::TShared* BrowseConsole::s = nullptr;

TEST_F(BrowseConsole, RootAndDirectoryAtAPointInTime) {
    TRun root = browse("list " + fileSubclient() + " --at " + lastDay());
    ASSERT_EQ(root.status, 0) << root.err << root.out;
    EXPECT_EQ(lines(root.out, "TYPE"), 1u);
    EXPECT_GE(lines(root.out, "dir "), 1u);
    EXPECT_EQ(lines(root.out, " /d00"), 1u);

    TRun directory = browse("list " + fileSubclient() + " --path /d00/d01/d00 --at " + lastDay());
    ASSERT_EQ(directory.status, 0) << directory.err;
    EXPECT_GT(lines(directory.out, ".dat"), 0u);
    EXPECT_EQ(lines(directory.out, "/d00/d01/d00/"), lines(directory.out, "file "));
}

TEST_F(BrowseConsole, VersionsPagesAndCounts) {
    const std::string dir = fileSubclient() + " --path /d00/d01/d00";
    TRun counted = browse("count " + dir + " --at " + lastDay());
    ASSERT_EQ(counted.status, 0) << counted.err;
    const size_t at = counted.out.find("count count: ");
    ASSERT_NE(at, std::string::npos) << counted.out;
    const long total = std::atol(counted.out.c_str() + at + 13);
    EXPECT_GT(total, 2);

    TRun page = browse("list " + dir + " --at " + lastDay() + " --page-size 2 --page 1");
    ASSERT_EQ(page.status, 0) << page.err;
    EXPECT_EQ(lines(page.out, "file "), 2u);
    EXPECT_NE(page.out.find("2 items"), std::string::npos);

    TRun versions = browse("versions " + dir + " --from " + std::to_string(s->world.firstBackupTime) +
                           " --to " + lastDay());
    ASSERT_EQ(versions.status, 0) << versions.err;
    // Every version over the whole range: more than the items standing at its end.
    EXPECT_GT(static_cast<long>(lines(versions.out, "file ")), total);
}

TEST_F(BrowseConsole, FindInABackupSetAndAcrossClients) {
    TRun inSet = browse("find " + fileSubclient() + " --path /d00/d01/d00 --name 'f*' --at " + lastDay());
    ASSERT_EQ(inSet.status, 0) << inSet.err;
    EXPECT_GT(lines(inSet.out, "/f"), 0u);
    EXPECT_EQ(lines(inSet.out, "dir "), 0u);

    TRun across = browse("find --clients client1,client2 --path /d00/d01/d00 --name 'f*' --at " + lastDay());
    ASSERT_EQ(across.status, 0) << across.err;
    EXPECT_GT(lines(across.out, "/f"), 0u);

    // A caller at service pack 22 or later gets the signed form, which the media agent checks before it
    // answers (the signed request names no media agent: the console is told which).
    sql("INSERT INTO mediaAgent (clientId, versionText, idxCacheSoftState) SELECT id, '11.0 SP24', 0 FROM "
        "APP_Client WHERE name = 'client2'");
    TRun signedFind = browse(
        "find --clients client1 --caller client2 --ma mediaagent1 --path /d00/d01/d00 "
        "--name 'f*' --at " +
        lastDay());
    ASSERT_EQ(signedFind.status, 0) << signedFind.err;
    EXPECT_GT(lines(signedFind.out, "/f"), 0u) << signedFind.out;

    TRun nothing = browse("find --clients no-such-client --name 'f*'");
    EXPECT_EQ(nothing.status, 1);
    EXPECT_NE(nothing.err.find("Nothing to Find"), std::string::npos) << nothing.err;
}

TEST_F(BrowseConsole, FindLooksInTheWholeTreeBelowItsPath) {
    TRun whole = browse("find " + fileSubclient() + " --name 'f0000020*' --at " + lastDay());
    ASSERT_EQ(whole.status, 0) << whole.err;
    // Files three directories down, and no directory, from the root of the backup set.
    EXPECT_GT(lines(whole.out, " /d00/d01/d00/f0000020"), 0u) << whole.out;
    EXPECT_EQ(lines(whole.out, "dir "), 0u);
    TRun below = browse("find " + fileSubclient() + " --path /d00/d01 --name 'f0000020*' --at " + lastDay());
    ASSERT_EQ(below.status, 0) << below.err;
    EXPECT_EQ(below.out, whole.out);
}

TEST_F(BrowseConsole, ThroughTheHubmasterAnOlderMediaAgentOverTheClassicProtocol) {
    const std::string legacy =
        "--client client3 --subclient " + std::to_string(s->world.legacy.subclient) + " --via hubmaster";
    const std::string day = std::to_string(s->world.legacy.firstBackupTime + 86400LL * 11);
    TRun root = browse("list " + legacy + " --at " + day);
    ASSERT_EQ(root.status, 0) << root.err << root.out;
    const size_t entries = lines(root.out, " /d");
    EXPECT_GE(entries, 2u) << root.out;

    // The second page of one is the second line of the listing.
    TRun page = browse("list " + legacy + " --at " + day + " --page-size 1 --page 1");
    ASSERT_EQ(page.status, 0) << page.err;
    EXPECT_NE(page.out.find("1 item\n"), std::string::npos) << page.out;
    std::istringstream listed(root.out);
    std::string header, first, second;
    std::getline(listed, header);
    std::getline(listed, first);
    std::getline(listed, second);
    EXPECT_NE(page.out.find(second), std::string::npos) << page.out;

    TRun versions = browse("versions " + legacy + " --from " +
                           std::to_string(s->world.legacy.firstBackupTime) + " --to " + day);
    ASSERT_EQ(versions.status, 0) << versions.err;
    EXPECT_GT(lines(versions.out, " /d"), entries);

    // Who asks is the token's user: alice may not browse client3, a forged token nothing.
    TRun alice = browse("list " + legacy + " --at " + day, "--user alice");
    EXPECT_EQ(alice.status, 1);
    EXPECT_NE(alice.err.find("Browse access denied"), std::string::npos) << alice.err;
    TRun forged = browse("list " + legacy + " --at " + day, "--token ZT1.forged.token");
    EXPECT_EQ(forged.status, 1);
    EXPECT_NE(forged.err.find("Failed to authenticate the usertoken"), std::string::npos) << forged.err;
    TRun count = browse("count " + legacy + " --at " + day);
    EXPECT_EQ(count.status, 2);

    // An agent with an index service answers the Hubmaster through its router: the same items as the
    // console gets by asking the agent itself.
    const std::string dir = "list " + fileSubclient() + " --path /d00/d01/d00 --at " + lastDay();
    TRun direct = browse(dir);
    TRun hosted = browse(dir + " --via hubmaster");
    ASSERT_EQ(hosted.status, 0) << hosted.err;
    EXPECT_GT(lines(hosted.out, "file "), 0u);
    EXPECT_EQ(hosted.out, direct.out);
}

TEST_F(BrowseConsole, AnEndUserErasesHerOwnFilesOnly) {
    const std::string file = " --path /d00/d01/d00/f00000201.dat=1000 --at " + lastDay();
    TRun own = browse("erase " + fileSubclient() + file, "--user alice");
    ASSERT_EQ(own.status, 0) << own.err << own.out;
    EXPECT_NE(own.out.find(" /d00/d01/d00/f00000201.dat"), std::string::npos) << own.out;
    EXPECT_NE(own.out.find("The Hubmaster created the erase task for 1 path(s)"), std::string::npos);
    EXPECT_EQ(hubtest::queryInt(s->world.databasePath,
                                "SELECT COUNT(*) FROM TM_CreatedSubTaskPath WHERE path = "
                                "'/d00/d01/d00/f00000201.dat'"),
              1);

    const long long client2Subclient =
        hubtest::queryInt(s->world.databasePath, "SELECT id FROM APP_Application WHERE clientId = " +
                                                     std::to_string(s->world.otherFileClient) + " LIMIT 1");
    TRun other = browse("erase --client client2 --subclient " + std::to_string(client2Subclient) + file,
                        "--user alice");
    EXPECT_EQ(other.status, 1);
    EXPECT_EQ(hubtest::queryInt(s->world.databasePath, "SELECT COUNT(*) FROM TM_CreatedSubTaskPath"), 1);
}

TEST_F(BrowseConsole, FindAcrossClientsShowsOnlyWhatTheUserMayBrowse) {
    const std::string what = " --path /d00/d01/d00 --name 'f*' --at " + lastDay();
    TRun both = browse("find --clients client1,client2" + what);
    TRun client1 = browse("find --clients client1" + what);
    TRun alice = browse("find --clients client1,client2" + what, "--user alice");
    ASSERT_EQ(both.status, 0) << both.err;
    ASSERT_EQ(client1.status, 0) << client1.err;
    ASSERT_EQ(alice.status, 0) << alice.err;
    // alice may browse client1 only: she is told about client1's items and none of client2's, and that
    // client2 was left out.
    EXPECT_GT(lines(both.out, "/f"), lines(client1.out, "/f"));
    EXPECT_EQ(
        alice.out,
        client1.out + "warning: You are not authorised to browse client [client2]; it is not searched\n");

    TRun stranger = browse("find --clients client1,client2" + what, "--user vmowner");
    EXPECT_EQ(stranger.status, 1);
    EXPECT_NE(stranger.err.find("Nothing to Find"), std::string::npos) << stranger.err;
}

TEST_F(BrowseConsole, MediaStopAndFailures) {
    TRun media = browse("media " + fileSubclient() + " --at " + lastDay());
    ASSERT_EQ(media.status, 0) << media.err;
    EXPECT_NE(media.out.find("archive files,"), std::string::npos) << media.out;

    TRun stop = browse("stop --session console-test-session");
    EXPECT_EQ(stop.status, 0) << stop.err;
    EXPECT_NE(stop.out.find("stop requested for session console-test-session"), std::string::npos);

    // The service's own error text, and a non-zero exit.
    TRun refused = browse("list " + fileSubclient(), "--token ZT1.forged.token");
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("Error: Failed to authenticate the usertoken..."), std::string::npos)
        << refused.err;
    TRun erase = browse("erase " + fileSubclient() + " --path /d00/d01/d00/f00000200.dat=100");
    EXPECT_EQ(erase.status, 1);
    EXPECT_FALSE(erase.err.empty());

    TRun usage = browse("versions " + fileSubclient());
    EXPECT_EQ(usage.status, 2);
    EXPECT_NE(usage.err.find("--from and --to"), std::string::npos);
}

TEST_F(BrowseConsole, JsonParses) {
    TRun listed = browse("list " + fileSubclient() + " --path /d00/d01/d00 --at " + lastDay() + " --json");
    ASSERT_EQ(listed.status, 0) << listed.err;
    boost::property_tree::ptree tree;
    std::istringstream in(listed.out);
    ASSERT_NO_THROW(boost::property_tree::read_json(in, tree)) << listed.out;
    const auto& items = tree.get_child("items");
    ASSERT_FALSE(items.empty());
    EXPECT_EQ(items.front().second.get<std::string>("type"), "file");
    EXPECT_GT(items.front().second.get<long long>("size"), 0);

    TRun failed = browse("list " + fileSubclient() + " --json", "--token ZT1.forged.token");
    std::istringstream failedIn(failed.out);
    ASSERT_NO_THROW(boost::property_tree::read_json(failedIn, tree)) << failed.out;
    EXPECT_EQ(tree.get<std::string>("error.message"), "Error: Failed to authenticate the usertoken...");
}

TEST(BrowseConsoleArguments, TimesAndRequests) {
    long long t = 0;
    ASSERT_TRUE(parseConsoleTime("2023-11-25", t));
    EXPECT_EQ(t, 1700870400);
    ASSERT_TRUE(parseConsoleTime("2023-11-25 01:02:03", t));
    EXPECT_EQ(t, 1700874123);
    EXPECT_FALSE(parseConsoleTime("yesterday", t));

    std::vector<std::string> words = {"browse", "erase",  "--client",    "client1", "--subclient",
                                      "7",      "--path", "/a/b.txt=42", "--token", "T"};
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    TConsoleOptions options;
    std::string error;
    ASSERT_TRUE(parseConsoleArgs(static_cast<int>(argv.size()), argv.data(), options, error)) << error;
    databrowse::BrowseRequest request = buildConsoleRequest(options);
    EXPECT_EQ(request.getint64(databrowse::BrowseRequest::f::opType), 7);
    EXPECT_EQ(request.getstring(databrowse::BrowseRequest::f::c_763531), "T");
    auto* paths = request.getlistobject(databrowse::BrowseRequest::f::paths, false);
    ASSERT_TRUE(paths && paths->size() == 1u);
    EXPECT_EQ(paths->front().getstring(databrowse::BrowsePath::f::path), "/a/b.txt");
    CNMessageBase* detail = paths->front().getObjectAccessor(databrowse::BrowsePath::f::c_afda0b, false);
    ASSERT_TRUE(detail);
    EXPECT_EQ(detail->getint64(databrowse::Msg2::f::itemSize), 42);
    EXPECT_EQ(detail->getint64(databrowse::Msg2::f::at1_1), 7);
}

}  // namespace
