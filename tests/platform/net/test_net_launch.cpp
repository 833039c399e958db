// Services launched on request over loopback: a launcher started for the session that asks for it,
// on-demand instances with their own GUIDs and ports reached by attach and by pool, instances ending
// with their last session or unreached, clients that answer or not, and a listener stopping with
// live instances.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/msg/msg_classes.h"
#include "platform/net/zyd_listener.h"
#include "platform/net/zynet_directory.h"
#include "platform/net/zynet_errors.h"
#include "platform/net/zynet_options.h"
#include "platform/net/zynet_tls.h"
#include "platform/net/zynetwork_pool.h"
#include "platform/net/zynetwork_server.h"
#include "platform/net/zyondemand_client.h"
#include "platform/restoreproto/fsr_messages.h"
#include "tests/support/net/net_reserved_port.h"
#include "tests/support/process/processprobe.h"
#include "tests/support/tls/testpki.h"

namespace {

using Req = CNSession::LaunchOnDemandServiceReq;
using Details = CNSession::LaunchOnDemandServiceDetails;

constexpr const char* kHost = "launch-host";
constexpr int kHostId = 7;

// What the launched services saw; one per test.
struct TLaunchLog {
    std::mutex mutex;
    std::vector<TZyLaunch> launches;  // `request` and `listener` are cleared: they do not outlive the call
    std::vector<std::string> inputs;  // the on-demand launch input, "-" for a launcher
    std::vector<std::string> credentials;            // on-demand: "user/password" as the instance got them
    std::unique_ptr<CZyNetworkServer> indexService;  // started by the index launcher
    std::shared_ptr<CZydListener> listener;
};
TLaunchLog* g_log = nullptr;

void send(CZyNetworkServer* server, long long handle, CNMessageBase& message) {
    CZySessionLease session(server, handle);
    if (!session) return;
    bool timedOut = false;
    ignoreResult(session->SendXMLMessage(message, 0, 10, timedOut),
                 "the client under test judges what arrives");
}

// Answers the disconnect request, so that sessions end by agreement.
void xdrCallback(CZyNetworkServer::ZynCallback_e type, CZyNetworkServer* server, long long handle,
                 unsigned long code, zysDatabuf_v2*) {
    if (type != CZyNetworkServer::ZYN_CALLBACK_MESSAGE || code != ZYS_PM_DISCONNECT_REQ) return;
    CZySessionLease session(server, handle);
    if (!session) return;
    bool timedOut = false;
    ignoreResult(session->ReplyDisconnect(10, timedOut),
                 "the session ends either way; a peer already gone is no fault");
}

// An instance answers every message with its own GUID.
void echoGuid(CZyNetworkServer::ZynCallback_e, CZyNetworkServer* server, long long handle,
              CNMessageBase* message) {
    delete message;
    Details answer;
    answer.setstring(Details::f::guid, server->GetName());
    send(server, handle, answer);
}

// The index launcher: starts the index service on its machine's listener, then answers.
void launchIndexService(CZyNetworkServer::ZynCallback_e, CZyNetworkServer* server, long long handle,
                        CNMessageBase* message) {
    std::unique_ptr<CNMessageBase> owned(message);
    if (message->getTagID() != Indexing::LaunchIndexingServiceReq::TAG) return;
    {
        std::lock_guard<std::mutex> lock(g_log->mutex);
        if (!g_log->indexService)
            g_log->indexService = std::make_unique<CZyNetworkServer>(xdrCallback, echoGuid,
                                                                     "IndexingService_0", g_log->listener);
    }
    Indexing::LaunchIndexingServiceResp answer;
    send(server, handle, answer);
}

ZyLaunchFactory logged(CZyNetworkServer::XmlCallback xmlCallback) {
    return [factory = zyLaunchCallbacks(xdrCallback, xmlCallback)](const TZyLaunch& launch) {
        std::lock_guard<std::mutex> lock(g_log->mutex);
        TZyLaunch seen = launch;
        seen.request = nullptr;
        seen.listener.reset();
        g_log->launches.push_back(seen);
        g_log->inputs.push_back(launch.request ? launch.request->getstring(Req::f::launchInput) : "-");
        if (launch.request) {
            Req request = *launch.request;
            const pstring* password = request.getpstringobject(Req::f::password);
            g_log->credentials.push_back(request.getstring(Req::f::userName) + "/" +
                                         (password ? password->str() : "(none)"));
        }
        return factory(launch);
    };
}

// Sends a message on an attached session and reads back the GUID of the instance that answered.
std::string guidBehind(CZyNetwork& session) {
    bool timedOut = false;
    Req ask;
    if (session.SendXMLMessage(ask, 0, 10, timedOut).IsError()) return "send failed";
    CNMessageBase* answer = nullptr;
    unsigned long code = 0;
    if (session.ReceiveXMLMessage(&code, answer, nullptr, 0, 10, timedOut).IsError() || timedOut)
        return "no answer";
    std::unique_ptr<CNMessageBase> owned(answer);
    return code == Details::TAG ? answer->getstring(Details::f::guid) : "other answer";
}

Req launchRequest(const char* service, const char* input) {
    Req request;
    request.setstring(Req::f::serviceName, service);
    request.setstring(Req::f::hostName, kHost);
    request.setint64(Req::f::mode, 1);
    request.setstring(Req::f::userName, "farm\\admin");
    request.setpstringobject(Req::f::password, bstring("secret"));
    request.setstring(Req::f::launchInput, input);
    return request;
}

class NetLaunchTest : public ::testing::Test {
public:
    void SetUp() override {
        g_log = &m_log;
        TZyNetOptions options;
        options.localClientName = "launch-machine";
        setZyNetOptions(options);
        m_listener = CZydListener::create(listenerClock());
        m_log.listener = m_listener;
        ASSERT_FALSE(m_listener->start(0).IsError());
        CZyNetDirectory::instance().registerClient(kHost, "127.0.0.1", m_listener->port(), kHostId);
        ASSERT_TRUE(m_listener->registerLaunchable("sLPIDXMA", logged(launchIndexService)));
        ASSERT_TRUE(m_listener->registerLaunchable("LiveBrowseServer", logged(echoGuid)));
    }
    void TearDown() override {
        m_listener->stop();
        m_log.indexService.reset();
        m_log.listener.reset();
        CZyNetDirectory::instance().unregisterClient(kHost);
        g_log = nullptr;
        setZyNetOptions(TZyNetOptions());
    }

    // The clock the listener keeps its instances' waits on.
    virtual const CHubClock& listenerClock() { return CHubClock::real(); }

    static void disconnect(CZyNetwork& session) {
        bool timedOut = false;
        EXPECT_FALSE(session.Disconnect(10, timedOut).IsError());
    }

    TLaunchLog m_log;
    std::shared_ptr<CZydListener> m_listener;
};

TZyRemoteDLL launcher(const char* name, const char* alternate) {
    TZyRemoteDLL descriptor;
    std::strncpy(descriptor.name, name, sizeof(descriptor.name) - 1);
    std::strncpy(descriptor.alternateName, alternate, sizeof(descriptor.alternateName) - 1);
    return descriptor;
}

TEST_F(NetLaunchTest, ALauncherStartsAServiceThatAnswersOnTheAttachedSession) {
    ZyNetworkPoP pool;
    CZyNetwork* index = nullptr;
    ASSERT_EQ(pool.getSession(index, kHost, "hubmaster", "IndexingService_0"), ZYNET_E_REFUSED);  // not yet

    CZyNetwork session;
    bool timedOut = false;
    // Only the second name is registered here.
    CUxError error =
        session.Attach_RemoteDLL(kHost, launcher("sLNIDXMA", "sLPIDXMA"), "hubmaster", 120, timedOut);
    ASSERT_FALSE(error.IsError()) << error.AsString();
    EXPECT_EQ(m_listener->launchedInstances(), 1u);
    CUxString peer;
    ASSERT_FALSE(session.GetRemoteClientName(peer).IsError());
    EXPECT_EQ(std::string(peer), kHost);  // the machine asked for, which this process plays

    Indexing::LaunchIndexingServiceReq launch;
    ASSERT_FALSE(session.SendXMLMessage(launch, 0, -1, timedOut).IsError());
    CNMessageBase* reply = nullptr;
    unsigned long code = 0;
    ASSERT_FALSE(session.ReceiveXMLMessage(&code, reply, nullptr, 0, -1, timedOut).IsError());
    ASSERT_FALSE(timedOut);
    std::unique_ptr<CNMessageBase> owned(reply);
    EXPECT_EQ(code, 0x30313d62u);
    {
        std::lock_guard<std::mutex> lock(m_log.mutex);
        ASSERT_EQ(m_log.launches.size(), 1u);
        EXPECT_EQ(m_log.launches[0].service, "sLPIDXMA");
        EXPECT_EQ(m_log.launches[0].clientName, "hubmaster");
        EXPECT_EQ(m_log.inputs[0], "-");
    }

    // What the launcher started serves the pool; the launcher itself ends with its session.
    ASSERT_EQ(pool.getSession(index, kHost, "hubmaster", "IndexingService_0"), 0) << pool.getLastErrorText();
    EXPECT_EQ(guidBehind(*index), "IndexingService_0");
    EXPECT_EQ(pool.releaseSession(index, kHost, "IndexingService_0"), 0);
    CZyNetwork nameless;  // the listener's one service answers a nameless opening; instances do not count
    ASSERT_FALSE(
        nameless.Connect(TZyNetAddress{"127.0.0.1", m_listener->port()}, "", "c", 10, timedOut).IsError());
    EXPECT_EQ(guidBehind(nameless), "IndexingService_0");
    disconnect(session);
    EXPECT_TRUE(m_listener->waitForLaunchedInstances(0, std::chrono::seconds(20)));
}

TEST_F(NetLaunchTest, UnknownLaunchersAndServicesAreRefusedClearly) {
    CZyNetwork session;
    bool timedOut = false;
    CUxError error =
        session.Attach_RemoteDLL(kHost, launcher("sLNIDXMA", "sLNOTHER"), "hubmaster", 120, timedOut);
    EXPECT_EQ(error.GetErrorCode(), ZYNET_E_NO_LAUNCHER);
    EXPECT_NE(session.GetLastErrorGenericText().find("[sLNIDXMA] nor [sLNOTHER]"), std::string::npos);
    EXPECT_FALSE(session.IsConnected());

    CZyNetwork elsewhere;
    EXPECT_EQ(elsewhere.Attach_RemoteDLL("no-such-host", launcher("sLPIDXMA", ""), "hubmaster", 120, timedOut)
                  .GetErrorCode(),
              ZYNET_E_UNKNOWN_HOST);

    ZYOnDemandSvcClient client;
    Req request = launchRequest("NoSuchService", "");
    Details details;
    error = client.SubmitTask(request, details);
    EXPECT_EQ(error.GetErrorCode(), ZYNET_E_NO_LAUNCHER);
    EXPECT_NE(error.GetErrorText().find("NoSuchService"), std::string::npos);
    EXPECT_EQ(m_listener->launchedInstances(), 0u);
    std::lock_guard<std::mutex> lock(m_log.mutex);
    EXPECT_TRUE(m_log.launches.empty());
}

TEST_F(NetLaunchTest, OnDemandInstancesHaveTheirOwnGuidsAndPorts) {
    ZYOnDemandSvcClient client;
    Details first, second;
    Req request = launchRequest("LiveBrowseServer", "<first/>");
    ASSERT_FALSE(client.SubmitTask(request, first).IsError());
    request = launchRequest("LiveBrowseServer", "<second/>");
    ASSERT_FALSE(client.SubmitTask(request, second).IsError());

    const std::string guids[] = {first.getstring(Details::f::guid), second.getstring(Details::f::guid)};
    EXPECT_EQ(guids[0].size(), 36u);
    EXPECT_NE(guids[0], guids[1]);
    EXPECT_EQ(first.getstring(Details::f::serviceName), "LiveBrowseServer");
    const int ports[] = {static_cast<int>(first.getint64(Details::f::instancePort)),
                         static_cast<int>(second.getint64(Details::f::instancePort))};
    EXPECT_GT(ports[0], 0);
    EXPECT_NE(ports[0], ports[1]);
    EXPECT_NE(ports[0], m_listener->port());
    EXPECT_EQ(first.getint64(Details::f::zydPort), m_listener->port());
    {
        std::lock_guard<std::mutex> lock(m_log.mutex);
        ASSERT_EQ(m_log.inputs, (std::vector<std::string>{"<first/>", "<second/>"}));
        EXPECT_EQ(m_log.credentials[0], "farm\\admin/secret");  // the instance gets the request whole
        EXPECT_EQ(m_log.launches[1].guid, guids[1]);
    }

    // Each instance answers its own sessions: attached, by GUID at its machine's listener, and pooled.
    CZyNetwork attached;
    ASSERT_FALSE(client.Attach(first, attached).IsError()) << attached.GetLastErrorGenericText();
    EXPECT_EQ(guidBehind(attached), guids[0]);
    CZyNetwork byGuid;
    bool timedOut = false;
    ASSERT_FALSE(
        byGuid.Connect(TZyNetAddress{"127.0.0.1", m_listener->port()}, guids[1].c_str(), "c", 10, timedOut)
            .IsError());
    EXPECT_EQ(guidBehind(byGuid), guids[1]);
    ZyNetworkPool pool;
    ASSERT_FALSE(pool.initNetworkPool(CSessionPort(ports[1], m_listener->port()), kHost, "hubmaster", 3600,
                                      200, 0, 10, 0)
                     .IsError());
    CZyNetwork* pooled = nullptr;
    ASSERT_FALSE(pool.getSessionObject(pooled).IsError());
    EXPECT_EQ(guidBehind(*pooled), guids[1]);
    ASSERT_FALSE(pool.releaseSessionObject(pooled).IsError());
    EXPECT_EQ(m_listener->launchedInstances(), 2u);

    // Whoever answers at an instance's ports must prove the name the launching machine proved: here
    // the machine shows its own certificate ("hubmaster") instead of launch-host's.
    setZyNetIdentitySource(nullptr);
    CZyNetwork elsewhere;
    const CUxError refused = client.Attach(second, elsewhere);
    hubtest::useTestIdentities();
    EXPECT_TRUE(refused.IsError());
    EXPECT_NE(refused.GetErrorText().find("proved the name [hubmaster], not [launch-host]"),
              std::string::npos)
        << refused.AsString();
}

TEST_F(NetLaunchTest, AnInstanceEndsWithItsLastSessionAndIsNotAttachedAgain) {
    ZYOnDemandSvcClient client;
    Details details;
    Req request = launchRequest("LiveBrowseServer", "");
    ASSERT_FALSE(client.SubmitTask(request, details).IsError());
    const std::string guid = details.getstring(Details::f::guid);
    CZyNetwork one, two;
    ASSERT_FALSE(client.Attach(details, one).IsError());
    ASSERT_FALSE(client.Attach(details, two).IsError());

    disconnect(one);
    EXPECT_EQ(guidBehind(two), guid);  // one session left: the instance goes on
    EXPECT_EQ(m_listener->launchedInstances(), 1u);
    disconnect(two);
    ASSERT_TRUE(m_listener->waitForLaunchedInstances(0, std::chrono::seconds(20)));

    CZyNetwork late;
    CUxError error = client.Attach(details, late);
    EXPECT_EQ(error.GetErrorCode(), ZYNET_E_INSTANCE_ENDED);
    EXPECT_NE(late.GetLastErrorGenericText().find(guid), std::string::npos);
    EXPECT_FALSE(late.IsConnected());

    ZYOnDemandSvcClient fresh;  // knows no launch: nothing to attach to
    CZyNetwork stray;
    EXPECT_EQ(fresh.Attach(details, stray).GetErrorCode(), ZYNET_E_BAD_ARGUMENT);
}

TEST_F(NetLaunchTest, AnInstanceThatNoSessionReachesEnds) {
    TZyNetOptions options = zyNetOptions();
    options.instanceWaitSeconds = 0;
    setZyNetOptions(options);
    ZYOnDemandSvcClient client;
    Details details;
    Req request = launchRequest("LiveBrowseServer", "");
    ASSERT_FALSE(client.SubmitTask(request, details).IsError());
    ASSERT_TRUE(m_listener->waitForLaunchedInstances(0, std::chrono::seconds(20)));
    CZyNetwork late;
    EXPECT_EQ(client.Attach(details, late).GetErrorCode(), ZYNET_E_INSTANCE_ENDED)
        << late.GetLastErrorGenericText();
}

class NetLaunchClockTest : public NetLaunchTest {
public:
    const CHubClock& listenerClock() override { return m_clock; }
    CHubManualClock m_clock;
};

// An instance no session reaches ends when the wait for its first session, on the listener's clock, is
// over; one reached a second before goes on.
TEST_F(NetLaunchClockTest, ClockExpiryAnInstanceNoSessionReachesEndsAtTheWaitNotBefore) {
    using namespace std::chrono_literals;
    TZyNetOptions options = zyNetOptions();
    options.instanceWaitSeconds = 30;
    setZyNetOptions(options);
    ZYOnDemandSvcClient client;
    Details reached, unreached;
    Req request = launchRequest("LiveBrowseServer", "");
    ASSERT_FALSE(client.SubmitTask(request, reached).IsError());
    request = launchRequest("LiveBrowseServer", "");
    ASSERT_FALSE(client.SubmitTask(request, unreached).IsError());
    m_clock.advance(29s);
    CZyNetwork attached;
    ASSERT_FALSE(client.Attach(reached, attached).IsError()) << attached.GetLastErrorGenericText();
    EXPECT_EQ(guidBehind(attached), reached.getstring(Details::f::guid));
    EXPECT_EQ(m_listener->launchedInstances(), 2u);
    m_clock.advance(1s);
    ASSERT_TRUE(m_listener->waitForLaunchedInstances(1, std::chrono::seconds(20)));
    CZyNetwork late;
    EXPECT_EQ(client.Attach(unreached, late).GetErrorCode(), ZYNET_E_INSTANCE_ENDED)
        << late.GetLastErrorGenericText();
    disconnect(attached);
}

TEST_F(NetLaunchTest, AttemptSessionAttachTellsWhetherTheClientAnswers) {
    CZyNetwork known;
    EXPECT_EQ(AttemptSessionAttach(known, kHostId), 1);
    CUxString name;
    ASSERT_FALSE(known.GetRemoteClientName(name).IsError());
    EXPECT_EQ(std::string(name), kHost);

    CZyNetDirectory::instance().setClientIdResolver([](int id, std::string& clientName) {
        if (id != 8) return false;
        clientName = kHost;
        return true;
    });
    CZyNetwork resolved;
    EXPECT_EQ(AttemptSessionAttach(resolved, 8), 1);
    CZyNetDirectory::instance().setClientIdResolver(nullptr);

    CZyNetwork unknown;
    EXPECT_EQ(AttemptSessionAttach(unknown, 99), 0);
    EXPECT_NE(unknown.GetLastErrorGenericText().find("client id 99"), std::string::npos);

    hubtest::CReservedPort held;  // a port nobody listens on, and nobody can start to meanwhile
    const int closedPort = held.port();
    ASSERT_NE(closedPort, 0);
    CZyNetDirectory::instance().registerClient("gone-client", "127.0.0.1", closedPort, 9);
    CZyNetwork silent;
    EXPECT_EQ(AttemptSessionAttach(silent, 9), 0);
    CZyNetDirectory::instance().unregisterClient("gone-client");
    CZyNetwork unregistered;
    EXPECT_EQ(AttemptSessionAttach(unregistered, 9), 0);
}

TEST_F(NetLaunchTest, StoppingTheListenerEndsLiveInstancesAndJoinsTheirThreads) {
    m_listener->stop();
    CZyNetDirectory::instance().unregisterClient(kHost);
    const std::set<int> before = hubtest::threadIds();
    auto listener = CZydListener::create();
    ASSERT_TRUE(listener->registerLaunchable("LiveBrowseServer", logged(echoGuid)));
    ASSERT_FALSE(listener->start(0).IsError());
    CZyNetDirectory::instance().registerClient(kHost, "127.0.0.1", listener->port(), kHostId);

    std::vector<std::unique_ptr<CZyNetwork>> sessions;
    ZYOnDemandSvcClient client;
    for (const char* input : {"a", "b"}) {
        Details details;
        Req request = launchRequest("LiveBrowseServer", input);
        ASSERT_FALSE(client.SubmitTask(request, details).IsError());
        ASSERT_FALSE(
            client.Attach(details, *sessions.emplace_back(std::make_unique<CZyNetwork>())).IsError());
    }
    ASSERT_TRUE(listener->registerLaunchable("echo", logged(echoGuid)));
    bool timedOut = false;
    ASSERT_FALSE(sessions.emplace_back(std::make_unique<CZyNetwork>())
                     ->Attach_RemoteDLL(kHost, launcher("echo", ""), "hubmaster", 120, timedOut)
                     .IsError());
    for (auto& session : sessions) EXPECT_EQ(guidBehind(*session).size(), 36u);
    EXPECT_EQ(listener->launchedInstances(), 3u);
    EXPECT_GT(hubtest::threadsBeyond(before), 3u);

    listener->stop();
    EXPECT_EQ(listener->launchedInstances(), 0u);
    // The listener's, the instances' listeners' and the sessions' threads are all joined.
    EXPECT_EQ(hubtest::threadsBeyondOnceJoined(before), 0u);
    for (auto& session : sessions) {
        unsigned long code = 0;
        CNMessageBase* message = nullptr;
        EXPECT_EQ(session->ReceiveXMLMessage(&code, message, nullptr, 0, 10, timedOut).GetErrorCode(),
                  ZYNET_E_DISCONNECTED);
    }
    CZyNetwork late;
    Details details;
    Req request = launchRequest("LiveBrowseServer", "");
    EXPECT_EQ(client.SubmitTask(request, details).GetErrorCode(), ZYNET_E_CONNECT);
    CZyNetDirectory::instance().unregisterClient(kHost);
}

}  // namespace

namespace {

// Callers outside the infrastructure start instances only while few are alive, whether they have no
// certificate or a client machine's; the infrastructure goes on.
TEST_F(NetLaunchTest, CallersOutsideTheInfrastructureCannotFillTheMachineWithInstances) {
    TZyNetOptions options = zyNetOptions();
    options.anonymousLaunchesAtOnce = 2;
    options.isInfrastructure = [](const std::string& name) { return name == "hubmaster"; };
    setZyNetOptions(options);
    std::vector<std::unique_ptr<CZyNetwork>> held;
    bool timedOut = false;
    for (int i = 0; i < 2; ++i) {
        held.push_back(std::make_unique<CZyNetwork>());
        ASSERT_FALSE(
            held.back()
                ->Attach_RemoteDLL(kHost, launcher("LiveBrowseServer", ""), hubtest::kAnonymous, 30, timedOut)
                .IsError());
    }
    for (const char* caller : {hubtest::kAnonymous, "client1"}) {
        CZyNetwork refused;
        const CUxError error =
            refused.Attach_RemoteDLL(kHost, launcher("LiveBrowseServer", ""), caller, 30, timedOut);
        EXPECT_TRUE(error.IsError()) << caller;
        EXPECT_NE(error.GetErrorText().find("outside the infrastructure"), std::string::npos)
            << error.AsString();
    }
    EXPECT_EQ(m_listener->launchedInstances(), 2u);
    CZyNetwork proven;
    EXPECT_FALSE(proven.Attach_RemoteDLL(kHost, launcher("LiveBrowseServer", ""), "hubmaster", 30, timedOut)
                     .IsError());
    EXPECT_EQ(m_listener->launchedInstances(), 3u);
}

}  // namespace
