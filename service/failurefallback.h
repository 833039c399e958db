// The generic answer of a failed browse whose worker recorded no reason, given by the controller and by
// the router's direct run. Every failure is meant to carry its own reason, so each time the generic
// answer is given it is logged with a line of its own and counted: tests assert the count stays 0.
// Any thread.
#pragma once

#include <cstdint>
#include <string>

namespace failurefallback {

inline constexpr const char* kText = "Browse request failed";
// The start of the line note writes, for tests that read a host process's log.
inline constexpr const char* kLogMarker = "generic failure answer on the ";

// Logs under `tag` that worker `workerId` failed without a reason and the caller got the generic
// answer on `road`, and counts it.
void note(const char* tag, const char* road, const std::string& workerId);
// How often the generic answer was given in this process.
uint64_t count();

}  // namespace failurefallback
