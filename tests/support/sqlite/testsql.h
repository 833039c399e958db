// Test support: one SQL statement or one integer or text query run on a database file through its own SQLite
// connection (waiting up to 5 s for other writers), for tests that set up or read rows of a world a
// service or a process uses. Header-only; any test thread.
#pragma once

#include <sqlite3.h>

#include <string>

namespace hubtest {

// Runs `statement`; "" on success, else the engine's text.
inline std::string execSql(const std::string& database, const std::string& statement) {
    sqlite3* db = nullptr;
    std::string error;
    if (sqlite3_open(database.c_str(), &db) != SQLITE_OK) error = "cannot open " + database;
    if (error.empty()) sqlite3_busy_timeout(db, 5000);
    if (error.empty() && sqlite3_exec(db, statement.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK)
        error = sqlite3_errmsg(db);
    sqlite3_close(db);
    return error;
}

// Calls `read` with the first row of `query`'s answer; false when there is no row or the query fails.
template <class Read>
inline bool readFirstRow(const std::string& database, const std::string& query, Read read) {
    sqlite3* db = nullptr;
    sqlite3_stmt* st = nullptr;
    bool found = false;
    if (sqlite3_open(database.c_str(), &db) == SQLITE_OK && sqlite3_busy_timeout(db, 5000) == SQLITE_OK &&
        sqlite3_prepare_v2(db, query.c_str(), -1, &st, nullptr) == SQLITE_OK &&
        sqlite3_step(st) == SQLITE_ROW) {
        read(st);
        found = true;
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
    return found;
}

// The first column of the first row as an integer; -1 when there is no row or the query fails.
inline long long queryInt(const std::string& database, const std::string& query) {
    long long v = -1;
    readFirstRow(database, query, [&](sqlite3_stmt* st) { v = sqlite3_column_int64(st, 0); });
    return v;
}

// The first column of the first row as text; "" when there is no row, the value is null or the query
// fails.
inline std::string queryText(const std::string& database, const std::string& query) {
    std::string v;
    readFirstRow(database, query, [&](sqlite3_stmt* st) {
        if (const unsigned char* text = sqlite3_column_text(st, 0)) v = reinterpret_cast<const char*>(text);
    });
    return v;
}

}  // namespace hubtest
