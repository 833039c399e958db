// The demo world's classic media agent: "mediaagent3", release 9.0 (below 10.0, so it is browsed over the
// classic restore protocol), with a storage policy of its own that holds the backups of "client3"'s
// file-system subclient: two weekly cycles of one full and five incrementals, and one directory the agent
// reports without its type. tools/mediaagent serves its item index. Called by the demo seeding, inside its
// transaction.
#pragma once

#include <string>

#include "platform/entities/entityseed.h"
#include "platform/hubdb/hubdbseed.h"

namespace hubdemo {

struct LegacyAgentWorld {
    int mediaAgent = 0;
    int storagePolicy = 0;
    int client = 0;
    int backupSet = 0;
    int subclient = 0;
    long long firstBackupTime = 0;  // the full of the first cycle; one job a day from there
    int jobsPerCycle = 0;
    int cycles = 0;
    std::string unknownTypeDirectory;  // a directory at the root the agent reports without its type
};

// Seeds that world with the given operating systems and client release; false when a row failed (the
// seed's error says why).
bool addLegacyAgentWorld(hubdb::HubDbSeed& seed, zyent::EntitySeed& entities, int serverOs, int clientOs,
                         int clientReleaseId, long long firstBackupTime, LegacyAgentWorld& world);

}  // namespace hubdemo
