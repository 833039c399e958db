// APPGetLaptopClientList: the clients (virtual machines) a user owns, as an App::LapTopClientLstResp read
// whole through SprocWrapper; no result columns. Made on the calling thread's stack.
#pragma once

#include "platform/db/rowfamily.h"

#define APPGetLaptopClientList_COLUMNS(COL)

struct APPGetLaptopClientList_desc : zydb::ProcDesc {
    ZYDB_PROC_NAMES(APPGetLaptopClientList)
    static constexpr const char* revision = "00010147000200580000";
    static constexpr int errorLine = 363;
    using Args = zydb::ArgList<const char*, const char*>;
    static constexpr const char* argFormat = "'%s',N'%s'";
};

ZYDB_FAMILY(APPGetLaptopClientList)
