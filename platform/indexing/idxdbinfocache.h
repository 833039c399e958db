// I2::Utils::IdxDbInfoCache: which index servers serve an index database, looked up in the Hubmaster
// database (the database's row in App_IndexDBInfo, then the nodes of its current index server through
// DM2GetIndexServers) and kept for a while. Only successful look-ups are kept, and at most a bounded
// number of databases (the least recently asked go first), so names that requests supply cannot grow
// it without end. The process-wide cache, Instance(), is shared by every browse worker; short-lived
// local caches are made on one thread. Any thread may ask.
#pragma once

#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/errors/cuxerror.h"
#include "platform/tasks/msgenums.h"
#include "platform/threads/hubclock.h"
#include "platform/threads/threadannotations.h"
#include "platform/threads/zycriticalsection.h"

namespace I2 {
namespace Utils {

// One index server (one node of an index-server cloud).
class IdxSrvrInfo {
public:
    IdxSrvrInfo() = default;
    IdxSrvrInfo(const IdxSrvrInfo& other) = default;
    IdxSrvrInfo& operator=(const IdxSrvrInfo& other) = default;
    ~IdxSrvrInfo() = default;

    std::string m_name;                             // the node's network host name
    std::list<App::IdxDbEngineType> m_engineTypes;  // engines of the index databases the server serves
    bool m_offline = false;                         // the node's client is marked offline
    int32_t m_state = 0;                            // the node's client status
    bool m_primaryNode = false;                     // first node of its cloud
    long long m_clientId = 0;                       // the node's client id
    std::string m_clientName;                       // the node's client name
    long long m_cloudId = 0;                        // the index-server cloud
    long long m_basePort = 0;                       // the node's base port

    // The node as requests name a media agent, "host*client": its client name tells whose service pack
    // and certificate count and which client on that host answers (the network directory finds its
    // port). The bare host name when the pair cannot travel mangled.
    std::string routingName() const;
};

// The servers of one database as last read, and when.
struct _IdxSrvrInfo {
    std::vector<IdxSrvrInfo> servers;
    std::string serverName;   // the index server's (cloud's) name
    long long fetchedAt = 0;  // seconds since 1970
};

// The cached lookups of one index database, by application type.
struct DbToSrvrCache_t {
    std::map<unsigned int, _IdxSrvrInfo> m_map GUARDED_BY(m_lock);
    ZyCriticalSection m_lock;
};

class IdxDbInfoCache {
public:
    // How long a lookup is served from the cache before the database is asked again.
    static constexpr long long kMaxAgeSeconds = 300;
    // How many databases the cache keeps by default; a backup of many databases asks again past it.
    static constexpr size_t kMaxEntries = 4096;

    // Entries age on `clock`.
    explicit IdxDbInfoCache(size_t maxEntries = kMaxEntries, const CHubClock& clock = CHubClock::real());
    ~IdxDbInfoCache();
    IdxDbInfoCache(const IdxDbInfoCache&) = delete;
    IdxDbInfoCache& operator=(const IdxDbInfoCache&) = delete;

    // The process-wide cache (never destroyed).
    static IdxDbInfoCache* Instance();

    // The index servers of database `dbName` of the backup set `backupSetGuid`, the current index
    // server's nodes in node order, into `servers`; `serverName` gets the index server's name. A user
    // request always reads the database afresh (and refreshes the cache); other requests are served
    // from the cache while it is younger than kMaxAgeSeconds. An error (no such database, no index
    // server, none of its nodes enabled, a failed read) leaves both outputs as they were.
    CUxError FetchOrSetIdxSrvrForDb(const std::string& dbName, const std::string& backupSetGuid,
                                    unsigned int appType, std::string& serverName,
                                    std::vector<IdxSrvrInfo>& servers, bool userRequest);
    CUxError FetchOrSetIdxSrvrForDb(const std::string& dbName, const std::string& backupSetGuid,
                                    unsigned int appType, std::string& serverName,
                                    std::vector<IdxSrvrInfo>& servers);

    // The number of databases with an entry.
    size_t size();

private:
    struct Slot {
        std::shared_ptr<DbToSrvrCache_t> entry;  // shared: a caller keeps using an entry evicted meanwhile
        std::list<std::string>::iterator lru;    // its place in m_lru
    };
    // The entry of `key`, made when missing and marked as the most recently asked; null on a broken lock.
    std::shared_ptr<DbToSrvrCache_t> acquire(const std::string& key);
    // Drops `key` when it still maps to `entry` and `entry` holds no look-up (its look-ups all failed).
    void dropIfEmpty(const std::string& key, const DbToSrvrCache_t* entry) REQUIRES(entry->m_lock);

    const size_t m_maxEntries;
    const CHubClock& m_clock;
    std::map<std::string, Slot> m_map GUARDED_BY(m_lock);
    std::list<std::string> m_lru GUARDED_BY(m_lock);  // keys of m_map, most recently asked first
    ZyCriticalSection m_lock;
};

}  // namespace Utils
}  // namespace I2
