#include "platform/net/zynetwork_pool.h"

#include "platform/net/zynet_directory.h"
#include "platform/net/zynet_errors.h"
#include "platform/net/zynet_log.h"

namespace {

// A session speaks as the local name it was opened with: it is lent again only under that name.
std::string poolKey(const char* host, const std::string& service, const std::string& localName) {
    return std::string(host ? host : "") + '\n' + service + '\n' + localName;
}

}  // namespace

// ---- ZyNetworkPoP ----------------------------------------------------------------------------------

ZyNetworkPoP::ZyNetworkPoP(const CHubClock& clock) : m_store(clock) {}
ZyNetworkPoP::~ZyNetworkPoP() = default;

void ZyNetworkPoP::setConnectionParams(int maxIdlePerService, int, int, int idleSeconds, int connectSeconds) {
    CZynSessionStore::TLimits limits;
    limits.maxIdlePerKey = maxIdlePerService > 0 ? static_cast<unsigned>(maxIdlePerService) : 0;
    limits.idleSeconds = idleSeconds > 0 ? idleSeconds : 0;
    m_store.setLimits(limits);
    CHubMutexLock lock(m_mutex);
    m_connectSeconds = connectSeconds;
}

int ZyNetworkPoP::getSession(CZyNetwork*& session, const char* host, const char* localName,
                             const char* service, const CZyNetCancel* cancel) {
    const std::string serviceName = service ? service : "";
    int connectSeconds;
    {
        CHubMutexLock lock(m_mutex);
        connectSeconds = m_connectSeconds;
    }
    const std::string hostName = host ? host : "";
    const std::string local = localName ? localName : "";
    CUxError error = m_store.lend(
        poolKey(host, serviceName, local),
        [&](CZyNetwork& fresh) {
            bool timedOut = false;
            fresh.watchCancel(cancel);
            return fresh.Connect(hostName.c_str(), serviceName.c_str(), local.c_str(), connectSeconds,
                                 timedOut);
        },
        session);
    if (!error.IsError()) {
        session->watchCancel(cancel);  // an idle session lent again watches its new borrower's
        return 0;
    }
    CHubMutexLock lock(m_mutex);
    m_lastError = error.GetErrorText();
    return error.GetErrorCode();
}

int ZyNetworkPoP::getSession(CZyNetwork*& session, const char* host, const char* localName, int serviceNumber,
                             const CZyNetCancel* cancel) {
    return getSession(session, host, localName, std::to_string(serviceNumber).c_str(), cancel);
}

int ZyNetworkPoP::releaseSession(CZyNetwork*& session, const char*, const char*) {
    return m_store.takeBack(session).IsError() ? -1 : 0;
}

int ZyNetworkPoP::releaseSession(CZyNetwork*& session, const char* host, int serviceNumber) {
    return releaseSession(session, host, std::to_string(serviceNumber).c_str());
}

std::string ZyNetworkPoP::getLastErrorText() const {
    CHubMutexLock lock(m_mutex);
    return m_lastError;
}

// ---- ZyNetworkPool ---------------------------------------------------------------------------------

ZyNetworkPool::ZyNetworkPool(const CHubClock& clock) : m_store(clock) {}
ZyNetworkPool::~ZyNetworkPool() = default;

CUxError ZyNetworkPool::initNetworkPool(const CSessionPort& port, const char* host, const char* localName,
                                        int idleSeconds, int maxSessions, int, int connectSeconds, int) {
    const std::string name = host ? host : "";
    TZyNetAddress address;
    CUxError error = CZyNetDirectory::instance().resolve(name, address);
    if (port.GetPort() > 0) {
        // The service's own port, on the machine the directory knows (else on the name's host).
        std::string hostName, clientName;
        int serviceNumber = 0, mangledPort = 0;
        if (error.IsError() && !DemangleHostName(name, hostName, clientName, serviceNumber, mangledPort))
            return error;
        if (error.IsError()) address.host = hostName;
        address.port = port.GetPort();
    } else if (error.IsError()) {
        return error;
    }
    CZynSessionStore::TLimits limits;
    limits.idleSeconds = idleSeconds > 0 ? idleSeconds : 0;
    limits.maxSessions = maxSessions > 0 ? static_cast<unsigned>(maxSessions) : 0;
    limits.maxIdlePerKey = limits.maxSessions != 0 ? limits.maxSessions : 40;
    m_store.setLimits(limits);
    CHubMutexLock lock(m_mutex);
    m_address = address;
    m_localName = localName ? localName : "";
    m_connectSeconds = connectSeconds;
    m_ready = true;
    return CUxError::Success();
}

CUxError ZyNetworkPool::getSessionObject(CZyNetwork*& session) {
    TZyNetAddress address;
    std::string localName;
    int connectSeconds;
    {
        CHubMutexLock lock(m_mutex);
        if (!m_ready)
            return zynet::makeError(ZYNET_E_NOT_CONNECTED, "ZyNetworkPool::getSessionObject",
                                    "pool not initialised");
        address = m_address;
        localName = m_localName;
        connectSeconds = m_connectSeconds;
    }
    // The service behind the port is the only one there: the opening names none.
    return m_store.lend(
        std::string(),
        [&](CZyNetwork& fresh) {
            bool timedOut = false;
            return fresh.Connect(address, "", localName.c_str(), connectSeconds, timedOut);
        },
        session);
}

CUxError ZyNetworkPool::releaseSessionObject(CZyNetwork* session) {
    return m_store.takeBack(session);
}

void ZyNetworkPool::terminateAllSessions() {
    m_store.closeAll();
}
