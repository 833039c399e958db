// ApplicationId for an application named by its id: its identity, and the storage policy its data
// goes to.
#include "Db/Tbl/APP_Application.h"
#include "Db/Tbl/archGroup.h"
#include "platform/db/dbresult.h"
#include "platform/db/dbtable.h"
#include "platform/entities/applicationid.h"

ApplicationId::ApplicationId(unsigned long kelmarchId, unsigned long appId)
    : ApplicationId(kelmarchId, 0, 0, 0, 0, appId) {}

int ApplicationId::createApplicationId(void* transaction) {
    // Only an application named by its id has an identity to build here.
    if (m_info.subclientId <= 0) return zydb::DB_NO_DATA;
    return resolve(transaction);
}

int ApplicationId::setDataArchiveGroup(unsigned long archGroupId, void* transaction) {
    TranWrapper tran(static_cast<DBtran*>(transaction), "ApplicationId");
    std::string error;
    int rc = tran.ensureTran(error);
    if (rc != zydb::DB_OK) return rc;
    unsigned long appId = 0;
    if ((rc = getAppId(appId, tran.getTran())) != zydb::DB_OK) return rc;
    {
        ArchGroup policy(tran.getTran());
        policy.setIsolationType(4);
        policy.setWhere("id = %lu", archGroupId);
        if ((rc = policy.getOneRow(&policy, false, 0, 0)) != zydb::DB_OK) return rc;
    }
    APP_Application application(tran.getTran());
    application.setWhere("id = %lu", appId);
    rc = application.rowUpdate("dataArchGrpID = %lu", archGroupId);
    if (rc == zydb::DB_OK) rc = tran.commitIfOwnTran();
    if (rc != zydb::DB_OK) return rc;  // an own transaction still open is rolled back by the wrapper
    m_info.storagePolicyId = static_cast<int64_t>(archGroupId);
    return zydb::DB_OK;
}
