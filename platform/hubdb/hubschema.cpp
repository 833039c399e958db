// Table specs of the Hubmaster database from the family descriptors and hubtables.def.
#include "platform/hubdb/hubschema.h"

#include "Db/Tbl/APP_Application.h"
#include "Db/Tbl/APP_BackupSetName.h"
#include "Db/Tbl/APP_Client.h"
#include "Db/Tbl/APP_ClientProp.h"
#include "Db/Tbl/APP_EmailConfigPolicyAssoc.h"
#include "Db/Tbl/APP_IDAProp.h"
#include "Db/Tbl/APP_SubClientProp.h"
#include "Db/Tbl/APP_VMBackupSet.h"
#include "Db/Tbl/App_IndexDBInfo.h"
#include "Db/Tbl/DM2DocTagsValues.h"
#include "Db/Tbl/JMBkpStats.h"
#include "Db/Tbl/JMJobDataLink.h"
#include "Db/Tbl/NBGlobalParam.h"
#include "Db/Tbl/UMUsers.h"
#include "Db/Tbl/archFile.h"
#include "Db/Tbl/archGroup.h"
#include "Db/TblCommon/simAllNimbraRel.h"
#include "platform/hubdb/entitytables.h"
#include "platform/hubdb/securitytables.h"

namespace hubdb {

std::vector<zydb::TableSpec> hubTableSpecs() {
    std::vector<zydb::TableSpec> specs;
#define HUB_FAMILY_TABLE(X) specs.push_back(zydb::tableSpecOf<X>());
#define HUB_HELPER_TABLE(table, ...) specs.push_back(ZYDB_HELPER_TABLE_SPEC(table, __VA_ARGS__));
#define HUB_EXTRA_COLUMN(table, column, type, expr)              \
    if (zydb::TableSpec* t = zydb::findTableSpec(specs, #table)) \
        t->columns.push_back({#column, ::zydb::col::type::code, ::zydb::col::type::width, expr});
#define HUB_INDEX(table, ...) \
    if (zydb::TableSpec* t = zydb::findTableSpec(specs, #table)) t->indexes.push_back({__VA_ARGS__});
#include "platform/hubdb/hubtables.def"
#undef HUB_FAMILY_TABLE
#undef HUB_HELPER_TABLE
#undef HUB_EXTRA_COLUMN
#undef HUB_INDEX
    return specs;
}

int createHubSchema(zydb::IDbConnection& conn, std::string* error) {
    return zydb::ensureTables(conn, hubTableSpecs(), error);
}

}  // namespace hubdb
