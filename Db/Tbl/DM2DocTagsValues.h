// DM2DocTagsValues: document tag values by container (the retention tags of Exchange among them).
// Record, schema and access object come from this data; made on the calling thread's stack.
#pragma once

#include "platform/db/rowfamily.h"

#define DM2DocTagsValues_COLUMNS(COL) \
    COL(TagID, sN<37>)                \
    COL(containerGuid, sN<65>)        \
    COL(TagValue, i)

struct DM2DocTagsValues_desc : zydb::TableDesc {
    static constexpr const char* className = "DM2DocTagsValues";
    static constexpr const char* dbName = "DM2DocTagsValues";
    static constexpr const char* revision = "1.2.80.1";
    static constexpr const char* header = "Db/Tbl/DM2DocTagsValues";
    static constexpr int errorLine = 449;
};

ZYDB_FAMILY(DM2DocTagsValues)
