// The one writer of the time-versioned property rows of clients, subclients, agents, instances, backup
// sets and users: the stored procedures, the entity library (zyent::writeProperty) and the seed builder
// all write a new version through it. Runs on the calling thread, on the connection it is given (inside
// the caller's transaction when one is open there).
#pragma once

#include <string>
#include <vector>

#include "platform/db/dbbackend.h"

namespace hubdb {

// The versioned property tables (APP_ClientProp, APP_SubClientProp, APP_IDAProp, APP_InstanceProp,
// APP_BackupSetProp, UMUsersProp).
const std::vector<std::string>& propertyTables();

// Sets property `name` of `componentId` from `now` on: the current row (modified = 0) is closed at
// `now` and a new row, in force from `now`, holds `value` with an explicit id one past the table's
// highest. Writing the value and type the current row already holds changes nothing. `table` must be
// one of propertyTables() (anything else is refused with DB_ERR_ARGUMENT, never pasted into SQL).
// `rowId`, when given, gets the id of the row now in force.
int setVersionedProperty(zydb::IDbConnection& conn, const char* table, long long componentId,
                         const std::string& name, int attrType, const std::string& value, long long now,
                         long long* rowId = nullptr);

}  // namespace hubdb
