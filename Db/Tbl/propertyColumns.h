// The eight columns shared by the property tables of clients, subclients and agents (APP_ClientProp,
// APP_SubClientProp, APP_IDAProp). Rows are versioned: in force from `created`, `modified` 0 while
// current. Only the type of `attrVal` differs between the tables. Data only; any thread.
#pragma once

#include "platform/db/rowfamily.h"

#define ZYDB_PROPERTY_COLUMNS(COL, ATTRVAL) \
    COL(id, i)                              \
    COL(componentNameId, i)                 \
    COL(attrName, sN<2049>)                 \
    COL(attrType, i)                        \
    COL(attrVal, ATTRVAL)                   \
    COL(created, x)                         \
    COL(modified, x)                        \
    COL(ccpId, i)

namespace zydb {
// What the three property tables have in common beside their columns.
struct PropertyTableDesc : TableDesc {
    static constexpr const char* serialColumn = "id";
    static constexpr const char* orderBy = "id";
};
}  // namespace zydb
