// Log lines of the network session library under the tag "ZYNET". Any thread.
#pragma once

namespace zynet {

void logDebug(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
void logError(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace zynet
