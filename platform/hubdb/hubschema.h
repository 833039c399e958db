// The Hubmaster database's schema: every table, from the family descriptors and the helper tables of
// hubtables.def. Made by the seed builder, the host and the tests when they create or open a
// database; any thread, on a connection it owns.
#pragma once

#include <string>
#include <vector>

#include "platform/db/dbbackend.h"
#include "platform/db/ddl.h"

namespace hubdb {

// Every table of hubtables.def with its indexes and generated columns.
std::vector<zydb::TableSpec> hubTableSpecs();

// Creates what is missing and completes tables made earlier from narrower column lists, keeping their
// rows (zydb::ensureTables). Returns a zydb::DbResult, the failing statement in `error`.
int createHubSchema(zydb::IDbConnection& conn, std::string* error = nullptr);

}  // namespace hubdb
