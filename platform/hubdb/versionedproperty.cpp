#include "platform/hubdb/versionedproperty.h"

#include <strings.h>

#include "platform/db/dbresult.h"
#include "platform/hubdb/procsupport.h"

namespace hubdb {

using zydb::DbValue;

const std::vector<std::string>& propertyTables() {
    static const std::vector<std::string> tables = {"APP_ClientProp",   "APP_SubClientProp", "APP_IDAProp",
                                                    "APP_InstanceProp", "APP_BackupSetProp", "UMUsersProp"};
    return tables;
}

int setVersionedProperty(zydb::IDbConnection& conn, const char* table, long long componentId,
                         const std::string& name, int attrType, const std::string& value, long long now,
                         long long* rowId) {
    const std::string* known = nullptr;
    for (const std::string& t : propertyTables())
        if (table != nullptr && strcasecmp(t.c_str(), table) == 0) known = &t;
    if (known == nullptr) return zydb::DB_ERR_ARGUMENT;
    const std::string& t = *known;
    const std::vector<DbValue> key = {DbValue::ofInt(componentId), DbValue::ofText(name)};

    bool same = false;
    long long currentId = 0;
    int rc = forEachRow(
        conn,
        "SELECT id, attrType, attrVal FROM " + t +
            " WHERE componentNameId = ? AND attrName = ? AND modified = 0 ORDER BY id DESC LIMIT 1",
        key, [&](const zydb::IDbRow& r) {
            currentId = r.columnInt64(0);
            same = r.columnInt64(1) == attrType && !r.columnIsNull(2) && r.columnText(2) == value;
            return zydb::DB_OK;
        });
    if (rc != zydb::DB_OK) return rc;
    if (same) {
        if (rowId) *rowId = currentId;
        return zydb::DB_OK;
    }
    rc = zydb::execBound(
        conn, "UPDATE " + t + " SET modified = ? WHERE componentNameId = ? AND attrName = ? AND modified = 0",
        {DbValue::ofInt(now), key[0], key[1]});
    if (rc != zydb::DB_OK) return rc;
    // The id is taken in the inserting statement itself, so two writers never number a row alike.
    rc = zydb::execBound(
        conn,
        "INSERT INTO " + t + " (id, componentNameId, attrName, attrType, attrVal, created, modified) " +
            "VALUES ((SELECT IFNULL(MAX(id), 0) + 1 FROM " + t + "), ?, ?, ?, ?, ?, 0)",
        {key[0], key[1], DbValue::ofInt(attrType), DbValue::ofText(value), DbValue::ofInt(now)});
    if (rc != zydb::DB_OK || rowId == nullptr) return rc;
    return forEachRow(conn, "SELECT id FROM " + t + " WHERE rowid = ?", {DbValue::ofInt(conn.lastInsertId())},
                      [&](const zydb::IDbRow& r) {
                          *rowId = r.columnInt64(0);
                          return zydb::DB_OK;
                      });
}

}  // namespace hubdb
