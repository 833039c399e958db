// How the console fails: each exit status for one cause, what is wrong said before anything is sent, the
// time limit over the whole command on every road, and output a script can trust.
#include "tests/tools/browse/consoletest.h"

namespace browsetest {
namespace {

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

}  // namespace
}  // namespace browsetest
