// CZydListener: one machine's listening port, behind which servers wait under their service names;
// its threads accept connections, read each opening (the TLS handshake first) and hand the connection
// to the named server, start a launchable service for it, or refuse it. A few threads share the port
// so that handshakes run side by side. Any thread may attach, detach, register, start and stop (stop
// not from one of its own threads).
#pragma once

#include <atomic>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/errors/cuxerror.h"
#include "platform/net/zyd_launcher.h"
#include "platform/net/zynet_socket.h"
#include "platform/net/zynetwork.h"
#include "platform/threads/hubclock.h"
#include "platform/threads/hubmutex.h"

class CZyNetworkServer;

class CZydListener {
public:
    // Openings, launched instances and the sessions served behind it keep their limits on `clock`, which
    // must outlive the listener.
    static std::shared_ptr<CZydListener> create(const CHubClock& clock = CHubClock::real());
    // This process's machine listener, on the configured port once started.
    static std::shared_ptr<CZydListener> machineListener();
    const CHubClock& clock() const { return m_clock; }

    ~CZydListener();
    CZydListener(const CZydListener&) = delete;
    CZydListener& operator=(const CZydListener&) = delete;

    // Listens on the configured address and `port` (0: the system chooses) and starts the threads;
    // nothing when already listening.
    CUxError start(int port);
    // Stops accepting, closes the openings in progress and joins the threads. Attached servers stay
    // attached (their connections are theirs to close).
    void stop();
    bool running() const;
    int port() const;

    // For servers: serve connections that name `name`; false when another server holds the name.
    bool attach(const std::string& name, CZyNetworkServer* server);
    // Afterwards no new connection reaches the server. True when no server is left attached.
    bool detach(CZyNetworkServer* server);

    // Launchable services: started here on request, one instance per launch, for a session that asks
    // a launcher (CZyNetwork::Attach_RemoteDLL) or by an on-demand request (ZYOnDemandSvcClient). False
    // when the name is taken. Instances end with their last session, or when the listener stops.
    // `admission` says whom the service answers (empty: anyone).
    bool registerLaunchable(const std::string& name, ZyLaunchFactory factory,
                            ZyLaunchAdmission admission = {});
    // Running instances of the service go on.
    void unregisterLaunchable(const std::string& name);
    size_t launchedInstances() const;
    // Returns once at most `count` launched instances run or are ending (true), or at `limit` (false).
    bool waitForLaunchedInstances(size_t count, std::chrono::milliseconds limit) const;

private:
    friend class CZydLauncher;
    explicit CZydListener(const CHubClock& clock);
    struct TOpening;

    // One of `count` accept threads; the first also ends the launched instances that are done.
    void acceptLoop(size_t index, size_t count);
    // Takes up to `batch` waiting connections from the backlog into `openings` (oldest first, at most
    // `most`), reading each at once; false (said in the log, at most every ten seconds) when one cannot be
    // taken for want of descriptors or memory.
    bool acceptSome(std::vector<TOpening>& openings, size_t most, size_t batch);
    // Reads what arrived on an opening; false when it is finished (handed over, refused or dropped).
    bool readOpening(TOpening& opening);
    // Decides TLS or plain from the first byte and runs the handshake a step; false when the opening
    // is finished (refused or dropped), `ready` once its frames can be read.
    bool secureOpening(TOpening& opening, bool& ready);
    static CZyNetwork::TPeer peerOf(const TOpening& opening, unsigned protocolVersion,
                                    const char* claimedName, const char* hostName);
    void handOver(TOpening& opening, const CZyNetwork::TPeer& peer, const std::string& service);
    // False (and the opening refused) when `service` does not answer the caller, or when the caller
    // may not start another instance now.
    bool mayLaunch(TOpening& opening, const CZyNetwork::TPeer& peer, const std::string& service);
    void launchForSession(TOpening& opening, const struct TZynLaunch& launch);
    void launchOnDemand(TOpening& opening, const uint8_t* request, size_t size);
    void refuse(TOpening& opening, const CUxError& error, const std::string& what);
    // Sends one control frame on an opening and ends the writing side.
    static void answer(TOpening& opening, uint32_t code, const std::vector<uint8_t>& payload);
    bool serves(const std::string& name, const CZyNetworkServer* server) const;
    void wake();

    const CHubClock& m_clock;
    mutable CHubMutex m_mutex;
    std::map<std::string, CZyNetworkServer*> m_servers GUARDED_BY(m_mutex);  // by service name
    // The listening socket while running. Under m_mutex, but for the accept threads, which read it
    // between the start that sets it and the join of stop, before stop closes it.
    zynet::CSocket m_socket;
    int m_port GUARDED_BY(m_mutex) = 0;
    bool m_stopping GUARDED_BY(m_mutex) = false;
    int m_wakeFd = -1;  // eventfd that interrupts the first accept thread's poll (to reap instances)
    // When a connection could last not be taken was said (the clock's count), for saying it seldom.
    std::atomic<zynet::Clock::rep> m_starvedSaid{std::numeric_limits<zynet::Clock::rep>::min() / 2};
    int m_stopFd = -1;  // eventfd set by stop, for every accept thread; both live as long as the object

    CHubMutex m_runMutex ACQUIRED_BEFORE(m_mutex);  // serialises start and stop
    std::vector<std::thread> m_threads GUARDED_BY(m_runMutex);
    // Held while an instance is launched and given its session, and while instances are reaped: an
    // instance is never ended between the two.
    CHubMutex m_launchMutex ACQUIRED_BEFORE(m_mutex);

    // Last: its instances are ended before the rest of the listener goes.
    const std::unique_ptr<CZydLauncher> m_launcher;
};
