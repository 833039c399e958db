// A console away from the Hubmaster's folder, and at another desk with only the start-up line's
// settings.
#include "tests/tools/browse/consoletest.h"

namespace browsetest {
namespace {

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

}  // namespace
}  // namespace browsetest
