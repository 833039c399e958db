// Log lines of the network session library under the tag "ZYNET". Any thread.
#pragma once

#include <string>

namespace zynet {

void logDebug(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
void logError(const char* format, ...) __attribute__((format(printf, 1, 2)));
// A line (level 0) about a connection that has not proven who it is: `what` is a format with two %s,
// the address and `detail`. Lines of one `what` from one address are counted past a burst.
void logOutsider(const std::string& address, const char* what, const std::string& detail = std::string());

}  // namespace zynet
