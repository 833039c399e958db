// The security manager's own tables in the Hubmaster database: rights granted to users on entities,
// the clients a calling client may act for, user properties, live token sessions and the end-user
// category of application types. Record, schema and access object of each come from the data below;
// access objects are made on the calling thread's stack for one query.
#pragma once

#include "Db/Tbl/propertyColumns.h"
#include "platform/db/rowfamily.h"
#include "platform/hubdb/platformtabledesc.h"

inline constexpr char kSecurityTablesHeader[] = "platform/hubdb/securitytables.h";

// The entity levels a right can be granted at, with their entity-type codes (as given to
// EvSecurityNew::hasPermissionForUserOnEntity) and the column naming the entity. In a grant, 0 at a
// level means "every entity at that level"; in a question, 0 means "that level is not asked".
#define SEC_ENTITY_LEVELS(L, X) \
    L(X, 1, kelmarchId)         \
    L(X, 3, clientId)           \
    L(X, 4, appTypeId)          \
    L(X, 5, instanceId)         \
    L(X, 6, backupSetId)        \
    L(X, 7, subclientId)
#define SEC_LEVEL_AS_COLUMN(COL, type, column) COL(column, i)

// Permission ids (SECUserRight.permissionId), their names for explanations.
#define SEC_PERMISSIONS(P)                         \
    P(kPermBrowse, 1, "Browse")                    \
    P(kPermEndUserBrowse, 2, "End User Browse")    \
    P(kPermLiveBrowse, 3, "Live Browse")           \
    P(kPermManageHubmaster, 4, "Manage Hubmaster") \
    P(kPermDeleteData, 219, "Delete Data")

namespace zysec {

enum Permission : int {
    kPermAny = 0,  // a question about any right at all (visibility)
#define SEC_PERMISSION_ENUM(name, id, text) name = id,
    SEC_PERMISSIONS(SEC_PERMISSION_ENUM)
#undef SEC_PERMISSION_ENUM
};

}  // namespace zysec

// One right: `permissionId` for `userId` on the entity its level columns name.
#define SECUserRight_COLUMNS(COL) \
    COL(id, i)                    \
    COL(userId, i)                \
    COL(permissionId, i)          \
    SEC_ENTITY_LEVELS(SEC_LEVEL_AS_COLUMN, COL)

ZYENT_TABLE_DESC(SECUserRight, kSecurityTablesHeader)
ZYDB_FAMILY(SECUserRight)

// A calling client (certificate-authenticated API caller) may act for `clientId`; 0 for every client.
#define SECClientAccess_COLUMNS(COL) \
    COL(id, i)                       \
    COL(callerClientId, i)           \
    COL(clientId, i)

ZYENT_TABLE_DESC(SECClientAccess, kSecurityTablesHeader)
ZYDB_FAMILY(SECClientAccess)

// Named, time-versioned properties of users ("Object ID", "User Access Info", ...).
#define UMUsersProp_COLUMNS(COL) ZYDB_PROPERTY_COLUMNS(COL, s)

ZYENT_TABLE_DESC(UMUsersProp, kSecurityTablesHeader)
ZYDB_FAMILY(UMUsersProp)

// A live session behind a session token: the token is accepted only while its row is here and unexpired.
#define SECTokenSession_COLUMNS(COL) \
    COL(id, i)                       \
    COL(sessionId, sN<33>)           \
    COL(userId, i)                   \
    COL(created, x)                  \
    COL(expires, x)

ZYENT_TABLE_DESC(SECTokenSession, kSecurityTablesHeader)
ZYDB_FAMILY(SECTokenSession)

// The end-user category of an application type (ZyUserAccess::checkAppType); types not listed are 1000,
// the category that needs no access string.
namespace hubdb {
inline constexpr int kNoAccessStringCategory = 1000;
}  // namespace hubdb
#define SECAppTypeUserAccess_COLUMNS(COL) \
    COL(appTypeId, i)                     \
    COL(category, i)

struct SECAppTypeUserAccess_desc : zyent::PlatformTableDesc<kSecurityTablesHeader> {
    static constexpr const char* className = "SECAppTypeUserAccess";
    static constexpr const char* dbName = "SECAppTypeUserAccess";
    static constexpr const char* serialColumn = "";
    static constexpr const char* orderBy = "appTypeId";
    static constexpr auto primaryKeys = zydb::keys("appTypeId");
};
ZYDB_FAMILY(SECAppTypeUserAccess)
