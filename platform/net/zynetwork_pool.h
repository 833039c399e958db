// Session pools. ZyNetworkPoP lends sessions to any service of any machine (the process-wide pool of
// the media-agent sessions); ZyNetworkPool lends sessions to one service instance at a known port.
// A lent session is used by its borrower alone and given back once; any thread may borrow and return.
#pragma once

#include <string>

#include "platform/errors/cuxerror.h"
#include "platform/net/zynet_session_store.h"
#include "platform/net/zynetwork.h"
#include "platform/threads/hubmutex.h"
#include "platform/threads/sessionport.h"

class ZyNetworkPoP {
public:
    // Idle sessions expire on `clock`.
    explicit ZyNetworkPoP(const CHubClock& clock = CHubClock::real());
    virtual ~ZyNetworkPoP();
    ZyNetworkPoP(const ZyNetworkPoP&) = delete;
    ZyNetworkPoP& operator=(const ZyNetworkPoP&) = delete;

    // Idle sessions kept per machine and service, two values passed through unused, the seconds an
    // idle session is kept (closed then, whether or not the pool is used again), and the seconds a
    // connect may take.
    void setConnectionParams(int maxIdlePerService, int, int, int idleSeconds, int connectSeconds);

    // Lends a session to `service` (a name, or a restore service number) behind the listener of
    // `host` (a mangled host name, client name or host name). 0, or the failure's (negative) code.
    // With `cancel`, the connect and the lent session's waits end once it is cancelled, until given back.
    int getSession(CZyNetwork*& session, const char* host, const char* localName, const char* service,
                   const CZyNetCancel* cancel = nullptr);
    int getSession(CZyNetwork*& session, const char* host, const char* localName, int serviceNumber,
                   const CZyNetCancel* cancel = nullptr);
    // Gives a lent session back and clears the pointer. 0, or non-zero for a session not lent here.
    int releaseSession(CZyNetwork*& session, const char* host, const char* service);
    int releaseSession(CZyNetwork*& session, const char* host, int serviceNumber);

    // The text of the last failure to lend, for a log line.
    std::string getLastErrorText() const;

private:
    CZynSessionStore m_store;
    mutable CHubMutex m_mutex;
    int m_connectSeconds GUARDED_BY(m_mutex) = 120;
    std::string m_lastError GUARDED_BY(m_mutex);
};

class ZyNetworkPool {
public:
    // Idle sessions expire on `clock`.
    explicit ZyNetworkPool(const CHubClock& clock = CHubClock::real());
    virtual ~ZyNetworkPool();
    ZyNetworkPool(const ZyNetworkPool&) = delete;
    ZyNetworkPool& operator=(const ZyNetworkPool&) = delete;

    // The service listens at the port's first number on the machine of `host` (a mangled name, a
    // client name or a host name, found through the directory; with port 0, that machine's listener). Then:
    // seconds an idle session is kept, sessions at most, a value passed through unused, seconds a connect may
    // take, a value passed through unused.
    CUxError initNetworkPool(const CSessionPort& port, const char* host, const char* localName,
                             int idleSeconds, int maxSessions, int, int connectSeconds, int);
    CUxError getSessionObject(CZyNetwork*& session);
    CUxError releaseSessionObject(CZyNetwork* session);
    // Closes the idle sessions; lent ones fail from now on and are closed when given back.
    void terminateAllSessions();

private:
    CZynSessionStore m_store;
    mutable CHubMutex m_mutex;
    bool m_ready GUARDED_BY(m_mutex) = false;
    TZyNetAddress m_address GUARDED_BY(m_mutex);
    std::string m_localName GUARDED_BY(m_mutex);
    int m_connectSeconds GUARDED_BY(m_mutex) = 10;
};
