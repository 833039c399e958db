// A network server on its own loopback listener for the server and pool tests: its callbacks record
// what reaches them (per connection, in order) into a probe, and run the test's extra behaviour.
#pragma once

#include <gtest/gtest.h>

#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/msg/cnmessagebase.h"
#include "platform/net/zyd_listener.h"
#include "platform/net/zynet_options.h"
#include "platform/net/zynetwork_server.h"

namespace nettest {

// A code outside the restore protocol: the server answers it with the same code.
constexpr unsigned long kMarker = 0x22000099;

struct TProbe {
    std::mutex mutex;
    std::condition_variable changed;
    std::map<long long, std::vector<unsigned long>> codes;  // per connection, in delivery order
    std::vector<long long> disconnected;                    // connections whose end was reported
    std::vector<std::string> problems;
    int inside = 0;     // callbacks running now
    int maxInside = 0;  // most callbacks ever running at once
    std::map<long long, int> insidePerConnection;
    std::function<void(CZyNetworkServer*, long long, unsigned long, zysDatabuf_v2*)> onXdr;
    std::function<void(CZyNetworkServer*, long long, CNMessageBase*)> onXml;

    void problem(const std::string& what) {
        std::lock_guard<std::mutex> lock(mutex);
        problems.push_back(what);
    }
    // Waits until `ready` holds (under the lock); false after `seconds`.
    template <class Predicate>
    bool waitFor(Predicate ready, int seconds = 20) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(seconds), ready);
    }
};

inline TProbe* g_probe = nullptr;

// Sends a record-less message back on the connection of `handle`.
inline void reply(CZyNetworkServer* server, long long handle, unsigned long code) {
    CZyNetwork* session = nullptr;
    if (server->AcquireSession(handle, &session).IsError()) return g_probe->problem("acquire failed");
    bool timedOut = false;
    if (session->SendXDRMessage(code, nullptr, 0, 10, timedOut).IsError()) g_probe->problem("reply failed");
    if (server->ReleaseSession(handle).IsError()) g_probe->problem("release failed");
}

inline void xdrCallback(CZyNetworkServer::ZynCallback_e type, CZyNetworkServer* server, long long handle,
                        unsigned long code, zysDatabuf_v2* data) {
    TProbe& probe = *g_probe;
    if (type == CZyNetworkServer::ZYN_CALLBACK_DISCONNECTED) {
        CZyNetwork* session = nullptr;
        // The session can still be reached while its end is reported.
        if (server->AcquireSession(handle, &session).IsError() || server->ReleaseSession(handle).IsError())
            probe.problem("no session in the disconnect callback");
        std::lock_guard<std::mutex> lock(probe.mutex);
        probe.disconnected.push_back(handle);
        probe.changed.notify_all();
        return;
    }
    {
        std::lock_guard<std::mutex> lock(probe.mutex);
        probe.codes[handle].push_back(code);
        probe.maxInside = std::max(probe.maxInside, ++probe.inside);
        if (++probe.insidePerConnection[handle] != 1)
            probe.problems.push_back("two callbacks of one connection at once");
        probe.changed.notify_all();
    }
    if (probe.onXdr) probe.onXdr(server, handle, code, data);
    if (code == kMarker) reply(server, handle, kMarker);
    std::lock_guard<std::mutex> lock(probe.mutex);
    --probe.inside;
    --probe.insidePerConnection[handle];
    probe.changed.notify_all();
}

inline void xmlCallback(CZyNetworkServer::ZynCallback_e, CZyNetworkServer* server, long long handle,
                        CNMessageBase* message) {
    {
        std::lock_guard<std::mutex> lock(g_probe->mutex);
        g_probe->codes[handle].push_back(message->getTagID());
        g_probe->changed.notify_all();
    }
    if (g_probe->onXml)
        g_probe->onXml(server, handle, message);
    else
        delete message;
}

class NetServerTest : public ::testing::Test {
public:
    void SetUp() override {
        g_probe = &m_probe;
        m_listener = CZydListener::create(listenerClock());
        ASSERT_FALSE(m_listener->start(0).IsError());
        m_server = std::make_unique<CZyNetworkServer>(xdrCallback, xmlCallback, "TestService", m_listener);
        m_select = std::thread([this] {
            ignoreResult(m_server->SelectData(5, 100, 100),
                         "it serves until Quit; how it ended has no reader");
        });
    }
    void TearDown() override {
        if (m_server)
            ignoreResult(m_server->Quit(true, true), "stopping: nothing is left to do when it fails");
        if (m_select.joinable()) m_select.join();
        m_server.reset();
        m_listener->stop();
        g_probe = nullptr;
        setZyNetOptions(TZyNetOptions());
    }

    // The clock the listener, and the server's sessions behind it, keep their limits on.
    virtual const CHubClock& listenerClock() { return CHubClock::real(); }

    std::string address() const { return "127.0.0.1*test-service*0*" + std::to_string(m_listener->port()); }

    std::unique_ptr<CZyNetwork> connect(const char* service = "TestService") {
        auto session = std::make_unique<CZyNetwork>();
        bool timedOut = false;
        CUxError error = session->Connect(address().c_str(), service, "test-client", 10, timedOut);
        EXPECT_FALSE(error.IsError()) << error.AsString();
        return session;
    }

    // Sends the marker and waits for the server's answer: everything sent before has been delivered.
    static bool roundTrip(CZyNetwork& session) {
        bool timedOut = false;
        if (session.SendXDRMessage(kMarker, nullptr, 0, 10, timedOut).IsError()) return false;
        zysDatabuf_v2 buffer;
        unsigned long code = 0;
        for (int i = 0; i < 20; ++i) {
            if (session.ReceiveXDRMessage(&code, &buffer, nullptr, 0, 1, timedOut).IsError()) return false;
            if (!timedOut) return code == kMarker;
        }
        return false;
    }

    TProbe m_probe;
    std::shared_ptr<CZydListener> m_listener;
    std::unique_ptr<CZyNetworkServer> m_server;
    std::thread m_select;
};

}  // namespace nettest
