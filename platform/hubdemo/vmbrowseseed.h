// The demo hypervisor as the VM browse client sees it: from its switch to the per-VM index its backup
// set is browsed from the Hubmaster database (V2.1), its VMs differ in size, their archive files share
// media (one medium holds index files of one VM and data of others, one is a cloud medium), and a user
// may browse one VM only. Added to the demo world by its seeding thread.
#pragma once

#include <vector>

#include "platform/archive/archiveseed.h"
#include "platform/hubdb/seed_families_a.h"
#include "platform/hubdb/seed_familiesb.h"
#include "platform/hubdb/seed_vsa.h"
#include "platform/security/securityseed.h"

namespace hubdemo {

struct VmBrowseWorld {
    long long usingV21Since = 0;     // the hypervisor's V2.1 switch (its property's creation time)
    std::vector<long long> vmSizes;  // bytes read by each VM's jobs, in VM order
    int sharedMedium = 0;            // VM 0's data and index files, VM 1's index files, VM 2's data files
    int secondMedium = 0;            // VM 1's data files
    int cloudMedium = 0;             // VM 3's data files; medium type 10001
    int vmUser = 0;                  // "vmowner": may browse VM 0 only
};

// Seeds the above over `hv`, with the index databases of the hypervisor's and each VM's backup set on
// `indexServer` (storage policy `storagePolicy`); false (the failing part's error) on failure.
bool addVmBrowseWorld(hubdb::HubDbSeed& seed, hubdb::FamiliesBSeed& more, archmgr::ArchiveSeed& media,
                      zysec::SecuritySeed& security, hubdb::RowSeed& rows, const hubdb::DemoHypervisor& hv,
                      int indexServer, int storagePolicy, VmBrowseWorld& world);

}  // namespace hubdemo
