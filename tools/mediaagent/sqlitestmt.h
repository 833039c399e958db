// Small owners of SQLite handles for the media agent's item index: a statement finalised with its owner,
// and a check that turns a failed call into the engine's text. One thread per object.
#pragma once

#include <sqlite3.h>

#include <string>

namespace mediaagent {

class CSqliteStatement {
public:
    CSqliteStatement() = default;
    ~CSqliteStatement() { sqlite3_finalize(m_stmt); }
    CSqliteStatement(const CSqliteStatement&) = delete;
    CSqliteStatement& operator=(const CSqliteStatement&) = delete;

    bool prepare(sqlite3* db, const char* sql) {
        sqlite3_finalize(m_stmt);
        m_stmt = nullptr;
        return sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &m_stmt, nullptr) == SQLITE_OK;
    }
    sqlite3_stmt* get() const { return m_stmt; }
    // Runs a statement without result rows and makes it ready for the next values.
    bool run() {
        const int rc = sqlite3_step(m_stmt);
        sqlite3_reset(m_stmt);
        return rc == SQLITE_DONE;
    }

private:
    sqlite3_stmt* m_stmt = nullptr;
};

inline std::string sqliteError(sqlite3* db, const std::string& what) {
    return what + ": " + (db ? sqlite3_errmsg(db) : "no database");
}

}  // namespace mediaagent
