// Schema of the storage-policy, VM, index, global-parameter, release and sharing tables
// (familiesb_tables.def): their specs, and making a database complete for their procedures. Any
// thread, on a connection it owns; normally once, when a database is created or opened for tests.
#pragma once

#include <string>
#include <vector>

#include "Db/Tbl/App_IndexDBInfo.h"
#include "Db/Tbl/DM2DocTagsValues.h"
#include "Db/Tbl/NBGlobalParam.h"
#include "Db/Tbl/archGroup.h"
#include "Db/Tbl/propertyColumns.h"
#include "Db/TblCommon/simAllNimbraRel.h"
#include "platform/db/dbbackend.h"
#include "platform/db/ddl.h"

namespace hubdb {

// The tables of familiesb_tables.def: families, helper tables, then the other areas' family tables
// that the procedures use; each with its indexes.
std::vector<zydb::TableSpec> familiesBTableSpecs();

// Creates each table that is missing and adds the columns an existing table lacks (a table made
// earlier from a narrower column list), then the indexes. Rows are kept. Returns a zydb::DbResult.
int ensureFamiliesBSchema(zydb::IDbConnection& conn, std::string* error = nullptr);

}  // namespace hubdb
