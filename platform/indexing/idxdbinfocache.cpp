#include "platform/indexing/idxdbinfocache.h"

#include <algorithm>
#include <ctime>

#include "Db/Proc/DM2GetIndexServers.h"
#include "Db/Tbl/APP_Client.h"
#include "Db/Tbl/App_IndexDBInfo.h"
#include "platform/db/dbresult.h"
#include "platform/errors/fxerrorutil.h"
#include "platform/indexing/indexingutils.h"
#include "platform/log/evdebug.h"
#include "platform/net/zynet_directory.h"
#include "platform/threads/hubclock.h"

namespace I2 {
namespace Utils {

std::string IdxSrvrInfo::routingName() const {
    const std::string mangled =
        m_clientName.empty() ? std::string() : MangleHostName(m_name, m_clientName, 0, 0);
    return mangled.empty() ? m_name : mangled;
}

namespace {

#define IDX_ERROR(code, text) \
    FXErrorUtil::ErrorInt(code, FXCodeLocation(__FILE__, __PRETTY_FUNCTION__, __LINE__), text)

EvDebug& idxLog() {
    thread_local EvDebug log(nullptr);
    thread_local bool tagged = false;
    if (!tagged) {
        log.setPrefixMessage("IDXDBINFO");
        tagged = true;
    }
    return log;
}

// Reads what the database says about `dbName` now.
CUxError readServers(const std::string& dbName, const std::string& backupSetGuid, _IdxSrvrInfo& out) {
    App_IndexDBInfo db(nullptr);
    db.setIsolationType(4);
    db.setTop(1);
    db.setWhere("dbName = '%s' AND backupSetGUID = '%s'", dbName, backupSetGuid);
    db.setOrderBy("isPrimary DESC, id");
    int rc = db.getOneRow(&db, false, 0, 0);
    if (rc == zydb::DB_NO_DATA)
        return IDX_ERROR(
            -1, ("no index database [" + dbName + "] in backup set [" + backupSetGuid + "]").c_str());
    if (rc != zydb::DB_OK)
        return IDX_ERROR(rc, (std::string("index database cannot be read: ") + db.getErrorStr(rc)).c_str());
    const int indexServer = db.getDataPtr()->currentIdxServer;
    if (indexServer <= 0)
        return IDX_ERROR(-1, ("index database [" + dbName + "] has no index server").c_str());

    // The engines of every database the index server serves.
    std::list<App::IdxDbEngineType> engines;
    {
        App_IndexDBInfo served(nullptr);
        served.setIsolationType(4);
        served.setWhere("currentIdxServer = %d", indexServer);
        while ((rc = served.getNextRow(&served, nullptr, 0, 0)) == zydb::DB_OK) {
            auto type = static_cast<App::IdxDbEngineType>(served.getDataPtr()->idxDbEngineType);
            if (std::find(engines.begin(), engines.end(), type) == engines.end()) engines.push_back(type);
        }
        if (rc != zydb::DB_NO_DATA)
            return IDX_ERROR(
                rc, (std::string("index databases cannot be read: ") + served.getErrorStr(rc)).c_str());
    }

    // Any kind of index server; enabled nodes only, in node order.
    DM2GetIndexServers nodes(nullptr);
    nodes.setValues("", indexServer, 0, 0, 1, 1, 0);
    std::vector<IdxSrvrInfo> servers;
    std::string serverName;
    while ((rc = nodes.getNextRow(&nodes, nullptr, 0, 0)) == zydb::DB_OK) {
        const DM2GetIndexServers_t* r = nodes.getDataPtr();
        IdxSrvrInfo s;
        s.m_name = r->o_hostName[0] ? r->o_hostName : r->o_clientName;
        s.m_engineTypes = engines;
        s.m_primaryNode = servers.empty();
        s.m_clientId = r->o_clientId;
        s.m_clientName = r->o_clientName;
        s.m_cloudId = r->o_cloudId;
        s.m_basePort = r->o_basePort;
        if (serverName.empty()) serverName = r->o_serverName;
        servers.push_back(std::move(s));
    }
    if (rc != zydb::DB_NO_DATA)
        return IDX_ERROR(
            rc, (std::string("index server nodes cannot be read: ") + nodes.getErrorStr(rc)).c_str());
    if (servers.empty())
        return IDX_ERROR(-1,
                         ("index server [" + std::to_string(indexServer) + "] has no enabled node").c_str());

    for (IdxSrvrInfo& s : servers) {
        APP_Client client(nullptr);
        client.setIsolationType(4);
        client.setWhere("id = %lld", s.m_clientId);
        rc = client.getOneRow(&client, false, 0, 0);
        if (rc == zydb::DB_OK) {
            s.m_offline = client.getDataPtr()->offlineEntity != 0;
            s.m_state = client.getDataPtr()->status;
        } else if (rc != zydb::DB_NO_DATA) {
            return IDX_ERROR(
                rc, (std::string("index server client cannot be read: ") + client.getErrorStr(rc)).c_str());
        }
    }
    out.servers.swap(servers);
    out.serverName = serverName;
    return CUxError::Success();
}

}  // namespace

IdxDbInfoCache::IdxDbInfoCache(size_t maxEntries, const CHubClock& clock)
    : m_maxEntries(std::max<size_t>(maxEntries, 1)), m_clock(clock) {}

IdxDbInfoCache::~IdxDbInfoCache() {
    // Each entry's lock and map go with it.
    m_map.clear();
    m_lru.clear();
}

IdxDbInfoCache* IdxDbInfoCache::Instance() {
    static IdxDbInfoCache* instance = new IdxDbInfoCache;
    return instance;
}

std::shared_ptr<DbToSrvrCache_t> IdxDbInfoCache::acquire(const std::string& key) {
    ZyCriticalSectionLock lock(&m_lock);
    auto it = m_map.find(key);
    if (it != m_map.end()) {
        m_lru.splice(m_lru.begin(), m_lru, it->second.lru);
        return it->second.entry;
    }
    while (m_map.size() >= m_maxEntries) {
        m_map.erase(m_lru.back());
        m_lru.pop_back();
    }
    m_lru.push_front(key);
    Slot& slot = m_map[key];
    slot.entry = std::make_shared<DbToSrvrCache_t>();
    slot.lru = m_lru.begin();
    return slot.entry;
}

void IdxDbInfoCache::dropIfEmpty(const std::string& key, const DbToSrvrCache_t* entry) {
    if (!entry->m_map.empty()) return;
    ZyCriticalSectionLock lock(&m_lock);
    auto it = m_map.find(key);
    if (it == m_map.end() || it->second.entry.get() != entry) return;
    m_lru.erase(it->second.lru);
    m_map.erase(it);
}

size_t IdxDbInfoCache::size() {
    ZyCriticalSectionLock lock(&m_lock);
    return m_map.size();
}

CUxError IdxDbInfoCache::FetchOrSetIdxSrvrForDb(const std::string& dbName, const std::string& backupSetGuid,
                                                unsigned int appType, std::string& serverName,
                                                std::vector<IdxSrvrInfo>& servers) {
    return FetchOrSetIdxSrvrForDb(dbName, backupSetGuid, appType, serverName, servers, false);
}

CUxError IdxDbInfoCache::FetchOrSetIdxSrvrForDb(const std::string& dbName, const std::string& backupSetGuid,
                                                unsigned int appType, std::string& serverName,
                                                std::vector<IdxSrvrInfo>& servers, bool userRequest) {
    if (dbName.empty()) return IDX_ERROR(-1, "no index database named");
    const std::string key = FormBackupSetAndDbName(backupSetGuid, dbName);
    // The cache lock is never held while an entry's lock is taken; an entry's lock may take it.
    std::shared_ptr<DbToSrvrCache_t> entry = acquire(key);
    ZyCriticalSectionLock lock(&entry->m_lock);
    const long long now = m_clock.epochSeconds();
    auto it = entry->m_map.find(appType);
    if (!userRequest && it != entry->m_map.end() && now - it->second.fetchedAt < kMaxAgeSeconds) {
        servers = it->second.servers;
        serverName = it->second.serverName;
        idxLog().debugLvl(5, "index servers of [%s] from the cache", key.c_str());
        return CUxError::Success();
    }
    _IdxSrvrInfo fresh;
    CUxError err = readServers(dbName, backupSetGuid, fresh);
    if (err.IsError()) {
        idxLog().debugLvl(0, "ERROR: index servers of [%s] app type [%u]: %s", key.c_str(), appType,
                          err.GetErrorText().c_str());
        dropIfEmpty(key, entry.get());  // a failure is never kept
        return err;
    }
    servers = fresh.servers;
    serverName = fresh.serverName;
    fresh.fetchedAt = now;
    entry->m_map[appType] = std::move(fresh);
    idxLog().debugLvl(3, "index servers of [%s]: %zu, first [%s]", key.c_str(), servers.size(),
                      servers.front().m_name.c_str());
    return CUxError::Success();
}

}  // namespace Utils
}  // namespace I2
