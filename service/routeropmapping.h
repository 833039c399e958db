// Operation mapping of a routed browse request: the table that turns the caller's operation type into
// the task's browse operation and bits of the browse flag word (and, for operation 2, clears the
// extended-media function), by the operations' table (platform/tasks/browseoperations.h). A step of the
// router's direct road, on its callback thread.
#pragma once

#include <cstdint>

#include "platform/tasks/browseoperations.h"

struct TDirectTask;

// Applies the row of the completed request's operation to t's flag word and task; a request without
// an operation type changes nothing.
void mapRoutedOperation(TDirectTask& t);
