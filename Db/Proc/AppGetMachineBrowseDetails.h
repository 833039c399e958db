// AppGetMachineBrowseDetails: the live-browse details of a machine as XML rows. Made on the calling
// thread's stack for one call.
#pragma once

#include "platform/db/rowfamily.h"

#define AppGetMachineBrowseDetails_COLUMNS(COL) COL(o_xmlstring, s)

ZYDB_XML_PROCEDURE(AppGetMachineBrowseDetails, "00d:0000000000000000", 388)
