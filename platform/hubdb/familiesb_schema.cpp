// Specs from familiesb_tables.def, and the create-or-complete pass over them.
#include "platform/hubdb/familiesb_schema.h"

#include <strings.h>

#include <memory>

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
#include "platform/db/dbresult.h"

namespace hubdb {

namespace {

zydb::TableSpec* findSpec(std::vector<zydb::TableSpec>& specs, const char* name) {
    for (auto& s : specs)
        if (strcasecmp(s.name.c_str(), name) == 0) return &s;
    return nullptr;
}

// The column's definition as CREATE TABLE writes it, for ALTER TABLE ... ADD COLUMN.
std::string columnDefinition(const zydb::TableSpec& table, const zydb::ColumnSpec& column) {
    zydb::TableSpec one;
    one.name = table.name;
    one.columns.push_back(column);
    const std::string sql = zydb::createTableSql(one).front();
    const size_t open = sql.find(" (");
    const size_t close = sql.rfind(')');
    return sql.substr(open + 2, close - open - 2);
}

bool hasColumn(zydb::IDbConnection& conn, const std::string& table, const std::string& column) {
    std::unique_ptr<zydb::IDbStatement> st;
    return conn.prepare("SELECT " + column + " FROM " + table + " WHERE 1 = 0", st) == zydb::DB_OK;
}

int run(zydb::IDbConnection& conn, const std::string& sql, std::string* error) {
    int rc = conn.exec(sql);
    if (rc != zydb::DB_OK && error) *error = sql + ": " + conn.lastError();
    return rc;
}

}  // namespace

std::vector<zydb::TableSpec> familiesBTableSpecs() {
    std::vector<zydb::TableSpec> specs;
#define HUB_FAMILY_TABLE(X) specs.push_back(zydb::tableSpecOf<X>());
#define HUB_HELPER_TABLE(table, serialName, ...)                                      \
    {                                                                                 \
        zydb::TableSpec spec;                                                         \
        spec.name = #table;                                                           \
        table##_COLUMNS(ZYDB_SPEC_COLUMN) spec.serial = serialName;                   \
        for (const char* k : zydb::keys(__VA_ARGS__)) spec.primaryKeys.push_back(k); \
        if (!findSpec(specs, #table)) specs.push_back(std::move(spec));               \
    }
#define FAMILIESB_READ_TABLE(X) \
    if (!findSpec(specs, X##_desc::dbName)) specs.push_back(zydb::tableSpecOf<X>());
#define HUB_INDEX(table, ...) \
    if (zydb::TableSpec* t = findSpec(specs, #table)) t->indexes.push_back({__VA_ARGS__});
#include "platform/hubdb/familiesb_tables.def"
#undef HUB_FAMILY_TABLE
#undef HUB_HELPER_TABLE
#undef FAMILIESB_READ_TABLE
#undef HUB_INDEX
    return specs;
}

int ensureFamiliesBSchema(zydb::IDbConnection& conn, std::string* error) {
    for (const zydb::TableSpec& spec : familiesBTableSpecs()) {
        const std::vector<std::string> sql = zydb::createTableSql(spec);
        int rc = run(conn, sql.front(), error);
        if (rc != zydb::DB_OK) return rc;
        for (const zydb::ColumnSpec& c : spec.columns) {
            if (hasColumn(conn, spec.name, c.name)) continue;
            rc = run(conn, "ALTER TABLE " + spec.name + " ADD COLUMN " + columnDefinition(spec, c), error);
            if (rc != zydb::DB_OK) return rc;
        }
        for (size_t k = 1; k < sql.size(); ++k) {
            rc = run(conn, sql[k], error);
            if (rc != zydb::DB_OK) return rc;
        }
    }
    return zydb::DB_OK;
}

}  // namespace hubdb
