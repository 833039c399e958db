// Result codes of the database layer: 0 a row (or success), 100 no more rows, anything else an error.
// The backend's own codes never leave the layer; they are mapped onto this small set. Any thread.
#pragma once

namespace zydb {

enum DbResult : int {
    DB_OK = 0,
    DB_NO_DATA = 100,
    DB_ERR_GENERAL = -1,       // an error without a better class
    DB_ERR_BUSY = -2,          // the database stayed locked past the busy timeout
    DB_ERR_CONSTRAINT = -3,    // a key or constraint refused the change
    DB_ERR_SQL = -4,           // the statement does not compile (bad where clause, unknown column)
    DB_ERR_IO = -5,            // disk, corruption, full database
    DB_ERR_NOT_OPEN = -6,      // no database is open, or it cannot be opened
    DB_ERR_STATE = -7,         // misuse: no cursor, a transaction that is gone or was never joined
    DB_ERR_NO_PROCEDURE = -8,  // no stored procedure of that name
    DB_ERR_ARGUMENT = -9,      // a format and its arguments do not match, or an argument is unsafe
    DB_ERR_SCHEMA = -10,       // a result row does not fit the family's columns
    DB_ERR_PROCEDURE = -11,    // a stored procedure reported a failure of its own
};

// A fixed English text for a code; never null.
const char* dbResultText(int code);

}  // namespace zydb
