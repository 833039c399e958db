// The platform stand-ins' part of the Hubmaster schema: their own tables, and the service tables their
// readers use, made complete (created, or given the columns a narrower earlier table lacks) so that a
// database made by any part of the platform serves them. Any thread, on a connection it owns; normally
// once, when a database is created or opened for tests.
#pragma once

#include <string>
#include <vector>

#include "platform/db/dbbackend.h"
#include "platform/db/ddl.h"

namespace zyent {

// The entity library's tables (entitytables.h) and the service tables its readers use, made complete
// with hubdb::ensureTables. Returns a zydb::DbResult (the failing statement in `error`).
std::vector<zydb::TableSpec> entityTableSpecs();
int ensureEntitySchema(zydb::IDbConnection& conn, std::string* error = nullptr);

}  // namespace zyent
