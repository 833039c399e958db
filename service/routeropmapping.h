// Operation mapping of a routed browse request: the table that turns the caller's operation type into
// the task's browse operation and bits of the browse flag word (and, for operation 2, clears the
// extended-media function). A step of the router's direct road, on its callback thread; the table is
// constant data.
#pragma once

#include <cstdint>

struct TDirectTask;

// One row: the bits set, whether the task's operation is set, and the row's own extras.
struct TOperationRow {
    unsigned long long flags;
    bool setsOperation;
    bool recallUnlessFileSystem;  // 0x2 as well, unless the application type is a file-system one
    bool clearsEmFunction;
};

// The row of an operation type; values above 22 (and 5, 12 to 21) have the default row, which sets
// nothing.
const TOperationRow& operationRow(uint32_t operation);

// Applies the row of the completed request's operation to t's flag word and task; a request without
// an operation type changes nothing.
void mapRoutedOperation(TDirectTask& t);
