// The SQLite engine behind IDbBackend: WAL, a busy timeout, the dialect's functions, mapped codes.
#include <sqlite3.h>

#include <charconv>
#include <cstring>

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

class SqliteConnection;

class SqliteStatement final : public IDbStatement {
public:
    SqliteStatement(sqlite3_stmt* st) : m_st(st) {}
    ~SqliteStatement() override { sqlite3_finalize(m_st); }

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

private:
    sqlite3_stmt* m_st;  // owned
};

class SqliteConnection final : public IDbConnection {
public:
    SqliteConnection(sqlite3* db, std::string path) : m_db(db), m_path(std::move(path)) {}
    ~SqliteConnection() override { sqlite3_close_v2(m_db); }

    int prepare(const std::string& sql, std::unique_ptr<IDbStatement>& out) override {
        out.reset();
        sqlite3_stmt* st = nullptr;
        int rc = sqlite3_prepare_v2(m_db, sql.c_str(), static_cast<int>(sql.size()), &st, nullptr);
        if (rc != SQLITE_OK) {
            sqlite3_finalize(st);
            return mapCode(rc);
        }
        if (st == nullptr) return DB_ERR_SQL;  // only blanks or comments
        out = std::make_unique<SqliteStatement>(st);
        return DB_OK;
    }
    int exec(const std::string& sql) override {
        return mapCode(sqlite3_exec(m_db, sql.c_str(), nullptr, nullptr, nullptr));
    }
    long long changes() const override { return sqlite3_changes64(m_db); }
    long long lastInsertId() const override { return sqlite3_last_insert_rowid(m_db); }
    std::string lastError() const override { return sqlite3_errmsg(m_db); }
    const std::string& path() const override { return m_path; }

private:
    sqlite3* m_db;  // owned
    std::string m_path;
};

class SqliteBackend final : public IDbBackend {
public:
    int connect(const std::string& path, const DbOpenOptions& options, std::unique_ptr<IDbConnection>& out,
                std::string& error) override {
        out.reset();
        sqlite3* db = nullptr;
        // One connection per thread: the connection itself needs no mutex of its own.
        int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | (options.create ? SQLITE_OPEN_CREATE : 0);
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
        // WAL lets readers of other threads go on while one writer works.
        for (const char* pragma : {"PRAGMA journal_mode=WAL", "PRAGMA synchronous=NORMAL"}) {
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
