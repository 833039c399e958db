// AppGetBackupSetGUIDFromAFiles: the backup-set GUIDs of archive files as XML rows. Made on the calling
// thread's stack for one call.
#pragma once

#include "platform/db/rowfamily.h"

#define AppGetBackupSetGUIDFromAFiles_COLUMNS(COL) COL(outResp, s)

ZYDB_XML_PROCEDURE(AppGetBackupSetGUIDFromAFiles, "00d:0000000000000000", 390)
