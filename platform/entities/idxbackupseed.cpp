#include "platform/entities/idxbackupseed.h"

#include "platform/hubdb/familiesb_procs.h"

namespace zyent {

using namespace hubdb::seedvalues;

namespace {
// The flags the default schedule associates index-backup subclients with.
constexpr int kIndexScheduleFlags = 128;
}  // namespace

int IndexBackupSeed::addDefaultSchedule() {
    int id = m_more.addScheduleTask(kDefaultIndexScheduleName, true, true, 24 * 60);
    return id < 0 ? fail("default index schedule: " + m_more.error()) : id;
}

int IndexBackupSeed::addIndexedMediaAgent(const std::string& name, int storagePolicy, bool backupEnabled) {
    int ma = m_seed.addMediaAgent({.name = name});
    if (ma < 0 || m_more.configureIndexBackup(ma, storagePolicy, backupEnabled) < 0)
        return fail("indexed media agent " + name);
    return ma;
}

int IndexBackupSeed::joinSchedule(int schedule, int subclient, int client) {
    if (schedule <= 0) return 0;
    return checked(m_seed.insertRow("TM_TaskEntity", {{"taskId", I(schedule)},
                                                      {"appId", I(subclient)},
                                                      {"clientId", I(client)},
                                                      {"flags", I(kIndexScheduleFlags)}}));
}

int IndexBackupSeed::addIndexClient(int mediaAgent, const std::string& name, int storagePolicy, int schedule,
                                    int* subclient) {
    int sc = 0;
    int client = m_more.addIndexClient(mediaAgent, name, storagePolicy, &sc);
    if (client < 0 || joinSchedule(schedule, sc, client) < 0) return fail("index client " + name);
    if (subclient) *subclient = sc;
    return client;
}

int IndexBackupSeed::addIndexBackupWorld(IndexBackupWorld& w) {
    if ((w.storagePolicy = checked(m_seed.addStoragePolicy("index backups", 0))) < 0 ||
        (w.otherPolicy = checked(m_seed.addStoragePolicy("index backups 2", 0))) < 0 ||
        (w.defaultSchedule = addDefaultSchedule()) < 0)
        return -1;
    const int sp = w.storagePolicy, schedule = w.defaultSchedule;
    using hubdb::indexClientName;
    if ((w.newMa = addIndexedMediaAgent("ma-new", sp)) < 0 ||
        (w.goneMa = checked(m_seed.addMediaAgent({.name = "ma-gone"}))) < 0 ||
        (w.goneClient =
             addIndexClient(w.goneMa, indexClientName("ma-gone"), sp, schedule, &w.goneSubclient)) < 0 ||
        (w.twoMa = addIndexedMediaAgent("ma-two", sp)) < 0 ||
        (w.twoClient = addIndexClient(w.twoMa, indexClientName("ma-two"), sp, schedule, &w.oldSubclient)) <
            0 ||
        (w.currentSubclient = m_more.addIndexSubclient(w.twoClient, sp)) < 0 ||
        joinSchedule(schedule, w.currentSubclient, w.twoClient) < 0 ||
        (w.disabledMa = addIndexedMediaAgent("ma-disabled", sp, false)) < 0 ||
        (w.disabledClient = addIndexClient(w.disabledMa, indexClientName("ma-disabled"), sp, schedule,
                                           &w.disabledSubclient)) < 0 ||
        (w.renamedMa = addIndexedMediaAgent("ma-renamed", sp)) < 0 ||
        (w.renamedClient = addIndexClient(w.renamedMa, indexClientName("ma-old-name"), sp, schedule,
                                          &w.renamedSubclient)) < 0 ||
        (w.brokenMa = addIndexedMediaAgent("ma-broken", sp)) < 0 ||
        (w.brokenClient = checked(m_seed.addClient({.name = indexClientName("ma-broken")}))) < 0 ||
        checked(m_seed.insertRow(
            "IdxIndexClient", {{"indexClientId", I(w.brokenClient)}, {"maClientId", I(w.brokenMa)}})) < 0 ||
        (w.movedMa = addIndexedMediaAgent("ma-moved", w.otherPolicy)) < 0 ||
        (w.movedClient =
             addIndexClient(w.movedMa, indexClientName("ma-moved"), sp, schedule, &w.movedSubclient)) < 0)
        return fail("index backup world");
    return 0;
}

}  // namespace zyent
