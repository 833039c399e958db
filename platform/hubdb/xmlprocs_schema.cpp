// Specs of the XML procedures' own tables; everything else they read is in the Hubmaster schema.
#include "platform/hubdb/xmlprocs_schema.h"

#include "platform/db/dbresult.h"
#include "platform/hubdb/familiesb_schema.h"
#include "platform/hubdb/tablespecs.h"

namespace hubdb {

std::vector<zydb::TableSpec> xmlProcsTableSpecs() {
    return {HUBDB_HELPER_TABLE_SPEC(APP_ClientOwner, "", "clientId", "userId"),
            HUBDB_HELPER_TABLE_SPEC(APP_LiveBrowseConfig, "", "clientId", "userId")};
}

int ensureXmlProcsSchema(zydb::IDbConnection& conn, std::string* error) {
    int rc = ensureFamiliesBSchema(conn, error);
    return rc != zydb::DB_OK ? rc : hubdb::ensureTables(conn, xmlProcsTableSpecs(), error);
}

}  // namespace hubdb
