#include "platform/indexing/indexingversion.h"

#include <cstdlib>
#include <cstring>

#include "platform/db/dbresult.h"
#include "platform/errors/fxerrorutil.h"
#include "platform/hubdb/threadsql.h"

using zydb::DbValue;

namespace I2 {
namespace Utils {

namespace {
constexpr unsigned long kIdxAppTypeBase = 200000;

// The current value of a versioned property; DB_NO_DATA when it is not set.
int currentProperty(const char* sql, long long owner, const std::string& name, std::string& value) {
    std::vector<DbValue> row;
    int rc =
        hubdb::threadQueryFirstRowOncePerRequest(sql, {DbValue::ofInt(owner), DbValue::ofText(name)}, row);
    if (rc == zydb::DB_OK) value = row[0].asText();
    return rc;
}
}  // namespace

std::string getIndexingV2PropertyName(unsigned long idxAppType) {
    // Virtual machines of every indexing flavour switch together, on the hypervisor client.
    if (idxAppType >= kIdxAppTypeBase + 106 && idxAppType <= kIdxAppTypeBase + 108) return "IndexingV2_VSA";
    return "IndexingV2_" + std::to_string(idxAppType);
}

int shouldUseIndexingV2ByAppType(unsigned long clientId, unsigned long backupSetId, unsigned long appType,
                                 bool& useV2, unsigned long& idxAppType, int) {
    if (clientId == 0) return 0;
    unsigned long type = kIdxAppTypeBase + appType;
    std::string text;
    int rc = currentProperty(
        "SELECT attrVal FROM APP_BackupSetProp WHERE componentNameId = ? AND attrName = ? AND "
        "modified = 0 ORDER BY id DESC LIMIT 1",
        static_cast<long long>(backupSetId), "Indexing App Type", text);
    if (rc == zydb::DB_OK && std::strtoul(text.c_str(), nullptr, 10) > 0)
        type = std::strtoul(text.c_str(), nullptr, 10);
    else if (rc != zydb::DB_OK && rc != zydb::DB_NO_DATA)
        return 0;
    rc = currentProperty(
        "SELECT attrVal FROM APP_ClientProp WHERE componentNameId = ? AND attrName = ? AND "
        "modified = 0 ORDER BY id DESC LIMIT 1",
        static_cast<long long>(clientId), getIndexingV2PropertyName(type), text);
    if (rc != zydb::DB_OK && rc != zydb::DB_NO_DATA) return 0;
    useV2 = rc == zydb::DB_OK && text == "1";
    idxAppType = type;
    return 1;
}

bool IsMediaAgentClient(unsigned long clientId) {
    std::vector<DbValue> row;
    return clientId != 0 &&
           hubdb::threadQueryFirstRow("SELECT 1 FROM mediaAgent WHERE clientId = ?",
                                      {DbValue::ofInt(static_cast<long long>(clientId))}, row) == zydb::DB_OK;
}

int GetClientServicePack(const std::string& clientName) {
    std::vector<DbValue> row;
    if (hubdb::threadQueryFirstRow(
            "SELECT m.versionText FROM mediaAgent m JOIN APP_Client c ON c.id = m.clientId WHERE c.name = ?",
            {DbValue::ofText(clientName)}, row) != zydb::DB_OK)
        return 0;
    std::string version = row[0].asText();
    size_t sp = version.find("SP");
    return sp == std::string::npos ? 0 : std::atoi(version.c_str() + sp + 2);
}

HubmasterCallHelper* HubmasterCallHelper::Instance(bool) {
    static HubmasterCallHelper helper;
    return &helper;
}

namespace {

// Whether the current property `property` of the backup set of `backupSetGuid` is "1".
CUxError backupSetPropertyIsOne(const std::string& backupSetGuid, const char* property, bool& isOne) {
    std::vector<DbValue> row;
    int rc = hubdb::threadQueryFirstRow(
        "SELECT b.id, IFNULL((SELECT p.attrVal FROM APP_BackupSetProp p WHERE p.componentNameId = b.id AND "
        "p.attrName = ? AND p.modified = 0 ORDER BY p.id DESC LIMIT 1), '0') FROM "
        "APP_BackupSetName b WHERE b.GUID = ?",
        {DbValue::ofText(property), DbValue::ofText(backupSetGuid)}, row);
    if (rc != zydb::DB_OK) {
        std::string text = rc == zydb::DB_NO_DATA
                               ? "no backup set has the GUID [" + backupSetGuid + "]"
                               : std::string("backup set lookup failed: ") + zydb::dbResultText(rc);
        return FXErrorUtil::ErrorInt(rc == zydb::DB_NO_DATA ? -1 : rc,
                                     FXCodeLocation(__FILE__, __PRETTY_FUNCTION__, __LINE__), text.c_str());
    }
    isOne = row[1].asText() == "1";
    return CUxError::Success();
}

}  // namespace

CUxError HubmasterCallHelper::isSubclientLevelIndex(const std::string& backupSetGuid, bool& perSubclient) {
    return backupSetPropertyIsOne(backupSetGuid, "Subclient Level Index", perSubclient);
}

CUxError HubmasterCallHelper::isCloudLaptopBackupSet(const std::string& backupSetGuid, bool& cloudLaptop) {
    return backupSetPropertyIsOne(backupSetGuid, "Cloud Laptop Mode", cloudLaptop);
}

}  // namespace Utils
}  // namespace I2
