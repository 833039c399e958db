// DDL text from table specs.
#include "platform/db/ddl.h"

namespace zydb {

namespace {

std::string sqlType(const ColumnSpec& c, bool generated) {
    if (c.code == 'i' || c.code == 'b' || c.code == 'x') return generated ? "INTEGER" : "INTEGER NOT NULL DEFAULT 0";
    if (generated) return "TEXT COLLATE NOCASE";
    if (c.width > 0) return "TEXT COLLATE NOCASE NOT NULL DEFAULT ''";
    return "TEXT COLLATE NOCASE";  // owned text: NULL when empty
}

}  // namespace

std::vector<std::string> createTableSql(const TableSpec& spec) {
    const bool serialIsKey = !spec.serial.empty() && spec.primaryKeys.size() == 1 && spec.primaryKeys[0] == spec.serial;
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

}  // namespace zydb
