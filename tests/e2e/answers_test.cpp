// Every answer true, through the real processes: the host program, the media agent of client1's data
// (holding the answers of sessions named "held-..." after their first items), the classic media agent of
// client3's, and consoles. A find that did not search a client says it is not complete, and its exit
// status says so; a stop says only what it did (nothing handed over, nothing told); and each exit status
// is the README's, decided from what the service answered: a command line the service would refuse is a
// usage error, a refusal of the caller is a refusal whatever its words, a listing cut short says so on
// its last line on either road. A question a command asks to explain or complete its answer is part of
// the answer: its failure is the command's.
#include <gtest/gtest.h>

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "platform/hubdemo/hubdemo.h"
#include "tests/platform/db/tempdir.h"
#include "tests/support/process/childprocess.h"
#include "tests/support/process/consolerun.h"
#include "tests/support/process/demosystem.h"
#include "tests/support/sqlite/testsql.h"
#include "tools/browse/consoleoptions.h"
#include "tools/browse/consolesession.h"

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
    // The console run in this process, so that a test can fail its exchanges (`fail`, see
    // CConsoleSession::setExchangeFault) or answer its question no: `args` split at blanks, with `user`'s
    // token and the world's data folder unless `args` name the Hubmaster's address (a desk's console).
    static int inProcess(const std::string& args, const std::string& user, TConsoleResult& result,
                         std::function<bool(int)> fail = {}) {
        std::vector<std::string> words = {"browse"};
        std::istringstream in(
            args + (args.find("--host") == std::string::npos ? " --data " + s->dir.file("demo") : "") +
            " --token " + s->tokens.at(user) + " --ma-host 127.0.0.1 --quiet");
        for (std::string word; in >> word;) words.push_back(word);
        if (args.find("--timeout") == std::string::npos) words.insert(words.end(), {"--timeout", "60"});
        std::vector<char*> argv;
        for (std::string& word : words) argv.push_back(word.data());
        TConsoleOptions options;
        if (!parseConsoleArgs(static_cast<int>(argv.size()), argv.data(), options, result.error))
            return kExitUsage;
        CConsoleSession session(options, "");
        session.setExchangeFault(std::move(fail));
        return session.run(result, {}, [](const std::string&) { return false; });
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

// A command's answer is all of it: every exchange a command has with the Hubmaster (its request, then
// each question it asks to explain or complete the answer: the parent's listing that tells an empty
// folder from a path never backed up, the own listing that tells a refusal from a path never backed
// up, a folder's contents, the erase's verdicts, the conversion that names the media, the Hubmaster's
// road taken instead), made to fail one at a time on both roads, fails the command with that failure's
// status: no failure leaves an answer.
TEST_F(TrueAnswers, EveryQuestionOfACommandThatFailsFailsTheCommand) {
    const std::string at = " --at " + lastDay(), nothere = " --path /d00/nothere" + at;
    const std::string versions = "versions " + fileSubclient() + " --path /d00/nothere --from " +
                                 std::to_string(s->world.firstBackupTime) + " --to " + lastDay();
    // The host's start-up line gives a desk's options, where the media's conversion is asked.
    std::string desk;
    std::istringstream started(s->host->output());
    for (std::string line; std::getline(started, line);)
        if (line.rfind("hubmaster: a console elsewhere: browse ", 0) == 0) desk = line.substr(39);
    ASSERT_FALSE(desk.empty()) << s->host->output();
    // Each command, its user and the exchanges it has when every one is answered; the desk's last, as
    // it leaves the console's process at a desk.
    const std::vector<std::tuple<std::string, std::string, int>> commands = {
        {"list " + fileSubclient() + nothere, "admin", 2},
        {"list " + fileSubclient() + nothere + " --via hubmaster", "admin", 2},
        {versions, "admin", 2},
        {versions + " --via hubmaster", "admin", 2},
        {"count " + fileSubclient() + nothere, "admin", 2},
        {"find " + fileSubclient() + nothere + " --name f0000020*", "admin", 2},
        {"media " + fileSubclient() + nothere, "admin", 2},
        {"erase " + fileSubclient() + nothere + " --dry-run", "alice", 2},
        {"erase " + fileSubclient() + " --path /d00/d01/d00" + at + " --dry-run", "alice", 4},
        {legacyListing("questions-legacy"), "admin", 2},
        {"media " + fileSubclient() + at + " " + desk, "admin", 2},
    };
    setenv("HUB_LOG_DIR", s->dir.path().c_str(), 1);
    for (const auto& [args, user, questions] : commands) {
        int made = 0;
        TConsoleResult whole;
        inProcess(args, user, whole, [&made](int n) {
            made = n;
            return false;
        });
        EXPECT_GE(made, questions) << args << ": " << whole.error;
        for (int failing = 1; failing <= made; ++failing) {
            TConsoleResult result;
            EXPECT_EQ(inProcess(args, user, result, [failing](int n) { return n == failing; }),
                      kExitUnreachable)
                << args << ": exchange " << failing << " of " << made << " failed, yet: " << result.error;
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

// The README's table of exit statuses holds on every road: each status it lists, walked by a command of
// the router's road and of the Hubmaster's (the erase of a folder, which takes both, for a question
// answered no), and no status the table lacks.
TEST_F(TrueAnswers, TheReadmesExitStatusTableHoldsOnEveryRoad) {
    std::filesystem::path source(__FILE__);
    if (source.is_relative()) source = std::filesystem::path(s->binaries) / source;
    std::ifstream readme(source.parent_path() / ".." / ".." / "README.md");
    ASSERT_TRUE(readme) << source;
    std::set<int> listed, walked;
    for (std::string line; std::getline(readme, line);)  // its rows alone read "| <digit> | "
        if (line.size() > 5 && line[0] == '|' && std::isdigit(line[2]) && line.compare(3, 2, " |") == 0)
            listed.insert(line[2] - '0');
    const std::string at = " --at " + lastDay(), folder = " --path /d00/d01/d00" + at;
    std::vector<std::tuple<int, std::string, std::string>> cases = {
        {6, "erase " + fileSubclient() + folder, "alice"}};
    for (const std::string road : {"", " --via hubmaster"})
        for (const auto& [status, args, user] : std::vector<std::tuple<int, std::string, std::string>>{
                 {0, "list " + fileSubclient() + folder, "admin"},
                 {1, "list " + fileSubclient() + " --path /d00/nothere" + at, "admin"},
                 {2, "list " + fileSubclient() + at + " --session " + std::string(129, 's'), "admin"},
                 {3, "list --client client2 --subclient 2" + at, "alice"},
                 {4, "list " + fileSubclient() + at + " --port 1", "admin"},
                 {5,
                  "list " + fileSubclient() + folder + " --timeout 2 --session " + kHeldPrefix +
                      (road.empty() ? "router" : "hubmaster"),
                  "admin"}})
            cases.emplace_back(status, args + road, user);
    for (const auto& [status, args, user] : cases) {
        TConsoleResult result;
        EXPECT_EQ(inProcess(args, user, result), status) << args << ": " << result.error;
        walked.insert(status);
    }
    for (const char* road : {"router", "hubmaster"})
        EXPECT_EQ(console("stop --session " + std::string(kHeldPrefix) + road, "admin").status, 0);
    EXPECT_EQ(walked, listed) << "the README's table and the statuses walked differ";
}

}  // namespace
