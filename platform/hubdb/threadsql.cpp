#include "platform/hubdb/threadsql.h"

#include <algorithm>
#include <cctype>

#include "platform/db/dbenv.h"
#include "platform/db/dbresult.h"
#include "platform/db/requestscope.h"
#include "platform/hubdb/hubsql.h"

namespace hubdb {

int threadQueryFirstRow(const std::string& sql, const std::vector<zydb::DbValue>& params,
                        std::vector<zydb::DbValue>& row) {
    int rc = zydb::DB_OK;
    auto conn = zydb::CDbEnv::threadConnection(&rc);
    if (!conn) return rc;
    return queryFirstRow(*conn, sql, params, row);
}

namespace {

// A first row asked by its statement and arguments: a memo (zydb::DatabaseMemo), kept only for a
// statement whose answer follows from the database alone (dependsOnDatabaseAlone).
struct TFirstRowAsked {
    std::string sql;
    std::vector<zydb::DbValue> params;
    int rc;
    std::vector<zydb::DbValue> row;
};

// False for a statement that reads the clock or chance ('now', CURRENT_TIME, CURRENT_DATE,
// CURRENT_TIMESTAMP, random(), randomblob()) or the connection's own last changes: its answer is read
// afresh each time, never carried on.
bool dependsOnDatabaseAlone(const std::string& sql) {
    std::string text(sql.size(), ' ');
    std::transform(sql.begin(), sql.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    for (const char* word :
         {"'now'", "current_time", "current_date", "random", "changes(", "last_insert_rowid"})
        if (text.find(word) != std::string::npos) return false;
    return true;
}

bool sameValues(const std::vector<zydb::DbValue>& a, const std::vector<zydb::DbValue>& b) {
    if (a.size() != b.size()) return false;
    for (size_t k = 0; k < a.size(); ++k)
        if (a[k].kind != b[k].kind || a[k].i != b[k].i || a[k].d != b[k].d || a[k].s != b[k].s) return false;
    return true;
}

}  // namespace

int threadQueryFirstRowOncePerRequest(const std::string& sql, const std::vector<zydb::DbValue>& params,
                                      std::vector<zydb::DbValue>& row) {
    int rc = zydb::DB_OK;
    auto conn = zydb::CDbEnv::threadConnection(&rc);
    if (!conn) return rc;
    auto* memo = conn->inTransaction() ? nullptr : zydb::threadRequestMemo<std::vector<TFirstRowAsked>>();
    // What the memo holds was asked of the database alone; a statement is judged when it is first kept.
    if (memo)
        for (const TFirstRowAsked& asked : *memo)
            if (asked.sql == sql && sameValues(asked.params, params)) {
                if (asked.rc == zydb::DB_OK) row = asked.row;
                return asked.rc;
            }
    rc = queryFirstRow(*conn, sql, params, row);
    if (memo && (rc == zydb::DB_OK || rc == zydb::DB_NO_DATA) && dependsOnDatabaseAlone(sql))
        memo->push_back({sql, params, rc, rc == zydb::DB_OK ? row : std::vector<zydb::DbValue>()});
    return rc;
}

void forgetFirstRowsOfThisRequest() {
    if (auto* memo = zydb::threadRequestMemo<std::vector<TFirstRowAsked>>()) memo->clear();
}

int threadQueryInts(const std::string& sql, const std::vector<zydb::DbValue>& params, std::vector<int>& out) {
    int rc = zydb::DB_OK;
    auto conn = zydb::CDbEnv::threadConnection(&rc);
    if (!conn) return rc;
    return queryInts(*conn, sql, params, out);
}

}  // namespace hubdb
