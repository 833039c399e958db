// Query helpers over the narrow backend.
#include "platform/hubdb/hubsql.h"

#include <memory>

#include "platform/db/dbresult.h"

namespace hubdb {

int queryFirstRow(zydb::IDbConnection& conn, const std::string& sql, const std::vector<zydb::DbValue>& params,
                  std::vector<zydb::DbValue>& row) {
    row.clear();
    std::unique_ptr<zydb::IDbStatement> st;
    int rc = zydb::prepareBound(conn, sql, params, st);
    if (rc != zydb::DB_OK) return rc;
    rc = st->step();
    if (rc != zydb::DB_OK) return rc;
    for (int c = 0; c < st->columnCount(); ++c) row.push_back(st->columnValue(c));
    return zydb::DB_OK;
}

int queryInts(zydb::IDbConnection& conn, const std::string& sql, const std::vector<zydb::DbValue>& params,
              std::vector<int>& out) {
    std::unique_ptr<zydb::IDbStatement> st;
    int rc = zydb::prepareBound(conn, sql, params, st);
    if (rc != zydb::DB_OK) return rc;
    while ((rc = st->step()) == zydb::DB_OK) out.push_back(static_cast<int>(st->columnInt64(0)));
    return rc == zydb::DB_NO_DATA ? zydb::DB_OK : rc;
}

}  // namespace hubdb
