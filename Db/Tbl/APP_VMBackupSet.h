// APP_VMBackupSet: links a virtual machine's client to the hypervisor's (parent) backup set and to
// its own (child) backup set. Record, schema and access object come from this data; made on the
// calling thread's stack for one query.
#pragma once

#include "platform/db/rowfamily.h"

#define APP_VMBackupSet_COLUMNS(COL) \
    COL(VMClientId, i)               \
    COL(ParentBackupSetId, i)        \
    COL(ChildBackupSetId, i)

struct APP_VMBackupSet_desc : zydb::TableDesc {
    static constexpr const char* className = "APP_VMBackupSet";
    static constexpr const char* dbName = "APP_VMBackupSet";
    static constexpr const char* revision = "1.1.2.3";
    static constexpr const char* header = "Db/Tbl/APP_VMBackupSet";
    static constexpr int errorLine = 458;
    static constexpr const char* orderBy = "VMClientId, ParentBackupSetId";
    static constexpr auto primaryKeys = zydb::keys("VMClientId", "ParentBackupSetId");
    static constexpr auto foreignKeys = zydb::fks(zydb::FkPair{0, "APP_Client", "VMClientId", "id"});
};

ZYDB_FAMILY(APP_VMBackupSet)
