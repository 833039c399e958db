// VsaSeed: seed-builder additions for virtual-server browse: member servers (proxies) of a
// virtual-server instance, operating systems with fixed ids, and the demo hypervisor that tests and the
// demo world browse: a backup set of several VMs whose GUIDs are not in the order the VMs were made,
// Windows and Linux guests and proxies, parent and child jobs before and after the switch to indexing
// V2, a Hubmaster client, releases, and a block-level subclient. Used by the seed's one thread.
//
//   hubdb::HubDbSeed seed(path);
//   hubdb::VsaSeed vsa(seed);
//   hubdb::DemoHypervisor hv = vsa.addDemoHypervisor(storagePolicy, 1700000000);
#pragma once

#include <string>
#include <vector>

#include "platform/hubdb/hubdbseed.h"
#include "platform/hubdb/seed_families_a.h"

namespace hubdb {

// The demo hypervisor as seeded; ids of every row the tests ask about.
struct DemoHypervisor {
    int client = 0;  // the hypervisor, a Linux machine
    int instance = 0;
    int backupSet = 0;
    std::string backupSetGuid;
    int subclient = 0;
    std::vector<VirtualMachine> vms;  // in the order they were made (GUIDs out of sort order)
    std::vector<int> vmInstances;  // each VM's own instance ("VM Level Instance", "Discovered VM Instance")
    std::vector<int> vmOsIds;      // each VM's guest operating system
    std::vector<int> backupTimes;  // one hypervisor backup at each
    std::vector<std::vector<int>> jobs;  // per backup: the hypervisor's job, then each VM's in VM order
    long long indexingV2Since = 0;       // from here on the hypervisor's VMs are indexed per VM
    int linuxProxy = 0;                  // the member servers, in their order: Linux, Windows, Windows
    int windowsProxy = 0;
    int secondWindowsProxy = 0;
    int hubmaster = 0;  // the Hubmaster's own client
    int windowsOs = 0;  // operating-system ids (simOperatingSystem)
    int linuxOs = 0;
    int newRelease = 0;  // release "12.0 SP2" of the first Windows proxy and the Hubmaster
    int newReleaseVersion = 12;
    int blockClient = 0;  // a client with a block-level subclient (application type 64)
    int blockSubclient = 0;
    int blockLevelFile = 0;  // a data archive file with flag 0x200
    int regularFile = 0;     // a data archive file without it
};

class VsaSeed : public SeedPart {
public:
    explicit VsaSeed(HubDbSeed& seed) : SeedPart(seed) {}

    // A member server (proxy) of a virtual-server instance, after those added before.
    int addVsMemberServer(int instanceId, int memberClientId);
    // An operating system with a given id (the guest ids of virtual machines are fixed numbers);
    // platform 1 Windows, 2 Unix or Linux. An id that exists already is kept as it is.
    int addOperatingSystem(int id, const std::string& name, int platform);
    // A property of an instance (APP_InstanceProp), current from `created`.
    int addInstanceProperty(int instanceId, const std::string& name, const std::string& value,
                            long long created = 0);

    DemoHypervisor addDemoHypervisor(int storagePolicyId, int firstBackupTime);
};

}  // namespace hubdb
