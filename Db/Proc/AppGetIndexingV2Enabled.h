// AppGetIndexingV2Enabled: whether a client browses on the indexing-v2 layer, read whole through
// SprocWrapper; no result columns. Made on the calling thread's stack.
#pragma once

#include "platform/db/rowfamily.h"

#define AppGetIndexingV2Enabled_COLUMNS(COL)

ZYDB_XML_PROCEDURE(AppGetIndexingV2Enabled, "00010001000200010000", 348)
