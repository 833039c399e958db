// ODSSessionCache: the process-wide cache of sessions to on-demand services on media agents. It launches
// a service on a host when no pool is filed under the caller's key, lends one session per send, and takes
// it back into the pool it came from. The browses that use a key hold it (CODSPoolHold) while they may
// still send; when the last hold of a key goes, its pool is kept for a short grace (the next page of the
// same session finds its instance still there), then retired, which closes its sessions and so ends the
// launched instance behind them. A pool that stops lending is retired (its sessions still lent finish and
// come back to it) and replaced by a fresh launch; pools nobody holds or used for the configured time are
// dropped. Any thread; the cache's lock serialises lending, launching and returning.
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "platform/errors/cuxerror.h"
#include "platform/net/zyondemand_pool.h"
#include "platform/threads/hubclock.h"
#include "platform/threads/hubmutex.h"
#include "platform/threads/idlesweeper.h"

class CZyNetwork;
namespace CNSession {
class LaunchOnDemandServiceDetails;
}

// The client name this process opens sessions under: the Hubmaster's client name on a Hubmaster
// platform (bit 0x1 of the platform type), else this machine's, at most 255 characters.
std::string GetSessionLocalName();

class ODSSessionCache {
public:
    // Registry value (section "EventManager", seconds): a pool nobody used for this long is dropped.
    static constexpr const char* kPoolIdleLimitName = "nODSPoolIdleLimitSec";
    static constexpr unsigned kDefaultPoolIdleLimitSeconds = 3600;
    // Registry value (section "EventManager", seconds): how long a pool stays after the last browse
    // holding its key has ended; 0 ends it at once.
    static constexpr const char* kPoolGraceName = "nODSPoolGraceSec";
    static constexpr unsigned kDefaultPoolGraceSeconds = 30;
    // Instances kept in grace at once, whoever asks for them: beyond this the oldest ends at once.
    static constexpr size_t kMaxPoolsInGrace = 32;

    static ODSSessionCache* Instance();

    // Lends a session to `service` on `host` from the pool filed under `key`, launching the service
    // first when there is none (user and password, either may be null, go with a launch). A pool that
    // lends nothing is replaced by one relaunch. Error code 22 when no launch succeeds.
    CUxError GetSession(const char* host, const char* service, const char* key, const char* user,
                        const char* password, CZyNetwork*& session);
    // Gives a lent session back to the pool that lent it. Always success.
    CUxError ReleaseSession(const char* host, const char* service, CZyNetwork* session);
    // Launches the service on the host and builds the pool of the instance; null on failure.
    ZYOnDemandSvcNetPool* LaunchODSAndCreateSessionPool(const char* host, const char* service,
                                                        const char* user, const char* password);

    // A browse that sends under `key` holds it until it ends (see CODSPoolHold); the last hold to go
    // puts the key's pool in grace, and a hold taken within the grace keeps it.
    void holdKey(const std::string& key);
    void dropKey(const std::string& key);
    // Ends every pool in grace now: the service is cleaning up, and nothing
    // launched for it may outlive it.
    void endGraces();

    // Pools filed (retired ones still waiting for their sessions not counted), sessions lent, and pools
    // in grace.
    size_t poolCount();
    size_t lentCount();
    size_t graceCount();

    // Graces and idle limits run on `clock`.
    explicit ODSSessionCache(const CHubClock& clock = CHubClock::real());
    ~ODSSessionCache();
    ODSSessionCache(const ODSSessionCache&) = delete;
    ODSSessionCache& operator=(const ODSSessionCache&) = delete;

private:
    struct TPool {
        std::unique_ptr<ZYOnDemandSvcNetPool> pool;
        int lent = 0;          // sessions of this pool not yet given back
        bool retired = false;  // replaced under its key: deleted when its last session comes back
        CHubClock::Steady::time_point lastUsed;
        bool inGrace = false;  // no browse holds the key: retired at graceEnds
        CHubClock::Steady::time_point graceSince, graceEnds;
    };
    using PoolPtr = std::shared_ptr<TPool>;

    // Under m_lock: files a freshly launched pool under `key`; null (after logging) when the launch failed.
    PoolPtr launchInto(const std::string& key, const char* host, const char* service, const char* user,
                       const char* password) REQUIRES(m_lock);
    // Takes the pool out of the map: its idle sessions are closed at once when none is lent, else when
    // the last lent one comes back.
    void retire(const std::string& key, const PoolPtr& pool) REQUIRES(m_lock);
    // Drops the pools that nobody holds and that stayed idle beyond the configured limit.
    void evictIdle() REQUIRES(m_lock);
    CUxError lendFrom(const PoolPtr& pool, CZyNetwork*& session) REQUIRES(m_lock);
    // Puts a pool nobody holds in grace (keeping the number in grace within its bound) and tells the
    // reaper when it ends.
    void startGrace(const std::string& key, const PoolPtr& pool) REQUIRES(m_lock);
    // The sweep: retires the pools whose grace is over; answers when the next grace ends.
    std::optional<CHubClock::Steady::time_point> reapGraced();

    const uint64_t m_firstPoolNumber = 3600;
    const uint32_t m_fourthPoolNumber = 10;
    std::string m_localClientName;

    CHubMutex m_lock;                                           // also guards every TPool
    std::map<std::string, PoolPtr> m_pools GUARDED_BY(m_lock);  // by the caller's key
    std::map<CZyNetwork*, PoolPtr> m_lent GUARDED_BY(m_lock);   // the pool each lent session came from
    std::map<std::string, int> m_holds GUARDED_BY(m_lock);      // browses holding each key
    const CHubClock& m_clock;
    bool m_stopping GUARDED_BY(m_lock) = false;
    // Made by the first grace and dropped when the graces end with the service, so that no sweeper
    // thread outlives it; last: gone before what its sweep reads.
    std::unique_ptr<CHubIdleSweeper::CEntry> m_reaper GUARDED_BY(m_lock);
};

// One browse's hold on the pool of a key: the pool, and the instance it launched, serve the browse's
// further sends, and go with the last hold of the key, whatever ended the browse. Movable; any thread.
class CODSPoolHold {
public:
    CODSPoolHold() = default;
    CODSPoolHold(ODSSessionCache& cache, std::string key) : m_cache(&cache), m_key(std::move(key)) {
        m_cache->holdKey(m_key);
    }
    ~CODSPoolHold() { reset(); }
    CODSPoolHold(CODSPoolHold&& other) noexcept
        : m_cache(std::exchange(other.m_cache, nullptr)), m_key(std::move(other.m_key)) {}
    CODSPoolHold& operator=(CODSPoolHold&& other) noexcept {
        if (this != &other) {
            reset();
            m_cache = std::exchange(other.m_cache, nullptr);
            m_key = std::move(other.m_key);
        }
        return *this;
    }
    void reset() {
        if (m_cache) m_cache->dropKey(m_key);
        m_cache = nullptr;
    }

private:
    ODSSessionCache* m_cache = nullptr;  // null: holds nothing
    std::string m_key;
};
