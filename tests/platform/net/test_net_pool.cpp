// The session pools over loopback: lending, taking back and reusing sessions, sessions that went bad,
// idle expiry (also in a pool nobody uses again), the limit of a one-service pool, closing everything,
// names found in the directory, and stop signals made again from given-back ones.
#include <poll.h>

#include <algorithm>

#include "platform/net/zynet_directory.h"
#include "platform/net/zynet_errors.h"
#include "platform/net/zynet_options.h"
#include "platform/net/zynetwork_pool.h"
#include "platform/threads/hubclock.h"
#include "tests/platform/net/net_test_server.h"

namespace nettest {
namespace {

class NetPoolTest : public NetServerTest {
public:
    // The server connection a session reached: the handle the server saw its marker on.
    long long handleOf(CZyNetwork& session) {
        {
            std::lock_guard<std::mutex> lock(m_probe.mutex);
            m_probe.codes.clear();
        }
        if (!roundTrip(session)) return -1;
        std::lock_guard<std::mutex> lock(m_probe.mutex);
        return m_probe.codes.size() == 1 ? m_probe.codes.begin()->first : -1;
    }
};

TEST_F(NetPoolTest, SessionsAreLentTakenBackAndLentAgain) {
    ZyNetworkPoP pool;
    pool.setConnectionParams(40, 1, 0, 3600, 10);
    CZyNetwork* first = nullptr;
    ASSERT_EQ(pool.getSession(first, address().c_str(), "hubmaster", "TestService"), 0)
        << pool.getLastErrorText();
    ASSERT_NE(first, nullptr);
    const long long firstConnection = handleOf(*first);

    CZyNetwork* second = nullptr;  // while the first is lent, another connection
    ASSERT_EQ(pool.getSession(second, address().c_str(), "hubmaster", "TestService"), 0);
    EXPECT_NE(handleOf(*second), firstConnection);

    EXPECT_EQ(pool.releaseSession(first, address().c_str(), "TestService"), 0);
    EXPECT_EQ(first, nullptr);
    CZyNetwork* again = nullptr;
    ASSERT_EQ(pool.getSession(again, address().c_str(), "hubmaster", "TestService"), 0);
    EXPECT_EQ(handleOf(*again), firstConnection);  // the same connection, reused

    CZyNetwork stranger;
    CZyNetwork* notLent = &stranger;
    EXPECT_NE(pool.releaseSession(notLent, address().c_str(), "TestService"), 0);
    EXPECT_EQ(pool.releaseSession(again, address().c_str(), "TestService"), 0);
    EXPECT_EQ(pool.releaseSession(second, address().c_str(), "TestService"), 0);
}

TEST_F(NetPoolTest, SessionsThatWentBadOrStayedIdleTooLongAreNotLentAgain) {
    ZyNetworkPoP pool;
    pool.setConnectionParams(40, 1, 0, 3600, 10);
    CZyNetwork* session = nullptr;
    ASSERT_EQ(pool.getSession(session, address().c_str(), "hubmaster", "TestService"), 0);
    const long long before = handleOf(*session);
    bool timedOut = false;
    ignoreResult(session->Disconnect(1, timedOut), "nobody answers here: the session is over all the same");
    ASSERT_EQ(pool.releaseSession(session, address().c_str(), "TestService"), 0);
    ASSERT_EQ(pool.getSession(session, address().c_str(), "hubmaster", "TestService"), 0);
    EXPECT_TRUE(session->IsConnected());
    EXPECT_NE(handleOf(*session), before);
    ASSERT_EQ(pool.releaseSession(session, address().c_str(), "TestService"), 0);

    pool.setConnectionParams(40, 1, 0, 0, 10);  // idle sessions expire at once
    ASSERT_EQ(pool.getSession(session, address().c_str(), "hubmaster", "TestService"), 0);
    const long long idleOne = handleOf(*session);
    ASSERT_EQ(pool.releaseSession(session, address().c_str(), "TestService"), 0);
    ASSERT_EQ(pool.getSession(session, address().c_str(), "hubmaster", "TestService"), 0);
    EXPECT_NE(handleOf(*session), idleOne);
    ASSERT_EQ(pool.releaseSession(session, address().c_str(), "TestService"), 0);
}

// An idle session is closed when its limit passes, though nobody uses the pool again.
TEST_F(NetPoolTest, IdleSessionsCloseAtTheirLimitInAnIdlePool) {
    CHubManualClock clock;
    ZyNetworkPoP pool(clock);
    pool.setConnectionParams(40, 1, 0, 3600, 10);
    CZyNetwork* a = nullptr;
    CZyNetwork* b = nullptr;
    ASSERT_EQ(pool.getSession(a, address().c_str(), "hubmaster", "TestService"), 0);
    ASSERT_EQ(pool.getSession(b, address().c_str(), "hubmaster", "TestService"), 0);
    const long long handles[] = {handleOf(*a), handleOf(*b)};
    ASSERT_EQ(pool.releaseSession(a, address().c_str(), "TestService"), 0);
    ASSERT_EQ(pool.releaseSession(b, address().c_str(), "TestService"), 0);
    // A second before the limit the pool's sweeper looks (twice: it has come back after what it did) and
    // closes nothing.
    clock.advance(std::chrono::seconds(3599));
    ASSERT_TRUE(clock.waitForReads(2));
    {
        std::lock_guard<std::mutex> lock(m_probe.mutex);
        EXPECT_EQ(std::ranges::count(m_probe.disconnected, handles[0]), 0);
        EXPECT_EQ(std::ranges::count(m_probe.disconnected, handles[1]), 0);
    }
    clock.advance(std::chrono::seconds(1));
    EXPECT_TRUE(m_probe.waitFor([&] {
        return std::ranges::count(m_probe.disconnected, handles[0]) +
                   std::ranges::count(m_probe.disconnected, handles[1]) ==
               2;
    }));
}

TEST_F(NetPoolTest, FailuresToConnectAreReported) {
    ZyNetworkPoP pool;
    pool.setConnectionParams(40, 1, 0, 3600, 10);
    CZyNetwork* session = nullptr;
    EXPECT_EQ(pool.getSession(session, address().c_str(), "hubmaster", 8),
              ZYNET_E_REFUSED);  // no service "8"
    EXPECT_EQ(session, nullptr);
    EXPECT_NE(pool.getLastErrorText().find("no service [8]"), std::string::npos);
    EXPECT_EQ(pool.getSession(session, "unknown-client", "hubmaster", "TestService"), ZYNET_E_UNKNOWN_HOST);
}

TEST_F(NetPoolTest, OneServicePoolKeepsToItsLimitAndClosesEverything) {
    ZyNetworkPool pool;
    CZyNetwork* session = nullptr;
    EXPECT_TRUE(pool.getSessionObject(session).IsError());  // not initialised
    CSessionPort port(m_listener->port(), 0);
    ASSERT_FALSE(pool.initNetworkPool(port, "127.0.0.1", "hubmaster", 3600, 2, 0, 10, 0).IsError());

    CZyNetwork* a = nullptr;
    CZyNetwork* b = nullptr;
    CZyNetwork* c = nullptr;
    ASSERT_FALSE(pool.getSessionObject(a).IsError());
    ASSERT_FALSE(pool.getSessionObject(b).IsError());
    EXPECT_EQ(pool.getSessionObject(c).GetErrorCode(), ZYNET_E_REFUSED);  // two at most
    EXPECT_TRUE(roundTrip(*a));  // the listener's only service took the nameless opening
    ASSERT_FALSE(pool.releaseSessionObject(b).IsError());
    ASSERT_FALSE(pool.getSessionObject(c).IsError());

    pool.terminateAllSessions();
    bool timedOut = false;
    EXPECT_TRUE(a->SendXDRMessage(kMarker, nullptr, 0, 5, timedOut).IsError());  // lent, but shut
    ASSERT_FALSE(pool.releaseSessionObject(a).IsError());
    ASSERT_FALSE(pool.releaseSessionObject(c).IsError());
    EXPECT_TRUE(pool.releaseSessionObject(c).IsError());  // given back twice
    CZyNetwork* fresh = nullptr;
    ASSERT_FALSE(pool.getSessionObject(fresh).IsError());
    EXPECT_TRUE(roundTrip(*fresh));
    ASSERT_FALSE(pool.releaseSessionObject(fresh).IsError());
}

TEST_F(NetPoolTest, ClientNamesAreFoundThroughTheDirectory) {
    const int port = m_listener->port();
    CZyNetDirectory::instance().registerClient("registered-ma", "127.0.0.1", port);
    CZyNetDirectory::instance().setResolver([port](const std::string& name, TZyNetAddress& address) {
        if (name != "database-ma") return false;
        address = TZyNetAddress{"127.0.0.1", port};
        return true;
    });
    ZyNetworkPoP pool;
    pool.setConnectionParams(40, 1, 0, 3600, 10);
    for (const char* name : {"registered-ma", "database-ma", "localhost*database-ma"}) {
        CZyNetwork* session = nullptr;
        ASSERT_EQ(pool.getSession(session, name, "hubmaster", "TestService"), 0) << name;
        EXPECT_TRUE(roundTrip(*session)) << name;
        EXPECT_EQ(pool.releaseSession(session, name, "TestService"), 0);
    }
    CZyNetDirectory::instance().unregisterClient("registered-ma");
    CZyNetDirectory::instance().setResolver(nullptr);
}

}  // namespace
}  // namespace nettest

namespace {

// A stop signal's descriptor serves again once its signal is gone: a signal made after a cancelled one
// starts unset, and its own cancel still wakes a wait on it.
TEST(NetCancelTest, ASignalMadeAfterACancelledOneStartsUnset) {
    for (int round = 0; round < 3; ++round) {
        CZyNetCancel first;
        first.cancel();
        pollfd set{first.fd(), POLLIN, 0};
        ASSERT_EQ(poll(&set, 1, 0), 1);
    }
    CZyNetCancel next;
    pollfd wait{next.fd(), POLLIN, 0};
    EXPECT_EQ(poll(&wait, 1, 0), 0) << "a new signal starts set";
    next.cancel();
    EXPECT_EQ(poll(&wait, 1, 0), 1);
}

}  // namespace
