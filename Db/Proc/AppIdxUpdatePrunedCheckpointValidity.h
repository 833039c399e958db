// AppIdxUpdatePrunedCheckpointValidity: marks index checkpoints invalid once their archive files are
// pruned. No arguments, no result columns; made on the caller's stack.
#pragma once

#include "platform/db/rowfamily.h"

#define AppIdxUpdatePrunedCheckpointValidity_COLUMNS(COL)

struct AppIdxUpdatePrunedCheckpointValidity_desc : zydb::ProcDesc {
    static constexpr const char* className = "AppIdxUpdatePrunedCheckpointValidity";
    static constexpr const char* dbName = "AppIdxUpdatePrunedCheckpointValidity";
    static constexpr const char* revision = "00010001000200040000";
    static constexpr const char* header = "Db/Proc/AppIdxUpdatePrunedCheckpointValidity";
    static constexpr int errorLine = 350;
};

ZYDB_FAMILY(AppIdxUpdatePrunedCheckpointValidity)
