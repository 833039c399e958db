#include "platform/entities/installmanager.h"

#include <cstdlib>

#include "Db/Tbl/APP_Client.h"
#include "Db/Tbl/APP_ClientProp.h"
#include "platform/db/dbresult.h"
#include "platform/entities/propertystore.h"
#include "platform/hubdb/entitytables.h"
#include "platform/hubdb/threadsql.h"
#include "platform/hubdb/vsatagprocs.h"

namespace {
constexpr int kWindowsPlatform = 1;
}

ZyInstallManagerDBInterface::ZyInstallManagerDBInterface() : m_log(nullptr) {
    m_log.setPrefixMessage("INSTALLMGR");
}

ZyInstallManagerDBInterface::~ZyInstallManagerDBInterface() = default;

ZyInstallManagerDBReaderInterface::~ZyInstallManagerDBReaderInterface() = default;

int ZyInstallManagerDBReaderInterface::failed(int rc, const std::string& what) {
    m_lastError = what + ": " + zydb::dbResultText(rc);
    m_log.debugLvl(rc == zydb::DB_NO_DATA ? 3 : 0, "%s%s",
                   rc == zydb::DB_NO_DATA ? "" : "ERROR: ", m_lastError.c_str());
    return rc;
}

ZYSimOperatingSystem::~ZYSimOperatingSystem() = default;

int ZYSimOperatingSystem::IsWindows(const int& id, bool& isWindows) {
    simOperatingSystem t(m_tran);
    t.setIsolationType(4);
    t.setWhere("id = %d", id);
    int rc = t.getOneRow(&t, false, 0, 0);
    if (rc != zydb::DB_OK) return failed(rc, "operating system [" + std::to_string(id) + "]");
    m_lastError.clear();
    isWindows = t.getDataPtr()->platform == kWindowsPlatform;
    return 0;
}

ZyAPP_VMToPMMap::~ZyAPP_VMToPMMap() = default;

int ZyAPP_VMToPMMap::GetAllPMsMappedToAVM(const int& virtualClientId, std::vector<int>& physicalClientIds) {
    APP_VMToPMMap t(m_tran);
    t.setIsolationType(4);
    t.setWhere("VMClientId = %d", virtualClientId);
    t.setOrderBy("PMClientId");
    std::vector<int> ids;
    int rc;
    while ((rc = t.getNextRow(&t, nullptr, 0, 0)) == zydb::DB_OK) ids.push_back(t.getDataPtr()->PMClientId);
    if (rc != zydb::DB_NO_DATA)
        return failed(rc, "physical machines of client [" + std::to_string(virtualClientId) + "]");
    m_lastError.clear();
    physicalClientIds.swap(ids);
    return 0;
}

int ClientProperties::getClientInfoWithProperty(std::list<_AppClientInfo>& clients,
                                                const std::string& propertyName, const std::string& value,
                                                std::string& errorText, DBtran* transaction) {
    APP_Client t(transaction);
    t.setIsolationType(4);
    t.setWhere(
        "id IN (SELECT componentNameId FROM APP_ClientProp WHERE attrName = '%s' AND attrVal = '%s' AND "
        "modified = 0)",
        propertyName, value);
    std::list<_AppClientInfo> found;
    int rc;
    while ((rc = t.getNextRow(&t, nullptr, 0, 0)) == zydb::DB_OK) {
        const APP_Client_t* r = t.getDataPtr();
        _AppClientInfo c;
        c.clientId = r->id;
        c.simOperatingSystemId = r->simOperatingSystemId;
        c.releaseId = r->releaseId;
        c.status = r->status;
        c.clientName = r->name;
        c.displayName = r->displayName;
        c.hostName = r->net_hostname;
        c.clientGuid = r->GUID;
        c.hubmasterHostName = r->hmHostName;
        c.jobResultDir = r->jobResultDir;
        c.description = r->clientDescription ? r->clientDescription : "";
        c.propertyValue = value;
        found.push_back(std::move(c));
    }
    if (rc != zydb::DB_NO_DATA) {
        errorText =
            std::string("clients with property [") + propertyName + "] cannot be read: " + t.getErrorStr(rc);
        return rc;
    }
    clients.splice(clients.end(), found);
    return 0;
}

int ClientProperties::getUseIndexingV2ForVSA(unsigned long clientId, bool& useV2, DBtran* transaction) {
    APP_Client client(transaction);
    client.setIsolationType(4);
    client.setWhere("id = %lu", clientId);
    int rc = client.getOneRow(&client, false, 0, 0);
    if (rc != zydb::DB_OK) return rc;
    std::string value;
    rc = zyent::readProperty<APP_ClientProp>(transaction, static_cast<long>(clientId),
                                             hubdb::kIndexingV2VsaProperty, value);
    if (rc == zydb::DB_NO_DATA) {
        useV2 = false;
        return 0;
    }
    if (rc != zydb::DB_OK) return rc;
    useV2 = std::strtol(value.c_str(), nullptr, 10) != 0;
    return 0;
}

int ClientProperties::getVersionInfo(std::string& version) {
    std::vector<zydb::DbValue> row;
    int rc = hubdb::threadQueryFirstRow("SELECT versionText FROM mediaAgent WHERE clientId = ?",
                                        {zydb::DbValue::ofInt(static_cast<long long>(m_clientId))}, row);
    if (rc == zydb::DB_OK) version = row[0].asText();
    return rc;
}
