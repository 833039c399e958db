// The seed builder: typed inserts over the schema of hubschema.cpp.
#include "platform/hubdb/hubdbseed.h"

#include <cstdio>

#include "platform/db/dbresult.h"
#include "platform/hubdb/hubschema.h"
#include "platform/hubdb/hubsql.h"
#include "platform/hubdb/versionedproperty.h"

using zydb::DbValue;

namespace hubdb {

using namespace seedvalues;

HubDbSeed::HubDbSeed(const std::string& path) : m_path(path) {
    zydb::DbOpenOptions o;
    o.create = true;
    std::string err;
    if (zydb::sqliteBackend().connect(path, o, m_conn, err) != zydb::DB_OK) {
        m_error = err.empty() ? "cannot open " + path : err;
        return;
    }
    if (createHubSchema(*m_conn, &err) != zydb::DB_OK) m_error = err;
}

HubDbSeed::~HubDbSeed() {
    m_cache.clear();  // statements before their connection
    m_conn.reset();
}

int HubDbSeed::fail(const std::string& what) {
    if (m_error.empty()) m_error = what + (m_conn ? ": " + m_conn->lastError() : std::string());
    return -1;
}

std::string HubDbSeed::makeGuid(int kind, long long id) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%08X-0000-4000-8000-%012llX", kind, static_cast<unsigned long long>(id));
    return buf;
}

int HubDbSeed::exec(const std::string& sql, const std::vector<DbValue>& params) {
    if (!m_conn) return zydb::DB_ERR_NOT_OPEN;
    auto& st = m_cache[sql];
    int rc = zydb::DB_OK;
    if (!st) rc = m_conn->prepare(sql, st);
    if (rc != zydb::DB_OK) {
        m_cache.erase(sql);
        fail(sql);
        return rc;
    }
    st->reset();
    for (size_t k = 0; k < params.size() && rc == zydb::DB_OK; ++k)
        rc = st->bind(static_cast<int>(k + 1), params[k]);
    if (rc == zydb::DB_OK) rc = st->step();
    st->reset();
    if (rc == zydb::DB_NO_DATA || rc == zydb::DB_OK) return zydb::DB_OK;
    fail(sql);
    return rc;
}

long long HubDbSeed::queryInt(const std::string& sql, const std::vector<DbValue>& params, long long def) {
    if (!m_conn) return def;
    std::vector<DbValue> row;
    int rc = queryFirstRow(*m_conn, sql, params, row);
    if (rc == zydb::DB_OK && !row.empty() && !row[0].isNull()) return row[0].asInt();
    if (rc != zydb::DB_OK && rc != zydb::DB_NO_DATA) fail(sql);
    return def;
}

long long HubDbSeed::insertRow(const std::string& table,
                               const std::vector<std::pair<std::string, DbValue>>& columns) {
    std::string names, marks;
    std::vector<DbValue> values;
    for (const auto& [name, value] : columns) {
        names += (names.empty() ? "" : ", ") + name;
        marks += marks.empty() ? "?" : ", ?";
        values.push_back(value);
    }
    if (exec("INSERT INTO " + table + " (" + names + ") VALUES (" + marks + ")", values) != zydb::DB_OK)
        return -1;
    return m_conn->lastInsertId();
}

int HubDbSeed::begin() {
    return exec("BEGIN");
}
int HubDbSeed::commit() {
    return exec("COMMIT");
}

int HubDbSeed::addClient(const ClientSeed& c) {
    long long id =
        insertRow("APP_Client", {{"name", T(c.name)},
                                 {"simOperatingSystemId", I(c.osId)},
                                 {"net_hostname", T(c.hostName.empty() ? c.name : c.hostName)},
                                 {"clientDescription", c.description.empty() ? DbValue{} : T(c.description)},
                                 {"zydPort", I(c.zydPort)},
                                 {"releaseId", I(c.releaseId)},
                                 {"origKMId", I(c.kelmarchId)},
                                 {"displayName", T(c.displayName.empty() ? c.name : c.displayName)}});
    if (id < 0) return -1;
    exec("UPDATE APP_Client SET GUID = ? WHERE id = ?",
         {T(c.guid.empty() ? makeGuid(1, id) : c.guid), I(id)});
    return static_cast<int>(id);
}

int HubDbSeed::addMediaAgent(const ClientSeed& client, const std::string& version, int idxCacheSoftState) {
    int id = addClient(client);
    if (id < 0) return -1;
    if (insertRow("mediaAgent", {{"clientId", I(id)},
                                 {"versionText", T(version)},
                                 {"idxCacheSoftState", I(idxCacheSoftState)}}) < 0)
        return -1;
    return id;
}

int HubDbSeed::addStoragePolicy(const std::string& name, int mediaAgentClientId) {
    long long sp = insertRow("archGroup", {{"name", T(name)}});
    if (sp < 0) return -1;
    int copy = addCopy(static_cast<int>(sp), 1, mediaAgentClientId, name + " primary");
    if (copy < 0 || setDefaultCopy(static_cast<int>(sp), copy) != 0) return -1;
    return static_cast<int>(sp);
}

int HubDbSeed::copyId(int storagePolicyId, int precedence) {
    return static_cast<int>(queryInt("SELECT id FROM archGroupCopy WHERE archGroupId = ? AND copy = ?",
                                     {I(storagePolicyId), I(precedence)}, -1));
}

int HubDbSeed::setDefaultCopy(int storagePolicyId, int copyId) {
    return exec("UPDATE archGroup SET defaultCopy = ? WHERE id = ?", {I(copyId), I(storagePolicyId)}) ==
                   zydb::DB_OK
               ? 0
               : -1;
}

int HubDbSeed::setSnapCopy(int copyId, bool snap) {
    return exec("UPDATE archGroupCopy SET isSnapCopy = ? WHERE id = ?", {I(snap ? 1 : 0), I(copyId)}) ==
                   zydb::DB_OK
               ? 0
               : -1;
}

int HubDbSeed::addCopy(int storagePolicyId, int precedence, int mediaAgentClientId, const std::string& name) {
    long long id =
        insertRow("archGroupCopy", {{"archGroupId", I(storagePolicyId)},
                                    {"copy", I(precedence)},
                                    {"name", T(name.empty() ? "copy " + std::to_string(precedence) : name)},
                                    {"mediaAgentId", I(mediaAgentClientId)}});
    return static_cast<int>(id);
}

int HubDbSeed::addBackupSet(const std::string& name, const std::string& guid) {
    long long id = insertRow("APP_BackupSetName", {{"name", T(name)}, {"origKMId", I(kDefaultKelmarchId)}});
    if (id < 0) return -1;
    exec("UPDATE APP_BackupSetName SET GUID = ? WHERE id = ?",
         {T(guid.empty() ? makeGuid(3, id) : guid), I(id)});
    return static_cast<int>(id);
}

int HubDbSeed::addSubclient(const SubclientSeed& s) {
    long long id = insertRow("APP_Application", {{"clientId", I(s.clientId)},
                                                 {"appTypeId", I(s.appTypeId)},
                                                 {"instance", I(s.instanceId)},
                                                 {"backupSet", I(s.backupSetId)},
                                                 {"dataArchGrpID", I(s.storagePolicyId)},
                                                 {"logArchGrpID", I(s.storagePolicyId)},
                                                 {"subclientName", T(s.name)},
                                                 {"subclientStatus", I(s.status)},
                                                 {"origKMId", I(s.kelmarchId)}});
    if (id < 0) return -1;
    exec("UPDATE APP_Application SET GUID = ? WHERE id = ?",
         {T(s.guid.empty() ? makeGuid(4, id) : s.guid), I(id)});
    m_subclientPolicy[static_cast<int>(id)] = s.storagePolicyId;
    return static_cast<int>(id);
}

int HubDbSeed::linkVirtualMachine(int vmClientId, int parentBackupSetId, int childBackupSetId) {
    return insertRow("APP_VMBackupSet", {{"VMClientId", I(vmClientId)},
                                         {"ParentBackupSetId", I(parentBackupSetId)},
                                         {"ChildBackupSetId", I(childBackupSetId)}}) < 0
               ? -1
               : 0;
}

int HubDbSeed::addProperty(const char* table, const PropertySeed& p) {
    // Not every property table lets the database number its rows (APP_ClientProp has no key): each
    // gets its id here.
    const long long id = 1 + queryInt(std::string("SELECT MAX(id) FROM ") + table);
    if (insertRow(table, {{"id", I(id)},
                          {"componentNameId", I(p.ownerId)},
                          {"attrName", T(p.name)},
                          {"attrType", I(p.attrType)},
                          {"attrVal", T(p.value)},
                          {"created", I(p.created)},
                          {"modified", I(p.modified)}}) < 0)
        return -1;
    return static_cast<int>(id);
}

int HubDbSeed::changeProperty(const char* table, int ownerId, const std::string& name,
                              const std::string& value, long long at, int attrType) {
    long long id = 0;
    if (!m_conn ||
        setVersionedProperty(*m_conn, table, ownerId, name, attrType, value, at, &id) != zydb::DB_OK)
        return -1;
    return static_cast<int>(id);
}

int HubDbSeed::addSubclientProperty(int subclientId, const std::string& name, const std::string& value,
                                    long long created, long long modified, int attrType) {
    return addProperty("APP_SubClientProp", {.ownerId = subclientId,
                                             .name = name,
                                             .value = value,
                                             .created = created,
                                             .modified = modified,
                                             .attrType = attrType});
}

int HubDbSeed::addJob(const JobSeed& j) {
    long long id = 1 + std::max(queryInt("SELECT MAX(jobId) FROM JMBkpStats"),
                                queryInt("SELECT MAX(jobId) FROM JMJobInfo"));
    int appType =
        static_cast<int>(queryInt("SELECT appTypeId FROM APP_Application WHERE id = ?", {I(j.appId)}));
    long long rc;
    if (j.running) {
        rc = insertRow(
            "JMJobInfo",
            {{"jobId", I(id)}, {"kelmarchId", I(j.kelmarchId)}, {"appId", I(j.appId)}, {"status", I(0)}});
    } else {
        rc = insertRow("JMBkpStats", {{"jobId", I(id)},
                                      {"kelmarchId", I(j.kelmarchId)},
                                      {"appId", I(j.appId)},
                                      {"appType", I(appType)},
                                      {"dataArchGrpId", I(m_subclientPolicy[j.appId])},
                                      {"bkpLevel", I(j.level)},
                                      {"status", I(j.status)},
                                      {"servStartDate", I(j.startTime)},
                                      {"servEndDate", I(j.endTime ? j.endTime : j.startTime)}});
    }
    return rc < 0 ? -1 : static_cast<int>(id);
}

int HubDbSeed::finishJob(int jobId, int endTime) {
    long long appId = queryInt("SELECT appId FROM JMJobInfo WHERE jobId = ?", {I(jobId)}, -1);
    if (appId < 0) return fail("no running job " + std::to_string(jobId));
    long long level =
        queryInt("SELECT backupLevel FROM archFile WHERE jobId = ? ORDER BY cTime LIMIT 1", {I(jobId)}, 1);
    long long start = queryInt("SELECT MIN(cTime) FROM archFile WHERE jobId = ?", {I(jobId)}, endTime);
    if (exec("DELETE FROM JMJobInfo WHERE jobId = ?", {I(jobId)}) != zydb::DB_OK) return -1;
    return insertRow("JMBkpStats", {{"jobId", I(jobId)},
                                    {"kelmarchId", I(kDefaultKelmarchId)},
                                    {"appId", I(appId)},
                                    {"bkpLevel", I(level)},
                                    {"status", I(1)},
                                    {"servStartDate", I(start)},
                                    {"servEndDate", I(endTime)}}) < 0
               ? -1
               : 0;
}

int HubDbSeed::addArchFile(const ArchFileSeed& f) {
    int policy = f.storagePolicyId ? f.storagePolicyId : m_subclientPolicy[f.appId];
    long long id = 1 + queryInt("SELECT MAX(id) FROM archFile");
    if (insertRow("archFile", {{"id", I(id)},
                               {"name", T(f.name.empty() ? "Not Named" : f.name)},
                               {"kelmarchId", I(f.kelmarchId)},
                               {"archGroupId", I(policy)},
                               {"flags", I(f.flags)},
                               {"appId", I(f.appId)},
                               {"fileType", I(f.fileType)},
                               {"cTime", I(f.cTime)},
                               {"jobId", I(f.jobId)},
                               {"backupLevel", I(f.backupLevel)},
                               {"isValid", I(f.valid ? 1 : 0)}}) < 0)
        return -1;
    if (exec("INSERT INTO archFileCopy (archFileId, kelmarchId, archCopyId, isValid, agedBy, mediaAgentId, "
             "physicalSize, "
             "logicalSize) SELECT ?, ?, g.id, 1, 0, g.mediaAgentId, ?, ? FROM archGroupCopy g WHERE "
             "g.archGroupId = ?",
             {I(id), I(f.kelmarchId), I(f.physicalSize), I(f.logicalSize), I(policy)}) != zydb::DB_OK)
        return -1;
    return static_cast<int>(id);
}

int HubDbSeed::ageArchFile(int archFileId, int precedence) {
    return exec(
               "UPDATE archFileCopy SET agedBy = 1 WHERE archFileId = ? AND archCopyId IN "
               "(SELECT g.id FROM archGroupCopy g JOIN archFile f ON f.archGroupId = g.archGroupId "
               "WHERE f.id = ? AND g.copy = ?)",
               {I(archFileId), I(archFileId), I(precedence)}) == zydb::DB_OK
               ? 0
               : -1;
}

HubDbSeed::Backup HubDbSeed::addBackup(int appId, int level, int time, int dataFiles, bool indexFile,
                                       bool running) {
    Backup b;
    JobSeed j;
    j.appId = appId;
    j.level = level;
    j.startTime = time;
    j.running = running;
    b.jobId = addJob(j);
    if (b.jobId < 0) return b;
    for (int k = 0; k < dataFiles; ++k) {
        ArchFileSeed f;
        f.appId = appId;
        f.jobId = b.jobId;
        f.fileType = 1;
        f.cTime = time + k;
        f.backupLevel = level;
        f.physicalSize = 1000LL * (k + 1);
        f.logicalSize = 4000LL * (k + 1);
        b.dataFiles.push_back(addArchFile(f));
    }
    if (indexFile) {
        ArchFileSeed f;
        f.appId = appId;
        f.jobId = b.jobId;
        f.fileType = 2;
        f.cTime = time + dataFiles;
        f.backupLevel = level;
        f.name = "index-" + std::to_string(b.jobId);
        b.indexFile = addArchFile(f);
    }
    return b;
}

int SeedPart::checked(long long id) {
    if (id < 0 && m_error.empty()) m_error = m_seed.error();
    return id < 0 ? -1 : static_cast<int>(id);
}

int SeedPart::fail(const std::string& what) {
    if (m_error.empty()) m_error = what + (m_seed.error().empty() ? std::string() : ": " + m_seed.error());
    return -1;
}

}  // namespace hubdb
