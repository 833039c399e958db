// UMUsers: one row per user of the Hubmaster (login, e-mail address, credentials). Record, schema and
// access object come from this data; made on the calling thread's stack for one query.
#pragma once

#include "platform/db/rowfamily.h"

#define UMUsers_COLUMNS(COL)   \
    COL(id, i)                 \
    COL(name, uN<1021>)        \
    COL(description, u)        \
    COL(login, uN<1021>)       \
    COL(password, sN<801>)     \
    COL(email, uN<1021>)       \
    COL(datePasswordSet, i)    \
    COL(dateExpires, i)        \
    COL(policy, i)             \
    COL(enabled, i)            \
    COL(flags, i)              \
    COL(modified, x)           \
    COL(pVer, i)               \
    COL(Pager, sN<256>)        \
    COL(lastLogInTime, x)      \
    COL(credSetTime, x)        \
    COL(umDSproviderId, i)     \
    COL(userGuid, sN<513>)     \
    COL(origUserGuid, sN<513>) \
    COL(origKMId, i)           \
    COL(salt, sN<801>)         \
    COL(companyId, i)

struct UMUsers_desc : zydb::TableDesc {
    static constexpr const char* className = "UMUsers";
    static constexpr const char* dbName = "UMUsers";
    static constexpr const char* revision = "1.29.210.11";
    static constexpr const char* header = "Db/Tbl/UMUsers";
    static constexpr int errorLine = 696;
    static constexpr const char* serialColumn = "id";
    static constexpr const char* orderBy = "id";
    static constexpr auto primaryKeys = zydb::keys("id");
};

ZYDB_FAMILY(UMUsers)
