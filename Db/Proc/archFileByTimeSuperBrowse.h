// ArchFileByTimeSuperBrowse: the backup cycles of a browse window with their data and index archive
// files and the media agent of each. Record, schema and access object come from this data; made on
// the calling thread's stack.
#pragma once

#include "platform/db/rowfamily.h"

#define ArchFileByTimeSuperBrowse_COLUMNS(COL) \
    COL(r_resultSetId, i)                      \
    COL(r_afileId, i)                          \
    COL(r_kelmarchId, i)                       \
    COL(r_appId, i)                            \
    COL(r_agroupId, i)                         \
    COL(r_fileType, i)                         \
    COL(r_createTime, i)                       \
    COL(r_jobId, i)                            \
    COL(r_mediaAgentId, i)                     \
    COL(r_mediaAgentVersion, sN<5>)            \
    COL(r_idxCacheSoftState, i)                \
    COL(r_archFileFlag, i)                     \
    COL(r_isRunningJob, i)                     \
    COL(r_isAged, i)                           \
    COL(r_VMGUID, sN<2049>)                    \
    COL(r_fullCycleNum, i)

struct ArchFileByTimeSuperBrowse_desc : zydb::ProcDesc {
    static constexpr const char* className = "ArchFileByTimeSuperBrowse";
    static constexpr const char* dbName = "archFileByTimeSuperBrowse";
    static constexpr const char* revision = "v1.26.2.35.4.1";
    static constexpr const char* header = "Db/Proc/archFileByTimeSuperBrowse";
    static constexpr int errorLine = 561;
    using Args = zydb::ArgList<int, int, int, int, int, int, int, int, int, int, const char*>;
    static constexpr const char* argFormat = "%d,%d,%d,%d,%d,%d,%d,%d,%d,%d,'%s'";
};

ZYDB_FAMILY(ArchFileByTimeSuperBrowse)
