// The console's usage, without a Hubmaster: each command's help against what its parser takes, and the
// settings files it is told to read when it cannot use them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include "tests/platform/db/tempdir.h"
#include "tests/support/process/consolerun.h"
#include "tools/browse/consoleoptions.h"

namespace {

// The options a help text lists, each with whether it shows a value.
std::map<std::string, bool> listed(const std::string& help) {
    std::map<std::string, bool> options;
    std::istringstream in(help);
    for (std::string line; std::getline(in, line);)
        if (std::smatch m; std::regex_search(line, m, std::regex("^  (-[a-z], )?(--[a-z-]+)( <)?")))
            options[m[2]] = m[3].matched;
    return options;
}

// Each command's help lists exactly the options its parser takes, with a value where it wants one, and
// browse --help's common options exactly those every command takes (a stop, which always goes to the
// Hubmaster, no --via): walked over every command and every option a help names.
TEST(ConsoleUsage, EachCommandsHelpListsExactlyWhatItTakes) {
    const std::map<std::string, bool> common = listed(consoleUsage());
    std::map<std::string, bool> every = common;
    std::map<int, std::map<std::string, bool>> own;
    for (int c = 0; c <= static_cast<int>(EConsoleCommand::kErase); ++c) {
        own[c] = listed(consoleCommandUsage(static_cast<EConsoleCommand>(c)));
        every.insert(own[c].begin(), own[c].end());
    }
    for (const auto& [option, value] : every) {
        bool byAll = true;
        for (auto& [c, options] : own) {
            std::string command = consoleCommandName(static_cast<EConsoleCommand>(c)), name = option,
                        one = "1";
            char* argv[] = {command.data(), command.data(), name.data(), one.data()};
            TConsoleOptions parsed;
            std::string error;
            const bool taken = parseConsoleArgs(value ? 4 : 3, argv, parsed, error) ||
                               !std::regex_search(error, std::regex("not an option|unknown option|value"));
            EXPECT_EQ(taken, options.count(option) > 0) << command << " " << option << ": " << error;
            byAll = byAll && taken;
        }
        EXPECT_EQ(common.count(option) > 0, byAll) << option << " in browse --help's common options";
    }
    EXPECT_EQ(own[static_cast<int>(EConsoleCommand::kStop)].count("--via"), 0u);
}

// A settings file the console cannot use is named with what is wrong with it, exit status 2 and none of
// OpenSSL's codes: walked over the authority's certificate and a token file, missing, a folder, not to be
// read (its mode, or a folder on its way), no certificate. Root reads everything: the console runs as nobody.
TEST(ConsoleUsage, ASettingsFileItCannotUseIsNamedWithWhatIsWrong) {
    namespace fs = std::filesystem;
    TempDir dir;
    const bool root = geteuid() == 0;
    fs::permissions(dir.path(), fs::perms::all);
    fs::create_directories(dir.file("shut"));
    fs::create_directories(dir.file("folder"));
    for (const char* file : {"shut/inside", "private", "plain.crt"})
        std::ofstream(dir.file(file)) << "ZT1.x\n";
    fs::permissions(dir.file("plain.crt"), fs::perms::all);
    fs::permissions(dir.file("shut"), root ? fs::perms::owner_all : fs::perms::none);
    fs::permissions(dir.file("private"), root ? fs::perms::owner_read : fs::perms::none);
    const std::string console =
        std::string(root ? "setpriv --reuid=nobody --regid=nogroup --clear-groups " : "") +
        "env -u BROWSE_DATA -u BROWSE_CA HOME=" + dir.path() + " HUB_LOG_DIR=" + dir.path() + " " +
        hubtest::binaryDir() +
        "/tools/browse/browse list --client c --subclient 1 --host h --port 9 --hubmaster-name h ";
    for (const auto& [file, why] :
         std::map<std::string, std::string>{{"missing", "no such file"},
                                            {"folder", "is a folder"},
                                            {"shut/inside", "cannot be read (permission denied"},
                                            {"private", "cannot be read (permission denied"},
                                            {"plain.crt", "is not a certificate"}})
        for (const std::string option : {"--ca", "--token-file"}) {
            if (option == "--token-file" && file == "plain.crt") continue;  // a token file's own rules
            const std::string line =
                console + option + " " + dir.file(file) + (option == "--ca" ? " --token T" : "");
            const hubtest::TConsoleRun run = hubtest::runConsole(line, dir.file("err"));
            EXPECT_EQ(run.status, 2) << line << ": " << run.err;
            EXPECT_NE(run.err.find(dir.file(file) + ": " + why), std::string::npos)
                << line << ": " << run.err;
            EXPECT_FALSE(std::regex_search(run.err, std::regex("error:[0-9A-F]{8}"))) << run.err;
        }
    fs::permissions(dir.file("shut"), fs::perms::owner_all);
}

}  // namespace
