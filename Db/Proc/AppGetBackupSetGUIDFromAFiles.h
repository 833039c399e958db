// AppGetBackupSetGUIDFromAFiles: the backup-set GUIDs of archive files as XML rows. Made on the calling
// thread's stack for one call.
#pragma once

#include "platform/db/rowfamily.h"

#define AppGetBackupSetGUIDFromAFiles_COLUMNS(COL) COL(outResp, s)

struct AppGetBackupSetGUIDFromAFiles_desc : zydb::XmlProcDesc {
    ZYDB_PROC_NAMES(AppGetBackupSetGUIDFromAFiles)
    static constexpr const char* revision = "00d:0000000000000000";
    static constexpr int errorLine = 390;
};

ZYDB_FAMILY(AppGetBackupSetGUIDFromAFiles)
