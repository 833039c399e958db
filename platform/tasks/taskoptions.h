// The bits of a task's options (EvRestoreTask::getOptions) that code tests, each named once. Constants
// only; any thread.
#pragma once

#include <cstdint>

namespace taskoption {

// Bit 13: a nested request made for another one. It has no session GUID and no summary, sends no
// errors and no item counts, and leaves its return channel to its caller to end.
inline constexpr uint64_t kNested = 0x2000;
// Bit 50: exact rather than image browse (no path correction, no block-level mount); for a subclient
// browse, the image-level volume view.
inline constexpr uint64_t kExactBrowse = 0x4000000000000ULL;

}  // namespace taskoption
