// AppGetVMBrowseDetails: resolves a VM, named by its GUID under a parent (hypervisor) backup set, to
// the client, instance, backup set and subclient of its own backups. Made on the caller's stack.
#pragma once

#include "platform/db/rowfamily.h"

#define AppGetVMBrowseDetails_COLUMNS(COL) \
    COL(VMClientID, i)                     \
    COL(VMInstanceId, i)                   \
    COL(VMBackupsetId, i)                  \
    COL(VMSubclientId, i)

struct AppGetVMBrowseDetails_desc : zydb::ProcDesc {
    static constexpr const char* className = "AppGetVMBrowseDetails";
    static constexpr const char* dbName = "AppGetVMBrowseDetails";
    static constexpr const char* revision = "00d:0000000000000000";
    static constexpr const char* header = "Db/Proc/AppGetVMBrowseDetails";
    static constexpr int errorLine = 398;
    // VM GUID, parent backup set
    using Args = zydb::ArgList<const char*, int>;
    static constexpr const char* argFormat = "N'%s',%d";
};

ZYDB_FAMILY(AppGetVMBrowseDetails)
