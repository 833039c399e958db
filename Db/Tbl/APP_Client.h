// APP_Client: one row per client machine. Record, schema and access object come from this data;
// access objects are made on the calling thread's stack for one query.
#pragma once

#include "platform/db/rowfamily.h"

#define APP_Client_COLUMNS(COL)   \
    COL(id, i)                    \
    COL(name, sN<511>)            \
    COL(simOperatingSystemId, i)  \
    COL(net_hostname, sN<511>)    \
    COL(client_password, sN<511>) \
    COL(refTime, x)               \
    COL(modified, x)              \
    COL(offlineEntity, i)         \
    COL(offlineTimeStamp, x)      \
    COL(hmHostName, sN<511>)      \
    COL(clientDescription, s)     \
    COL(jobResultDir, sN<511>)    \
    COL(clientSkewTime, i)        \
    COL(zydPort, i)               \
    COL(evmClientPort, i)         \
    COL(status, i)                \
    COL(releaseId, i)             \
    COL(spaceCheckFlags, i)       \
    COL(ccpId, i)                 \
    COL(ccpTime, x)               \
    COL(origKMId, i)              \
    COL(GUID, sN<65>)             \
    COL(specialClientFlags, i)    \
    COL(displayName, sN<511>)

struct APP_Client_desc : zydb::TableDesc {
    static constexpr const char* className = "APP_Client";
    static constexpr const char* dbName = "APP_Client";
    static constexpr const char* revision = "1.63.2.10";
    static constexpr const char* header = "Db/Tbl/APP_Client";
    static constexpr int errorLine = 746;
    static constexpr const char* serialColumn = "id";
    static constexpr const char* orderBy = "id";
    static constexpr auto primaryKeys = zydb::keys("id");
    static constexpr auto foreignKeys =
        zydb::fks(zydb::FkPair{0, "simOperatingSystem", "simOperatingSystemId", "id"},
                  zydb::FkPair{1, "simAllNimbraRel", "releaseId", "id"});
};

ZYDB_FAMILY(APP_Client)
