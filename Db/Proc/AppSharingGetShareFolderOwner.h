// AppSharingGetShareFolderOwner: the owner (user id and name) of a shared folder. Made on the calling
// thread's stack for one call.
#pragma once

#include "platform/db/rowfamily.h"

#define AppSharingGetShareFolderOwner_COLUMNS(COL) \
    COL(o_userId, i)                               \
    COL(o_userName, s)

struct AppSharingGetShareFolderOwner_desc : zydb::ProcDesc {
    static constexpr const char* className = "AppSharingGetShareFolderOwner";
    static constexpr const char* dbName = "AppSharingGetShareFolderOwner";
    static constexpr const char* revision = "00010004007400020000";
    static constexpr const char* header = "Db/Proc/AppSharingGetShareFolderOwner";
    static constexpr int errorLine = 400;
    // shared folder
    using Args = zydb::ArgList<int>;
    static constexpr const char* argFormat = "%d";
};

ZYDB_FAMILY(AppSharingGetShareFolderOwner)
