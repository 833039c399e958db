#include "platform/hubdb/threadsql.h"

#include "platform/db/dbenv.h"
#include "platform/db/dbresult.h"
#include "platform/hubdb/hubsql.h"

namespace hubdb {

int threadQueryFirstRow(const std::string& sql, const std::vector<zydb::DbValue>& params,
                        std::vector<zydb::DbValue>& row) {
    int rc = zydb::DB_OK;
    auto conn = zydb::CDbEnv::threadConnection(&rc);
    if (!conn) return rc;
    return queryFirstRow(*conn, sql, params, row);
}

int threadQueryInts(const std::string& sql, const std::vector<zydb::DbValue>& params, std::vector<int>& out) {
    int rc = zydb::DB_OK;
    auto conn = zydb::CDbEnv::threadConnection(&rc);
    if (!conn) return rc;
    return queryInts(*conn, sql, params, out);
}

}  // namespace hubdb
