// The network server over loopback: every record reaches the XDR callback, XML messages reach the
// XML callback and answers come back, frames of one connection arrive in order and one at a time
// while connections run in parallel, bad frames close only their own connection, the disconnect
// exchange, handles, Quit with sessions open or from inside a callback, openings that never come
// whole, and a served message's log lines kept when its callback ends the process.
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <deque>
#include <fstream>
#include <future>

#include "platform/log/evdebug.h"
#include "platform/msg/msg_registry.h"
#include "platform/net/zynet_directory.h"
#include "platform/net/zynet_errors.h"
#include "tests/platform/net/net_test_server.h"
#include "tests/support/net/net_frame_link.h"
#include "tests/support/net/net_records.h"
#include "tests/support/net/net_reserved_port.h"

namespace nettest {
namespace {

using zynet::FrameKind;

TEST_F(NetServerTest, EveryRecordReachesTheXdrCallbackIntact) {
    // Every code once; the array codes also empty, and one array of many items.
    std::deque<std::pair<unsigned long, hubtest::TFilledMessage>> sent;
    for (uint32_t code : hubtest::allMessageCodes()) {
        if (code == ZYS_PM_DISCONNECT_REQ) continue;  // ends the session; tested on its own
        const fsr::TMessage& message = *fsr::findMessage(code);
        for (uint32_t count : {3u, 0u}) {
            if (count == 0 && message.shape != fsr::Shape::Array) continue;
            hubtest::fillMessage(message, count, code + count,
                                 sent.emplace_back(code, hubtest::TFilledMessage()).second);
        }
    }
    hubtest::fillMessage(*fsr::findMessage(FSR_MSG_RESTORE_ITEM_ARRAY_90), 10000, 1,
                         sent.emplace_back(FSR_MSG_RESTORE_ITEM_ARRAY_90, hubtest::TFilledMessage()).second);

    size_t next = 0;  // delivery is in sending order
    m_probe.onXdr = [&](CZyNetworkServer*, long long, unsigned long code, zysDatabuf_v2* data) {
        if (code == kMarker) return;
        if (next >= sent.size() || sent[next].first != code) return g_probe->problem("out of order");
        const std::string diff =
            hubtest::compareMessage(*fsr::findMessage(code), sent[next++].second, data->getDataBuffer());
        if (!diff.empty()) g_probe->problem(ZYS_FileSystemRestore_PM_STRING(code) + ": " + diff);
    };

    auto session = connect();
    for (auto& [code, filled] : sent) {
        zysDatabuf_v2 buffer;
        buffer.setExternalBuffer(filled.record.data(), filled.record.size());
        bool timedOut = false;
        ASSERT_FALSE(session->SendXDRMessage(code, &buffer, 0, 10, timedOut).IsError()) << code;
    }
    ASSERT_TRUE(roundTrip(*session));
    std::lock_guard<std::mutex> lock(m_probe.mutex);
    EXPECT_EQ(m_probe.problems, std::vector<std::string>());
    EXPECT_EQ(next, sent.size());
}

TEST_F(NetServerTest, XmlMessagesReachTheXmlCallbackAndAnswersComeBack) {
    m_probe.onXml = [](CZyNetworkServer* server, long long handle, CNMessageBase* message) {
        std::unique_ptr<CNMessageBase> owned(message);
        CZySessionLease session(server, handle);
        if (!session) return g_probe->problem("acquire");
        CUxString peer;
        if (session->GetRemoteClientName(peer).IsError() || std::string(peer.c_str()) != "test-client")
            g_probe->problem("client name");
        bool timedOut = false;
        if (session->SendXMLMessage(owned.get(), 0, 120, timedOut).IsError()) g_probe->problem("send");
    };
    std::unique_ptr<CNMessageBase> request(CNMessageRegistry::instance().create(0x644c8485));
    ASSERT_NE(request, nullptr);

    auto session = connect();
    bool timedOut = false;
    ASSERT_FALSE(session->SendXMLMessage(*request, 0, 120, timedOut).IsError());
    unsigned long code = 0;
    CNMessageBase* answer = nullptr;
    ASSERT_FALSE(session->ReceiveXMLMessage(&code, answer, nullptr, 0, 10, timedOut).IsError());
    ASSERT_FALSE(timedOut);
    std::unique_ptr<CNMessageBase> owned(answer);
    EXPECT_EQ(code, 0x644c8485u);
    std::string sentXml, gotXml;
    request->serialize(sentXml);
    owned->serialize(gotXml);
    EXPECT_EQ(gotXml, sentXml);
    std::lock_guard<std::mutex> lock(m_probe.mutex);
    EXPECT_EQ(m_probe.problems, std::vector<std::string>());
}

TEST_F(NetServerTest, ConnectionsRunInParallelEachInItsOwnOrder) {
    constexpr int kConnections = 4;
    constexpr uint64_t kMessages = 60;
    m_probe.onXdr = [](CZyNetworkServer*, long long, unsigned long code, zysDatabuf_v2* data) {
        if (code != FSR_MSG_ORIGINATED_USER_ID) return;
        const uint64_t n = reinterpret_cast<const FSROriginatedUserId*>(data->getDataBuffer())->userId;
        // The first message of each connection waits to share the server with another connection.
        if (n == 0) g_probe->waitFor([] { return g_probe->maxInside >= 2; }, 10);
    };
    std::vector<std::thread> clients;
    std::atomic<int> failures{0};
    for (int c = 0; c < kConnections; ++c) {
        clients.emplace_back([&, c] {
            auto session = connect();
            for (uint64_t n = 0; n < kMessages; ++n) {
                FSROriginatedUserId user;
                user.userId = n;
                zysDatabuf_v2 buffer;
                buffer.setExternalBuffer(&user, sizeof(user));
                bool timedOut = false;
                if (session->SendXDRMessage(FSR_MSG_ORIGINATED_USER_ID, &buffer, 0, 10, timedOut).IsError())
                    ++failures;
            }
            if (!roundTrip(*session)) ++failures;
            (void)c;
        });
    }
    for (std::thread& client : clients) client.join();
    EXPECT_EQ(failures, 0);

    std::lock_guard<std::mutex> lock(m_probe.mutex);
    EXPECT_EQ(m_probe.problems, std::vector<std::string>());
    EXPECT_GE(m_probe.maxInside, 2);
    ASSERT_EQ(m_probe.codes.size(), size_t{kConnections});
    for (const auto& [handle, codes] : m_probe.codes) {
        ASSERT_EQ(codes.size(), kMessages + 1);
        EXPECT_EQ(codes.back(), kMarker);
    }
}

TEST_F(NetServerTest, PerConnectionOrderIsArrivalOrder) {
    std::map<long long, std::vector<uint64_t>> seen;
    std::mutex seenMutex;
    m_probe.onXdr = [&](CZyNetworkServer*, long long handle, unsigned long code, zysDatabuf_v2* data) {
        if (code != FSR_MSG_ORIGINATED_USER_ID) return;
        std::lock_guard<std::mutex> lock(seenMutex);
        seen[handle].push_back(reinterpret_cast<const FSROriginatedUserId*>(data->getDataBuffer())->userId);
    };
    // Two sessions interleave their sends from one thread.
    auto a = connect();
    auto b = connect();
    for (uint64_t n = 0; n < 100; ++n) {
        for (CZyNetwork* session : {a.get(), b.get()}) {
            FSROriginatedUserId user;
            user.userId = session == a.get() ? n : 1000 + n;
            zysDatabuf_v2 buffer;
            buffer.setExternalBuffer(&user, sizeof(user));
            bool timedOut = false;
            ASSERT_FALSE(
                session->SendXDRMessage(FSR_MSG_ORIGINATED_USER_ID, &buffer, 0, 10, timedOut).IsError());
        }
    }
    ASSERT_TRUE(roundTrip(*a));
    ASSERT_TRUE(roundTrip(*b));
    std::lock_guard<std::mutex> lock(seenMutex);
    ASSERT_EQ(seen.size(), 2u);
    for (const auto& [handle, values] : seen) {
        ASSERT_EQ(values.size(), 100u);
        for (size_t i = 0; i < values.size(); ++i) EXPECT_EQ(values[i] % 1000, i);
    }
}

TEST_F(NetServerTest, BadFramesCloseOnlyTheirOwnConnection) {
    TZyNetOptions options;
    options.maxFrameBytes = 64 * 1024;
    setZyNetOptions(options);
    auto healthy = connect();

    std::vector<uint8_t> oversize = zynet::buildFrame(FrameKind::Xdr, 1, nullptr, 0);
    oversize[13] = 0x10;  // claims 1 MiB
    const uint8_t three[] = {1, 2, 3};
    const std::string badXml = "<BrowseRequest";
    const std::vector<std::vector<uint8_t>> attacks = {
        {'G', 'E', 'T', ' ', '/', '\r', '\n', '\r', '\n', 0, 0, 0, 0, 0, 0, 0},
        oversize,
        zynet::buildFrame(FrameKind::Xdr, FSR_MSG_RESTORE_ITEM_90, three, 3),
        zynet::buildFrame(FrameKind::Xml, 0x644c8485, reinterpret_cast<const uint8_t*>(badXml.data()),
                          badXml.size()),
        zynet::buildFrame(FrameKind::Control, zynet::kHello, nullptr, 0),
    };
    for (size_t i = 0; i < attacks.size(); ++i) {
        hubtest::CFrameLink link;
        ASSERT_TRUE(link.connect(m_listener->port()));
        std::string why;
        ASSERT_TRUE(link.open("TestService", "attacker", 4098, why)) << why;
        ASSERT_TRUE(link.sendRaw(attacks[i]));
        EXPECT_TRUE(link.waitForClose(10)) << i;
    }
    // Garbage instead of an opening is closed by the listener itself.
    hubtest::CFrameLink noOpening;
    ASSERT_TRUE(noOpening.connect(m_listener->port()));
    ASSERT_TRUE(noOpening.sendRaw(std::vector<uint8_t>(32, 0x41)));
    EXPECT_TRUE(noOpening.waitForClose(10));

    EXPECT_TRUE(m_probe.waitFor([&] { return m_probe.disconnected.size() >= attacks.size(); }));
    EXPECT_TRUE(roundTrip(*healthy));
    std::lock_guard<std::mutex> lock(m_probe.mutex);
    EXPECT_EQ(m_probe.problems, std::vector<std::string>());
}

TEST_F(NetServerTest, TheDisconnectExchangeGoesThroughTheCallback) {
    m_probe.onXdr = [](CZyNetworkServer* server, long long handle, unsigned long code, zysDatabuf_v2*) {
        if (code != ZYS_PM_DISCONNECT_REQ) return;
        CZySessionLease session(server, handle);
        if (!session) return g_probe->problem("acquire");
        bool timedOut = false;
        if (session->ReplyDisconnect(30, timedOut).IsError()) g_probe->problem("reply");
    };
    auto session = connect();
    bool timedOut = true;
    CUxError error = session->Disconnect(10, timedOut);
    EXPECT_FALSE(error.IsError()) << error.AsString();
    EXPECT_FALSE(timedOut);
    EXPECT_TRUE(m_probe.waitFor([&] { return m_probe.disconnected.size() == 1; }));
    std::lock_guard<std::mutex> lock(m_probe.mutex);
    EXPECT_EQ(m_probe.problems, std::vector<std::string>());
    ASSERT_EQ(m_probe.codes.size(), 1u);
    EXPECT_EQ(m_probe.codes.begin()->second, std::vector<unsigned long>{ZYS_PM_DISCONNECT_REQ});
}

TEST_F(NetServerTest, HandlesNamesAndRefusals) {
    CZyNetwork* session = nullptr;
    EXPECT_EQ(m_server->AcquireSession(987654321, &session).GetErrorCode(), ZYNET_E_UNKNOWN_HANDLE);
    EXPECT_EQ(m_server->ReleaseSession(987654321).GetErrorCode(), ZYNET_E_UNKNOWN_HANDLE);
    EXPECT_TRUE(m_server->AcquireSession(1, nullptr).IsError());
    EXPECT_EQ(m_server->GetName(), "TestService");
    EXPECT_EQ(m_server->GetPort(), m_listener->port());

    CZyNetwork other;
    bool timedOut = false;
    EXPECT_EQ(other.Connect(address().c_str(), "NoSuchService", "c", 10, timedOut).GetErrorCode(),
              ZYNET_E_REFUSED);

    // A second server of the same name on the same listener cannot serve.
    CZyNetworkServer twin(xdrCallback, xmlCallback, "TestService", m_listener);
    EXPECT_TRUE(twin.SelectData(5, 100, 100).IsError());
    ignoreResult(twin.Quit(true, true), "the twin never served");
    EXPECT_TRUE(roundTrip(*connect()));  // the first one still serves

    // A connection's session is reachable by its handle while it is open.
    m_probe.onXdr = [](CZyNetworkServer* server, long long handle, unsigned long, zysDatabuf_v2*) {
        CZyNetwork* own = nullptr;
        if (server->AcquireSession(handle, &own).IsError() || own == nullptr)
            return g_probe->problem("acquire");
        unsigned int version = 0;
        if (own->GetProtocolVersion(version).IsError() || version != zyNetOptions().protocolVersion)
            g_probe->problem("version");
        if (server->ReleaseSession(handle).IsError()) g_probe->problem("release");
        if (!server->ReleaseSession(handle).IsError()) g_probe->problem("released twice");
    };
    EXPECT_TRUE(roundTrip(*connect()));
    std::lock_guard<std::mutex> lock(m_probe.mutex);
    EXPECT_EQ(m_probe.problems, std::vector<std::string>());
}

TEST_F(NetServerTest, ALeaseGivesItsSessionBackOnceHoweverItsScopeEnds) {
    {
        CZySessionLease none(m_server.get(), 987654321);
        EXPECT_FALSE(none);
        EXPECT_EQ(none.get(), nullptr);
        EXPECT_EQ(none.acquired().GetErrorCode(), ZYNET_E_UNKNOWN_HANDLE);
        EXPECT_FALSE(none.release().IsError()) << "nothing was lent, so nothing goes back";
    }
    m_probe.onXdr = [](CZyNetworkServer* server, long long handle, unsigned long, zysDatabuf_v2*) {
        // One lend of our own, so a lease that gave back twice shows as a missing lend afterwards.
        CZyNetwork* pinned = nullptr;
        if (server->AcquireSession(handle, &pinned).IsError()) return g_probe->problem("pin");
        {
            CZySessionLease lease(server, handle);
            if (!lease || lease.get() != pinned) return g_probe->problem("acquire");
            CZySessionLease moved(std::move(lease));
            if (lease || !moved) g_probe->problem("the move");
        }
        {
            CZySessionLease first(server, handle);
            CZySessionLease second(server, handle);
            first = std::move(second);  // what `first` held goes back
            if (first.release().IsError()) g_probe->problem("release");
            if (first.release().IsError()) g_probe->problem("a second release of nothing");
        }
        if (server->ReleaseSession(handle).IsError()) g_probe->problem("a lease gave back more than it took");
        if (!server->ReleaseSession(handle).IsError()) g_probe->problem("a lease kept its session");
    };
    EXPECT_TRUE(roundTrip(*connect()));
    std::lock_guard<std::mutex> lock(m_probe.mutex);
    EXPECT_EQ(m_probe.problems, std::vector<std::string>());
}

TEST_F(NetServerTest, QuitClosesOpenSessionsAndWaitsForCallbacks) {
    std::atomic<bool> started{false}, finished{false};
    m_probe.onXdr = [&](CZyNetworkServer*, long long, unsigned long code, zysDatabuf_v2*) {
        if (code != FSR_MSG_RESTORE_END) return;
        {
            std::lock_guard<std::mutex> lock(g_probe->mutex);
            started = true;
        }
        g_probe->changed.notify_all();
        // Ends only once Quit has closed the other sessions: Quit must still be waiting for it then.
        finished = g_probe->waitFor([] { return g_probe->disconnected.size() == 3; });
    };
    std::vector<std::unique_ptr<CZyNetwork>> idle;
    for (int i = 0; i < 3; ++i) idle.push_back(connect());
    auto busy = connect();
    bool timedOut = false;
    ASSERT_FALSE(busy->SendXDRMessage(FSR_MSG_RESTORE_END, nullptr, 0, 10, timedOut).IsError());
    ASSERT_TRUE(m_probe.waitFor([&] { return started.load(); }));

    ASSERT_FALSE(m_server->Quit(true, true).IsError());
    EXPECT_TRUE(finished);  // Quit closed the others, then waited for the callback in progress
    m_select.join();        // and SelectData has returned

    for (auto& session : idle) {
        zysDatabuf_v2 buffer;
        unsigned long code = 0;
        EXPECT_EQ(session->ReceiveXDRMessage(&code, &buffer, nullptr, 0, 10, timedOut).GetErrorCode(),
                  ZYNET_E_DISCONNECTED);
    }
    CZyNetwork late;
    EXPECT_EQ(late.Connect(address().c_str(), "TestService", "c", 10, timedOut).GetErrorCode(),
              ZYNET_E_REFUSED);
    EXPECT_TRUE(m_probe.waitFor([&] { return m_probe.disconnected.size() == 4; }));
    EXPECT_FALSE(m_server->SelectData(5, 100, 100).IsError());  // returns at once after Quit
}

TEST_F(NetServerTest, ACallbackMayQuitItsOwnServer) {
    std::atomic<bool> quit{false};
    m_probe.onXdr = [&](CZyNetworkServer* server, long long, unsigned long code, zysDatabuf_v2*) {
        if (code == FSR_MSG_RESTORE_END) quit = !server->Quit(true, true).IsError();
    };
    auto session = connect();
    auto other = connect();
    bool timedOut = false;
    ASSERT_FALSE(session->SendXDRMessage(FSR_MSG_RESTORE_END, nullptr, 0, 10, timedOut).IsError());
    m_select.join();  // SelectData ended while the callback was still inside Quit
    EXPECT_TRUE(m_probe.waitFor([&] { return quit.load() && m_probe.inside == 0; }));
    zysDatabuf_v2 buffer;
    unsigned long code = 0;
    EXPECT_EQ(other->ReceiveXDRMessage(&code, &buffer, nullptr, 0, 10, timedOut).GetErrorCode(),
              ZYNET_E_DISCONNECTED);
    m_server.reset();  // joins the thread that quit
}

// A connection after another is served by the thread that served the first, with what that thread
// keeps; two at once still get two threads, no more threads wait than the options allow, and the
// server's end joins the waiting ones at once.
TEST_F(NetServerTest, ThreadsOfEndedConnectionsServeTheNextOnes) {
    std::map<long long, std::thread::id> threadOf;  // guarded by m_probe.mutex
    thread_local int servedHere = 0;                // connections this thread has seen before the current one
    std::vector<int> seenBefore;                    // guarded by m_probe.mutex
    m_probe.onXdr = [&](CZyNetworkServer*, long long handle, unsigned long code, zysDatabuf_v2*) {
        if (code != kMarker) return;
        std::lock_guard<std::mutex> lock(g_probe->mutex);
        threadOf[handle] = std::this_thread::get_id();
        seenBefore.push_back(servedHere++);
    };
    const auto oneConnection = [&] { EXPECT_TRUE(roundTrip(*connect())); };
    const auto lastThread = [&] {
        std::lock_guard<std::mutex> lock(m_probe.mutex);
        return std::prev(threadOf.end())->second;
    };
    oneConnection();
    const std::thread::id first = lastThread();
    for (int i = 0; i < 3; ++i) {
        // The thread parks once its connection's end is reported; the next connection comes after that.
        ASSERT_TRUE(m_probe.waitFor([&] { return m_probe.disconnected.size() == size_t(i + 1); }));
        ASSERT_TRUE(m_server->WaitForRest(1, 20));
        oneConnection();
        EXPECT_EQ(lastThread(), first) << "connection " << i + 2;
    }
    {
        std::lock_guard<std::mutex> lock(m_probe.mutex);
        EXPECT_EQ(seenBefore, (std::vector<int>{0, 1, 2, 3}));
    }

    // Two at once: the second cannot wait for the first's thread.
    auto a = connect();
    auto b = connect();
    EXPECT_TRUE(roundTrip(*a));
    EXPECT_TRUE(roundTrip(*b));
    {
        std::lock_guard<std::mutex> lock(m_probe.mutex);
        EXPECT_EQ(threadOf.size(), 6u);
        EXPECT_NE(std::prev(threadOf.end())->second, std::prev(threadOf.end(), 2)->second);
    }
    a.reset();
    b.reset();
    ASSERT_TRUE(m_probe.waitFor([&] { return m_probe.disconnected.size() == 6; }));

    // The server's end does not wait out the parked threads' time.
    const auto began = std::chrono::steady_clock::now();
    ASSERT_FALSE(m_server->Quit(true, true).IsError());
    m_select.join();
    m_server.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(5));
}

TEST_F(NetServerTest, NoMoreThreadsWaitThanTheOptionsAllow) {
    TZyNetOptions options = zyNetOptions();
    const TZyNetOptions saved = options;
    options.parkedThreads = 0;
    setZyNetOptions(options);
    thread_local int servedHere = 0;
    std::vector<int> seenBefore;  // guarded by m_probe.mutex
    m_probe.onXdr = [&](CZyNetworkServer*, long long, unsigned long code, zysDatabuf_v2*) {
        if (code != kMarker) return;
        std::lock_guard<std::mutex> lock(g_probe->mutex);
        seenBefore.push_back(servedHere++);
    };
    for (int i = 0; i < 2; ++i) {
        EXPECT_TRUE(roundTrip(*connect()));
        ASSERT_TRUE(m_probe.waitFor([&] { return m_probe.disconnected.size() == size_t(i + 1); }));
        ASSERT_TRUE(m_server->WaitForRest(0, 20)) << "the thread ended rather than waited";
    }
    setZyNetOptions(saved);
    std::lock_guard<std::mutex> lock(m_probe.mutex);
    EXPECT_EQ(seenBefore, (std::vector<int>{0, 0}));  // none parked: each connection had a new thread
}

// Crowds of connections that send nothing, or only the first byte of an opening, and a peer that
// keeps opening more: a client that opens properly is still served, long before any of them times out.
TEST_F(NetServerTest, SilentAndSlowOpeningsNeverLockAClientOut) {
    TZyNetOptions options;
    options.openingSeconds = 60;  // only the listener's fairness, not its deadline, can let the client in
    setZyNetOptions(options);
    std::vector<std::unique_ptr<hubtest::CFrameLink>> crowd;
    for (int i = 0; i < 270; ++i) {
        auto& link = crowd.emplace_back(std::make_unique<hubtest::CFrameLink>());
        ASSERT_TRUE(link->connect(m_listener->port())) << i;
        if (i >= 200) {
            ASSERT_TRUE(link->sendRaw(std::vector<uint8_t>(1, 0x5a))) << i;
        }
    }
    // Connections keep coming while the client connects, from the moment a hundred were opened; their
    // pace is the listener's (a connect waits while the backlog is full), their number about what a
    // few seconds of them were.
    std::atomic<bool> stop{false};
    std::promise<void> crowding;
    std::thread reopening([&] {
        std::deque<hubtest::CFrameLink> own;
        for (int opened = 0; !stop && opened < 3000; ++opened) {
            if (!own.emplace_back().connect(m_listener->port(), 1)) own.pop_back();
            if (own.size() > 100) own.pop_front();
            if (opened == 100) crowding.set_value();
        }
    });
    crowding.get_future().wait();

    CZyNetwork client;
    bool timedOut = false;
    // Served in well under the bound; the silent openings would hold it out for a minute.
    CUxError error = client.Connect(address().c_str(), "TestService", "good-client", 5, timedOut);
    const bool served = !error.IsError() && roundTrip(client);
    stop = true;
    reopening.join();
    EXPECT_TRUE(served) << error.AsString();
}

// A client whose handshake is under way when a crowd of connections that send nothing comes, more of
// them than the listener holds openings of: the crowd's oldest give way, the client does not, and its
// opening is served when it comes.
TEST_F(NetServerTest, AnOpeningUnderWayIsNotPushedOutBySilentOnes) {
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
    TZyNetOptions options;
    options.openingSeconds = 60;  // only which opening gives way, not its deadline, is tried here
    setZyNetOptions(options);
    hubtest::CFrameLink client;
    ASSERT_TRUE(client.connect(m_listener->port()));  // TLS done; the opening frame not sent yet

    // The listener holds at most kHeld openings, shared out among its accept threads: the crowd is far more
    // than any one thread's share.
    constexpr int kCrowd = 1200, kHeld = 256;
    std::vector<int> crowd;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(m_listener->port()));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int i = 0; i < kCrowd; ++i) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(fd, 0);
        crowd.push_back(fd);
        ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0) << i;
    }
    // Once this many of the crowd were closed, the listener has taken every connection in: the client's
    // opening has met all of them.
    std::vector<pollfd> fds;
    for (int fd : crowd) fds.push_back({fd, POLLIN | POLLRDHUP, 0});
    int closed = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (closed < kCrowd - kHeld && std::chrono::steady_clock::now() < deadline) {
        ASSERT_GE(poll(fds.data(), fds.size(), 1000), 0);
        for (pollfd& p : fds)
            if (p.fd >= 0 && p.revents != 0) {
                ++closed;
                p.fd = -1;  // left out of the next polls
            }
    }
    ASSERT_GE(closed, kCrowd - kHeld);

    std::string why;
    EXPECT_TRUE(client.open("TestService", "good-client", 4098, why)) << why;
    for (int fd : crowd) close(fd);
}

TEST_F(NetServerTest, AnOpeningNotWholeInTimeIsClosed) {
    TZyNetOptions options;
    options.openingSeconds = 1;
    setZyNetOptions(options);
    hubtest::CFrameLink silent, partial;
    ASSERT_TRUE(silent.connect(m_listener->port()));
    ASSERT_TRUE(partial.connect(m_listener->port()));
    const std::vector<uint8_t> hello = zynet::buildFrame(FrameKind::Control, zynet::kHello, nullptr, 0);
    ASSERT_TRUE(partial.sendRaw(std::vector<uint8_t>(hello.begin(), hello.begin() + 5)));
    EXPECT_TRUE(silent.waitForClose(20));
    EXPECT_TRUE(partial.waitForClose(20));
    EXPECT_TRUE(roundTrip(*connect()));
}

// The listener, and the sessions behind it, on a clock the test moves.
class NetClockTest : public NetServerTest {
public:
    const CHubClock& listenerClock() override { return m_clock; }
    CHubManualClock m_clock;
};

// An opening has until the opening time on the listener's clock: one made whole a second before is
// served, one not whole then is closed at it.
TEST_F(NetClockTest, ClockExpiryAnOpeningIsClosedAtItsDeadlineNotBefore) {
    using namespace std::chrono_literals;
    TZyNetOptions options;
    options.openingSeconds = 30;
    setZyNetOptions(options);
    hubtest::CFrameLink silent, late;
    ASSERT_TRUE(silent.connect(m_listener->port()));
    ASSERT_TRUE(late.connect(m_listener->port()));
    m_clock.advance(29s);
    std::string why;
    EXPECT_TRUE(late.open("TestService", "good-client", 4098, why)) << why;
    m_clock.advance(1s);
    EXPECT_TRUE(silent.waitForClose(20));
}

// Inside a frame the peer must keep sending: a pause a second short of the stall limit on the session's
// clock is waited out, one that reaches it ends the connection.
TEST_F(NetClockTest, ClockExpiryAConnectionStalledInsideAFrameEndsAtTheLimitNotBefore) {
    using namespace std::chrono_literals;
    TZyNetOptions options;
    options.stallSeconds = 30;
    options.anonymousFirstFrameSeconds = 30;  // an outsider's stall limit
    options.idleSeconds = 3600;
    options.anonymousIdleSeconds = 3600;
    setZyNetOptions(options);
    hubtest::CFrameLink link;
    ASSERT_TRUE(link.connect(m_listener->port()));
    std::string why;
    ASSERT_TRUE(link.open("TestService", "test-client", 4098, why)) << why;
    const std::vector<uint8_t> marker = zynet::buildFrame(FrameKind::Xdr, kMarker, nullptr, 0);
    const std::vector<uint8_t> head(marker.begin(), marker.begin() + 5),
        rest(marker.begin() + 5, marker.end());
    // The session takes in what arrived, and waits on, while the clock is read a few hundred times.
    const auto settled = [&] { return m_clock.waitForReads(300); };
    ASSERT_TRUE(link.sendRaw(head));
    ASSERT_TRUE(settled());
    m_clock.advance(29s);
    ASSERT_TRUE(settled());
    ASSERT_TRUE(link.sendRaw(rest));
    hubtest::TRawFrame answer;
    ASSERT_TRUE(link.receive(answer, 20, why)) << why;
    EXPECT_EQ(answer.code, kMarker);

    ASSERT_TRUE(link.sendRaw(head));
    ASSERT_TRUE(settled());
    m_clock.advance(30s);
    EXPECT_TRUE(link.waitForClose(20));
}

// Servers made with a session port: behind this process's machine listener, or a port of their own.
TEST(NetServerPorts, MachineListenerAndOwnPort) {
    TProbe probe;
    g_probe = &probe;
    CSessionPort machinePort(0, 0);
    machinePort.SetType(CSessionPort::SessType_MessageService);
    auto machine =
        std::make_unique<CZyNetworkServer>(xdrCallback, xmlCallback, "MachineService", machinePort);
    EXPECT_EQ(machine->GetPort(), 0);  // no thread and no port before SelectData
    std::thread select([&] {
        ignoreResult(machine->SelectData(5, 100, 100), "it serves until Quit; how it ended has no reader");
    });
    ASSERT_FALSE(machine->Listening().get().IsError());
    const int port = machine->GetPort();
    ASSERT_NE(port, 0);
    {
        CZyNetwork session;
        bool timedOut = false;
        ASSERT_FALSE(session
                         .Connect(MangleHostName("127.0.0.1", "me", 0, port).c_str(), "MachineService", "c",
                                  10, timedOut)
                         .IsError());
        EXPECT_TRUE(NetServerTest::roundTrip(session));
    }
    EXPECT_FALSE(machine->Quit(true, true).IsError());
    select.join();
    EXPECT_EQ(machine->GetPort(), 0);  // the last server stopped the machine listener
    machine.reset();

    // The port stays held for the test, so no other program can take it before the server listens.
    hubtest::CReservedPort held;
    const int freePort = held.port();
    ASSERT_NE(freePort, 0);
    CSessionPort ownPort(freePort, 0);
    auto own = std::make_unique<CZyNetworkServer>(xdrCallback, xmlCallback, "OwnService", ownPort);
    std::thread ownSelect([&] { ignoreResult(own->SelectData(5, 100, 100), "read from Listening"); });
    if (own->Listening().get().IsError() || own->GetPort() != freePort) {
        ignoreResult(own->Quit(true, true), "stopping: nothing is left to do when it fails");
        ownSelect.join();
        FAIL() << "the server did not listen on its port " << freePort;
    }
    {
        CZyNetwork session;
        bool timedOut = false;
        // The only service behind its port answers an opening that names none.
        ASSERT_FALSE(session.Connect(TZyNetAddress{"127.0.0.1", freePort}, "", "c", 10, timedOut).IsError());
        EXPECT_TRUE(NetServerTest::roundTrip(session));
    }
    // A second server for a port already listened on is told why it does not listen, and SelectData
    // returns that failure too.
    {
        CSessionPort samePort(freePort, 0);
        CZyNetworkServer second(xdrCallback, xmlCallback, "SecondService", samePort);
        CUxError returned;
        std::thread secondSelect([&] { returned = second.SelectData(5, 100, 100); });
        const CUxError& listening = second.Listening().get();
        secondSelect.join();
        EXPECT_TRUE(listening.IsError());
        EXPECT_FALSE(listening.GetErrorText().empty());
        EXPECT_TRUE(returned.IsError());
    }
    EXPECT_FALSE(own->Quit(true, true).IsError());
    ownSelect.join();
    own.reset();
    std::lock_guard<std::mutex> lock(probe.mutex);
    EXPECT_EQ(probe.problems, std::vector<std::string>());
    g_probe = nullptr;
}

}  // namespace
}  // namespace nettest

namespace nettest {
namespace {

// A served message's lines are in the log however its process ends inside the callback: with the
// logger's fatal end (abort) or with a crash. The server runs in a forked child, which sends itself
// the message; the parent reads the log once the child is gone.
enum class EndKind { Fatal, Crash };
EndKind g_end = EndKind::Fatal;
std::string g_marker;

void endingXml(CZyNetworkServer::ZynCallback_e, CZyNetworkServer*, long long, CNMessageBase* message) {
    delete message;
    EvDebug log(nullptr);
    log.setPrefixMessage("SERVED");
    log.debugLvl(0, "serving %s", g_marker.c_str());
    if (g_end == EndKind::Fatal) log.fatal("cannot go on with %s", g_marker.c_str());
    log.debugLvl(0, "about to crash in %s", g_marker.c_str());
    raise(SIGSEGV);
}

void ignoredXdr(CZyNetworkServer::ZynCallback_e, CZyNetworkServer*, long long, unsigned long,
                zysDatabuf_v2*) {}

[[noreturn]] void serveOneMessageAndEnd() {
    alarm(120);  // a child that never gets its message ends with another signal than the one expected
    std::shared_ptr<CZydListener> listener = CZydListener::create();
    if (listener->start(0).IsError()) std::_Exit(10);
    CZyNetworkServer server(ignoredXdr, endingXml, "TestService", listener);
    std::thread select(
        [&server] { ignoreResult(server.SelectData(5, 100, 100), "the process ends inside"); });
    std::unique_ptr<CNMessageBase> request(CNMessageRegistry::instance().create(0x644c8485));
    CZyNetwork session;
    bool timedOut = false;
    const std::string address = "127.0.0.1*test-service*0*" + std::to_string(listener->port());
    if (session.Connect(address.c_str(), "TestService", "test-client", 10, timedOut).IsError())
        std::_Exit(11);
    if (session.SendXMLMessage(*request, 0, 120, timedOut).IsError()) std::_Exit(12);
    select.join();  // the callback ends the process
    std::_Exit(13);
}

// The texts of the lines of `tag` in the default log that name `marker`.
std::vector<std::string> linesNaming(const char* tag, const std::string& marker) {
    std::ifstream in(EvDebugFileInstance::defaultInstance()->filePath());
    std::vector<std::string> found;
    for (std::string line; std::getline(in, line);) {
        const std::string head = std::string(" ") + tag + " ";
        const size_t at = line.find(head);
        if (at != std::string::npos && line.find(marker) != std::string::npos)
            found.push_back(line.substr(line.find(' ', at + head.size()) + 1));
    }
    return found;
}

TEST(NetServerEnds, AnAbortOrACrashInsideAServedMessageLeavesItsLines) {
    const struct {
        EndKind end;
        int signal;
        std::vector<std::string> lines;  // each followed by the marker
    } kCases[] = {
        {EndKind::Fatal, SIGABRT, {"serving ", "ERROR: cannot go on with "}},
        {EndKind::Crash, SIGSEGV, {"serving ", "about to crash in "}},
    };
    for (const auto& c : kCases) {
        g_end = c.end;
        g_marker = "message-" + std::to_string(getpid()) + "-" + std::to_string(c.signal);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) serveOneMessageAndEnd();
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
#if defined(__SANITIZE_ADDRESS__)
        // The address sanitizer takes a crash and reports it, then aborts or exits as its options say.
        const bool sanitizerEnd =
            c.signal == SIGSEGV && ((WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT) ||
                                    (WIFEXITED(status) && WEXITSTATUS(status) == 1));
#elif defined(__SANITIZE_THREAD__)
        // The thread sanitizer takes a crash too, and aborts or exits with its own code (66).
        const bool sanitizerEnd =
            c.signal == SIGSEGV && ((WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT) ||
                                    (WIFEXITED(status) && WEXITSTATUS(status) == 66));
#else
        const bool sanitizerEnd = false;
#endif
        if (!sanitizerEnd) {
            ASSERT_TRUE(WIFSIGNALED(status)) << "status " << status;
            EXPECT_EQ(WTERMSIG(status), c.signal);
        }
        std::vector<std::string> expected;
        for (const std::string& line : c.lines) expected.push_back(line + g_marker);
        EXPECT_EQ(linesNaming("SERVED", g_marker), expected);
    }
}

}  // namespace
}  // namespace nettest
