// The console (tools/browse) against the demo world: the host program serving "BrowseRouter" and the
// media agent of client1's data as real processes; the console is run for each of its commands and its
// output, exit status and JSON are checked.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
// The property tree's optional values trip a false maybe-uninitialized warning in sanitized builds,
// inside the library's own headers.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
// This Boost's JSON parser of the property tree includes its old bind header and uses the placeholders
// in the global namespace, which that header declares only with a deprecation message at every build
// unless they are asked for: ask for them, as the parser needs them.
#define BOOST_BIND_GLOBAL_PLACEHOLDERS
#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/hubdemo/hubdemo.h"
#include "platform/security/zetatoken.h"
#include "platform/threads/hubclock.h"
#include "tests/platform/db/tempdir.h"
#include "tests/support/process/childprocess.h"
#include "tests/support/process/consolerun.h"
#include "tests/support/process/demosystem.h"
#include "tests/support/sqlite/testsql.h"
#include "tests/support/tls/testpki.h"
#include "tests/tools/browse/shownlines.h"
#include "tools/browse/consoleoptions.h"
#include "tools/browse/consoleoutput.h"
#include "tools/browse/consolesession.h"

namespace {

using namespace std::chrono_literals;

using TRun = hubtest::TConsoleRun;
// mediaagent1 holds the answers of sessions named so after their first items, until they are stopped.
constexpr const char* kHeldSessions = "console-held-";

class BrowseConsole : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s = new TShared;
        ASSERT_EQ(hubtest::demoWorldIn(s->dir.file("demo"), s->world), "");
        s->binaries = hubtest::binaryDir();
        s->agent =
            hubtest::startDemoAgent(s->world, "mediaagent1", s->dir.file("agent.items.db"), s->dir.path(),
                                    {"--index-service", "started", "--hold-sessions", kHeldSessions});
        // The classic media agent of client3's data, browsed by the Hubmaster itself.
        s->legacyAgent =
            hubtest::startDemoAgent(s->world, "mediaagent3", s->dir.file("legacy.items.db"), s->dir.path());
        int routerPort = 0;
        s->host = hubtest::startDemoHost(s->world, s->dir.file("demo"), routerPort);
    }
    static void TearDownTestSuite() {
        hubtest::expectEveryFailureSaidWhy(s->dir.file("demo"));
        delete s;
        s = nullptr;
    }

    static void sql(const std::string& statement) {
        EXPECT_EQ(hubtest::execSql(s->world.databasePath, statement), "");
    }

    // Runs the console with the demo's connection options and `args`.
    static TRun browse(const std::string& args, const std::string& who = "--user admin") {
        return run(s->binaries + "/tools/browse/browse " + args + " --data " + s->dir.file("demo") + " " +
                   who + " --ma-host 127.0.0.1 --quiet --timeout 30");
    }
    // Runs a command line of the build's programs as it is (no connection options added).
    static TRun shell(const std::string& command) { return run("cd " + s->binaries + " && " + command); }
    static TRun run(const std::string& command) {
        const std::string errFile = s->dir.file("stderr");
        return hubtest::runConsole(command, errFile);
    }
    static boost::property_tree::ptree json(const TRun& run) {
        boost::property_tree::ptree tree;
        std::istringstream in(run.out);
        try {
            boost::property_tree::read_json(in, tree);
        } catch (const std::exception& e) {
            ADD_FAILURE() << e.what() << ": " << run.out;
        }
        return tree;
    }
    static long long bookedErasePaths() {
        return hubtest::queryInt(s->world.databasePath, "SELECT COUNT(*) FROM TM_CreatedSubTaskPath");
    }
    static std::string fileSubclient() {
        return "--client client1 --subclient " + std::to_string(s->world.fileSubclient);
    }
    static std::string lastDay() {
        return std::to_string(s->world.firstBackupTime + 86400LL * s->world.backupDays);
    }
    // The backed-up size of a file of client1 as of the last day, from its folder's listing.
    static long long sizeOf(const std::string& path) {
        const std::string folder = path.substr(0, path.rfind('/'));
        TRun listed =
            browse("list " + fileSubclient() + " --path " + folder + " --at " + lastDay() + " --json");
        boost::property_tree::ptree tree;
        std::istringstream in(listed.out);
        boost::property_tree::read_json(in, tree);
        for (const auto& [key, item] : tree.get_child("items"))
            if (item.get<std::string>("path") == path) return item.get<long long>("size");
        ADD_FAILURE() << path << " not listed: " << listed.out;
        return -1;
    }
    // An administrator's token of the Hubmaster's own key that expired an hour ago ("" when none can be
    // made).
    static std::string expiredToken() {
        std::string key, token;
        if (!CZetaToken::signingKey(key)) return "";
        TZetaTokenClaims claims;
        claims.userId = s->world.adminUser;
        claims.issuedAt = static_cast<long long>(std::time(nullptr)) - 7200;
        claims.expiresAt = claims.issuedAt + 3600;
        return CZetaToken::issue(key, claims, token) == CZetaToken::kValid ? token : "";
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
    // The label once: "count: N".
    ASSERT_EQ(counted.out.rfind("count: ", 0), 0u) << counted.out;
    const long total = std::atol(counted.out.c_str() + 7);
    EXPECT_GT(total, 2);

    // Pages count from 1; the answer says where the page lies in the whole listing.
    TRun first = browse("list " + dir + " --at " + lastDay() + " --page-size 2 --page 1");
    ASSERT_EQ(first.status, 0) << first.err;
    EXPECT_EQ(lines(first.out, "file "), 2u);
    const std::string pages = std::to_string((total + 1) / 2);
    EXPECT_NE(first.out.find("2 items (1-2 of " + std::to_string(total) + "), page 1 of " + pages),
              std::string::npos)
        << first.out;
    TRun second = browse("list " + dir + " --at " + lastDay() + " --page-size 2 --page 2");
    ASSERT_EQ(second.status, 0) << second.err;
    EXPECT_NE(second.out.find("(3-4 of " + std::to_string(total) + "), page 2 of " + pages),
              std::string::npos)
        << second.out;
    std::istringstream firstLines(first.out), secondLines(second.out);
    std::string header, a, b;
    std::getline(firstLines, header);
    std::getline(firstLines, a);
    std::getline(secondLines, header);
    std::getline(secondLines, b);
    EXPECT_NE(a, b);

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

    // A caller (proven by its certificate) at service pack 22 or later gets the signed form, which the media
    // agent checks before it answers (the signed request names no media agent: the console is told which).
    sql("INSERT INTO mediaAgent (clientId, versionText, idxCacheSoftState) SELECT id, '11.0 SP24', 0 FROM "
        "APP_Client WHERE name = 'client2'");
    TRun signedFind = browse("find --clients client1 --tls " + hubtest::testCredentialsFor("client2") +
                             " --ma mediaagent1 --path /d00/d01/d00 --name 'f*' --at " + lastDay());
    ASSERT_EQ(signedFind.status, 0) << signedFind.err;
    EXPECT_GT(lines(signedFind.out, "/f"), 0u) << signedFind.out;

    TRun nothing = browse("find --clients no-such-client --name 'f*'");
    EXPECT_EQ(nothing.status, 1);
    EXPECT_NE(nothing.err.find("Nothing to Find"), std::string::npos) << nothing.err;
}

// A find across clients searches each client once and pages its whole answer: the pages hold
// page-size items of it, each item once, with the range line of the whole.
TEST_F(BrowseConsole, FindAcrossClientsPagesTheWholeAnswerAndSearchesEachClientOnce) {
    const std::string what = " --path /d00/d01/d00 --name 'f*' --at " + lastDay() + " --json";
    auto itemsOf = [](const TRun& run) {
        std::vector<std::string> out;
        const auto tree = json(run);
        for (const auto& [key, item] : tree.get_child("items"))
            out.push_back(item.get<std::string>("client", "") + " " + item.get<std::string>("path", ""));
        return out;
    };
    TRun whole = browse("find --clients client1,client2" + what);
    ASSERT_EQ(whole.status, 0) << whole.err;
    const std::vector<std::string> all = itemsOf(whole);
    const std::set<std::string> distinct(all.begin(), all.end());
    ASSERT_EQ(distinct.size(), all.size()) << whole.out;
    TRun one = browse("find --clients client1" + what);
    const std::vector<std::string> client1 = itemsOf(one);
    ASSERT_GT(client1.size(), 1u);
    ASSERT_GT(all.size(), client1.size()) << "client2's items are found too";

    // Named twice: searched once.
    TRun twice = browse("find --clients client1,client1" + what);
    ASSERT_EQ(twice.status, 0) << twice.err;
    EXPECT_EQ(itemsOf(twice), client1);
    TRun thrice = browse("find --clients client1,client2,client1" + what);
    EXPECT_EQ(itemsOf(thrice), all);

    // Pages of a third of the whole (rounded up), and one more past the end.
    const size_t size = (all.size() + 2) / 3;
    std::vector<std::string> paged;
    for (size_t page = 1; page <= 4; ++page) {
        TRun run = browse("find --clients client1,client2" + what + " --page-size " + std::to_string(size) +
                          " --page " + std::to_string(page));
        ASSERT_EQ(run.status, 0) << run.err;
        const std::vector<std::string> items = itemsOf(run);
        const size_t first = (page - 1) * size;
        EXPECT_EQ(items.size(), first < all.size() ? std::min(size, all.size() - first) : 0u) << run.out;
        paged.insert(paged.end(), items.begin(), items.end());
    }
    EXPECT_EQ(paged, all);
    TRun table = browse("find --clients client1,client2 --path /d00/d01/d00 --name 'f*' --at " + lastDay() +
                        " --page-size " + std::to_string(size) + " --page 2");
    EXPECT_NE(table.out.find(std::to_string(size) + " items (" + std::to_string(size + 1) + "-" +
                             std::to_string(2 * size) + "), page 2"),
              std::string::npos)
        << table.out;
}

// Every client a find across clients leaves out is named with its reason, at any time: before a
// client's first backup it has none to search.
TEST_F(BrowseConsole, FindAcrossClientsNamesClientsWithoutBackups) {
    const std::string before = std::to_string(s->world.firstBackupTime - 1);
    const std::string what = " --path /d00/d01/d00 --name 'f*' --at " + before;
    const std::string none = "is not searched: it has no backup up to ";
    TRun alone = browse("find --clients client3" + what);
    EXPECT_EQ(alone.status, 1) << alone.out << alone.err;
    EXPECT_NE(alone.err.find("warning: Client [client3] " + none), std::string::npos) << alone.err;
    EXPECT_NE(alone.err.find("Nothing to Find"), std::string::npos) << alone.err;
    TRun both = browse("find --clients client1,client3" + what);
    EXPECT_NE(both.err.find("warning: Client [client1] " + none), std::string::npos) << both.err;
    EXPECT_NE(both.err.find("warning: Client [client3] " + none), std::string::npos) << both.err;
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

    // The second page of one (pages count from 1) is the second line of the listing (of a directory
    // without items of unknown type, whose resolution would page on its own).
    TRun below = browse("list " + legacy + " --path /d00 --at " + day);
    ASSERT_EQ(below.status, 0) << below.err;
    TRun page = browse("list " + legacy + " --path /d00 --at " + day + " --page-size 1 --page 2");
    ASSERT_EQ(page.status, 0) << page.err;
    EXPECT_NE(page.out.find("1 item (2-2), page 2\n"), std::string::npos) << page.out;
    std::istringstream listed(below.out);
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
    EXPECT_EQ(alice.status, kExitRefused);
    EXPECT_NE(alice.err.find("Browse access denied"), std::string::npos) << alice.err;
    TRun forged = browse("list " + legacy + " --at " + day, "--token ZT1.forged.token");
    EXPECT_EQ(forged.status, kExitRefused);
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

// The host loads the service library as the product does. The classic agent reports one directory at
// client3's root without its type: the Hubmaster resolves it with a browse of its own, whose items stand
// in its place, and the listing goes on to its one end. Versions through the Hubmaster are
// those backed up in the range (modified before it or not), a page at a time, and the JSON names each
// item by its name and its path.
TEST_F(BrowseConsole, ThroughTheHubmasterUnknownTypesResolvedVersionsPagedAndNamed) {
    const std::string legacy =
        "--client client3 --subclient " + std::to_string(s->world.legacy.subclient) + " --via hubmaster";
    const std::string unknown = s->world.legacy.unknownTypeDirectory;
    ASSERT_EQ(unknown, "/d01");
    const std::string day = std::to_string(s->world.legacy.firstBackupTime + 86400LL * 11);
    TRun root = browse("list " + legacy + " --at " + day);
    ASSERT_EQ(root.status, 0) << root.err << root.out;
    TRun inside = browse("list " + legacy + " --path " + unknown + " --at " + day);
    ASSERT_EQ(inside.status, 0) << inside.err << inside.out;
    std::vector<std::string> resolved;
    std::istringstream insideLines(inside.out);
    for (std::string line; std::getline(insideLines, line);)
        if (line.find(" " + unknown + "/") != std::string::npos) resolved.push_back(line);
    ASSERT_FALSE(resolved.empty()) << inside.out;
    for (const std::string& line : resolved) EXPECT_NE(root.out.find(line + "\n"), std::string::npos) << line;
    EXPECT_EQ(root.out.find(" " + unknown + "\n"), std::string::npos) << "resolved, not a plain directory";
    EXPECT_EQ(lines(root.out, " /d00"), 1u) << root.out;
    // In the agent's order: what came before /d01, its own items, then what comes after it.
    const size_t before = root.out.find(" /d00\n"), after = root.out.find(" /d02\n");
    ASSERT_NE(after, std::string::npos) << "the listing goes on to its end:\n" << root.out;
    EXPECT_LT(before, root.out.find(resolved.front()));
    EXPECT_GT(after, root.out.find(resolved.back()));
    EXPECT_NE(root.out.find(std::to_string(resolved.size() + 2) + " items"), std::string::npos) << root.out;

    // Pages count the items shown, the resolved ones among them: page k of one is the k-th line. The
    // classic item carries one time, its backup time: no modification time is shown for it.
    std::vector<std::string> rootLines;
    std::istringstream rootIn(root.out);
    for (std::string line; std::getline(rootIn, line);)
        if (line.find(" /d") != std::string::npos) rootLines.push_back(line);
    for (size_t k = 0; k < rootLines.size(); ++k) {
        EXPECT_EQ(rootLines[k].substr(21, 21), "-" + std::string(20, ' ')) << rootLines[k];
        const std::string n = std::to_string(k + 1);
        TRun page = browse("list " + legacy + " --at " + day + " --page-size 1 --page " + n);
        ASSERT_EQ(page.status, 0) << page.err;
        EXPECT_NE(page.out.find(rootLines[k] + "\n1 item (" + n + "-" + n + "), page " + n + "\n"),
                  std::string::npos)
            << page.out;
    }
    // Every version of the root once, however many versions of /d01 the agent reports.
    TRun rootVersions = browse("versions " + legacy + " --from " +
                               std::to_string(s->world.legacy.firstBackupTime) + " --to " + day);
    ASSERT_EQ(rootVersions.status, 0) << rootVersions.err;
    std::vector<std::string> versionLines;
    std::istringstream versionsIn(rootVersions.out);
    for (std::string line; std::getline(versionsIn, line);)
        if (line.find(" /d") != std::string::npos) versionLines.push_back(line);
    EXPECT_GT(lines(rootVersions.out, " " + unknown + "/"), resolved.size()) << rootVersions.out;
    std::sort(versionLines.begin(), versionLines.end());
    EXPECT_EQ(std::adjacent_find(versionLines.begin(), versionLines.end()), versionLines.end())
        << rootVersions.out;

    // Versions backed up from the second day on: those of that day's backup too, although their files
    // were modified before it.
    const long long from = s->world.legacy.firstBackupTime + 86400LL + 3 * 3600;
    const std::string versions =
        "versions " + legacy + " --path /d00/d00/d00 --from " + std::to_string(from) + " --to " + day;
    TRun all = browse(versions + " --json");
    ASSERT_EQ(all.status, 0) << all.err;
    boost::property_tree::ptree tree;
    std::istringstream allIn(all.out);
    ASSERT_NO_THROW(boost::property_tree::read_json(allIn, tree)) << all.out;
    std::vector<std::string> listed;
    long long earliest = 0;
    for (const auto& [key, item] : tree.get_child("items")) {
        const long long backup = item.get<long long>("backupTime");
        earliest = listed.empty() ? backup : std::min(earliest, backup);
        EXPECT_GE(backup, from);
        const std::string path = item.get<std::string>("path");
        EXPECT_EQ(path.rfind("/d00/d00/d00/", 0), 0u) << path;
        EXPECT_EQ(item.get<std::string>("name"), path.substr(path.rfind('/') + 1));
        listed.push_back(path + "@" + std::to_string(backup));
    }
    ASSERT_GT(listed.size(), 80u);
    EXPECT_EQ(earliest, from);
    // The third page of 40 (pages count from 1) is the 81st to the 120th version of the whole listing.
    TRun page = browse(versions + " --page-size 40 --page 3 --json");
    ASSERT_EQ(page.status, 0) << page.err;
    std::istringstream pageIn(page.out);
    ASSERT_NO_THROW(boost::property_tree::read_json(pageIn, tree)) << page.out;
    std::vector<std::string> paged;
    for (const auto& [key, item] : tree.get_child("items"))
        paged.push_back(item.get<std::string>("path") + "@" +
                        std::to_string(item.get<long long>("backupTime")));
    const size_t end = std::min<size_t>(listed.size(), 120);
    EXPECT_EQ(paged, std::vector<std::string>(listed.begin() + 80, listed.begin() + static_cast<long>(end)));
}

TEST_F(BrowseConsole, AnEndUserErasesHerOwnFilesOnly) {
    const std::string file =
        " --path /d00/d01/d00/f00000201.dat=" + std::to_string(sizeOf("/d00/d01/d00/f00000201.dat")) +
        " --at " + lastDay();
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
    EXPECT_EQ(other.status, kExitRefused) << other.err;
    EXPECT_EQ(hubtest::queryInt(s->world.databasePath, "SELECT COUNT(*) FROM TM_CreatedSubTaskPath"), 1);
}

TEST_F(BrowseConsole, FindAcrossClientsShowsOnlyWhatTheUserMayBrowse) {
    const std::string what = " --path /d00/d01/d00 --name 'f*' --at " + lastDay();
    TRun both = browse("find --clients client1,client2" + what);
    TRun client1 = browse("find --clients client1" + what);
    TRun alice = browse("find --clients client1,client2" + what, "--user alice");
    ASSERT_EQ(both.status, 0) << both.err;
    ASSERT_EQ(client1.status, 0) << client1.err;
    EXPECT_EQ(alice.status, kExitRefused) << alice.err;
    // alice may browse client1 only: she is told about client1's items and none of client2's, and that
    // client2 was left out.
    EXPECT_GT(lines(both.out, "/f"), lines(client1.out, "/f"));
    // The warning beside the items, on standard error: a pipe reads the table only.
    EXPECT_EQ(alice.out.substr(0, alice.out.rfind(" items")),
              client1.out.substr(0, client1.out.rfind(" items")));
    EXPECT_NE(
        alice.err.find("warning: You are not authorised to browse client [client2]; it is not searched\n"),
        std::string::npos)
        << alice.err;

    // A user who may browse none of the clients named is refused, told which.
    TRun stranger = browse("find --clients client1,client2" + what, "--user vmowner");
    EXPECT_EQ(stranger.status, kExitRefused);
    EXPECT_NE(stranger.err.find("Browse access denied"), std::string::npos) << stranger.err;
    EXPECT_NE(stranger.err.find("warning: You are not authorised to browse client [client2]"),
              std::string::npos)
        << stranger.err;
}

TEST_F(BrowseConsole, MediaStopAndFailures) {
    TRun media = browse("media " + fileSubclient() + " --at " + lastDay());
    ASSERT_EQ(media.status, 0) << media.err;
    EXPECT_NE(media.out.find("archive files,"), std::string::npos) << media.out;

    // A stop is answered as the service answers it: the media agent a prepared request was handed to
    // (which alone knows whether it still answers) is told to end it, at each stop; a browse the
    // Hubmaster answered whole leaves nothing to stop. A token whose signature was changed is refused
    // before anything is sent.
    ASSERT_EQ(
        browse("list " + fileSubclient() + " --at " + lastDay() + " --session console-test-session").status,
        0);
    for (int n = 0; n < 2; ++n) {
        TRun stop = browse("stop --session console-test-session");
        EXPECT_EQ(stop.status, 0) << stop.err;
        EXPECT_NE(stop.out.find("stop of session console-test-session accepted: media agent [mediaagent1]"),
                  std::string::npos)
            << stop.out;
    }
    ASSERT_EQ(browse("list " + fileSubclient() + " --at " + lastDay() +
                     " --via hubmaster --session console-test-ended")
                  .status,
              0);
    TRun stop = browse("stop --session console-test-ended");
    EXPECT_EQ(stop.status, 0) << stop.err;
    EXPECT_NE(stop.out.find("stop of session console-test-ended: nothing was left to stop (the session's "
                            "browses had ended)"),
              std::string::npos)
        << stop.out;
    std::string forged =
        shell("tools/hubmaster/hubmaster token --user admin --data " + s->dir.file("demo")).out;
    char& signed_ = forged.at(forged.rfind('.') + 2);
    signed_ = signed_ == 'a' ? 'b' : 'a';
    forged.erase(forged.find_last_not_of("\n") + 1);
    TRun bogus = browse("stop --session console-test-session", "--token " + forged);
    EXPECT_EQ(bogus.status, kExitRefused);
    EXPECT_NE(bogus.err.find("changed or forged"), std::string::npos) << bogus.err;
    EXPECT_NE(bogus.err.find("the stop was not sent"), std::string::npos) << bogus.err;

    // The service's own error text, and a non-zero exit.
    TRun refused = browse("list " + fileSubclient(), "--token ZT1.forged.token");
    EXPECT_EQ(refused.status, kExitRefused);
    EXPECT_NE(refused.err.find("Error: Failed to authenticate the usertoken..."), std::string::npos)
        << refused.err;
    // An administrator is no end user of client1: the service refuses the erase.
    TRun erase = browse("erase " + fileSubclient() + " --path /d00/d01/d00/f00000200.dat=" +
                        std::to_string(sizeOf("/d00/d01/d00/f00000200.dat")));
    EXPECT_NE(erase.status, 0);
    EXPECT_NE(erase.status, kExitUsage);
    EXPECT_FALSE(erase.err.empty());

    TRun usage = browse("versions " + fileSubclient());
    EXPECT_EQ(usage.status, kExitUsage);
    EXPECT_NE(usage.err.find("--from and --to"), std::string::npos);
    EXPECT_EQ(lines(usage.err, ""), 1u) << usage.err;
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
    // Times also as ISO 8601.
    EXPECT_EQ(items.front().second.get<std::string>("backupTimeIso").size(), 20u);

    TRun failed = browse("list " + fileSubclient() + " --json", "--token ZT1.forged.token");
    std::istringstream failedIn(failed.out);
    ASSERT_NO_THROW(boost::property_tree::read_json(failedIn, tree)) << failed.out;
    // The service refused the token; the console says why, as far as the token's visible part tells.
    EXPECT_NE(tree.get<std::string>("error.message").find("it was changed or forged"), std::string::npos)
        << failed.out;
    EXPECT_NE(tree.get<std::string>("error.message").find("Error: Failed to authenticate the usertoken..."),
              std::string::npos);
    // A usage error is JSON too when JSON was asked for.
    TRun usage = shell("tools/browse/browse list --json --client");
    EXPECT_EQ(usage.status, kExitUsage);
    EXPECT_EQ(json(usage).get<int>("error.exitStatus"), kExitUsage) << usage.out;
}

// Each row of the exit-status table, one case of each kind, the same whatever the command.
TEST_F(BrowseConsole, EachExitStatusMeansOneThing) {
    const std::string at = " --at " + lastDay();
    // 1: not found, for every command that names a path.
    for (const std::string command : {"list", "count", "find --name 'x*'"}) {
        TRun missing = browse(command + " " + fileSubclient() + " --path /d00/no-such" + at);
        EXPECT_EQ(missing.status, kExitServiceError) << command << missing.err;
        EXPECT_NE(missing.err.find("no backed-up item at /d00/no-such"), std::string::npos) << missing.err;
        EXPECT_EQ(missing.out.find("count:"), std::string::npos) << missing.out;
    }
    TRun versions = browse("versions " + fileSubclient() + " --path /d00/no-such --from " +
                           std::to_string(s->world.firstBackupTime) + " --to " + lastDay());
    EXPECT_EQ(versions.status, kExitServiceError) << versions.out << versions.err;
    TRun erase = browse("erase " + fileSubclient() + " --path /d00/no-such=5" + at, "--user alice");
    EXPECT_EQ(erase.status, kExitServiceError) << erase.err;

    // 2: the command line is wrong, before anything is sent.
    for (const auto& [line, says] : std::vector<std::pair<std::string, std::string>>{
             {"list --client client1 --path --token-file f", "--path needs a value <path>, not the option"},
             {"list --client client1 --client client2",
              "--client is given twice ([client1], then [client2])"},
             {"list --client c --mine --app-type 53", "--mine needs --ma"},
             {"list --client c --live", "--live needs --backup-set"},
             {"list --client c --at 1960-01-01", "is before 1970"},
             {"list --client c --token T", "where is the Hubmaster?"},
             {"list --client c --data /no/such/folder --token T", "--data /no/such/folder: no such folder"},
             {"list --client c --data . --token T", "the folder holds no Hubmaster data"}}) {
        TRun usage = shell("env -u BROWSE_DATA -u BROWSE_PORT tools/browse/browse " + line);
        EXPECT_EQ(usage.status, kExitUsage) << line << usage.err;
        EXPECT_NE(usage.err.find(says), std::string::npos) << usage.err;
    }
    TRun tokenless = shell("env -u BROWSE_TOKEN tools/browse/browse list " + fileSubclient() + " --data " +
                           s->dir.file("demo"));
    EXPECT_EQ(tokenless.status, kExitUsage);
    EXPECT_NE(tokenless.err.find("no token was given: give --token-file"), std::string::npos)
        << tokenless.err;

    // 3: refused. An administrator has no delete capability on client1's files; an expired token.
    TRun notAllowed = browse("erase " + fileSubclient() + " --path /d00/d01/d00/f00000200.dat=" +
                             std::to_string(sizeOf("/d00/d01/d00/f00000200.dat")) + at);
    EXPECT_EQ(notAllowed.status, kExitRefused) << notAllowed.err;
    // A token of the Hubmaster's own key that expired an hour ago.
    const std::string token = expiredToken();
    ASSERT_FALSE(token.empty());
    const std::string expiredFile = s->dir.file("expired.token");
    std::ofstream(expiredFile) << token << "\n";
    std::filesystem::permissions(expiredFile,
                                 std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    TRun expired = browse("list " + fileSubclient() + at, "--token-file " + expiredFile);
    EXPECT_EQ(expired.status, kExitRefused);
    EXPECT_NE(expired.err.find("the token expired at "), std::string::npos) << expired.err;
    EXPECT_NE(expired.err.find("get a new one with hubmaster token"), std::string::npos);

    // A live browse: refused to an end user without the live-browse right (3); prepared for the
    // administrator, whose machine then cannot be browsed here (1), or not prepared for a Windows machine
    // without a user profile (1).
    auto liveOf = [](const std::string& machine) {
        return "list --client " + machine + " --backup-set " +
               std::to_string(hubtest::queryInt(s->world.databasePath,
                                                "SELECT a.backupSet FROM APP_Application a JOIN APP_Client c "
                                                "ON c.id = a.clientId WHERE c.name = '" +
                                                    machine + "'")) +
               " --app-type 29 --path 'C:\\' --live";
    };
    TRun liveRefused = browse(liveOf("livewin1"), "--user 'TENANT\\olivia'");
    EXPECT_EQ(liveRefused.status, kExitRefused) << liveRefused.err;
    EXPECT_NE(liveRefused.err.find("user does not have the required permissions"), std::string::npos)
        << liveRefused.err;
    TRun livePrepared = browse(liveOf("livewin1"));
    EXPECT_EQ(livePrepared.status, kExitServiceError) << livePrepared.err;
    EXPECT_NE(livePrepared.err.find("it cannot browse client [livewin1] live"), std::string::npos)
        << livePrepared.err;
    TRun noProfile = browse(liveOf("livewin2"));
    EXPECT_EQ(noProfile.status, kExitServiceError) << noProfile.err;
    EXPECT_EQ(noProfile.err, "browse: User profile not set for this machine\n");

    // An erase of a version erased already is refused, by the erase and by its dry run alike.
    const std::string erasedOnce = "/d00/d01/d01/f00000262.dat";
    const std::string eraseOnce =
        "erase " + fileSubclient() + " --path " + erasedOnce + "=" + std::to_string(sizeOf(erasedOnce)) + at;
    TRun first = browse(eraseOnce, "--user alice");
    ASSERT_EQ(first.status, kExitOk) << first.err;
    for (const std::string& again : {eraseOnce, eraseOnce + " --dry-run"}) {
        TRun second = browse(again, "--user alice");
        EXPECT_EQ(second.status, kExitRefused) << again << second.err;
        EXPECT_NE(second.err.find("is already booked or erased in this version"), std::string::npos)
            << second.err;
    }

    // A token of the Hubmaster's own whose user is disabled, or no longer there, is refused saying so, on
    // both roads; enabled again, the same token browses.
    const std::string userToken = s->dir.file("mary-disabled.token");
    std::ofstream(userToken) << hubtest::issueToken(s->dir.file("demo"), "EXCH\\mary") << "\n";
    std::filesystem::permissions(userToken,
                                 std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    const std::string mailboxes =
        "list --client exchmb1 --subclient " +
        std::to_string(hubtest::queryInt(s->world.databasePath,
                                         "SELECT a.id FROM APP_Application a JOIN APP_Client c ON c.id = "
                                         "a.clientId WHERE c.name = 'exchmb1' AND a.appTypeId = 54")) +
        " --app-type 54 --path '\\MB'" + at;
    sql("UPDATE UMUsers SET enabled = 0 WHERE login = 'EXCH\\mary'");
    for (const char* road : {"", " --via hubmaster"}) {
        TRun disabled = browse(mailboxes + road, "--token-file " + userToken);
        EXPECT_EQ(disabled.status, kExitRefused) << road << disabled.err;
        EXPECT_NE(disabled.err.find("the token's user [EXCH\\mary] is disabled"), std::string::npos)
            << road << disabled.err;
        EXPECT_EQ(disabled.err.find("forged"), std::string::npos) << disabled.err;
    }
    sql("UPDATE UMUsers SET enabled = 1 WHERE login = 'EXCH\\mary'");
    TRun enabled = browse(mailboxes, "--token-file " + userToken);
    EXPECT_EQ(enabled.status, kExitOk) << enabled.err;
    sql("INSERT INTO UMUsers (id, name, login, enabled) VALUES (900, 'Gone', 'gone', 1)");
    const std::string goneToken = s->dir.file("gone.token");
    std::ofstream(goneToken) << hubtest::issueToken(s->dir.file("demo"), "gone") << "\n";
    std::filesystem::permissions(goneToken,
                                 std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    sql("DELETE FROM UMUsers WHERE id = 900");
    for (const char* road : {"", " --via hubmaster"}) {
        TRun gone = browse("list " + fileSubclient() + at + road, "--token-file " + goneToken);
        EXPECT_EQ(gone.status, kExitRefused) << road << gone.err;
        EXPECT_NE(gone.err.find("the token's user (id 900) is unknown"), std::string::npos)
            << road << gone.err;
        EXPECT_EQ(gone.err.find("forged"), std::string::npos) << gone.err;
    }
}

// What an administrator meets where the line or the token is wrong: an expired token is refused before
// a browse sends it, whatever the command; a find across clients naming a client the Hubmaster does not
// know lists the others but is no whole answer; an erase names what is wrong with a path it cannot take
// (the top of the backup set, a size that is no number, a path given twice), and the Hubmaster's gate
// what it refuses (a relative path).
TEST_F(BrowseConsole, WhatIsWrongIsSaidBeforeAnythingIsSent) {
    const std::string at = " --at " + lastDay();
    const std::string token = expiredToken();
    ASSERT_FALSE(token.empty());
    const std::string expiredFile = s->dir.file("expired-unsent.token");
    std::ofstream(expiredFile) << token << "\n";
    std::filesystem::permissions(expiredFile,
                                 std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    const std::string versionsOf = " --path /d00/d01/d00/f00000202.dat --from " +
                                   std::to_string(s->world.firstBackupTime) + " --to " + lastDay();
    for (const std::string& command :
         {"list " + fileSubclient() + at, "count " + fileSubclient() + at,
          "versions " + fileSubclient() + versionsOf, "find " + fileSubclient() + " --name 'f*'" + at,
          "media " + fileSubclient() + at}) {
        TRun run = browse(command, "--token-file " + expiredFile);
        EXPECT_EQ(run.status, kExitRefused) << command << run.err;
        EXPECT_NE(run.err.find("the token expired at "), std::string::npos) << command << run.err;
        const std::string verb = command.substr(0, command.find(' '));
        EXPECT_NE(run.err.find("; the " + verb + " was not sent"), std::string::npos) << command << run.err;
    }

    TRun typo =
        browse("find --clients client1,clinet1 --path /d00/d01/d00 --name 'f0000020*'" + at + " --json");
    EXPECT_EQ(typo.status, kExitServiceError) << typo.out << typo.err;
    const auto tree = json(typo);
    EXPECT_FALSE(tree.get<bool>("complete", true)) << typo.out;
    EXPECT_GT(tree.get_child("items").size(), 0u) << typo.out;
    EXPECT_NE(typo.out.find("\"warnings\":[\"Client [clinet1] is not known"), std::string::npos) << typo.out;
    EXPECT_NE(tree.get<std::string>("error.message", "").find("1 part not searched"), std::string::npos);
    // Every client known: whole.
    TRun whole =
        browse("find --clients client1,client2 --path /d00/d01/d00 --name 'f0000020*'" + at + " --json");
    EXPECT_EQ(whole.status, kExitOk) << whole.err;
    EXPECT_TRUE(json(whole).get<bool>("complete", false)) << whole.out;

    const std::string file = "/d00/d01/d00/f00000202.dat";
    const std::string sized = file + "=" + std::to_string(sizeOf(file));
    const long long booked = bookedErasePaths();
    for (const auto& [paths, says] : std::vector<std::pair<std::string, std::string>>{
             {"--path /", "the top of the backup set is not erased whole"},
             {"--path " + sized + " --path " + sized, "--path " + file + " is given twice: give it once"},
             {"--path " + file + "=abc",
              "if [abc] was meant as its size, give the size in bytes: --path " + file + "=<bytes>"}}) {
        TRun erase = browse("erase " + fileSubclient() + " " + paths + at + " --dry-run", "--user alice");
        EXPECT_EQ(erase.status, kExitUsage) << paths << erase.err;
        EXPECT_NE(erase.err.find(says), std::string::npos) << paths << erase.err;
    }
    // Which paths an erase may name is the Hubmaster's rule: a path it would refuse (relative, or with a
    // ".." part) is a command line to mend, named before anything is sent.
    for (const std::string& wrong : {sized.substr(1), std::string("/d00/../d00/f00000202.dat")}) {
        TRun refused =
            browse("erase " + fileSubclient() + " --path " + wrong + at + " --dry-run", "--user alice");
        EXPECT_EQ(refused.status, kExitUsage) << refused.err;
        EXPECT_NE(refused.err.find("--path [" + wrong + "]"), std::string::npos) << refused.err;
    }
    TRun relative =
        browse("erase " + fileSubclient() + " --path " + sized.substr(1) + at + " --dry-run", "--user alice");
    EXPECT_NE(relative.err.find("the path is not absolute"), std::string::npos) << relative.err;
    EXPECT_EQ(bookedErasePaths(), booked);
    // The path as it is held, from the top, is taken.
    TRun fromTop =
        browse("erase " + fileSubclient() + " --path " + sized + at + " --dry-run", "--user alice");
    EXPECT_EQ(fromTop.status, kExitOk) << fromTop.err;
}

// A console with only the authority's certificate and the addresses the host prints at start-up: no
// access to the Hubmaster's data folder.
TEST_F(BrowseConsole, AConsoleAwayFromTheHubmastersFolder) {
    std::string elsewhere;
    {
        std::istringstream out(s->host->output());
        for (std::string line; std::getline(out, line);)
            if (line.rfind("hubmaster: a console elsewhere: browse ", 0) == 0) elsewhere = line.substr(39);
    }
    ASSERT_FALSE(elsewhere.empty()) << s->host->output();
    EXPECT_NE(elsewhere.find("--hubmaster-name hubmaster"), std::string::npos) << elsewhere;
    // Only the public certificate, copied where the user keeps it; a token file of the user's own.
    const std::string ca = s->dir.file("desk.crt"), token = s->dir.file("desk.token");
    std::filesystem::copy_file(s->dir.file("demo") + "/tls/authority.crt", ca,
                               std::filesystem::copy_options::overwrite_existing);
    ASSERT_EQ(shell("tools/hubmaster/hubmaster token --user admin --data " + s->dir.file("demo") + " --out " +
                    token)
                  .status,
              0);
    const std::string caFlag = "--ca " + s->dir.file("demo") + "/tls/authority.crt";
    ASSERT_NE(elsewhere.find(caFlag), std::string::npos);
    elsewhere.replace(elsewhere.find(caFlag), caFlag.size(), "--ca " + ca);
    const std::string what = "list " + fileSubclient() + " --path /d00/d01/d00 --at " + lastDay();
    TRun desk = shell("env -u BROWSE_DATA tools/browse/browse " + what + " " + elsewhere + " --token-file " +
                      token + " --quiet -v");
    ASSERT_EQ(desk.status, 0) << desk.err;
    EXPECT_EQ(desk.out, browse(what).out);
    // -v tells the session and the road before any answer, so a stop can use it while it runs.
    EXPECT_EQ(desk.err.rfind("browse: session ", 0), 0u) << desk.err;
    EXPECT_NE(desk.err.find("(which must prove it is [hubmaster])"), std::string::npos) << desk.err;
    // The same from the environment.
    const std::string port = elsewhere.substr(elsewhere.find("--port ") + 7);
    TRun fromEnvironment = shell("BROWSE_HOST=127.0.0.1 BROWSE_PORT=" + port.substr(0, port.find(' ')) +
                                 " BROWSE_CA=" + ca + " BROWSE_HUBMASTER_NAME=hubmaster BROWSE_MA_ADDRESS=" +
                                 elsewhere.substr(elsewhere.find("--ma-address ") + 13) +
                                 " tools/browse/browse " + what + " --token-file " + token + " --quiet");
    ASSERT_EQ(fromEnvironment.status, 0) << fromEnvironment.err;
    EXPECT_EQ(fromEnvironment.out, desk.out);
    // A machine that proves another name than the Hubmaster's is not believed.
    TRun impostor = shell("tools/browse/browse " + what + " " + elsewhere + " --hubmaster-name client9" +
                          " --token-file " + token);
    EXPECT_EQ(impostor.status, kExitUsage) << impostor.err;
    EXPECT_NE(impostor.err.find("--hubmaster-name is given twice"), std::string::npos) << impostor.err;
    std::string renamed = elsewhere;
    renamed.replace(renamed.find("--hubmaster-name hubmaster"), 26, "--hubmaster-name client9");
    impostor = shell("tools/browse/browse " + what + " " + renamed + " --token-file " + token);
    EXPECT_EQ(impostor.status, kExitUnreachable) << impostor.err;
    EXPECT_NE(impostor.err.find("proved the name [hubmaster], not [client9]"), std::string::npos)
        << impostor.err;
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
    EXPECT_EQ(request.getstring(databrowse::BrowseRequest::f::token), "T");
    auto* paths = request.getlistobject(databrowse::BrowseRequest::f::paths, false);
    ASSERT_TRUE(paths && paths->size() == 1u);
    EXPECT_EQ(paths->front().getstring(databrowse::BrowsePath::f::path), "/a/b.txt");
    CNMessageBase* detail = paths->front().getObjectAccessor(databrowse::BrowsePath::f::detail, false);
    ASSERT_TRUE(detail);
    EXPECT_EQ(detail->getint64(databrowse::Msg2::f::itemSize), 42);
    EXPECT_EQ(detail->getint64(databrowse::Msg2::f::subclientId), 7);
}

// Inputs the console once misread, each through the real console against the demo world.
TEST_F(BrowseConsole, TimesAreReadWholeOrRefused) {
    const std::string dir = "list " + fileSubclient() + " --path /d00/d01/d00 --json --at ";
    // 2023-11-21 23:30 UTC: after that day's backup (23:13:20), which a bare date's midnight is not.
    const long long evening = 1700609400;
    TRun iso = browse(dir + "2023-11-21T23:30:00Z");
    TRun seconds = browse(dir + std::to_string(evening));
    TRun offset = browse(dir + "2023-11-22T00:30:00+01:00");
    TRun midnight = browse(dir + "2023-11-21");
    TRun midnightSeconds = browse(dir + std::to_string(evening - 23 * 3600 - 1800));
    ASSERT_EQ(iso.status, 0) << iso.err;
    EXPECT_EQ(iso.out.substr(iso.out.find("\"items\"")), seconds.out.substr(seconds.out.find("\"items\"")));
    EXPECT_EQ(offset.out.substr(offset.out.find("\"items\"")),
              seconds.out.substr(seconds.out.find("\"items\"")));
    EXPECT_EQ(midnight.out.substr(midnight.out.find("\"items\"")),
              midnightSeconds.out.substr(midnightSeconds.out.find("\"items\"")));
    long long newest = 0;
    const auto tree = json(iso);
    for (const auto& [key, item] : tree.get_child("items"))
        newest = std::max(newest, item.get<long long>("backupTime"));
    EXPECT_GT(newest, evening - 3600) << "the time of day was dropped";

    for (const std::string bad : {"2023-11-21x", "'2023-11-21 23:30 UTC'", "2023-13-45", "'2023-11-21 25:99'",
                                  "2023-02-29", "21/11/2023", "-5"}) {
        TRun refused = browse("list " + fileSubclient() + " --at " + bad);
        EXPECT_EQ(refused.status, kExitUsage) << bad;
        std::string shown = bad;
        if (shown.front() == '\'') shown = shown.substr(1, shown.size() - 2);
        EXPECT_NE(refused.err.find("--at [" + shown + "] is not a time"), std::string::npos) << refused.err;
        EXPECT_EQ(lines(refused.err, ""), 1u) << refused.err;
        EXPECT_TRUE(refused.out.empty());
    }
    TRun reversed = browse("versions " + fileSubclient() + " --path /d00 --from 2023-11-28 --to 2023-11-14");
    EXPECT_EQ(reversed.status, kExitUsage);
    EXPECT_NE(reversed.err.find("--from (2023-11-28 00:00:00 UTC) is after --to (2023-11-14 00:00:00 UTC)"),
              std::string::npos)
        << reversed.err;
}

TEST_F(BrowseConsole, PagesPathsAndMissingPathsAreNotGuessed) {
    TRun pageAlone = browse("list " + fileSubclient() + " --path /d00 --page 2");
    EXPECT_EQ(pageAlone.status, kExitUsage);
    EXPECT_NE(pageAlone.err.find("--page needs --page-size"), std::string::npos) << pageAlone.err;
    TRun pageZero = browse("list " + fileSubclient() + " --path /d00 --page-size 5 --page 0");
    EXPECT_EQ(pageZero.status, kExitUsage);
    TRun twoPaths = browse("list " + fileSubclient() + " --path /d00 --path /d01");
    EXPECT_EQ(twoPaths.status, kExitUsage);
    EXPECT_NE(twoPaths.err.find("one --path only (a second one: [/d01])"), std::string::npos) << twoPaths.err;

    // A folder that was never backed up is not an empty folder.
    TRun missing = browse("list " + fileSubclient() + " --path /d00/no-such-folder --at " + lastDay());
    EXPECT_EQ(missing.status, kExitServiceError);
    EXPECT_NE(missing.err.find("no backed-up item at /d00/no-such-folder"), std::string::npos) << missing.err;
    TRun missingCount = browse("count " + fileSubclient() + " --path /nothing --at " + lastDay());
    EXPECT_EQ(missingCount.status, kExitServiceError) << missingCount.out;
}

TEST_F(BrowseConsole, UsageHelpAndExitStatuses) {
    TRun help = shell("tools/browse/browse list --help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("--at <time>"), std::string::npos) << help.out;
    EXPECT_NE(help.out.find("a bare date is 00:00 UTC"), std::string::npos);
    EXPECT_NE(help.out.find("example:\n  browse list "), std::string::npos);
    EXPECT_EQ(help.out.find("--name"), std::string::npos) << "find's option in list's help";
    EXPECT_EQ(shell("tools/browse/browse erase -h").out.find("--dry-run") == std::string::npos, false);
    TRun general = shell("tools/browse/browse --help");
    EXPECT_EQ(general.status, 0);
    EXPECT_NE(general.out.find("3 refused, 4 unreachable, 5 timed out"), std::string::npos);
    EXPECT_EQ(shell("tools/browse/browse --version").status, 0);
    TRun unknown = shell("tools/browse/browse list --frobnicate 3");
    EXPECT_EQ(unknown.status, kExitUsage);
    EXPECT_EQ(unknown.err, "browse list: unknown option [--frobnicate] (browse list --help)\n");
    TRun misplaced = shell("tools/browse/browse list --client c --name 'x*'");
    EXPECT_NE(misplaced.err.find("--name is not an option of list"), std::string::npos) << misplaced.err;

    // --opt=value is the same as --opt value.
    TRun equals = browse("count --client=client1 --subclient=" + std::to_string(s->world.fileSubclient) +
                         " --path=/d00/d01/d00 --at=" + lastDay());
    TRun spaced = browse("count " + fileSubclient() + " --path /d00/d01/d00 --at " + lastDay());
    ASSERT_EQ(equals.status, 0) << equals.err;
    EXPECT_EQ(equals.out, spaced.out);

    // A bare address names no machine that could be checked to be the Hubmaster: nothing is dialled.
    TRun nameless = shell("tools/browse/browse list --client client1 --host 127.0.0.1 --port 1 --token T");
    EXPECT_EQ(nameless.status, kExitUsage) << nameless.err;
    EXPECT_NE(nameless.err.find("give --hubmaster-name"), std::string::npos) << nameless.err;
    // Nothing listens: unreachable, with a real code in the JSON.
    TRun unreachable = shell(
        "tools/browse/browse list --client client1 --host 127.0.0.1 --port 1 --hubmaster-name hubmaster "
        "--token T --timeout 5 --json --ca " +
        s->dir.file("demo") + "/tls/authority.crt");
    EXPECT_EQ(unreachable.status, kExitUnreachable) << unreachable.err;
    EXPECT_EQ(json(unreachable).get<int>("error.exitStatus"), kExitUnreachable);

    // A listener that takes the connection and never answers: timed out within --timeout.
    const int silent = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(silent, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(silent, 4), 0);
    socklen_t length = sizeof address;
    getsockname(silent, reinterpret_cast<sockaddr*>(&address), &length);
    const auto before = std::chrono::steady_clock::now();
    TRun silence = shell("tools/browse/browse list --client client1 --host 127.0.0.1 --port " +
                         std::to_string(ntohs(address.sin_port)) +
                         " --hubmaster-name hubmaster --token T --timeout 2 --tls " +
                         hubtest::testCredentialsFor("console1"));
    close(silent);
    EXPECT_EQ(silence.status, kExitTimedOut) << silence.err;
    EXPECT_LT(std::chrono::steady_clock::now() - before, 15s);

    // help <command> is <command> --help; each command's own options come first.
    EXPECT_EQ(shell("tools/browse/browse help list").out, help.out);
    EXPECT_LT(help.out.find("--path <path>"), help.out.find("--data <folder>")) << help.out;
    EXPECT_EQ(shell("tools/browse/browse stop --help").out.find("--human"), std::string::npos);
    TRun cert = shell("tools/hubmaster/hubmaster cert --help");
    EXPECT_EQ(cert.status, 0);
    EXPECT_NE(cert.out.find("usage: hubmaster cert --client <name>"), std::string::npos) << cert.err;
    TRun hubmaster = shell("tools/hubmaster/hubmaster --help");
    EXPECT_EQ(hubmaster.status, 0);
    EXPECT_NE(hubmaster.out.find("hubmaster token --user"), std::string::npos) << hubmaster.out;
    const std::string helpFolder = s->dir.file("help-folder");
    TRun demo = shell("cd " + helpFolder.substr(0, helpFolder.rfind('/')) + " && " + s->binaries +
                      "/tools/hubdbdemo/hubdbdemo --help");
    EXPECT_EQ(demo.status, 0);
    EXPECT_NE(demo.out.find("usage: hubdbdemo"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(helpFolder.substr(0, helpFolder.rfind('/')) + "/--help"));
}

TEST_F(BrowseConsole, TheTokenNeverNeedsTheCommandLine) {
    const std::string file = s->dir.file("alice.token");
    TRun issued = shell("tools/hubmaster/hubmaster token --user alice --data " + s->dir.file("demo") +
                        " --out " + file);
    ASSERT_EQ(issued.status, 0) << issued.err;
    EXPECT_TRUE(issued.out.empty()) << "the token went to standard output";
    struct stat st {};
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    const std::string what = "list " + fileSubclient() + " --path /d00/d01/d00 --at " + lastDay();
    TRun fromFile = browse(what, "--token-file " + file);
    ASSERT_EQ(fromFile.status, 0) << fromFile.err;
    EXPECT_GT(lines(fromFile.out, "file "), 0u);
    TRun fromEnvironment = shell("BROWSE_TOKEN=$(cat " + file + ") tools/browse/browse " + what + " --data " +
                                 s->dir.file("demo") + " --ma-host 127.0.0.1 --quiet");
    ASSERT_EQ(fromEnvironment.status, 0) << fromEnvironment.err;
    EXPECT_EQ(fromEnvironment.out, fromFile.out);

    chmod(file.c_str(), 0644);
    TRun open = browse(what, "--token-file " + file);
    EXPECT_EQ(open.status, kExitUsage);
    EXPECT_NE(open.err.find("may be read by others (mode 0644): chmod 600"), std::string::npos) << open.err;
    EXPECT_TRUE(open.out.empty());
}

TEST_F(BrowseConsole, EraseChecksSizesListsOnADryRunAndAsksForFolders) {
    const std::string file = "/d00/d01/d00/f00000205.dat";
    const long long size = sizeOf(file);
    const std::string erase = "erase " + fileSubclient() + " --at " + lastDay() + " --path ";
    const long long booked = bookedErasePaths();

    TRun dry = browse(erase + file + "=" + std::to_string(size) + " --dry-run", "--user alice");
    ASSERT_EQ(dry.status, 0) << dry.err;
    EXPECT_NE(dry.out.find(" " + file), std::string::npos) << dry.out;
    EXPECT_NE(dry.out.find("dry run: nothing was booked"), std::string::npos);
    TRun wrongSize = browse(erase + file + "=1", "--user alice");
    EXPECT_EQ(wrongSize.status, kExitUsage);
    EXPECT_NE(wrongSize.err.find("was backed up with " + std::to_string(size) + " bytes, not the 1 given"),
              std::string::npos)
        << wrongSize.err;
    TRun noSize = browse(erase + file, "--user alice");
    EXPECT_EQ(noSize.status, kExitUsage);
    EXPECT_NE(noSize.err.find(file + "=" + std::to_string(size)), std::string::npos) << noSize.err;
    TRun folder = browse(erase + "/d00/d01/d00", "--user alice");
    EXPECT_EQ(folder.status, kExitUsage);
    EXPECT_NE(folder.err.find("is a folder of"), std::string::npos) << folder.err;
    EXPECT_NE(folder.err.find("give --yes"), std::string::npos);
    TRun folderSized = browse(erase + "/d00/d01/d00=100 --yes", "--user alice");
    EXPECT_EQ(folderSized.status, kExitUsage);
    EXPECT_NE(folderSized.err.find("is a folder: give its path alone"), std::string::npos) << folderSized.err;
    TRun folderDry = browse(erase + "/d00/d01/d00 --dry-run", "--user alice");
    ASSERT_EQ(folderDry.status, 0) << folderDry.err;
    EXPECT_GT(lines(folderDry.out, "/d00/d01/d00/f"), 1u);
    EXPECT_EQ(bookedErasePaths(), booked) << "a refused or dry-run erase booked something";

    TRun real = browse(erase + file + "=" + std::to_string(size), "--user alice");
    ASSERT_EQ(real.status, 0) << real.err;
    EXPECT_EQ(bookedErasePaths(), booked + 1);

    // On a terminal the console asks before a folder's contents: no books nothing, yes books the folder.
    const std::string folderErase = s->binaries + "/tools/browse/browse " + erase + "/d00/d01/d01 --data " +
                                    s->dir.file("demo") + " --user alice --ma-host 127.0.0.1 --quiet";
    for (const char* answer : {"n", "y"}) {
        const std::string answerFile = s->dir.file("answer");
        std::ofstream(answerFile) << answer << "\n";
        TRun asked = run("script -qec '" + folderErase + "' /dev/null < " + answerFile);
        EXPECT_NE(asked.out.find("item(s) of folder /d00/d01/d01 as of"), std::string::npos) << asked.out;
        EXPECT_EQ(bookedErasePaths(), booked + (answer[0] == 'y' ? 2 : 1)) << asked.out;
    }
}

// A path named twice in one erase is refused, the same size or not: nothing is merged in silence. Named
// once it is booked, erased and given back once. A dry run gives the verdict the real erase gets: a
// version erased already is refused by both.
TEST_F(BrowseConsole, AnEraseBooksEachPathOnceAndItsDryRunGivesTheRealVerdict) {
    const std::string file = "/d00/d01/d01/f00000260.dat";
    const std::string sized = file + "=" + std::to_string(sizeOf(file));
    const std::string erase = "erase " + fileSubclient() + " --at " + lastDay() + " --path " + sized;
    const long long booked = bookedErasePaths();

    TRun conflicting = browse(erase + " --path " + file + "=1 --dry-run", "--user alice");
    EXPECT_EQ(conflicting.status, kExitUsage);
    EXPECT_NE(conflicting.err.find("is given twice"), std::string::npos) << conflicting.err;
    TRun repeated = browse(erase + " --path " + sized + " --dry-run", "--user alice");
    EXPECT_EQ(repeated.status, kExitUsage);
    EXPECT_NE(repeated.err.find("--path " + file + " is given twice: give it once"), std::string::npos)
        << repeated.err;
    EXPECT_EQ(bookedErasePaths(), booked);
    TRun dry = browse(erase + " --dry-run", "--user alice");
    ASSERT_EQ(dry.status, 0) << dry.err;
    EXPECT_NE(dry.out.find("dry run: nothing was booked; 1 path(s) would be erased"), std::string::npos)
        << dry.out;
    TRun real = browse(erase, "--user alice");
    ASSERT_EQ(real.status, 0) << real.err;
    EXPECT_NE(real.out.find("created the erase task for 1 path(s)"), std::string::npos) << real.out;
    EXPECT_EQ(bookedErasePaths(), booked + 1);

    // Erased in this version: the dry run says so, as the real erase does, and nothing is booked.
    TRun dryAgain = browse(erase + " --dry-run", "--user alice");
    TRun again = browse(erase, "--user alice");
    EXPECT_NE(again.status, 0) << again.out;
    EXPECT_NE(again.err.find("is already booked or erased in this version"), std::string::npos) << again.err;
    EXPECT_EQ(dryAgain.status, again.status) << dryAgain.out << dryAgain.err;
    EXPECT_NE(dryAgain.err.find("is already booked or erased in this version"), std::string::npos)
        << dryAgain.err;
    EXPECT_EQ(dryAgain.out.find("would be erased"), std::string::npos) << dryAgain.out;
    // A refusal, worded as the dry run words it: no item is shown as if an answer were cut short.
    const std::string reason = dryAgain.err.substr(dryAgain.err.find("would be refused: ") + 18);
    EXPECT_NE(again.err.find("browse: the erase was refused: " + reason), std::string::npos) << again.err;
    EXPECT_EQ(again.out.find(file), std::string::npos) << again.out;
    EXPECT_EQ(bookedErasePaths(), booked + 1);

    // BrowseRouter's erase gate refuses a subclient whose storage policy sets no copy to filter erased
    // items by: the dry run fails at the same gate, with the same exit status (the service's error).
    const std::string other = "/d00/d01/d01/f00000261.dat";
    const std::string otherErase = "erase " + fileSubclient() + " --at " + lastDay() + " --path " + other +
                                   "=" + std::to_string(sizeOf(other));
    const std::string subclient = " WHERE id = " + std::to_string(s->world.fileSubclient);
    const std::string policy = " WHERE id = (SELECT dataArchGrpID FROM APP_Application" + subclient + ")";
    const long long status =
        hubtest::queryInt(s->world.databasePath, "SELECT subclientStatus FROM APP_Application" + subclient);
    const long long copy =
        hubtest::queryInt(s->world.databasePath, "SELECT defaultCopy FROM archGroup" + policy);
    sql("UPDATE APP_Application SET subclientStatus = 536" + subclient);
    sql("UPDATE archGroup SET defaultCopy = 0" + policy);
    TRun gatedDry = browse(otherErase + " --dry-run", "--user alice");
    TRun gated = browse(otherErase, "--user alice");
    sql("UPDATE APP_Application SET subclientStatus = " + std::to_string(status) + subclient);
    sql("UPDATE archGroup SET defaultCopy = " + std::to_string(copy) + policy);
    const std::string refusal =
        "The requested operation is not supported for the application type of client [client1]";
    EXPECT_NE(gated.err.find(refusal), std::string::npos) << gated.out << gated.err;
    EXPECT_EQ(gatedDry.status, gated.status) << gatedDry.out << gatedDry.err;
    EXPECT_NE(gatedDry.err.find("dry run: the erase would fail: " + refusal), std::string::npos)
        << gatedDry.out << gatedDry.err;
    EXPECT_EQ(bookedErasePaths(), booked + 1);
}

// An erase of several paths lists and counts the item of each, as its dry run does.
TEST_F(BrowseConsole, AnEraseOfSeveralPathsListsEachPathsItem) {
    std::string erase = "erase " + fileSubclient() + " --at " + lastDay() + " --json";
    std::multiset<std::string> named;
    TRun listed = browse("list " + fileSubclient() + " --path /d00/d01/d02 --at " + lastDay() + " --json");
    const auto folder = json(listed);
    for (const auto& [key, item] : folder.get_child("items"))
        if (item.get<std::string>("type") == "file" && named.size() < 3) {
            erase += " --path " + item.get<std::string>("path") + "=" + item.get<std::string>("size");
            named.insert(item.get<std::string>("path"));
        }
    ASSERT_EQ(named.size(), 3u) << listed.out;
    for (const char* dry : {" --dry-run", ""}) {
        TRun run = browse(erase + dry, "--user alice");
        ASSERT_EQ(run.status, 0) << run.err << run.out;
        const auto tree = json(run);
        std::multiset<std::string> listed;
        for (const auto& [key, item] : tree.get_child("items")) listed.insert(item.get<std::string>("path"));
        EXPECT_EQ(listed, named) << dry << run.out;
        EXPECT_TRUE(tree.get<bool>("complete", false)) << run.out;
    }
}

TEST_F(BrowseConsole, OutputNamesZonesClientsAndSessions) {
    TRun listed =
        browse("list " + fileSubclient() + " --path /d00/d01/d00 --at " + lastDay() + " --human -v");
    ASSERT_EQ(listed.status, 0) << listed.err;
    EXPECT_NE(listed.out.find("MODIFIED (UTC)"), std::string::npos);
    EXPECT_NE(listed.out.find("K  "), std::string::npos) << listed.out;
    EXPECT_NE(listed.err.find("browse: session "), std::string::npos) << listed.err;
    EXPECT_NE(listed.err.find("road router, then media agent [mediaagent1]"), std::string::npos)
        << listed.err;

    TRun found = browse("find --clients client1,client2 --path /d00/d01/d00 --name 'f*' --at " + lastDay() +
                        " --json --session console-find-session");
    ASSERT_EQ(found.status, 0) << found.err;
    const auto tree = json(found);
    EXPECT_EQ(tree.get<std::string>("session"), "console-find-session");
    std::set<std::string> clients;
    for (const auto& [key, item] : tree.get_child("items"))
        clients.insert(item.get<std::string>("client", ""));
    EXPECT_EQ(clients, (std::set<std::string>{"client1", "client2"}));
    TRun table = browse("find --clients client1,client2 --path /d00/d01/d00 --name 'f*' --at " + lastDay());
    EXPECT_EQ(table.out.rfind("CLIENT", 0), 0u) << table.out;
    EXPECT_GT(lines(table.out, "client2 "), 0u);
}

TEST_F(BrowseConsole, AnOlderMediaAgentIsNotWaitedFor) {
    const std::string legacy = "--client client3 --subclient " + std::to_string(s->world.legacy.subclient);
    const std::string day = std::to_string(s->world.legacy.firstBackupTime + 86400LL * 11);
    const auto before = std::chrono::steady_clock::now();
    TRun direct = browse("list " + legacy + " --at " + day);
    TRun hosted = browse("list " + legacy + " --at " + day + " --via hubmaster");
    ASSERT_EQ(direct.status, 0) << direct.err;
    EXPECT_EQ(direct.out, hosted.out);
    EXPECT_NE(direct.err.find("release 9 (no index service): browsing through the Hubmaster instead"),
              std::string::npos)
        << direct.err;
    TRun count = browse("count " + legacy + " --at " + day);
    EXPECT_EQ(count.status, kExitServiceError);
    EXPECT_NE(count.err.find("which has no index service"), std::string::npos) << count.err;
    EXPECT_LT(std::chrono::steady_clock::now() - before, 20s);
}

// Answers that name what is wrong: a missing subclient, an unknown client, and media asked for a path
// that was never backed up (media are worked out per subclient and time, and the answer says so).
TEST_F(BrowseConsole, AnswersNameWhatIsWrong) {
    TRun whole = browse("list --client client1 --at " + lastDay());
    EXPECT_EQ(whole.status, kExitUsage) << whole.err;
    EXPECT_NE(whole.err.find("--subclient is missing"), std::string::npos) << whole.err;
    for (const std::string road : {"router", "hubmaster"}) {
        TRun unknown = browse("list --client nosuch --subclient 1 --via " + road + " --at " + lastDay());
        EXPECT_EQ(unknown.status, kExitServiceError) << road;
        EXPECT_NE(unknown.err.find("does not name a known client [nosuch]"), std::string::npos)
            << unknown.err;
    }

    TRun never = browse("media " + fileSubclient() + " --path /d00/never/backed-up --at " + lastDay());
    EXPECT_EQ(never.status, kExitServiceError) << never.out;
    EXPECT_EQ(never.out.find("archive files"), std::string::npos) << never.out;
    EXPECT_NE(never.err.find("no backed-up item at /d00/never/backed-up"), std::string::npos) << never.err;
    TRun media = browse("media " + fileSubclient() + " --path /d00 --at " + lastDay());
    ASSERT_EQ(media.status, 0) << media.err;
    EXPECT_NE(media.out.find("not per path"), std::string::npos) << media.out;
    EXPECT_NE(browse("media --help").out.find("not per path"), std::string::npos);
}

// Virtual machines on the router's road: a VM of a hypervisor kept per VM gets a signed request naming
// its media agent; the hypervisor's own backup set is browsed by the Hubmaster, which the console takes
// by itself and says so, and so is a VM indexed by its hypervisor, whose answers the Hubmaster names in
// the VM's own view.
// Each answers as the Hubmaster's road does, and media are never a listing.
TEST_F(BrowseConsole, VirtualMachinesOnTheRoutersRoad) {
    const hubdb::DemoHypervisor& hv = s->world.vsa;
    const std::string vm1 = std::to_string(hubtest::queryInt(
        s->world.databasePath,
        "SELECT a.id FROM APP_Application a JOIN APP_Client c ON c.id = a.clientId WHERE c.name = 'vm1'"));
    const std::string vmalpha = "--client vmalpha --subclient " + std::to_string(hv.vms.front().subclientId);
    for (const auto& [what, road] : std::vector<std::pair<std::string, std::string>>{
             {vmalpha, "road router, then media agent [mediaagent1]"},
             {"--client vsahypervisor --subclient " + std::to_string(hv.subclient),
              "browsed by the Hubmaster itself: browsing through the Hubmaster instead"},
             {"--client vm1 --subclient " + vm1,
              "browsed by the Hubmaster itself: browsing through the Hubmaster instead"}}) {
        TRun direct = browse("list " + what + " --at " + lastDay() + " -v");
        TRun hosted = browse("list " + what + " --at " + lastDay() + " --via hubmaster");
        ASSERT_EQ(direct.status, 0) << what << ": " << direct.err;
        EXPECT_NE(direct.err.find(road), std::string::npos) << direct.err;
        EXPECT_EQ(hosted.status, 0) << what << ": " << hosted.err;
        EXPECT_GT(lines(direct.out, "dir "), 0u) << what;
        EXPECT_EQ(direct.out, hosted.out) << what;
    }
    TRun media = browse("media " + vmalpha + " --at " + lastDay());
    EXPECT_EQ(lines(media.out, "/d0"), 0u) << media.out;
    EXPECT_TRUE(media.status != 0 || lines(media.out, "archive files") == 1u) << media.out << media.err;
}

// --timeout bounds the whole command: a media agent that takes connections and never answers costs the
// limit once, not once per attempt to reach it (its index service, then its launcher).
TEST_F(BrowseConsole, TheTimeoutBoundsTheWholeCommand) {
    const std::string token = hubtest::issueToken(s->dir.file("demo"), "admin");
    ASSERT_EQ(kill(s->agent->pid(), SIGSTOP), 0);
    struct TResume {
        pid_t pid;
        ~TResume() { kill(pid, SIGCONT); }
    } resume{s->agent->pid()};
    const auto before = std::chrono::steady_clock::now();
    TRun stalled =
        run(s->binaries + "/tools/browse/browse list " + fileSubclient() + " --at " + lastDay() + " --data " +
            s->dir.file("demo") + " --token " + token + " --ma-host 127.0.0.1 --quiet --timeout 8");
    const auto took = std::chrono::steady_clock::now() - before;
    EXPECT_EQ(stalled.status, kExitTimedOut) << stalled.err;
    EXPECT_NE(stalled.err.find("media agent [mediaagent1]"), std::string::npos) << stalled.err;
    EXPECT_GE(took, 8s);
    // Waiting once per attempt costs twice the limit (16 s); the margin below it is for a busy machine.
    EXPECT_LT(took, 14s);
}

// The console's limits are read on its clock: the command's --timeout, and a token's expiry (one check,
// for a browse and a stop alike). A token that has an hour to run is sent; two hours on by the console's
// clock it is refused before anything is sent. A command that waits for a frozen agent ends once its
// clock passes the limit, whatever the real time.
TEST_F(BrowseConsole, TheTimeoutAndATokensExpiryAreOnTheConsolesClock) {
    std::string key, token;
    ASSERT_TRUE(CZetaToken::signingKey(key));
    TZetaTokenClaims claims;
    claims.userId = s->world.adminUser;
    claims.issuedAt = static_cast<long long>(std::time(nullptr));
    claims.expiresAt = claims.issuedAt + 3600;
    ASSERT_EQ(CZetaToken::issue(key, claims, token), CZetaToken::kValid);
    auto command = [&](const std::string& line) {
        std::vector<std::string> words = {"browse"};
        std::istringstream in(line + " --data " + s->dir.file("demo") + " --token " + token +
                              " --ma-host 127.0.0.1 --timeout 30");
        for (std::string word; in >> word;) words.push_back(word);
        std::vector<char*> argv;
        for (std::string& w : words) argv.push_back(w.data());
        TConsoleOptions options;
        std::string error;
        EXPECT_TRUE(parseConsoleArgs(static_cast<int>(argv.size()), argv.data(), options, error)) << error;
        return options;
    };
    const std::string list = "list " + fileSubclient() + " --at " + lastDay();
    {
        CHubManualClock clock;
        CConsoleSession session(command(list), "", clock);
        TConsoleResult result;
        EXPECT_EQ(session.run(result), kExitOk) << result.error;
        EXPECT_FALSE(result.items.empty());
    }
    CHubManualClock later;
    later.advance(std::chrono::hours(2));
    for (const auto& [line, verb] : std::vector<std::pair<std::string, std::string>>{
             {list, "list"}, {"stop --session console-expired-stop", "stop"}}) {
        CConsoleSession session(command(line), "", later);
        TConsoleResult result;
        EXPECT_EQ(session.run(result), kExitRefused) << line << ": " << result.error;
        EXPECT_NE(result.error.find("the token expired at "), std::string::npos) << result.error;
        EXPECT_NE(result.error.find("; the " + verb + " was not sent"), std::string::npos) << result.error;
    }

    ASSERT_EQ(kill(s->agent->pid(), SIGSTOP), 0);
    struct TResume {
        pid_t pid;
        ~TResume() { kill(pid, SIGCONT); }
    } resume{s->agent->pid()};
    CHubManualClock clock;
    CConsoleSession session(command(list), "", clock);
    TConsoleResult result;
    std::atomic<int> rc{-1};
    std::thread console([&] { rc = session.run(result); });
    // It waits for the agent, reading its clock, and has not given up.
    EXPECT_TRUE(clock.waitForReads(200));
    EXPECT_EQ(rc.load(), -1);
    clock.advance(std::chrono::seconds(31));
    console.join();
    EXPECT_EQ(rc.load(), kExitTimedOut) << result.error;
    EXPECT_NE(result.error.find("media agent [mediaagent1]"), std::string::npos) << result.error;
}

// --timeout holds on every road a command takes, whichever agent freezes: the agent's own index service,
// the Hubmaster's road asked for or taken by the console instead (a hypervisor's virtual machines by
// GUID, a VM in its hypervisor's index, an agent with no index service) and an erase's look-ups, each an
// exchange of its own. The console ends by its limit, plus what it needs to start and print. The
// Hubmaster does not wait for the frozen agent either: a browse it runs for a caller that left ends then.
TEST_F(BrowseConsole, EveryRoadEndsByTheTimeoutWhenItsAgentFreezes) {
    const std::string token = hubtest::issueToken(s->dir.file("demo"), "admin");
    const hubdb::DemoHypervisor& hv = s->world.vsa;
    const std::string vm1 = std::to_string(hubtest::queryInt(
        s->world.databasePath,
        "SELECT a.id FROM APP_Application a JOIN APP_Client c ON c.id = a.clientId WHERE c.name = 'vm1'"));
    const std::string legacyDay = std::to_string(s->world.legacy.firstBackupTime + 86400LL * 11);
    struct TRoad {
        std::string command;
        const hubtest::CChildProcess* frozen;
        bool hosted;             // the Hubmaster runs the browse itself
        std::string named = {};  // the peer the time-out names ("": not checked)
    };
    // Through the Hubmaster, where nothing tells the console which peer fell silent, it names both.
    const std::string hostOrAgent =
        "the Hubmaster, or the media agent it asks for the request, did not answer";
    const std::vector<TRoad> roads = {
        {"list " + fileSubclient() + " --at " + lastDay(), s->agent.get(), false},
        {"list " + fileSubclient() + " --at " + lastDay() + " --via hubmaster", s->agent.get(), true,
         hostOrAgent},
        {"list --client vmalpha --subclient " + std::to_string(hv.vms.front().subclientId) + " --at " +
             lastDay(),
         s->agent.get(), false},
        {"list --client vsahypervisor --subclient " + std::to_string(hv.subclient) +
             " --app-type 106 --path '\\" + hv.vms.front().guid + "\\d00' --at " + lastDay(),
         s->agent.get(), true, hostOrAgent},
        // A VM whose backups lie in its hypervisor's index: the router hands it over to the Hubmaster.
        {"list --client vm1 --subclient " + vm1 + " --at " + lastDay(), s->agent.get(), true, hostOrAgent},
        // A mining's time limit is a time-out, named for the media agent the user knows.
        {"list --mine --client spplain --subclient " + std::to_string(s->world.mining.spSubclient) +
             " --app-type 78 --at " + lastDay(),
         s->agent.get(), false, "the mining service of SharePoint server [spplain]"},
        // The router names the media agent the Hubmaster then browses: its silence is named.
        {"list --client client3 --subclient " + std::to_string(s->world.legacy.subclient) + " --at " +
             legacyDay,
         s->legacyAgent.get(), true,
         "media agent [mediaagent3], browsed through the Hubmaster, did not answer"},
        {"erase " + fileSubclient() + " --path /d00/d01/d00/f00000201.dat=1 --at " + lastDay() + " --dry-run",
         s->agent.get(), false},
    };
    // The SharePoint servers' mining service runs on the media agent's machine in this world.
    hubtest::pointClientAt(s->world, "spplain", s->agent->numberAfter(hubtest::kAgentListening));
    constexpr int kLimit = 3;
    // Starting the program and printing what it has: well within this on a busy machine.
    constexpr auto kMargin = 3s;
    const std::string hostLog = s->dir.file("demo") + "/hubmaster.log";
    for (size_t n = 0; n < roads.size(); ++n) {
        const TRoad& road = roads[n];
        const std::string session = "console-frozen-road-" + std::to_string(n);
        // Once with the agent answering: the Hubmaster keeps its session to the agent, so the browse to
        // come is sent and waits for answers that never come.
        if (road.hosted) {
            EXPECT_EQ(
                run(s->binaries + "/tools/browse/browse " + road.command + " --data " + s->dir.file("demo") +
                    " --token " + token + " --ma-host 127.0.0.1 --quiet --timeout 60")
                    .status,
                kExitOk)
                << road.command;
        }
        ASSERT_EQ(kill(road.frozen->pid(), SIGSTOP), 0);
        struct TResume {
            pid_t pid;
            ~TResume() { kill(pid, SIGCONT); }
        } resume{road.frozen->pid()};
        const auto before = std::chrono::steady_clock::now();
        TRun stalled = run(s->binaries + "/tools/browse/browse " + road.command + " --session " + session +
                           " --data " + s->dir.file("demo") + " --token " + token +
                           " --ma-host 127.0.0.1 --quiet --timeout " + std::to_string(kLimit));
        const auto took = std::chrono::steady_clock::now() - before;
        EXPECT_EQ(stalled.status, kExitTimedOut) << road.command << ": " << stalled.err;
        if (!road.named.empty()) {
            EXPECT_NE(stalled.err.find(road.named), std::string::npos) << stalled.err;
        }
        EXPECT_GE(took, std::chrono::seconds(kLimit)) << road.command;
        EXPECT_LT(took, std::chrono::seconds(kLimit) + kMargin) << road.command;
        if (!road.hosted) continue;
        // The agent still frozen, the Hubmaster's browse for the caller that left has ended.
        const std::string ended =
            "browse of session [" + session + "] by user [admin] through HubmasterBrowse: ";
        bool seen = false;
        for (auto until = std::chrono::steady_clock::now() + 60s;
             !seen && std::chrono::steady_clock::now() < until; std::this_thread::sleep_for(100ms)) {
            std::ifstream in(hostLog);
            seen = std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>())
                       .find(ended) != std::string::npos;
        }
        EXPECT_TRUE(seen) << road.command << ": the Hubmaster still runs the browse of its caller that left";
    }
}

// The README's examples, pasted into bash in a folder laid out as the repository's root against the
// world ./dev run --serve serves: each command's exit status, and what it printed as shown (shownlines.h).
TEST_F(BrowseConsole, TheReadmesExamplesRunAsShown) {
    namespace fs = std::filesystem;
    fs::path source(__FILE__);
    if (source.is_relative()) source = fs::path(s->binaries) / source;
    std::ifstream readme(source.parent_path() / ".." / ".." / ".." / "README.md");
    ASSERT_TRUE(readme) << source;
    struct TExample {
        std::string command;
        int status = 0;
        std::vector<std::string> shown;
    };
    std::vector<TExample> examples;
    bool inside = false;
    for (std::string line; std::getline(readme, line);) {
        if (line == "<!-- examples -->") inside = true;
        if (line == "<!-- end of examples -->") break;
        if (!inside || line.rfind("    ", 0) != 0) continue;
        line = line.substr(4);
        if (line.rfind("$ ", 0) == 0) {
            examples.push_back(TExample{line.substr(2), 0, {}});
            const size_t status = line.find("# exit status ");
            if (status != std::string::npos) examples.back().status = std::atoi(line.c_str() + status + 14);
        } else if (!examples.empty() && examples.back().command.back() == '\\') {
            examples.back().command += "\n" + line;
        } else if (!examples.empty()) {
            examples.back().shown.push_back(line);
        }
    }
    ASSERT_GT(examples.size(), 20u);

    const fs::path root = s->dir.file("readme-root"), home = s->dir.file("readme-home");
    const fs::path outputs = s->dir.file("readme-outputs");
    for (const fs::path& folder : {root / "build", home, outputs}) fs::create_directories(folder);
    // The world the README names: the one ./dev run --serve serves once its tour has run, made by the
    // same script in a build folder of the programs under test.
    fs::create_directory_symlink(fs::absolute(s->binaries) / "tools", root / "build" / "tools");
    fs::create_symlink(fs::absolute(s->binaries) / "libfastbrowsehm.so",
                       root / "build" / "libfastbrowsehm.so");
    hubtest::CChildProcess served(
        "/bin/bash", {(source.parent_path() / ".." / ".." / ".." / "tools" / "run-demo.sh").string(),
                      (root / "build").string(), "--serve"});
    ASSERT_TRUE(served.waitFor("Serving (Ctrl-C stops every process)", 600s)) << served.output();
    // One bash runs them in turn, as a user pasting them would.
    std::ofstream script(s->dir.file("readme.sh"));
    script << "cd " << root << "\n";
    for (size_t n = 0; n < examples.size(); ++n) {
        const std::string file = (outputs / std::to_string(n)).string();
        script << "{\n"
               << examples[n].command << "\n} >" << file << ".out 2>" << file << ".err\necho $? >" << file
               << ".status\n";
    }
    script.close();
    TRun ran = run("env -u BROWSE_TOKEN -u BROWSE_DATA -u BROWSE_MA_HOST HOME=" + home.string() + " bash " +
                   s->dir.file("readme.sh"));
    ASSERT_EQ(ran.status, 0) << ran.err;
    auto text = [](const fs::path& file) {
        std::ifstream in(file);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    };
    for (size_t n = 0; n < examples.size(); ++n) {
        const TExample& example = examples[n];
        const std::string out = text(outputs / (std::to_string(n) + ".out"));
        const std::string err = text(outputs / (std::to_string(n) + ".err"));
        EXPECT_EQ(std::atoi(text(outputs / (std::to_string(n) + ".status")).c_str()), example.status)
            << example.command << "\n"
            << out << err;
        EXPECT_EQ(hubtest::shownLinesProblem(example.shown, out, err), "")
            << example.command << "\nprinted:\n"
            << out << err;
    }
}

TEST_F(BrowseConsole, LogsTellEachBrowsesStory) {
    // The host's lines of this test's commands: those past what the suite's earlier tests wrote.
    std::error_code ec;
    const auto hostBefore = std::filesystem::file_size(s->dir.file("demo") + "/hubmaster.log", ec);
    TRun listed = browse("list " + fileSubclient() + " --path /d00/d01 --at " + lastDay() +
                         " --session console-log-session");
    ASSERT_EQ(listed.status, 0) << listed.err;
    TRun stop = browse("stop --session console-log-session");
    ASSERT_EQ(stop.status, 0) << stop.err;
    TRun hosted = browse("list " + fileSubclient() + " --path /d00/d01 --at " + lastDay() +
                         " --via hubmaster --session console-hosted-story");
    ASSERT_EQ(hosted.status, 0) << hosted.err;
    auto text = [](const std::string& file) {
        std::ifstream in(file);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    };
    const std::string host = text(s->dir.file("demo") + "/hubmaster.log").substr(ec ? 0 : hostBefore);
    EXPECT_NE(host.find("direct browse of session [console-log-session] by user [admin], operation [0]: a "
                        "prepared request for the media agent in "),
              std::string::npos);
    // The Hubmaster's line of a browse it answered counts the items its caller was sent.
    const std::string consoleLog = text(s->dir.file("demo") + "/browse.log");
    std::smatch shown;
    ASSERT_TRUE(
        std::regex_search(consoleLog, shown,
                          std::regex("list of session \\[console-hosted-story\\][^\n]*: ([1-9][0-9]*) item")))
        << consoleLog;
    // The host writes that line once the browse has ended, which may be just after its caller has left.
    const std::string hostedLine =
        "browse of session [console-hosted-story] by user [admin] through HubmasterBrowse: ";
    std::string hostLines;
    for (auto until = std::chrono::steady_clock::now() + 30s; std::chrono::steady_clock::now() < until;
         std::this_thread::sleep_for(100ms)) {
        hostLines = text(s->dir.file("demo") + "/hubmaster.log").substr(ec ? 0 : hostBefore);
        if (hostLines.find(hostedLine) != std::string::npos) break;
    }
    EXPECT_NE(hostLines.find(hostedLine + shown[1].str() + " item(s)"), std::string::npos) << hostLines;
    // Who asked for the stop, whatever became of it.
    EXPECT_NE(host.find("Stop request for session [console-log-session]"), std::string::npos);
    EXPECT_NE(host.find("by user ["), std::string::npos);
    // The console names its session, so the service announces none on a channel no one reads.
    EXPECT_EQ(host.find("failed to send item"), std::string::npos);
    const std::string console = text(s->dir.file("demo") + "/browse.log");
    EXPECT_NE(
        console.find("list of session [console-log-session] by user [admin] by road [router, then media "
                     "agent [mediaagent1]]: "),
        std::string::npos)
        << console;
    // One command, one story: the parent look-up after a not-found runs under the command's session,
    // a count's story gives its figure, and an ordinary command leaves no error in the console's log.
    ASSERT_EQ(browse("count " + fileSubclient() + " --path /d00/nothing --at " + lastDay() +
                     " --session console-one-story")
                  .status,
              1);
    ASSERT_EQ(browse("count " + fileSubclient() + " --path /d00/d01 --at " + lastDay() +
                     " --session console-counted")
                  .status,
              0);
    EXPECT_EQ(lines(text(s->dir.file("mediaagent1.log")), "request of session [console-one-story]"), 2u);
    EXPECT_NE(text(s->dir.file("mediaagent1.log")).find(" count="), std::string::npos);
    EXPECT_NE(text(s->dir.file("demo") + "/browse.log")
                  .find("count of session [console-counted] by user [admin] "
                        "by road [router, then media agent [mediaagent1]]: count "),
              std::string::npos);
    std::istringstream consoleLines(text(s->dir.file("demo") + "/browse.log"));
    for (std::string line; std::getline(consoleLines, line);)
        EXPECT_FALSE(std::regex_search(line, std::regex("^\\S+ \\S+ \\d+ \\d+ \\S+ -1 "))) << line;
    // The media agent's line of the request: its session, who asked by proven name, what, outcome, items.
    const std::string agentLog = text(s->dir.file("mediaagent1.log"));
    EXPECT_NE(agentLog.find("request of session [console-log-session] by [an anonymous caller]: signed "),
              std::string::npos)
        << agentLog;
    EXPECT_NE(agentLog.find(" items="), std::string::npos) << agentLog;
    // The request line names the browsed client and the user by name.
    EXPECT_NE(agentLog.find("request of session [console-log-session] by [an anonymous caller]: signed index "
                            "browse of client [client1] subclient [" +
                            std::to_string(s->world.fileSubclient) + "] path [/d00/d01] for user [admin]:"),
              std::string::npos)
        << agentLog;
    // The classic agent's too: the Hubmaster as the caller it proved, the user and the browsed client by
    // name; a classic request carries no session, so the line names none.
    TRun classic = browse("list --client client3 --subclient " + std::to_string(s->world.legacy.subclient) +
                          " --at " + std::to_string(s->world.legacy.firstBackupTime + 86400LL * 11) +
                          " --via hubmaster --session console-classic-session");
    ASSERT_EQ(classic.status, 0) << classic.err;
    const std::string classicLog = text(s->dir.file("mediaagent3.log"));
    EXPECT_NE(classicLog.find("request by [hubmaster]: restore browse of [/] "
                              "subclient " +
                              std::to_string(s->world.legacy.subclient) +
                              " of client [client3] for user [admin] (id "),
              std::string::npos)
        << classicLog;
    // A console naming its user by token: the log names the user by the id the token shows, not only
    // the file.
    const std::string tokenFile = s->dir.file("log-admin.token");
    ASSERT_EQ(shell("tools/hubmaster/hubmaster token --user admin --data " + s->dir.file("demo") + " --out " +
                    tokenFile)
                  .status,
              0);
    ASSERT_EQ(browse("count " + fileSubclient() + " --at " + lastDay(), "--token-file " + tokenFile).status,
              0);
    EXPECT_NE(text(s->dir.file("demo") + "/browse.log")
                  .find("by user id [" + std::to_string(s->world.adminUser) + "] (the token of " + tokenFile +
                        ") by road"),
              std::string::npos);
    // The end of a browse on the direct road is no failure: its stack task's channel has no job.
    const std::string hostNow = text(s->dir.file("demo") + "/hubmaster.log");
    EXPECT_EQ(hostNow.find("no destination registered for job [0]"), std::string::npos);
    EXPECT_EQ(hostNow.find("a message of the other kind arrived"), std::string::npos);
    // Each media agent writes the log it is given, under its own name.
    EXPECT_NE(text(s->dir.file("mediaagent1.log")).find("mediaagent1 (release 11.0 SP24) listening on"),
              std::string::npos);
    EXPECT_NE(text(s->dir.file("mediaagent3.log")).find("mediaagent3 (release 9.0) listening on"),
              std::string::npos);

    // Without a data folder the log goes to the user's own state folder that no one else may read, never
    // to the temporary folder every user shares.
    const std::string tmp = s->dir.file("tmp"), home = s->dir.file("away-home");
    std::filesystem::create_directories(tmp);
    TRun away =
        shell("env -u HUB_LOG_DIR -u XDG_STATE_HOME TMPDIR=" + tmp + " HOME=" + home +
              " tools/browse/browse list --client c --host 127.0.0.1 --port 1 --hubmaster-name h --token T "
              "--ca " +
              s->dir.file("demo") + "/tls/authority.crt --timeout 2");
    EXPECT_EQ(away.status, kExitUnreachable) << away.err;
    struct stat st {};
    const std::string folder = home + "/.local/state/browse";
    ASSERT_EQ(stat(folder.c_str(), &st), 0) << away.err;
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(stat((folder + "/browse.log").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 077, 0u);
    EXPECT_NE(stat((tmp + "/hub-logs-" + std::to_string(geteuid()) + "/browse.log").c_str(), &st), 0);
}

TEST(BrowseConsoleArguments, StrictParsing) {
    long long t = 0;
    for (const auto& [text, seconds] :
         std::vector<std::pair<std::string, long long>>{{"2023-11-21T23:30:00Z", 1700609400},
                                                        {"2023-11-21T23:30Z", 1700609400},
                                                        {"2023-11-21 23:30", 1700609400},
                                                        {"2023-11-22T01:30:00+02:00", 1700609400},
                                                        {"2023-11-21T18:30:00-0500", 1700609400},
                                                        {"2023-11-21T23:30:00.250Z", 1700609400},
                                                        {"2024-02-29", 1709164800},
                                                        {"1700609400", 1700609400}}) {
        ASSERT_TRUE(parseConsoleTime(text, t)) << text;
        EXPECT_EQ(t, seconds) << text;
    }
    for (const std::string bad :
         {"2023-11-21x", "2023-11-21 UTC", "2023-11-21 23:30 UTC", "2023-13-45", "2023-11-21 25:99",
          "2023-02-29", "2023-11-21T", "2023-11-21T23:30:00+25:00", "2023-11-21Z", " 2023-11-21", "+5", ""})
        EXPECT_FALSE(parseConsoleTime(bad, t)) << bad;

    auto parse = [](std::vector<std::string> words, TConsoleOptions& options, std::string& error) {
        words.insert(words.begin(), "browse");
        std::vector<char*> argv;
        for (std::string& w : words) argv.push_back(w.data());
        return parseConsoleArgs(static_cast<int>(argv.size()), argv.data(), options, error);
    };
    TConsoleOptions o;
    std::string error;
    ASSERT_TRUE(parse({"list", "--client=c1", "--page-size", "10", "--page=3", "--via", "router"}, o, error));
    databrowse::BrowseRequest request = buildConsoleRequest(o);
    auto* queries = request.getlistobject(databrowse::BrowseRequest::f::queries, false);
    ASSERT_TRUE(queries && queries->size() == 2u);
    CNMessageBase* paging = queries->front()
                                .getObjectAccessor(databrowse::Query::f::dataParam, false)
                                ->getObjectAccessor(databrowse::DataParam::f::paging, false);
    EXPECT_EQ(paging->getint64(databrowse::Msg6::f::skipNode), 20);
    EXPECT_EQ(queries->back().getstring(databrowse::Query::f::queryId), kConsoleTotalQuery);

    for (const auto& [words, named] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"list", "--client", "c", "--port", "70000"}, "--port takes a whole number from 1 to 65535"},
             {{"list", "--client", "c", "--subclient", "1x"}, "not [1x]"},
             {{"list", "--client", "c", "--via", "ftp"}, "--via takes router or hubmaster, not [ftp]"},
             {{"list", "--client", "c", "--at"}, "--at needs a value"},
             {{"list", "--client", "c", "--json=yes"}, "--json takes no value"},
             {{"find", "--client", "c", "--clients", "a,b", "--name", "x"}, "not both"},
             {{"list", "--client", "c", "--token", "T", "--user", "u"}, "give one of --token"},
             {{"erase", "--client", "c", "--subclient", "1", "--path", "/a="}, "--path [/a=]"},
             {{"lsit"}, "unknown command [lsit]"}}) {
        TConsoleOptions options;
        EXPECT_FALSE(parse(words, options, error)) << words[0];
        EXPECT_NE(error.find(named), std::string::npos) << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    }

    // Erase takes several paths, each with its own size (or none).
    TConsoleOptions erase;
    ASSERT_TRUE(
        parse({"erase", "--client", "c", "--subclient", "1", "--path", "/a=5", "--path", "/b"}, erase, error))
        << error;
    databrowse::BrowseRequest eraseRequest = buildConsoleRequest(erase);
    auto* paths = eraseRequest.getlistobject(databrowse::BrowseRequest::f::paths, false);
    ASSERT_TRUE(paths && paths->size() == 2u);
    EXPECT_EQ((*paths)[1].getstring(databrowse::BrowsePath::f::path), "/b");
    EXPECT_FALSE((*paths)[1].isSet(databrowse::BrowsePath::f::detail));
}

TEST(BrowseConsoleOutput, WarningsSizesAndCounts) {
    TConsoleResult result;
    databrowse::BrowseResponse warning;
    warning.setint64(databrowse::BrowseResponse::f::respType, 4);
    databrowse::BrowseError message;
    message.setstring(databrowse::BrowseError::f::errorMessage, "client [client9] is not known");
    warning.setlistobject(databrowse::BrowseResponse::f::messages, {message});
    EXPECT_FALSE(addConsoleResponse(result, warning));
    result.counts.emplace_back("count", 46);
    const std::string table = formatConsoleTable(result);
    EXPECT_EQ(table.find("warning:"), std::string::npos) << table;
    EXPECT_EQ(formatConsoleWarnings(result), "warning: client [client9] is not known\n");
    EXPECT_NE(table.find("count: 46\n"), std::string::npos) << table;
    EXPECT_EQ(table.find("count count"), std::string::npos);
    boost::property_tree::ptree tree;
    std::istringstream in(formatConsoleJson(result));
    boost::property_tree::read_json(in, tree);
    EXPECT_EQ(tree.get_child("warnings").front().second.get_value<std::string>(),
              "client [client9] is not known");

    EXPECT_EQ(consoleHumanSize(1000), "1000");
    EXPECT_EQ(consoleHumanSize(1536), "1.5K");
    EXPECT_EQ(consoleHumanSize(858145), "838K");
    EXPECT_EQ(consoleHumanSize(5LL << 30), "5.0G");
}

}  // namespace

// A console at another desk: a folder holding only the authority's certificate and a token file, and the
// values of the host's start-up line. Every road of the demo answers as it does with the Hubmaster's
// data; what is missing is named as a setting (exit 2), and the log is the user's own.
class DeskConsole : public BrowseConsole {
protected:
    struct TDesk {
        std::string home, ca, token, line;  // line: the start-up line's options, --ca pointing at `ca`
    };
    static TDesk desk() {
        TDesk d;
        d.home = s->dir.file("desk-home");
        std::filesystem::create_directories(d.home);
        d.ca = d.home + "/authority.crt";
        d.token = d.home + "/admin.token";
        std::filesystem::copy_file(s->dir.file("demo") + "/tls/authority.crt", d.ca,
                                   std::filesystem::copy_options::overwrite_existing);
        if (!std::filesystem::exists(d.token)) {
            EXPECT_EQ(shell("tools/hubmaster/hubmaster token --user admin --data " + s->dir.file("demo") +
                            " --out " + d.token)
                          .status,
                      0);
        }
        std::istringstream out(s->host->output());
        for (std::string line; std::getline(out, line);)
            if (line.rfind("hubmaster: a console elsewhere: browse ", 0) == 0) d.line = line.substr(39);
        const std::string caFlag = "--ca " + s->dir.file("demo") + "/tls/authority.crt";
        EXPECT_NE(d.line.find(caFlag), std::string::npos) << d.line;
        if (d.line.find(caFlag) != std::string::npos)
            d.line.replace(d.line.find(caFlag), caFlag.size(), "--ca " + d.ca);
        return d;
    }
    // The console as a user at that desk runs it: no data folder, its own home.
    static TRun atDesk(const TDesk& d, const std::string& args) {
        return shell(
            "env -u BROWSE_DATA -u BROWSE_TOKEN -u BROWSE_MA_ADDRESS -u HUB_LOG_DIR -u XDG_STATE_HOME HOME=" +
            d.home + " tools/browse/browse " + args + " --quiet --timeout 30");
    }
    static std::string legacy() {
        return "--client client3 --subclient " + std::to_string(s->world.legacy.subclient) + " --at " +
               std::to_string(s->world.legacy.firstBackupTime + 86400LL * 11);
    }
};

TEST_F(DeskConsole, TakesEveryRoadWithTheStartUpLine) {
    const TDesk d = desk();
    const std::string who = " --token-file " + d.token + " " + d.line;
    // The start-up line names only agents that listen somewhere recorded: not the demo's unstarted one.
    EXPECT_EQ(d.line.find("mediaagent2"), std::string::npos) << d.line;
    EXPECT_NE(d.line.find("mediaagent3="), std::string::npos) << s->host->output();

    // An older agent's client: the prepared request tells its release, so the console takes the
    // Hubmaster's road at once instead of waiting on an index service the agent does not have.
    TRun older = atDesk(d, "list " + legacy() + who);
    ASSERT_EQ(older.status, 0) << older.err;
    EXPECT_NE(older.err.find("release 9 (no index service): browsing through the Hubmaster instead"),
              std::string::npos)
        << older.err;
    EXPECT_EQ(older.out, browse("list " + legacy() + " --via hubmaster").out);
    // What that road does not offer is said without advice to give what was given.
    TRun count = atDesk(d, "count " + legacy() + who);
    EXPECT_EQ(count.status, kExitServiceError) << count.err;
    EXPECT_NE(count.err.find("count of it is not offered"), std::string::npos) << count.err;
    EXPECT_EQ(count.err.find("--subclient"), std::string::npos) << count.err;

    // Media: the Hubmaster's data names each archive file's medium; a desk console with a user's token
    // only is told why the columns it cannot be told stay unknown.
    const std::string media = "media " + fileSubclient() + " --path /d00 --at " + lastDay();
    TRun withData = browse(media);
    ASSERT_EQ(withData.status, 0) << withData.err;
    EXPECT_NE(withData.out.find("demo-library"), std::string::npos) << withData.out;
    EXPECT_EQ(withData.err.find("warning:"), std::string::npos) << withData.err;
    TRun named = atDesk(d, media + who);
    ASSERT_EQ(named.status, 0) << named.err;
    EXPECT_EQ(lines(named.out, "demo-library"), 0u) << named.out;
    EXPECT_NE(named.err.find("names media only to a machine's certificate or to a console run with --data"),
              std::string::npos)
        << named.err;

    // A signed request names its media agent in the clear too: a virtual machine of a hypervisor kept per
    // virtual machine, and a find across clients, are taken to the agent without --ma.
    const std::string vmalpha = "list --client vmalpha --subclient " +
                                std::to_string(s->world.vsa.vms.front().subclientId) + " --at " + lastDay();
    TRun vm = atDesk(d, vmalpha + who);
    ASSERT_EQ(vm.status, 0) << vm.err;
    EXPECT_EQ(vm.out, browse(vmalpha).out);
    // Its clients are named as with the Hubmaster's data: the request says whose subclients it searches.
    const std::string find =
        "find --clients client1,client2 --path /d00/d01/d00 --name 'f*' --at " + lastDay();
    TRun across = atDesk(d, find + who);
    ASSERT_EQ(across.status, 0) << across.err;
    EXPECT_GT(lines(across.out, "client1     file "), 0u) << across.out;
    EXPECT_GT(lines(across.out, "client2     file "), 0u) << across.out;
    EXPECT_EQ(across.out, browse(find).out);

    // A stop takes the same line as every other command, and is answered there too.
    TRun stop = atDesk(d, "stop --session desk-stop-session" + who);
    EXPECT_EQ(stop.status, 1) << stop.out << stop.err;
    EXPECT_NE(stop.err.find("No such session"), std::string::npos) << stop.err;

    // The log is the user's own, in the user's state folder, naming the user by what the token shows.
    struct stat st {};
    const std::string folder = d.home + "/.local/state/browse";
    ASSERT_EQ(stat(folder.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 077, 0u);
    std::ifstream log(folder + "/browse.log");
    const std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("media of session ["), std::string::npos) << text;
    EXPECT_NE(
        text.find("by user id [" + std::to_string(s->world.adminUser) + "] (the token of " + d.token + ")"),
        std::string::npos)
        << text;
}

TEST_F(DeskConsole, NamesTheSettingThatIsMissing) {
    const TDesk d = desk();
    const std::string what =
        "list " + fileSubclient() + " --at " + lastDay() + " --token-file " + d.token + " ";
    // Without --ma-address: the option and where its value is printed.
    std::string withoutAgents = d.line.substr(0, d.line.find(" --ma-address"));
    TRun agents = atDesk(d, what + withoutAgents);
    EXPECT_EQ(agents.status, kExitUsage) << agents.err;
    EXPECT_NE(agents.err.find("give --ma-address mediaagent1=<host>:<port>"), std::string::npos)
        << agents.err;
    EXPECT_NE(agents.err.find("hubmaster: a console elsewhere"), std::string::npos) << agents.err;
    EXPECT_EQ(agents.err.find("--via hubmaster"), std::string::npos) << agents.err;
    // Without an authority (none given, none in the default place): a setting, not an unreachable peer.
    std::string withoutCa = d.line;
    withoutCa.erase(withoutCa.find(" --ca "), 6 + d.ca.size());
    TRun authority = atDesk(d, what + withoutCa);
    EXPECT_EQ(authority.status, kExitUsage) << authority.err;
    for (const char* named : {"--ca <file>", "$BROWSE_CA", "~/.config/browse/authority.crt"})
        EXPECT_NE(authority.err.find(named), std::string::npos) << authority.err;
    // An expired token: a new one comes from the Hubmaster's machine, which the console says.
    const std::string token = expiredToken();
    ASSERT_FALSE(token.empty());
    TRun expired =
        atDesk(d, "list " + fileSubclient() + " --at " + lastDay() + " --token " + token + " " + d.line);
    EXPECT_EQ(expired.status, kExitRefused) << expired.err;
    EXPECT_NE(expired.err.find("the token expired at "), std::string::npos) << expired.err;
    EXPECT_NE(expired.err.find("on the Hubmaster's machine"), std::string::npos) << expired.err;
    // With --json the code is the exit status of the table, whatever code the service gave.
    TRun json = atDesk(
        d, "list " + fileSubclient() + " --at " + lastDay() + " --json --token " + token + " " + d.line);
    const auto tree = BrowseConsole::json(json);
    EXPECT_EQ(tree.get<int>("error.code", -1), kExitRefused) << json.out;
    EXPECT_EQ(tree.get<int>("error.exitStatus", -1), kExitRefused) << json.out;
}

// A listing cut short says so on its last line and in JSON; a question answered no has its own status.
TEST_F(BrowseConsole, AnswersAScriptCanTrust) {
    const std::string held = std::string(kHeldSessions) + "cut-short";
    const std::string what =
        "list " + fileSubclient() + " --path /d00/d01/d00 --at " + lastDay() + " --timeout 5";
    TRun table = run(s->binaries + "/tools/browse/browse " + what + " --session " + held + "-table --data " +
                     s->dir.file("demo") + " --user admin --ma-host 127.0.0.1 --quiet");
    TRun json = run(s->binaries + "/tools/browse/browse " + what + " --json --session " + held +
                    "-json --data " + s->dir.file("demo") + " --user admin --ma-host 127.0.0.1 --quiet");
    for (const char* session : {"-table", "-json"})
        EXPECT_EQ(browse("stop --session " + held + session).status, 0);
    EXPECT_EQ(table.status, kExitTimedOut) << table.err;
    ASSERT_GT(lines(table.out, "file "), 0u) << table.out;
    std::string last = table.out.substr(table.out.rfind('\n', table.out.size() - 2) + 1);
    EXPECT_NE(last.find("incomplete"), std::string::npos) << table.out;
    EXPECT_EQ(json.status, kExitTimedOut) << json.err;
    const auto tree = BrowseConsole::json(json);
    EXPECT_FALSE(tree.get<bool>("complete", true)) << json.out;
    EXPECT_GT(tree.get_child("items").size(), 0u) << json.out;
    EXPECT_TRUE(BrowseConsole::json(browse("count " + fileSubclient() + " --at " + lastDay() + " --json"))
                    .get<bool>("complete", false));

    // An erase of a folder that its user declines: nothing booked, and the cancel's own status.
    const long long booked = bookedErasePaths();
    std::vector<std::string> words = {"browse",    "erase",        "--client",
                                      "client1",   "--subclient",  std::to_string(s->world.fileSubclient),
                                      "--path",    "/d00/d01/d00", "--at",
                                      lastDay(),   "--data",       s->dir.file("demo"),
                                      "--user",    "alice",        "--ma-host",
                                      "127.0.0.1", "--timeout",    "30"};
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    TConsoleOptions options;
    std::string error;
    ASSERT_TRUE(parseConsoleArgs(static_cast<int>(argv.size()), argv.data(), options, error)) << error;
    CConsoleSession session(options, s->binaries + "/tools/hubmaster/hubmaster");
    TConsoleResult result;
    std::string asked;
    const int rc = session.run(result, {}, [&](const std::string& question) {
        asked = question;
        return false;
    });
    EXPECT_EQ(rc, kExitCancelled) << result.error;
    EXPECT_NE(asked.find("of folder /d00/d01/d00"), std::string::npos) << asked;
    EXPECT_EQ(bookedErasePaths(), booked);
    EXPECT_NE(shell("tools/browse/browse help").out.find("6 cancelled"), std::string::npos);
}

// Output and errors in one file (> f 2>&1), as a user keeps them: the answer comes whole, then what
// standard error says of it, each line whole, whatever the answer's size (a table or JSON past what
// standard output buffers).
TEST_F(BrowseConsole, OutputAndErrorsInOneFileKeepTheirOrderAndLines) {
    const std::string find = "find --clients client3,client1 --path /d00 --name 'f*' --at " + lastDay();
    TRun apart = browse(find);
    ASSERT_EQ(apart.status, kExitServiceError) << apart.err;
    ASSERT_GT(apart.out.size(), 16384u) << "the answer must be larger than what standard output buffers";
    TRun together = browse(find, "--user admin 2>&1");
    EXPECT_EQ(together.status, kExitServiceError);
    // The table, its last line saying the error follows, then the warning and the error.
    EXPECT_EQ(together.out, apart.out + apart.err);
    const size_t last =
        together.out.find("; incomplete: a part of it was not searched (the error follows)\n");
    const size_t error = together.out.find("browse: the answer is incomplete: ");
    ASSERT_NE(last, std::string::npos) << together.out.substr(0, 2000);
    EXPECT_LT(last, error);
    EXPECT_LT(last, together.out.find("warning: Client [client3] is not searched"));

    TRun asJson = browse(find + " --json", "--user admin 2>&1");
    EXPECT_EQ(asJson.status, kExitServiceError);
    // The JSON is whole before the error's line, which follows it.
    const size_t end = asJson.out.find("}\nbrowse: the answer is incomplete: ");
    ASSERT_NE(end, std::string::npos)
        << asJson.out.substr(asJson.out.size() > 2000 ? asJson.out.size() - 2000 : 0);
    TRun parsed;
    parsed.out = asJson.out.substr(0, end + 2);
    EXPECT_FALSE(json(parsed).get<bool>("complete", true));
}

// Ordinary refusals and answers are no faults in the host's log: a refusal of rights, a session in use
// by another caller, a live browse refused, no warning of a missing locale nor an exception; each is
// logged where it is decided, as a refusal.
TEST_F(BrowseConsole, RefusalsAreLoggedAsRefusalsNotFaults) {
    std::error_code ec;
    const std::string log = s->dir.file("demo") + "/hubmaster.log";
    const auto before = std::filesystem::file_size(log, ec);
    const std::string at = " --at " + lastDay();
    EXPECT_EQ(browse("list --client client2 --subclient 2" + at, "--user alice").status, kExitRefused);
    ASSERT_EQ(browse("list " + fileSubclient() + at + " --session console-taken-session").status, kExitOk);
    for (const char* road : {"", " --via hubmaster"}) {
        TRun taken = browse("list " + fileSubclient() + at + " --session console-taken-session" + road,
                            "--user alice");
        EXPECT_EQ(taken.status, kExitRefused) << road << taken.err;
        EXPECT_NE(taken.err.find("is in use by another caller"), std::string::npos) << taken.err;
    }
    std::ifstream in(log);
    const std::string lines =
        std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>())
            .substr(ec ? 0 : before);
    EXPECT_EQ(lines.find("getLocaleId() failed"), std::string::npos) << lines;
    EXPECT_EQ(lines.find("Exception: "), std::string::npos) << lines;
    EXPECT_NE(lines.find("browse session [console-taken-session] belongs to another caller; refused"),
              std::string::npos)
        << lines;
    EXPECT_NE(lines.find("Browse access denied"), std::string::npos) << lines;
}
