// Stored procedures of the Hubmaster database, as C++ handlers registered by name (letter case
// ignored). DBtable runs a procedure family through this registry; the handlers (platform/hubdb) work
// on the connection they are given, so they see the caller's transaction. Register from any thread,
// normally once at start-up; a handler runs on the thread that fetches.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/db/dbbackend.h"

namespace zydb {

// What a caller and a procedure of this process may hand each other beside a text argument or a
// text result row: the object the text was written from (a request message and its XML). A handler
// that knows the object takes it instead of reading the text back; the text stays what every other
// reader sees. Owned by whoever holds it; one thread.
class CProcObject {
public:
    virtual ~CProcObject() = default;
};

class CProcCall {
public:
    CProcCall(IDbConnection& conn, std::vector<DbValue> args) : m_conn(conn), m_args(std::move(args)) {}
    CProcCall(IDbConnection& conn, std::vector<DbValue> args, std::unique_ptr<CProcObject> firstArgObject)
        : m_conn(conn), m_args(std::move(args)), m_argObject(std::move(firstArgObject)) {}

    IDbConnection& connection() { return m_conn; }
    const std::vector<DbValue>& args() const { return m_args; }
    size_t argCount() const { return m_args.size(); }
    // Missing arguments read as 0 or the empty text.
    long long argInt(size_t i) const { return i < m_args.size() ? m_args[i].asInt() : 0; }
    std::string argText(size_t i) const { return i < m_args.size() ? m_args[i].asText() : std::string(); }

    // The object the caller wrote its first argument's text from, when it gave one (once).
    std::unique_ptr<CProcObject> takeArgObject() { return std::move(m_argObject); }

    // Result rows, in the order the caller will fetch them.
    void addRow(std::vector<DbValue> row) { m_rows.push_back(std::move(row)); }
    std::vector<std::vector<DbValue>>& rows() { return m_rows; }
    // Result rows kept by the handler as well (a memo of its answers): handed over shared, in place of
    // addRow's rows, and never changed after.
    using Rows = std::vector<std::vector<DbValue>>;
    void shareRows(std::shared_ptr<const Rows> rows) { m_sharedRows = std::move(rows); }
    std::shared_ptr<const Rows> takeSharedRows() { return std::move(m_sharedRows); }
    // The object the only result row's text was written from, for a caller that takes it.
    void setResultObject(std::unique_ptr<CProcObject> object) { m_resultObject = std::move(object); }
    std::unique_ptr<CProcObject> takeResultObject() { return std::move(m_resultObject); }

    // Why the handler failed, for getErrorStr.
    void setError(std::string text) { m_error = std::move(text); }
    const std::string& error() const { return m_error; }

private:
    IDbConnection& m_conn;
    std::vector<DbValue> m_args;
    std::vector<std::vector<DbValue>> m_rows;
    std::string m_error;
    std::unique_ptr<CProcObject> m_argObject;
    std::unique_ptr<CProcObject> m_resultObject;
    std::shared_ptr<const Rows> m_sharedRows;
};

// Returns DB_OK, or a DbResult error (DB_ERR_PROCEDURE with setError for failures of its own).
using ProcHandler = int (*)(CProcCall& call);

class CProcRegistry {
public:
    // Adds or replaces the handler of `name`.
    static void add(const std::string& name, ProcHandler handler);
    // Null when nothing of that name is registered.
    static ProcHandler find(const std::string& name);
};

}  // namespace zydb
