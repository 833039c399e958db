// AppGetSharePointMemberServers: the member servers of a SharePoint farm, read whole through
// SprocWrapper; no result columns. Made on the calling thread's stack.
#pragma once

#include "platform/db/rowfamily.h"

#define AppGetSharePointMemberServers_COLUMNS(COL)

ZYDB_XML_PROCEDURE(AppGetSharePointMemberServers, "00d:0000000000000000", 352)
