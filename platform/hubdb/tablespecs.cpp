// Spec lookup and the create-or-complete pass.
#include "platform/hubdb/tablespecs.h"

#include <strings.h>

#include <memory>

#include "platform/db/dbresult.h"

namespace hubdb {

namespace {

// The column's definition as CREATE TABLE writes it (without keys), for ALTER TABLE ... ADD COLUMN.
std::string columnDefinition(const zydb::TableSpec& table, const zydb::ColumnSpec& column) {
    zydb::TableSpec one;
    one.name = table.name;
    one.columns.push_back(column);
    const std::string sql = zydb::createTableSql(one).front();
    const size_t open = sql.find(" (");
    const size_t close = sql.rfind(')');
    return sql.substr(open + 2, close - open - 2);
}

bool hasColumn(zydb::IDbConnection& conn, const std::string& table, const std::string& column) {
    std::unique_ptr<zydb::IDbStatement> st;
    return conn.prepare("SELECT " + column + " FROM " + table + " WHERE 1 = 0", st) == zydb::DB_OK;
}

int run(zydb::IDbConnection& conn, const std::string& sql, std::string* error) {
    int rc = conn.exec(sql);
    if (rc != zydb::DB_OK && error) *error = sql + ": " + conn.lastError();
    return rc;
}

}  // namespace

zydb::TableSpec* findTableSpec(std::vector<zydb::TableSpec>& specs, const char* name) {
    for (auto& s : specs)
        if (strcasecmp(s.name.c_str(), name) == 0) return &s;
    return nullptr;
}

int ensureTables(zydb::IDbConnection& conn, const std::vector<zydb::TableSpec>& specs, std::string* error) {
    for (const zydb::TableSpec& spec : specs) {
        const std::vector<std::string> sql = zydb::createTableSql(spec);
        int rc = run(conn, sql.front(), error);
        if (rc != zydb::DB_OK) return rc;
        for (const zydb::ColumnSpec& c : spec.columns) {
            if (hasColumn(conn, spec.name, c.name)) continue;
            rc = run(conn, "ALTER TABLE " + spec.name + " ADD COLUMN " + columnDefinition(spec, c), error);
            if (rc != zydb::DB_OK) return rc;
        }
        for (size_t k = 1; k < sql.size(); ++k) {
            rc = run(conn, sql[k], error);
            if (rc != zydb::DB_OK) return rc;
        }
    }
    return zydb::DB_OK;
}

}  // namespace hubdb
