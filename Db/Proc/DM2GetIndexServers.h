// DM2GetIndexServers: the nodes of an index server (a cluster, or one machine), in node order. Made on
// the calling thread's stack for one call.
#pragma once

#include "platform/db/rowfamily.h"

#define DM2GetIndexServers_COLUMNS(COL) \
    COL(o_serverName, sN<1025>)         \
    COL(o_clientId, i)                  \
    COL(o_clientName, sN<513>)          \
    COL(o_cloudId, i)                   \
    COL(o_hostName, sN<513>)            \
    COL(o_basePort, i)                  \
    COL(o_engineName, sN<513>)          \
    COL(o_serverType, i)                \
    COL(o_indexServerClientId, i)       \
    COL(o_internalCloudName, sN<513>)

struct DM2GetIndexServers_desc : zydb::ProcDesc {
    static constexpr const char* className = "DM2GetIndexServers";
    static constexpr const char* dbName = "DM2GetIndexServers";
    static constexpr const char* revision = "00d:0000000000000000";
    static constexpr const char* header = "Db/Proc/DM2GetIndexServers";
    static constexpr int errorLine = 517;
    // kind ("Virtual Machine", "Exchange Index"), index server client, then four switches and a filter
    using Args = zydb::ArgList<const char*, int, int, int, int, int, int>;
    static constexpr const char* argFormat = "'%s',%d,%d,%d,%d,%d,%d";
};

ZYDB_FAMILY(DM2GetIndexServers)
