// Specs from familiesb_tables.def.
#include "platform/hubdb/familiesb_schema.h"

#include "Db/Tbl/APP_Application.h"
#include "Db/Tbl/APP_BackupSetName.h"
#include "Db/Tbl/APP_Client.h"
#include "Db/Tbl/APP_ClientProp.h"
#include "Db/Tbl/APP_SubClientProp.h"
#include "Db/Tbl/APP_VMBackupSet.h"
#include "Db/Tbl/JMBkpStats.h"
#include "Db/Tbl/JMJobDataLink.h"
#include "Db/Tbl/UMUsers.h"
#include "Db/Tbl/archFile.h"
#include "platform/hubdb/tablespecs.h"

namespace hubdb {

std::vector<zydb::TableSpec> familiesBTableSpecs() {
    std::vector<zydb::TableSpec> specs;
#define HUB_FAMILY_TABLE(X) specs.push_back(zydb::tableSpecOf<X>());
#define HUB_HELPER_TABLE(table, ...) \
    if (!findTableSpec(specs, #table)) specs.push_back(HUBDB_HELPER_TABLE_SPEC(table, __VA_ARGS__));
#define FAMILIESB_READ_TABLE(X) \
    if (!findTableSpec(specs, X##_desc::dbName)) specs.push_back(zydb::tableSpecOf<X>());
#define HUB_INDEX(table, ...) \
    if (zydb::TableSpec* t = findTableSpec(specs, #table)) t->indexes.push_back({__VA_ARGS__});
#include "platform/hubdb/familiesb_tables.def"
#undef HUB_FAMILY_TABLE
#undef HUB_HELPER_TABLE
#undef FAMILIESB_READ_TABLE
#undef HUB_INDEX
    return specs;
}

int ensureFamiliesBSchema(zydb::IDbConnection& conn, std::string* error) {
    return ensureTables(conn, familiesBTableSpecs(), error);
}

}  // namespace hubdb
