// SetRetentionForAutomaticSchedule: recomputes the frequency of the automatic index-backup schedules.
// No arguments, no result columns; made on the caller's stack.
#pragma once

#include "platform/db/rowfamily.h"

#define SetRetentionForAutomaticSchedule_COLUMNS(COL)

struct SetRetentionForAutomaticSchedule_desc : zydb::ProcDesc {
    static constexpr const char* className = "SetRetentionForAutomaticSchedule";
    static constexpr const char* dbName = "SetRetentionForAutomaticSchedule";
    static constexpr const char* revision = "00010001000200020000";
    static constexpr const char* header = "Db/Proc/SetRetentionForAutomaticSchedule";
    static constexpr int errorLine = 350;
};

ZYDB_FAMILY(SetRetentionForAutomaticSchedule)
