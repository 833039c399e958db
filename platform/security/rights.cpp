#include "platform/security/rights.h"

#include <cstring>

#include "Db/Tbl/UMUsers.h"
#include "platform/db/dbresult.h"
#include "platform/entities/propertystore.h"
#include "platform/hubdb/grantcover.h"
#include "platform/hubdb/hubdb.h"
#include "platform/hubdb/securitytables.h"
#include "platform/log/evdebug.h"

namespace zysec {

EvDebug& securityLog() {
    thread_local EvDebug log(nullptr);
    thread_local bool tagged = false;
    if (!tagged) {
        log.setPrefixMessage("SECURITY");
        tagged = true;
    }
    return log;
}

std::string permissionName(int permission) {
    switch (permission) {
        case kPermAny:
            return "any right";
#define SEC_PERMISSION_CASE(name, id, text) \
    case id:                                \
        return text;
            SEC_PERMISSIONS(SEC_PERMISSION_CASE)
#undef SEC_PERMISSION_CASE
    }
    return "permission " + std::to_string(permission);
}

bool setEntityLevel(TEntityPath& path, int entityType, long id) {
    switch (entityType) {
#define SEC_LEVEL_CASE(X, type, column) \
    case type:                          \
        path.column = id;               \
        return true;
        SEC_ENTITY_LEVELS(SEC_LEVEL_CASE, _)
#undef SEC_LEVEL_CASE
    }
    return false;
}

std::string describe(const TEntityPath& path) {
    std::string out;
#define SEC_LEVEL_TEXT(X, type, column)                                          \
    if (path.column != 0) {                                                      \
        if (!out.empty()) out += ' ';                                            \
        out += std::string(#column).substr(0, std::strlen(#column) - 2) + " [" + \
               std::to_string(path.column) + "]";                                \
    }
    SEC_ENTITY_LEVELS(SEC_LEVEL_TEXT, _)
#undef SEC_LEVEL_TEXT
    return out.empty() ? "the whole Hubmaster" : out;
}

namespace {

int fetchUser(UMUsers& t, TUserInfo& user) {
    int rc = t.getOneRow(&t, false, 0, 0);
    if (rc != zydb::DB_OK) return rc;
    const UMUsers_t* r = t.getDataPtr();
    user.id = r->id;
    user.login = r->login;
    user.name = r->name;
    user.email = r->email;
    user.userGuid = r->userGuid;
    user.enabled = r->enabled != 0;
    return zydb::DB_OK;
}

}  // namespace

int lookUpUser(DBtran* tran, int userId, TUserInfo& user) {
    UMUsers t(tran);
    t.setIsolationType(4);
    t.setWhere("id = %d", userId);
    return fetchUser(t, user);
}

int lookUpUserByLogin(DBtran* tran, const std::string& login, TUserInfo& user) {
    UMUsers t(tran);
    t.setIsolationType(4);
    t.setTop(1);
    t.setWhere("login = '%s'", login);
    return fetchUser(t, user);
}

int findGrant(DBtran* tran, int userId, int permission, const TEntityPath& path) {
    // Numbers only: the clause is built here and used as it is.
    std::string where = "userId = " + std::to_string(userId);
    if (permission != kPermAny) where += " AND permissionId = " + std::to_string(permission);
    hubdb::TGrantLevelValues asked;
#define SEC_LEVEL_ASKED(X, type, column) asked.column = hubdb::TGrantLevelValue::number(path.column);
    SEC_ENTITY_LEVELS(SEC_LEVEL_ASKED, _)
#undef SEC_LEVEL_ASKED
    where += " AND " + hubdb::grantCoversClause(asked);
    SECUserRight t(tran);
    t.setIsolationType(4);
    t.setTop(1);
    t.setWhereRaw(where);
    return t.getOneRow(&t, false, 0, 0);
}

int findGrantWithinClient(DBtran* tran, int userId, long clientId) {
    // Numbers only: the clause is built here and used as it is.
    const std::string client = std::to_string(clientId > 0 ? clientId : 0);
    const std::string kelmarch = std::to_string(hubdb::kDefaultKelmarchId);
    std::string where =
        "userId = " + std::to_string(userId) + " AND (kelmarchId = 0 OR kelmarchId = " + kelmarch + ") AND (";
    // A grant on every client, whatever it names below.
    where += "(clientId = 0 AND appTypeId = 0 AND instanceId = 0 AND backupSetId = 0 AND subclientId = 0)";
    if (clientId > 0) {
        // A grant on the client itself, or on anything of it.
        where += " OR clientId = " + client;
        // A grant on every client's entities of some kind, of which the client holds one.
        where +=
            " OR (clientId = 0 AND EXISTS (SELECT 1 FROM APP_Application a WHERE a.clientId = " + client +
            " AND (SECUserRight.appTypeId = 0 OR SECUserRight.appTypeId = a.appTypeId) AND "
            "(SECUserRight.instanceId = 0 OR SECUserRight.instanceId = a.instance) AND "
            "(SECUserRight.backupSetId = 0 OR SECUserRight.backupSetId = a.backupSet) AND "
            "(SECUserRight.subclientId = 0 OR SECUserRight.subclientId = a.id)))";
        // A grant on a virtual machine the client's backup sets protect.
        where +=
            " OR EXISTS (SELECT 1 FROM APP_VMBackupSet v JOIN APP_Application h ON h.backupSet = "
            "v.ParentBackupSetId WHERE v.VMClientId = SECUserRight.clientId AND h.clientId = " +
            client + ")";
    }
    where += ")";
    SECUserRight t(tran);
    t.setIsolationType(4);
    t.setTop(1);
    t.setWhereRaw(where);
    return t.getOneRow(&t, false, 0, 0);
}

int getUserProperty(DBtran* tran, int userId, const std::string& name, std::string& value) {
    return zyent::readProperty<UMUsersProp>(tran, userId, name, value);
}

}  // namespace zysec

namespace zysec {

namespace {

// The user of a question: true when `userId` is an enabled user, who may then be asked about; else
// `out` holds the answer (no user, a disabled one, or a user that cannot be read) and `who` is unset.
bool askableUser(DBtran* tran, int userId, const std::string& what, TCheckOutcome& out, std::string& who) {
    if (userId <= 0) {
        out.result = kCheckNoUser;
        out.explanation = "No user given: may not " + what;
        return false;
    }
    const int rc = lookUpUser(tran, userId, out.user);
    if (rc == zydb::DB_NO_DATA) {
        out.result = kCheckNoUser;
        out.explanation =
            "User id [" + std::to_string(userId) + "] is not a user of this Hubmaster: may not " + what;
        return false;
    }
    if (rc != zydb::DB_OK) {
        out.result = kCheckFailed;
        out.explanation = "Could not read user [" + std::to_string(userId) + "] (" + zydb::dbResultText(rc) +
                          "): may not " + what;
        return false;
    }
    who = "User [" + out.user.login + "] (id " + std::to_string(userId) + ")";
    if (!out.user.enabled) {
        out.result = kCheckUserDisabled;
        out.explanation = who + " is disabled: may not " + what;
        return false;
    }
    return true;
}

}  // namespace

TCheckOutcome checkUserRight(DBtran* tran, int userId, std::initializer_list<int> permissions,
                             const TEntityPath& path, const char* question) {
    TCheckOutcome out;
    const std::string what = std::string(question) + " " + describe(path);
    std::string who;
    if (!askableUser(tran, userId, what, out, who)) return out;
    std::string tried;
    for (int permission : permissions) {
        const int rc = findGrant(tran, userId, permission, path);
        if (rc == zydb::DB_OK) {
            out.result = kCheckAllowed;
            out.explanation = who + " holds [" + permissionName(permission) + "]: may " + what;
            return out;
        }
        if (rc != zydb::DB_NO_DATA) {
            out.result = kCheckFailed;
            out.explanation =
                who + ": rights could not be read (" + zydb::dbResultText(rc) + "): may not " + what;
            return out;
        }
        if (!tried.empty()) tried += "] or [";
        tried += permissionName(permission);
    }
    out.result = kCheckDenied;
    out.explanation = who + " holds no [" + tried + "] right: may not " + what;
    return out;
}

TCheckOutcome checkUserSeesClient(DBtran* tran, int userId, long clientId) {
    TCheckOutcome out;
    const std::string what =
        clientId > 0 ? "see client [" + std::to_string(clientId) + "] or anything of it" : "see every client";
    std::string who;
    if (!askableUser(tran, userId, what, out, who)) return out;
    const int rc = findGrantWithinClient(tran, userId, clientId);
    if (rc == zydb::DB_OK) {
        out.result = kCheckAllowed;
        out.explanation = who + " holds a right there: may " + what;
    } else if (rc == zydb::DB_NO_DATA) {
        out.result = kCheckDenied;
        out.explanation = who + " holds no right there: may not " + what;
    } else {
        out.result = kCheckFailed;
        out.explanation =
            who + ": rights could not be read (" + zydb::dbResultText(rc) + "): may not " + what;
    }
    return out;
}

}  // namespace zysec
