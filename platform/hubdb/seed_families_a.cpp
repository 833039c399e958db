// Seed rows for the property, backup-set, mailbox, user and job families, through HubDbSeed's
// bound inserts.
#include "platform/hubdb/seed_families_a.h"

#include <cstdio>

#include "Db/Tbl/APP_ClientProp.h"
#include "platform/db/dbresult.h"
#include "platform/hubdb/proc_jobs.h"

namespace hubdb {

using namespace seedvalues;

int RowSeed::addAgent(int clientId, int appTypeId) {
    return checked(m_seed.insertRow("APP_IDAName", {{"clientId", I(clientId)}, {"appTypeId", I(appTypeId)}}));
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
    long long id = m_seed.insertRow("UMUsers", {{"name", T(u.name.empty() ? u.login : u.name)},
                                                {"description", TextOrNull(u.description)},
                                                {"login", T(u.login.empty() ? u.name : u.login)},
                                                {"email", T(u.email)},
                                                {"enabled", I(u.enabled)}});
    if (id < 0) return checked(-1);
    if (m_seed.exec("UPDATE UMUsers SET userGuid = ? WHERE id = ?",
                    {T(u.guid.empty() ? HubDbSeed::makeGuid(5, id) : u.guid), I(id)}) != zydb::DB_OK)
        return checked(-1);
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
