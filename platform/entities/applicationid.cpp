#include "platform/entities/applicationid.h"

#include "Db/Tbl/APP_Application.h"
#include "Db/Tbl/APP_BackupSetName.h"
#include "platform/db/dbresult.h"
#include "platform/db/requestscope.h"
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

namespace {

// A request resolves the same application more than once (its planning and its media agent): inside a
// request scope, outside a transaction, each one is read once; the memo goes when the request opens on
// a changed database. A memo (zydb::DatabaseMemo): the identity asked and the rows it resolved to alone.
struct TAppAsked {
    AppIdInfo asked;  // the identity as asked: the subclient, or client, type and backup set
    AppIdInfo found;  // as resolved (only the parts a resolution sets are taken from it)
};
using TAppMemo = std::vector<TAppAsked>;

bool sameQuestion(const AppIdInfo& a, const AppIdInfo& b) {
    if (a.subclientId > 0 || b.subclientId > 0)
        return a.subclientId == b.subclientId && a.clientId == b.clientId;
    return a.clientId == b.clientId && a.appType == b.appType && a.backupSetId == b.backupSetId;
}

}  // namespace

int ApplicationId::resolve(void* transaction) {
    if (m_resolved) return zydb::DB_OK;
    TAppMemo* memo = transaction == nullptr ? zydb::threadRequestMemo<TAppMemo>() : nullptr;
    if (memo) {
        for (const TAppAsked& a : *memo)
            if (sameQuestion(a.asked, m_info)) {
                take(a.found);
                return zydb::DB_OK;
            }
    }
    const AppIdInfo asked = m_info;
    const int rc = read(transaction);
    if (rc == zydb::DB_OK && memo) memo->push_back({asked, m_info});
    return rc;
}

int ApplicationId::read(void* transaction) {
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
    AppIdInfo found;
    found.appId = row->id;
    found.subclientId = row->id;
    found.clientId = row->clientId;
    found.appType = row->appTypeId;
    found.instanceId = row->instance;
    found.backupSetId = row->backupSet;
    found.storagePolicyId = row->dataArchGrpID;
    found.subclientName = row->subclientName;
    take(found);
    return zydb::DB_OK;
}

void ApplicationId::take(const AppIdInfo& found) {
    m_info.appId = found.appId;
    m_info.subclientId = found.subclientId;
    m_info.clientId = found.clientId;
    m_info.appType = found.appType;
    m_info.instanceId = found.instanceId;
    m_info.backupSetId = found.backupSetId;
    m_info.storagePolicyId = found.storagePolicyId;
    m_info.subclientName = found.subclientName;
    m_resolved = true;
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
