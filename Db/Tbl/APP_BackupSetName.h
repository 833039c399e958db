// APP_BackupSetName: one row per backup set (id, name, GUID). Record, schema and access object come
// from this data; access objects are made on the calling thread's stack for one query.
#pragma once

#include "platform/db/rowfamily.h"

#define APP_BackupSetName_COLUMNS(COL) \
    COL(id, i)                         \
    COL(name, sN<257>)                 \
    COL(refTime, x)                    \
    COL(modified, x)                   \
    COL(status, i)                     \
    COL(ccpId, i)                      \
    COL(ccpTime, x)                    \
    COL(origKMId, i)                   \
    COL(GUID, sN<65>)

struct APP_BackupSetName_desc : zydb::TableDesc {
    static constexpr const char* className = "APP_BackupSetName";
    static constexpr const char* dbName = "APP_BackupSetName";
    static constexpr const char* revision = "1.23.2.3";
    static constexpr const char* header = "Db/Tbl/APP_BackupSetName";
    static constexpr int errorLine = 532;
    static constexpr const char* serialColumn = "id";
    static constexpr const char* orderBy = "id";
    static constexpr auto primaryKeys = zydb::keys("id");
};

ZYDB_FAMILY(APP_BackupSetName)
