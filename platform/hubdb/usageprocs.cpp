#include "platform/hubdb/usageprocs.h"

#include <vector>

#include "platform/hubdb/hubsql.h"
#include "platform/hubdb/procsupport.h"
#include "platform/hubdb/tagprocframe.h"
#include "platform/msg/msg_classes.h"

using zydb::DbValue;

namespace hubdb {

namespace {

using Answer = App::GenericEntityResponse;

// The error code an answer carries for an owner that does not exist (the request is not applied).
constexpr long long kUnknownOwner = 2;

// One usage table: its name, the owner column, and the table that must hold the owner.
struct TUsageTable {
    const char* table;
    const char* ownerColumn;
    const char* ownerTable;
};
constexpr TUsageTable kSubclientUsage{"APP_SubclientUsage", "subclientId", "APP_Application"};
constexpr TUsageTable kBackupSetUsage{"APP_BackupSetUsage", "backupSetId", "APP_BackupSetName"};

int ownerExists(zydb::IDbConnection& conn, const char* ownerTable, long long id, bool& exists) {
    std::vector<DbValue> row;
    const int rc = queryFirstRow(conn, std::string("SELECT id FROM ") + ownerTable + " WHERE id = ?",
                                 {DbValue::ofInt(id)}, row);
    exists = rc == zydb::DB_OK;
    return rc == zydb::DB_NO_DATA ? static_cast<int>(zydb::DB_OK) : rc;
}

void refuse(Answer& answer, const std::string& text) {
    answer.setint64(Answer::f::errorCode, kUnknownOwner);
    answer.setstring(Answer::f::errorMessage, text);
}

// Adds `change` to the row named by `keys` (created at 0 when absent); a usage never goes below 0.
int applyChange(zydb::IDbConnection& conn, const std::string& table,
                const std::vector<std::string>& keyColumns, const std::vector<DbValue>& keys,
                long long change) {
    std::string where, columns, marks;
    for (size_t k = 0; k < keyColumns.size(); ++k) {
        where += (k ? " AND " : "") + keyColumns[k] + " = ?";
        columns += keyColumns[k] + ", ";
        marks += "?, ";
    }
    const auto ignore = [](const zydb::IDbRow&) { return static_cast<int>(zydb::DB_OK); };
    int rc = forEachRow(
        conn, "INSERT OR IGNORE INTO " + table + " (" + columns + "usedBytes) VALUES (" + marks + "0)", keys,
        ignore);
    if (rc != zydb::DB_OK) return rc;
    std::vector<DbValue> params{DbValue::ofInt(change)};
    params.insert(params.end(), keys.begin(), keys.end());
    return forEachRow(conn, "UPDATE " + table + " SET usedBytes = MAX(0, usedBytes + ?) WHERE " + where,
                      params, ignore);
}

// The figure of one owner (a subclient or a backup set) in `usage`, changed by `change`.
int changeOwnerUsage(zydb::IDbConnection& conn, const TUsageTable& usage, long long owner, long long change,
                     Answer& answer) {
    bool exists = false;
    int rc = ownerExists(conn, usage.ownerTable, owner, exists);
    if (rc != zydb::DB_OK) return rc;
    if (!exists) {
        refuse(answer, std::string("no ") + usage.ownerColumn + " [" + std::to_string(owner) + "]");
        return zydb::DB_OK;
    }
    ProcWriteScope scope(conn);
    rc = scope.begin();
    if (rc == zydb::DB_OK)
        rc = applyChange(conn, usage.table, {usage.ownerColumn}, {DbValue::ofInt(owner)}, change);
    if (rc == zydb::DB_OK) rc = scope.commit();
    if (rc == zydb::DB_OK) answer.setint64(Answer::f::errorCode, 0);
    return rc;
}

}  // namespace

int mailboxUsagesTagProc(const std::string& requestXml, std::string& responseXml, void* context) {
    using Req = App::MailboxUsages;
    return runTagProcedure<Req, Answer>(
        "MailboxUsages", requestXml, responseXml, context,
        [](zydb::IDbConnection& conn, Req& request, Answer& answer, std::string&) {
            const long long subclient = request.getint64(Req::f::subclientId);
            bool exists = false;
            int rc = ownerExists(conn, "APP_Application", subclient, exists);
            if (rc != zydb::DB_OK) return rc;
            if (!exists) {
                refuse(answer, "no subclient [" + std::to_string(subclient) + "]");
                return static_cast<int>(zydb::DB_OK);
            }
            ProcWriteScope scope(conn);
            rc = scope.begin();
            if (auto* entries = request.getlistobject(Req::f::mailboxes, false))
                for (const CNMessageBase& entry : *entries) {
                    if (rc != zydb::DB_OK) break;
                    rc = applyChange(
                        conn, "APP_MailboxUsage", {"subclientId", "mailboxGuid"},
                        {DbValue::ofInt(subclient),
                         DbValue::ofText(entry.getstring(App::MailboxUsageEntity::f::mailboxGuid))},
                        entry.getint64(App::MailboxUsageEntity::f::sizeChange));
                }
            if (rc == zydb::DB_OK) rc = scope.commit();
            if (rc == zydb::DB_OK) answer.setint64(Answer::f::errorCode, 0);
            return rc;
        });
}

int fsQuotaUsageTagProc(const std::string& requestXml, std::string& responseXml, void* context) {
    using Req = App::FSQuotaUsage;
    return runTagProcedure<Req, Answer>(
        "FSQuotaUsage", requestXml, responseXml, context,
        [](zydb::IDbConnection& conn, Req& request, Answer& answer, std::string&) {
            return changeOwnerUsage(conn, kSubclientUsage, request.getint64(Req::f::subclientId),
                                    request.getint64(Req::f::sizeChange), answer);
        });
}

int fsBackupSetUsageTagProc(const std::string& requestXml, std::string& responseXml, void* context) {
    using Req = App::FSBackupSetUsage;
    return runTagProcedure<Req, Answer>(
        "FSBackupSetUsage", requestXml, responseXml, context,
        [](zydb::IDbConnection& conn, Req& request, Answer& answer, std::string&) {
            return changeOwnerUsage(conn, kBackupSetUsage, request.getint64(Req::f::backupsetId),
                                    request.getint64(Req::f::sizeChange), answer);
        });
}

}  // namespace hubdb
