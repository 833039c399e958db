#include "platform/entities/platformschema.h"

#include "Db/Tbl/APP_Application.h"
#include "Db/Tbl/APP_BackupSetName.h"
#include "Db/Tbl/APP_Client.h"
#include "Db/Tbl/APP_ClientProp.h"
#include "Db/Tbl/APP_SubClientProp.h"
#include "platform/db/dbresult.h"
#include "platform/entities/entitytables.h"
#include "platform/hubdb/tablespecs.h"

namespace zyent {

std::vector<zydb::TableSpec> entityTableSpecs() {
    std::vector<zydb::TableSpec> specs = {
        zydb::tableSpecOf<APP_InstanceName>(),  zydb::tableSpecOf<APP_InstanceProp>(),
        zydb::tableSpecOf<APP_BackupSetProp>(), zydb::tableSpecOf<WBAReplicationPair>(),
        zydb::tableSpecOf<SDEraseFilter>(),     zydb::tableSpecOf<simOperatingSystem>(),
        zydb::tableSpecOf<APP_VMToPMMap>(),     zydb::tableSpecOf<APP_SharePointMemberServer>(),
        // read by the entity classes and the install-manager readers
        zydb::tableSpecOf<APP_Application>(),   zydb::tableSpecOf<APP_BackupSetName>(),
        zydb::tableSpecOf<APP_Client>(),        zydb::tableSpecOf<APP_ClientProp>(),
        zydb::tableSpecOf<APP_SubClientProp>(),
    };
    auto index = [&specs](const char* table, std::vector<std::string> columns) {
        for (auto& s : specs)
            if (s.name == table) s.indexes.push_back(std::move(columns));
    };
    index("APP_InstanceProp", {"componentNameId"});
    index("APP_BackupSetProp", {"componentNameId"});
    index("WBAReplicationPair", {"sourceClientId"});
    index("SDEraseFilter", {"clientId", "appTypeId"});
    index("APP_VMToPMMap", {"VMClientId"});
    index("APP_SharePointMemberServer", {"pseudoClientId"});
    return specs;
}

int ensureEntitySchema(zydb::IDbConnection& conn, std::string* error) {
    return hubdb::ensureTables(conn, entityTableSpecs(), error);
}

}  // namespace zyent
