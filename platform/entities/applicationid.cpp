#include "platform/entities/applicationid.h"

#include "Db/Tbl/APP_Application.h"
#include "Db/Tbl/APP_BackupSetName.h"
#include "platform/db/dbresult.h"
#include "platform/entities/clientapplist.h"

ApplicationId::ApplicationId(unsigned long kelmarchId, unsigned long clientId, unsigned long appType,
                             unsigned long instanceId, unsigned long backupSetId, unsigned long subclientId) {
    m_info.kelmarchId = static_cast<int64_t>(kelmarchId);
    m_info.clientId = static_cast<int64_t>(clientId);
    m_info.appType = static_cast<int64_t>(appType);
    m_info.instanceId = static_cast<int64_t>(instanceId);
    m_info.backupSetId = static_cast<int64_t>(backupSetId);
    m_info.subclientId = static_cast<int64_t>(subclientId);
}

ApplicationId::ApplicationId(const AppIdInfo& info) : m_info(info) {
    // A copy may carry the application id of another subclient: it is resolved afresh.
    m_info.appId = 0;
}

int ApplicationId::resolve(void* transaction) {
    if (m_resolved) return zydb::DB_OK;
    APP_Application t(static_cast<DBtran*>(transaction));
    t.setIsolationType(4);
    if (m_info.subclientId > 0) {
        t.setWhere("id = %lld", static_cast<long long>(m_info.subclientId));
    } else {
        // The backup set's own default subclient first, then its lowest id.
        t.setWhere("clientId = %lld and appTypeId = %lld and backupSet = %lld",
                   static_cast<long long>(m_info.clientId), static_cast<long long>(m_info.appType),
                   static_cast<long long>(m_info.backupSetId));
        t.setOrderBy("CASE WHEN lower(subclientName) = 'default' THEN 0 ELSE 1 END, id");
    }
    t.setTop(1);
    int rc = t.getOneRow(&t, false, -1, 0);
    if (rc != zydb::DB_OK) return rc;
    const APP_Application_t* row = t.getDataPtr();
    if (m_info.clientId > 0 && row->clientId != m_info.clientId) return zydb::DB_NO_DATA;
    m_info.appId = row->id;
    m_info.subclientId = row->id;
    m_info.clientId = row->clientId;
    m_info.appType = row->appTypeId;
    m_info.instanceId = row->instance;
    m_info.backupSetId = row->backupSet;
    m_info.storagePolicyId = row->dataArchGrpID;
    m_info.subclientName = row->subclientName;
    m_resolved = true;
    return zydb::DB_OK;
}

int ApplicationId::getAppId(unsigned long& appId, void* transaction) {
    int rc = resolve(transaction);
    if (rc == zydb::DB_OK) appId = static_cast<unsigned long>(m_info.appId);
    return rc;
}

std::unique_ptr<ApplicationSubclient> ApplicationId::getSubclient(void* transaction) {
    if (resolve(transaction) != zydb::DB_OK) return nullptr;
    return std::make_unique<ApplicationSubclient>(static_cast<unsigned long>(m_info.appId),
                                                  m_info.subclientName);
}

int ApplicationId::getDefaultBackupSet(unsigned long clientId, unsigned long appType, unsigned long& id,
                                       std::string& name, void* transaction) {
    return ClientApplicationList::getDefaultBackupSet(clientId, appType, 0, id, name, transaction);
}

int ClientApplicationList::getDefaultBackupSet(unsigned long clientId, unsigned long appType,
                                               unsigned long instanceId, unsigned long& id, std::string& name,
                                               void* transaction) {
    APP_BackupSetName t(static_cast<DBtran*>(transaction));
    t.setIsolationType(4);
    if (instanceId != 0)
        t.setWhere(
            "id in (select backupSet from APP_Application where clientId = %lu and appTypeId = %lu and "
            "instance = %lu)",
            clientId, appType, instanceId);
    else
        t.setWhere("id in (select backupSet from APP_Application where clientId = %lu and appTypeId = %lu)",
                   clientId, appType);
    t.setOrderBy("CASE WHEN lower(name) = 'defaultbackupset' THEN 0 ELSE 1 END, id");
    t.setTop(1);
    int rc = t.getOneRow(&t, false, -1, 0);
    if (rc != zydb::DB_OK) return rc;
    id = static_cast<unsigned long>(t.getDataPtr()->id);
    name = t.getDataPtr()->name;
    return zydb::DB_OK;
}
