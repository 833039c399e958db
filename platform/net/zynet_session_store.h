// Idle and lent sessions of the session pools, by key: lends a sound idle session or a new one,
// takes lent sessions back (keeping the sound ones for a while: one idle for the limit is closed then,
// by the store's sweeper, even when nothing else happens), and closes them all. Internal to the pools;
// any thread.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/errors/cuxerror.h"
#include "platform/net/zynet_socket.h"
#include "platform/net/zynetwork.h"
#include "platform/threads/hubclock.h"
#include "platform/threads/hubmutex.h"
#include "platform/threads/idlesweeper.h"

class CZynSessionStore {
public:
    struct TLimits {
        int idleSeconds = 3600;       // an idle session older than this is closed, not lent
        unsigned maxIdlePerKey = 40;  // idle sessions kept per key; more are closed on return
        unsigned maxSessions = 0;     // lent and idle sessions of one key at once; 0: no limit
    };
    using Connect = std::function<CUxError(CZyNetwork& session)>;

    explicit CZynSessionStore(const CHubClock& clock = CHubClock::real());
    ~CZynSessionStore();

    void setLimits(const TLimits& limits);
    // A sound idle session of `key`, else a new one opened by `connect` (outside the store's lock).
    CUxError lend(const std::string& key, const Connect& connect, CZyNetwork*& session);
    // Takes back a session this store lent (and clears the pointer); it is kept when it can serve
    // again, else closed. An error, and nothing done, for a session it did not lend.
    CUxError takeBack(CZyNetwork*& session);
    // Closes every idle session; lent ones are shut (their calls fail) and closed when returned.
    void closeAll();
    size_t idleCount(const std::string& key) const;

private:
    struct TIdle {
        std::unique_ptr<CZyNetwork> session;
        zynet::Clock::time_point since;
    };
    struct TLent {
        std::string key;
        std::unique_ptr<CZyNetwork> session;
    };
    size_t countOf(const std::string& key) const REQUIRES(m_mutex);
    std::optional<CHubClock::Steady::time_point> sweepIdle();

    mutable CHubMutex m_mutex;
    TLimits m_limits GUARDED_BY(m_mutex);
    std::map<std::string, std::deque<TIdle>> m_idle GUARDED_BY(m_mutex);  // newest at the back
    std::map<CZyNetwork*, TLent> m_lent GUARDED_BY(m_mutex);
    std::map<std::string, unsigned> m_connecting GUARDED_BY(m_mutex);  // sessions being opened per key
    const CHubClock& m_clock;
    CHubIdleSweeper::CEntry m_sweeper;  // last: gone before what its sweep reads
};
