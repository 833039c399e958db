// SimAllNimbraRel: the product's releases (id, release number as text, build). Record, schema and
// access object come from this data; made on the calling thread's stack, as SimAllNimbraRel(0, tran).
#pragma once

#include "platform/db/rowfamily.h"

#define SimAllNimbraRel_COLUMNS(COL) \
    COL(id, i)                       \
    COL(release, sN<129>)            \
    COL(buildNum, i)

struct SimAllNimbraRel_desc : zydb::TableDesc {
    static constexpr const char* className = "SimAllNimbraRel";
    static constexpr const char* dbName = "simAllNimbraRel";
    static constexpr const char* revision = "1.17.58.4";
    static constexpr const char* header = "Db/TblCommon/simAllNimbraRel";
    static constexpr int errorLine = 450;
    static constexpr const char* orderBy = "id";
    static constexpr auto primaryKeys = zydb::keys("id");
};

ZYDB_FAMILY_WITH_ARG(SimAllNimbraRel)
