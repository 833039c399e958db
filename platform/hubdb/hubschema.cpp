// Table specs of the Hubmaster database from the family descriptors and hubtables.def.
#include "platform/hubdb/hubschema.h"

#include <strings.h>

#include "Db/Tbl/APP_Application.h"
#include "Db/Tbl/APP_Client.h"
#include "Db/Tbl/archFile.h"
#include "platform/db/dbresult.h"

namespace hubdb {

namespace {

zydb::TableSpec* findSpec(std::vector<zydb::TableSpec>& specs, const char* name) {
    for (auto& s : specs)
        if (strcasecmp(s.name.c_str(), name) == 0) return &s;
    return nullptr;
}

}  // namespace

std::vector<zydb::TableSpec> hubTableSpecs() {
    std::vector<zydb::TableSpec> specs;
#define HUB_FAMILY_TABLE(X) specs.push_back(zydb::tableSpecOf<X>());
#define HUB_HELPER_TABLE(table, serialName, ...)                                  \
    {                                                                             \
        zydb::TableSpec spec;                                                     \
        spec.name = #table;                                                       \
        table##_COLUMNS(ZYDB_SPEC_COLUMN) spec.serial = serialName;               \
        for (const char* k : zydb::keys(__VA_ARGS__)) spec.primaryKeys.push_back(k); \
        if (!findSpec(specs, #table)) specs.push_back(std::move(spec));           \
    }
#define HUB_EXTRA_COLUMN(table, column, type, expr)                                                         \
    if (zydb::TableSpec* t = findSpec(specs, #table))                                                       \
        t->columns.push_back({#column, ::zydb::col::type::code, ::zydb::col::type::width, expr});
#define HUB_INDEX(table, ...) \
    if (zydb::TableSpec* t = findSpec(specs, #table)) t->indexes.push_back({__VA_ARGS__});
#include "platform/hubdb/hubtables.def"
#undef HUB_FAMILY_TABLE
#undef HUB_HELPER_TABLE
#undef HUB_EXTRA_COLUMN
#undef HUB_INDEX
    return specs;
}

int createHubSchema(zydb::IDbConnection& conn, std::string* error) {
    for (const zydb::TableSpec& spec : hubTableSpecs()) {
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

}  // namespace hubdb
