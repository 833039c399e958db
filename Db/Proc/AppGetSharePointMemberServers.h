// AppGetSharePointMemberServers: the member servers of a SharePoint farm, read whole through
// SprocWrapper; no result columns. Made on the calling thread's stack.
#pragma once

#include "platform/db/rowfamily.h"

#define AppGetSharePointMemberServers_COLUMNS(COL)

struct AppGetSharePointMemberServers_desc : zydb::XmlProcDesc {
    ZYDB_PROC_NAMES(AppGetSharePointMemberServers)
    static constexpr const char* revision = "00d:0000000000000000";
    static constexpr int errorLine = 352;
};

ZYDB_FAMILY(AppGetSharePointMemberServers)
