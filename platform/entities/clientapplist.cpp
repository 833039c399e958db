#include "platform/entities/clientapplist.h"

#include "Db/Tbl/APP_Application.h"
#include "platform/db/dbresult.h"

int ClientApplicationList::getApplications(unsigned long, unsigned long clientId, unsigned long appType,
                                           unsigned long backupSetId, std::vector<std::string>& names) {
    APP_Application t(nullptr);
    t.setIsolationType(4);
    t.setWhere("clientId = %lu AND appTypeId = %lu AND backupSet = %lu", clientId, appType, backupSetId);
    t.setOrderBy("id");
    std::vector<std::string> found;
    int rc;
    while ((rc = t.getNextRow(&t, nullptr, 0, 0)) == zydb::DB_OK)
        found.emplace_back(t.getDataPtr()->subclientName);
    if (rc != zydb::DB_NO_DATA) return rc;
    names.swap(found);
    return 0;
}
