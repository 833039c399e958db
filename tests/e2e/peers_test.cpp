// Proven peers with the real processes on loopback (the host, a media agent, consoles): the wire between
// a console and the host carries no token in clear, answers forged by a caller the browse did not ask
// never reach it (even with the session GUID and a certificate of another machine, or under the name of
// the agent it asked without the session), crowds of idle or slow callers, or of one valid token of a user
// with no rights, cannot lock consoles out of either road, huge frames and floods of big messages from
// callers outside the infrastructure (a client machine's certificate included) cost the host and the
// media agent little memory, a crowd of addresses with forged tokens leaves client machines and consoles
// with a token served, a client machine cannot fill a media agent with launched instances, and a flood
// of forged answers cannot flush the host's log.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/hubdemo/hubdemo.h"
#include "platform/msg/msg_classes.h"
#include "platform/net/zynet_directory.h"
#include "platform/net/zynet_frame.h"
#include "platform/net/zynet_tls.h"
#include "platform/net/zynet_xml.h"
#include "platform/net/zynetwork.h"
#include "tests/platform/db/tempdir.h"
#include "tests/support/net/net_frame_link.h"
#include "tests/support/process/childprocess.h"
#include "tests/support/process/demosystem.h"
#include "tests/support/process/processprobe.h"
#include "tests/support/sqlite/testsql.h"
#include "tests/support/tls/testpki.h"
#include "tools/browse/consoleoptions.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A relay between a client and a server on loopback that keeps every byte it passes, as a capture of
// the wire would.
class CWireTap {
public:
    explicit CWireTap(int serverPort) : m_serverPort(serverPort) {
        m_listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(m_listener, reinterpret_cast<sockaddr*>(&a), sizeof a);
        listen(m_listener, 16);
        socklen_t len = sizeof a;
        getsockname(m_listener, reinterpret_cast<sockaddr*>(&a), &len);
        m_port = ntohs(a.sin_port);
        m_thread = std::thread([this] { run(); });
    }
    ~CWireTap() {
        const uint64_t one = 1;
        if (write(m_stop, &one, sizeof one) != sizeof one) ADD_FAILURE() << "the tap cannot be told to stop";
        m_thread.join();
        close(m_listener);
        close(m_stop);
    }
    int port() const { return m_port; }
    std::string captured() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_bytes;
    }

private:
    void run() {
        std::vector<std::pair<int, int>> pairs;  // client, server
        std::vector<bool> ended;                 // per side of each pair: its reading end is done
        for (;;) {
            std::vector<pollfd> fds{{m_listener, POLLIN, 0}};
            for (size_t i = 0; i < pairs.size(); ++i) {
                // A side that has ended is left out (poll skips negative descriptors).
                fds.push_back({ended[2 * i] ? -1 : pairs[i].first, POLLIN, 0});
                fds.push_back({ended[2 * i + 1] ? -1 : pairs[i].second, POLLIN, 0});
            }
            fds.push_back({m_stop, POLLIN, 0});
            // Woken by traffic or by the stop, which stays readable once written: nothing to time.
            if (poll(fds.data(), fds.size(), -1) <= 0) continue;
            if (fds.back().revents & POLLIN) break;
            fds.pop_back();
            if (fds[0].revents & POLLIN) {
                const int c = accept(m_listener, nullptr, nullptr);
                const int s = socket(AF_INET, SOCK_STREAM, 0);
                sockaddr_in a{};
                a.sin_family = AF_INET;
                a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
                a.sin_port = htons(static_cast<uint16_t>(m_serverPort));
                if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
                    pairs.emplace_back(c, s);
                    ended.insert(ended.end(), {false, false});
                } else
                    close(c), close(s);
            }
            // Only the pairs that were polled: one accepted above waits for the next turn.
            for (size_t i = 0; i < (fds.size() - 1) / 2; ++i) {
                for (int side = 0; side < 2; ++side) {
                    if (!(fds[1 + 2 * i + side].revents & (POLLIN | POLLHUP))) continue;
                    const int from = side == 0 ? pairs[i].first : pairs[i].second;
                    const int to = side == 0 ? pairs[i].second : pairs[i].first;
                    char buffer[65536];
                    const ssize_t n = read(from, buffer, sizeof buffer);
                    if (n <= 0) {
                        shutdown(to, SHUT_WR);
                        ended[2 * i + side] = true;
                        continue;
                    }
                    std::lock_guard<std::mutex> lock(m_mutex);
                    m_bytes.append(buffer, static_cast<size_t>(n));
                    if (send(to, buffer, static_cast<size_t>(n), MSG_NOSIGNAL) != n) shutdown(to, SHUT_RDWR);
                }
            }
        }
        for (auto& [c, s] : pairs) close(c), close(s);
    }

    int m_serverPort, m_listener = -1, m_port = 0;
    const int m_stop = eventfd(0, EFD_CLOEXEC);  // written once: the relay ends
    std::thread m_thread;
    std::mutex m_mutex;  // guards m_bytes
    std::string m_bytes;
};

// Sessions whose answers the media agent holds after their first items, until they are stopped.
constexpr const char* kHeldPrefix = "held-";

class ProvenPeers : public ::testing::Test {
protected:
    void SetUp() override {
        // The crowds below hold thousands of connections.
        rlimit files{};
        getrlimit(RLIMIT_NOFILE, &files);
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
        std::string error;
        ASSERT_TRUE(hubdemo::createDemoWorld(m_dir.file("demo"), m_world, &error)) << error;
        m_agent = hubtest::startDemoAgent(m_world, "mediaagent1", m_dir.file("agent.items.db"), m_dir.path(),
                                          {"--index-service", "started", "--hold-sessions", kHeldPrefix});
        m_host = hubtest::startDemoHost(m_world, m_dir.file("demo"), m_routerPort);
    }
    void TearDown() override {
        hubtest::expectEveryFailureSaidWhy(m_dir.file("demo"));
        m_host.reset();
        m_agent.reset();
    }

    std::vector<std::string> listArgs(const std::string& road) const {
        const std::string lastDay = std::to_string(m_world.firstBackupTime + 86400LL * m_world.backupDays);
        return {"list",
                "--client",
                "client1",
                "--subclient",
                std::to_string(m_world.fileSubclient),
                "--at",
                lastDay,
                "--data",
                m_dir.file("demo"),
                "--ma-host",
                "127.0.0.1",
                "--quiet",
                "--timeout",
                "20",
                "--via",
                road};
    }
    // Runs a console to its end: its output and how long it took.
    static std::string run(std::vector<std::string> args, std::chrono::milliseconds& took) {
        const auto start = std::chrono::steady_clock::now();
        hubtest::CChildProcess console("tools/browse/browse", std::move(args));
        EXPECT_TRUE(console.waitExit(60s)) << "the console still runs after 60 s: " << console.output();
        took =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        return console.output();
    }
    // Every log the processes of the test wrote.
    std::string logs() const {
        std::string all;
        for (const auto& entry : fs::recursive_directory_iterator(m_dir.path()))
            if (entry.path().extension() == ".log") {
                std::ifstream in(entry.path());
                all.append(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
            }
        return all;
    }
    long long hostPeakKb() const {
        std::ifstream status("/proc/" + std::to_string(m_host->pid()) + "/status");
        std::string line;
        while (std::getline(status, line))
            if (line.rfind("VmHWM:", 0) == 0) return std::atoll(line.c_str() + 6);
        return -1;
    }

    // A router list of /d00 under browse session `session`, with `token`: what a console sends (through
    // the Hubmaster when `viaHubmaster`).
    std::vector<uint8_t> listRequest(const std::string& session, const std::string& token,
                                     bool viaHubmaster = false) const {
        TConsoleOptions o;
        o.viaHubmaster = viaHubmaster;
        o.command = EConsoleCommand::kList;
        o.client = "client1";
        o.subclientId = m_world.fileSubclient;
        o.at = m_world.firstBackupTime + 86400LL * m_world.backupDays;
        o.paths = {"/d00"};
        o.session = session;
        o.token = token;
        std::string xml;
        EXPECT_EQ(buildConsoleRequest(o).serialize(xml), 0);
        return std::vector<uint8_t>(xml.begin(), xml.end());
    }
    // Asks for a list on `link` and reads the answer: "" when it is the prepared request of this very
    // browse (what BrowseRouter answers a list it grants), else what came instead.
    std::string askForList(hubtest::CFrameLink& link, const std::string& session,
                           const std::string& token) const {
        hubtest::TRawFrame answer;
        std::string why;
        if (!link.send(zynet::FrameKind::Xml, databrowse::BrowseRequest::TAG, listRequest(session, token)) ||
            !link.receive(answer, 60, why))
            return "no answer: " + why;
        const std::string text(answer.payload.begin(), answer.payload.end());
        std::unique_ptr<CNMessageBase> prepared(
            zynet::messageFromXml(answer.code, answer.payload.data(), answer.payload.size(), why));
        if (!prepared || answer.code == databrowse::BrowseResponse::TAG ||
            text.find(session) == std::string::npos)
            return text.substr(0, 400);
        return std::string();
    }

    // What one legitimate caller of the crowd tests came to, and the time it took (less what it waited on
    // purpose).
    struct TLegitimate {
        std::string who, failure;  // failure: "" when every request of it was answered
        std::chrono::milliseconds took{};
    };
    // The legitimate callers, one after another: a console with `token` on each road, and one that waits
    // 4 s between opening its router session and sending its request.
    std::vector<TLegitimate> legitimateCallers(const std::string& token) {
        std::vector<TLegitimate> callers;
        for (const char* road : {"router", "hubmaster"}) {
            std::vector<std::string> args = listArgs(road);
            args.insert(args.end(), {"--token", token, "--path", "/d00"});
            TLegitimate& c = callers.emplace_back();
            c.who = std::string("a console on the ") + road + " road";
            const std::string out = run(args, c.took);
            if (out.find("/d00/") == std::string::npos) c.failure = out;
        }
        constexpr auto kWait = 4s;
        TLegitimate& c = callers.emplace_back();
        c.who = "a console that waits 4 s before its request";
        const auto start = std::chrono::steady_clock::now();
        hubtest::CFrameLink link;
        std::string why;
        static int waits = 0;
        auto waited = 0s;
        if (!link.connect(m_routerPort, 60, true, hubtest::kAnonymous, "127.0.8.1") ||
            !link.open("BrowseRouter", "console", 4098, why)) {
            c.failure = "no session: " + why;
        } else {
            std::this_thread::sleep_for(waited = kWait);
            c.failure = askForList(link, "waiting-" + std::to_string(++waits), token);
        }
        c.took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                       start - waited);
        return callers;
    }
    // Every legitimate caller answered among `crowd`, in a time the same caller takes without it on this
    // machine: a few times that (the crowd's own processes share the machine), and the longest a
    // newcomer may wait in line for a place that a session sending nothing holds (its first-message
    // limit). A console locked out waits for the host's idle limit or its own time limit, or is refused.
    static void expectServedAmong(const std::vector<TLegitimate>& alone,
                                  const std::vector<TLegitimate>& crowded, const char* crowd) {
        constexpr int kSlowerAmongTheCrowd = 4;
        const auto line = std::chrono::seconds(TZyNetOptions().anonymousFirstFrameSeconds);
        ASSERT_EQ(alone.size(), crowded.size());
        for (size_t i = 0; i < alone.size(); ++i) {
            EXPECT_EQ(alone[i].failure, "") << alone[i].who << ", alone";
            EXPECT_EQ(crowded[i].failure, "") << crowded[i].who << ", among " << crowd;
            EXPECT_LE(crowded[i].took, kSlowerAmongTheCrowd * alone[i].took + line)
                << crowded[i].who << " among " << crowd << ", " << alone[i].took.count() << " ms alone";
            std::printf("%s: %lld ms alone, %lld ms among %s\n", crowded[i].who.c_str(),
                        static_cast<long long>(alone[i].took.count()),
                        static_cast<long long>(crowded[i].took.count()), crowd);
        }
    }
    // A client machine that keeps 8 sessions of its own open and browses on each in turn, each idle
    // between, for 6 rounds: what it came to, and its time.
    TLegitimate clientMachine(const std::string& token) {
        constexpr int kSessions = 8, kRounds = 6;
        static int runs = 0;
        TLegitimate machine;
        machine.who = "a client machine";
        const auto start = std::chrono::steady_clock::now();
        std::vector<hubtest::CFrameLink> links(kSessions);
        std::string why;
        int answered = 0;
        for (int n = 0; n < kSessions; ++n)
            if (!links[n].connect(m_routerPort, 60, true, "client1") ||
                !links[n].open("BrowseRouter", "client1", 4098, why))
                machine.failure += "session " + std::to_string(n) + " not opened: " + why + "\n";
        ++runs;
        for (int round = 0; round < kRounds && machine.failure.empty(); ++round)
            for (int n = 0; n < kSessions; ++n) {
                const std::string session =
                    "machine-" + std::to_string(runs) + "-" + std::to_string(round) + "-" + std::to_string(n);
                const std::string failure = askForList(links[n], session, token);
                if (failure.empty())
                    ++answered;
                else
                    machine.failure += session + ": " + failure + "\n";
            }
        if (answered != kSessions * kRounds)
            machine.failure +=
                std::to_string(answered) + " of " + std::to_string(kSessions * kRounds) + " answered";
        machine.took =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        return machine;
    }

    TempDir m_dir;
    hubdemo::DemoWorld m_world;
    std::unique_ptr<hubtest::CChildProcess> m_agent, m_host;
    int m_routerPort = 0;
};

// The worker ids forgers aim at: more than the browses of one test ask for.
constexpr int kBrowseIds = 128;
constexpr int kMostRounds = 40;
const char* const kDropped = "did not ask; dropped";

// A browse answer with one forged item (or, of type 5, the end), addressed to worker `id` of session `guid`.
std::string forgedAnswer(int id, const std::string& guid, int64_t type = 0) {
    databrowse::BrowseResponse response;
    response.setint64(databrowse::BrowseResponse::f::respType, type);
    response.setstring(databrowse::BrowseResponse::f::workerId, std::to_string(id));
    databrowse::BrowseSession session;
    session.setstring(databrowse::BrowseSession::f::sessionId, guid);
    response.setObjectAccessor(session, databrowse::BrowseResponse::f::session);
    databrowse::BrowseData item;
    item.setstring(databrowse::BrowseData::f::name, "FORGED" + std::to_string(id));
    item.setstring(databrowse::BrowseData::f::path, "/FORGED" + std::to_string(id));
    databrowse::BrowseResult result;
    result.setlistobject(databrowse::BrowseResult::f::dataResultSet, {item});
    response.setObjectAccessor(result, databrowse::BrowseResponse::f::browseResult);
    std::string xml;
    response.serialize(xml);
    return xml;
}

// A crowd of 128 callers without a certificate at BrowseRouter that keeps itself at its size, one thread
// playing them all: each session the host closes, or refuses, is opened again. Openings left idle;
// slow ones, sending a request a byte every 200 ms; or one valid token of a user with no rights, from 4
// addresses, asking each 30 s.
class CCrowd {
public:
    enum class EKind { kIdle, kSlow, kValidToken };
    static constexpr int kSize = 128;

    CCrowd(EKind kind, int port, std::vector<uint8_t> request)
        : m_kind(kind), m_port(port), m_request(request) {
        m_thread = std::thread([this] { run(); });
    }
    ~CCrowd() {
        m_stop = true;
        m_thread.join();
    }
    // Returns once every caller of it has had a session, and for longer than an opening may stay idle:
    // the crowd at its height (false after a minute).
    bool atItsHeight() {
        const auto start = std::chrono::steady_clock::now();
        const auto idle = std::chrono::seconds(TZyNetOptions().anonymousFirstFrameSeconds) + 1s;
        while (m_welcomed < kSize || std::chrono::steady_clock::now() < start + idle) {
            if (std::chrono::steady_clock::now() > start + 60s) return false;
            std::this_thread::sleep_for(50ms);
        }
        return true;
    }

private:
    void run() {
        std::vector<hubtest::CPolledCaller> callers;
        for (int i = 0; i < kSize; ++i)
            callers.emplace_back(m_kind == EKind::kIdle   ? "127.0.5." + std::to_string(1 + i)
                                 : m_kind == EKind::kSlow ? "127.0.6." + std::to_string(1 + i)
                                                          : "127.0.7." + std::to_string(1 + i % 4),
                                 hubtest::kAnonymous);
        std::vector<std::chrono::steady_clock::time_point> next(kSize);
        std::vector<size_t> sent(kSize);
        std::vector<bool> counted(kSize);
        while (!m_stop) {
            const auto now = std::chrono::steady_clock::now();
            for (int i = 0; i < kSize && !m_stop; ++i) {
                hubtest::CPolledCaller& c = callers[i];
                c.poll();
                if (c.state() == hubtest::CPolledCaller::State::Closed) {
                    c.open(m_port, "BrowseRouter");
                    next[i] = now;
                    sent[i] = 0;
                }
                if (c.state() != hubtest::CPolledCaller::State::Open) continue;
                if (!counted[i]) ++m_welcomed;
                counted[i] = true;
                if (now < next[i]) continue;
                if (m_kind == EKind::kSlow) {
                    c.send({m_request[sent[i]++ % m_request.size()]});
                    next[i] = now + 200ms;
                } else if (m_kind == EKind::kValidToken) {
                    c.send(zynet::buildFrame(zynet::FrameKind::Xml, databrowse::BrowseRequest::TAG,
                                             m_request.data(), m_request.size()));
                    next[i] = now + 30s;
                }
            }
            std::this_thread::sleep_for(20ms);
        }
    }

    const EKind m_kind;
    const int m_port;
    const std::vector<uint8_t> m_request;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_welcomed{0};
    std::thread m_thread;
};

}  // namespace

TEST_F(ProvenPeers, TheWireBetweenConsoleAndHostCarriesNoTokenInClear) {
    const std::string admin = hubtest::issueToken(m_dir.file("demo"), "admin");
    ASSERT_GT(admin.size(), 20u) << admin;
    CWireTap tap(m_routerPort);
    std::vector<std::string> args = listArgs("router");
    args.insert(args.end(), {"--token", admin, "--port", std::to_string(tap.port()), "--host", "127.0.0.1"});
    std::chrono::milliseconds took{};
    const std::string out = run(args, took);
    EXPECT_NE(out.find("/d00"), std::string::npos) << out;  // the browse was answered through the tap
    const std::string wire = tap.captured();
    ASSERT_GT(wire.size(), 1000u);
    EXPECT_EQ(static_cast<uint8_t>(wire[0]), zynet::kTlsHandshakeByte);
    EXPECT_EQ(wire.find(admin), std::string::npos);
    EXPECT_EQ(wire.find(admin.substr(0, 16)), std::string::npos);
    EXPECT_EQ(wire.find("BrowseRequest"), std::string::npos);
    EXPECT_EQ(wire.find("client1"), std::string::npos);
}

TEST_F(ProvenPeers, ForgedAnswersNeverReachABrowseAndCannotFlushTheLog) {
    const std::string guid = "f0f0f0f0-1111-2222-3333-444455556666";
    std::chrono::milliseconds took{};
    std::vector<std::string> args = listArgs("hubmaster");
    args.insert(args.end(), {"--user", "admin", "--session", guid});
    const std::string truth = run(args, took);
    ASSERT_NE(truth.find("/d00"), std::string::npos) << truth;

    // Forgers who know the session GUID and guess the worker ids: one without a certificate, one with
    // client1's, each spraying answers at every worker id the host will give out.
    std::atomic<bool> stop{false};
    std::atomic<long> sprayed{0};
    const auto forger = [&](const char* asMachine) {
        CZyNetwork session;
        bool timedOut = false;
        if (session.Connect(TZyNetAddress{"127.0.0.1", m_routerPort}, "BrowseRouter", asMachine, 10, timedOut)
                .IsError())
            return;
        while (!stop) {
            for (int id = 1; id <= kBrowseIds && !stop; ++id) {
                if (session
                        .SendXMLMessage(databrowse::BrowseResponse::TAG, forgedAnswer(id, guid), 0, 10,
                                        timedOut)
                        .IsError())
                    return;
                ++sprayed;
            }
        }
    };
    // The host's log, whole, and how many forged answers it says it dropped.
    const fs::path logs = m_dir.file("demo");
    std::string log;
    size_t dropped = 0;
    const auto readLog = [&] {
        log.clear();
        for (const auto& entry : fs::directory_iterator(logs)) {
            if (entry.path().filename().string().rfind("hubmaster", 0) != 0 ||
                entry.path().extension() != ".log")
                continue;
            std::ifstream in(entry.path());
            log.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        }
        dropped = 0;
        for (size_t at = log.find(kDropped); at != std::string::npos; at = log.find(kDropped, at + 1))
            ++dropped;
        return dropped;
    };
    std::thread anonymous([&] {
        // A console on a desk: the authority's certificate only.
        forger(hubtest::kAnonymous);
    });
    std::thread client1([&] { forger("client1"); });
    // A forgery is dropped (and logged) only when it meets a browse in flight, and on a busy machine the
    // forgers may be slow to start: browses go on until the log shows forgeries met them, within bounds.
    for (int round = 0; round < 6 || ((sprayed.load() <= 1000 || readLog() == 0) && round < kMostRounds);
         ++round) {
        const std::string out = run(args, took);
        EXPECT_EQ(out.find("FORGED"), std::string::npos) << out;
        EXPECT_EQ(out, truth);
    }
    stop = true;
    anonymous.join();
    client1.join();
    EXPECT_GT(sprayed.load(), 1000);

    // The flood left its mark counted, not written line by line, and the start of the log is still there.
    readLog();
    EXPECT_LT(log.size(), 20u << 20);
    EXPECT_GT(dropped, 0u);
    EXPECT_LT(dropped, static_cast<size_t>(sprayed.load()) / 4);
}

// A connection under the asked media agent's name (its key copied) may answer as the agent may, on any
// of its connections, but only for the browse session the request named: counting the worker ids
// without the session adds nothing to the browse.
TEST_F(ProvenPeers, AnswersCountOnlyForTheSessionTheAgentWasAsked) {
    const std::string guid = std::string(kHeldPrefix) + "copied-key";
    std::vector<std::string> args = listArgs("hubmaster");
    args.insert(args.end(), {"--user", "admin", "--session", guid});
    std::string out;
    std::chrono::milliseconds took{};
    std::thread browsing([&] { out = run(args, took); });
    EXPECT_TRUE(m_agent->waitFor("session " + guid + " held after", 60s)) << m_agent->output();
    {
        CZyNetwork copy;
        bool timedOut = false;
        EXPECT_FALSE(copy.Connect(TZyNetAddress{"127.0.0.1", m_routerPort}, "BrowseRouter", "mediaagent1", 10,
                                  timedOut)
                         .IsError());
        for (int id = 1; id <= kBrowseIds; ++id)
            for (int64_t type : {0, 5})
                EXPECT_FALSE(copy.SendXMLMessage(databrowse::BrowseResponse::TAG,
                                                 forgedAnswer(id, guid + "-guessed", type), 0, 10, timedOut)
                                 .IsError());
        // Answered once the router has handled everything sent before it.
        ignoreResult(copy.Disconnect(30, timedOut), "what was sent was handled");
    }
    hubtest::CChildProcess stop(
        "tools/browse/browse",
        {"stop", "--session", guid, "--data", m_dir.file("demo"), "--user", "admin", "--timeout", "20"});
    EXPECT_TRUE(stop.waitExit(60s)) << stop.output();
    browsing.join();
    EXPECT_EQ(out.find("FORGED"), std::string::npos) << out;
    EXPECT_NE(out.find("The browse was stopped"), std::string::npos) << out;
    // Nor does any log hand the key out: worker ids are logged, never with 32 hex digits after a ':'.
    const std::string logged = logs();
    EXPECT_NE(logged.find("workerId=\""), std::string::npos);
    for (size_t colon = logged.find(':'); colon != std::string::npos; colon = logged.find(':', colon + 1)) {
        size_t hex = 0;
        while (colon + 1 + hex < logged.size() &&
               std::isxdigit(static_cast<unsigned char>(logged[colon + 1 + hex])))
            ++hex;
        ASSERT_NE(hex, 32u) << "an answer key in a log: " << logged.substr(colon > 80 ? colon - 80 : 0, 160);
    }
}

// While a browse on the Hubmaster's road waits for its media agent, the host's log already has the line of
// the request the worker sent: a line is in its file when it is logged, not when its thread is done.
TEST_F(ProvenPeers, AHeldBrowsesRequestLineIsInTheHostsLogWhileItIsHeld) {
    const std::string guid = std::string(kHeldPrefix) + "logged-while-held";
    std::vector<std::string> args = listArgs("hubmaster");
    args.insert(args.end(), {"--user", "admin", "--session", guid});
    std::string out;
    std::chrono::milliseconds took{};
    std::atomic<bool> consoleDone{false};
    std::thread browsing([&] {
        out = run(args, took);
        consoleDone.store(true);
    });
    EXPECT_TRUE(m_agent->waitFor("session " + guid + " held after", 60s)) << m_agent->output();
    const auto requestLogged = [this, &guid] {
        std::istringstream in(logs());
        for (std::string line; std::getline(in, line);)
            if (line.find("Request sent to MA [") != std::string::npos &&
                line.find(guid) != std::string::npos)
                return true;
        return false;
    };
    // The worker logs the line once its send returned, a moment after the agent may have read it: looked
    // for until it is there or the browse is no longer held.
    bool heldWhenRead = true;
    bool logged = false;
    while (heldWhenRead && !logged) {
        heldWhenRead = !consoleDone.load();
        logged = requestLogged();
        if (!logged) std::this_thread::sleep_for(50ms);
    }
    EXPECT_TRUE(logged && heldWhenRead) << "the request line was not in the log while the browse was held";
    hubtest::CChildProcess stop(
        "tools/browse/browse",
        {"stop", "--session", guid, "--data", m_dir.file("demo"), "--user", "admin", "--timeout", "20"});
    EXPECT_TRUE(stop.waitExit(60s)) << stop.output();
    browsing.join();
    EXPECT_NE(out.find("The browse was stopped"), std::string::npos) << out;
}

// A user's own burst of 100 commands in a minute through the Hubmaster, each a console's session from one
// address with the user's token: the host's log keeps, for each browse, its summary and its request to the
// media agent (the user's lines are its own to count, not an address's).
TEST_F(ProvenPeers, AUsersBurstOfCommandsKeepsEachBrowsesLinesInTheHostsLog) {
    const std::string token = hubtest::issueToken(m_dir.file("demo"), "admin");
    constexpr int kCommands = 100;
    for (int i = 0; i < kCommands; ++i) {
        hubtest::CFrameLink link;
        std::string why, answer;
        ASSERT_TRUE(link.connect(m_routerPort, 10, true, hubtest::kAnonymous) &&
                    link.open("HubmasterBrowse", "console", 4098, why))
            << why;
        ASSERT_TRUE(link.send(zynet::FrameKind::Xml, databrowse::BrowseRequest::TAG,
                              listRequest("burst-" + std::to_string(i), token, true)));
        // Its answers up to its end (or an error).
        for (hubtest::TRawFrame frame; answer.find("respType=\"5\"") == std::string::npos &&
                                       answer.find("respType=\"3\"") == std::string::npos;
             answer.assign(frame.payload.begin(), frame.payload.end()))
            if (!link.receive(frame, 30, why)) break;
        EXPECT_NE(answer.find("respType=\"5\""), std::string::npos) << why << answer.substr(0, 400);
    }
    const std::string logged = logs();
    int summaries = 0, sent = 0;
    for (int i = 0; i < kCommands; ++i) {
        const std::string session = "burst-" + std::to_string(i);
        summaries += logged.find("browse session [" + session + "]") != std::string::npos;
        sent += std::regex_search(logged, std::regex("Request sent to MA \\[.*\"" + session + "\""));
    }
    EXPECT_EQ(summaries, kCommands) << "browses whose summary is in the host's log";
    EXPECT_EQ(sent, kCommands) << "browses whose request to the media agent is in the host's log";
}

// Crowds of 128 callers without a certificate, each kind in turn: openings left idle, slow callers, and one
// valid token of a user with no rights replayed from 4 addresses. Each legitimate caller (a console on
// each road, one that waits 4 s before its request) is answered among every crowd, in a time the same
// caller takes without it.
TEST_F(ProvenPeers, CrowdsOfIdleAndSlowCallersCannotLockConsolesOut) {
    const std::string token = hubtest::issueToken(m_dir.file("demo"), "admin");
    const std::string nemo = hubtest::issueToken(m_dir.file("demo"), "TENANT\\nemo");
    ASSERT_GT(nemo.size(), 20u) << nemo;
    const std::vector<TLegitimate> alone = legitimateCallers(token);
    for (const auto& [kind, name] :
         {std::pair{CCrowd::EKind::kIdle, "openings left idle"},
          {CCrowd::EKind::kSlow, "slow callers"},
          {CCrowd::EKind::kValidToken, "one valid token of a user with no rights"}}) {
        CCrowd crowd(kind, m_routerPort, listRequest("crowd", nemo));
        ASSERT_TRUE(crowd.atItsHeight()) << name;
        expectServedAmong(alone, legitimateCallers(token), name);
    }
}

// A crowd of 128 callers without a certificate, each from a loopback address of its own, sending router
// browses with a forged token again and again: a client machine's sessions (idle between
// its browses) and consoles with a valid token (one waiting 4 s before its request) are answered every
// time, with their browses' own answers, in a time they take without the crowd, while the crowd's are
// answered with the token's refusal, within its part of the slots.
TEST_F(ProvenPeers, ACrowdWithForgedTokensLeavesClientMachinesAndConsolesWithATokenServed) {
    const std::string token = hubtest::issueToken(m_dir.file("demo"), "admin");
    ASSERT_GT(token.size(), 20u) << token;
    std::string forged = token;
    forged[forged.size() / 2] = forged[forged.size() / 2] == 'x' ? 'y' : 'x';
    const auto textOf = [](const hubtest::TRawFrame& frame) {
        return std::string(frame.payload.begin(), frame.payload.end());
    };
    // The client machine and the consoles at once, without the crowd and then among it.
    const auto legitimate = [&] {
        TLegitimate machine;
        std::thread machineThread([&] { machine = clientMachine(token); });
        std::vector<TLegitimate> callers = legitimateCallers(token);
        machineThread.join();
        callers.push_back(machine);
        return callers;
    };
    const std::vector<TLegitimate> alone = legitimate();

    constexpr int kCrowd = 128;
    // The crowd's bounds, far beyond what the test needs.
    constexpr auto kMostCrowdTime = 180s;
    constexpr int kMostCrowdRequests = 500;  // per caller
    std::atomic<bool> stop{false};
    std::atomic<long> refusedToken{0}, otherAnswers{0}, closedOnceAnswered{0}, keptPastAnswer{0},
        turnedAway{0};
    std::mutex mutex;  // guards otherAnswer
    std::string otherAnswer;
    const std::vector<uint8_t> crowdRequest = listRequest("crowd", forged);
    std::vector<std::thread> crowd;
    const auto crowdEnd = std::chrono::steady_clock::now() + kMostCrowdTime;
    for (int i = 0; i < kCrowd; ++i)
        crowd.emplace_back([&, i] {
            const std::string from = "127.0.0." + std::to_string(2 + i);
            int requests = 0;
            const auto going = [&] {
                return !stop && requests < kMostCrowdRequests && std::chrono::steady_clock::now() < crowdEnd;
            };
            // Each caller asks again, whichever session it has then, a second and 32 times what its last
            // answer took after it: on a slower machine the crowd slows with the host, so that it takes the
            // same share of the processors on any machine, and the callers it is judged on the rest.
            auto due = std::chrono::steady_clock::now();
            const auto paced = [&] {
                while (going() && std::chrono::steady_clock::now() < due) std::this_thread::sleep_for(50ms);
                return going();
            };
            const auto answeredAfter = [&](std::chrono::steady_clock::time_point asked) {
                const auto now = std::chrono::steady_clock::now();
                due = now + 1s + 32 * (now - asked);
            };
            while (going()) {
                ++requests;  // an opening counts as one
                hubtest::CFrameLink link;
                std::string why;
                if (!link.connect(m_routerPort, 10, true, hubtest::kAnonymous, from)) continue;
                if (!link.open("BrowseRouter", "console", 4098, why)) {
                    turnedAway +=
                        why.find("too many callers outside the infrastructure") != std::string::npos;
                    continue;
                }
                for (int answers = 0; paced(); ++answers) {
                    ++requests;
                    hubtest::TRawFrame answer;
                    const auto asked = std::chrono::steady_clock::now();
                    if (!link.send(zynet::FrameKind::Xml, databrowse::BrowseRequest::TAG, crowdRequest) ||
                        !link.receive(answer, 20, why)) {
                        closedOnceAnswered += answers > 0;
                        break;
                    }
                    answeredAfter(asked);
                    keptPastAnswer += answers == 1;
                    if (textOf(answer).find("Failed to authenticate the usertoken") != std::string::npos) {
                        ++refusedToken;
                    } else {
                        ++otherAnswers;
                        std::lock_guard<std::mutex> lock(mutex);
                        otherAnswer = textOf(answer).substr(0, 400);
                    }
                }
            }
        });
    const auto endCrowd = [&] {
        stop = true;
        for (std::thread& t : crowd) t.join();
    };
    // The crowd at its height: every caller has been answered a few times.
    for (int i = 0; i < 1200 && refusedToken < 3 * kCrowd; ++i) std::this_thread::sleep_for(100ms);
    if (refusedToken < 3 * kCrowd) {
        endCrowd();
        FAIL() << "the crowd was answered " << refusedToken << " times in 120 s";
    }

    const std::vector<TLegitimate> crowded = legitimate();
    const long crowdAnswered = refusedToken;
    endCrowd();

    expectServedAmong(alone, crowded, "callers with forged tokens");
    // The crowd is answered, always with its token's refusal; its sessions beyond its part are closed
    // after an answer (on trial once answered, or, their token refused, the first to give way).
    EXPECT_GT(crowdAnswered, 3 * kCrowd);
    EXPECT_EQ(otherAnswers.load(), 0) << otherAnswer;
    EXPECT_GT(closedOnceAnswered.load(), 0);
    std::printf(
        "crowd: %ld token refusals, %ld sessions kept past an answer, %ld closed once answered, %ld "
        "turned away at the door\n",
        refusedToken.load(), keptPastAnswer.load(), closedOnceAnswered.load(), turnedAway.load());
}

TEST_F(ProvenPeers, HugeFramesFromCallersOutsideTheInfrastructureCostTheHostNoMemory) {
    const long long before = hostPeakKb();
    // 22 MB of XML with a million fields each, eight at once.
    std::string huge = "<BrowseRequest>";
    while (huge.size() < (22u << 20)) huge += "<a x=\"1\"/>";
    huge += "</BrowseRequest>";
    std::vector<std::thread> senders;
    std::atomic<int> closed{0};
    // Half of them with a client machine's certificate: it proves the name, not a right to big frames.
    for (int i = 0; i < 8; ++i)
        senders.emplace_back([&, i] {
            CZyNetwork session;
            bool timedOut = false;
            if (session
                    .Connect(TZyNetAddress{"127.0.0.1", m_routerPort}, "BrowseRouter",
                             i % 2 ? "client1" : hubtest::kAnonymous, 10, timedOut)
                    .IsError())
                return;
            ignoreResult(session.SendXMLMessage(databrowse::BrowseRequest::TAG, huge, 0, 30, timedOut),
                         "the router may cut a request this big: what is counted is the close");
            std::string answer;
            unsigned long code = 0;
            ignoreResult(session.ReceiveXMLMessage(&code, answer, nullptr, 0, 10, timedOut),
                         "the router may cut a request this big: what is counted is the close");
            if (!session.IsConnected()) ++closed;
        });
    for (std::thread& t : senders) t.join();
    EXPECT_EQ(closed.load(), 8);
    const long long after = hostPeakKb();
    // Refused at the frame's header: the host's peak grows by far less than one frame (under
    // ThreadSanitizer the peak also counts the shadow of every thread's allocations).
#if defined(__SANITIZE_THREAD__)
    EXPECT_LT(after - before, 20 * 1024) << before << " kB -> " << after << " kB";
#else
    EXPECT_LT(after - before, 16 * 1024) << before << " kB -> " << after << " kB";
#endif
    // And it still serves.
    std::vector<std::string> args = listArgs("router");
    args.insert(args.end(), {"--user", "admin"});
    std::chrono::milliseconds took{};
    const std::string out = run(args, took);
    EXPECT_NE(out.find("/d00"), std::string::npos) << out;
}

// A crowd of callers without a certificate, each sending requests just under its frame limit again and
// again, at the host and at the media agent: what their frames and messages hold at once is bounded in
// bytes (one beyond it is refused and its session closed), so neither process grows by much, and a
// console with a token is still answered on both roads while the crowd goes on.
TEST_F(ProvenPeers, FloodsOfBigMessagesFromCallersWithoutACertificateAreBoundedInMemory) {
    const int agentPort = static_cast<int>(m_agent->numberAfter(hubtest::kAgentListening));
    // About 1 MB of XML that decodes into 20,000 path records.
    databrowse::BrowseRequest big;
    std::vector<CNMessageBase> paths;
    for (int n = 0; n < 20000; ++n) {
        databrowse::BrowsePath path;
        path.setstring(databrowse::BrowsePath::f::path, "/d00/flood" + std::to_string(n));
        paths.push_back(path);
    }
    big.setlistobject(databrowse::BrowseRequest::f::paths, paths);
    std::string xml;
    ASSERT_EQ(big.serialize(xml), 0);
    ASSERT_GT(xml.size(), 500u << 10);
    ASSERT_LT(xml.size(), 1u << 20);
    const long long hostBefore = hubtest::processPeakKb(m_host->pid());
    const long long agentBefore = hubtest::processPeakKb(m_agent->pid());

    std::atomic<bool> stop{false};
    std::atomic<long> sent{0};
    std::mutex mutex;  // with `counted`: the test waits for the crowd's first messages
    std::condition_variable counted;
    std::vector<std::thread> senders;
    // 64 at the host, 16 at the agent.
    constexpr int kSenders = 80;
    for (int i = 0; i < kSenders; ++i)
        senders.emplace_back([&, i] {
            const bool atAgent = i % 5 == 4;
            while (!stop) {
                CZyNetwork session;
                bool timedOut = false;
                if (session
                        .Connect(TZyNetAddress{"127.0.0.1", atAgent ? agentPort : m_routerPort},
                                 atAgent ? "IndexingService_0" : "BrowseRouter", hubtest::kAnonymous, 10,
                                 timedOut)
                        .IsError())
                    continue;
                while (!stop && session.IsConnected()) {
                    if (session.SendXMLMessage(databrowse::BrowseRequest::TAG, xml, 0, 30, timedOut)
                            .IsError())
                        break;
                    {
                        std::lock_guard<std::mutex> lock(mutex);
                        ++sent;
                    }
                    counted.notify_all();
                    std::string answer;
                    unsigned long code = 0;
                    ignoreResult(session.ReceiveXMLMessage(&code, answer, nullptr, 0, 10, timedOut),
                                 "a refused message closes the session: the sender opens another");
                }
            }
        });
    // The consoles ask while the crowd is at its height: once each sender has sent a few.
    {
        std::unique_lock<std::mutex> lock(mutex);
        counted.wait_for(lock, 120s, [&] { return sent >= kSenders * 3; });
    }
    const std::string token = hubtest::issueToken(m_dir.file("demo"), "admin");
    for (const char* road : {"router", "hubmaster"}) {
        std::vector<std::string> args = listArgs(road);
        args.insert(args.end(), {"--token", token});
        std::chrono::milliseconds took{};
        const std::string out = run(args, took);
        EXPECT_NE(out.find("/d00"), std::string::npos) << road << ": " << out;
    }
    stop = true;
    for (std::thread& t : senders) t.join();
    EXPECT_GE(sent.load(), kSenders * 3);
    const long long hostGrew = hubtest::processPeakKb(m_host->pid()) - hostBefore;
    const long long agentGrew = hubtest::processPeakKb(m_agent->pid()) - agentBefore;
    // A sanitizer keeps freed memory in quarantine and shadows every allocation: the peak then says
    // nothing of what the processes hold.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    EXPECT_LT(hostGrew, 100 * 1024) << "kB, after " << sent.load() << " messages";
    EXPECT_LT(agentGrew, 100 * 1024) << "kB, after " << sent.load() << " messages";
#endif
    std::printf("flood of %ld messages: host +%lld kB, agent +%lld kB at their peaks\n", sent.load(),
                hostGrew, agentGrew);
}

// A client machine's certificate proves its name, not a right to fill a media agent with launched
// instances: launches by client1 stop at the share of callers outside the infrastructure, while the
// Hubmaster's go on and take none of that share; and a service that answers only the Hubmaster says
// so to client1 at its launch, however many instances run.
TEST_F(ProvenPeers, AClientMachinesLaunchesAreLimitedAsAnOutsidersAre) {
    const int agentPort = static_cast<int>(m_agent->numberAfter(hubtest::kAgentListening));
    CZyNetDirectory::instance().registerClient("mediaagent1", "127.0.0.1", agentPort);
    TZyRemoteDLL launcher;
    std::strncpy(launcher.name, "sLNIDXMA", sizeof(launcher.name) - 1);
    std::vector<std::unique_ptr<CZyNetwork>> held;
    const auto launch = [&](const char* as) {
        auto session = std::make_unique<CZyNetwork>();
        bool timedOut = false;
        const CUxError error = session->Attach_RemoteDLL("mediaagent1", launcher, as, 30, timedOut);
        if (!error.IsError()) held.push_back(std::move(session));
        return error;
    };
    for (int i = 0; i < 20; ++i) EXPECT_FALSE(launch("hubmaster").IsError());
    int launched = 0, refused = 0;
    for (int i = 0; i < 40; ++i) {
        const CUxError error = launch("client1");
        launched += !error.IsError();
        refused += error.GetErrorText().find("outside the infrastructure") != std::string::npos;
    }
    EXPECT_EQ(launched, 16);
    EXPECT_EQ(refused, 24);
    EXPECT_FALSE(launch("hubmaster").IsError());

    // A mining on the router road, from a console on a desk while the share is full.
    std::vector<std::string> args = listArgs("router");
    args[2] = "exchmine1";
    args[4] = std::to_string(m_world.mining.dbSubclientFirst);
    args.insert(args.end(), {"--mine", "--app-type", "53", "--path", "Mailbox Database A", "--ma",
                             "mediaagent1", "--user", "admin"});
    std::chrono::milliseconds took{};
    const std::string mined = run(args, took);
    EXPECT_NE(mined.find("answers only the Hubmaster; mine through the Hubmaster"), std::string::npos)
        << mined;
    CZyNetDirectory::instance().unregisterClient("mediaagent1");
}

// A client machine's certificate proves its name, not a right to the host's slots: more idle sessions
// with client1's certificate than either service has slots (each after one refused request, as a
// flooding machine's would be) leave consoles, with client1's certificate or none, served on both roads
// at once; the host holds a bounded number of threads and database connections for the crowd (its idle
// sessions hold none), and the lines the crowd causes are counted against client1, within its own counts.
// Once the crowd has gone and the host has come to rest (it says so, once), its resident memory is back
// near what it held at its rest before the crowd.
TEST_F(ProvenPeers, AClientMachinesIdleSessionsCannotShutConsolesOut) {
    const auto databaseDescriptors = [&] {
        int n = 0;
        std::error_code ec;
        const fs::path fds = "/proc/" + std::to_string(m_host->pid()) + "/fd";
        for (fs::directory_iterator it(fds, ec), end; !ec && it != end; it.increment(ec))
            n += fs::read_symlink(it->path(), ec).string().starts_with(m_world.databasePath) ? 1 : 0;
        return n;
    };
    const auto console = [&](const char* road, bool asClient1) {
        std::vector<std::string> args = listArgs(road);
        args.insert(args.end(), {"--user", "admin"});
        if (asClient1) args.insert(args.end(), {"--tls", hubtest::testCredentialsFor("client1")});
        std::chrono::milliseconds took{};
        return run(args, took);
    };
    constexpr const char* kAtRest = "hubmaster: at rest: ";
    const size_t restsBefore = m_host->countNow(kAtRest);
    for (const char* road : {"router", "hubmaster"})
        ASSERT_NE(console(road, false).find("/d00"), std::string::npos);
    // The host at rest once the consoles' browses are done (their threads ended, its database unused for
    // its idle limit): what it holds then, with what the browses made it keep.
    ASSERT_TRUE(m_host->waitFor(kAtRest, 180s, restsBefore + 1)) << "the host never came to rest:\n"
                                                                 << m_host->output();
    const long long residentBefore = hubtest::processResidentKb(m_host->pid());
    const long long anonymousBefore = hubtest::processMemoryKb(m_host->pid(), "RssAnon");
    const hubtest::TProcessHold before = hubtest::processHold(m_host->pid());
    const int databaseBefore = databaseDescriptors();

    // More than the 512 slots of each service, one session after another.
    constexpr int kPerService = 520;
    databrowse::BrowseRequest refused;  // no user, no token: refused
    std::string xml;
    ASSERT_EQ(refused.serialize(xml), 0);
    const std::vector<uint8_t> request(xml.begin(), xml.end());
    std::vector<std::unique_ptr<hubtest::CFrameLink>> crowd;
    int admitted = 0, answered = 0;
    std::string why;
    const auto crowdStart = std::chrono::steady_clock::now();
    for (const char* service : {"BrowseRouter", "HubmasterBrowse"})
        for (int i = 0; i < kPerService; ++i) {
            auto link = std::make_unique<hubtest::CFrameLink>();
            if (!link->connect(m_routerPort, 10, true, "client1") ||
                !link->open(service, "client1", 4098, why))
                continue;
            ++admitted;
            hubtest::TRawFrame answer;
            if (link->send(zynet::FrameKind::Xml, databrowse::BrowseRequest::TAG, request) &&
                link->receive(answer, 20, why))
                ++answered;
            crowd.push_back(std::move(link));
        }
    const size_t windows = static_cast<size_t>(
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - crowdStart)
                .count() /
            10 +
        1);
    EXPECT_EQ(admitted, 2 * kPerService) << "idle sessions give way to newer ones: " << why;
    EXPECT_EQ(answered, admitted);

    const hubtest::TProcessHold held = hubtest::processHold(m_host->pid());
    // At most 128 callers outside the infrastructure per service, and 64 threads waiting for work each.
    EXPECT_LT(held.threads, before.threads + 2 * (128 + 64))
        << "host threads, " << before.threads << " before";
    // Idle sessions hold no database connection: what is kept stays within its bound (48 connections of
    // a few descriptors each).
    EXPECT_LE(databaseDescriptors(), databaseBefore + 48 * 3);
    // A console as client1 on the road whose answers come back through the host (the media agent takes
    // the router's prepared request only as the Hubmaster signed it for a console without a certificate).
    for (const auto& [road, asClient1] :
         {std::pair{"router", false}, {"hubmaster", false}, {"hubmaster", true}})
        EXPECT_NE(console(road, asClient1).find("/d00"), std::string::npos) << road << " " << asClient1;
    crowd.clear();

    // The crowd's refusals were counted, not written one by one.
    std::string log;
    for (const auto& entry : fs::directory_iterator(m_dir.file("demo")))
        if (entry.path().filename().string().rfind("hubmaster", 0) == 0 &&
            entry.path().extension() == ".log") {
            std::ifstream in(entry.path());
            log.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        }
    // Each kind of line a refusal writes, on either service, is client1's own to count: at most ten times
    // an address's burst (100 in 10 s) over each minute of the time the crowd took.
    const size_t minutes = windows / 6 + 1;
    for (const char* refusal :
         {"request refused: A browse through the Hubmaster needs", "is invalid,browse request"}) {
        size_t lines = 0;
        for (size_t at = log.find(refusal); at != std::string::npos; at = log.find(refusal, at + 1)) ++lines;
        EXPECT_GT(lines, 0u) << refusal;
        EXPECT_LE(lines, 10 * 100 * 6 * (minutes + 1))
            << refusal << ": after " << answered << " refused requests";
    }

    // Once the crowd has gone: its threads ended and joined, what they left free given back; said in one
    // line for this idle period, none while the crowd was there.
    ASSERT_TRUE(m_host->waitFor(kAtRest, 180s, restsBefore + 2)) << "no rest after the crowd:\n"
                                                                 << m_host->output();
    EXPECT_EQ(m_host->countNow(kAtRest), restsBefore + 2) << m_host->output();
    const long long residentAfter = hubtest::processResidentKb(m_host->pid());
    const long long anonymousAfter = hubtest::processMemoryKb(m_host->pid(), "RssAnon");
    std::printf(
        "idle host: resident %lld kB (%lld kB anonymous) at rest before the crowd, %lld kB (%lld kB) after\n",
        residentBefore, anonymousBefore, residentAfter, anonymousAfter);
    // What stays is what outlives a crowd by design (caches it filled, the pages they pin in each arena);
    // the crowd's threads' stacks and free pages are not among it. Sanitizers' allocators keep what is
    // freed.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    EXPECT_LT(residentAfter, residentBefore * 5 / 4) << "kB at rest before the crowd: " << residentBefore;
#endif
}
