// The virtual-server procedures selected by request tag, over the job, job-link, subclient, client
// property and member-server tables.
#include "platform/hubdb/vsatagprocs.h"

#include <memory>
#include <vector>

#include "platform/db/dbenv.h"
#include "platform/db/dbresult.h"
#include "platform/db/dbtable.h"
#include "platform/hubdb/archivefiles.h"
#include "platform/hubdb/familiesb_procs.h"
#include "platform/hubdb/hubsql.h"
#include "platform/hubdb/procsupport.h"
#include "platform/log/evdebug.h"
#include "platform/msg/msg_classes.h"

using zydb::DbValue;

namespace hubdb {

namespace {

using E = ZyEntities::GenericEntity::f;

// Entity types of a GenericEntity (element 0).
constexpr int kClientEntityType = 3;
constexpr int kInstanceEntityType = 5;
constexpr int kSubclientEntityType = 7;

void logFailure(const char* procedure, const std::string& why) {
    EvDebug log(nullptr);
    log.setPrefixMessage("HUBDB");
    log.debugLvl(0, "ERROR: %s: %s", procedure, why.c_str());
}

long long idOf(const CNMessageBase& m, const MsgFieldRef& f) {
    return m.isSet(f) ? m.getint64(f) : 0;
}

// A tag procedure's frame: the request parsed, the connection of the caller's transaction (or of the
// thread), the answer written. `fill` returns DB_OK or an error with `why`.
template <class Req, class Resp, class Fill>
int answerByTag(const char* procedure, const std::string& requestXml, std::string& responseXml, void* context,
                Fill fill) {
    Req request;
    if (request.unserialize(requestXml) != 0) {
        logFailure(procedure, "the request cannot be read");
        return zydb::DB_ERR_ARGUMENT;
    }
    int rc = zydb::DB_OK;
    std::shared_ptr<zydb::IDbConnection> conn;
    if (context) conn = static_cast<DBtran*>(context)->tranConnection();
    if (!conn) conn = zydb::CDbEnv::threadConnection(&rc);
    if (!conn) {
        logFailure(procedure, std::string("no database connection: ") + zydb::dbResultText(rc));
        return rc == zydb::DB_OK ? zydb::DB_ERR_NOT_OPEN : rc;
    }
    Resp answer;
    std::string why;
    rc = fill(*conn, request, answer, why);
    if (rc != zydb::DB_OK) {
        logFailure(procedure, why.empty() ? conn->lastError() : why);
        return rc;
    }
    if (answer.serialize(responseXml) != 0) {
        logFailure(procedure, "the answer cannot be written");
        return zydb::DB_ERR_GENERAL;
    }
    return zydb::DB_OK;
}

// Whether the client's VMs were indexed per VM (V2) at time t: its V2 property in force then.
int indexedV2At(zydb::IDbConnection& conn, long long clientId, long long t, bool& v2) {
    std::vector<DbValue> row;
    int rc = queryFirstRow(
        conn,
        "SELECT attrVal FROM APP_ClientProp WHERE componentNameId = ? AND attrName = ? AND "
        "created <= ? AND (? < modified OR modified = 0) ORDER BY created DESC, id DESC LIMIT 1",
        {DbValue::ofInt(clientId), DbValue::ofText(kIndexingV2VsaProperty), DbValue::ofInt(t),
         DbValue::ofInt(t)},
        row);
    v2 = rc == zydb::DB_OK && row[0].asInt() != 0;
    return rc == zydb::DB_NO_DATA ? zydb::DB_OK : rc;
}

// The subclient's entity: client, backup set, instance and application type.
int subclientEntity(zydb::IDbConnection& conn, long long subclientId, CNMessageBase& entity) {
    std::vector<DbValue> row;
    int rc = queryFirstRow(
        conn, "SELECT clientId, backupSet, instance, appTypeId FROM APP_Application WHERE id = ?",
        {DbValue::ofInt(subclientId)}, row);
    if (rc != zydb::DB_OK) return rc;
    entity.setint64(E::_type_, kSubclientEntityType);
    entity.setint64(E::subclientId, subclientId);
    entity.setint64(E::clientId, row[0].asInt());
    entity.setint64(E::backupsetId, row[1].asInt());
    entity.setint64(E::instanceId, row[2].asInt());
    entity.setint64(E::applicationId, row[3].asInt());
    return zydb::DB_OK;
}

struct JobRow {
    long long jobId = 0;
    long long kelmarchId = 0;
    long long appId = 0;
    long long endTime = 0;
};

// The subclients that indexed a job. A VM's job (the child of a hypervisor job) was indexed under the
// VM while the hypervisor's client was on V2 at the job's time, else under the hypervisor subclient; a
// hypervisor job on V2 was indexed by each of its VMs; any other job by its own subclient.
int indexingSubclients(zydb::IDbConnection& conn, const JobRow& job, std::vector<long long>& out) {
    std::vector<DbValue> parent;
    int rc = queryFirstRow(
        conn,
        "SELECT l.parentAppid, a.clientId FROM JMJobDataLink l JOIN APP_Application a ON "
        "a.id = l.parentAppid WHERE l.childJobId = ? AND l.kelmarchId = ? AND l.linkType = ? "
        "LIMIT 1",
        {DbValue::ofInt(job.jobId), DbValue::ofInt(job.kelmarchId), DbValue::ofInt(kVmJobLinkType)}, parent);
    if (rc != zydb::DB_OK && rc != zydb::DB_NO_DATA) return rc;
    bool v2 = false;
    if (rc == zydb::DB_OK) {
        if ((rc = indexedV2At(conn, parent[1].asInt(), job.endTime, v2)) != zydb::DB_OK) return rc;
        out.push_back(v2 ? job.appId : parent[0].asInt());
        return zydb::DB_OK;
    }
    std::vector<int> children;
    rc = queryInts(
        conn,
        "SELECT childAppid FROM JMJobDataLink WHERE parentJobId = ? AND kelmarchId = ? AND linkType = ? "
        "ORDER BY childJobId",
        {DbValue::ofInt(job.jobId), DbValue::ofInt(job.kelmarchId), DbValue::ofInt(kVmJobLinkType)},
        children);
    if (rc != zydb::DB_OK) return rc;
    if (!children.empty()) {
        std::vector<DbValue> owner;
        rc = queryFirstRow(conn, "SELECT clientId FROM APP_Application WHERE id = ?",
                           {DbValue::ofInt(job.appId)}, owner);
        if (rc == zydb::DB_OK) rc = indexedV2At(conn, owner[0].asInt(), job.endTime, v2);
        if (rc != zydb::DB_OK && rc != zydb::DB_NO_DATA) return rc;
    }
    if (v2)
        out.assign(children.begin(), children.end());
    else
        out.push_back(job.appId);
    return zydb::DB_OK;
}

// JMGetJobIndexInfo: the finished jobs of the entity's client, newest first (the first is the one a
// browse at the range's end reads), each with the entity that indexed it. With a job id, that job (or, for a
// client of a VM, its own child of that hypervisor job) whatever its time; else the jobs that ended within
// the time range (a to-time of 0: no end).
int jobIndexInfo(zydb::IDbConnection& conn, JobManager::JobGetIndexInfoReq& request,
                 JobManager::JobIndexingQueryResp& answer, std::string& why) {
    using R = JobManager::JobGetIndexInfoReq::f;
    const CNMessageBase* entity = request.getObjectAccessor(R::entity, false);
    const long long clientId = entity ? idOf(*entity, E::clientId) : 0;
    if (clientId <= 0) {
        why = "the request names no client";
        return zydb::DB_ERR_ARGUMENT;
    }
    const long long jobId = idOf(request, R::jobId);
    const CNMessageBase* kelmarch = request.getObjectAccessor(R::kelmarch, false);
    const long long kelmarchId = kelmarch ? idOf(*kelmarch, ZyEntities::KelmarchEntity::f::kelmarchId) : 0;
    const CNMessageBase* range = request.getObjectAccessor(R::at5_5, false);
    const long long fromTime = range ? idOf(*range, ZyEntities::Msg49::f::fromTime) : 0;
    long long toTime = range ? idOf(*range, ZyEntities::Msg49::f::toTime) : 0;
    if (toTime <= 0) toTime = kOpenEndTime;

    std::string sql =
        "SELECT j.jobId, j.kelmarchId, j.appId, j.servEndDate FROM JMBkpStats j JOIN APP_Application a ON "
        "a.id = j.appId WHERE a.clientId = ?1 AND ";
    std::vector<DbValue> params{DbValue::ofInt(clientId)};
    if (jobId > 0) {
        sql +=
            "(?2 <= 0 OR j.kelmarchId = ?2) AND (j.jobId = ?3 OR EXISTS (SELECT 1 FROM JMJobDataLink l WHERE "
            "l.childJobId = j.jobId AND l.kelmarchId = j.kelmarchId AND l.parentJobId = ?3 AND l.linkType = "
            "?4))";
        params.insert(params.end(),
                      {DbValue::ofInt(kelmarchId), DbValue::ofInt(jobId), DbValue::ofInt(kVmJobLinkType)});
    } else {
        sql += "j.servEndDate >= ?2 AND j.servEndDate <= ?3";
        params.insert(params.end(), {DbValue::ofInt(fromTime), DbValue::ofInt(toTime)});
    }
    sql += " ORDER BY j.servEndDate DESC, j.jobId DESC";
    std::vector<JobRow> jobs;
    int rc = forEachRow(conn, sql, params, [&](const zydb::IDbRow& r) {
        jobs.push_back({r.columnInt64(0), r.columnInt64(1), r.columnInt64(2), r.columnInt64(3)});
        return zydb::DB_OK;
    });
    if (rc != zydb::DB_OK) return rc;

    auto* list = answer.getlistobject(JobManager::JobIndexingQueryResp::f::jobIndexInfo, true);
    for (const JobRow& job : jobs) {
        std::vector<long long> subclients;
        if ((rc = indexingSubclients(conn, job, subclients)) != zydb::DB_OK) return rc;
        for (long long subclient : subclients) {
            JobManager::JobIndexInfo info;
            info.getObjectAccessor(JobManager::JobIndexInfo::f::kelmarch, true)
                ->setint64(ZyEntities::KelmarchEntity::f::kelmarchId, job.kelmarchId);
            rc = subclientEntity(conn, subclient,
                                 *info.getObjectAccessor(JobManager::JobIndexInfo::f::entity, true));
            if (rc == zydb::DB_NO_DATA) continue;  // a subclient deleted since: nothing indexes there now
            if (rc != zydb::DB_OK) return rc;
            list->push_back(info);
        }
    }
    return zydb::DB_OK;
}

// AppGetVSMemberServers: the member servers of the virtual-server instance that the entity names (its
// instance id, or the instance of its subclient), in their recorded order; each entity holds the
// member's client id and, while its client exists, its name. An unknown subclient has none.
int vsMemberServers(zydb::IDbConnection& conn, App::GetVSMemberServersRequest& request,
                    App::GetVSMemberServersResponse& answer, std::string& why) {
    const CNMessageBase* entity = request.getObjectAccessor(App::GetVSMemberServersRequest::f::entity, false);
    long long instanceId = entity ? idOf(*entity, E::instanceId) : 0;
    const long long subclientId = entity ? idOf(*entity, E::subclientId) : 0;
    const long long type = entity ? idOf(*entity, E::_type_) : 0;
    if (subclientId > 0 && (type == kSubclientEntityType || instanceId <= 0)) {
        std::vector<DbValue> row;
        int rc = queryFirstRow(conn, "SELECT instance FROM APP_Application WHERE id = ?",
                               {DbValue::ofInt(subclientId)}, row);
        if (rc != zydb::DB_OK && rc != zydb::DB_NO_DATA) return rc;
        instanceId = rc == zydb::DB_OK ? row[0].asInt() : 0;
    } else if (instanceId <= 0 || (type != 0 && type != kInstanceEntityType)) {
        why = "the request names no subclient or instance";
        return zydb::DB_ERR_ARGUMENT;
    }
    auto* members = answer.getObjectAccessor(App::GetVSMemberServersResponse::f::memberServers, true)
                        ->getlistobject(App::Msg255::f::memberServers, true);
    return forEachRow(conn,
                      "SELECT m.memberClientId, c.name FROM APP_VSMemberServer m LEFT JOIN APP_Client c ON "
                      "c.id = m.memberClientId WHERE m.instanceId = ? ORDER BY m.id",
                      {DbValue::ofInt(instanceId)}, [&](const zydb::IDbRow& r) {
                          App::MemberServer member;
                          CNMessageBase* e = member.getObjectAccessor(App::MemberServer::f::entity, true);
                          e->setint64(E::_type_, kClientEntityType);
                          e->setint64(E::clientId, r.columnInt64(0));
                          if (!r.columnIsNull(1)) e->setstring(E::clientName, std::string(r.columnText(1)));
                          members->push_back(member);
                          return zydb::DB_OK;
                      });
}

}  // namespace

int jmGetJobIndexInfoTagProc(const std::string& requestXml, std::string& responseXml, void* context) {
    return answerByTag<JobManager::JobGetIndexInfoReq, JobManager::JobIndexingQueryResp>(
        "JMGetJobIndexInfo", requestXml, responseXml, context, jobIndexInfo);
}

int appGetVSMemberServersTagProc(const std::string& requestXml, std::string& responseXml, void* context) {
    return answerByTag<App::GetVSMemberServersRequest, App::GetVSMemberServersResponse>(
        "AppGetVSMemberServers", requestXml, responseXml, context, vsMemberServers);
}

}  // namespace hubdb
