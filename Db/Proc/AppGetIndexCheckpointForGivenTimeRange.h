// AppGetIndexCheckpointForGivenTimeRange: the index checkpoints of time ranges as one XML row. Made on
// the calling thread's stack for one call.
#pragma once

#include "platform/db/rowfamily.h"

#define AppGetIndexCheckpointForGivenTimeRange_COLUMNS(COL) COL(outXML, s)

ZYDB_XML_PROCEDURE(AppGetIndexCheckpointForGivenTimeRange, "00010001000200030000", 387)
