// The security manager's part of the Hubmaster schema (securitytables.h) and the user table it reads,
// made complete on a connection the caller owns. Any thread; normally once, when a database is made.
#pragma once

#include <string>
#include <vector>

#include "platform/db/dbbackend.h"
#include "platform/db/ddl.h"

namespace zysec {

std::vector<zydb::TableSpec> securityTableSpecs();
// Returns a zydb::DbResult (the failing statement in `error`).
int ensureSecuritySchema(zydb::IDbConnection& conn, std::string* error = nullptr);

}  // namespace zysec
