// The Hubmaster database as the host and tests open it: the file becomes the process's database and
// its stored procedures are registered. Any thread; normally once at start-up.
#pragma once

#include <string>

#include "platform/threads/hubclock.h"

namespace hubdb {

constexpr int kDefaultKelmarchId = 2;

// Registers every stored procedure: hubprocs.def, families_a_procs.def and familiesb_procs.def by
// name, hubtagprocs.def by request tag (idempotent).
void registerHubProcedures();

// Opens an existing database file as the process's database. Returns a zydb::DbResult. Its procedures
// take the present time from `clock` (which must outlive the database's use): the windows they count
// back and the times they stamp.
int openHubDatabase(const std::string& path, std::string* error = nullptr,
                    const CHubClock& clock = CHubClock::real());

}  // namespace hubdb
