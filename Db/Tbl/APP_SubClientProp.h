// APP_SubClientProp: named, time-versioned properties of subclients. Record, schema and access object
// come from this data; access objects are made on the calling thread's stack for one query.
#pragma once

#include "Db/Tbl/propertyColumns.h"

#define APP_SubClientProp_COLUMNS(COL) ZYDB_PROPERTY_COLUMNS(COL, s)

struct APP_SubClientProp_desc : zydb::PropertyTableDesc {
    static constexpr const char* className = "APP_SubClientProp";
    static constexpr const char* dbName = "APP_SubClientProp";
    static constexpr const char* revision = "1.17.278.10.8.1";
    static constexpr const char* header = "Db/Tbl/APP_SubClientProp";
    static constexpr int errorLine = 555;
    static constexpr auto primaryKeys = zydb::keys("id");
    static constexpr auto foreignKeys =
        zydb::fks(zydb::FkPair{0, "APP_Application", "componentNameId", "id"});
};

ZYDB_FAMILY(APP_SubClientProp)
