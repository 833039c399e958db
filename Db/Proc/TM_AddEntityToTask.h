// TM_AddEntityToTask: associates an entity (a subclient) with a schedule task. No result columns;
// made on the caller's stack, usually inside the caller's transaction.
#pragma once

#include "platform/db/rowfamily.h"

#define TM_AddEntityToTask_COLUMNS(COL)

struct TM_AddEntityToTask_desc : zydb::ProcDesc {
    static constexpr const char* className = "TM_AddEntityToTask";
    static constexpr const char* dbName = "TM_AddEntityToTask";
    static constexpr const char* revision = "00010005000200050000";
    static constexpr const char* header = "Db/Proc/TM_AddEntityToTask";
    static constexpr int errorLine = 369;
    using Args = zydb::ArgList<int, int, int, int, int, int, int, int, int, int>;
    static constexpr const char* argFormat = "%d,%d,%d,%d,%d,%d,%d,%d,%d,%d";
};

ZYDB_FAMILY(TM_AddEntityToTask)
