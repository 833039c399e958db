// Identity of the calling thread, as written into lock owners and generated session ids.
// Callable from any thread.
#pragma once

#include <cstdint>

// The kernel's id of the calling thread: unique among the live threads of the system, never 0.
int32_t GetCurrentThreadId();
