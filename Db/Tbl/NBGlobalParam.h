// NBGlobalParam: the server's global parameters, versioned in time ("modified = 0" is the current
// value). Record, schema and access object come from this data; made on the calling thread's stack.
#pragma once

#include "platform/db/rowfamily.h"

#define NBGlobalParam_COLUMNS(COL) \
    COL(id, i)                     \
    COL(name, sN<129>)             \
    COL(value, s)                  \
    COL(created, x)                \
    COL(modified, x)

struct NBGlobalParam_desc : zydb::TableDesc {
    static constexpr const char* className = "NBGlobalParam";
    static constexpr const char* dbName = "NBGlobalParam";
    static constexpr const char* revision = "1.120.88.3";
    static constexpr const char* header = "Db/Tbl/NBGlobalParam";
    static constexpr int errorLine = 501;
    static constexpr const char* serialColumn = "id";
    static constexpr const char* orderBy = "id";
};

ZYDB_FAMILY(NBGlobalParam)
