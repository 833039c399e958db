// AppIdInfo: the closed record describing an application id (stand-in): nine 64-bit values, three
// strings and one 32-bit value, in that order; the ninth value is the subclient id. Plain copyable
// record; the browse configuration copies one from an ApplicationId, changes it and builds a new
// ApplicationId from the copy.
#pragma once

#include <cstdint>
#include <string>

struct AppIdInfo {
    int64_t appId = 0;
    int64_t kelmarchId = 0;
    int64_t clientId = 0;
    int64_t appType = 0;
    int64_t instanceId = 0;
    int64_t backupSetId = 0;
    int64_t storagePolicyId = 0;
    int64_t refTime = 0;
    int64_t subclientId = 0;
    std::string clientName;
    std::string backupSetName;
    std::string subclientName;
    int32_t flags = 0;
};
