// The demo world, seeded through the same seed builder and seed parts as the tests.
#include "platform/hubdemo/hubdemo.h"

#include <cstdio>
#include <filesystem>

#include "platform/archive/archiveseed.h"
#include "platform/config/zyplatforminfo.h"
#include "platform/crypto/zycrypto.h"
#include "platform/db/dbresult.h"
#include "platform/entities/appbrowseseed.h"
#include "platform/entities/apptypes.h"
#include "platform/entities/entityseed.h"
#include "platform/hubdb/seed_families_a.h"
#include "platform/hubdb/seed_familiesb.h"
#include "platform/hubdb/seed_vsa.h"
#include "platform/msg/msg_security_key.h"
#include "platform/net/zynet_tls.h"
#include "platform/security/securityseed.h"

namespace hubdemo {

namespace {

constexpr int kDay = 86400;
constexpr long long kFirstBackup = 1700000000;  // 2023-11-14, a fixed start so every run seeds the same rows
constexpr int kBackupDays = 14;
constexpr int kReleaseId = 16;
constexpr const char* kVmBackupSetGuid = "5E6D0000-0000-4000-8000-00000000D0D0";
// A second OneDrive user of the V2 tenant, known only to the media agent's index.
constexpr const char* kOtherOneDriveUser = "oscar@example.com";
constexpr const char* kOtherOneDriveObjectId = "{9f00-aa11-bb22}";

bool fail(std::string* error, const std::string& what) {
    if (error) *error = what;
    return false;
}

// A key of 32 random bytes in hex: a fresh one for every demo folder.
bool randomKey(std::string& key) {
    unsigned char bytes[32];
    if (!zycrypto::randomBytes(bytes, sizeof bytes)) return false;
    key = zycrypto::toHex(bytes, sizeof bytes);
    return true;
}

}  // namespace

int seedDemoDatabase(const std::string& path, DemoWorld& w, std::string* error) {
    hubdb::HubDbSeed seed(path);
    if (!seed.ok()) {
        if (error) *error = seed.error();
        return zydb::DB_ERR_IO;
    }
    hubdb::RowSeed rows(seed);
    hubdb::FamiliesBSeed more(seed);
    archmgr::ArchiveSeed media(seed);
    zyent::EntitySeed entities(seed);
    zysec::SecuritySeed security(seed);
    hubdb::VsaSeed vsa(seed);
    w.databasePath = path;
    w.fileAppType = apptype::code(apptype::kFileSystem);
    w.firstBackupTime = kFirstBackup;
    w.backupDays = kBackupDays;
    const int t0 = static_cast<int>(kFirstBackup);

    seed.begin();
    const int linuxOs = entities.addOperatingSystem("Linux", 2);
    const int windowsOs = entities.addOperatingSystem("Windows Server 2019", 1);
    more.addRelease(kReleaseId, "11.0 SP16", 4321);

    w.mediaAgent = seed.addMediaAgent(
        {.name = "mediaagent1", .zydPort = 8400, .releaseId = kReleaseId, .osId = linuxOs}, "11.0 SP24", 1);
    // The auxiliary copy's agent, never started: no port of it is recorded, so nothing points at it.
    w.offlineMediaAgent =
        seed.addMediaAgent({.name = "mediaagent2", .zydPort = 0, .osId = linuxOs}, "9.0", 0);
    w.storagePolicy = seed.addStoragePolicy("demo-policy", w.mediaAgent);
    w.primaryCopy = seed.copyId(w.storagePolicy, 1);
    w.auxiliaryCopy = seed.addCopy(w.storagePolicy, 2, w.offlineMediaAgent, "demo-policy aux");
    const int firstWeek =
        media.addMedia({.barcode = "DEMO001", .libraryName = "demo-library", .mediaSize = 1 << 30});
    const int secondWeek =
        media.addMedia({.barcode = "DEMO002", .libraryName = "demo-library", .mediaSize = 1 << 30});

    // Two file-system clients: daily backups, a full on the first day of each week, two data files
    // and an index file per job, and one incremental still running at the end.
    for (int n = 1; n <= 2; ++n) {
        const std::string name = "client" + std::to_string(n);
        int client = seed.addClient(
            {.name = name, .zydPort = 8400 + 10 * n, .releaseId = kReleaseId, .osId = windowsOs});
        int instance = entities.addInstance({.clientId = client,
                                             .appTypeId = apptype::code(apptype::kFileSystem),
                                             .name = "DefaultInstanceName"});
        int backupSet = seed.addBackupSet("defaultBackupSet");
        int subclient = seed.addSubclient({.clientId = client,
                                           .appTypeId = apptype::code(apptype::kFileSystem),
                                           .backupSetId = backupSet,
                                           .instanceId = instance,
                                           .storagePolicyId = w.storagePolicy});
        for (int d = 0; d < kBackupDays; ++d) {
            hubdb::HubDbSeed::Backup b =
                seed.addBackup(subclient, d % 7 == 0 ? 1 : 2, t0 + d * kDay + 3600 * n, 2);
            if (n != 1) continue;
            b.dataFiles.push_back(b.indexFile);
            for (int f : b.dataFiles) media.placeOnMedia(f, 1, d < 7 ? firstWeek : secondWeek);
        }
        seed.addBackup(subclient, 2, t0 + kBackupDays * kDay + 3600 * n, 1, false, true);
        if (n == 1) {
            w.fileClient = client;
            w.fileBackupSet = backupSet;
            w.fileSubclient = subclient;
        } else {
            w.otherFileClient = client;
        }
    }

    // A hypervisor whose backup set protects two virtual machines, backed up on three days.
    w.hypervisor = seed.addClient({.name = "hypervisor1", .releaseId = kReleaseId, .osId = linuxOs});
    int vcenter = entities.addInstance(
        {.clientId = w.hypervisor, .appTypeId = apptype::code(apptype::kVirtualServer), .name = "vcenter"});
    entities.addInstanceProperty(vcenter, "Virtual Server Instance Type", "1");
    w.vmBackupSet = seed.addBackupSet("vmBackupSet", kVmBackupSetGuid);
    w.vmSubclient = seed.addSubclient({.clientId = w.hypervisor,
                                       .appTypeId = apptype::code(apptype::kVirtualServer),
                                       .backupSetId = w.vmBackupSet,
                                       .instanceId = vcenter,
                                       .storagePolicyId = w.storagePolicy});
    std::vector<hubdb::VirtualMachine> vms;
    for (int v = 1; v <= 2; ++v) {
        vms.push_back(rows.addVirtualMachine({.parentBackupSetId = w.vmBackupSet,
                                              .name = "vm" + std::to_string(v),
                                              .storagePolicyId = w.storagePolicy}));
        // A VM's subclient belongs to its own VM-level instance, as discovery makes it: a browse of the
        // VM is then switched to the hypervisor's backups that indexed its jobs.
        const int instance = more.addVmInstance(vms.back(), linuxOs);
        entities.addInstanceProperty(instance, "VM Level Instance", "1");
    }
    for (int d = 0; d < 3; ++d) more.addVmBackup(w.vmSubclient, vms, t0 + d * kDay + 7200, 20LL << 30);
    w.indexServer = more.addIndexServer("Virtual Machine", "demo-index-server", {{.clientId = w.mediaAgent}});
    more.addIndexDatabase({.dbName = kVmBackupSetGuid,
                           .backupSetId = w.vmBackupSet,
                           .engineType = 2,
                           .currentIdxServer = w.indexServer,
                           .archGroupId = w.storagePolicy});

    // Users: the administrator browses and manages everything; alice may browse client1 only.
    w.adminUser = rows.addUser({.name = "The Administrator", .login = "admin", .email = "admin@example.com"});
    w.fileUser = rows.addUser({.name = "Alice", .login = "alice", .email = "alice@example.com"});
    security.grant(w.adminUser, zysec::kPermBrowse, {});
    security.grant(w.adminUser, zysec::kPermManageHubmaster, {});
    security.grant(w.fileUser, zysec::kPermBrowse, {.clientId = w.fileClient});
    // End users may erase their own backed-up files: alice on her machine.
    security.grant(w.fileUser, zysec::kPermDeleteData, {.clientId = w.fileClient});
    more.setGlobalParam("ZY_HM_ENABLE_FS_END_USER_ERASE", "1", t0);
    w.vsa = vsa.addDemoHypervisor(w.storagePolicy, t0);
    if (!addVmBrowseWorld(seed, more, media, security, rows, w.vsa, w.indexServer, w.storagePolicy,
                          w.vmBrowse)) {
        if (error)
            *error = "VM browse world: " + seed.error() + media.error() + security.error() + rows.error();
        return zydb::DB_ERR_GENERAL;
    }
    if (!addLegacyAgentWorld(seed, entities, linuxOs, windowsOs, kReleaseId, kFirstBackup, w.legacy)) {
        if (error) *error = seed.error();
        return zydb::DB_ERR_GENERAL;
    }
    zyent::AppBrowseSeed apps(seed);
    w.apps = apps.addAppBrowseWorld(w.storagePolicy, w.indexServer, kFirstBackup);
    security.grant(w.adminUser, zysec::kPermLiveBrowse, {});
    for (int user : {w.apps.ownerUser, w.apps.delegateUser, w.apps.strangerUser})
        security.grant(user, zysec::kPermEndUserBrowse, {.clientId = w.apps.mailboxClient});
    security.grant(w.apps.oneDriveUser, zysec::kPermEndUserBrowse, {});
    // Where the media agent keeps each application's items, and whose they are: the owner's and the
    // stranger's mailboxes, the OneDrive user's folder (on V2 beside another user's).
    seed.addSubclientProperty(w.apps.mailboxSubclient, "Content Root",
                              "MB/" + w.apps.ownerGuid + "=" + w.apps.ownerGuid + ";MB/" +
                                  w.apps.strangerGuid + "=" + w.apps.strangerGuid);
    seed.addSubclientProperty(w.apps.oneDriveV1Subclient, "Content Root", "OneDrive/" + w.apps.oneDriveEmail);
    seed.addSubclientProperty(w.apps.oneDriveV2Subclient, "Content Root",
                              "OneDrive/" + w.apps.oneDriveEmail + "=" + w.apps.oneDriveObjectId +
                                  ";OneDrive/" + kOtherOneDriveUser + "=" + kOtherOneDriveObjectId);
    zyent::AppMiningSeed mining(seed);
    if (!mining.build(
            w.mining,
            {.baseTime = kFirstBackup, .userId = w.adminUser, .storagePolicyId = w.storagePolicy})) {
        if (error) *error = "application mining world: " + mining.error();
        return zydb::DB_ERR_GENERAL;
    }
    seed.commit();

    for (const hubdb::SeedPart* part : std::initializer_list<const hubdb::SeedPart*>{
             &rows, &more, &media, &entities, &security, &vsa, &apps, &mining})
        if (!part->ok()) {
            if (error) *error = part->error();
            return zydb::DB_ERR_GENERAL;
        }
    if (!seed.ok()) {
        if (error) *error = seed.error();
        return zydb::DB_ERR_GENERAL;
    }
    return zydb::DB_OK;
}

bool createDemoWorld(const std::string& folder, DemoWorld& world, std::string* error) {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec) return fail(error, "cannot create " + folder + ": " + ec.message());
    // The world holds every client's catalogue, its keys and its logs: the owner's alone.
    fs::permissions(folder, fs::perms::owner_all, ec);
    if (ec) return fail(error, "cannot make " + folder + " the owner's alone: " + ec.message());
    const std::string db = (fs::path(folder) / "hub.db").string();
    for (const char* suffix : {"", "-wal", "-shm"}) {
        fs::remove(db + suffix, ec);
        if (ec) return fail(error, "cannot replace " + db + suffix + ": " + ec.message());
    }
    std::string why;
    world.registryPath = (fs::path(folder) / "registry.ini").string();
    ZYPlatformInfo::setRegistryPath(world.registryPath);
    std::string key;
    if (!randomKey(key)) return fail(error, "no random bytes for the token key");
    if (!ZYPlatformInfo::setString("~Hubmaster", "sZetaTokenKey", key))
        return fail(error, "cannot write the token key to " + world.registryPath);
    // The installation's own message-security key: signs requests for media agents and keys the
    // cipher of password fields, so the demo's processes read each other's passwords.
    if (!randomKey(key)) return fail(error, "no random bytes for the message-security key");
    if (!ZYPlatformInfo::setString(kMsgSecurityKeySection, kMsgSecurityKeyName, key))
        return fail(error, "cannot write the message-security key to " + world.registryPath);
    // Seeded once the key is in place: the seed enciphers the passwords it stores (agents' accounts).
    if (seedDemoDatabase(db, world, &why) != zydb::DB_OK) return fail(error, "seeding " + db + ": " + why);
    if (!ZYPlatformInfo::setNumber("~Hubmaster", "nHubmasterClientId",
                                   static_cast<unsigned long>(world.vsa.hubmaster)))
        return fail(error, "cannot write the Hubmaster's client to " + world.registryPath);
    // A stop of a session by its owner ends the session's own browses too, not only the media agent's.
    if (!ZYPlatformInfo::setNumber("EventManager", "EnableStopBrowseRequest", 1))
        return fail(error, "cannot write the stop switch to " + world.registryPath);

    // The Hubmaster's own authority and certificate in its data folder, and each demo media agent's
    // credentials in its own folder: every session of the demo is proven and encrypted.
    world.tlsFolder = (fs::path(folder) / "tls").string();
    if (!createZyNetAuthority(world.tlsFolder, "Hubmaster authority", why) ||
        !issueZyNetCredentials(world.tlsFolder, "hubmaster", world.tlsFolder, why))
        return fail(error, "the Hubmaster's credentials: " + why);
    // mediaagent2 (the auxiliary copy's) is never started: it gets no credentials to start with.
    for (const char* agent : {"mediaagent1", "mediaagent3"})
        if (!issueZyNetCredentials(world.tlsFolder, agent, world.machineTlsFolder(agent), why))
            return fail(error, std::string("the credentials of ") + agent + ": " + why);
    // The SharePoint servers' mining service runs on mediaagent1's machine in this world: it proves
    // their names to whoever asks for them.
    for (const char* server : {"spplain", "spserver1", "spserver2", "spserver3"}) {
        const std::string folder =
            (std::filesystem::path(world.machineTlsFolder("mediaagent1")) / "hosted" / server).string();
        if (!issueZyNetCredentials(world.tlsFolder, server, folder, why))
            return fail(error, std::string("the credentials of ") + server + ": " + why);
    }
    return true;
}

std::string DemoWorld::machineTlsFolder(const std::string& clientName) const {
    namespace fs = std::filesystem;
    return (fs::path(tlsFolder).parent_path() / "machines" / clientName / "tls").string();
}

}  // namespace hubdemo
