#include "platform/entities/platformschema.h"

#include <memory>

#include "Db/Tbl/APP_Application.h"
#include "Db/Tbl/APP_BackupSetName.h"
#include "Db/Tbl/APP_Client.h"
#include "Db/Tbl/APP_ClientProp.h"
#include "Db/Tbl/APP_SubClientProp.h"
#include "platform/db/dbresult.h"
#include "platform/entities/entitytables.h"

namespace zyent {

namespace {

// The column as CREATE TABLE writes it, for ALTER TABLE ... ADD COLUMN.
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

int ensureTables(zydb::IDbConnection& conn, const std::vector<zydb::TableSpec>& specs, std::string* error) {
    for (const zydb::TableSpec& spec : specs) {
        const std::vector<std::string> sql = zydb::createTableSql(spec);
        int rc = run(conn, sql.front(), error);
        if (rc != zydb::DB_OK) return rc;
        for (const zydb::ColumnSpec& c : spec.columns) {
            if (hasColumn(conn, spec.name, c.name)) continue;
            // A key column cannot be added later; the table's own is kept.
            zydb::TableSpec plain = spec;
            plain.primaryKeys.clear();
            plain.serial.clear();
            rc = run(conn, "ALTER TABLE " + spec.name + " ADD COLUMN " + columnDefinition(plain, c), error);
            if (rc != zydb::DB_OK) return rc;
        }
        for (size_t k = 1; k < sql.size(); ++k) {
            rc = run(conn, sql[k], error);
            if (rc != zydb::DB_OK) return rc;
        }
    }
    return zydb::DB_OK;
}

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
    return ensureTables(conn, entityTableSpecs(), error);
}

}  // namespace zyent
