// The job manager's records of one job that application mining reads: its completion status and its
// miscellaneous options.
#include <vector>

#include "platform/db/dbresult.h"
#include "platform/db/dbtable.h"
#include "platform/entities/entityconfig.h"
#include "platform/entities/zymanagedbforjm.h"
#include "platform/hubdb/hubsql.h"
#include "platform/hubdb/threadsql.h"

using zydb::DbValue;

namespace {
long long kelmarchOrDefault(unsigned long kelmarchId) {
    return static_cast<long long>(kelmarchId != 0 ? kelmarchId : ZYManageDBForJM::getDefaultKelmarchID());
}
}  // namespace

bool ZYManageDBForJM::getStatusForBackupJob(unsigned long kelmarchId, unsigned long jobId, int, int& status) {
    const std::vector<DbValue> key = {DbValue::ofInt(static_cast<long long>(jobId)),
                                      DbValue::ofInt(kelmarchOrDefault(kelmarchId))};
    std::vector<DbValue> row;
    // A finished job's recorded status; a job still running has only its own.
    int rc = hubdb::threadQueryFirstRow("SELECT status FROM JMBkpStats WHERE jobId = ? AND kelmarchId = ?",
                                        key, row);
    if (rc == zydb::DB_NO_DATA)
        rc = hubdb::threadQueryFirstRow("SELECT status FROM JMJobInfo WHERE jobId = ? AND kelmarchId = ?",
                                        key, row);
    if (rc != zydb::DB_OK || row.empty() || row[0].isNull()) return false;
    status = static_cast<int>(row[0].asInt());
    return true;
}

int App_MiscOptions::getMiscOption(unsigned long jobId, int optionId, int& number, int& flags,
                                   std::string& value, unsigned& kelmarchId, void* transaction) {
    clearErrorString();
    const std::vector<DbValue> params = {DbValue::ofInt(static_cast<long long>(jobId)),
                                         DbValue::ofInt(kelmarchOrDefault(kelmarchId)),
                                         DbValue::ofInt(optionId)};
    static const char* const kSql =
        "SELECT numVal, flags, stringVal FROM JMMiscOptions WHERE jobId = ? AND kelmarchId = ? AND optionId "
        "= ?";
    std::vector<DbValue> row;
    int rc;
    std::shared_ptr<zydb::IDbConnection> tranConn =
        transaction ? static_cast<DBtran*>(transaction)->tranConnection() : nullptr;
    if (tranConn) {
        rc = hubdb::queryFirstRow(*tranConn, kSql, params, row);
    } else {
        rc = hubdb::threadQueryFirstRow(kSql, params, row);
    }
    if (rc == zydb::DB_OK) {
        number = static_cast<int>(row[0].asInt());
        flags = static_cast<int>(row[1].asInt());
        value = row[2].isNull() ? std::string() : row[2].asText();
    } else if (rc != zydb::DB_NO_DATA) {
        setErrorString("miscellaneous option " + std::to_string(optionId) + " of job " +
                       std::to_string(jobId) + " cannot be read: " + zydb::dbResultText(rc));
    }
    return rc;
}
