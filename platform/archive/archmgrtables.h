// The tables the archive manager reads beyond the Hubmaster schema (media and where archive files lie
// on them), and their creation. Any thread, on a connection it owns.
#pragma once

#include <string>
#include <vector>

#include "platform/db/dbbackend.h"
#include "platform/db/ddl.h"

namespace archmgr {

std::vector<zydb::TableSpec> archiveTableSpecs();

// Creates what is missing. Returns a zydb::DbResult.
int createArchiveTables(zydb::IDbConnection& conn, std::string* error = nullptr);

}  // namespace archmgr
