// UpdateUserPropForQuota: asks for the quota of users (one named user, or all for the empty name) to
// be recomputed. No result columns; made on the caller's stack.
#pragma once

#include "platform/db/rowfamily.h"

#define UpdateUserPropForQuota_COLUMNS(COL)

struct UpdateUserPropForQuota_desc : zydb::ProcDesc {
    static constexpr const char* className = "UpdateUserPropForQuota";
    static constexpr const char* dbName = "UpdateUserPropForQuota";
    static constexpr const char* revision = "00010001000200060000";
    static constexpr const char* header = "Db/Proc/UpdateUserPropForQuota";
    static constexpr int errorLine = 355;
    // user name (empty: every user), value
    using Args = zydb::ArgList<const char*, int>;
    static constexpr const char* argFormat = "'%s',%d";
};

ZYDB_FAMILY(UpdateUserPropForQuota)
