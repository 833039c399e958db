// TSubclientPath: one line of a subclient's content list as a classic browse sends it (line number,
// path, display name and the value the path expansion puts beside it). A plain value; the browse task
// owns its list and fills it on the worker's thread.
#pragma once

#include <cstdint>
#include <string>

struct TSubclientPath {
    uint32_t lineNumber = 0;
    std::string path;
    std::string displayName;
    int32_t pathValue = 0;
};
