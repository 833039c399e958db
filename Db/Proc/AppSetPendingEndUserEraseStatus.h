// AppSetPendingEndUserEraseStatus: records that an end-user erase of a subclient is pending. No result
// columns; made on the caller's stack.
#pragma once

#include "platform/db/rowfamily.h"

#define AppSetPendingEndUserEraseStatus_COLUMNS(COL)

struct AppSetPendingEndUserEraseStatus_desc : zydb::ProcDesc {
    static constexpr const char* className = "AppSetPendingEndUserEraseStatus";
    static constexpr const char* dbName = "AppSetPendingEndUserEraseStatus";
    static constexpr const char* revision = "00010002008000010000";
    static constexpr const char* header = "Db/Proc/AppSetPendingEndUserEraseStatus";
    static constexpr int errorLine = 354;
    // subclient, status
    using Args = zydb::ArgList<int, int>;
    static constexpr const char* argFormat = "%d,%d";
};

ZYDB_FAMILY(AppSetPendingEndUserEraseStatus)
