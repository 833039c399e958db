#include "platform/security/userdirectory.h"

#include <vector>

#include "platform/db/dbenv.h"
#include "platform/db/dbresult.h"
#include "platform/hubdb/hubsql.h"

using zydb::DbValue;

namespace {

int firstRow(const std::string& sql, const std::vector<DbValue>& params, std::vector<DbValue>& row) {
    int rc = zydb::DB_OK;
    std::string why;
    std::shared_ptr<zydb::IDbConnection> conn = zydb::CDbEnv::threadConnection(&rc, &why);
    if (!conn) return rc != zydb::DB_OK ? rc : static_cast<int>(zydb::DB_ERR_NOT_OPEN);
    return hubdb::queryFirstRow(*conn, sql, params, row);
}

constexpr const char* kCurrentUserProperty =
    "SELECT attrVal FROM UMUsersProp WHERE componentNameId = ? AND attrName = ? AND modified = 0 ORDER BY id "
    "DESC "
    "LIMIT 1";

}  // namespace

int GetJobUserId(long long jobId, long& userId) {
    std::vector<DbValue> row;
    const int rc = firstRow(
        "SELECT u.id FROM JMBkpStats j JOIN UMUsers u ON u.login = j.username AND j.username <> '' WHERE "
        "j.jobId = ? "
        "LIMIT 1",
        {DbValue::ofInt(jobId)}, row);
    if (rc == zydb::DB_OK) userId = static_cast<long>(row[0].asInt());
    return rc;
}

bool GetResourceDomainUserDetails(const std::string& domain, const std::string& userName, bool& enabled,
                                  std::string& guid, std::string& name, std::string& extra1,
                                  std::string& extra2) {
    extra1.clear();
    extra2.clear();
    // The token's user name may already be the whole login.
    const std::string login =
        domain.empty() || userName.find('\\') != std::string::npos ? userName : domain + "\\" + userName;
    std::vector<DbValue> row;
    if (firstRow("SELECT id FROM UMUsers WHERE login = ? LIMIT 1", {DbValue::ofText(login)}, row) !=
        zydb::DB_OK)
        return false;
    const long long userId = row[0].asInt();
    auto property = [&](const char* propertyName, std::string& value) {
        std::vector<DbValue> found;
        const int rc =
            firstRow(kCurrentUserProperty, {DbValue::ofInt(userId), DbValue::ofText(propertyName)}, found);
        value = rc == zydb::DB_OK ? found[0].asText() : std::string();
        return rc == zydb::DB_OK || rc == zydb::DB_NO_DATA;
    };
    std::string flag;
    if (!property("Resource Domain Enabled", flag) || !property("Resource Domain User GUID", guid) ||
        !property("Resource Domain User Name", name))
        return false;
    enabled = flag == "1";
    return true;
}

int IsFolderSharedWithUser(int folderId, int userId, bool& shared) {
    std::vector<DbValue> row;
    const int rc = firstRow(
        "SELECT 1 FROM App_SharedFolder f WHERE f.id = ?1 AND (f.ownerId = ?2 OR EXISTS (SELECT 1 FROM "
        "App_SharedFolderMember m WHERE m.folderId = f.id AND m.userId = ?2))",
        {DbValue::ofInt(folderId), DbValue::ofInt(userId)}, row);
    shared = rc == zydb::DB_OK;
    return rc == zydb::DB_NO_DATA ? static_cast<int>(zydb::DB_OK) : rc;
}
