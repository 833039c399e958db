// EntityNameToIdConverter: a browse request in, the same request with its entity's names completed by
// identifiers out (one row, one text column). Made on the calling thread's stack, often by SprocWrapper.
#pragma once

#include "platform/db/rowfamily.h"

#define EntityNameToIdConverter_COLUMNS(COL) COL(output, s)

ZYDB_XML_PROCEDURE(EntityNameToIdConverter, "00010095001200110000", 386)
