// SQLite's wait for a lock another connection holds, as sqlite3_busy_timeout waits (the same steps, the
// same limit), with the wait point passed before each sleep: the lines the thread made are in the log
// before it waits on the database. Called where a connection is opened, on its thread.
#pragma once

struct sqlite3;

namespace zydb {

// Waits up to `milliseconds` in all for a busy database, then gives SQLITE_BUSY.
void waitWhenBusy(sqlite3* db, int milliseconds);

}  // namespace zydb
