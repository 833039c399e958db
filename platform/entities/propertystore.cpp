#include "platform/entities/propertystore.h"

#include "platform/db/dbbackend.h"

namespace zyent {

int writeProperty(DBtran* tran, const char* table, long componentId, const std::string& name, int type,
                  const std::string& value, long long now) {
    if (tran == nullptr) {
        // Both statements or neither: a transaction of its own, committed here.
        DBtran own(false);
        int rc = own.startTran();
        if (rc == zydb::DB_OK) rc = writeProperty(&own, table, componentId, name, type, value, now);
        if (rc == zydb::DB_OK) rc = own.commitTran();
        return rc;
    }
    std::shared_ptr<zydb::IDbConnection> conn = tran->tranConnection();
    if (!conn) return zydb::DB_ERR_STATE;
    int rc;
    // `table` is one of the families' own names, never outside input.
    const std::string t(table);
    rc = zydb::execBound(*conn, "UPDATE " + t + " SET modified = ? WHERE componentNameId = ? AND attrName = ? AND modified = 0",
                         {zydb::DbValue::ofInt(now), zydb::DbValue::ofInt(componentId), zydb::DbValue::ofText(name)});
    if (rc != zydb::DB_OK) return rc;
    return zydb::execBound(*conn,
                           "INSERT INTO " + t +
                               " (componentNameId, attrName, attrType, attrVal, created, modified) VALUES (?, ?, ?, ?, ?, 0)",
                           {zydb::DbValue::ofInt(componentId), zydb::DbValue::ofText(name), zydb::DbValue::ofInt(type),
                            zydb::DbValue::ofText(value), zydb::DbValue::ofInt(now)});
}

}  // namespace zyent
