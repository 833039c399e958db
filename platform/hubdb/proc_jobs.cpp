// Job procedures over JMBkpStats: one bound statement each; an engine error is returned as it is,
// never mistaken for an empty answer.
#include "platform/hubdb/proc_jobs.h"

#include <memory>
#include <string>

#include "platform/db/dbresult.h"

using zydb::DbValue;

namespace hubdb {

namespace {

// Times come as 32-bit arguments; 0 or less leaves the time range open.
long long timeBound(long long t) {
    return t > 0 ? t : 0x7fffffffLL;
}

int failed(zydb::CProcCall& call, int rc) {
    call.setError(call.connection().lastError());
    return rc == zydb::DB_NO_DATA ? zydb::DB_ERR_PROCEDURE : rc;
}

}  // namespace

// A backup set has cloud-laptop jobs when a subclient of it has a finished backup job (status 1, 3
// or 14) started at or before the time whose extended attributes carry the cloud-laptop bit.
// Always one row: 1 when such a job exists, else 0.
int jmGetHasCloudLaptopJobsProc(zydb::CProcCall& call) {
    static const char* const kSql =
        "SELECT EXISTS (SELECT 1 FROM JMBkpStats s JOIN APP_Application a ON a.id = s.appId "
        "WHERE a.backupSet = ? AND s.servStartDate <= ? AND s.status IN (1, 3, 14) AND (s.bkpAttributesEx & "
        "?) <> 0)";
    std::unique_ptr<zydb::IDbStatement> st;
    int rc = zydb::prepareBound(call.connection(), kSql,
                                {DbValue::ofInt(call.argInt(0)), DbValue::ofInt(timeBound(call.argInt(1))),
                                 DbValue::ofInt(kBkpAttrExCloudLaptop)},
                                st);
    if (rc != zydb::DB_OK) return failed(call, rc);
    rc = st->step();
    if (rc != zydb::DB_OK) return failed(call, rc);
    call.addRow({DbValue::ofInt(st->columnInt64(0) != 0 ? 1 : 0)});
    return zydb::DB_OK;
}

// The jobs of the subclient's cycle in force at the end time: the cycle starts with the latest
// completed (status 1, 3 or 14) full or synthetic full job started at or before the end time, and
// holds every job of the subclient started from that job's start up to the end time, oldest first.
// Without such a full job every job started up to the end time is listed.
int jmGetBkpJobIdsUpToEndTimeProc(zydb::CProcCall& call) {
    static const char* const kSql =
        "SELECT jobId, kelmarchId FROM JMBkpStats WHERE appId = ? AND servStartDate <= ? AND servStartDate "
        ">= "
        "COALESCE((SELECT MAX(servStartDate) FROM JMBkpStats WHERE appId = ? AND servStartDate <= ? "
        "AND (bkpLevel & ?) <> 0 AND status IN (1, 3, 14)), 0) ORDER BY servStartDate, jobId";
    const DbValue appId = DbValue::ofInt(call.argInt(0));
    const DbValue end = DbValue::ofInt(timeBound(call.argInt(1)));
    std::unique_ptr<zydb::IDbStatement> st;
    int rc = zydb::prepareBound(call.connection(), kSql,
                                {appId, end, appId, end, DbValue::ofInt(kFullLevelBits)}, st);
    if (rc != zydb::DB_OK) return failed(call, rc);
    while ((rc = st->step()) == zydb::DB_OK)
        call.addRow({DbValue::ofInt(st->columnInt64(0)), DbValue::ofInt(st->columnInt64(1))});
    if (rc != zydb::DB_NO_DATA) {
        call.rows().clear();  // a partial list would pass for the whole cycle
        return failed(call, rc);
    }
    return zydb::DB_OK;
}

}  // namespace hubdb
