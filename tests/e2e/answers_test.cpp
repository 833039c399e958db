// Every answer true, through the real processes: the host program, the media agent of client1's data
// (holding the answers of sessions named "held-..." after their first items), the classic media agent of
// client3's, and consoles. A find that did not search a client says it is not complete, and its exit
// status says so; a stop says only what it did (nothing handed over, nothing told); and each exit status
// is the README's, decided from what the service answered: a command line the service would refuse is a
// usage error, a refusal of the caller is a refusal whatever its words, a listing cut short says so on
// its last line on either road.
#include <gtest/gtest.h>

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <chrono>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>

#include "platform/hubdemo/hubdemo.h"
#include "tests/platform/db/tempdir.h"
#include "tests/support/process/childprocess.h"
#include "tests/support/process/consolerun.h"
#include "tests/support/process/demosystem.h"
#include "tests/support/sqlite/testsql.h"

namespace {

using namespace std::chrono_literals;
using TRun = hubtest::TConsoleRun;

constexpr const char* kHeldPrefix = "held-";

std::string text(const std::string& file) {
    std::ifstream in(file);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The last line a table printed.
std::string lastLine(const std::string& out) {
    std::string line, last;
    std::istringstream lines(out);
    while (std::getline(lines, line))
        if (!line.empty()) last = line;
    return last;
}

boost::property_tree::ptree json(const std::string& out) {
    boost::property_tree::ptree tree;
    std::istringstream in(out);
    boost::property_tree::read_json(in, tree);
    return tree;
}

class TrueAnswers : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s = new TShared;
        ASSERT_EQ(hubtest::demoWorldIn(s->dir.file("demo"), s->world), "");
        s->binaries = hubtest::binaryDir();
        s->agent =
            hubtest::startDemoAgent(s->world, "mediaagent1", s->dir.file("mediaagent1.db"), s->dir.path(),
                                    {"--index-service", "started", "--hold-sessions", kHeldPrefix});
        s->legacy =
            hubtest::startDemoAgent(s->world, "mediaagent3", s->dir.file("mediaagent3.db"), s->dir.path());
        s->host = hubtest::startDemoHost(s->world, s->dir.file("demo"), s->hostPort);
        for (const char* user : {"admin", "alice", "TENANT\\olivia", "EXCH\\sam"})
            s->tokens[user] = hubtest::issueToken(s->dir.file("demo"), user);
    }
    static void TearDownTestSuite() {
        delete s;
        s = nullptr;
    }

    static std::string hostLog() { return text(s->dir.file("demo") + "/hubmaster.log"); }
    static std::string as(const std::string& user) { return "--token " + s->tokens.at(user); }
    static TRun console(const std::string& args, const std::string& user, int timeoutSeconds = 60) {
        return hubtest::runConsole(s->binaries + "/tools/browse/browse " + args + " --data " +
                                       s->dir.file("demo") + " " + as(user) +
                                       " --ma-host 127.0.0.1 --timeout " + std::to_string(timeoutSeconds),
                                   s->dir.file("stderr-" + std::to_string(++s->runs)));
    }
    static std::string lastDay() {
        return std::to_string(s->world.firstBackupTime + 86400LL * s->world.backupDays);
    }
    static std::string fileSubclient() {
        return "--client client1 --subclient " + std::to_string(s->world.fileSubclient);
    }
    static std::string legacyListing(const std::string& session) {
        return "list --client client3 --subclient " + std::to_string(s->world.legacy.subclient) + " --at " +
               std::to_string(s->world.legacy.firstBackupTime + 86400LL * 11) + " --session " + session;
    }
    static std::string find(const std::string& clients) {
        return "find --clients " + clients + " --path /d00/d01/d00 --name 'f0000020*' --at " + lastDay();
    }

    struct TShared {
        TempDir dir;
        hubdemo::DemoWorld world;
        std::string binaries;
        std::map<std::string, std::string> tokens;
        std::unique_ptr<hubtest::CChildProcess> agent, legacy, host;
        int hostPort = 0;
        int runs = 0;
    };
    static TShared* s;
};
TrueAnswers::TShared* TrueAnswers::s = nullptr;

// A find across clients is whole only when every client it names was searched: one whose backups lie
// on an agent without an index service, or one the Hubmaster does not know, leaves it incomplete (exit
// status 1), as JSON and the table's last line say; a find of clients all searched is whole.
TEST_F(TrueAnswers, AFindSaysWhichClientsItDidNotSearch) {
    TRun older = console(find("client3,client1") + " --json", "admin");
    EXPECT_EQ(older.status, 1) << older.out << older.err;
    const auto answer = json(older.out);
    EXPECT_FALSE(answer.get<bool>("complete", true)) << older.out;
    EXPECT_EQ(answer.get<int>("error.exitStatus", -1), 1) << older.out;
    EXPECT_GT(answer.get_child("items").size(), 0u) << "client1's items are listed: " << older.out;
    EXPECT_NE(older.out.find("Client [client3] is not searched"), std::string::npos) << older.out;

    // A misspelt client is not searched either, and the table's last line says so.
    TRun misspelt = console(find("nosuch,client1"), "admin");
    EXPECT_EQ(misspelt.status, 1) << misspelt.out << misspelt.err;
    EXPECT_NE(lastLine(misspelt.out).find("items; incomplete: a part of it was not searched"),
              std::string::npos)
        << misspelt.out;

    TRun whole = console(find("client1,client2") + " --json", "admin");
    EXPECT_EQ(whole.status, 0) << whole.out << whole.err;
    EXPECT_TRUE(json(whole.out).get<bool>("complete", false)) << whole.out;
}

// A stop says what it did: a browse of the older agent, which the console took through the Hubmaster,
// was handed to no agent, so nothing was told and nothing was left to stop (a prepared request the
// console took to its agent has that agent told: the stop tests).
TEST_F(TrueAnswers, AStopSaysOnlyWhatHappened) {
    const std::string older = "answers-older";
    TRun listed = console(legacyListing(older), "admin");
    ASSERT_EQ(listed.status, 0) << listed.out << listed.err;
    EXPECT_NE(listed.err.find("browsing through the Hubmaster instead"), std::string::npos) << listed.err;
    TRun stopped = console("stop --session " + older, "admin");
    EXPECT_EQ(stopped.status, 0) << stopped.out << stopped.err;
    EXPECT_NE(stopped.out.find("stop of session " + older + ": nothing was left to stop"), std::string::npos)
        << stopped.out;
    EXPECT_EQ(stopped.out.find("mediaagent3"), std::string::npos) << stopped.out;
    EXPECT_EQ(hostLog().find("session [" + older + "] was handed to its caller"), std::string::npos)
        << hostLog();
}

// Exit statuses follow the README's table: an erase path or a session id the service would refuse is a
// command line to mend (2), named before anything is sent; a refusal is one (3) whatever words it comes
// with (an erase of another user's folder, a mailbox access that cannot be checked), while a path that
// does not exist is the service's answer (1); a setting the user must give (a desk's --ma) is usage (2); a
// listing cut short by --timeout says so on its last line on the Hubmaster's road too (5).
TEST_F(TrueAnswers, ExitStatusesFollowTheTable) {
    const std::string at = " --at " + lastDay();
    TRun relative = console(
        "erase " + fileSubclient() + " --path d00/d01/d00/f00000201.dat=739056" + at + " --dry-run", "alice");
    EXPECT_EQ(relative.status, 2) << relative.err;
    EXPECT_NE(relative.err.find("--path [d00/d01/d00/f00000201.dat=739056]"), std::string::npos)
        << relative.err;
    TRun longest = console("list " + fileSubclient() + at + " --session " + std::string(128, 's'), "admin");
    EXPECT_EQ(longest.status, 0) << longest.err;
    TRun tooLong = console("list " + fileSubclient() + at + " --session " + std::string(200, 's'), "admin");
    EXPECT_EQ(tooLong.status, 2) << tooLong.err;
    EXPECT_NE(tooLong.err.find("--session"), std::string::npos) << tooLong.err;

    // (On indexing V1, where a listing of another user's folder is refused: on V2 her filter lists
    // nothing of it, and an erase of it finds nothing there, as a listing does.)
    const std::string oneDrive = "--client-id " + std::to_string(s->world.apps.oneDriveV1Client) +
                                 " --subclient " + std::to_string(s->world.apps.oneDriveV1Subclient) +
                                 " --app-type 134" + at + " --dry-run";
    TRun others = console("erase " + oneDrive + " --path '\\OneDrive\\oscar@example.com'", "TENANT\\olivia");
    EXPECT_EQ(others.status, 3) << others.err;
    TRun missing =
        console("erase " + oneDrive + " --path '\\OneDrive\\olivia@example.com\\nosuch'", "TENANT\\olivia");
    EXPECT_EQ(missing.status, 1) << missing.err;
    EXPECT_NE(missing.err.find("does not exist"), std::string::npos) << missing.err;

    TRun mailbox =
        console("list --client-id " + std::to_string(s->world.apps.mailboxClient) + " --subclient " +
                    std::to_string(s->world.apps.mailbox56Subclient) + " --app-type 56 --path '\\MB'" + at,
                "EXCH\\sam");
    EXPECT_EQ(mailbox.status, 3) << mailbox.err;

    // At a desk, away from the Hubmaster's data, a live browse's agent is a setting to give (--ma).
    ASSERT_TRUE(s->host->waitFor("a console elsewhere: browse ", 30s));
    const std::string started = s->host->output(),
                      desk = started.substr(started.find("elsewhere: browse ") + 18);
    TRun live = hubtest::runConsole(
        "env -u BROWSE_DATA HUB_LOG_DIR=" + s->dir.path() + " " + s->binaries + "/tools/browse/browse list " +
            "--client livewin1 --app-type 29 --path 'C:\\' --live " + as("admin") + " --backup-set " +
            hubtest::queryText(s->world.databasePath,
                               "SELECT backupSet FROM APP_Application WHERE clientId = "
                               "(SELECT id FROM APP_Client WHERE name = 'livewin1')") +
            " " + desk.substr(0, desk.find('\n')),
        s->dir.file("desk-err"));
    EXPECT_EQ(live.status, 2) << live.err;
    EXPECT_NE(live.err.find("give --ma <media agent>"), std::string::npos) << live.err;

    const std::string held = std::string(kHeldPrefix) + "answers-timeout";
    TRun cut = console(
        "list " + fileSubclient() + " --path /d00/d01/d00" + at + " --session " + held + " --via hubmaster",
        "admin", 3);
    EXPECT_EQ(cut.status, 5) << cut.out << cut.err;
    EXPECT_NE(lastLine(cut.out).find("items; incomplete: the answer was cut short"), std::string::npos)
        << cut.out;
    EXPECT_EQ(console("stop --session " + held, "admin").status, 0);
}

// A find across clients says each part it left out once, in its warning (its error counts them), and
// advises a find of a client alone only where that answers: walked over a client not searched, one not
// known, one refused, and an end user's clients narrowed to her own, each found in its subclients alone.
TEST_F(TrueAnswers, AFindSaysEachPartLeftOutOnceAdvisingOnlyWhatWorks) {
    for (const auto& [user, clients] :
         {std::pair{"admin", "client3,nosuch,client1"},
          {"alice", "client1,client2"},
          {"TENANT\\olivia", "client1,onedrive1,onedrive2,exchmb1,vmalpha,vsahypervisor"}}) {
        const TRun found = console(find(clients), user);
        EXPECT_LT(lastLine(found.err).size(), 120u) << found.err;
        const std::regex warning("warning: (Client \\[([^\\]]+)\\] holds data)?.*");
        for (auto it = std::sregex_iterator(found.err.begin(), found.err.end(), warning);
             it != std::sregex_iterator(); ++it) {
            const std::string said = it->str().substr(9), all = found.out + found.err;
            EXPECT_EQ(all.find(said), all.rfind(said)) << user << ": said twice: " << said;
            if (!(*it)[1].matched) continue;
            // The subclients of hers it narrows, each found in alone: the advice is true when one answers.
            std::istringstream each(
                hubtest::queryText(s->world.databasePath,
                                   "SELECT group_concat(a.id || ' --app-type ' || a.appTypeId, ',') FROM "
                                   "APP_Application a JOIN APP_Client c ON "
                                   "c.id = a.clientId WHERE c.name = '" +
                                       (*it)[2].str() + "' AND a.appTypeId IN (54, 56, 134, 137, 106)"));
            bool answered = false;
            for (std::string one; std::getline(each, one, ',');)
                answered = answered || console("find --client " + (*it)[2].str() + " --subclient " + one +
                                                   " --path '\\' --name '*' --at " + lastDay(),
                                               user)
                                               .status == 0;
            EXPECT_EQ(said.find("find in that client alone") != std::string::npos, answered)
                << user << ": " << said;
        }
    }
}

// The host's log tells ordinary outcomes as what they are, on both roads: no warning or failure where the
// service only answered a caller (an entity that does not exist, a session another caller holds, a right not
// held, a listing of the older agent) but the lines the service is specified to write there.
TEST_F(TrueAnswers, OrdinaryOutcomesAreNoFaultsInTheHostsLog) {
    const std::string at = " --at " + lastDay();
    const std::regex fault("warning|fail|\\*\\*\\*\\*\\* ", std::regex::icase),
        specified(
            "Authentication failure for BrowseSession\\[|Returning as authentication failed|Input "
            "BrowseRequest is not set");
    ASSERT_EQ(console("list " + fileSubclient() + at + " --session answers-taken", "admin").status, 0);
    for (const std::string road : {"", " --via hubmaster"})
        for (const auto& [user, command] :
             {std::pair{"alice", "list --client nosuch --subclient 1" + at},
              {"alice", "list " + fileSubclient() + at + " --session answers-taken"},
              {"alice", "list --client client2 --subclient 2" + at},
              {"admin", legacyListing("answers-ordinary")}}) {
            const size_t before = hostLog().size();
            console(command + road, user);
            std::istringstream lines(hostLog().substr(before));
            for (std::string line; std::getline(lines, line);)
                EXPECT_FALSE(std::regex_search(line, fault) && !std::regex_search(line, specified))
                    << user << ": " << command << road << ": " << line;
        }
}

}  // namespace
