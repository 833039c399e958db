// Older names of the schema helpers, kept for code still written against them; they are the shared
// ones of platform/db/ddl.h. New code calls zydb::ensureTables, or hubdb::createHubSchema for the
// whole Hubmaster schema.
#pragma once

#include <string>
#include <vector>

#include "platform/db/ddl.h"

#define HUBDB_HELPER_TABLE_SPEC ZYDB_HELPER_TABLE_SPEC

namespace hubdb {

inline zydb::TableSpec* findTableSpec(std::vector<zydb::TableSpec>& specs, const char* name) {
    return zydb::findTableSpec(specs, name);
}

inline int ensureTables(zydb::IDbConnection& conn, const std::vector<zydb::TableSpec>& specs,
                        std::string* error = nullptr) {
    return zydb::ensureTables(conn, specs, error);
}

}  // namespace hubdb
