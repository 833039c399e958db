#include "platform/entities/propertystore.h"

#include "platform/db/dbbackend.h"
#include "platform/db/requestscope.h"
#include "platform/hubdb/threadsql.h"
#include "platform/hubdb/versionedproperty.h"

namespace zyent {

TPropertyMemo* propertyMemo() {
    return zydb::threadRequestMemo<TPropertyMemo>();
}

TPropertiesMemo* propertiesMemo() {
    return zydb::threadRequestMemo<TPropertiesMemo>();
}

int writeProperty(DBtran* tran, const char* table, long componentId, const std::string& name, int type,
                  const std::string& value, long long now) {
    if (TPropertyMemo* memo = propertyMemo()) memo->clear();
    if (TPropertiesMemo* memo = propertiesMemo()) memo->clear();
    hubdb::forgetFirstRowsOfThisRequest();
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
    return hubdb::setVersionedProperty(*conn, table, componentId, name, type, value, now);
}

}  // namespace zyent
