// The console's command line: times, pages and paths read whole or refused, usage and help, the token
// kept off the command line, and the sizes and counts it prints.
#include "tests/tools/browse/consoletest.h"

namespace browsetest {
namespace {

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
}  // namespace browsetest
