// ArchGetBackupCopyPrecedenceForSnap over jobs, archive files and the copies of their storage policy.
#include <string>

#include "platform/db/dbresult.h"
#include "platform/hubdb/archprocs.h"
#include "platform/hubdb/familiesb_procs.h"
#include "platform/hubdb/hubsql.h"
#include "platform/hubdb/procsupport.h"

using zydb::DbValue;

namespace hubdb {

namespace {

// Data archive files (types 1 and 4) of job j.
constexpr const char* kJobDataFiles =
    "FROM archFile f WHERE f.jobId = j.jobId AND f.kelmarchId = j.kelmarchId AND f.isValid = 1 AND "
    "f.fileType IN (1, 4)";

std::vector<DbValue> answer(int precedence, const std::string& error) {
    return {DbValue::ofInt(precedence), error.empty() ? DbValue{} : DbValue::ofText(error)};
}

}  // namespace

// ArchGetBackupCopyPrecedenceForSnap(backupSet, subclient, from, to): always one row.
// The snap jobs are the finished jobs (status 1, 3 or 14) of the subclient (without one, of every
// subclient of the backup set) that ended in [from, to] (to <= 0: no end) with a valid data file on a
// snap copy. The newest of them is browsed: the answer is the lowest precedence among the non-snap
// copies of its storage policy that hold every one of its data files valid and not aged, i.e. where
// its backup copy has run. Otherwise the precedence is 0 and r_error tells why.
int archGetBackupCopyPrecedenceForSnapProc(zydb::CProcCall& call) {
    const int backupSetId = static_cast<int>(call.argInt(0));
    const int subclientId = static_cast<int>(call.argInt(1));
    const long long fromTime = call.argInt(2);
    const long long toTime = call.argInt(3) > 0 ? call.argInt(3) : kOpenEndTime;
    zydb::IDbConnection& conn = call.connection();

    if (subclientId > 0 && backupSetId > 0) {
        std::vector<DbValue> row;
        int rc = queryFirstRow(conn, "SELECT backupSet FROM APP_Application WHERE id = ?",
                               {DbValue::ofInt(subclientId)}, row);
        if (rc != zydb::DB_OK && rc != zydb::DB_NO_DATA) return procFailure(call, rc);
        if (rc == zydb::DB_NO_DATA || row[0].asInt() != backupSetId) {
            call.addRow(answer(0, "Subclient [" + std::to_string(subclientId) + "] is not in backup set [" +
                                      std::to_string(backupSetId) + "]"));
            return zydb::DB_OK;
        }
    }

    const std::string subclients =
        subclientId > 0 ? "j.appId = ?" : "j.appId IN (SELECT id FROM APP_Application WHERE backupSet = ?)";
    long long jobId = 0, kelmarchId = 0;
    bool haveJob = false;
    int rc = forEachRow(
        conn,
        "SELECT j.jobId, j.kelmarchId FROM JMBkpStats j WHERE " + subclients +
            " AND j.status IN (1, 3, 14) AND j.servEndDate >= ? AND j.servEndDate <= ? AND EXISTS (SELECT "
            "1 " +
            kJobDataFiles +
            " AND EXISTS (SELECT 1 FROM archFileCopy c JOIN archGroupCopy g ON g.id = c.archCopyId "
            "WHERE c.archFileId = f.id AND c.kelmarchId = f.kelmarchId AND c.isValid = 1 AND g.isSnapCopy = "
            "1)) "
            "ORDER BY j.servEndDate DESC, j.jobId DESC LIMIT 1",
        {DbValue::ofInt(subclientId > 0 ? subclientId : backupSetId), DbValue::ofInt(fromTime),
         DbValue::ofInt(toTime)},
        [&](const zydb::IDbRow& r) {
            haveJob = true;
            jobId = r.columnInt64(0);
            kelmarchId = r.columnInt64(1);
            return zydb::DB_OK;
        });
    if (rc != zydb::DB_OK) return procFailure(call, rc);
    if (!haveJob) {
        call.addRow(answer(0, "No snap backup job was found in the browse window"));
        return zydb::DB_OK;
    }

    std::vector<DbValue> precedence;
    rc = queryFirstRow(
        conn,
        std::string("SELECT g.copy FROM archGroupCopy g, (SELECT ? AS jobId, ? AS kelmarchId) j "
                    "WHERE g.isSnapCopy = 0 AND g.archGroupId IN (SELECT f.archGroupId ") +
            kJobDataFiles + ") AND NOT EXISTS (SELECT 1 " + kJobDataFiles +
            " AND NOT EXISTS (SELECT 1 FROM archFileCopy c WHERE c.archFileId = f.id AND "
            "c.kelmarchId = f.kelmarchId AND c.archCopyId = g.id AND c.isValid = 1 AND c.agedBy = 0)) "
            "ORDER BY g.copy LIMIT 1",
        {DbValue::ofInt(jobId), DbValue::ofInt(kelmarchId)}, precedence);
    if (rc == zydb::DB_NO_DATA) {
        call.addRow(answer(0, "The backup copy of snap job [" + std::to_string(jobId) + "] has not run"));
        return zydb::DB_OK;
    }
    if (rc != zydb::DB_OK) return procFailure(call, rc);
    call.addRow(answer(static_cast<int>(precedence[0].asInt()), ""));
    return zydb::DB_OK;
}

}  // namespace hubdb
