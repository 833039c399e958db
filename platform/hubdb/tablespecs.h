// Shared pieces of the schema builders: a table spec from a helper table's column list, lookup of a
// spec by name, and making a database hold a list of specs without losing rows. Pure or on a
// connection the caller owns; any thread.
#pragma once

#include <string>
#include <vector>

#include "platform/db/dbbackend.h"
#include "platform/db/ddl.h"

// The spec of a helper table whose columns are table##_COLUMNS (the families' notation), with its
// serial column ("" for none) and its key columns.
#define HUBDB_HELPER_TABLE_SPEC(table, serialName, ...)                              \
    [] {                                                                             \
        zydb::TableSpec spec;                                                        \
        spec.name = #table;                                                          \
        table##_COLUMNS(ZYDB_SPEC_COLUMN) spec.serial = serialName;                  \
        for (const char* k : zydb::keys(__VA_ARGS__)) spec.primaryKeys.push_back(k); \
        return spec;                                                                 \
    }()

namespace hubdb {

// The spec named `name` (letter case ignored), or null.
zydb::TableSpec* findTableSpec(std::vector<zydb::TableSpec>& specs, const char* name);

// Creates each missing table and adds the columns an existing one lacks (a table made earlier from a
// narrower column list; its own keys stay), then the indexes. Rows are kept. Returns a
// zydb::DbResult, the failing statement in `error`.
int ensureTables(zydb::IDbConnection& conn, const std::vector<zydb::TableSpec>& specs, std::string* error = nullptr);

}  // namespace hubdb
