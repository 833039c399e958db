// IndexBackupSeed: seed-builder additions for the index backups of media agents: the default schedule
// that new index-backup subclients join, and a world with a media agent in each state the
// administration thread acts on (IdxGetMAWithoutIndexSubClient's actions 0 to 6). One object per seed,
// used by the seed's thread; -1 on failure with the reason in error().
//
//   zyent::IndexBackupSeed index(seed);
//   zyent::IndexBackupWorld world;
//   index.addIndexBackupWorld(world);
#pragma once

#include <string>

#include "platform/hubdb/hubdbseed.h"
#include "platform/hubdb/seed_familiesb.h"

namespace zyent {

inline constexpr const char* kDefaultIndexScheduleName = "System Created for IndexBackup subclients";

// What addIndexBackupWorld made, and the action the database asks for each.
struct IndexBackupWorld {
    int storagePolicy = 0;                              // the policy the media agents' index backups go to
    int otherPolicy = 0;                                // the policy of the moved agent's configuration
    int defaultSchedule = 0;                            // TM_Task of the default schedule
    int newMa = 0;                                      // configured, no index client yet: create (0)
    int goneMa = 0, goneClient = 0, goneSubclient = 0;  // no longer configured: delete the index client (1)
    int twoMa = 0, twoClient = 0, oldSubclient = 0, currentSubclient = 0;  // delete the older subclient (2)
    int disabledMa = 0, disabledClient = 0, disabledSubclient = 0;         // disable its backups (3)
    int renamedMa = 0, renamedClient = 0, renamedSubclient = 0;            // rename the index client (4)
    int brokenMa = 0, brokenClient = 0;  // index client without an index subclient: delete it (5)
    int movedMa = 0, movedClient = 0, movedSubclient = 0;  // reassign to the other policy (6)
};

class IndexBackupSeed : public hubdb::SeedPart {
public:
    explicit IndexBackupSeed(hubdb::HubDbSeed& seed) : SeedPart(seed), m_more(seed) {}

    // The default, automatic schedule; its task id.
    int addDefaultSchedule();
    // A media agent whose index backups go to `storagePolicy`; its client id.
    int addIndexedMediaAgent(const std::string& name, int storagePolicy, bool backupEnabled = true);
    // The index client of a media agent as the administration thread leaves it: named `name`, with
    // its index subclient on `storagePolicy` in the default schedule `schedule` (0: none). Its id.
    int addIndexClient(int mediaAgent, const std::string& name, int storagePolicy, int schedule,
                       int* subclient);
    // Fills `world`; 0, or -1.
    int addIndexBackupWorld(IndexBackupWorld& world);

private:
    int joinSchedule(int schedule, int subclient, int client);

    hubdb::FamiliesBSeed m_more;
};

}  // namespace zyent
