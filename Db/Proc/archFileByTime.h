// ArchFileByTime: the archive files of one subclient up to a time, newest first, with their sizes.
// Record, schema and access object come from this data; made on the calling thread's stack.
#pragma once

#include "platform/db/rowfamily.h"

#define ArchFileByTime_COLUMNS(COL) \
    COL(r_afileId, i)               \
    COL(r_kelmarchId, i)            \
    COL(r_agroupId, i)              \
    COL(r_copyId, i)                \
    COL(r_fileType, i)              \
    COL(r_createTime, i)            \
    COL(r_jobId, i)                 \
    COL(r_backupLevel, i)           \
    COL(r_physicalSize, b)          \
    COL(r_logicalSize, b)

struct ArchFileByTime_desc : zydb::ProcDesc {
    static constexpr const char* className = "ArchFileByTime";
    static constexpr const char* dbName = "archFileByTime";
    static constexpr const char* revision = "00010018005400060000";
    static constexpr const char* header = "Db/Proc/archFileByTime";
    static constexpr int errorLine = 482;
    using Args = zydb::ArgList<int, int, int, int, int, int, int, int, int, int>;
    static constexpr const char* argFormat = "%d,%d,%d,%d,%d,%d,%d,%d,%d,%d";
};

ZYDB_FAMILY(ArchFileByTime)
