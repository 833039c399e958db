// UsageSeed: seed-builder rows of the usage figures that quotas read (per mailbox of a subclient, per
// subclient, per backup set) and that end-user erase lowers. One object per seed, on the seed's thread.
#pragma once

#include <string>

#include "platform/hubdb/hubdbseed.h"

namespace hubdb {

class UsageSeed : public SeedPart {
public:
    explicit UsageSeed(HubDbSeed& seed) : SeedPart(seed) {}

    // Each sets the figure in bytes; 0 or -1.
    int setMailboxUsage(int subclientId, const std::string& mailboxGuid, long long usedBytes);
    int setSubclientUsage(int subclientId, long long usedBytes);
    int setBackupSetUsage(int backupSetId, long long usedBytes);
};

}  // namespace hubdb
