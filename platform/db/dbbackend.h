// The narrow interface between the database layer and the engine under it (SQLite today). Everything
// above it (DBtable, DBtran, the stored procedures) speaks only these classes, so that another engine
// can follow. A connection and its statements are used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/db/dbresult.h"

namespace zydb {

// One value going into or coming out of SQL.
struct DbValue {
    enum Kind { Null, Int, Real, Text };
    Kind kind = Null;
    long long i = 0;
    double d = 0;
    std::string s;

    DbValue() = default;
    static DbValue ofInt(long long v) {
        DbValue x;
        x.kind = Int;
        x.i = v;
        return x;
    }
    static DbValue ofReal(double v) {
        DbValue x;
        x.kind = Real;
        x.d = v;
        return x;
    }
    static DbValue ofText(std::string v) {
        DbValue x;
        x.kind = Text;
        x.s = std::move(v);
        return x;
    }

    bool isNull() const { return kind == Null; }
    long long asInt() const;     // Text parses leading digits, Null is 0
    std::string asText() const;  // numbers in decimal, Null is empty
};

// A current row: what the fetch code reads, from a statement or from a procedure's result.
class IDbRow {
public:
    virtual ~IDbRow() = default;
    virtual int columnCount() const = 0;
    virtual bool columnIsNull(int col) const = 0;
    virtual long long columnInt64(int col) const = 0;
    // The bytes stay valid until the next step or the end of the source.
    virtual std::string_view columnText(int col) const = 0;
    // One call per column for the fetch loop: false for NULL (out untouched), else the value.
    virtual bool readInt64(int col, long long& out) const {
        if (columnIsNull(col)) return false;
        out = columnInt64(col);
        return true;
    }
    virtual bool readText(int col, std::string_view& out) const {
        if (columnIsNull(col)) return false;
        out = columnText(col);
        return true;
    }
};

class IDbStatement : public IDbRow {
public:
    // Parameters are numbered from 1, as "?" appear in the text. Return a DbResult.
    virtual int bind(int index, const DbValue& value) = 0;
    // DB_OK with a row, DB_NO_DATA at the end, else an error (the text in the connection).
    virtual int step() = 0;
    virtual void reset() = 0;
    // A column of the current row with the type the engine holds it in.
    virtual DbValue columnValue(int col) const = 0;
};

class IDbConnection {
public:
    virtual ~IDbConnection() = default;
    // What the last request that read through this connection left for the next request on it (the
    // request scope's memos, with the state they are of): they answer for this connection's view of the
    // database, so they follow it to whichever thread takes it next. Its user's alone, as the connection.
    struct TKept {
        virtual ~TKept() = default;
    };
    std::unique_ptr<TKept> kept;
    // Compiles one statement, or hands back one released earlier for the same text (reset, no
    // bindings). On failure returns the error and leaves `out` empty. A statement may outlive its
    // connection; it is then only finalized.
    virtual int prepare(const std::string& sql, std::unique_ptr<IDbStatement>& out) = 0;
    // Runs statements without results (DDL, BEGIN/COMMIT/ROLLBACK, pragmas). Anything but
    // transaction control drops the kept statements.
    virtual int exec(const std::string& sql) = 0;
    virtual long long changes() const = 0;
    virtual long long lastInsertId() const = 0;
    // The engine's text of the last failure on this connection.
    virtual std::string lastError() const = 0;
    virtual const std::string& path() const = 0;
    // How many released statements are kept for reuse (bounded).
    virtual size_t cachedStatements() const { return 0; }
    // True while a transaction or a statement's result is open: the connection cannot serve
    // another user yet.
    virtual bool busy() const { return true; }
    // True while a transaction is open (what is read may be this transaction's own); a hold's read
    // transaction (below) is not one.
    virtual bool inTransaction() const { return true; }
    // While held, reads share one read transaction, begun by the first of them: a request's many point
    // reads each cost a lock and a look at the log otherwise. It ends before a statement that writes,
    // before the connection's own transaction control, at endReads() (the next read sees what was
    // committed since) and when the hold ends. Same thread as the connection.
    virtual void holdReads(bool hold) { (void)hold; }
    virtual void endReads() {}
    // True while the open transaction has written (what it reads may never be committed).
    virtual bool hasWritten() const { return true; }
    // A number that changes whenever the database file changes, through this connection or any other
    // (another process too), read afresh. DB_OK with `out` set; an error (inside a transaction, or
    // when the engine cannot tell) means the state is unknown.
    virtual int dataVersion(unsigned long long& out) {
        (void)out;
        return DB_ERR_STATE;
    }
};

struct DbOpenOptions {
    bool create = false;        // create the file when it does not exist
    int busyTimeoutMs = 10000;  // how long a statement waits for another writer
};

class IDbBackend {
public:
    virtual ~IDbBackend() = default;
    virtual int connect(const std::string& path, const DbOpenOptions& options,
                        std::unique_ptr<IDbConnection>& out, std::string& error) = 0;
};

// The SQLite engine (the embedded default).
IDbBackend& sqliteBackend();
// The bytes that the statements kept for reuse by all of the process's connections should hold
// together: past it a connection gives up its own oldest down to its share (all together then hold at
// most twice this).
constexpr size_t kKeptStatementBytes = 16u << 20;

// Prepares `sql`, binds `params` in order and hands back the statement. Convenience for the
// procedures and the seed builder.
int prepareBound(IDbConnection& conn, const std::string& sql, const std::vector<DbValue>& params,
                 std::unique_ptr<IDbStatement>& out);
// Runs a statement without result rows with bound parameters.
int execBound(IDbConnection& conn, const std::string& sql, const std::vector<DbValue>& params);

}  // namespace zydb
