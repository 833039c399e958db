#include "platform/entities/zymanagedbforjm.h"

#include "platform/db/dbresult.h"
#include "platform/hubdb/threadsql.h"

bool ZYManageDBForJM::GetBkpTimeForBkpHistoryJob(unsigned long jobId, long& backupTime, long& endTime,
                                                 unsigned long kelmarchId) {
    std::vector<zydb::DbValue> row;
    if (hubdb::threadQueryFirstRow(
            "SELECT servStartDate, servEndDate FROM JMBkpStats WHERE jobId = ? AND kelmarchId = ?",
            {zydb::DbValue::ofInt(static_cast<long long>(jobId)),
             zydb::DbValue::ofInt(static_cast<long long>(kelmarchId))},
            row) != zydb::DB_OK)
        return false;
    backupTime = static_cast<long>(row[0].asInt());
    endTime = static_cast<long>(row[1].asInt());
    return true;
}
