// CDbEnv: the process database and the per-thread connections.
#include "platform/db/dbenv.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <optional>
#include <utility>
#include <vector>

#include "platform/db/dbresult.h"
#include "platform/db/requestscope.h"
#include "platform/threads/hubclock.h"
#include "platform/threads/hubmutex.h"
#include "platform/threads/idlesweeper.h"
#include "platform/threads/processrest.h"
#include "platform/threads/threadresources.h"

namespace zydb {

namespace {

using Clock = CHubClock::Steady;

// Connections given back and waiting for their next user, the most recent at the back. Each one holds
// a few hundred KB (the schema, the pages it read, its compiled statements) and two open files, so a
// list keeps at most `kept`, and one left unused for kIdleSeconds is closed by the environment's sweeper
// then, whether or not anything else happens: what a burst of load opened does not stay for the
// process's life. Guarded by the environment's mutex; what leaves a list to be closed goes into
// `closing`, closed by the caller once the mutex is let go.
constexpr auto kIdleSeconds = std::chrono::seconds(30);

template <class Conn>
class CIdleList {
public:
    explicit CIdleList(size_t kept) : m_kept(kept) {}

    Conn take(Clock::time_point now, std::vector<Conn>& closing) {
        prune(now, closing);
        if (m_entries.empty()) return Conn();
        Conn conn = std::move(m_entries.back().conn);
        m_entries.pop_back();
        return conn;
    }
    // True when kept (it expires at now + kIdleSeconds).
    bool give(Conn conn, Clock::time_point now, std::vector<Conn>& closing) {
        prune(now, closing);
        if (m_entries.size() >= m_kept) {
            closing.push_back(std::move(conn));
            return false;
        }
        m_entries.push_back({std::move(conn), now});
        return true;
    }
    void clear(std::vector<Conn>& closing) {
        for (TEntry& e : m_entries) closing.push_back(std::move(e.conn));
        m_entries.clear();
    }
    void prune(Clock::time_point now, std::vector<Conn>& closing) {
        while (!m_entries.empty() && now - m_entries.front().since >= kIdleSeconds) {
            closing.push_back(std::move(m_entries.front().conn));
            m_entries.pop_front();
        }
    }
    std::optional<Clock::time_point> nextExpiry() const {
        if (m_entries.empty()) return std::nullopt;
        return m_entries.front().since + kIdleSeconds;
    }

private:
    struct TEntry {
        Conn conn;
        Clock::time_point since;
    };
    const size_t m_kept;
    std::deque<TEntry> m_entries;  // given back in this order
};

// Transaction connections kept for reuse: as many as a busy host runs side by side for a while (a
// security check per browse); opening one reads the whole schema.
constexpr size_t kIdleConnections = 32;
// Connections of threads that ended or wait for work, for the next threads: a server runs each
// connection of its peers on a thread of its own, and a thread's first query would otherwise open a
// connection and read the whole schema again. As many as the sessions a busy host serves side by side:
// with fewer, most browses of a steady load paid for a new connection.
constexpr size_t kIdleThreadConnections = 64;

// The connection a live thread keeps between its uses. A thread that waits long for something other
// than work (a periodic task's thread, a controller waiting for its stop) would keep it for ever, and
// with it more than its own files: a connection that has read holds a lock on the database file for
// as long as it is open, and while any connection of the process holds one, SQLite keeps the
// descriptor of every connection closed meanwhile open, to be reused. So the sweeper closes a thread's
// connection once it has gone unused for kIdleSeconds, when nobody holds it (the thread, a request's
// read hold or a caller's statement); the thread opens or takes another at its next use. The thread
// reads its slot under the slot's mutex, which the sweeper takes too: never both at once with the
// environment's, but for the sweeper, which takes the environment's first.
struct TThreadSlot {
    CHubMutex mutex;
    std::shared_ptr<IDbConnection> conn GUARDED_BY(mutex);
    unsigned long long generation GUARDED_BY(mutex) = 0;
    bool used GUARDED_BY(mutex) = false;  // since the sweeper last looked
    // The sweeper's own: since when it has seen the connection unused.
    Clock::time_point quietSince GUARDED_BY(mutex);
};

struct EnvState {
    CHubMutex mutex;  // guards everything below but the atomics
    std::string path GUARDED_BY(mutex);
    DbOpenOptions options GUARDED_BY(mutex);
    std::atomic<unsigned long long> generation{1};  // changes with every open and close
    std::atomic<bool> open{false};
    // Both of the current generation only.
    CIdleList<std::unique_ptr<IDbConnection>> idle GUARDED_BY(mutex){kIdleConnections};
    // Of ended threads.
    CIdleList<std::shared_ptr<IDbConnection>> threadIdle GUARDED_BY(mutex){kIdleThreadConnections};
    // Of the current database: the clock it was opened with, and what closes its idle connections.
    const CHubClock* clock GUARDED_BY(mutex) = &CHubClock::real();
    std::unique_ptr<CHubIdleSweeper::CEntry> sweeper GUARDED_BY(mutex);
    // The connections that live threads keep, for the sweeper to close those left unused.
    std::vector<std::weak_ptr<TThreadSlot>> slots GUARDED_BY(mutex);
    // The database holds the process busy (processrest.h) from the first connection it keeps until its
    // sweeper finds none left, or it is closed.
    bool holdsProcess GUARDED_BY(mutex) = false;
};

EnvState& env() {
    static EnvState* s = new EnvState;  // lives until exit: threads may outlive static destruction
    return *s;
}

std::optional<Clock::time_point> earliest(std::optional<Clock::time_point> a,
                                          std::optional<Clock::time_point> b) {
    if (a && b) return std::min(*a, *b);
    return a ? a : b;
}

// Takes the connection of `slot` when it has gone unused for kIdleSeconds and nobody holds it; answers
// when to look again (nothing: it keeps none).
std::optional<Clock::time_point> sweepSlot(TThreadSlot& slot, Clock::time_point now,
                                           std::vector<std::shared_ptr<IDbConnection>>& closing) {
    CHubMutexLock g(slot.mutex);
    if (!slot.conn) return std::nullopt;
    if (slot.used) {
        slot.used = false;
        slot.quietSince = now;
    } else if (now - slot.quietSince >= kIdleSeconds && slot.conn.use_count() == 1 && !slot.conn->busy()) {
        closing.push_back(std::move(slot.conn));
        return std::nullopt;
    }
    return std::max(now, slot.quietSince + kIdleSeconds);
}

// A connection is kept from now on: the process is busy until the sweeper has closed the last.
void holdProcess() REQUIRES(env().mutex) {
    if (env().holdsProcess) return;
    env().holdsProcess = true;
    holdProcessBusy();
}

// True when the database held the process busy and no longer does.
bool letProcessGo() REQUIRES(env().mutex) {
    return std::exchange(env().holdsProcess, false);
}

// Closes the connections idle for too long, into the vectors given; answers when the next one will be.
std::optional<Clock::time_point> sweepIdleLocked(
    std::vector<std::unique_ptr<IDbConnection>>& closing,
    std::vector<std::shared_ptr<IDbConnection>>& closingOfThreads) REQUIRES(env().mutex) {
    const Clock::time_point now = env().clock->steadyNow();
    env().idle.prune(now, closing);
    env().threadIdle.prune(now, closingOfThreads);
    std::optional<Clock::time_point> next = earliest(env().idle.nextExpiry(), env().threadIdle.nextExpiry());
    std::vector<std::weak_ptr<TThreadSlot>>& slots = env().slots;
    for (size_t i = 0; i < slots.size();) {
        std::shared_ptr<TThreadSlot> slot = slots[i].lock();
        if (!slot) {  // its thread ended
            slots[i] = std::move(slots.back());
            slots.pop_back();
            continue;
        }
        next = earliest(next, sweepSlot(*slot, now, closingOfThreads));
        ++i;
    }
    return next;
}

// Closes the connections idle for too long; answers when the next one will be.
std::optional<Clock::time_point> sweepIdle() {
    std::optional<Clock::time_point> next;
    bool rests = false;
    {
        std::vector<std::unique_ptr<IDbConnection>> closing;  // declared first: closed after the lock
        std::vector<std::shared_ptr<IDbConnection>> closingOfThreads;
        CHubMutexLock g(env().mutex);
        next = sweepIdleLocked(closing, closingOfThreads);
        rests = !next && letProcessGo();
    }
    // Once what it kept is closed, its memory freed.
    if (rests) releaseProcessBusy();
    return next;
}

// Gives `conn` to `list` of the current database; the sweeper closes it when it stays unused.
template <class Conn>
void keepIdle(CIdleList<Conn>& list, Conn conn, std::vector<Conn>& closing) REQUIRES(env().mutex) {
    const Clock::time_point now = env().clock->steadyNow();
    if (list.give(std::move(conn), now, closing) && env().sweeper) {
        holdProcess();
        env().sweeper->due(now + kIdleSeconds);
    }
}

// The calling thread's slot, made and entered in the environment's list at its first connection.
struct ThreadConn {
    std::shared_ptr<TThreadSlot> slot;

    // At the thread's end a connection no one else holds, with nothing open on it, serves the next thread.
    ~ThreadConn() { giveBack(); }
    void giveBack() {
        if (!slot) return;
        std::vector<std::shared_ptr<IDbConnection>> closing;  // declared first: closed after the lock
        std::shared_ptr<IDbConnection> mine;
        unsigned long long generation = 0;
        {
            CHubMutexLock s(slot->mutex);
            mine = std::move(slot->conn);
            generation = slot->generation;
        }
        if (!mine) return;
        mine->holdReads(false);  // the next thread's reads are its own
        if (mine.use_count() != 1 || mine->busy()) return;
        CHubMutexLock g(env().mutex);
        if (env().open.load() && env().generation.load() == generation)
            keepIdle(env().threadIdle, std::move(mine), closing);
    }
    // The slot's connection when it is of the current database (marked used), else null.
    std::shared_ptr<IDbConnection> current() {
        if (!slot) return nullptr;
        CHubMutexLock s(slot->mutex);
        if (!slot->conn || slot->generation != env().generation.load()) return nullptr;
        slot->used = true;
        return slot->conn;
    }
    // Makes `conn` the thread's, of database generation `generation`.
    void keep(std::shared_ptr<IDbConnection> conn, unsigned long long generation) {
        std::shared_ptr<IDbConnection> replaced;  // closed after the lock
        bool entered = true;
        if (!slot) {
            slot = std::make_shared<TThreadSlot>();
            entered = false;
        }
        {
            CHubMutexLock s(slot->mutex);
            replaced = std::exchange(slot->conn, std::move(conn));
            slot->generation = generation;
            slot->used = true;
        }
        CHubMutexLock g(env().mutex);
        if (!entered) env().slots.push_back(slot);
        if (env().sweeper) {
            holdProcess();
            env().sweeper->due(env().clock->steadyNow() + kIdleSeconds);
        }
    }
    // Drops the thread's connection (of an earlier database) without giving it back.
    void drop() {
        if (!slot) return;
        std::shared_ptr<IDbConnection> dropped;  // closed after the lock
        CHubMutexLock s(slot->mutex);
        dropped = std::move(slot->conn);
    }
};

thread_local ThreadConn t_conn;

// Threads that wait for work (a network server's between sessions) give their connection back: the
// kept connections stay within their bound however many threads wait.
const bool g_releasedByWaitingThreads =
    (registerThreadResourceRelease(&CDbEnv::releaseThreadConnection), true);

int connectNow(std::unique_ptr<IDbConnection>& out, unsigned long long* generation, std::string* error) {
    std::string path;
    DbOpenOptions options;
    {
        CHubMutexLock g(env().mutex);
        if (!env().open.load()) {
            if (error) *error = "no database is open";
            return DB_ERR_NOT_OPEN;
        }
        path = env().path;
        options = env().options;
        options.create = false;  // only open() may create the file
        if (generation) *generation = env().generation.load();
    }
    std::unique_ptr<IDbConnection> conn;
    std::string err;
    int rc = sqliteBackend().connect(path, options, conn, err);
    if (rc != DB_OK) {
        if (error) *error = path + ": " + err;
        return rc;
    }
    out = std::move(conn);
    return DB_OK;
}

}  // namespace

int CDbEnv::open(const std::string& path, const DbOpenOptions& options, std::string* error,
                 const CHubClock& clock) {
    std::unique_ptr<IDbConnection> probe;
    std::string err;
    int rc = sqliteBackend().connect(path, options, probe, err);
    if (rc != DB_OK) {
        if (error) *error = path + ": " + err;
        return rc;
    }
    probe.reset();
    std::vector<std::unique_ptr<IDbConnection>> stale;  // closed after the lock is let go
    std::vector<std::shared_ptr<IDbConnection>> staleOfThreads;
    std::unique_ptr<CHubIdleSweeper::CEntry>
        oldSweeper;  // ended after the lock is let go: its sweep takes it
    auto sweeper = std::make_unique<CHubIdleSweeper::CEntry>(clock, sweepIdle);
    CHubMutexLock g(env().mutex);
    env().idle.clear(stale);
    env().threadIdle.clear(staleOfThreads);
    env().path = path;
    env().options = options;
    env().clock = &clock;
    oldSweeper = std::exchange(env().sweeper, std::move(sweeper));
    env().generation.fetch_add(1);
    env().open.store(true);
    // The threads' connections of the database before are the new sweeper's to close: the process stays
    // busy until it has looked.
    if (env().holdsProcess) env().sweeper->due(clock.steadyNow());
    return DB_OK;
}

void CDbEnv::close() {
    bool rests = false;
    {
        std::vector<std::unique_ptr<IDbConnection>> stale;  // closed after the lock is let go
        std::vector<std::shared_ptr<IDbConnection>> staleOfThreads;
        std::unique_ptr<CHubIdleSweeper::CEntry>
            oldSweeper;  // ended after the lock is let go: its sweep takes it
        CHubMutexLock g(env().mutex);
        env().idle.clear(stale);
        env().threadIdle.clear(staleOfThreads);
        oldSweeper = std::move(env().sweeper);
        env().open.store(false);
        env().path.clear();
        env().generation.fetch_add(1);
        t_conn.drop();
        rests = letProcessGo();
    }
    if (rests) releaseProcessBusy();
}

void CDbEnv::releaseThreadConnection() {
    (void)g_releasedByWaitingThreads;
    t_conn.giveBack();
}

bool CDbEnv::isOpen() {
    return env().open.load();
}

unsigned long long CDbEnv::generation() {
    return env().generation.load();
}

const CHubClock& CDbEnv::clock() {
    CHubMutexLock g(env().mutex);
    return *env().clock;
}

std::string CDbEnv::path() {
    CHubMutexLock g(env().mutex);
    return env().path;
}

std::shared_ptr<IDbConnection> CDbEnv::threadConnection(int* rc, std::string* error) {
    settleRequest();  // an open request holds its reads from the first one on
    if (std::shared_ptr<IDbConnection> conn = t_conn.current()) {
        if (rc) *rc = DB_OK;
        return conn;
    }
    t_conn.drop();
    {
        std::vector<std::shared_ptr<IDbConnection>> closing;  // declared first: closed after the lock
        std::shared_ptr<IDbConnection> kept;
        unsigned long long gen = 0;
        {
            CHubMutexLock g(env().mutex);
            if (env().open.load()) {
                kept = env().threadIdle.take(env().clock->steadyNow(), closing);
                gen = env().generation.load();
            }
        }
        if (kept) {
            t_conn.keep(kept, gen);
            if (rc) *rc = DB_OK;
            return kept;
        }
    }
    unsigned long long gen = 0;
    std::unique_ptr<IDbConnection> conn;
    int r = connectNow(conn, &gen, error);
    if (rc) *rc = r;
    if (r != DB_OK) return nullptr;
    std::shared_ptr<IDbConnection> shared = std::move(conn);
    t_conn.keep(shared, gen);
    return shared;
}

std::shared_ptr<IDbConnection> CDbEnv::newConnection(int* rc, std::string* error) {
    std::unique_ptr<IDbConnection> conn;
    unsigned long long gen = 0;
    {
        std::vector<std::unique_ptr<IDbConnection>> closing;  // declared first: closed after the lock
        CHubMutexLock g(env().mutex);
        if (env().open.load()) {
            conn = env().idle.take(env().clock->steadyNow(), closing);
            if (conn) gen = env().generation.load();
        }
    }
    if (!conn) {
        int r = connectNow(conn, &gen, error);
        if (rc) *rc = r;
        if (r != DB_OK) return nullptr;
    }
    if (rc) *rc = DB_OK;
    // Back to the idle list when the last holder lets go, unless the database changed since, the
    // list is full, or a transaction or a result is still open on it.
    return std::shared_ptr<IDbConnection>(conn.release(), [gen](IDbConnection* c) {
        std::unique_ptr<IDbConnection> owned(c);
        if (owned->busy()) return;
        std::vector<std::unique_ptr<IDbConnection>> closing;  // declared first: closed after the lock
        CHubMutexLock g(env().mutex);
        if (env().open.load() && env().generation.load() == gen)
            keepIdle(env().idle, std::move(owned), closing);
    });
}

}  // namespace zydb
