// ClientApplicationList::getDefaultSubclient: the subclient a client's application type starts with.
#include "platform/db/dbresult.h"
#include "platform/entities/applicationid.h"
#include "platform/entities/clientapplist.h"
#include "platform/hubdb/hubdb.h"

int ClientApplicationList::getDefaultSubclient(unsigned long clientId, unsigned long appType,
                                               unsigned long* subclientId, void* transaction) {
    if (subclientId == nullptr) return zydb::DB_ERR_ARGUMENT;
    unsigned long backupSetId = 0;
    std::string backupSetName;
    int rc = ApplicationId::getDefaultBackupSet(clientId, appType, backupSetId, backupSetName, transaction);
    if (rc != zydb::DB_OK) return rc;
    ApplicationId application(hubdb::kDefaultKelmarchId, clientId, appType, 0, backupSetId, 0);
    unsigned long id = 0;
    if ((rc = application.getAppId(id, transaction)) != zydb::DB_OK) return rc;
    *subclientId = id;
    return zydb::DB_OK;
}
