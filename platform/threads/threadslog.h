// Failure reporting of the thread, event and lock primitives: one always-wanted log line per failure.
// Internal to platform/threads; callable from any thread.
#pragma once

namespace hubthreads {

// Writes one printf-style line at level -1 under the given prefix.
void logFailure(const char* prefix, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace hubthreads
