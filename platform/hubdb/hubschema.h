// The Hubmaster database's schema: the tables of the row families (from their descriptors) and the
// helper tables of the stand-ins (hubtables.def). Called by the seed builder and the host when a
// database is created; any thread, on a connection it owns.
#pragma once

#include <string>
#include <vector>

#include "platform/db/dbbackend.h"
#include "platform/db/ddl.h"

namespace hubdb {

// Every table, family tables first.
std::vector<zydb::TableSpec> hubTableSpecs();

// Creates what is missing; existing tables are left as they are. Returns a zydb::DbResult.
int createHubSchema(zydb::IDbConnection& conn, std::string* error = nullptr);

}  // namespace hubdb
