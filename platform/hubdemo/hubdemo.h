// The demo Hubmaster world: a small but complete database (clients, media agents, a storage policy
// with two copies and media, file-system subclients with several backup cycles, a hypervisor with
// virtual machines, users with rights and a token key, instances, operating systems, an index server)
// built with the seed builder, for ./dev run, the host and tests. Any thread; one call per folder.
#pragma once

#include <string>

#include "platform/entities/appbrowseseed.h"
#include "platform/entities/appminingseed.h"
#include "platform/hubdb/seed_vsa.h"
#include "platform/hubdemo/legacyagent.h"
#include "platform/hubdemo/vmbrowseseed.h"

namespace hubdemo {

// The ids of what a tool or test asks about, as seeded.
struct DemoWorld {
    std::string databasePath;
    std::string registryPath;
    // The Hubmaster's credentials: its authority ("authority.key" stays here) and its own certificate.
    std::string tlsFolder;
    // The credentials folder of a demo media agent (mediaagent1 to mediaagent3).
    std::string machineTlsFolder(const std::string& clientName) const;
    int mediaAgent = 0;         // online, release 11
    int offlineMediaAgent = 0;  // release 9, its index cache offline; holds the auxiliary copy
    int storagePolicy = 0;
    int primaryCopy = 0;
    int auxiliaryCopy = 0;
    int fileClient = 0;  // client1: two weeks of daily file-system backups, a full each week
    int fileAppType = 0;
    int fileBackupSet = 0;
    int fileSubclient = 0;
    int otherFileClient = 0;  // client2, seeded the same way
    int hypervisor = 0;
    int vmBackupSet = 0;
    int vmSubclient = 0;
    int adminUser = 0;  // may browse everything and manage the Hubmaster
    int fileUser = 0;   // may browse client1 only, and erase its backed-up files
    int indexServer = 0;
    long long firstBackupTime = 0;  // the file-system backups run from here, one a day
    int backupDays = 0;
    hubdb::DemoHypervisor vsa;  // the VM-browse hypervisor: proxies, V1 and V2 jobs, block-level files
    VmBrowseWorld vmBrowse;     // that hypervisor browsed from the database: sizes, shared media, a VM's user
    LegacyAgentWorld legacy;    // mediaagent3 (release 9.0) and client3, browsed over the classic protocol
    // The application roads on the demo policy (held by mediaagent1): Exchange databases and mailboxes,
    // OneDrive, machines browsed live. Their users may browse their own data as end users; the
    // administrator may browse machines live.
    zyent::AppBrowseWorld apps;
    // Application mining on the demo policy: an Exchange database client mined for a cycle of jobs, and
    // SharePoint farms and servers, a plain server's site backups held by mediaagent1. The mining
    // services run where the world's records point the miners (tests and the tour point them at a
    // media agent's listener).
    zyent::TAppMiningWorld mining;
};

// Creates `folder` when missing and in it a fresh "hub.db" (an older one is replaced) and
// "registry.ini" holding the token key ("~Hubmaster" / "sZetaTokenKey", random), which becomes the
// process's registry. Fills `world`; false with `error` on failure.
bool createDemoWorld(const std::string& folder, DemoWorld& world, std::string* error = nullptr);

// The database part alone: seeds `path` (which should not exist yet) and fills `world`'s ids.
// Returns a zydb::DbResult.
int seedDemoDatabase(const std::string& path, DemoWorld& world, std::string* error = nullptr);

}  // namespace hubdemo
