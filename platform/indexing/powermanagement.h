// Power management of media agents that run as virtual machines, and the cluster mark of a client, as
// the indexing utilities answer them from the Hubmaster database: a client whose current property
// "Power Managed VM" is "1" is powered on when asked for ("Power On Requested" holds the time of the
// last request) and counts as online while its listener answers. Any thread; each call runs on the
// calling thread's database connection and may wait between checks.
#pragma once

#include <string>

#include "platform/threads/hubclock.h"

namespace I2 {
namespace Utils {

// Client properties of the power-management and cluster answers.
inline constexpr const char* kPowerManagedProperty = "Power Managed VM";
inline constexpr const char* kPowerOnRequestedProperty = "Power On Requested";
inline constexpr const char* kVirtualClientProperty = "Virtual Client";
// Registry section and value of the pause between two online checks, in seconds.
inline constexpr const char* kPowerCheckSection = "~Indexing";
inline constexpr const char* kPowerCheckIntervalName = "nPowerOnCheckIntervalSec";
inline constexpr unsigned kDefaultPowerCheckIntervalSeconds = 20;

// Whether the media agent `hostName` (a mangled name, client name or host name) can be reached. A
// client that is not power managed (or unknown) is online. A power-managed one is online when its
// listener answers; when it does not and no check follows (`checks` 0), a power-on request is recorded
// and `powerOnSent` set. With `checks` above 0 the listener is asked that many more times, a pause
// apart. `waitSeconds` (negative: no limit) caps the whole wait, measured on `clock`; `jobClient` is not
// used.
bool IsPowerManagedVMOnline(const std::string& hostName, bool& powerOnSent, int checks, int waitSeconds,
                            const void* jobClient, const CHubClock& clock = CHubClock::real());

// Whether the client's current property "Virtual Client" is "1" (a cluster's virtual client, whose
// physical machines are mapped to it). False for an unknown client or a failed read.
bool IsVirtualClient(unsigned long clientId);

}  // namespace Utils
}  // namespace I2
