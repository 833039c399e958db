#include "worker/odssessioncache.h"

#include <optional>
#include <vector>

#include "platform/config/zyplatforminfo.h"
#include "platform/entities/zyclient.h"
#include "platform/errors/fxerrorutil.h"
#include "platform/log/evdebug.h"
#include "platform/msg/msg_classes.h"
#include "platform/net/zynet_options.h"
#include "platform/net/zyondemand_client.h"
#include "platform/threads/hubclock.h"
#include "platform/threads/sessionport.h"

namespace {

constexpr int kOdsConnectError = 22;
constexpr size_t kMaxLocalNameLength = 255;

// The singleton's lock, constructed when the library is loaded.
CHubMutex s_instanceLock;
ODSSessionCache* s_instance GUARDED_BY(s_instanceLock) = nullptr;

CUxError odsError(int code, const std::string& text) {
    return FXErrorUtil::ErrorInt(code, FXCodeLocation(__FILE__, __PRETTY_FUNCTION__, __LINE__), text.c_str());
}

CUxError LaunchODS(const char* host, const char* service, const char* user, const char* password,
                   CNSession::LaunchOnDemandServiceDetails& details) {
    CNSession::LaunchOnDemandServiceReq request;
    request.setstring(CNSession::LaunchOnDemandServiceReq::f::serviceName, service);
    request.setstring(CNSession::LaunchOnDemandServiceReq::f::hostName, host);
    request.setint64(CNSession::LaunchOnDemandServiceReq::f::mode, 1);
    if (user) request.setstring(CNSession::LaunchOnDemandServiceReq::f::userName, user);
    if (password)
        request.setpstringobject(CNSession::LaunchOnDemandServiceReq::f::password, bstring(password), 1);
    request.setstring(CNSession::LaunchOnDemandServiceReq::f::launchInput, "");
    ZYOnDemandSvcClient client;
    return client.SubmitTask(request, details);
}

}  // namespace

std::string GetSessionLocalName() {
    std::string name;
    if (ZYPlatformInfo::getZYPlatformType() & 0x1) {
        ZYClient hubmaster(ZYClient::hubmasterClientId());
        if (hubmaster.getName(name) != 0) name.clear();
    }
    if (name.empty()) name = zynet::localClientName();
    if (name.size() > kMaxLocalNameLength) name.resize(kMaxLocalNameLength);
    return name;
}

ODSSessionCache* ODSSessionCache::Instance() {
    CHubMutexLock lock(s_instanceLock);
    if (!s_instance) s_instance = new ODSSessionCache();
    return s_instance;
}

ODSSessionCache::ODSSessionCache(const CHubClock& clock)
    : m_localClientName(GetSessionLocalName()), m_clock(clock) {}

ODSSessionCache::~ODSSessionCache() {
    CHubMutexLock lock(m_lock);
    m_stopping = true;
    for (auto& entry : m_pools) entry.second->pool->terminateAllSessions();
}

ZYOnDemandSvcNetPool* ODSSessionCache::LaunchODSAndCreateSessionPool(const char* host, const char* service,
                                                                     const char* user, const char* password) {
    EvDebug log(nullptr);
    CNSession::LaunchOnDemandServiceDetails details;
    CUxError launched = LaunchODS(host, service, user, password, details);
    if (launched.IsError()) {
        log.debugLvl(-1, "Failed to launch ODS on [%s] for [%s] with error [%d]", host, service,
                     launched.GetErrorCode());
        return nullptr;
    }
    auto pool = std::make_unique<ZYOnDemandSvcNetPool>(m_clock);
    pool->setOdsGuid(details.getstring(CNSession::LaunchOnDemandServiceDetails::f::guid));
    CSessionPort port(
        static_cast<int>(details.getint64(CNSession::LaunchOnDemandServiceDetails::f::instancePort)),
        static_cast<int>(details.getint64(CNSession::LaunchOnDemandServiceDetails::f::zydPort)));
    CUxError ready =
        pool->initNetworkPool(port, host, m_localClientName.c_str(), static_cast<int>(m_firstPoolNumber), 200,
                              0, static_cast<int>(m_fourthPoolNumber), 0);
    if (ready.IsError()) {
        log.debugLvl(-1, "Failed to create session pool for service [%s] with error [%d].",
                     details.getstring(CNSession::LaunchOnDemandServiceDetails::f::serviceName).c_str(),
                     ready.GetErrorCode());
        return nullptr;
    }
    return pool.release();
}

ODSSessionCache::PoolPtr ODSSessionCache::launchInto(const std::string& key, const char* host,
                                                     const char* service, const char* user,
                                                     const char* password) {
    ZYOnDemandSvcNetPool* launched = LaunchODSAndCreateSessionPool(host, service, user, password);
    if (!launched) return nullptr;
    auto entry = std::make_shared<TPool>();
    entry->pool.reset(launched);
    entry->lastUsed = m_clock.steadyNow();
    m_pools[key] = entry;
    return entry;
}

void ODSSessionCache::retire(const std::string& key, const PoolPtr& pool) {
    auto filed = m_pools.find(key);
    if (filed != m_pools.end() && filed->second == pool) m_pools.erase(filed);
    pool->retired = true;
    pool->inGrace = false;
    // Sessions other threads still hold keep working until they come back; the pool goes with the last.
    if (pool->lent == 0) pool->pool->terminateAllSessions();
}

void ODSSessionCache::evictIdle() {
    unsigned limit = kDefaultPoolIdleLimitSeconds;
    ZYPlatformInfo::getNumber("EventManager", kPoolIdleLimitName, &limit);
    const auto now = m_clock.steadyNow();
    std::vector<std::pair<std::string, PoolPtr>> idle;
    for (const auto& [key, pool] : m_pools)
        if (pool->lent == 0 && !m_holds.contains(key) && now - pool->lastUsed >= std::chrono::seconds(limit))
            idle.emplace_back(key, pool);
    for (const auto& [key, pool] : idle) retire(key, pool);
}

CUxError ODSSessionCache::lendFrom(const PoolPtr& pool, CZyNetwork*& session) {
    CUxError got = pool->pool->getSessionObject(session);
    if (got.IsError()) return got;
    ++pool->lent;
    pool->lastUsed = m_clock.steadyNow();
    m_lent[session] = pool;
    return got;
}

CUxError ODSSessionCache::GetSession(const char* host, const char* service, const char* key, const char* user,
                                     const char* password, CZyNetwork*& session) {
    CHubMutexLock lock(m_lock);
    evictIdle();
    const std::string poolKey = key ? key : "";
    const std::string failure =
        std::string("Failed to connect with ODS on [") + host + "] for [" + service + "]";
    PoolPtr pool;
    auto filed = m_pools.find(poolKey);
    if (filed != m_pools.end()) {
        pool = filed->second;
    } else if (!(pool = launchInto(poolKey, host, service, user, password))) {
        return odsError(kOdsConnectError, failure);
    }
    if (!lendFrom(pool, session).IsError()) return CUxError::Success();

    EvDebug log(nullptr);
    log.debugLvl(3, "Failed to get session from OdssessionCache, try reconnect...");
    retire(poolKey, pool);
    if (!(pool = launchInto(poolKey, host, service, user, password)))
        return odsError(kOdsConnectError, failure);
    if (!lendFrom(pool, session).IsError()) return CUxError::Success();
    CUxError last = lendFrom(pool, session);
    if (last.IsError())
        return odsError(last.GetErrorCode(),
                        "ODSSessionCache::GetSession: " + std::string(last.GetErrorText()));
    return last;
}

CUxError ODSSessionCache::ReleaseSession(const char*, const char*, CZyNetwork* session) {
    CHubMutexLock lock(m_lock);
    auto lent = m_lent.find(session);
    if (lent == m_lent.end()) return CUxError::Success();
    PoolPtr pool = lent->second;
    m_lent.erase(lent);
    const CUxError back = pool->pool->releaseSessionObject(session);
    --pool->lent;
    pool->lastUsed = m_clock.steadyNow();
    if (pool->retired && pool->lent == 0) pool->pool->terminateAllSessions();
    return back;
}

void ODSSessionCache::holdKey(const std::string& key) {
    CHubMutexLock lock(m_lock);
    ++m_holds[key];
    // A browse of the same session within the grace: it keeps the instance the last one launched.
    if (auto filed = m_pools.find(key); filed != m_pools.end()) filed->second->inGrace = false;
}

void ODSSessionCache::dropKey(const std::string& key) {
    CHubMutexLock lock(m_lock);
    auto held = m_holds.find(key);
    if (held == m_holds.end() || --held->second > 0) return;
    m_holds.erase(held);
    // Nobody sends under the key any more: its instance is given back after a short grace (the next
    // page of the same session reuses it), not when it would idle out.
    if (auto filed = m_pools.find(key); filed != m_pools.end()) {
        const PoolPtr pool = filed->second;
        startGrace(key, pool);
    }
}

void ODSSessionCache::startGrace(const std::string& key, const PoolPtr& pool) {
    unsigned grace = kDefaultPoolGraceSeconds;
    ZYPlatformInfo::getNumber("EventManager", kPoolGraceName, &grace);
    if (grace == 0 || m_stopping) {
        retire(key, pool);
        return;
    }
    pool->inGrace = true;
    pool->graceSince = m_clock.steadyNow();
    pool->graceEnds = pool->graceSince + std::chrono::seconds(grace);
    // Whoever asks for many sessions in a row keeps at most the bound of instances waiting.
    for (;;) {
        size_t graced = 0;
        auto oldest = m_pools.end();
        for (auto it = m_pools.begin(); it != m_pools.end(); ++it) {
            if (!it->second->inGrace) continue;
            ++graced;
            if (oldest == m_pools.end() || it->second->graceSince < oldest->second->graceSince) oldest = it;
        }
        if (graced <= kMaxPoolsInGrace) break;
        const std::string oldestKey = oldest->first;
        const PoolPtr oldestPool = oldest->second;
        retire(oldestKey, oldestPool);
    }
    if (!m_reaper)
        m_reaper = std::make_unique<CHubIdleSweeper::CEntry>(m_clock, [this] { return reapGraced(); });
    m_reaper->due(pool->graceEnds);
}

void ODSSessionCache::endGraces() {
    std::unique_ptr<CHubIdleSweeper::CEntry> reaper;
    {
        CHubMutexLock lock(m_lock);
        std::vector<std::pair<std::string, PoolPtr>> graced;
        for (const auto& [key, pool] : m_pools)
            if (pool->inGrace) graced.emplace_back(key, pool);
        for (const auto& [key, pool] : graced) retire(key, pool);
        reaper = std::move(m_reaper);
    }
    // Nothing is left for it to wait for: its thread is joined here (a sweep under way takes the lock,
    // so the entry goes after it is let go).
    reaper.reset();
}

std::optional<CHubClock::Steady::time_point> ODSSessionCache::reapGraced() {
    CHubMutexLock lock(m_lock);
    const auto now = m_clock.steadyNow();
    std::vector<std::pair<std::string, PoolPtr>> over;
    std::optional<CHubClock::Steady::time_point> next;
    for (const auto& [key, pool] : m_pools) {
        if (!pool->inGrace) continue;
        if (pool->graceEnds <= now)
            over.emplace_back(key, pool);
        else if (!next || pool->graceEnds < *next)
            next = pool->graceEnds;
    }
    for (const auto& [key, pool] : over) retire(key, pool);
    return next;
}

size_t ODSSessionCache::poolCount() {
    CHubMutexLock lock(m_lock);
    return m_pools.size();
}

size_t ODSSessionCache::lentCount() {
    CHubMutexLock lock(m_lock);
    return m_lent.size();
}

size_t ODSSessionCache::graceCount() {
    CHubMutexLock lock(m_lock);
    size_t graced = 0;
    for (const auto& entry : m_pools) graced += entry.second->inGrace;
    return graced;
}
