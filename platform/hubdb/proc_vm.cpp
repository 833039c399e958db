// ArchGetVMsForBrowse and AppGetVMBrowseDetails over the VM links of hypervisor backup sets, the VMs'
// own subclients, their jobs and archive-file copies.
#include <string>
#include <vector>

#include "platform/db/dbresult.h"
#include "platform/hubdb/archprocs.h"
#include "platform/hubdb/familiesb_procs.h"
#include "platform/hubdb/procsupport.h"

using zydb::DbValue;

namespace hubdb {

namespace {

struct VmLink {
    int clientId = 0;
    std::string name;
    std::string clientGuid;
    int osId = 0;
    int childBackupSetId = 0;
    std::string childBackupSetGuid;
};

// The VM's GUID at time t: the UUID property in force then, else the client's GUID.
int vmGuidAt(zydb::IDbConnection& conn, const VmLink& vm, long long t, std::string& guid) {
    guid = vm.clientGuid;
    return forEachRow(
        conn,
        "SELECT attrVal FROM APP_ClientProp WHERE componentNameId = ? AND attrName = ? AND created <= ? "
        "AND (? < modified OR modified = 0) ORDER BY created DESC, id DESC LIMIT 1",
        {DbValue::ofInt(vm.clientId), DbValue::ofText(kVmUuidProperty), DbValue::ofInt(t), DbValue::ofInt(t)},
        [&](const zydb::IDbRow& r) {
            if (!r.columnText(0).empty()) guid = std::string(r.columnText(0));
            return zydb::DB_OK;
        });
}

}  // namespace

// ArchGetVMsForBrowse(backupSet, subclient, from, to, copyPrecedence, user): one row per VM linked to
// the hypervisor backup set (APP_VMBackupSet), in client-id order, that a backup job covers in the
// window: the newest finished job (status 1, 3 or 14, data not aged) of the VM's own backup set that
// ended in [from, to] (to <= 0: no end). With a subclient (> 0) the job must be the child (link type
// 7) of a job of that hypervisor subclient; with a copy precedence (> 0) the job's data must be valid
// and not aged on that copy. VMs without such a job are left out. The user does not narrow the list:
// this database keeps no per-user rights on clients.
int archGetVMsForBrowseProc(zydb::CProcCall& call) {
    const int backupSetId = static_cast<int>(call.argInt(0));
    const int subclientId = static_cast<int>(call.argInt(1));
    const long long fromTime = call.argInt(2);
    const long long toTime = call.argInt(3) > 0 ? call.argInt(3) : kOpenEndTime;
    const int copyPrecedence = static_cast<int>(call.argInt(4));
    zydb::IDbConnection& conn = call.connection();

    std::vector<VmLink> vms;
    int rc = forEachRow(conn,
                        "SELECT v.VMClientId, c.name, c.GUID, c.simOperatingSystemId, v.ChildBackupSetId, "
                        "IFNULL(b.GUID, '') FROM APP_VMBackupSet v JOIN APP_Client c ON c.id = v.VMClientId "
                        "LEFT JOIN APP_BackupSetName b ON b.id = v.ChildBackupSetId "
                        "WHERE v.ParentBackupSetId = ? ORDER BY v.VMClientId",
                        {DbValue::ofInt(backupSetId)}, [&](const zydb::IDbRow& r) {
                            vms.push_back({static_cast<int>(r.columnInt64(0)), std::string(r.columnText(1)),
                                           std::string(r.columnText(2)), static_cast<int>(r.columnInt64(3)),
                                           static_cast<int>(r.columnInt64(4)), std::string(r.columnText(5))});
                            return zydb::DB_OK;
                        });
    if (rc != zydb::DB_OK) return procFailure(call, rc);

    std::string jobSql =
        "SELECT j.jobId, j.kelmarchId, j.servEndDate, j.totalUncompBytes, a.id, a.GUID, a.instance, "
        "IFNULL(i.GUID, '') FROM JMBkpStats j JOIN APP_Application a ON a.id = j.appId "
        "LEFT JOIN APP_InstanceName i ON i.id = a.instance "
        "WHERE a.backupSet = ? AND j.status IN (1, 3, 14) AND j.dataStatus = 0 "
        "AND j.servEndDate >= ? AND j.servEndDate <= ?";
    if (subclientId > 0)
        jobSql +=
            " AND EXISTS (SELECT 1 FROM JMJobDataLink l WHERE l.childJobId = j.jobId AND l.kelmarchId = "
            "j.kelmarchId AND l.linkType = ? AND l.parentAppid = ?)";
    if (copyPrecedence > 0)
        jobSql +=
            " AND EXISTS (SELECT 1 FROM archFile f JOIN archGroupCopy g ON g.archGroupId = f.archGroupId "
            "AND g.copy = ? JOIN archFileCopy c ON c.archFileId = f.id AND c.kelmarchId = f.kelmarchId AND "
            "c.archCopyId = g.id AND c.isValid = 1 AND c.agedBy = 0 WHERE f.jobId = j.jobId AND "
            "f.kelmarchId = j.kelmarchId AND f.isValid = 1 AND f.fileType IN (1, 4))";
    jobSql += " ORDER BY j.servEndDate DESC, j.jobId DESC LIMIT 1";

    for (const VmLink& vm : vms) {
        std::vector<DbValue> params{DbValue::ofInt(vm.childBackupSetId), DbValue::ofInt(fromTime),
                                    DbValue::ofInt(toTime)};
        if (subclientId > 0) {
            params.push_back(DbValue::ofInt(kVmJobLinkType));
            params.push_back(DbValue::ofInt(subclientId));
        }
        if (copyPrecedence > 0) params.push_back(DbValue::ofInt(copyPrecedence));
        std::vector<DbValue> row;
        rc = forEachRow(conn, jobSql, params, [&](const zydb::IDbRow& r) -> int {
            const long long endTime = r.columnInt64(2);
            std::string guid;
            int grc = vmGuidAt(conn, vm, endTime, guid);
            if (grc != zydb::DB_OK) return grc;
            row = {DbValue::ofInt(0),
                   DbValue::ofInt(vm.clientId),
                   DbValue::ofText(guid),
                   DbValue::ofText(vm.name),
                   DbValue::ofInt(r.columnInt64(3)),
                   DbValue::ofInt(r.columnInt64(6)),
                   DbValue::ofText(std::string(r.columnText(7))),
                   DbValue::ofInt(vm.childBackupSetId),
                   DbValue::ofText(vm.childBackupSetGuid),
                   DbValue::ofInt(r.columnInt64(4)),
                   DbValue::ofText(std::string(r.columnText(5))),
                   DbValue::ofInt(r.columnInt64(0)),
                   DbValue::ofInt(r.columnInt64(1)),
                   DbValue::ofInt(endTime),
                   DbValue::ofInt(vm.osId)};
            return zydb::DB_OK;
        });
        if (rc != zydb::DB_OK) return procFailure(call, rc);
        if (!row.empty()) call.addRow(std::move(row));
    }
    return zydb::DB_OK;
}

// AppGetVMBrowseDetails(vmGuid, parentBackupSet): the VM linked to the parent (hypervisor) backup set
// whose current UUID property or client GUID is the given GUID (letter case ignored), with its own
// backup set and that backup set's first subclient and its instance. An empty or unknown GUID, or a
// VM without a subclient of its own, gives no row.
int appGetVMBrowseDetailsProc(zydb::CProcCall& call) {
    const std::string guid = call.argText(0);
    const int parentBackupSetId = static_cast<int>(call.argInt(1));
    if (guid.empty()) return zydb::DB_OK;
    int rc = forEachRow(
        call.connection(),
        "SELECT v.VMClientId, a.instance, v.ChildBackupSetId, a.id FROM APP_VMBackupSet v "
        "JOIN APP_Client c ON c.id = v.VMClientId "
        "JOIN APP_Application a ON a.id = (SELECT MIN(s.id) FROM APP_Application s WHERE s.backupSet = "
        "v.ChildBackupSetId) "
        "WHERE v.ParentBackupSetId = ? AND (c.GUID = ? OR EXISTS (SELECT 1 FROM APP_ClientProp p WHERE "
        "p.componentNameId = c.id AND p.attrName = ? AND p.modified = 0 AND p.attrVal = ?)) "
        "ORDER BY v.VMClientId LIMIT 1",
        {DbValue::ofInt(parentBackupSetId), DbValue::ofText(guid), DbValue::ofText(kVmUuidProperty),
         DbValue::ofText(guid)},
        [&](const zydb::IDbRow& r) {
            call.addRow({DbValue::ofInt(r.columnInt64(0)), DbValue::ofInt(r.columnInt64(1)),
                         DbValue::ofInt(r.columnInt64(2)), DbValue::ofInt(r.columnInt64(3))});
            return zydb::DB_OK;
        });
    return rc == zydb::DB_OK ? zydb::DB_OK : procFailure(call, rc);
}

}  // namespace hubdb
