#include "platform/hubdemo/vmbrowseseed.h"

#include "platform/db/dbresult.h"

namespace hubdemo {

namespace {

using zydb::DbValue;

constexpr const char* kUsingV21Property = "Virtual Server Using Indexing V2.1";
constexpr int kPropertyTypeNumber = 2;
constexpr int kCloudMediaType = 10001;
constexpr long long kGiB = 1LL << 30;

}  // namespace

bool addVmBrowseWorld(hubdb::HubDbSeed& seed, hubdb::FamiliesBSeed& more, archmgr::ArchiveSeed& media,
                      zysec::SecuritySeed& security, hubdb::RowSeed& rows, const hubdb::DemoHypervisor& hv,
                      int indexServer, int storagePolicy, VmBrowseWorld& world) {
    world.usingV21Since = hv.indexingV2Since;
    if (seed.addProperty("APP_ClientProp", {.ownerId = hv.client,
                                            .name = kUsingV21Property,
                                            .value = "1",
                                            .created = world.usingV21Since,
                                            .attrType = kPropertyTypeNumber}) < 0)
        return false;

    // Per-VM indexing: the hypervisor's backup set and every VM's own have an index database.
    auto indexDatabase = [&](int backupSetId) {
        const int id = more.addIndexDatabase({.dbName = "vm-index",
                                              .backupSetId = backupSetId,
                                              .engineType = 2,
                                              .currentIdxServer = indexServer,
                                              .archGroupId = storagePolicy});
        // Named after its backup set, as the planner looks it up.
        return id >= 0 && seed.exec(
                              "UPDATE App_IndexDBInfo SET dbName = (SELECT GUID FROM APP_BackupSetName "
                              "WHERE id = ?) WHERE id = ?",
                              {DbValue::ofInt(backupSetId), DbValue::ofInt(id)}) == zydb::DB_OK;
    };
    if (!indexDatabase(hv.backupSet)) return false;
    for (const hubdb::VirtualMachine& vm : hv.vms)
        if (!indexDatabase(vm.childBackupSetId)) return false;

    world.sharedMedium =
        media.addMedia({.barcode = "VMDEMO01", .libraryName = "demo-library", .mediaSize = 4 * kGiB});
    world.secondMedium =
        media.addMedia({.barcode = "VMDEMO02", .libraryName = "demo-library", .mediaSize = 2 * kGiB});
    world.cloudMedium = media.addMedia({.barcode = "VMCLOUD1",
                                        .mediaType = kCloudMediaType,
                                        .libraryName = "demo-cloud",
                                        .mediaSize = 8 * kGiB});
    if (world.sharedMedium < 0 || world.secondMedium < 0 || world.cloudMedium < 0) return false;
    const int dataMedium[] = {world.sharedMedium, world.secondMedium, world.sharedMedium, world.cloudMedium};

    for (size_t v = 0; v < hv.vms.size(); ++v) {
        const long long size = static_cast<long long>(v + 1) * kGiB;
        world.vmSizes.push_back(size);
        for (size_t b = 0; b < hv.jobs.size(); ++b) {
            const int job = hv.jobs[b][v + 1];
            if (seed.exec("UPDATE JMBkpStats SET totalUncompBytes = ? WHERE jobId = ?",
                          {DbValue::ofInt(size), DbValue::ofInt(job)}) != zydb::DB_OK)
                return false;
            const int dataFile = static_cast<int>(seed.queryInt(
                "SELECT MIN(id) FROM archFile WHERE jobId = ? AND fileType = 1", {DbValue::ofInt(job)}));
            if (dataFile <= 0 || media.placeOnMedia(dataFile, 1, dataMedium[v % 4]) < 0) return false;
            // The first two VMs keep an index of their own on the shared medium; from the switch on it is
            // the per-VM index (a named index file).
            if (v < 2) {
                const bool perVm = hv.backupTimes[b] >= hv.indexingV2Since;
                const int indexFile = seed.addArchFile({.appId = hv.vms[v].subclientId,
                                                        .jobId = job,
                                                        .fileType = 2,
                                                        .cTime = hv.backupTimes[b] + 2,
                                                        .name = perVm ? "IdxVmV2" : "",
                                                        .physicalSize = kGiB / 64});
                if (indexFile <= 0 || media.placeOnMedia(indexFile, 1, world.sharedMedium) < 0) return false;
            }
        }
    }

    world.vmUser = rows.addUser({.name = "VM Owner", .login = "vmowner", .email = "vmowner@example.com"});
    if (world.vmUser < 0 ||
        security.grant(world.vmUser, zysec::kPermBrowse, {.clientId = hv.vms.front().clientId}) < 0)
        return false;
    return seed.ok() && media.ok() && security.ok() && rows.ok();
}

}  // namespace hubdemo
