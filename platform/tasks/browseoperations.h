// What each browse operation a caller asks for (a databrowse::BrowseRequest's operation type) means for
// its browse task: the bits of the task's browse flag word and whether the task's operation is set.
// One table for every road that turns a caller's request into a task (the router's and the host's);
// constant data, any thread.
#pragma once

#include <cstdint>

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
