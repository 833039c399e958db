// The bits of a task's options (EvRestoreTask::getOptions) that code tests, each named once. Constants
// only; any thread.
#pragma once

#include <cstdint>

namespace taskoption {

// Bit 1: recall, which the operation switch sets for a browse of anything but a file system.
inline constexpr uint64_t kRecall = 0x2;
// Bit 2: a path-based recall asked for by the caller (it replaces kRecall and runs nested).
inline constexpr uint64_t kPathBasedRecall = 0x4;

// Bit 13: a nested request made for another one. It has no session GUID and no summary, sends no
// errors and no item counts, and leaves its return channel to its caller to end.
inline constexpr uint64_t kNested = 0x2000;
// Bit 50: exact rather than image browse (no path correction, no block-level mount); for a subclient
// browse, the image-level volume view.
inline constexpr uint64_t kExactBrowse = 0x4000000000000ULL;

}  // namespace taskoption
