// ClientApplicationList::getSubclientList: every subclient of a backup set, by id.
#include <memory>

#include "platform/db/dbenv.h"
#include "platform/db/dbresult.h"
#include "platform/entities/clientapplist.h"

int ClientApplicationList::getSubclientList(std::vector<unsigned long>& ids, std::vector<std::string>& names,
                                            unsigned long appType, unsigned long backupSetId,
                                            unsigned long clientId, int excludeIndexSubclients) {
    int rc = zydb::DB_OK;
    auto conn = zydb::CDbEnv::threadConnection(&rc);
    if (!conn) return rc;
    std::unique_ptr<zydb::IDbStatement> st;
    rc = zydb::prepareBound(
        *conn,
        "SELECT a.id, IFNULL(a.subclientName, '') FROM APP_Application a WHERE a.backupSet = ? "
        "AND (? = 0 OR a.appTypeId = ?) AND (? = 0 OR a.clientId = ?) AND (? = 0 OR NOT EXISTS "
        "(SELECT 1 FROM APP_SubClientProp p WHERE p.componentNameId = a.id AND p.attrName = "
        "'Index SubClient' AND p.attrVal <> '0' AND p.modified = 0)) ORDER BY a.id",
        {zydb::DbValue::ofInt(static_cast<long long>(backupSetId)),
         zydb::DbValue::ofInt(static_cast<long long>(appType)),
         zydb::DbValue::ofInt(static_cast<long long>(appType)),
         zydb::DbValue::ofInt(static_cast<long long>(clientId)),
         zydb::DbValue::ofInt(static_cast<long long>(clientId)),
         zydb::DbValue::ofInt(excludeIndexSubclients)},
        st);
    if (rc != zydb::DB_OK) return rc;
    while ((rc = st->step()) == zydb::DB_OK) {
        ids.push_back(static_cast<unsigned long>(st->columnInt64(0)));
        names.emplace_back(st->columnText(1));
    }
    return rc == zydb::DB_NO_DATA ? zydb::DB_OK : rc;
}
