// AppSetPendingEndUserEraseStatus and AppSharingGetShareFolderOwner.
#include <string>

#include "Db/Proc/AppSharingGetShareFolderOwner.h"
#include "platform/db/dbresult.h"
#include "platform/hubdb/familiesb_procs.h"
#include "platform/hubdb/procsupport.h"

using zydb::DbValue;

namespace hubdb {

// AppSetPendingEndUserEraseStatus(subclient, status): the versioned subclient property "EndUser Erase
// Pending" takes the status as its value (the earlier value stays in the history). An unknown
// subclient is refused.
int appSetPendingEndUserEraseStatusProc(zydb::CProcCall& call) {
    return writeSubclientProperty(call, static_cast<int>(call.argInt(0)), kErasePendingProperty,
                                  std::to_string(call.argInt(1)));
}

// AppSharingGetShareFolderOwner(folder): one row with the owner of the shared folder, its user id and
// its login (the name when the login is empty); an unknown folder, or an owner who is no longer a
// user, gives no row.
int appSharingGetShareFolderOwnerProc(zydb::CProcCall& call) {
    int rc = forEachRow(
        call.connection(),
        "SELECT u.id, CASE WHEN u.login <> '' THEN u.login ELSE u.name END FROM App_SharedFolder f "
        "JOIN UMUsers u ON u.id = f.ownerId WHERE f.id = ?",
        {DbValue::ofInt(call.argInt(0))}, [&](const zydb::IDbRow& r) {
            call.addRow(rowAs<AppSharingGetShareFolderOwner_t>(r));
            return zydb::DB_OK;
        });
    return rc == zydb::DB_OK ? zydb::DB_OK : procFailure(call, rc);
}

}  // namespace hubdb
