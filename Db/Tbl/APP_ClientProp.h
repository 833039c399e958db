// APP_ClientProp: named, time-versioned properties of clients. Record, schema and access object come
// from this data; access objects are made on the calling thread's stack for one query.
#pragma once

#include "Db/Tbl/propertyColumns.h"

#define APP_ClientProp_COLUMNS(COL) ZYDB_PROPERTY_COLUMNS(COL, sN<2049>)

// No primary key: a client may hold several rows of one name, one per period of validity.
struct APP_ClientProp_desc : zydb::PropertyTableDesc {
    static constexpr const char* className = "APP_ClientProp";
    static constexpr const char* dbName = "APP_ClientProp";
    static constexpr const char* revision = "1.11.278.10";
    static constexpr const char* header = "Db/Tbl/APP_ClientProp";
    static constexpr int errorLine = 524;
    static constexpr auto foreignKeys = zydb::fks(zydb::FkPair{0, "APP_Client", "componentNameId", "id"});
};

ZYDB_FAMILY(APP_ClientProp)
