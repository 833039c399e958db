// App_IndexDBInfo: the index databases of a backup set (name, engine, index server, flags). Record,
// schema and access object come from this data; access objects are made on the calling thread's stack.
#pragma once

#include "platform/db/rowfamily.h"

#define App_IndexDBInfo_COLUMNS(COL) \
    COL(id, i)                       \
    COL(dbName, sN<129>)             \
    COL(type, i)                     \
    COL(idxDbEngineType, i)          \
    COL(backupSetId, i)              \
    COL(currentIdxServer, i)         \
    COL(backupSetGUID, sN<65>)       \
    COL(properties, s)               \
    COL(isPrimary, i)                \
    COL(committedTransactionId, b)   \
    COL(archGroupId, i)              \
    COL(flags, i)

struct App_IndexDBInfo_desc : zydb::TableDesc {
    static constexpr const char* className = "App_IndexDBInfo";
    static constexpr const char* dbName = "App_IndexDBInfo";
    static constexpr const char* revision = "1.3.54.8";
    static constexpr const char* header = "Db/Tbl/App_IndexDBInfo";
    static constexpr int errorLine = 576;
    static constexpr const char* serialColumn = "id";
    static constexpr const char* orderBy = "id";
    static constexpr auto foreignKeys = zydb::fks(zydb::FkPair{0, "APP_BackupSetName", "backupSetId", "id"});
};

ZYDB_FAMILY(App_IndexDBInfo)
