// AppGetIndexingV2Enabled: whether a client browses on the indexing-v2 layer, read whole through
// SprocWrapper; no result columns. Made on the calling thread's stack.
#pragma once

#include "platform/db/rowfamily.h"

#define AppGetIndexingV2Enabled_COLUMNS(COL)

struct AppGetIndexingV2Enabled_desc : zydb::XmlProcDesc {
    ZYDB_PROC_NAMES(AppGetIndexingV2Enabled)
    static constexpr const char* revision = "00010001000200010000";
    static constexpr int errorLine = 348;
};

ZYDB_FAMILY(AppGetIndexingV2Enabled)
