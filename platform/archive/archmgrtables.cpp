// Table specs of the archive manager's own tables (archmgrtables.def).
#include "platform/archive/archmgrtables.h"

#include "platform/db/dbresult.h"

namespace archmgr {

std::vector<zydb::TableSpec> archiveTableSpecs() {
    std::vector<zydb::TableSpec> specs;
#define HUB_HELPER_TABLE(table, serialName, ...)                                     \
    {                                                                                \
        zydb::TableSpec spec;                                                        \
        spec.name = #table;                                                          \
        table##_COLUMNS(ZYDB_SPEC_COLUMN) spec.serial = serialName;                  \
        for (const char* k : zydb::keys(__VA_ARGS__)) spec.primaryKeys.push_back(k); \
        specs.push_back(std::move(spec));                                            \
    }
#include "platform/archive/archmgrtables.def"
#undef HUB_HELPER_TABLE
    return specs;
}

int createArchiveTables(zydb::IDbConnection& conn, std::string* error) {
    for (const zydb::TableSpec& spec : archiveTableSpecs()) {
        for (const std::string& sql : zydb::createTableSql(spec)) {
            int rc = conn.exec(sql);
            if (rc != zydb::DB_OK) {
                if (error) *error = sql + ": " + conn.lastError();
                return rc;
            }
        }
    }
    return zydb::DB_OK;
}

}  // namespace archmgr
