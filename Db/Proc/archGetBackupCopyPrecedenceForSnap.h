// ArchGetBackupCopyPrecedenceForSnap: the copy precedence of the backup copy to browse for a snap
// backup of one backup set, subclient and window, or the procedure's error text. Made on the calling
// thread's stack for one call.
#pragma once

#include "platform/db/rowfamily.h"

#define ArchGetBackupCopyPrecedenceForSnap_COLUMNS(COL) \
    COL(r_copyPrecedence, i)                            \
    COL(r_error, s)

struct ArchGetBackupCopyPrecedenceForSnap_desc : zydb::ProcDesc {
    static constexpr const char* className = "ArchGetBackupCopyPrecedenceForSnap";
    static constexpr const char* dbName = "archGetBackupCopyPrecedenceForSnap";
    static constexpr const char* revision = "00010001000200050000";
    static constexpr const char* header = "Db/Proc/archGetBackupCopyPrecedenceForSnap";
    static constexpr int errorLine = 403;
    // backup set, subclient, from time, to time
    using Args = zydb::ArgList<int, int, int, int>;
    static constexpr const char* argFormat = "%d,%d,%d,%d";
};

ZYDB_FAMILY(ArchGetBackupCopyPrecedenceForSnap)
