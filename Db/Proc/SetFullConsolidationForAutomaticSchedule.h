// SetFullConsolidationForAutomaticSchedule: flags the index-backup subclients whose next backup must be
// a full consolidation. No arguments, no result columns; made on the caller's stack.
#pragma once

#include "platform/db/rowfamily.h"

#define SetFullConsolidationForAutomaticSchedule_COLUMNS(COL)

struct SetFullConsolidationForAutomaticSchedule_desc : zydb::ProcDesc {
    static constexpr const char* className = "SetFullConsolidationForAutomaticSchedule";
    static constexpr const char* dbName = "SetFullConsolidationForAutomaticSchedule";
    static constexpr const char* revision = "v1.1.2.5.36.1";
    static constexpr const char* header = "Db/Proc/SetFullConsolidationForAutomaticSchedule";
    static constexpr int errorLine = 348;
};

ZYDB_FAMILY(SetFullConsolidationForAutomaticSchedule)
