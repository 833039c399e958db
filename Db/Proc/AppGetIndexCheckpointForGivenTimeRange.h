// AppGetIndexCheckpointForGivenTimeRange: the index checkpoints of time ranges as one XML row. Made on
// the calling thread's stack for one call.
#pragma once

#include "platform/db/rowfamily.h"

#define AppGetIndexCheckpointForGivenTimeRange_COLUMNS(COL) COL(outXML, s)

struct AppGetIndexCheckpointForGivenTimeRange_desc : zydb::XmlProcDesc {
    ZYDB_PROC_NAMES(AppGetIndexCheckpointForGivenTimeRange)
    static constexpr const char* revision = "00010001000200030000";
    static constexpr int errorLine = 387;
};

ZYDB_FAMILY(AppGetIndexCheckpointForGivenTimeRange)
