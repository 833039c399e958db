// APP_IDAProp: named, time-versioned properties of agents (one application type on one client).
// Record, schema and access object come from this data; made on the calling thread's stack.
#pragma once

#include "Db/Tbl/propertyColumns.h"

#define APP_IDAProp_COLUMNS(COL) ZYDB_PROPERTY_COLUMNS(COL, s)

struct APP_IDAProp_desc : zydb::PropertyTableDesc {
    static constexpr const char* className = "APP_IDAProp";
    static constexpr const char* dbName = "APP_IDAProp";
    static constexpr const char* revision = "1.10.278.3";
    static constexpr const char* header = "Db/Tbl/APP_IDAProp";
    static constexpr int errorLine = 548;
    static constexpr auto primaryKeys = zydb::keys("id");
    static constexpr auto foreignKeys = zydb::fks(zydb::FkPair{0, "APP_IDAName", "componentNameId", "id"});
};

ZYDB_FAMILY(APP_IDAProp)
