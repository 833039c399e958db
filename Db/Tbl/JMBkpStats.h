// JMBkpStats: one row per backup job (identity, level, status, times, counters). The service only asks
// whether a job of some kind exists. Record, schema and access object come from this data; made on
// the calling thread's stack for one query.
#pragma once

#include "platform/db/rowfamily.h"

#define JMBkpStats_COLUMNS(COL)       \
    COL(jobId, i)                     \
    COL(kelmarchId, i)                \
    COL(appId, i)                     \
    COL(appType, i)                   \
    COL(numAttempts, i)               \
    COL(dataArchGrpId, i)             \
    COL(copyID, i)                    \
    COL(bkpLevel, i)                  \
    COL(indexOverride, i)             \
    COL(status, i)                    \
    COL(duration, i)                  \
    COL(numStreams, i)                \
    COL(servStartDate, x)             \
    COL(servEndDate, x)               \
    COL(opType, i)                    \
    COL(fullCycleNum, i)              \
    COL(initFrom, i)                  \
    COL(failureReason, sN<257>)       \
    COL(bkpOptions, i)                \
    COL(scanFileFailures, i)          \
    COL(scanFolderFailures, i)        \
    COL(backupFileFailures, i)        \
    COL(backupFolderFailures, i)      \
    COL(oraSubLevel, i)               \
    COL(username, sN<511>)            \
    COL(totalWriteTime, i)            \
    COL(priority, i)                  \
    COL(totalCompBytes, b)            \
    COL(totalUncompBytes, b)          \
    COL(totalNumOfFiles, b)           \
    COL(bkpattributes, b)             \
    COL(logArchGrpId, i)              \
    COL(totalNumOfFolders, b)         \
    COL(failureErrorCode, i)          \
    COL(lastIncrJobTime, i)           \
    COL(scanType, i)                  \
    COL(scanTypeChangeReason, sN<25>) \
    COL(numStreamsRequested, i)       \
    COL(dataStatus, i)                \
    COL(agedTime, x)                  \
    COL(mediaDeletedTime, x)          \
    COL(modifiedTime, x)              \
    COL(version, i)                   \
    COL(idaVersion, i)                \
    COL(cIndexTime, x)                \
    COL(cycleSequence, i)             \
    COL(filesToXfer, b)               \
    COL(cloudId, i)                   \
    COL(diffArchGrpId, i)             \
    COL(totalBackupSize, b)           \
    COL(percentageChange, i)          \
    COL(targetClientId, i)            \
    COL(totalUncompBytesToXfer, b)    \
    COL(displayStatus, i)             \
    COL(dataBackedUp, i)              \
    COL(logsBackedUp, i)              \
    COL(openChain, i)                 \
    COL(secondaryBkpLevel, i)         \
    COL(jobIdPrepared, i)             \
    COL(jobIdActedOn, i)              \
    COL(fromTime, i)                  \
    COL(toTime, i)                    \
    COL(subTaskId, i)                 \
    COL(nwTransBytes, b)              \
    COL(totSkippedObjects, b)         \
    COL(bkpAttributesEx, b)           \
    COL(jobReferenceTime, i)

struct JMBkpStats_desc : zydb::TableDesc {
    static constexpr const char* className = "JMBkpStats";
    static constexpr const char* dbName = "JMBkpStats";
    static constexpr const char* revision = "1.76.48.16.4.1";
    static constexpr const char* header = "Db/Tbl/JMBkpStats";
    static constexpr int errorLine = 1173;
    static constexpr const char* orderBy = "jobId, kelmarchId";
    static constexpr auto primaryKeys = zydb::keys("jobId", "kelmarchId");
    static constexpr auto foreignKeys = zydb::fks(zydb::FkPair{0, "JMJobStats", "jobId", "jobId"},
                                                  zydb::FkPair{0, "JMJobStats", "kelmarchId", "kelmarchId"});
};

ZYDB_FAMILY(JMBkpStats)
