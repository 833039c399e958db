// IdxGetMAWithoutIndexSubClient: the media agents whose index-backup pseudo-client needs an action
// (create, delete, disable, rename, reassign), one row per action. Made on the caller's stack.
#pragma once

#include "platform/db/rowfamily.h"

#define IdxGetMAWithoutIndexSubClient_COLUMNS(COL) \
    COL(o_MAClientId, i)                           \
    COL(o_MAClientName, sN<513>)                   \
    COL(o_subClientStatusFlag, i)                  \
    COL(o_archGroupIdToAssign, i)

struct IdxGetMAWithoutIndexSubClient_desc : zydb::ProcDesc {
    static constexpr const char* className = "IdxGetMAWithoutIndexSubClient";
    static constexpr const char* dbName = "IdxGetMAWithoutIndexSubClient";
    static constexpr const char* revision = "00d:0000000000000000";
    static constexpr const char* header = "Db/Proc/IdxGetMAWithoutIndexSubClient";
    static constexpr int errorLine = 409;
    using Args = zydb::ArgList<int, int>;
    static constexpr const char* argFormat = "%d,%d";
};

ZYDB_FAMILY(IdxGetMAWithoutIndexSubClient)
