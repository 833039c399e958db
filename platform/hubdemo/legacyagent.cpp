#include "platform/hubdemo/legacyagent.h"

#include "platform/entities/apptypes.h"
#include "platform/entities/contentseed.h"

namespace hubdemo {

namespace {

constexpr int kDay = 86400;
constexpr int kJobsPerCycle = 6;  // one full, five incrementals
constexpr int kCycles = 2;

}  // namespace

bool addLegacyAgentWorld(hubdb::HubDbSeed& seed, zyent::EntitySeed& entities, int serverOs, int clientOs,
                         int clientReleaseId, long long firstBackupTime, LegacyAgentWorld& w) {
    w.firstBackupTime = firstBackupTime;
    w.jobsPerCycle = kJobsPerCycle;
    w.cycles = kCycles;
    w.mediaAgent = seed.addMediaAgent({.name = "mediaagent3", .zydPort = 8402, .osId = serverOs}, "9.0", 1);
    w.storagePolicy = seed.addStoragePolicy("legacy-policy", w.mediaAgent);
    w.client =
        seed.addClient({.name = "client3", .zydPort = 8430, .releaseId = clientReleaseId, .osId = clientOs});
    const int instance = entities.addInstance({.clientId = w.client,
                                               .appTypeId = apptype::code(apptype::kFileSystem),
                                               .name = "DefaultInstanceName"});
    w.backupSet = seed.addBackupSet("defaultBackupSet");
    w.subclient = seed.addSubclient({.clientId = w.client,
                                     .appTypeId = apptype::code(apptype::kFileSystem),
                                     .backupSetId = w.backupSet,
                                     .instanceId = instance,
                                     .storagePolicyId = w.storagePolicy});
    if (w.mediaAgent < 0 || w.storagePolicy < 0 || w.client < 0 || instance < 0 || w.subclient < 0)
        return false;
    // The subclient backs up the whole machine: a classic browse finds its subclient by this content.
    if (zyent::SubclientContentSeed(seed).addLine(
            {.subclientId = w.subclient, .lineNumber = 1, .path = "/"}) < 0)
        return false;
    // The agent does not know the type of one directory: the Hubmaster resolves it by a browse of its own.
    w.unknownTypeDirectory = "/d01";
    if (seed.addSubclientProperty(w.subclient, "Items Of Unknown Type", w.unknownTypeDirectory) < 0)
        return false;
    for (int d = 0; d < kJobsPerCycle * kCycles; ++d) {
        const hubdb::HubDbSeed::Backup b =
            seed.addBackup(w.subclient, d % kJobsPerCycle == 0 ? 1 : 2,
                           static_cast<int>(firstBackupTime) + d * kDay + 3 * 3600, 1);
        if (b.jobId < 0) return false;
    }
    return seed.ok() && entities.ok();
}

}  // namespace hubdemo
