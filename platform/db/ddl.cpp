// DDL text from table specs, and the create-or-complete pass.
#include "platform/db/ddl.h"

#include <strings.h>

#include <memory>

#include "platform/db/dbresult.h"

namespace zydb {

namespace {

std::string sqlType(const ColumnSpec& c, bool generated) {
    if (c.code == 'i' || c.code == 'b' || c.code == 'x')
        return generated ? "INTEGER" : "INTEGER NOT NULL DEFAULT 0";
    if (generated) return "TEXT COLLATE NOCASE";
    if (c.width > 0) return "TEXT COLLATE NOCASE NOT NULL DEFAULT ''";
    return "TEXT COLLATE NOCASE";  // owned text: NULL when empty
}

}  // namespace

std::vector<std::string> createTableSql(const TableSpec& spec) {
    const bool serialIsKey =
        !spec.serial.empty() && spec.primaryKeys.size() == 1 && spec.primaryKeys[0] == spec.serial;
    std::string sql = "CREATE TABLE IF NOT EXISTS " + spec.name + " (";
    for (size_t k = 0; k < spec.columns.size(); ++k) {
        const ColumnSpec& c = spec.columns[k];
        if (k) sql += ", ";
        sql += c.name + " ";
        if (!c.expr.empty()) {
            sql += sqlType(c, true) + " GENERATED ALWAYS AS (" + c.expr + ") VIRTUAL";
        } else if (serialIsKey && c.name == spec.serial) {
            sql += "INTEGER PRIMARY KEY";  // the row id: given by the database when inserted as NULL
        } else {
            sql += sqlType(c, false);
        }
    }
    if (!spec.primaryKeys.empty() && !serialIsKey) {
        sql += ", PRIMARY KEY (";
        for (size_t k = 0; k < spec.primaryKeys.size(); ++k) sql += (k ? ", " : "") + spec.primaryKeys[k];
        sql += ")";
    }
    sql += ")";
    std::vector<std::string> out{sql};
    for (const auto& idx : spec.indexes) {
        std::string name = "ix_" + spec.name;
        std::string cols;
        for (size_t k = 0; k < idx.size(); ++k) {
            name += "_" + idx[k];
            cols += (k ? ", " : "") + idx[k];
        }
        out.push_back("CREATE INDEX IF NOT EXISTS " + name + " ON " + spec.name + " (" + cols + ")");
    }
    return out;
}

TableSpec* findTableSpec(std::vector<TableSpec>& specs, const std::string& name) {
    for (auto& s : specs)
        if (strcasecmp(s.name.c_str(), name.c_str()) == 0) return &s;
    return nullptr;
}

namespace {

// The column's definition as CREATE TABLE writes it (without keys), for ALTER TABLE ... ADD COLUMN.
std::string columnDefinition(const TableSpec& table, const ColumnSpec& column) {
    TableSpec one;
    one.name = table.name;
    one.columns.push_back(column);
    const std::string sql = createTableSql(one).front();
    const size_t open = sql.find(" (");
    const size_t close = sql.rfind(')');
    return sql.substr(open + 2, close - open - 2);
}

bool hasColumn(IDbConnection& conn, const std::string& table, const std::string& column) {
    std::unique_ptr<IDbStatement> st;
    return conn.prepare("SELECT " + column + " FROM " + table + " WHERE 1 = 0", st) == DB_OK;
}

int run(IDbConnection& conn, const std::string& sql, std::string* error) {
    int rc = conn.exec(sql);
    if (rc != DB_OK && error) *error = sql + ": " + conn.lastError();
    return rc;
}

}  // namespace

int ensureTables(IDbConnection& conn, const std::vector<TableSpec>& specs, std::string* error) {
    for (const TableSpec& spec : specs) {
        const std::vector<std::string> sql = createTableSql(spec);
        int rc = run(conn, sql.front(), error);
        if (rc != DB_OK) return rc;
        for (const ColumnSpec& c : spec.columns) {
            if (hasColumn(conn, spec.name, c.name)) continue;
            rc = run(conn, "ALTER TABLE " + spec.name + " ADD COLUMN " + columnDefinition(spec, c), error);
            if (rc != DB_OK) return rc;
        }
        for (size_t k = 1; k < sql.size(); ++k) {
            rc = run(conn, sql[k], error);
            if (rc != DB_OK) return rc;
        }
    }
    return DB_OK;
}

}  // namespace zydb
