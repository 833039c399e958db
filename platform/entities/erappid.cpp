#include "platform/entities/erappid.h"

#include <vector>

#include "platform/db/dbresult.h"
#include "platform/hubdb/threadsql.h"

int ERAppId::getDRBackupTimeForDelayStubbing(unsigned long subclientId, uint64_t& jobId, long& backupTime,
                                             std::string& errorText, void*, void*) {
    std::vector<zydb::DbValue> row;
    int rc = hubdb::threadQueryFirstRow(
        "SELECT jobId, servEndDate FROM JMBkpStats WHERE appId = ? AND status IN (1, 3, 14) "
        "ORDER BY servEndDate DESC, jobId DESC LIMIT 1",
        {zydb::DbValue::ofInt(static_cast<long long>(subclientId))}, row);
    if (rc == zydb::DB_NO_DATA) {
        errorText = "subclient [" + std::to_string(subclientId) + "] has no finished backup";
        return rc;
    }
    if (rc != zydb::DB_OK) {
        errorText = std::string("backups of subclient [") + std::to_string(subclientId) +
                    "] cannot be read: " + zydb::dbResultText(rc);
        return rc;
    }
    jobId = static_cast<uint64_t>(row[0].asInt());
    backupTime = static_cast<long>(row[1].asInt());
    return 0;
}
