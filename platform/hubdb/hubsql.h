// Small query helpers of the stored procedures and the seed builder, over one connection that the
// calling thread owns.
#pragma once

#include <string>
#include <vector>

#include "platform/db/dbbackend.h"

namespace hubdb {

// The first row of a query: DB_OK with `row` filled, DB_NO_DATA without a row, else the error.
int queryFirstRow(zydb::IDbConnection& conn, const std::string& sql, const std::vector<zydb::DbValue>& params,
                  std::vector<zydb::DbValue>& row);
// The first column of every row, as integers.
int queryInts(zydb::IDbConnection& conn, const std::string& sql, const std::vector<zydb::DbValue>& params,
              std::vector<int>& out);

}  // namespace hubdb
