// ArchGroup: one row per storage policy (other tables name a policy by its id). Record, schema and
// access object come from this data; access objects are made on the calling thread's stack.
#pragma once

#include "platform/db/rowfamily.h"

#define ArchGroup_COLUMNS(COL)                          \
    COL(id, i)                                          \
    COL(defaultCopy, i)                                 \
    COL(name, uN<577>)                                  \
    COL(description, u)                                 \
    COL(maxStreams, i)                                  \
    COL(type, i)                                        \
    COL(incrSP, i)                                      \
    COL(origKMkelmarchID, i)                            \
    COL(origKMarchGroupId, i)                           \
    COL(defaultSnapCopy, i)                             \
    COL(SIBlockSizeKB, i)                               \
    COL(AuxCopyAlertGB, i)                              \
    COL(AuxCopyAlertDays, i)                            \
    COL(flags, i)                                       \
    COL(mediaPassword, sN<2049>)                        \
    COL(TimeZoneType, i)                                \
    COL(TimeZone, sN<256>)                              \
    COL(SubclientExtensionTimeStamp, i)                 \
    COL(SubclientExtensionTimeStampEncrypted, sN<2049>) \
    COL(logSP, i)

struct ArchGroup_desc : zydb::TableDesc {
    static constexpr const char* className = "ArchGroup";
    static constexpr const char* dbName = "archGroup";
    static constexpr const char* revision = "1.49.66.4";
    static constexpr const char* header = "Db/Tbl/archGroup";
    static constexpr int errorLine = 663;
    static constexpr const char* serialColumn = "id";
    static constexpr const char* orderBy = "id";
    static constexpr auto primaryKeys = zydb::keys("id");
};

ZYDB_FAMILY(ArchGroup)
