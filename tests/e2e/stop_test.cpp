// Stopping a browse in flight, through the real processes: the host program, the media agent of
// client1's data holding the answers of the test's sessions after their first items (so each browse is
// really in flight when its stop comes), and consoles. On both roads (BrowseRouter's prepared request
// the console takes to the media agent itself, and HubmasterBrowse, whose worker the media agent
// answers through the router) only the session's owner ends it; other users, anonymous callers and
// unknown sessions are refused and logged while the browse goes on, and a stopped session leaves
// nothing behind. A browse whose caller left, or whose media agent froze, holds up no other browse; a
// find stopped inside one long read of the index ends there.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>

#include "platform/hubdemo/hubdemo.h"
#include "platform/msg/msg_classes.h"
#include "platform/net/zynetwork.h"
#include "tests/e2e/routerstop.h"
#include "tests/platform/db/tempdir.h"
#include "tests/support/process/childprocess.h"
#include "tests/support/process/consolerun.h"
#include "tests/support/process/demosystem.h"
#include "tests/support/process/filewatch.h"
#include "tests/support/sqlite/testsql.h"
#include "tests/support/tls/testpki.h"

namespace {

using namespace std::chrono_literals;
using TRun = hubtest::TConsoleRun;

constexpr const char* kHeldPrefix = "held-";
constexpr const char* kStopped = "The browse was stopped";

std::string text(const std::string& file) {
    std::ifstream in(file);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
size_t count(const std::string& haystack, const std::string& needle) {
    size_t n = 0;
    for (size_t at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + 1)) ++n;
    return n;
}
// Waits (on its writes) until `file` holds `line` `times` times.
bool fileGets(const std::string& file, const std::string& line, size_t times = 1) {
    hubtest::CFileWatch watch(file);
    return watch.waitUntil([&] { return count(text(file), line) >= times; }, 60s);
}

class StopInFlight : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s = new TShared;
        ASSERT_EQ(hubtest::demoWorldIn(s->dir.file("demo"), s->world), "");
        s->binaries = hubtest::binaryDir();
        s->agent = hubtest::startDemoAgent(
            s->world, "mediaagent1", s->dir.file("mediaagent1.db"), s->dir.path(),
            {"--index-service", "started", "--journal", journalFile(), "--hold-sessions", kHeldPrefix});
        s->host = hubtest::startDemoHost(s->world, s->dir.file("demo"), s->hostPort);
        s->aliceToken = hubtest::issueToken(s->dir.file("demo"), "alice");
        s->adminToken = hubtest::issueToken(s->dir.file("demo"), "admin");
    }
    static void TearDownTestSuite() {
        delete s;
        s = nullptr;
    }

    static std::string journalFile() { return s->dir.file("journal"); }
    static std::string hostLog() { return text(s->dir.file("demo") + "/hubmaster.log"); }

    // `maHost`: where the console reaches media agents (they listen on 127.0.0.1 alone).
    static TRun console(const std::string& args, const std::string& who, const std::string& errName,
                        int timeoutSeconds = 60, const std::string& maHost = "127.0.0.1") {
        return hubtest::runConsole(s->binaries + "/tools/browse/browse " + args + " --data " +
                                       s->dir.file("demo") + " " + who + " --ma-host " + maHost +
                                       " --timeout " + std::to_string(timeoutSeconds),
                                   s->dir.file(errName));
    }
    static bool journalGets(const std::string& line, size_t times = 1) {
        return fileGets(journalFile(), line, times);
    }
    static std::string admin() { return "--token " + s->adminToken; }
    static std::string alice() { return "--token " + s->aliceToken; }

    // A stop sent as a console on a desk without any token: the console itself refuses to send one.
    static void anonymousStop(const std::string& session) { e2estop::sendRouterStop(s->hostPort, session); }

    // Holds a browse of `session` in flight, has it stopped by others (refused) and then by its owner,
    // and checks what the browse's console got and what is left behind.
    static std::string lastDay() {
        return std::to_string(s->world.firstBackupTime + 86400LL * s->world.backupDays);
    }
    static std::string fileListing() {
        return "list --client client1 --subclient " + std::to_string(s->world.fileSubclient) +
               " --path /d00/d01/d00 --at " + lastDay();
    }
    // Starts the owner's browse of `session` through the Hubmaster into `held`, and returns once the
    // media agent holds its answer; the caller joins the thread.
    static std::thread holdThroughHubmaster(const std::string& session, TRun& held) {
        std::thread browsing([&held, session] {
            held = console(fileListing() + " --session " + session + " --via hubmaster", admin(), session);
        });
        EXPECT_TRUE(s->agent->waitFor("session " + session + " held after", 60s)) << s->agent->output();
        return browsing;
    }
    static void stopHeldBrowse(const std::string& session, const std::string& road,
                               const std::string& command = fileListing()) {
        const std::string list = command + " --session " + session + road;
        const std::string clientId = std::to_string(s->world.fileClient);
        TRun held;
        std::thread browsing([&] { held = console(list, admin(), "held-" + session); });
        const bool inFlight = s->agent->waitFor("session " + session + " held after", 60s);
        EXPECT_TRUE(inFlight) << s->agent->output();

        const std::string asked = "Stop request for session [" + session + "]";
        // The console's stop is answered: another user's is refused, naming her by name.
        TRun other = console("stop --session " + session, alice(), "other-" + session);
        EXPECT_EQ(other.status, 3) << other.out << other.err;
        EXPECT_NE(other.err.find("The stop was refused: user [alice] (id " +
                                 std::to_string(s->world.fileUser) + ") does not own the session"),
                  std::string::npos)
            << other.err;
        EXPECT_NE(hostLog().find(asked + " of user [admin] (id " + std::to_string(s->world.adminUser) +
                                 "), client [client1] (id " + clientId + ") by user [alice] (id " +
                                 std::to_string(s->world.fileUser) + ") refused"),
                  std::string::npos)
            << hostLog();
        anonymousStop(session);
        EXPECT_NE(
            hostLog().find(asked + " of user [admin] (id " + std::to_string(s->world.adminUser) +
                           "), client [client1] (id " + clientId + ") by calling client (id 0) refused"),
            std::string::npos)
            << hostLog();
        TRun unknown = console("stop --session no-such-" + session, admin(), "unknown-" + session);
        EXPECT_EQ(unknown.status, 1) << unknown.out << unknown.err;
        EXPECT_NE(unknown.err.find("No such session"), std::string::npos) << unknown.err;
        EXPECT_NE(hostLog().find("Stop request for session [no-such-" + session + "] by user [admin] (id " +
                                 std::to_string(s->world.adminUser) + "): no such session; nothing stopped"),
                  std::string::npos);
        // Refused: the media agent was told nothing, and the browse is still held.
        EXPECT_EQ(text(journalFile()).find("session=" + session + " ma="), std::string::npos);
        EXPECT_EQ(count(s->agent->output(), "session " + session + " released"), 0u);

        TRun owner = console("stop -v --session " + session, admin(), "owner-" + session);
        EXPECT_EQ(owner.status, 0) << owner.err;
        // -v: what was sent, and where.
        EXPECT_NE(owner.err.find("stop of session " + session +
                                 " as user [admin] to HubmasterBrowse at "
                                 "127.0.0.1:" +
                                 std::to_string(s->hostPort)),
                  std::string::npos)
            << owner.err;
        EXPECT_NE(owner.out.find("stop of session " + session + " accepted: "), std::string::npos)
            << owner.out;
        EXPECT_NE(hostLog().find(asked + " of user [admin] (id " + std::to_string(s->world.adminUser) +
                                 "), client [client1] (id " + clientId + ") by user [admin] (id " +
                                 std::to_string(s->world.adminUser) + ") accepted: the session's owner"),
                  std::string::npos);
        browsing.join();
        // The browse ended with its stopped outcome, before its hold's limit; the media agent was told once.
        EXPECT_EQ(held.status, 1) << held.out << held.err;
        EXPECT_NE(held.err.find(kStopped), std::string::npos) << held.err;
        EXPECT_EQ(count(s->agent->output(), "session " + session + " released"), 0u) << s->agent->output();
        // The agent is told after the browse has ended here, on a thread of the router's own.
        EXPECT_TRUE(journalGets("stop session=" + session + " ma=")) << text(journalFile());
        EXPECT_EQ(count(text(journalFile()), "stop session=" + session + " ma="), 1u) << text(journalFile());
        // The agent journals the stopped answer once it has sent its end, which the console may read first.
        EXPECT_TRUE(journalGets("session=" + session + " after "))
            << "the media agent's answer was cut short: " << text(journalFile());

        // The session stays its owner's. Her second stop: through the Hubmaster, whose worker has ended,
        // nothing was left to stop; a prepared request's media agent, which alone knows whether it still
        // answers (it may read a request after a stop), is told again.
        TRun again = console("stop --session " + session, admin(), "again-" + session);
        EXPECT_EQ(again.status, 0) << again.out << again.err;
        const bool handedOver = road.empty();
        EXPECT_NE(
            again.out.find("stop of session " + session +
                           (handedOver ? " accepted: media agent [mediaagent1]"
                                       : ": nothing was left to stop (the session's browses had ended)")),
            std::string::npos)
            << again.out;
        EXPECT_NE(
            hostLog().find(asked + " of user [admin] (id " + std::to_string(s->world.adminUser) +
                           "), client [client1] (id " + clientId + ") by user [admin] (id " +
                           std::to_string(s->world.adminUser) + ") accepted: the session's owner, user [" +
                           std::to_string(s->world.adminUser) + "]; " +
                           (handedOver ? "media agent [mediaagent1]" : "nothing of it was running")),
            std::string::npos)
            << hostLog();
        if (handedOver) {
            EXPECT_TRUE(journalGets("stop session=" + session + " ma=", 2)) << text(journalFile());
        }
        TRun otherAfter = console("stop --session " + session, alice(), "other-after-" + session);
        EXPECT_EQ(otherAfter.status, 3) << otherAfter.out << otherAfter.err;
    }

    // The answers the stops of `session` that the media agent read after its journal was `from` long
    // ended, as its journal says.
    static int answersStopped(const std::string& session, size_t from) {
        const std::string journal = text(journalFile());
        std::istringstream lines(journal.substr(std::min(from, journal.size())));
        int stopped = 0;
        for (std::string line; std::getline(lines, line);) {
            if (line.rfind("stop session=" + session + " ", 0) != 0 &&
                line.rfind("stop-v2 session=" + session + " ", 0) != 0)
                continue;
            const size_t at = line.find(" stopped=");
            if (at != std::string::npos) stopped += std::stoi(line.substr(at + 9));
        }
        return stopped;
    }
    // Waits until the media agent has read a stop of `session` sent after its journal was `from` long:
    // both its forms, the indexing-v2 one last on the same connection.
    static bool agentReadStop(const std::string& session, size_t from) {
        hubtest::CFileWatch watch(journalFile());
        return watch.waitUntil(
            [&] {
                const std::string journal = text(journalFile());
                return journal.size() > from &&
                       journal.find("stop-v2 session=" + session + " ", from) != std::string::npos;
            },
            60s);
    }
    static size_t journalSize() { return text(journalFile()).size(); }
    // Waits until the media agent has logged its answer of a request of `session` (once it has ended).
    static bool agentAnswered(const std::string& session) {
        return fileGets(s->dir.file("mediaagent1.log"), "request of session [" + session + "]");
    }
    // The listed items of a console's output, in order.
    static std::string itemsIn(const std::string& out) {
        std::istringstream lines(out);
        std::string items;
        for (std::string line; std::getline(lines, line);)
            if (line.find("/d00/d01/d00/") != std::string::npos) items += line + "\n";
        return items;
    }
    static bool endedAsStopped(const TRun& run) {
        return run.status == 1 && run.err.find(kStopped) != std::string::npos;
    }
    static bool answeredWhole(const TRun& run) {
        return run.status == 0 && run.err.find(kStopped) == std::string::npos && !itemsIn(run.out).empty();
    }

    // The owner's stop of `session` reaches BrowseRouter while its browse has had no answer of the
    // media agent, which is frozen until then: once `reached` is in the host's log, the browse has gone
    // as far as it can without the agent. Through the Hubmaster the browse ends as stopped at once, the
    // agent still frozen. On BrowseRouter's road the thawing agent has the console's request and the
    // stop waiting on two connections and may read either first, a true race: the stop ends the answer
    // it finds streaming, or it finds none and the request is answered like any other (a held
    // session's answer held after its first items, until a later stop of its owner). The agent's
    // journal says which, and the console must say the same. Either way the owner's later browse of the
    // session is a new one, which the earlier stop leaves alone.
    static void stopBeforeTheFirstAnswer(const std::string& session, bool viaHubmaster,
                                         const std::string& reached) {
        const bool heldSession = session.rfind(kHeldPrefix, 0) == 0;
        const std::string list =
            fileListing() + " --session " + session + (viaHubmaster ? " --via hubmaster" : "");
        const std::string marker = "session " + session + " held after";
        const size_t before = count(hostLog(), reached);
        hubtest::CFileWatch watch(s->dir.file("demo") + "/hubmaster.log");
        if (!heldSession) {
            // The host keeps a connection open to the agent for its next stop (again after each stop),
            // open before it freezes: the stop goes out at once.
            EXPECT_TRUE(watch.waitUntil(
                [&] {
                    const std::string log = hostLog();
                    const size_t kept = log.rfind("is kept for its next stop");
                    const size_t told = log.rfind("was handed to its caller; its media agent");
                    return kept != std::string::npos && (told == std::string::npos || kept > told);
                },
                60s))
                << hostLog();
        }
        const size_t heldBefore = s->agent->countNow(marker);
        const size_t journalBefore = journalSize();
        s->agent->signal(SIGSTOP);
        TRun early;
        std::thread browsing([&] { early = console(list, admin(), "early-" + session); });
        EXPECT_TRUE(watch.waitUntil([&] { return count(hostLog(), reached) > before; }, 60s)) << hostLog();
        TRun owner = console("stop --session " + session, admin(), "early-stop-" + session);
        if (!heldSession) {
            EXPECT_TRUE(watch.waitUntil(
                [&] {
                    return hostLog().find("stop of session [" + session +
                                          "] went out on the connection kept") != std::string::npos;
                },
                60s))
                << hostLog();
        }
        if (viaHubmaster) browsing.join();
        s->agent->signal(SIGCONT);
        EXPECT_NE(owner.out.find(" accepted: "), std::string::npos) << owner.out << owner.err;
        // Whether the early answer still runs at the agent, held, when the later browse starts.
        bool earlyHeld = false;
        if (viaHubmaster) {
            EXPECT_TRUE(endedAsStopped(early)) << early.status << "\n" << early.out << early.err << hostLog();
        } else {
            // Expected, not asserted: the early browse's thread is joined below.
            EXPECT_TRUE(agentReadStop(session, journalBefore)) << text(journalFile());
            const int stopped = answersStopped(session, journalBefore);
            const std::string told = "the agent's stop ended " + std::to_string(stopped) + " answer(s)\n";
            if (stopped == 0 && heldSession) {
                // It found nothing: the request came after it, and its answer is held like any other.
                EXPECT_TRUE(s->agent->waitFor(marker, 60s, heldBefore + 1)) << told << s->agent->output();
                earlyHeld = true;
            } else {
                browsing.join();
                const std::string got =
                    told + std::to_string(early.status) + "\n" + early.out + early.err + text(journalFile());
                if (stopped == 0) {
                    EXPECT_TRUE(answeredWhole(early)) << got;
                } else if (heldSession) {
                    EXPECT_TRUE(endedAsStopped(early)) << got;
                    EXPECT_TRUE(journalGets("session=" + session + " after ")) << got;
                } else {
                    // A stopped answer may have sent its end before it looked at its stop again.
                    EXPECT_TRUE(endedAsStopped(early) || answeredWhole(early)) << got;
                }
            }
        }

        // The later browse is answered: whole, or (a held session) held after its first items until
        // the owner's own stop, which ends whatever of the session's answers it finds streaming.
        TRun later;
        if (!heldSession) {
            later = console(list, admin(), "later-" + session);
            EXPECT_TRUE(answeredWhole(later)) << later.status << "\n" << later.out << later.err;
            return;
        }
        const size_t heldLater = s->agent->countNow(marker);
        // Through the Hubmaster, the worker of the later browse has sent its request (an early request
        // that went out as its stop came may be held at the agent as well, until the stop below).
        const std::string sent = "Request sent to MA [<BrowseReq";
        const std::string named = "browseSessionGuid=\"" + session + "\"";
        auto requestsSent = [&] {
            const std::string log = hostLog();
            size_t n = 0;
            for (size_t at = log.find(sent); at != std::string::npos; at = log.find(sent, at + 1)) {
                const size_t end = log.find('\n', at);
                if (log.substr(at, end == std::string::npos ? std::string::npos : end - at).find(named) !=
                    std::string::npos)
                    ++n;
            }
            return n;
        };
        const size_t sentBefore = requestsSent();
        std::thread browsingLater([&] { later = console(list, admin(), "later-" + session); });
        EXPECT_TRUE(s->agent->waitFor(marker, 60s, heldLater + 1))
            << s->agent->output() << text(journalFile());
        if (viaHubmaster) {
            EXPECT_TRUE(watch.waitUntil([&] { return requestsSent() > sentBefore; }, 60s)) << hostLog();
        }
        const size_t journalAgain = journalSize();
        TRun again = console("stop --session " + session, admin(), "later-stop-" + session);
        browsingLater.join();
        // It was running: through the Hubmaster, its worker still waited for its answers.
        EXPECT_NE(
            again.out.find(viaHubmaster ? " accepted: its browse in the Hubmaster ends" : " accepted: "),
            std::string::npos)
            << again.out << again.err;
        EXPECT_TRUE(endedAsStopped(later)) << later.status << "\n" << later.out << later.err;
        if (!earlyHeld) return;
        // The early browse was answered, held, until this stop.
        browsing.join();
        EXPECT_TRUE(endedAsStopped(early)) << early.status << "\n" << early.out << early.err;
        EXPECT_TRUE(agentReadStop(session, journalAgain)) << text(journalFile());
        EXPECT_EQ(answersStopped(session, journalAgain), 2) << text(journalFile());
    }

    struct TShared {
        TempDir dir;
        hubdemo::DemoWorld world;
        std::string binaries, aliceToken, adminToken;
        std::unique_ptr<hubtest::CChildProcess> agent, host;
        int hostPort = 0;
    };
    static TShared* s;
};

StopInFlight::TShared* StopInFlight::s = nullptr;

// BrowseRouter's road: the console reads the answers from the media agent itself.
TEST_F(StopInFlight, TheOwnerStopsADirectBrowseOthersCannot) {
    ASSERT_NO_FATAL_FAILURE(stopHeldBrowse(std::string(kHeldPrefix) + "direct", ""));
}

// A find across clients: BrowseRouter hands the caller a prepared request for the media agent that holds
// the clients' data, and the session stays its owner's to stop.
TEST_F(StopInFlight, TheOwnerStopsAFindAcrossClientsOthersCannot) {
    ASSERT_NO_FATAL_FAILURE(
        stopHeldBrowse(std::string(kHeldPrefix) + "find", "",
                       "find --clients client1,client2 --path /d00 --name 'f*' --at " + lastDay()));
}

// HubmasterBrowse's road: the host's worker waits for the media agent's answers through the router.
TEST_F(StopInFlight, TheOwnerStopsABrowseThroughTheHubmasterOthersCannot) {
    ASSERT_NO_FATAL_FAILURE(stopHeldBrowse(std::string(kHeldPrefix) + "hubmaster", " --via hubmaster"));
    EXPECT_NE(hostLog().find("Deleting the configuration [" + std::string(kHeldPrefix) + "hubmaster]"),
              std::string::npos);
    // The session's browse ended as stopped, and the host is free for the next one.
    EXPECT_NE(hostLog().find("browse of session [" + std::string(kHeldPrefix) +
                             "hubmaster] by user [admin] "
                             "through HubmasterBrowse: error [" +
                             kStopped),
              std::string::npos)
        << hostLog();
    TRun next = console(fileListing() + " --via hubmaster --quiet", admin(), "next");
    EXPECT_EQ(next.status, 0) << next.err;
    EXPECT_NE(next.out.find("/d00/d01/d00/f"), std::string::npos) << next.out;
}

// A Hubmaster-road browse whose caller gave up while the media agent held its answer: the agent is
// told to stop it, and later browses of that agent, of any user, are answered meanwhile (before, they
// were queued behind the held answer on the one connection it went out on).
TEST_F(StopInFlight, ACallerThatLeftHoldsUpNoLaterBrowseThroughTheHubmaster) {
    const std::string session = std::string(kHeldPrefix) + "left";
    TRun left;
    std::thread browsing([&] {
        left = console(fileListing() + " --session " + session + " --via hubmaster", admin(), "left", 3);
    });
    const bool inFlight = s->agent->waitFor("session " + session + " held after", 60s);
    browsing.join();
    ASSERT_TRUE(inFlight) << s->agent->output();
    EXPECT_EQ(left.status, 5) << left.out << left.err;

    // Several browses at once, of two users, while the agent may still hold the answer: each is
    // answered in full.
    TRun first, second;
    std::thread other(
        [&] { first = console(fileListing() + " --via hubmaster --quiet", alice(), "after-1"); });
    second = console(fileListing() + " --via hubmaster --quiet", admin(), "after-2");
    other.join();
    for (const TRun* run : {&first, &second}) {
        EXPECT_EQ(run->status, 0) << run->out << run->err;
        EXPECT_NE(run->out.find("/d00/d01/d00/f"), std::string::npos) << run->out;
    }
    // The held answer goes to nobody: the agent is told to end it.
    EXPECT_TRUE(journalGets("stop session=" + session + " ma=")) << text(journalFile()) << hostLog();
    EXPECT_TRUE(journalGets("session=" + session + " after ")) << text(journalFile());
    EXPECT_EQ(count(s->agent->output(), "session " + session + " released"), 0u) << s->agent->output();
}

// The owner stops a Hubmaster-road browse while its media agent is frozen: the browse ends as stopped
// and the router is done with the stop at once; telling the agent waits for nobody.
TEST_F(StopInFlight, AStopEndsTheBrowseOfAFrozenMediaAgentAtOnce) {
    const std::string session = std::string(kHeldPrefix) + "frozen";
    TRun held;
    std::thread browsing = holdThroughHubmaster(session, held);
    s->agent->signal(SIGSTOP);
    TRun owner = console("stop --session " + session, admin(), "frozen-stop");
    browsing.join();
    s->agent->signal(SIGCONT);
    EXPECT_EQ(owner.status, 0) << owner.err;
    // The Hubmaster answered it before the console's limit.
    EXPECT_NE(owner.out.find(" accepted: its browse in the Hubmaster ends"), std::string::npos) << owner.out;
    EXPECT_EQ(held.status, 1) << held.out << held.err;
    EXPECT_NE(held.err.find(kStopped), std::string::npos) << held.err;
    // Thawed, the agent still gets the stop (or, if it came while frozen past its limit, the answer's
    // session was closed): nothing of the session is left held.
    EXPECT_TRUE(journalGets("session=" + session + " after ")) << text(journalFile()) << hostLog();
}

// Through the Hubmaster's own service a stop is answered: another user's is refused (exit 3), one of an
// unknown session finds nothing (exit 1), the owner's is accepted and ends the browse.
TEST_F(StopInFlight, AStopThroughTheHubmasterSaysWhatCameOfIt) {
    const std::string session = std::string(kHeldPrefix) + "told";
    TRun held;
    std::thread browsing = holdThroughHubmaster(session, held);

    TRun other = console("stop --session " + session, alice(), "told-other");
    EXPECT_EQ(other.status, 3) << other.out << other.err;
    EXPECT_NE(other.err.find("The stop was refused"), std::string::npos) << other.err;
    TRun unknown = console("stop --session no-such-" + session, admin(), "told-unknown");
    EXPECT_EQ(unknown.status, 1) << unknown.out << unknown.err;
    EXPECT_NE(unknown.err.find("No such session"), std::string::npos) << unknown.err;
    EXPECT_EQ(count(s->agent->output(), "session " + session + " released"), 0u);

    TRun owner = console("stop --session " + session, admin(), "told-owner");
    browsing.join();
    EXPECT_EQ(owner.status, 0) << owner.out << owner.err;
    EXPECT_NE(owner.out.find(" accepted: its browse in the Hubmaster ends"), std::string::npos) << owner.out;
    EXPECT_EQ(held.status, 1) << held.out << held.err;
    EXPECT_NE(held.err.find(kStopped), std::string::npos) << held.err;
    EXPECT_TRUE(journalGets("session=" + session + " after ")) << text(journalFile());
}

// A mining's session is its owner's on both roads: through the Hubmaster, whose worker waits for the
// mining service's answers, and through BrowseRouter, which hands the completed request to its caller
// (here one that cannot reach the mining service). Another user's browse, mining and stop under its id
// are refused, naming nobody; the owner's stop ends the mining in flight, and then finds nothing left.
TEST_F(StopInFlight, AMiningSessionIsItsOwnersOnBothRoads) {
    const std::string mine =
        "list --mine --client exchmine1 --subclient " + std::to_string(s->world.mining.dbSubclientFirst) +
        " --app-type 53 --path 'Mailbox Database A' --ma mediaagent1 --at " + lastDay() + " --session ";
    // olivia may mine every client's data: the session, not her right, is what refuses her.
    const std::string olivia = "--token " + hubtest::issueToken(s->dir.file("demo"), "TENANT\\olivia");
    ASSERT_EQ(console(mine + "mining-olivia --via hubmaster", olivia, "mining-olivia").status, 0);
    const auto refusedToOthers = [&](const std::string& session) {
        const std::string inUse = "is in use by another caller", stopRefused = "The stop was refused";
        for (const auto& [args, who, says] :
             {std::tuple{fileListing() + " --session " + session, alice(), inUse},
              {mine + session, olivia, inUse},
              {mine + session + " --via hubmaster", olivia, inUse},
              {"stop --session " + session, alice(), stopRefused}}) {
            TRun other = console(args, who, "other-" + session);
            EXPECT_TRUE(other.status == 3 && other.err.find(says) != std::string::npos &&
                        other.err.find("admin") == std::string::npos)
                << args << "\n"
                << other.status << other.out << other.err;
        }
    };
    const std::string held = std::string(kHeldPrefix) + "mining";
    TRun mining;
    std::thread browsing([&] { mining = console(mine + held + " --via hubmaster", admin(), held); });
    EXPECT_TRUE(s->agent->waitFor("session " + held + " held after", 60s)) << s->agent->output();
    refusedToOthers(held);
    TRun owner = console("stop --session " + held, admin(), "owner-" + held);
    browsing.join();
    EXPECT_NE(owner.out.find(" accepted: its browse in the Hubmaster ends"), std::string::npos) << owner.err;
    EXPECT_TRUE(endedAsStopped(mining)) << mining.status << "\n" << mining.out << mining.err;

    TRun prepared = console(mine + "mining-routed", admin(), "mining-routed", 60, "127.0.0.2");
    EXPECT_EQ(prepared.status, 4) << prepared.out << prepared.err;  // the mining service is not reached
    refusedToOthers("mining-routed");
    for (const std::string& session : {held, std::string("mining-routed")}) {
        TRun again = console("stop --session " + session, admin(), "again-" + session);
        EXPECT_NE(again.out.find(session + ": nothing was left to stop"), std::string::npos) << again.err;
    }
}

// A browse through the Hubmaster is read in one request scope, which it lets go before it waits for its
// answers: while its media agent holds them, a write lands and a checkpoint empties the whole log.
TEST_F(StopInFlight, ABrowseWaitingForItsAnswersHoldsNoSnapshot) {
    const std::string session = std::string(kHeldPrefix) + "snapshot";
    TRun held;
    std::thread browsing = holdThroughHubmaster(session, held);
    const std::string& db = s->world.databasePath;
    EXPECT_EQ(hubtest::execSql(db, "UPDATE NBGlobalParam SET value = value WHERE name = 'none such'"), "");
    EXPECT_EQ(hubtest::execSql(db, "CREATE TABLE IF NOT EXISTS snapshotwitness (v)"), "");
    EXPECT_EQ(hubtest::queryInt(db, "PRAGMA wal_checkpoint(TRUNCATE)"), 0) << "a reader held the log";
    TRun owner = console("stop --session " + session, admin(), "snapshot-stop");
    browsing.join();
    EXPECT_EQ(owner.status, 0) << owner.out << owner.err;
    EXPECT_TRUE(journalGets("session=" + session + " after ")) << text(journalFile());
}

// A stop that comes before the media agent has answered anything: through the Hubmaster it ends the
// browse; on BrowseRouter's road the agent may read it before or after the request, and the answers say
// which. The owner's later browse of the session is a new one either way, on both roads.
TEST_F(StopInFlight, AStopBeforeTheFirstAnswerEndsWhatItFindsAndNoLaterBrowse) {
    const std::string direct = std::string(kHeldPrefix) + "early-direct";
    ASSERT_NO_FATAL_FAILURE(
        stopBeforeTheFirstAnswer(direct, false, "direct browse of session [" + direct + "]"));
    // The worker has chosen its agent and is sending it the request.
    ASSERT_NO_FATAL_FAILURE(stopBeforeTheFirstAnswer(std::string(kHeldPrefix) + "early-hubmaster", true,
                                                     "will be used for the browse."));
    // An answer the agent gives whole at once, not held.
    ASSERT_NO_FATAL_FAILURE(
        stopBeforeTheFirstAnswer("early-whole", false, "direct browse of session [early-whole]"));
}

// The owner's browse, her accepted stop, and her next browse under the same id on either road: the
// next one is a new browse, which the stop leaves alone. When the stop found nothing running at the
// media agent (her first browse had been answered whole), the next is answered whole as the first was;
// when it ended her browse in flight (held at the agent), the next runs (held after its first items in
// its turn) until her own stop of it.
TEST_F(StopInFlight, TheOwnersNextBrowseAfterHerStopIsANewOne) {
    for (const bool viaHubmaster : {false, true}) {
        const std::string road = viaHubmaster ? " --via hubmaster" : "";
        const std::string tag = viaHubmaster ? "hubmaster" : "direct";
        SCOPED_TRACE(std::string("the next browse through ") +
                     (viaHubmaster ? "the Hubmaster" : "BrowseRouter"));

        // Nothing of it runs at the agent when the stop comes: her browse was answered whole, or its
        // console could not reach the agent with it (the agent never saw the session).
        for (const bool reached : {true, false}) {
            const std::string session =
                (reached ? "answered-then-stopped-" : "unreached-then-stopped-") + tag;
            TRun first = console(fileListing() + " --session " + session, alice(), "first-" + session, 60,
                                 reached ? "127.0.0.1" : "127.0.0.2");
            if (reached) {
                ASSERT_TRUE(answeredWhole(first)) << first.status << "\n" << first.out << first.err;
                ASSERT_TRUE(agentAnswered(session));
            } else {
                ASSERT_EQ(first.status, 4) << first.out << first.err;  // unreachable
            }
            const size_t journalBefore = journalSize();
            TRun stop = console("stop --session " + session, alice(), "stop-" + session);
            EXPECT_EQ(stop.status, 0) << stop.out << stop.err;
            EXPECT_NE(stop.out.find(" accepted: "), std::string::npos) << stop.out;
            ASSERT_TRUE(agentReadStop(session, journalBefore)) << text(journalFile());
            EXPECT_EQ(answersStopped(session, journalBefore), 0) << text(journalFile());
            TRun next = console(fileListing() + " --session " + session + road, alice(), "next-" + session);
            EXPECT_TRUE(answeredWhole(next)) << next.status << "\n" << next.out << next.err;
            if (reached) {
                EXPECT_EQ(itemsIn(next.out), itemsIn(first.out));
            }
        }

        // Her browse held in flight, then her stop of it, twice: the first browse on BrowseRouter's road,
        // the next on the road under test. Each stop ends the one answer the agent is streaming.
        const std::string held = std::string(kHeldPrefix) + "then-stopped-" + tag;
        using TTurn = std::tuple<std::string, std::string, size_t>;  // log name, road, the hold's number
        for (const auto& [name, via, nth] : {TTurn{"first-", "", 1}, TTurn{"next-", road, 2}}) {
            TRun inFlight;
            std::thread browsing([&] {
                inFlight = console(fileListing() + " --session " + held + via, alice(), name + held);
            });
            EXPECT_TRUE(s->agent->waitFor("session " + held + " held after", 60s, nth)) << s->agent->output();
            const size_t journalBefore = journalSize();
            TRun stop = console("stop --session " + held, alice(), "stop-" + name + held);
            browsing.join();
            EXPECT_NE(stop.out.find(" accepted: "), std::string::npos) << stop.out << stop.err;
            EXPECT_TRUE(endedAsStopped(inFlight)) << inFlight.status << "\n" << inFlight.out << inFlight.err;
            ASSERT_TRUE(agentReadStop(held, journalBefore)) << text(journalFile());
            EXPECT_EQ(answersStopped(held, journalBefore), 1) << text(journalFile());
        }
    }
}

// A find stopped inside one long read of the index (a folder of many files, none of them matching)
// ends there, not when the read is done: it ends before a find started after its stop that reads half
// as much. The media agent holds client1's file system alone, /big and /d00 of many files each.
TEST(StopALongRead, AFindEndsInsideTheReadItWasStoppedIn) {
    TempDir dir;
    hubdemo::DemoWorld world;
    ASSERT_EQ(hubtest::demoWorldIn(dir.file("demo"), world), "");
    ASSERT_EQ(hubtest::execSql(world.databasePath,
                               "DELETE FROM archFileCopy WHERE EXISTS (SELECT 1 FROM archFile f WHERE f.id = "
                               "archFileCopy.archFileId AND f.appId <> " +
                                   std::to_string(world.fileSubclient) + ")"),
              "");
    const std::string journal = dir.file("journal");
    auto agent = hubtest::startDemoAgent(world, "mediaagent1", dir.file("items.db"), dir.path(),
                                         {"--index-service", "started", "--journal", journal, "--files",
                                          "600000", "--big-dir", "300000", "--files-per-dir", "150000"});
    int port = 0;
    auto host = hubtest::startDemoHost(world, dir.file("demo"), port);
    const std::string browse = hubtest::binaryDir() + "/tools/browse/browse ",
                      asAdmin = " --data " + dir.file("demo") + " --user admin --ma-host 127.0.0.1";
    const std::string find = browse + "find --client client1 --subclient " +
                             std::to_string(world.fileSubclient) + " --name 'zz*' --at " +
                             std::to_string(world.firstBackupTime + 86400LL * world.backupDays) + asAdmin;
    TRun stopped;
    std::thread reading([&] {
        stopped = hubtest::runConsole(find + " --path /big --session long-read", dir.file("long-read"));
    });
    const bool asked = fileGets(journal, "browse secured check=0");
    hubtest::runConsole(browse + "stop --session long-read" + asAdmin, dir.file("stop"));
    const bool told = fileGets(journal, "stop session=long-read ma=");
    TRun later = hubtest::runConsole(find + " --path /d00 --session after-stop", dir.file("after-stop"));
    reading.join();
    ASSERT_TRUE(asked && told) << text(journal);
    EXPECT_EQ(stopped.status, 1) << stopped.out << stopped.err;
    EXPECT_NE(stopped.err.find(kStopped), std::string::npos) << stopped.err;
    EXPECT_EQ(later.status, 0) << later.out << later.err;
    const std::string log = text(dir.file("mediaagent1.log"));
    const size_t ended = log.find("session=long-read after 0 item(s)");
    EXPECT_LT(ended, log.find("request of session [after-stop]")) << log;
}

}  // namespace
