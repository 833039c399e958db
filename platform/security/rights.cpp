#include "platform/security/rights.h"

#include <cstring>

#include "Db/Tbl/UMUsers.h"
#include "platform/db/dbresult.h"
#include "platform/entities/propertystore.h"
#include "platform/hubdb/grantcover.h"
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

int getUserProperty(DBtran* tran, int userId, const std::string& name, std::string& value) {
    return zyent::readProperty<UMUsersProp>(tran, userId, name, value);
}

}  // namespace zysec

namespace zysec {

TCheckOutcome checkUserRight(DBtran* tran, int userId, std::initializer_list<int> permissions,
                             const TEntityPath& path, const char* question) {
    TCheckOutcome out;
    const std::string what = std::string(question) + " " + describe(path);
    if (userId <= 0) {
        out.result = kCheckNoUser;
        out.explanation = "No user given: may not " + what;
        return out;
    }
    int rc = lookUpUser(tran, userId, out.user);
    if (rc == zydb::DB_NO_DATA) {
        out.result = kCheckNoUser;
        out.explanation =
            "User id [" + std::to_string(userId) + "] is not a user of this Hubmaster: may not " + what;
        return out;
    }
    if (rc != zydb::DB_OK) {
        out.result = kCheckFailed;
        out.explanation = "Could not read user [" + std::to_string(userId) + "] (" + zydb::dbResultText(rc) +
                          "): may not " + what;
        return out;
    }
    const std::string who = "User [" + out.user.login + "] (id " + std::to_string(userId) + ")";
    if (!out.user.enabled) {
        out.result = kCheckUserDisabled;
        out.explanation = who + " is disabled: may not " + what;
        return out;
    }
    std::string tried;
    for (int permission : permissions) {
        rc = findGrant(tran, userId, permission, path);
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

}  // namespace zysec
