// APPSetActivityControlSubClientProp: switches an activity (backup, restore, ...) of a subclient on or
// off through its versioned properties. No result columns; made on the caller's stack.
#pragma once

#include "platform/db/rowfamily.h"

#define APPSetActivityControlSubClientProp_COLUMNS(COL)

struct APPSetActivityControlSubClientProp_desc : zydb::ProcDesc {
    static constexpr const char* className = "APPSetActivityControlSubClientProp";
    static constexpr const char* dbName = "APPSetActivityControlSubClientProp";
    static constexpr const char* revision = "00d:0000000000000000";
    static constexpr const char* header = "Db/Proc/APPSetActivityControlSubClientProp";
    static constexpr int errorLine = 366;
    using Args = zydb::ArgList<int, int, int, int, int, int>;
    static constexpr const char* argFormat = "%d,%d,%d,%d,%d,%d";
};

ZYDB_FAMILY(APPSetActivityControlSubClientProp)
