// The console's tests against the demo world: the host program serving "BrowseRouter" and the media
// agent of client1's data as real processes, started once for the whole program; the console is run for
// each of its commands and its output, exit status and JSON are checked.
#pragma once

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

namespace browsetest {

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
    static inline TShared* s = nullptr;
};

}  // namespace browsetest
