#include "platform/indexing/idxsrvrsessioncache.h"

#include <vector>

#include "platform/errors/fxerrorutil.h"
#include "platform/indexing/idxdbinfocache.h"
#include "platform/net/zynet_errors.h"

namespace I2 {
namespace Utils {

namespace {

#define CACHE_ERROR(code, text) \
    FXErrorUtil::ErrorInt(code, FXCodeLocation(__FILE__, __PRETTY_FUNCTION__, __LINE__), text)

// Pool keys: the database key, the engine type and the index server, each field closed by '|' so that
// a prefix names every index server of one database and engine.
std::string databasePrefix(const std::string& dbKey, App::IdxDbEngineType engineType) {
    return dbKey + "|" + std::to_string(static_cast<int>(engineType)) + "|";
}

}  // namespace

DbToIdxSrvrSessionCache::DbToIdxSrvrSessionCache(const CHubClock& clock) : m_clock(clock) {}

DbToIdxSrvrSessionCache::~DbToIdxSrvrSessionCache() {
    for (auto& entry : m_pools) entry.second->store.closeAll();
}

DbToIdxSrvrSessionCache* DbToIdxSrvrSessionCache::Instance() {
    static DbToIdxSrvrSessionCache* instance = new DbToIdxSrvrSessionCache;
    return instance;
}

std::string DbToIdxSrvrSessionCache::poolKey(const std::string& dbKey, App::IdxDbEngineType engineType,
                                             const std::string& indexServer) {
    return databasePrefix(dbKey, engineType) + indexServer + "|";
}

CUxError DbToIdxSrvrSessionCache::lookUpIndexServer(const std::string& dbKey, std::string& indexServer) {
    const size_t colon = dbKey.find(':');
    if (colon == std::string::npos)
        return CACHE_ERROR(-1, ("index database key [" + dbKey + "] names no backup set").c_str());
    std::string serverName;
    std::vector<IdxSrvrInfo> servers;
    CUxError found = IdxDbInfoCache::Instance()->FetchOrSetIdxSrvrForDb(
        dbKey.substr(colon + 1), dbKey.substr(0, colon), 0, serverName, servers);
    if (found.IsError()) return found;
    for (const IdxSrvrInfo& server : servers) {
        if (server.m_offline) continue;
        indexServer = server.m_name;
        return CUxError::Success();
    }
    return CACHE_ERROR(-1, ("no online index server serves [" + dbKey + "]").c_str());
}

CUxError DbToIdxSrvrSessionCache::GetSession(const std::string& dbKey, App::IdxDbEngineType engineType,
                                             const std::string& indexServer, CZyNetwork*& session,
                                             std::string& sessionKey, const CZyNetCancel* cancel) {
    session = nullptr;
    std::string server = indexServer;
    if (server.empty()) {
        CUxError found = lookUpIndexServer(dbKey, server);
        if (found.IsError()) return found;
    }
    const std::string key = poolKey(dbKey, engineType, server);
    PoolPtr pool;
    {
        CHubMutexLock lock(m_mutex);
        PoolPtr& slot = m_pools[key];
        if (!slot) slot = std::make_shared<TPool>(m_clock);
        pool = slot;
        ++pool->lent;  // counted before the connect, so that a clear meanwhile waits for this session
    }
    CZyNetwork* lent = nullptr;
    // The connect runs outside the cache's lock: one slow index server never holds up the others.
    CUxError got = pool->store.lend(
        key,
        [&server, cancel](CZyNetwork& fresh) {
            bool timedOut = false;
            fresh.watchCancel(cancel);
            return fresh.Connect(server.c_str(), kIndexService, nullptr, kConnectSeconds, timedOut);
        },
        lent);
    CHubMutexLock lock(m_mutex);
    if (got.IsError()) {
        if (--pool->lent == 0 && pool->retired) pool->store.closeAll();
        return got;
    }
    m_lent[lent] = pool;
    lent->watchCancel(cancel);  // an idle session lent again watches its new borrower's
    session = lent;
    sessionKey = key;
    return CUxError::Success();
}

CUxError DbToIdxSrvrSessionCache::ReleaseSession(const std::string& sessionKey, CZyNetwork*& session) {
    if (!session) return CUxError::Success();
    CHubMutexLock lock(m_mutex);
    auto found = m_lent.find(session);
    if (found == m_lent.end())
        return CACHE_ERROR(
            ZYNET_E_BAD_ARGUMENT,
            ("session was not lent by the index-server session cache [" + sessionKey + "]").c_str());
    PoolPtr pool = std::move(found->second);
    m_lent.erase(found);
    CUxError back = pool->store.takeBack(session);
    // A pool dropped by ClearCacheForDb goes with the last session it lent.
    if (--pool->lent == 0 && pool->retired) pool->store.closeAll();
    return back;
}

CUxError DbToIdxSrvrSessionCache::ReleaseSession(const std::string& dbKey, App::IdxDbEngineType engineType,
                                                 const std::string& indexServer, CZyNetwork*& session) {
    return ReleaseSession(poolKey(dbKey, engineType, indexServer), session);
}

void DbToIdxSrvrSessionCache::ClearCacheForDb(const std::string& dbKey, App::IdxDbEngineType engineType,
                                              const std::string& indexServer, const std::string&) {
    clearPrefix(indexServer.empty() ? databasePrefix(dbKey, engineType)
                                    : poolKey(dbKey, engineType, indexServer));
}

void DbToIdxSrvrSessionCache::clearAll() {
    clearPrefix("");
}

void DbToIdxSrvrSessionCache::clearPrefix(const std::string& prefix) {
    CHubMutexLock lock(m_mutex);
    for (auto it = m_pools.lower_bound(prefix);
         it != m_pools.end() && it->first.compare(0, prefix.size(), prefix) == 0;) {
        PoolPtr& pool = it->second;
        pool->retired = true;
        // Sessions other threads hold keep working until they come back; the pool is closed then.
        if (pool->lent == 0) pool->store.closeAll();
        it = m_pools.erase(it);
    }
}

size_t DbToIdxSrvrSessionCache::poolCount() const {
    CHubMutexLock lock(m_mutex);
    return m_pools.size();
}

size_t DbToIdxSrvrSessionCache::lentCount() const {
    CHubMutexLock lock(m_mutex);
    return m_lent.size();
}

}  // namespace Utils
}  // namespace I2
