#include "platform/security/securityschema.h"

#include "Db/Tbl/UMUsers.h"
#include "platform/hubdb/tablespecs.h"
#include "platform/security/securitytables.h"

namespace zysec {

std::vector<zydb::TableSpec> securityTableSpecs() {
    std::vector<zydb::TableSpec> specs = {
        zydb::tableSpecOf<SECUserRight>(),    zydb::tableSpecOf<SECClientAccess>(),
        zydb::tableSpecOf<UMUsersProp>(),     zydb::tableSpecOf<SECTokenSession>(),
        zydb::tableSpecOf<SECAppTypeUserAccess>(),
        zydb::tableSpecOf<UMUsers>(),  // read for every question about a user
    };
    specs[0].indexes.push_back({"userId", "permissionId"});
    specs[1].indexes.push_back({"callerClientId"});
    specs[2].indexes.push_back({"componentNameId"});
    specs[3].indexes.push_back({"sessionId"});
    return specs;
}

int ensureSecuritySchema(zydb::IDbConnection& conn, std::string* error) {
    return hubdb::ensureTables(conn, securityTableSpecs(), error);
}

}  // namespace zysec
