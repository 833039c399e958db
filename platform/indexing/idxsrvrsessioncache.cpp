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

DbToIdxSrvrSessionCache::DbToIdxSrvrSessionCache() = default;

DbToIdxSrvrSessionCache::~DbToIdxSrvrSessionCache() {
    for (auto& entry : m_pools) entry.second->closeAll();
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
                                             std::string& sessionKey) {
    session = nullptr;
    std::string server = indexServer;
    if (server.empty()) {
        CUxError found = lookUpIndexServer(dbKey, server);
        if (found.IsError()) return found;
    }
    const std::string key = poolKey(dbKey, engineType, server);
    std::shared_ptr<CZynSessionStore> pool;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::shared_ptr<CZynSessionStore>& slot = m_pools[key];
        if (!slot) slot = std::make_shared<CZynSessionStore>();
        pool = slot;
    }
    CZyNetwork* lent = nullptr;
    // The connect runs outside the cache's lock: one slow index server never holds up the others.
    CUxError got = pool->lend(
        key,
        [&server](CZyNetwork& fresh) {
            bool timedOut = false;
            return fresh.Connect(server.c_str(), kIndexService, nullptr, kConnectSeconds, timedOut);
        },
        lent);
    if (got.IsError()) return got;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lent[lent] = pool;
    }
    session = lent;
    sessionKey = key;
    return CUxError::Success();
}

CUxError DbToIdxSrvrSessionCache::ReleaseSession(const std::string& sessionKey, CZyNetwork*& session) {
    if (!session) return CUxError::Success();
    std::shared_ptr<CZynSessionStore> pool;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto found = m_lent.find(session);
        if (found == m_lent.end())
            return CACHE_ERROR(
                ZYNET_E_BAD_ARGUMENT,
                ("session was not lent by the index-server session cache [" + sessionKey + "]").c_str());
        pool = std::move(found->second);
        m_lent.erase(found);
    }
    // A pool dropped by ClearCacheForDb meanwhile has closed its sessions: this one is closed too.
    return pool->takeBack(session);
}

CUxError DbToIdxSrvrSessionCache::ReleaseSession(const std::string& dbKey, App::IdxDbEngineType engineType,
                                                 const std::string& indexServer, CZyNetwork*& session) {
    return ReleaseSession(poolKey(dbKey, engineType, indexServer), session);
}

void DbToIdxSrvrSessionCache::ClearCacheForDb(const std::string& dbKey, App::IdxDbEngineType engineType,
                                              const std::string& indexServer, const std::string&) {
    const std::string prefix =
        indexServer.empty() ? databasePrefix(dbKey, engineType) : poolKey(dbKey, engineType, indexServer);
    std::vector<std::shared_ptr<CZynSessionStore>> dropped;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto it = m_pools.lower_bound(prefix);
             it != m_pools.end() && it->first.compare(0, prefix.size(), prefix) == 0;) {
            dropped.push_back(it->second);
            it = m_pools.erase(it);
        }
    }
    for (auto& pool : dropped) pool->closeAll();
}

size_t DbToIdxSrvrSessionCache::poolCount() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_pools.size();
}

size_t DbToIdxSrvrSessionCache::lentCount() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lent.size();
}

}  // namespace Utils
}  // namespace I2
