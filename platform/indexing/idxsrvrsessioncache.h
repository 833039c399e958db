// I2::Utils::DbToIdxSrvrSessionCache: pooled sessions to the index service ("IndexingService_0") that
// serves an index database, kept per database, engine type and index server. The index server is the
// one the caller names, else the first online node that the index-server look-up (IdxDbInfoCache) gives
// for the database. Each lent session remembers its pool, so it returns there even after the database's
// cache was cleared (it is then closed). Instance() is process-wide; any thread may lend and return.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/errors/cuxerror.h"
#include "platform/net/zynet_session_store.h"
#include "platform/net/zynetwork.h"
#include "platform/tasks/msgenums.h"
#include "platform/threads/hubmutex.h"

namespace I2 {
namespace Utils {

class DbToIdxSrvrSessionCache {
public:
    static constexpr const char* kIndexService = "IndexingService_0";
    static constexpr int kConnectSeconds = 30;

    // Idle sessions expire on `clock`.
    explicit DbToIdxSrvrSessionCache(const CHubClock& clock = CHubClock::real());
    ~DbToIdxSrvrSessionCache();
    DbToIdxSrvrSessionCache(const DbToIdxSrvrSessionCache&) = delete;
    DbToIdxSrvrSessionCache& operator=(const DbToIdxSrvrSessionCache&) = delete;

    // The process-wide cache (never destroyed).
    static DbToIdxSrvrSessionCache* Instance();

    // Lends a session to the index service of database `dbKey` ("<backup-set GUID>:<database>", as
    // FormBackupSetAndDbName forms it) of `engineType` on `indexServer` (empty: the database's index
    // server from the look-up). `sessionKey` names the pool, for ReleaseSession. With `cancel`, the
    // connect and the lent session's waits end once it is cancelled, until the session is given back.
    CUxError GetSession(const std::string& dbKey, App::IdxDbEngineType engineType,
                        const std::string& indexServer, CZyNetwork*& session, std::string& sessionKey,
                        const CZyNetCancel* cancel = nullptr);
    // Gives a lent session back to the pool it came from (the key is only checked); clears the
    // pointer. An error for a session this cache did not lend.
    CUxError ReleaseSession(const std::string& sessionKey, CZyNetwork*& session);
    CUxError ReleaseSession(const std::string& dbKey, App::IdxDbEngineType engineType,
                            const std::string& indexServer, CZyNetwork*& session);
    // Drops the pools of the database (of every index server when `indexServer` is empty): a pool with
    // no session lent is closed at once; one whose sessions other threads still use is closed when the
    // last comes back (those sessions keep working meanwhile). The last argument is not used.
    void ClearCacheForDb(const std::string& dbKey, App::IdxDbEngineType engineType,
                         const std::string& indexServer, const std::string& reserved);

    // Drops every pool as ClearCacheForDb does: the service is cleaning up.
    void clearAll();

    // Pools held and sessions lent, for the host's view and tests.
    size_t poolCount() const;
    size_t lentCount() const;

private:
    static std::string poolKey(const std::string& dbKey, App::IdxDbEngineType engineType,
                               const std::string& indexServer);
    // Drops the pools whose keys begin with `prefix`.
    void clearPrefix(const std::string& prefix);
    // The database's index server from the look-up: its first node that is not offline.
    CUxError lookUpIndexServer(const std::string& dbKey, std::string& indexServer);

    struct TPool {
        explicit TPool(const CHubClock& clock) : store(clock) {}
        CZynSessionStore store;
        int lent = 0;          // sessions lent and not yet returned; guarded by m_mutex
        bool retired = false;  // dropped from m_pools: closed once nothing is lent; guarded by m_mutex
    };
    using PoolPtr = std::shared_ptr<TPool>;

    const CHubClock& m_clock;
    mutable CHubMutex m_mutex;                                   // also guards the pools' counts
    std::map<std::string, PoolPtr> m_pools GUARDED_BY(m_mutex);  // by pool key
    std::map<CZyNetwork*, PoolPtr> m_lent GUARDED_BY(m_mutex);   // each lent session's pool
};

}  // namespace Utils
}  // namespace I2
