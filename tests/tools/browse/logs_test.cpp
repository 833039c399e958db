// What the console leaves behind: the README's examples as shown, each browse's story in the logs of
// console, host and media agent, refusals logged as refusals.
#include "tests/tools/browse/consoletest.h"

namespace browsetest {
namespace {

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

}  // namespace
}  // namespace browsetest
