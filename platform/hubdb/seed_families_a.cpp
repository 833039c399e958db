// Seed rows for the property, backup-set, mailbox, user and job families, through HubDbSeed's
// bound inserts.
#include "platform/hubdb/seed_families_a.h"

#include <cstdio>
#include <set>

#include "Db/Tbl/APP_BackupSetName.h"
#include "Db/Tbl/APP_ClientProp.h"
#include "Db/Tbl/APP_EmailConfigPolicyAssoc.h"
#include "Db/Tbl/APP_IDAProp.h"
#include "Db/Tbl/APP_SubClientProp.h"
#include "Db/Tbl/APP_VMBackupSet.h"
#include "Db/Tbl/JMBkpStats.h"
#include "Db/Tbl/JMJobDataLink.h"
#include "Db/Tbl/UMUsers.h"
#include "platform/db/dbresult.h"
#include "platform/db/ddl.h"
#include "platform/hubdb/proc_jobs.h"

using zydb::DbValue;

namespace hubdb {

namespace {

DbValue I(long long v) {
    return DbValue::ofInt(v);
}
DbValue T(const std::string& v) {
    return DbValue::ofText(v);
}

// Agents: the owners of APP_IDAProp rows, found by client and application type.
#define APP_IDAName_COLUMNS(COL) COL(id, i) COL(clientId, i) COL(appTypeId, i)

std::vector<zydb::TableSpec> tableSpecs() {
    std::vector<zydb::TableSpec> specs = {
        zydb::tableSpecOf<APP_ClientProp>(),  zydb::tableSpecOf<APP_SubClientProp>(),
        zydb::tableSpecOf<APP_IDAProp>(),     zydb::tableSpecOf<APP_BackupSetName>(),
        zydb::tableSpecOf<APP_VMBackupSet>(), zydb::tableSpecOf<APP_EmailConfigPolicyAssoc>(),
        zydb::tableSpecOf<UMUsers>(),         zydb::tableSpecOf<JMBkpStats>(),
        zydb::tableSpecOf<JMJobDataLink>(),
    };
    // Properties are looked up by owner and name.
    for (zydb::TableSpec& t : specs)
        if (t.name.ends_with("Prop")) t.indexes.push_back({"componentNameId", "attrName"});
    zydb::TableSpec spec;
    spec.name = "APP_IDAName";
    APP_IDAName_COLUMNS(ZYDB_SPEC_COLUMN) spec.serial = "id";
    spec.primaryKeys = {"id"};
    specs.push_back(std::move(spec));
    return specs;
}

// The declared type of a column added to an existing table: as the table would have been created.
std::string addedColumnType(const zydb::ColumnSpec& c) {
    if (c.code == 'i' || c.code == 'b' || c.code == 'x') return "INTEGER NOT NULL DEFAULT 0";
    return c.width > 0 ? "TEXT COLLATE NOCASE NOT NULL DEFAULT ''" : "TEXT COLLATE NOCASE";
}

}  // namespace

RowSeed::RowSeed(HubDbSeed& seed) : m_seed(seed) {
    zydb::IDbConnection* conn = seed.connection();
    if (conn == nullptr) {
        m_error = "the seed has no database";
        return;
    }
    for (const zydb::TableSpec& spec : tableSpecs()) {
        for (const std::string& sql : zydb::createTableSql(spec)) {
            if (seed.exec(sql) != zydb::DB_OK) {
                m_error = sql + ": " + conn->lastError();
                return;
            }
        }
        std::set<std::string> have;
        std::unique_ptr<zydb::IDbStatement> st;
        if (zydb::prepareBound(*conn, "SELECT name FROM pragma_table_info(?)", {T(spec.name)}, st) !=
            zydb::DB_OK) {
            m_error = "cannot read the columns of " + spec.name + ": " + conn->lastError();
            return;
        }
        while (st->step() == zydb::DB_OK) have.insert(std::string(st->columnText(0)));
        st.reset();
        for (const zydb::ColumnSpec& c : spec.columns) {
            if (have.count(c.name)) continue;
            std::string sql = "ALTER TABLE " + spec.name + " ADD COLUMN " + c.name + " " + addedColumnType(c);
            if (seed.exec(sql) != zydb::DB_OK) {
                m_error = sql + ": " + conn->lastError();
                return;
            }
        }
    }
}

int RowSeed::nextId(const char* table, const char* column) {
    return static_cast<int>(1 + m_seed.queryInt(std::string("SELECT MAX(") + column + ") FROM " + table));
}

int RowSeed::addPropertyRow(const char* table, const PropertySeed& p) {
    // APP_ClientProp has no key for the database to number its rows: every table gets its id here.
    int id = nextId(table, "id");
    if (m_seed.insertRow(table, {{"id", I(id)},
                                 {"componentNameId", I(p.ownerId)},
                                 {"attrName", T(p.name)},
                                 {"attrType", I(p.attrType)},
                                 {"attrVal", T(p.value)},
                                 {"created", I(p.created)},
                                 {"modified", I(p.modified)}}) < 0)
        return -1;
    return id;
}

int RowSeed::changePropertyRow(const char* table, int ownerId, const std::string& name,
                               const std::string& value, long long at, int attrType) {
    if (m_seed.exec(std::string("UPDATE ") + table +
                        " SET modified = ? WHERE componentNameId = ? AND attrName = ? AND modified = 0",
                    {I(at), I(ownerId), T(name)}) != zydb::DB_OK)
        return -1;
    return addPropertyRow(
        table, {.ownerId = ownerId, .name = name, .value = value, .created = at, .attrType = attrType});
}

int RowSeed::addAgent(int clientId, int appTypeId) {
    return static_cast<int>(
        m_seed.insertRow("APP_IDAName", {{"clientId", I(clientId)}, {"appTypeId", I(appTypeId)}}));
}

VirtualMachine RowSeed::addVirtualMachine(const VirtualMachineSeed& s) {
    VirtualMachine vm;
    vm.clientId = m_seed.addClient({.name = s.name});
    if (vm.clientId < 0) return vm;
    vm.childBackupSetId = m_seed.addBackupSet(s.name);
    if (vm.childBackupSetId < 0) return vm;
    vm.subclientId = m_seed.addSubclient({.clientId = vm.clientId,
                                          .appTypeId = 106,
                                          .backupSetId = vm.childBackupSetId,
                                          .storagePolicyId = s.storagePolicyId});
    if (vm.subclientId < 0) return vm;
    vm.guid = s.vmGuid;
    if (vm.guid.empty()) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "564D0000-0000-4000-8000-%012X", static_cast<unsigned>(vm.clientId));
        vm.guid = buf;
    }
    if (m_seed.linkVirtualMachine(vm.clientId, s.parentBackupSetId, vm.childBackupSetId) < 0 ||
        addProperty<APP_ClientProp>({.ownerId = vm.clientId,
                                     .name = "Virtual Machine Instance UUID",
                                     .value = vm.guid,
                                     .created = s.guidSince}) < 0)
        vm.subclientId = -1;
    return vm;
}

int RowSeed::addUser(const UserSeed& u) {
    long long id =
        m_seed.insertRow("UMUsers", {{"name", T(u.name)},
                                     {"description", u.description.empty() ? DbValue{} : T(u.description)},
                                     {"login", T(u.login.empty() ? u.name : u.login)},
                                     {"email", T(u.email)},
                                     {"enabled", I(u.enabled)}});
    if (id < 0) return -1;
    char guid[64];
    std::snprintf(guid, sizeof guid, "00000005-0000-4000-8000-%012llX", static_cast<unsigned long long>(id));
    if (m_seed.exec("UPDATE UMUsers SET userGuid = ? WHERE id = ?",
                    {T(u.guid.empty() ? guid : u.guid), I(id)}) != zydb::DB_OK)
        return -1;
    return static_cast<int>(id);
}

int RowSeed::addMailboxAssociation(const MailboxSeed& m) {
    long long clientId =
        m_seed.queryInt("SELECT clientId FROM APP_Application WHERE id = ?", {I(m.subclientId)});
    long long backupSetId =
        m_seed.queryInt("SELECT backupSet FROM APP_Application WHERE id = ?", {I(m.subclientId)});
    return static_cast<int>(m_seed.insertRow("APP_EmailConfigPolicyAssoc", {{"userGuid", T(m.userGuid)},
                                                                            {"displayName", T(m.displayName)},
                                                                            {"smtpAdrress", T(m.smtpAddress)},
                                                                            {"mailBoxType", I(m.mailBoxType)},
                                                                            {"clientId", I(clientId)},
                                                                            {"backupsetId", I(backupSetId)},
                                                                            {"subClientId", I(m.subclientId)},
                                                                            {"ownerId", I(m.ownerId)},
                                                                            {"created", I(m.created)}}));
}

int RowSeed::addJobStats(const JobStatsSeed& s) {
    if (s.job.running) return -1;  // a running job has no statistics yet
    int cycle = s.fullCycleNum;
    if (cycle < 0) {
        cycle = static_cast<int>(
            m_seed.queryInt("SELECT MAX(fullCycleNum) FROM JMBkpStats WHERE appId = ? AND servStartDate <= ?",
                            {I(s.job.appId), I(s.job.startTime)}));
        if ((s.job.level & kFullLevelBits) != 0 || cycle == 0) ++cycle;
    }
    int jobId = m_seed.addJob(s.job);
    if (jobId < 0) return -1;
    if (m_seed.exec("UPDATE JMBkpStats SET dataStatus = ?, bkpAttributesEx = ?, fullCycleNum = ? "
                    "WHERE jobId = ? AND kelmarchId = ?",
                    {I(s.dataStatus), I(s.attributesEx), I(cycle), I(jobId), I(s.job.kelmarchId)}) !=
        zydb::DB_OK)
        return -1;
    return jobId;
}

int RowSeed::addJobLink(const JobLinkSeed& l) {
    return m_seed.insertRow("JMJobDataLink", {{"kelmarchId", I(l.kelmarchId)},
                                              {"parentJobId", I(l.parentJobId)},
                                              {"childJobId", I(l.childJobId)},
                                              {"parentAppid", I(l.parentAppId)},
                                              {"childAppid", I(l.childAppId)},
                                              {"linkType", I(l.linkType)},
                                              {"childJobStatus", I(l.childJobStatus)}}) < 0
               ? -1
               : 0;
}

}  // namespace hubdb
