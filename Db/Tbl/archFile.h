// ArchFile: one row per archive file (the media file of one job's data or index). Record, schema and
// access object come from this data; access objects are made on the calling thread's stack.
#pragma once

#include "platform/db/rowfamily.h"

#define ArchFile_COLUMNS(COL) \
    COL(id, i)                \
    COL(name, uN<8193>)       \
    COL(kelmarchId, i)        \
    COL(archGroupId, i)       \
    COL(objName1, sN<2049>)   \
    COL(flags, i)             \
    COL(appId, i)             \
    COL(fileType, i)          \
    COL(cTime, i)             \
    COL(jobId, i)             \
    COL(backupLevel, i)       \
    COL(isValid, i)           \
    COL(cloudId, i)           \
    COL(contentIndexTime, i)  \
    COL(nPushedItems, i)

struct ArchFile_desc : zydb::TableDesc {
    static constexpr const char* className = "ArchFile";
    static constexpr const char* dbName = "archFile";
    static constexpr const char* revision = "1.55.192.4";
    static constexpr const char* header = "Db/Tbl/archFile";
    static constexpr int errorLine = 610;
    static constexpr const char* serialColumn = "id";
    static constexpr const char* orderBy = "id, kelmarchId";
    static constexpr auto primaryKeys = zydb::keys("id", "kelmarchId");
    static constexpr auto foreignKeys = zydb::fks(zydb::FkPair{0, "archGroup", "archGroupId", "id"});
};

ZYDB_FAMILY(ArchFile)
