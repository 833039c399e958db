#include "platform/hubdb/jobinfotagproc.h"

#include <vector>

#include "platform/hubdb/hubsql.h"
#include "platform/hubdb/tagprocframe.h"
#include "platform/msg/msg_classes.h"

using zydb::DbValue;

namespace hubdb {

namespace {

// Query kind 1 of a QueryInfo: by job id.
constexpr long long kQueryByJobId = 1;

int jobInfo(zydb::IDbConnection& conn, JobManager::JobInfoReq& request, JobManager::JobInfoResp& answer,
            std::string& why) {
    const long long kelmarchId = request.getint64(JobManager::JobInfoReq::f::kelmarchId);
    auto* queries = request.getlistobject(JobManager::JobInfoReq::f::at2_2, false);
    auto* jobs = answer.getlistobject(JobManager::JobInfoResp::f::jobs, true);
    if (!queries) return zydb::DB_OK;
    for (CNMessageBase& query : *queries) {
        if (query.getint64(JobManager::QueryInfo::f::queryType) != kQueryByJobId) continue;
        const long long jobId = query.getint64(JobManager::QueryInfo::f::jobId);
        // A Kelmarch of 0 names the Hubmaster's own; finished jobs first, then running ones.
        std::vector<DbValue> row;
        int rc = queryFirstRow(
            conn,
            "SELECT a.clientId, a.id FROM (SELECT appId, kelmarchId FROM JMBkpStats WHERE jobId = ?1 "
            "UNION ALL SELECT appId, kelmarchId FROM JMJobInfo WHERE jobId = ?1) j "
            "JOIN APP_Application a ON a.id = j.appId WHERE ?2 = 0 OR j.kelmarchId = ?2 LIMIT 1",
            {DbValue::ofInt(jobId), DbValue::ofInt(kelmarchId)}, row);
        if (rc == zydb::DB_NO_DATA) continue;
        if (rc != zydb::DB_OK) {
            why = "job " + std::to_string(jobId) + " cannot be read";
            return rc;
        }
        JobManager::JobInfo job;
        job.setint64(JobManager::JobInfo::f::clientId, row[0].asInt());
        job.setint64(JobManager::JobInfo::f::appId, row[1].asInt());
        jobs->push_back(job);
    }
    return zydb::DB_OK;
}

}  // namespace

int jmGetJobInfoTagProc(const std::string& requestXml, std::string& responseXml, void* context) {
    return runTagProcedure<JobManager::JobInfoReq, JobManager::JobInfoResp>("JMGetJobInfo", requestXml,
                                                                            responseXml, context, jobInfo);
}

}  // namespace hubdb
