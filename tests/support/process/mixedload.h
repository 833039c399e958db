// Test support: the whole system under a mixed load. The demo world with its host (tools/hubmaster) and
// its media agents mediaagent1 and mediaagent3 (tools/mediaagent) as processes, and consoles of this
// process (the console's own session code, a desk console away from the Hubmaster: --host, --port, --ca;
// each keeping its TLS sessions between commands, as a long-lived caller does) taking every road in turn:
// file-system lists, pages, versions, counts, finds and media through BrowseRouter and through the
// Hubmaster, the classic media agent through the Hubmaster, Exchange mailboxes, OneDrive on both indexing
// versions (an end user among the callers), a virtual machine by its hypervisor's GUID, and stops of
// browses the media agent holds in flight. What each command came to is counted; a transport error is
// a command whose connection failed (closed, refused or timed out) rather than one the service answered.
// Header-only; the caller's thread starts and stops it, run's consoles are threads of their own.
#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/hubdemo/hubdemo.h"
#include "platform/threads/hubmutex.h"
#include "tests/support/process/childprocess.h"
#include "tests/support/sqlite/testsql.h"
#include "tools/browse/consoleoptions.h"
#include "tools/browse/consolesession.h"

namespace hubtest {

// What a run of the mixed load came to.
struct TMixedLoadOutcome {
    long long commands = 0;                // run to their end
    long long answered = 0;                // answered as the road answers (items, a count, a stop's verdict)
    long long serviceErrors = 0;           // the service answered with an error it should not have
    long long transportErrors = 0;         // a connection failed: closed, refused or timed out
    std::vector<std::string> firstErrors;  // the first few errors, with their road
};

class CMixedLoad {
public:
    static constexpr const char* kHeld = "mixed-held-";

    // Creates the world in `folder` and starts its processes from the build folder `build`; see ready.
    CMixedLoad(const std::filesystem::path& build, const std::filesystem::path& folder) : m_build(build) {
        hubdemo::DemoWorld world;
        std::string error;
        if (!hubdemo::createDemoWorld((folder / "demo").string(), world, &error)) {
            m_why = "no demo world: " + error;
            return;
        }
        m_database = world.databasePath;
        // mediaagent1 holds the browses of the stop loop's sessions in flight, a few seconds at most.
        const int agentPort =
            startAgent(world, folder, "mediaagent1", m_agent,
                       {"--index-service", "started", "--hold-sessions", kHeld, "--hold-seconds", "5"});
        const int classicPort = startAgent(world, folder, "mediaagent3", m_classic, {});
        if (agentPort <= 0 || classicPort <= 0) return;
        // The mining services of the world's miners run on mediaagent1's machine, as in the tour.
        pointAt("'mediaagent1', 'spplain', 'spserver1', 'spserver2', 'spserver3'", agentPort);
        pointAt("'mediaagent3'", classicPort);
        m_host = std::make_unique<CChildProcess>(
            (build / "tools/hubmaster/hubmaster").string(),
            std::vector<std::string>{"--data", (folder / "demo").string(), "--lib",
                                     (build / "libfastbrowsehm.so").string(), "--port", "0"});
        if (!m_host->waitFor("BrowseRouter listening on 127.0.0.1:", std::chrono::seconds(120))) {
            m_why = "the host did not start: " + m_host->output();
            return;
        }
        const int routerPort = static_cast<int>(m_host->numberAfter("BrowseRouter listening on 127.0.0.1:"));
        pointAt("'hubmaster'", routerPort);
        const std::string where =
            "--host 127.0.0.1 --port " + std::to_string(routerPort) + " --ca " +
            (folder / "demo" / "tls" / "authority.crt").string() +
            " --hubmaster-name hubmaster --ma-address mediaagent1=127.0.0.1:" + std::to_string(agentPort) +
            ",mediaagent3=127.0.0.1:" + std::to_string(classicPort) + " --quiet --timeout 60";
        if (!makeCommands(world, folder / "demo", where)) return;
        m_ready = true;
    }

    // False, with why, when the world or one of its processes could not be made.
    bool ready(std::string& why) const {
        why = m_why;
        return m_ready;
    }
    CChildProcess& host() { return *m_host; }
    CChildProcess& agent() { return *m_agent; }
    size_t roads() const { return m_commands.size(); }

    // `consoles` consoles take the roads in turn, every one of them a stop loop's turn in a while, until
    // `commands` commands have been run or `until` has passed.
    TMixedLoadOutcome run(int consoles, long long commands, std::chrono::steady_clock::time_point until) {
        TMixedLoadOutcome outcome;
        std::atomic<long long> next{0};
        std::vector<std::thread> threads;
        for (int c = 0; c < consoles; ++c)
            threads.emplace_back([&, c] {
                for (long long n; std::chrono::steady_clock::now() < until && (n = next++) < commands;)
                    runOne(c, n, outcome);
            });
        for (std::thread& t : threads) t.join();
        return outcome;
    }

private:
    int startAgent(const hubdemo::DemoWorld& world, const std::filesystem::path& folder,
                   const std::string& name, std::unique_ptr<CChildProcess>& agent,
                   std::vector<std::string> extra) {
        std::vector<std::string> args{"--hub",      world.databasePath,
                                      "--client",   name,
                                      "--port",     "0",
                                      "--log",      folder.string(),
                                      "--registry", world.registryPath,
                                      "--tls",      world.machineTlsFolder(name),
                                      "--index",    (folder / (name + ".items.db")).string()};
        args.insert(args.end(), extra.begin(), extra.end());
        agent = std::make_unique<CChildProcess>((m_build / "tools/mediaagent/mediaagent").string(), args);
        if (!agent->waitFor("listening on 127.0.0.1:", std::chrono::seconds(180))) {
            m_why = name + " did not start: " + agent->output();
            return 0;
        }
        return static_cast<int>(agent->numberAfter("listening on 127.0.0.1:"));
    }

    void pointAt(const std::string& clients, int port) {
        execSql(m_database, "UPDATE APP_Client SET zydPort = " + std::to_string(port) +
                                ", net_hostname = '127.0.0.1' WHERE name IN (" + clients + ")");
    }

    std::string subclientOf(const std::string& client, int appType) {
        return queryText(m_database,
                         "SELECT a.id FROM APP_Application a JOIN APP_Client c ON c.id = a.clientId WHERE "
                         "c.name = '" +
                             client + "' AND a.appTypeId = " + std::to_string(appType) + " ORDER BY a.id");
    }

    // Every road's command, parsed once; false (with why) when a token cannot be issued.
    bool makeCommands(const hubdemo::DemoWorld& world, const std::filesystem::path& demo,
                      const std::string& where) {
        const auto token = [&](const std::string& user, const std::string& file) {
            CChildProcess issuer((m_build / "tools/hubmaster/hubmaster").string(),
                                 {"token", "--user", user, "--data", demo.string(), "--lifetime", "86400",
                                  "--out", (demo / file).string()});
            if (!issuer.waitExit(std::chrono::seconds(60)) || issuer.exitStatus() != 0)
                m_why = "no token for " + user + ": " + issuer.output();
            return " --token-file " + (demo / file).string();
        };
        const std::string admin = token("admin", "admin.token"),
                          olivia = token("TENANT\\olivia", "olivia.token");
        if (!m_why.empty()) return false;
        const std::string set1 = "--client client1 --subclient " + std::to_string(world.fileSubclient);
        const std::string set3 = "--client client3 --subclient " + std::to_string(world.legacy.subclient);
        const std::string at = " --at 2023-11-28";
        const std::string mailboxes =
            "--client exchmb1 --subclient " + subclientOf("exchmb1", 54) + " --app-type 54";
        const std::string onedrive =
            "--client onedrive1 --subclient " + subclientOf("onedrive1", 134) + " --app-type 134";
        const std::string onedrive2 =
            "--client onedrive2 --subclient " + subclientOf("onedrive2", 134) + " --app-type 134";
        const std::string vm =
            "--client vsahypervisor --subclient 6 --app-type 106 --path "
            "\\C3A1B2D4-5E6F-4A7B-8C9D-0000000000A1\\d00 --at 1700354365";
        const std::string via = " --via hubmaster";
        for (const std::string& road :
             {"list " + set1 + at + admin,
              "list " + set1 + at + via + admin,
              "list " + set1 + " --path /d00/d01/d00 --page-size 5 --page 2" + at + admin,
              "list " + set1 + " --path /d00/d01/d00 --page-size 5 --page 2" + at + via + admin,
              "versions " + set1 + " --path /d00/d01/d00/f00000202.dat --from 2023-11-14 --to 2023-11-28" +
                  admin,
              "versions " + set1 + " --path /d00/d01/d00/f00000202.dat --from 2023-11-14 --to 2023-11-28" +
                  via + admin,
              "count " + set1 + " --path /d00/d01/d00" + at + admin,
              "find " + set1 + " --name f0000021*" + at + admin,
              "find --clients client1,client2 --path /d00/d01/d00 --name f0000020*" + at + admin,
              "media " + set1 + " --path /d00" + at + admin,
              "list " + set3 + " --path /d01 --at 2023-11-25" + via + admin,
              "list " + mailboxes + " --path \\MB" + at + admin,
              "list " + mailboxes + " --path \\MB" + at + via + admin,
              "list " + onedrive + at + olivia,
              "list " + onedrive + at + via + olivia,
              "list " + onedrive2 + " --path \\OneDrive" + at + admin,
              "list " + onedrive2 + " --path \\OneDrive" + at + via + olivia,
              "list " + vm + admin,
              "list " + vm + via + admin,
              "list " + set1 + " --path /d00/d01/d00" + at + admin,
              "stop --session mixed-nobody" + admin}) {
            std::vector<std::string> words{"browse"};
            std::istringstream in(road + " " + where);
            for (std::string word; in >> word;) words.push_back(word);
            std::vector<char*> argv;
            for (std::string& word : words) argv.push_back(word.data());
            TConsoleOptions options;
            std::string error;
            if (!parseConsoleArgs(static_cast<int>(argv.size()), argv.data(), options, error)) {
                m_why = "console words [" + road + "]: " + error;
                return false;
            }
            m_commands.push_back(options);
        }
        return true;
    }

    // Command `n` of console `c`: the roads in turn; the one before the last (a listing mediaagent1 holds
    // when its session is named so) runs as a stop loop: the browse, and its owner's stop once it is held.
    void runOne(int c, long long n, TMixedLoadOutcome& outcome) {
        const size_t road = static_cast<size_t>(n) % m_commands.size();
        TConsoleOptions options = m_commands[road];
        if (road + 2 == m_commands.size()) {
            const std::string session = kHeld + std::to_string(c) + "-" + std::to_string(n);
            options.session = session;
            TConsoleResult browsed;
            std::thread browse([&] { CConsoleSession(options, "").run(browsed); });
            const bool held = agentSaid("session " + session + " held after", std::chrono::seconds(60));
            TConsoleOptions stop = m_commands.back();
            stop.session = session;
            TConsoleResult stopped;
            CConsoleSession(stop, "").run(stopped);
            browse.join();
            // Stopped while held, or answered whole when its stop came after it.
            count(outcome, road, browsed,
                  browsed.exitCode == 0 || browsed.error.find("The browse was stopped") != std::string::npos);
            count(outcome, road, stopped, held && stopped.exitCode == 0);
            return;
        }
        if (options.session.empty() && options.command != EConsoleCommand::kStop)
            options.session = "mixed-" + std::to_string(n);
        CConsoleSession console(options, "");
        TConsoleResult result;
        console.run(result);
        // The stop of a session nobody holds is answered that there is none.
        count(outcome, road, result,
              result.exitCode == 0 || (options.command == EConsoleCommand::kStop &&
                                       result.error.rfind("No such session", 0) == 0));
    }

    // The media agent's output holds `marker` within `limit` (read by one console at a time, a little at
    // a time, so that no console's wait holds up another's).
    bool agentSaid(const std::string& marker, std::chrono::seconds limit) {
        const auto until = std::chrono::steady_clock::now() + limit;
        do {
            CHubMutexLock lock(m_agentMutex);
            if (m_agent->waitFor(marker, std::chrono::milliseconds(20))) return true;
        } while (std::chrono::steady_clock::now() < until);
        return false;
    }

    void count(TMixedLoadOutcome& outcome, size_t road, const TConsoleResult& result, bool answered) {
        const bool transport = result.exitCode == kExitUnreachable || result.exitCode == kExitTimedOut;
        CHubMutexLock lock(m_mutex);
        ++outcome.commands;
        outcome.answered += answered;
        outcome.transportErrors += transport;
        outcome.serviceErrors += !answered && !transport;
        if (!answered && outcome.firstErrors.size() < 8)
            outcome.firstErrors.push_back("road " + std::to_string(road) + " (exit " +
                                          std::to_string(result.exitCode) + "): " + result.error);
    }

    const std::filesystem::path m_build;
    std::string m_database, m_why;
    bool m_ready = false;
    std::unique_ptr<CChildProcess> m_agent, m_classic, m_host;
    std::vector<TConsoleOptions> m_commands;
    CHubMutex m_mutex;       // guards the outcome being counted
    CHubMutex m_agentMutex;  // one reader of the media agent's output at a time
};

}  // namespace hubtest
