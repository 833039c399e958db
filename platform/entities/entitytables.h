// The entity library's tables are part of the Hubmaster schema (platform/hubdb/entitytables.h); this
// path is kept for code still written against it.
#pragma once

#include "platform/hubdb/entitytables.h"
