// JMGetBkpJobIdsUpToEndTime: the backup jobs of a subclient's cycle up to an end time. Record, schema
// and access object come from this data; made on the calling thread's stack for one call.
#pragma once

#include "platform/db/rowfamily.h"

#define JMGetBkpJobIdsUpToEndTime_COLUMNS(COL) \
    COL(i_JobId, i)                            \
    COL(i_KelmarchId, i)

struct JMGetBkpJobIdsUpToEndTime_desc : zydb::ProcDesc {
    static constexpr const char* className = "JMGetBkpJobIdsUpToEndTime";
    static constexpr const char* dbName = "JMGetBkpJobIdsUpToEndTime";
    static constexpr const char* revision = "00010002030200020000";
    static constexpr const char* header = "Db/Proc/JMGetBkpJobIdsUpToEndTime";
    static constexpr int errorLine = 377;
    using Args = zydb::ArgList<int, int>;  // subclient id, end time
    static constexpr const char* argFormat = "%d,%d";
};

ZYDB_FAMILY(JMGetBkpJobIdsUpToEndTime)
