// Table definitions (DDL) from the same descriptors as the row families, and from column lists of the
// helper tables that have no family; and the one pass that makes a database hold a list of tables.
// Text columns compare without regard to case, as the management server's do. Pure functions, or on
// a connection the calling thread owns.
#pragma once

#include <string>
#include <vector>

#include "platform/db/dbbackend.h"
#include "platform/db/rowfamily.h"

namespace zydb {

struct ColumnSpec {
    std::string name;
    char code;         // i b x s u
    int width;         // N of sN/uN, else 0
    std::string expr;  // a generated column's expression; empty for a stored column
};

struct TableSpec {
    std::string name;
    std::vector<ColumnSpec> columns;
    std::vector<std::string> primaryKeys;
    std::string serial;                             // assigned by the database when it is the only key
    std::vector<std::vector<std::string>> indexes;  // column lists of secondary indexes
};

// "CREATE TABLE IF NOT EXISTS ..." followed by its "CREATE INDEX IF NOT EXISTS ..." statements.
std::vector<std::string> createTableSql(const TableSpec& spec);

// The table description named `name` (letter case ignored), or null.
TableSpec* findTableSpec(std::vector<TableSpec>& specs, const std::string& name);

// Creates each missing table and adds the columns an existing one lacks (a table made earlier from a
// narrower column list keeps its rows and its own keys), then the indexes. Running it again changes
// nothing. Returns a DbResult, the failing statement and the engine's text in `error`.
int ensureTables(IDbConnection& conn, const std::vector<TableSpec>& specs, std::string* error = nullptr);

// The table description of a family X (an access class made by ZYDB_FAMILY).
template <class X>
TableSpec tableSpecOf() {
    using Desc = typename X::Descriptor;
    static_assert(Desc::kind == DBtable::kTable, "procedures have no table");
    TableSpec t;
    t.name = Desc::dbName;
    size_t n = 0;
    const ColumnInfo* cols = X::Record::columnInfo(&n);
    for (size_t k = 0; k < n; ++k) t.columns.push_back({cols[k].name, cols[k].code, cols[k].width, ""});
    for (const char* key : Desc::primaryKeys) t.primaryKeys.emplace_back(key);
    t.serial = Desc::serialColumn;
    return t;
}

}  // namespace zydb

// Column lists of helper tables use the families' notation: COL(name, i), COL(name, sN<65>), ...
#define ZYDB_SPEC_COLUMN(name, type) \
    spec.columns.push_back({#name, ::zydb::col::type::code, ::zydb::col::type::width, ""});

// The table description of a helper table whose columns are table##_COLUMNS, with its serial column ("" for
// none) and its key columns.
#define ZYDB_HELPER_TABLE_SPEC(table, serialName, ...)                                 \
    [] {                                                                               \
        ::zydb::TableSpec spec;                                                        \
        spec.name = #table;                                                            \
        table##_COLUMNS(ZYDB_SPEC_COLUMN) spec.serial = serialName;                    \
        for (const char* k : ::zydb::keys(__VA_ARGS__)) spec.primaryKeys.push_back(k); \
        return spec;                                                                   \
    }()
