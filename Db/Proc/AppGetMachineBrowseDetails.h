// AppGetMachineBrowseDetails: the live-browse details of a machine as XML rows. Made on the calling
// thread's stack for one call.
#pragma once

#include "platform/db/rowfamily.h"

#define AppGetMachineBrowseDetails_COLUMNS(COL) COL(o_xmlstring, s)

struct AppGetMachineBrowseDetails_desc : zydb::XmlProcDesc {
    ZYDB_PROC_NAMES(AppGetMachineBrowseDetails)
    static constexpr const char* revision = "00d:0000000000000000";
    static constexpr int errorLine = 388;
};

ZYDB_FAMILY(AppGetMachineBrowseDetails)
