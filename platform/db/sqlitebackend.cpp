// The SQLite engine behind IDbBackend: WAL, a busy timeout, the dialect's functions, mapped codes.
#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <charconv>
#include <cstring>
#include <list>
#include <string_view>
#include <unordered_map>

#include "platform/config/privatefile.h"
#include "platform/db/dbbackend.h"
#include "platform/db/dbresult.h"

namespace zydb {

namespace {

int mapCode(int rc) {
    switch (rc & 0xff) {
        case SQLITE_OK:
            return DB_OK;
        case SQLITE_ROW:
            return DB_OK;
        case SQLITE_DONE:
            return DB_NO_DATA;
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
            return DB_ERR_BUSY;
        case SQLITE_CONSTRAINT:
            return DB_ERR_CONSTRAINT;
        case SQLITE_ERROR:
        case SQLITE_RANGE:
        case SQLITE_MISMATCH:
        case SQLITE_TOOBIG:
            return DB_ERR_SQL;
        case SQLITE_IOERR:
        case SQLITE_CORRUPT:
        case SQLITE_FULL:
        case SQLITE_NOTADB:
        case SQLITE_READONLY:
        case SQLITE_PROTOCOL:
            return DB_ERR_IO;
        case SQLITE_CANTOPEN:
            return DB_ERR_NOT_OPEN;
        case SQLITE_MISUSE:
            return DB_ERR_STATE;
        default:
            return DB_ERR_GENERAL;
    }
}

// The management server's CHECKSUM over text is blind to letter case (its default collation is), so
// the hash folds ASCII case: CHECKSUM(N'IdxLogs_V1') equals CHECKSUM of the name as stored.
void checksumFunction(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
    unsigned int h = 2166136261u;
    for (int a = 0; a < argc; ++a) {
        if (sqlite3_value_type(argv[a]) == SQLITE_NULL) {
            h = (h ^ 0xffu) * 16777619u;
            continue;
        }
        const unsigned char* t = sqlite3_value_text(argv[a]);
        int n = sqlite3_value_bytes(argv[a]);
        for (int k = 0; k < n; ++k) {
            unsigned char c = t[k];
            if (c >= 'A' && c <= 'Z') c = static_cast<unsigned char>(c - 'A' + 'a');
            h = (h ^ c) * 16777619u;
        }
        h = (h ^ 0x1fu) * 16777619u;  // separates the arguments
    }
    sqlite3_result_int(ctx, static_cast<int>(h));
}

// The first keyword of a statement, upper-cased, blanks skipped.
std::string_view firstKeyword(std::string_view sql, char (&buf)[12]) {
    size_t b = 0;
    while (b < sql.size() && (sql[b] == ' ' || sql[b] == '\t' || sql[b] == '\n' || sql[b] == '\r')) ++b;
    size_t n = 0;
    while (b + n < sql.size() && n < sizeof buf && std::isalpha(static_cast<unsigned char>(sql[b + n]))) {
        buf[n] = static_cast<char>(std::toupper(static_cast<unsigned char>(sql[b + n])));
        ++n;
    }
    return {buf, n};
}

// Statements that change the schema: they are not kept, and running one drops what is kept.
bool changesSchema(std::string_view sql) {
    char buf[12];
    std::string_view k = firstKeyword(sql, buf);
    return k == "CREATE" || k == "DROP" || k == "ALTER" || k == "REINDEX" || k == "VACUUM";
}

// What the statements kept by every connection of the process hold, in bytes: each connection keeps
// its own, and a host has a connection per serving thread and more parked idle, so a bound per
// connection alone lets the whole grow with the threads that ever served.
std::atomic<size_t> g_keptStatementBytes{0};
std::atomic<size_t> g_openStatementCaches{0};  // one per open connection

// Compiled statements of one connection kept for reuse, keyed by their exact text. A statement is
// taken out while in use and comes back reset with its bindings cleared, so two cursors over the
// same text never share one. Shared with the statements handed out so that one outliving its
// connection finalizes instead of coming back. Same thread as the connection.
class StatementCache {
public:
    // A request runs a few dozen texts; each kept statement costs several KB on every connection.
    static constexpr size_t kCapacity = 64;

    explicit StatementCache(sqlite3* db) : m_db(db) { ++g_openStatementCaches; }

    // A kept statement for `sql`, or null; `sql` goes back with it, and `bytes`, what it was measured
    // to hold when first kept.
    sqlite3_stmt* take(const std::string& sql, std::string& key, size_t& bytes) {
        auto it = m_index.find(std::string_view(sql));
        if (it == m_index.end()) return nullptr;
        auto node = it->second;
        m_index.erase(it);
        sqlite3_stmt* st = node->st;
        key = std::move(node->sql);
        bytes = node->bytes;
        g_keptStatementBytes -= node->bytes;
        m_bytes -= node->bytes;
        m_lru.erase(node);
        return st;
    }

    // Keeps a released statement, or finalizes it when the cache was cleared since it was taken,
    // the connection is gone, or the same text is already kept. While the process is over its budget
    // a connection first gives up its own oldest down to its share of the budget, so that connections
    // that no longer serve cannot leave none to those that do: all of them together hold at most
    // twice the budget. A statement is measured once, when first kept (`bytes` 0): measuring walks all
    // it holds.
    void give(std::string&& sql, sqlite3_stmt* st, unsigned long long epoch, size_t bytes) {
        sqlite3_reset(st);
        sqlite3_clear_bindings(st);
        if (m_db == nullptr || epoch != m_epoch || m_index.count(std::string_view(sql))) {
            sqlite3_finalize(st);
            return;
        }
        if (bytes == 0) bytes = static_cast<size_t>(sqlite3_stmt_status(st, SQLITE_STMTSTATUS_MEMUSED, 0));
        const size_t share = kKeptStatementBytes / std::max<size_t>(1, g_openStatementCaches);
        while (!m_lru.empty() &&
               (m_lru.size() >= kCapacity ||
                (g_keptStatementBytes + bytes > kKeptStatementBytes && m_bytes + bytes > share)))
            dropOldest();
        g_keptStatementBytes += bytes;
        m_bytes += bytes;
        m_lru.push_front(Entry{std::move(sql), st, bytes});
        m_index.emplace(std::string_view(m_lru.front().sql), m_lru.begin());
    }

    // Finalizes every kept statement; those in use finalize when released.
    void clear() {
        ++m_epoch;
        m_index.clear();
        while (!m_lru.empty()) dropOldest();
    }
    void close() {
        clear();
        if (m_db != nullptr) --g_openStatementCaches;
        sqlite3_finalize(m_begin);
        sqlite3_finalize(m_commit);
        m_begin = m_commit = nullptr;
        m_db = nullptr;
    }
    unsigned long long epoch() const { return m_epoch; }
    size_t size() const { return m_lru.size(); }

    // The connection's hold of reads (IDbConnection::holdReads).
    bool holdReads = false;
    bool readOpen = false;   // the hold's read transaction is open
    bool inControl = false;  // exec runs transaction control: its statements begin nothing
    void beginReads() {
        if (!holdReads || readOpen || inControl || !m_db || !sqlite3_get_autocommit(m_db)) return;
        readOpen = runKept(m_begin, "BEGIN");
    }
    void endReads() {
        if (!readOpen) return;
        readOpen = false;
        if (m_db && !sqlite3_get_autocommit(m_db)) runKept(m_commit, "COMMIT");
    }

private:
    struct Entry {
        std::string sql;
        sqlite3_stmt* st;
        size_t bytes;  // what the statement held when it was kept
    };
    void dropOldest() {
        m_index.erase(std::string_view(m_lru.back().sql));
        g_keptStatementBytes -= m_lru.back().bytes;
        m_bytes -= m_lru.back().bytes;
        sqlite3_finalize(m_lru.back().st);
        m_lru.pop_back();
    }
    // Runs `sql` through its statement, compiled on first use; true when it ran.
    bool runKept(sqlite3_stmt*& st, const char* sql) {
        if (!st && sqlite3_prepare_v2(m_db, sql, -1, &st, nullptr) != SQLITE_OK) {
            sqlite3_finalize(st);
            st = nullptr;
            return false;
        }
        const int rc = sqlite3_step(st);
        sqlite3_reset(st);
        return rc == SQLITE_DONE;
    }
    sqlite3* m_db;                    // null once the connection closed
    sqlite3_stmt* m_begin = nullptr;  // the hold's transaction statements
    sqlite3_stmt* m_commit = nullptr;
    unsigned long long m_epoch = 0;
    size_t m_bytes = 0;      // what this connection's kept statements hold
    std::list<Entry> m_lru;  // most recently released first
    std::unordered_map<std::string_view, std::list<Entry>::iterator> m_index;  // views into m_lru
};

class SqliteStatement final : public IDbStatement {
public:
    SqliteStatement(sqlite3_stmt* st, std::shared_ptr<StatementCache> cache, std::string sql,
                    size_t keptBytes = 0)
        : m_st(st),
          m_cache(std::move(cache)),
          m_sql(std::move(sql)),
          m_epoch(m_cache->epoch()),
          m_keptBytes(keptBytes) {}
    ~SqliteStatement() override {
        if (m_ddl) {
            sqlite3_finalize(m_st);
            m_cache->clear();
        } else {
            m_cache->give(std::move(m_sql), m_st, m_epoch, m_keptBytes);
        }
    }

    int bind(int index, const DbValue& v) override {
        int rc = SQLITE_OK;
        switch (v.kind) {
            case DbValue::Null:
                rc = sqlite3_bind_null(m_st, index);
                break;
            case DbValue::Int:
                rc = sqlite3_bind_int64(m_st, index, v.i);
                break;
            case DbValue::Real:
                rc = sqlite3_bind_double(m_st, index, v.d);
                break;
            case DbValue::Text:
                // SQLite would keep the bytes after a NUL, and comparisons would see them or not
                // depending on the collation: such text is refused as the message layer refuses it.
                if (v.s.find('\0') != std::string::npos) return DB_ERR_ARGUMENT;
                rc = sqlite3_bind_text(m_st, index, v.s.data(), static_cast<int>(v.s.size()),
                                       SQLITE_TRANSIENT);
                break;
        }
        return mapCode(rc);
    }
    int step() override {
        // The first step of a run decides: a read joins the hold's transaction, a write ends it first.
        if (m_cache->holdReads && !sqlite3_stmt_busy(m_st)) {
            if (sqlite3_stmt_readonly(m_st))
                m_cache->beginReads();
            else
                m_cache->endReads();
        }
        int rc = sqlite3_step(m_st);
        if (rc == SQLITE_ROW) return DB_OK;
        if (rc == SQLITE_DONE) return DB_NO_DATA;
        return mapCode(rc);
    }
    void reset() override {
        sqlite3_reset(m_st);
        sqlite3_clear_bindings(m_st);
    }
    int columnCount() const override { return sqlite3_column_count(m_st); }
    bool columnIsNull(int col) const override { return sqlite3_column_type(m_st, col) == SQLITE_NULL; }
    long long columnInt64(int col) const override { return sqlite3_column_int64(m_st, col); }
    std::string_view columnText(int col) const override {
        const unsigned char* t = sqlite3_column_text(m_st, col);
        if (t == nullptr) return {};
        return {reinterpret_cast<const char*>(t), static_cast<size_t>(sqlite3_column_bytes(m_st, col))};
    }
    DbValue columnValue(int col) const override {
        switch (sqlite3_column_type(m_st, col)) {
            case SQLITE_NULL:
                return DbValue{};
            case SQLITE_INTEGER:
                return DbValue::ofInt(sqlite3_column_int64(m_st, col));
            case SQLITE_FLOAT:
                return DbValue::ofReal(sqlite3_column_double(m_st, col));
            default:
                return DbValue::ofText(std::string(columnText(col)));
        }
    }
    // Through the column's value: one library call with its checks instead of two. The value is
    // unprotected, which is safe here because a connection and its statements stay on one thread.
    bool readInt64(int col, long long& out) const override {
        sqlite3_value* v = sqlite3_column_value(m_st, col);
        if (sqlite3_value_type(v) == SQLITE_NULL) return false;
        out = sqlite3_value_int64(v);
        return true;
    }
    bool readText(int col, std::string_view& out) const override {
        sqlite3_value* v = sqlite3_column_value(m_st, col);
        if (sqlite3_value_type(v) == SQLITE_NULL) return false;
        const unsigned char* t = sqlite3_value_text(v);
        out = t ? std::string_view(reinterpret_cast<const char*>(t),
                                   static_cast<size_t>(sqlite3_value_bytes(v)))
                : std::string_view();
        return true;
    }

    bool m_ddl = false;  // finalized and the cache dropped on release

private:
    sqlite3_stmt* m_st;  // owned
    std::shared_ptr<StatementCache> m_cache;
    std::string m_sql;
    unsigned long long m_epoch;  // the cache's epoch when taken out
    size_t m_keptBytes;          // as measured when first kept; 0: not measured yet
};

class SqliteConnection final : public IDbConnection {
public:
    SqliteConnection(sqlite3* db, std::string path)
        : m_db(db), m_path(std::move(path)), m_cache(std::make_shared<StatementCache>(db)) {}
    ~SqliteConnection() override {
        m_cache->close();
        // Statements still in use keep the handle open until they are released.
        sqlite3_close_v2(m_db);
    }

    // Compiling dominated short queries: a statement released earlier for the same text is reused
    // (SQLite recompiles it by itself when another connection changed the schema).
    int prepare(const std::string& sql, std::unique_ptr<IDbStatement>& out) override {
        out.reset();
        std::string key;
        size_t bytes = 0;
        if (sqlite3_stmt* kept = m_cache->take(sql, key, bytes)) {
            out = std::make_unique<SqliteStatement>(kept, m_cache, std::move(key), bytes);
            return DB_OK;
        }
        sqlite3_stmt* st = nullptr;
        int rc = sqlite3_prepare_v2(m_db, sql.c_str(), static_cast<int>(sql.size()), &st, nullptr);
        if (rc != SQLITE_OK) {
            sqlite3_finalize(st);
            return mapCode(rc);
        }
        if (st == nullptr) return DB_ERR_SQL;  // only blanks or comments
        auto stmt = std::make_unique<SqliteStatement>(st, m_cache, sql);
        stmt->m_ddl = changesSchema(sql);
        out = std::move(stmt);
        return DB_OK;
    }
    int exec(const std::string& sql) override {
        m_cache->endReads();
        // The transaction statements run on every request: compiled once, like any kept statement.
        if (sql == "BEGIN" || sql == "COMMIT" || sql == "ROLLBACK") {
            std::unique_ptr<IDbStatement> st;
            int rc = prepare(sql, st);
            m_cache->inControl = true;
            if (rc == DB_OK) rc = st->step();
            m_cache->inControl = false;
            return rc == DB_NO_DATA ? DB_OK : rc;
        }
        int rc = mapCode(sqlite3_exec(m_db, sql.c_str(), nullptr, nullptr, nullptr));
        // exec runs whole scripts: anything but transaction control may have changed the schema.
        char buf[12];
        std::string_view k = firstKeyword(sql, buf);
        if (k != "BEGIN" && k != "COMMIT" && k != "ROLLBACK" && k != "END" && k != "SAVEPOINT" &&
            k != "RELEASE")
            m_cache->clear();
        return rc;
    }
    size_t cachedStatements() const override { return m_cache->size(); }
    bool inTransaction() const override { return !sqlite3_get_autocommit(m_db) && !m_cache->readOpen; }
    void holdReads(bool hold) override {
        if (!hold) m_cache->endReads();
        m_cache->holdReads = hold;
    }
    void endReads() override { m_cache->endReads(); }
    bool hasWritten() const override { return sqlite3_txn_state(m_db, "main") == SQLITE_TXN_WRITE; }
    int dataVersion(unsigned long long& out) override {
        m_cache->endReads();
        if (!sqlite3_get_autocommit(m_db)) return DB_ERR_STATE;
        // The pager learns of other connections' commits when a read transaction starts: reading the
        // header starts one. While reads are held it is the hold's, which the reads that follow share,
        // so the number is that of what they read, and no transaction is begun and ended for it alone.
        std::unique_ptr<IDbStatement> st;
        int rc = prepare("PRAGMA schema_version", st);
        if (rc != DB_OK) return rc;
        rc = st->step();
        if (rc != DB_OK) return rc == DB_NO_DATA ? DB_ERR_GENERAL : rc;
        st.reset();
        unsigned int version = 0;
        if (sqlite3_file_control(m_db, "main", SQLITE_FCNTL_DATA_VERSION, &version) != SQLITE_OK)
            return DB_ERR_GENERAL;
        out = version;
        return DB_OK;
    }
    bool busy() const override {
        if (!sqlite3_get_autocommit(m_db) && !m_cache->readOpen) return true;
        for (sqlite3_stmt* st = sqlite3_next_stmt(m_db, nullptr); st; st = sqlite3_next_stmt(m_db, st))
            if (sqlite3_stmt_busy(st)) return true;
        return false;
    }
    long long changes() const override { return sqlite3_changes64(m_db); }
    long long lastInsertId() const override { return sqlite3_last_insert_rowid(m_db); }
    std::string lastError() const override { return sqlite3_errmsg(m_db); }
    const std::string& path() const override { return m_path; }

private:
    sqlite3* m_db;  // owned
    std::string m_path;
    std::shared_ptr<StatementCache> m_cache;
};

class SqliteBackend final : public IDbBackend {
public:
    int connect(const std::string& path, const DbOpenOptions& options, std::unique_ptr<IDbConnection>& out,
                std::string& error) override {
        out.reset();
        sqlite3* db = nullptr;
        // One connection per thread: the connection itself needs no mutex of its own.
        int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | (options.create ? SQLITE_OPEN_CREATE : 0);
        // The database holds every client's catalogue: no other local user may read it. SQLite gives its
        // -wal and -shm files the database file's own mode when it makes them.
        if (path != ":memory:" && !path.empty() && path.rfind("file:", 0) != 0) {
            for (const std::string& file : {path, path + "-wal", path + "-shm"}) {
                if (!zyconfig::keepPrivate(file, options.create && file == path, &error))
                    return DB_ERR_NOT_OPEN;
            }
        }
        int rc = sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
        if (rc != SQLITE_OK) {
            error = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
            sqlite3_close_v2(db);
            return rc == SQLITE_CANTOPEN ? DB_ERR_NOT_OPEN : mapCode(rc);
        }
        sqlite3_extended_result_codes(db, 0);
        sqlite3_busy_timeout(db, options.busyTimeoutMs);
        sqlite3_create_function_v2(db, "CHECKSUM", -1, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr,
                                   checksumFunction, nullptr, nullptr, nullptr);
        auto conn = std::make_unique<SqliteConnection>(db, path);
        // WAL lets readers of other threads go on while one writer works. Each thread has a connection
        // of its own, so each one's page cache is kept small (512 KB, not SQLite's 2 MB): the operating
        // system caches the file once for all of them.
        for (const char* pragma :
             {"PRAGMA journal_mode=WAL", "PRAGMA synchronous=NORMAL", "PRAGMA cache_size=-512"}) {
            int prc = conn->exec(pragma);
            if (prc != DB_OK) {
                error = std::string(pragma) + ": " + conn->lastError();
                return prc;
            }
        }
        // A file that is not a database shows only on the first read.
        std::unique_ptr<IDbStatement> probe;
        int prc = conn->prepare("SELECT count(*) FROM sqlite_master", probe);
        if (prc == DB_OK) prc = probe->step();
        if (prc != DB_OK) {
            error = conn->lastError();
            return prc;
        }
        probe.reset();
        out = std::move(conn);
        return DB_OK;
    }
};

}  // namespace

IDbBackend& sqliteBackend() {
    // SQLite's memory statistics take one process-wide lock on every allocation: with many browse
    // threads that lock, not the queries, set the pace. Off before the library's first use (a no-op if
    // something else started it already).
    static const bool unshared = (sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0), true);
    (void)unshared;
    static SqliteBackend backend;
    return backend;
}

long long DbValue::asInt() const {
    switch (kind) {
        case Int:
            return i;
        case Real:
            return static_cast<long long>(d);
        case Text: {
            long long v = 0;
            const char* b = s.data();
            while (b < s.data() + s.size() && (*b == ' ' || *b == '\t')) ++b;
            std::from_chars(b, s.data() + s.size(), v);
            return v;
        }
        default:
            return 0;
    }
}

std::string DbValue::asText() const {
    switch (kind) {
        case Int:
            return std::to_string(i);
        case Real: {
            char buf[64];
            auto r = std::to_chars(buf, buf + sizeof buf, d);
            return std::string(buf, r.ptr);
        }
        case Text:
            return s;
        default:
            return {};
    }
}

int prepareBound(IDbConnection& conn, const std::string& sql, const std::vector<DbValue>& params,
                 std::unique_ptr<IDbStatement>& out) {
    int rc = conn.prepare(sql, out);
    if (rc != DB_OK) return rc;
    for (size_t k = 0; k < params.size(); ++k) {
        rc = out->bind(static_cast<int>(k + 1), params[k]);
        if (rc != DB_OK) {
            out.reset();
            return rc;
        }
    }
    return DB_OK;
}

int execBound(IDbConnection& conn, const std::string& sql, const std::vector<DbValue>& params) {
    std::unique_ptr<IDbStatement> st;
    int rc = prepareBound(conn, sql, params, st);
    if (rc != DB_OK) return rc;
    rc = st->step();
    return rc == DB_NO_DATA || rc == DB_OK ? DB_OK : rc;
}

const char* dbResultText(int code) {
    switch (code) {
        case DB_OK:
            return "success";
        case DB_NO_DATA:
            return "no more rows";
        case DB_ERR_BUSY:
            return "the database is locked by another writer";
        case DB_ERR_CONSTRAINT:
            return "a constraint refused the change";
        case DB_ERR_SQL:
            return "the statement is not valid";
        case DB_ERR_IO:
            return "the database file cannot be read or written";
        case DB_ERR_NOT_OPEN:
            return "no database is open";
        case DB_ERR_STATE:
            return "the operation does not fit the object's state";
        case DB_ERR_NO_PROCEDURE:
            return "no such stored procedure";
        case DB_ERR_ARGUMENT:
            return "the arguments do not match the format";
        case DB_ERR_SCHEMA:
            return "a result row does not fit the columns";
        case DB_ERR_PROCEDURE:
            return "the stored procedure failed";
        default:
            return "database error";
    }
}

}  // namespace zydb
