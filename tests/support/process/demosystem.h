// Test support: the demo world's processes for a whole-system test. A media agent of the world and the
// host, each started on a port the system chooses and recorded in the Hubmaster database, where the
// others and the consoles find it. Header-only; the test's main thread (checks use gtest).
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "platform/hubdemo/hubdemo.h"
#include "service/failurefallback.h"
#include "tests/support/process/childprocess.h"
#include "tests/support/sqlite/testsql.h"

namespace hubtest {

// Creates the demo world in `folder`; "" when it is made, else why not.
inline std::string demoWorldIn(const std::string& folder, hubdemo::DemoWorld& world) {
    std::string error;
    return hubdemo::createDemoWorld(folder, world, &error) ? std::string() : "no demo world: " + error;
}

inline constexpr const char* kAgentListening = "listening on 127.0.0.1:";
inline constexpr const char* kRouterListening = "BrowseRouter listening on 127.0.0.1:";

// Where the Hubmaster database says `client` is reached: loopback at `port`.
inline void pointClientAt(const hubdemo::DemoWorld& world, const std::string& client, long long port) {
    EXPECT_EQ(execSql(world.databasePath, "UPDATE APP_Client SET zydPort = " + std::to_string(port) +
                                              ", net_hostname = '127.0.0.1' WHERE name = '" + client + "'"),
              "");
}

// The media agent `client` of the world, its item index in `index`, logging into `logs`, with the
// test's `extra` options; recorded once it listens.
inline std::unique_ptr<CChildProcess> startDemoAgent(const hubdemo::DemoWorld& world,
                                                     const std::string& client, const std::string& index,
                                                     const std::string& logs,
                                                     const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args{"--hub",      world.databasePath, "--client", client,  "--port",
                                  "0",          "--index",          index,      "--log", logs,
                                  "--registry", world.registryPath};
    args.insert(args.end(), extra.begin(), extra.end());
    auto agent = std::make_unique<CChildProcess>("tools/mediaagent/mediaagent", args);
    // The agent builds its index before it listens: the wait grows with the files asked for (a second
    // per 2,000 of them beyond the demo's, which a sanitizer's build on a busy machine needs).
    long long files = 0;
    for (size_t i = 0; i + 1 < extra.size(); ++i)
        if (extra[i] == "--files") files = std::atoll(extra[i + 1].c_str());
    const auto limit = std::chrono::seconds(60 + files / 2000);
    EXPECT_TRUE(agent->waitFor(kAgentListening, limit)) << agent->output();
    pointClientAt(world, client, agent->numberAfter(kAgentListening));
    return agent;
}

// The host over the world in `data`; recorded (media agents answer its own browses there) once
// BrowseRouter listens, whose port it tells.
inline std::unique_ptr<CChildProcess> startDemoHost(const hubdemo::DemoWorld& world, const std::string& data,
                                                    int& routerPort) {
    auto host = std::make_unique<CChildProcess>(
        "tools/hubmaster/hubmaster",
        std::vector<std::string>{"--data", data, "--lib", binaryDir() + "/libfastbrowsehm.so", "--port",
                                 "0"});
    EXPECT_TRUE(host->waitFor(kRouterListening, std::chrono::seconds(60))) << host->output();
    routerPort = static_cast<int>(host->numberAfter(kRouterListening));
    pointClientAt(world, "hubmaster", routerPort);
    return host;
}

// A token the host's "token" command issues to `user` of the world in the data folder `data`.
inline std::string issueToken(const std::string& data, const std::string& user) {
    CChildProcess issuer("tools/hubmaster/hubmaster", {"token", "--user", user, "--data", data});
    EXPECT_TRUE(issuer.waitExit(std::chrono::seconds(30)))
        << "the token issuer still runs: " << issuer.output();
    EXPECT_EQ(issuer.exitStatus(), 0) << issuer.output();
    std::string text = issuer.output();
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

// Every browse that failed in the host whose data folder is `data` told its caller why: no log line there
// says the generic answer was given.
inline void expectEveryFailureSaidWhy(const std::string& data) {
    std::error_code ec;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(data, ec)) {
        if (!entry.is_regular_file() || entry.path().extension() != ".log") continue;
        std::ifstream in(entry.path());
        for (std::string line; std::getline(in, line);)
            EXPECT_EQ(line.find(failurefallback::kLogMarker), std::string::npos)
                << entry.path() << ": " << line;
    }
}

}  // namespace hubtest
