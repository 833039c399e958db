// The virtual-server seed additions over HubDbSeed's inserts and the other seed parts.
#include "platform/hubdb/seed_vsa.h"

#include "platform/db/dbresult.h"
#include "platform/entities/apptypes.h"
#include "platform/hubdb/familiesb_procs.h"
#include "platform/hubdb/seed_familiesb.h"
#include "platform/hubdb/vsatagprocs.h"

using zydb::DbValue;

namespace hubdb {

using namespace seedvalues;

namespace {

constexpr int kDay = 86400;
constexpr int kBlockLevelFlag = 0x200;
constexpr int kDemoBackups = 4;
constexpr int kBackupsBeforeV2 = 2;
constexpr int kCurrentRelease = 16;  // the demo world's release of its other clients
constexpr const char* kBackupSetGuid = "5E6D0000-0000-4000-8000-00000000E1E1";

// The demo VMs: names, GUIDs that sort differently from this order, and guest systems (true: Windows).
struct DemoVm {
    const char* name;
    const char* guid;
    bool windows;
    int osId;
};
constexpr DemoVm kDemoVms[] = {
    {"vmalpha", "C3A1B2D4-5E6F-4A7B-8C9D-0000000000A1", true, 200},
    {"vmbravo", "1B7E4C2A-3D4E-4F5A-8B6C-0000000000B2", false, 301},
    {"vmcharlie", "F04D9E11-2233-4455-8677-0000000000C3", true, 2},
    {"vmdelta", "7D22A0F5-6677-4889-9AAB-0000000000D4", false, 1},
};

}  // namespace

int VsaSeed::addVsMemberServer(int instanceId, int memberClientId) {
    return checked(m_seed.insertRow("APP_VSMemberServer",
                                    {{"instanceId", I(instanceId)}, {"memberClientId", I(memberClientId)}}));
}

int VsaSeed::addOperatingSystem(int id, const std::string& name, int platform) {
    if (m_seed.queryInt("SELECT COUNT(*) FROM simOperatingSystem WHERE id = ?", {I(id)}) > 0) return id;
    if (m_seed.insertRow("simOperatingSystem",
                         {{"id", I(id)}, {"name", T(name)}, {"platform", I(platform)}}) < 0)
        return fail("operating system " + name);
    return id;
}

int VsaSeed::addInstanceProperty(int instanceId, const std::string& name, const std::string& value,
                                 long long created) {
    return checked(m_seed.addProperty(
        "APP_InstanceProp", {.ownerId = instanceId, .name = name, .value = value, .created = created}));
}

DemoHypervisor VsaSeed::addDemoHypervisor(int storagePolicyId, int firstBackupTime) {
    DemoHypervisor hv;
    RowSeed rows(m_seed);
    FamiliesBSeed more(m_seed);
    auto instanceOf = [&](int clientId, const std::string& name) {
        long long id =
            m_seed.insertRow("APP_InstanceName", {{"name", T(name)},
                                                  {"clientId", I(clientId)},
                                                  {"appTypeId", I(apptype::code(apptype::kVirtualServer))}});
        if (id < 0 || m_seed.exec("UPDATE APP_InstanceName SET GUID = ? WHERE id = ?",
                                  {T(HubDbSeed::makeGuid(2, id)), I(id)}) != zydb::DB_OK)
            return fail("instance " + name);
        return static_cast<int>(id);
    };

    hv.windowsOs = addOperatingSystem(200, "Windows Server 2022", 1);
    hv.linuxOs = addOperatingSystem(301, "Red Hat Enterprise Linux 9", 2);
    addOperatingSystem(2, "Windows Server 2019", 1);
    addOperatingSystem(1, "Linux", 2);
    hv.newRelease = more.addRelease(18, "12.0 SP2", 5100);

    hv.hubmaster = m_seed.addClient(
        {.name = "hubmaster", .zydPort = 8390, .releaseId = hv.newRelease, .osId = hv.linuxOs});
    hv.linuxProxy = m_seed.addClient(
        {.name = "linuxproxy1", .zydPort = 8430, .releaseId = kCurrentRelease, .osId = hv.linuxOs});
    hv.windowsProxy = m_seed.addClient(
        {.name = "winproxy1", .zydPort = 8431, .releaseId = hv.newRelease, .osId = hv.windowsOs});
    hv.secondWindowsProxy = m_seed.addClient(
        {.name = "winproxy2", .zydPort = 8432, .releaseId = kCurrentRelease, .osId = hv.windowsOs});

    hv.client = m_seed.addClient({.name = "vsahypervisor", .releaseId = kCurrentRelease, .osId = hv.linuxOs});
    hv.instance = instanceOf(hv.client, "vsacenter");
    addInstanceProperty(hv.instance, "Virtual Server Instance Type", "1");
    for (int proxy : {hv.linuxProxy, hv.windowsProxy, hv.secondWindowsProxy})
        addVsMemberServer(hv.instance, proxy);
    hv.backupSetGuid = kBackupSetGuid;
    hv.backupSet = m_seed.addBackupSet("vsaDemoBackupSet", kBackupSetGuid);
    hv.subclient = m_seed.addSubclient({.clientId = hv.client,
                                        .appTypeId = apptype::code(apptype::kVirtualServer),
                                        .backupSetId = hv.backupSet,
                                        .instanceId = hv.instance,
                                        .storagePolicyId = storagePolicyId});

    for (const DemoVm& d : kDemoVms) {
        VirtualMachine vm = rows.addVirtualMachine({.parentBackupSetId = hv.backupSet,
                                                    .name = d.name,
                                                    .vmGuid = d.guid,
                                                    .storagePolicyId = storagePolicyId});
        if (vm.subclientId < 0) {
            fail(std::string("virtual machine ") + d.name);
            return hv;
        }
        int instance = more.addVmInstance(vm, d.osId);
        addInstanceProperty(instance, "VM Level Instance", "1");
        addInstanceProperty(instance, "Discovered VM Instance", "1");
        hv.vms.push_back(vm);
        hv.vmInstances.push_back(instance);
        hv.vmOsIds.push_back(d.osId);
    }

    // Daily backups; the first ones indexed under the hypervisor (V1), the later ones per VM (V2).
    for (int b = 0; b < kDemoBackups; ++b) {
        const int time = firstBackupTime + b * kDay + 3 * 3600;
        if (b == kBackupsBeforeV2) hv.indexingV2Since = time - 60;
        hv.backupTimes.push_back(time);
        hv.jobs.push_back(more.addVmBackup(hv.subclient, hv.vms, time, 8LL << 30));
    }
    // The hypervisor and its VMs switch to indexing V2 together.
    std::vector<int> switched{hv.client};
    for (const VirtualMachine& vm : hv.vms) switched.push_back(vm.clientId);
    for (int client : switched) {
        m_seed.addProperty("APP_ClientProp",
                           {.ownerId = client, .name = kIndexingV2VsaProperty, .value = "0"});
        if (m_seed.changeProperty("APP_ClientProp", client, kIndexingV2VsaProperty, "1", hv.indexingV2Since) <
            0)
            fail("indexing V2 switch");
    }

    // A block-level subclient: one backup whose data file was written block by block, one that was not.
    hv.blockClient =
        m_seed.addClient({.name = "blockclient1", .releaseId = kCurrentRelease, .osId = hv.linuxOs});
    hv.blockSubclient = m_seed.addSubclient({.clientId = hv.blockClient,
                                             .appTypeId = apptype::code(apptype::kIndexBackup),
                                             .backupSetId = m_seed.addBackupSet("blockBackupSet"),
                                             .storagePolicyId = storagePolicyId});
    HubDbSeed::Backup blockLevel = m_seed.addBackup(hv.blockSubclient, 1, firstBackupTime + 5 * 3600);
    HubDbSeed::Backup regular = m_seed.addBackup(hv.blockSubclient, 2, firstBackupTime + kDay + 5 * 3600);
    if (blockLevel.dataFiles.empty() || regular.dataFiles.empty() ||
        m_seed.exec("UPDATE archFile SET flags = flags | ? WHERE id = ?",
                    {I(kBlockLevelFlag), I(blockLevel.dataFiles[0])}) != zydb::DB_OK) {
        fail("block-level backups");
        return hv;
    }
    hv.blockLevelFile = blockLevel.dataFiles[0];
    hv.regularFile = regular.dataFiles[0];
    if (!rows.ok()) fail(rows.error());
    if (!more.ok()) fail(more.error());
    for (int id : {hv.hubmaster, hv.linuxProxy, hv.windowsProxy, hv.secondWindowsProxy, hv.client,
                   hv.instance, hv.backupSet, hv.subclient, hv.blockClient, hv.blockSubclient})
        if (id < 0) fail("demo hypervisor");
    return hv;
}

}  // namespace hubdb
