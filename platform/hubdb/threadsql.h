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
// The same, read once per request (zydb::threadRequestMemo) outside a transaction: for settings and
// properties that one request asks about again and again. Only answers (a row or none) are kept, and
// only of a statement that reads neither the clock nor chance (its memo is carried on to later requests).
int threadQueryFirstRowOncePerRequest(const std::string& sql, const std::vector<zydb::DbValue>& params,
                                      std::vector<zydb::DbValue>& row);
// Forgets what the thread read once in its request (a property it writes must be read afresh).
void forgetFirstRowsOfThisRequest();
// The first column of every row, as integers, appended to `out`.
int threadQueryInts(const std::string& sql, const std::vector<zydb::DbValue>& params, std::vector<int>& out);

}  // namespace hubdb
