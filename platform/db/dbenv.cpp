// CDbEnv: the process database and the per-thread connections.
#include "platform/db/dbenv.h"

#include <atomic>
#include <mutex>
#include <vector>

#include "platform/db/dbresult.h"

namespace zydb {

namespace {

struct EnvState {
    std::mutex mutex;  // guards path, options
    std::string path;
    DbOpenOptions options;
    std::atomic<unsigned long long> generation{1};  // changes with every open and close
    std::atomic<bool> open{false};
    // Transaction connections given back, all of the current generation: opening one reads the
    // whole schema, which cost more than the short transactions they serve.
    std::vector<std::unique_ptr<IDbConnection>> idle;
    std::vector<std::shared_ptr<IDbConnection>> threadIdle;  // of ended threads, current generation
};

// As many as the transactions a busy host runs side by side (a security check per browse).
constexpr size_t kIdleConnections = 64;

EnvState& env() {
    static EnvState* s = new EnvState;  // lives until exit: threads may outlive static destruction
    return *s;
}

// Connections of threads that ended, for the next threads: a server runs each connection of its peers
// on a thread of its own, and a thread's first query would otherwise open a connection and read the
// whole schema again.
constexpr size_t kIdleThreadConnections = 64;

struct ThreadConn {
    unsigned long long generation = 0;
    std::shared_ptr<IDbConnection> conn;

    ThreadConn() = default;
    ThreadConn(const ThreadConn&) = delete;
    ThreadConn& operator=(ThreadConn&& other) noexcept {
        generation = other.generation;
        conn = std::move(other.conn);
        return *this;
    }
    // At the thread's end a connection no one else holds, with nothing open on it, serves the next thread.
    ~ThreadConn() {
        if (!conn || conn.use_count() != 1 || conn->busy()) return;
        std::lock_guard<std::mutex> g(env().mutex);
        if (env().open.load() && env().generation.load() == generation &&
            env().threadIdle.size() < kIdleThreadConnections)
            env().threadIdle.push_back(std::move(conn));
    }
};

thread_local ThreadConn t_conn;

int connectNow(std::unique_ptr<IDbConnection>& out, unsigned long long* generation, std::string* error) {
    std::string path;
    DbOpenOptions options;
    {
        std::lock_guard<std::mutex> g(env().mutex);
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

int CDbEnv::open(const std::string& path, const DbOpenOptions& options, std::string* error) {
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
    std::lock_guard<std::mutex> g(env().mutex);
    stale.swap(env().idle);
    staleOfThreads.swap(env().threadIdle);
    env().path = path;
    env().options = options;
    env().generation.fetch_add(1);
    env().open.store(true);
    return DB_OK;
}

void CDbEnv::close() {
    std::vector<std::unique_ptr<IDbConnection>> stale;  // closed after the lock is let go
    std::vector<std::shared_ptr<IDbConnection>> staleOfThreads;
    std::lock_guard<std::mutex> g(env().mutex);
    stale.swap(env().idle);
    staleOfThreads.swap(env().threadIdle);
    env().open.store(false);
    env().path.clear();
    env().generation.fetch_add(1);
    t_conn = ThreadConn{};
}

bool CDbEnv::isOpen() { return env().open.load(); }

unsigned long long CDbEnv::generation() { return env().generation.load(); }

std::string CDbEnv::path() {
    std::lock_guard<std::mutex> g(env().mutex);
    return env().path;
}

std::shared_ptr<IDbConnection> CDbEnv::threadConnection(int* rc, std::string* error) {
    if (t_conn.conn && t_conn.generation == env().generation.load()) {
        if (rc) *rc = DB_OK;
        return t_conn.conn;
    }
    t_conn = ThreadConn{};
    {
        std::lock_guard<std::mutex> g(env().mutex);
        if (env().open.load() && !env().threadIdle.empty()) {
            t_conn.conn = std::move(env().threadIdle.back());
            env().threadIdle.pop_back();
            t_conn.generation = env().generation.load();
            if (rc) *rc = DB_OK;
            return t_conn.conn;
        }
    }
    unsigned long long gen = 0;
    std::unique_ptr<IDbConnection> conn;
    int r = connectNow(conn, &gen, error);
    if (rc) *rc = r;
    if (r != DB_OK) return nullptr;
    t_conn.conn = std::move(conn);
    t_conn.generation = gen;
    return t_conn.conn;
}

std::shared_ptr<IDbConnection> CDbEnv::newConnection(int* rc, std::string* error) {
    std::unique_ptr<IDbConnection> conn;
    unsigned long long gen = 0;
    {
        std::lock_guard<std::mutex> g(env().mutex);
        if (env().open.load() && !env().idle.empty()) {
            conn = std::move(env().idle.back());
            env().idle.pop_back();
            gen = env().generation.load();
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
        std::lock_guard<std::mutex> g(env().mutex);
        if (env().open.load() && env().generation.load() == gen && env().idle.size() < kIdleConnections)
            env().idle.push_back(std::move(owned));
    });
}

}  // namespace zydb
