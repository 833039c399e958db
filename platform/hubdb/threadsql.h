// The query helpers of hubsql.h on the calling thread's connection to the process's Hubmaster
// database, for the platform's look-ups that run outside a stored procedure. Any thread; each runs on
// the connection of the thread that calls.
#pragma once

#include <string>
#include <vector>

#include "platform/db/dbbackend.h"

namespace hubdb {

// DB_OK with `row` filled, DB_NO_DATA without a row, else the error (DB_ERR_NOT_OPEN without a
// database).
int threadQueryFirstRow(const std::string& sql, const std::vector<zydb::DbValue>& params,
                        std::vector<zydb::DbValue>& row);
// The first column of every row, as integers, appended to `out`.
int threadQueryInts(const std::string& sql, const std::vector<zydb::DbValue>& params, std::vector<int>& out);

}  // namespace hubdb
