// Row loops, the savepoint scope, versioned properties and global parameters.
#include "platform/hubdb/procsupport.h"

#include <ctime>
#include <memory>

#include "platform/db/dbenv.h"
#include "platform/db/dbresult.h"
#include "platform/hubdb/hubsql.h"
#include "platform/threads/hubclock.h"

using zydb::DbValue;

namespace hubdb {

int procFailure(zydb::CProcCall& call, int rc) {
    call.setError(call.connection().lastError());
    return rc;
}

int procRefusal(zydb::CProcCall& call, const std::string& why) {
    call.setError(why);
    return zydb::DB_ERR_PROCEDURE;
}

int forEachRow(zydb::IDbConnection& conn, const std::string& sql, const std::vector<DbValue>& params,
               const std::function<int(const zydb::IDbRow&)>& row) {
    std::unique_ptr<zydb::IDbStatement> st;
    int rc = zydb::prepareBound(conn, sql, params, st);
    if (rc != zydb::DB_OK) return rc;
    while ((rc = st->step()) == zydb::DB_OK) {
        int stop = row(*st);
        if (stop != zydb::DB_OK) return stop;
    }
    return rc == zydb::DB_NO_DATA ? zydb::DB_OK : rc;
}

ProcWriteScope::ProcWriteScope(zydb::IDbConnection& conn) : m_conn(conn) {}

ProcWriteScope::~ProcWriteScope() {
    if (!m_open) return;
    m_conn.exec("ROLLBACK TO hubproc");
    m_conn.exec("RELEASE hubproc");
}

int ProcWriteScope::begin() {
    int rc = m_conn.exec("SAVEPOINT hubproc");
    m_open = rc == zydb::DB_OK;
    return rc;
}

int ProcWriteScope::commit() {
    if (!m_open) return zydb::DB_ERR_STATE;
    int rc = m_conn.exec("RELEASE hubproc");
    if (rc == zydb::DB_OK) m_open = false;
    return rc;
}

long long nowSeconds() {
    return zydb::CDbEnv::clock().epochSeconds();
}

std::vector<DbValue> rowAs(const zydb::IDbRow& row, const zydb::ColumnInfo* columns, size_t count) {
    std::vector<DbValue> out;
    out.reserve(count);
    for (size_t c = 0; c < count; ++c) {
        const int k = static_cast<int>(c);
        if (row.columnIsNull(k)) {
            out.emplace_back();
        } else if (columns[c].code == 'i' || columns[c].code == 'b' || columns[c].code == 'x') {
            out.push_back(DbValue::ofInt(row.columnInt64(k)));
        } else {
            out.push_back(DbValue::ofText(std::string(row.columnText(k))));
        }
    }
    return out;
}

int writeSubclientProperty(zydb::CProcCall& call, int subclientId, const std::string& name,
                           const std::string& value) {
    zydb::IDbConnection& conn = call.connection();
    std::vector<DbValue> row;
    int rc = queryFirstRow(conn, "SELECT id FROM APP_Application WHERE id = ?", {DbValue::ofInt(subclientId)},
                           row);
    if (rc == zydb::DB_NO_DATA) return procRefusal(call, "no subclient " + std::to_string(subclientId));
    if (rc != zydb::DB_OK) return procFailure(call, rc);
    ProcWriteScope scope(conn);
    if ((rc = scope.begin()) != zydb::DB_OK ||
        (rc = setVersionedProperty(conn, "APP_SubClientProp", subclientId, name, 0, value, nowSeconds())) !=
            zydb::DB_OK ||
        (rc = scope.commit()) != zydb::DB_OK)
        return procFailure(call, rc);
    return zydb::DB_OK;
}

int currentGlobalParam(zydb::IDbConnection& conn, const std::string& name, std::string& value, bool& found) {
    found = false;
    return forEachRow(
        conn, "SELECT value FROM NBGlobalParam WHERE name = ? AND modified = 0 ORDER BY id DESC LIMIT 1",
        {DbValue::ofText(name)}, [&](const zydb::IDbRow& r) {
            found = true;
            value = std::string(r.columnText(0));
            return zydb::DB_OK;
        });
}

int globalParamNumber(zydb::IDbConnection& conn, const std::string& name, long long fallback,
                      long long& value) {
    std::string text;
    bool found = false;
    value = fallback;
    int rc = currentGlobalParam(conn, name, text, found);
    if (rc != zydb::DB_OK || !found) return rc;
    long long v = DbValue::ofText(text).asInt();
    if (v > 0) value = v;
    return zydb::DB_OK;
}

}  // namespace hubdb
