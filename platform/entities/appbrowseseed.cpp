#include "platform/entities/appbrowseseed.h"

#include <vector>

#include "platform/entities/apptypes.h"
#include "platform/entities/entityseed.h"
#include "platform/entities/exchangesubclient.h"
#include "platform/entities/installmanager.h"
#include "platform/entities/mailboxdirectory.h"
#include "platform/hubdb/appbrowseprocs.h"
#include "platform/hubdb/seed_families_a.h"
#include "platform/hubdb/seed_familiesb.h"

namespace zyent {

using hubdb::seedvalues::I;
using hubdb::seedvalues::T;

namespace {

constexpr long long kDay = 86400;
constexpr int kOneDriveProvider = 7;

}  // namespace

int AppBrowseSeed::setClientUpgradeTime(int clientId, long long time) {
    return checked(m_seed.changeProperty("APP_ClientProp", clientId, ClientProperties::kUpgradeTimeProperty,
                                         std::to_string(time), time));
}

int AppBrowseSeed::addExchangeStore(int subclientId, const std::string& description,
                                    const std::string& storeName, long long size, long long created) {
    const std::string storeText = description + "\\" + storeName;
    // Property names are unique per subclient: the store text names the property.
    const int id =
        checked(m_seed.addSubclientProperty(subclientId, "Exchange Database " + storeText, storeText, created,
                                            0, ExchangeDBProperty::kPropertyType));
    if (id < 0 || size < 0) return id;
    return checked(m_seed.insertRow("APP_ExchangeStoreSize", {{"subclientId", I(subclientId)},
                                                              {"storeText", T(storeText)},
                                                              {"sizeBytes", I(size)}}) < 0
                       ? -1
                       : id);
}

int AppBrowseSeed::addMailbox(const MailboxEntrySeed& m) {
    hubdb::RowSeed rows(m_seed);
    const int id = checked(rows.addMailboxAssociation(
        {.userGuid = m.guid, .subclientId = m.subclientId, .created = m.created, .ownerId = m.ownerId}));
    if (id < 0) return fail("mailbox " + m.guid);
    if (checked(m_seed.exec(
            "UPDATE APP_EmailConfigPolicyAssoc SET exchangeServer = ?, databaseName = ?, aliasName = ?, "
            "mailBoxSize = ?, deleted = 0 WHERE assocId = ?",
            {T(m.server), T(m.store), T(m.alias), I(m.size), I(id)})) < 0)
        return -1;
    return id;
}

int AppBrowseSeed::addMailboxDelegate(const std::string& mailboxGuid, int delegateUserId,
                                      const std::string& delegateGuid, const std::string& folder) {
    return checked(m_seed.insertRow("APP_MailboxDelegate", {{"mailboxGuid", T(mailboxGuid)},
                                                            {"delegateUserId", I(delegateUserId)},
                                                            {"delegateGuid", T(delegateGuid)},
                                                            {"folder", T(folder)}}));
}

int AppBrowseSeed::addUserProfile(int clientId, const std::string& profileName) {
    const long long next = m_seed.queryInt(
        "SELECT IFNULL(MAX(profileOrder), 0) + 1 FROM APP_ClientUserProfile WHERE clientId = ?",
        {I(clientId)}, 1);
    return checked(m_seed.insertRow("APP_ClientUserProfile", {{"clientId", I(clientId)},
                                                              {"profileOrder", I(next)},
                                                              {"profileName", T(profileName)}}) < 0
                       ? -1
                       : 0);
}

int AppBrowseSeed::addLiveBrowseConfig(int clientId, int userId, bool proxyRequired, int proxyClientId,
                                       const std::string& userName) {
    return checked(m_seed.insertRow("APP_LiveBrowseConfig", {{"clientId", I(clientId)},
                                                             {"userId", I(userId)},
                                                             {"proxyRequired", I(proxyRequired ? 1 : 0)},
                                                             {"proxyClientId", I(proxyClientId)},
                                                             {"userName", T(userName)}}) < 0
                       ? -1
                       : 0);
}

int AppBrowseSeed::subclientOf(int clientId, int appType, int backupSetId, const std::string& name,
                               int storagePolicyId) {
    return checked(m_seed.addSubclient({.clientId = clientId,
                                        .appTypeId = appType,
                                        .backupSetId = backupSetId,
                                        .name = name,
                                        .storagePolicyId = storagePolicyId}));
}

AppBrowseWorld AppBrowseSeed::addAppBrowseWorld(int storagePolicyId, int indexServerClientId,
                                                long long firstBackupTime) {
    AppBrowseWorld w;
    hubdb::RowSeed rows(m_seed);
    hubdb::FamiliesBSeed more(m_seed);
    EntitySeed entities(m_seed);
    const long long t0 = firstBackupTime;
    w.beforeUpgrade = static_cast<int>(t0 + kDay);
    w.upgradeTime = t0 + 3 * kDay;
    w.afterUpgrade = static_cast<int>(t0 + 5 * kDay);
    // Two data files a job: the upgrade check weighs the files of a cycle besides its newest.
    auto backupBothSides = [&](int subclientId) {
        m_seed.addBackup(subclientId, 1, w.beforeUpgrade, 2);
        m_seed.addBackup(subclientId, 1, w.afterUpgrade, 2);
    };

    // Exchange databases and Lotus Notes.
    w.exchDbClient = checked(m_seed.addClient({.name = "exchdb1", .osId = w.windowsOsId}));
    w.exchDbBackupSet = checked(m_seed.addBackupSet("defaultBackupSet"));
    w.exchDbSubclient = subclientOf(w.exchDbClient, apptype::code(apptype::kExchangeDatabase),
                                    w.exchDbBackupSet, "default", storagePolicyId);
    w.exchDbSecondSubclient = subclientOf(w.exchDbClient, apptype::code(apptype::kExchangeDatabase),
                                          w.exchDbBackupSet, "stores2", storagePolicyId);
    addExchangeStore(w.exchDbSubclient, "First Storage Group", "Mailbox Store", 5LL << 30);
    addExchangeStore(w.exchDbSubclient, "First Storage Group", "Public Store", 2LL << 30);
    addExchangeStore(w.exchDbSubclient, "Second Storage Group", "Archive Store", -1);
    addExchangeStore(w.exchDbSecondSubclient, "Third Storage Group", "Journal Store", 1LL << 30);
    backupBothSides(w.exchDbSubclient);
    setClientUpgradeTime(w.exchDbClient, w.upgradeTime);

    w.exchDbPlainClient = checked(m_seed.addClient({.name = "exchdb2", .osId = w.windowsOsId}));
    const int plainSet = checked(m_seed.addBackupSet("defaultBackupSet"));
    w.exchDbPlainSubclient = subclientOf(w.exchDbPlainClient, apptype::code(apptype::kExchangeDatabase),
                                         plainSet, "default", storagePolicyId);
    m_seed.addSubclientProperty(w.exchDbPlainSubclient, "Enable Snap Backups", "1");
    addExchangeStore(w.exchDbPlainSubclient, "Storage Group", "Snap Store", 3LL << 30);
    backupBothSides(w.exchDbPlainSubclient);

    w.notesClient = checked(m_seed.addClient({.name = "notes1", .osId = w.linuxOsId}));
    w.notesBackupSet = checked(m_seed.addBackupSet("defaultBackupSet"));
    w.notesSubclient = subclientOf(w.notesClient, apptype::code(apptype::kNotes), w.notesBackupSet, "default",
                                   storagePolicyId);
    backupBothSides(w.notesSubclient);
    setClientUpgradeTime(w.notesClient, w.upgradeTime);

    // Mailboxes.
    w.mailboxClient = checked(m_seed.addClient({.name = "exchmb1", .osId = w.windowsOsId}));
    w.mailboxBackupSet = checked(m_seed.addBackupSet("defaultBackupSet"));
    w.mailboxSubclient = subclientOf(w.mailboxClient, apptype::code(apptype::kExchangeMailbox),
                                     w.mailboxBackupSet, "default", storagePolicyId);
    w.mailbox56Subclient = subclientOf(w.mailboxClient, apptype::code(apptype::kExchangeMailboxClassic),
                                       w.mailboxBackupSet, "legacy", storagePolicyId);
    w.monorunSubclient = subclientOf(w.mailboxClient, apptype::code(apptype::kExchangeMonorun),
                                     w.mailboxBackupSet, "monorun", storagePolicyId);
    backupBothSides(w.mailboxSubclient);
    setClientUpgradeTime(w.mailboxClient, w.upgradeTime);
    w.quotaLimit = 50LL << 30;
    m_seed.addSubclientProperty(w.mailboxSubclient, hubdb::kMailboxQuotaLimitProperty,
                                std::to_string(w.quotaLimit));
    w.ownerUser =
        checked(rows.addUser({.name = "Mary Owner", .login = "EXCH\\mary", .email = "mary@example.com"}));
    w.delegateUser =
        checked(rows.addUser({.name = "Dan Delegate", .login = "EXCH\\dan", .email = "dan@example.com"}));
    w.strangerUser =
        checked(rows.addUser({.name = "Sam Stranger", .login = "EXCH\\sam", .email = "sam@example.com"}));
    w.ownerGuid = "{6F1C0A52-8D11-4E0B-9C3A-1B2C3D4E5F60}";
    w.delegateGuid = "{0A9B8C7D-6E5F-4A3B-8C1D-2E3F4A5B6C7D}";
    w.strangerGuid = "{11112222-3333-4444-5555-666677778888}";
    w.ownerMailboxSize = 3LL << 30;
    w.ownerTriplet = std::string("EXCHSRV1") + kMailboxTripletSeparator + "Mailbox Store" +
                     kMailboxTripletSeparator + "mary";
    addMailbox({.ownerId = w.ownerUser,
                .subclientId = w.mailboxSubclient,
                .guid = w.ownerGuid,
                .server = "EXCHSRV1",
                .store = "Mailbox Store",
                .alias = "mary",
                .size = w.ownerMailboxSize,
                .created = t0});
    addMailbox({.ownerId = w.delegateUser,
                .subclientId = w.mailboxSubclient,
                .guid = w.delegateGuid,
                .server = "EXCHSRV1",
                .store = "Mailbox Store",
                .alias = "dan",
                .size = 1LL << 30,
                .created = t0});
    // The stranger's mailbox was never given a triplet (created after the upgrade).
    addMailbox({.ownerId = w.strangerUser,
                .subclientId = w.monorunSubclient,
                .guid = w.strangerGuid,
                .size = 1LL << 20,
                .created = w.upgradeTime + kDay});
    addMailboxDelegate(w.ownerGuid, w.delegateUser, "", "Inbox");

    // OneDrive.
    auto oneDrive = [&](const char* name, int& client, int& instance, int& backupSet, int& subclient) {
        client = checked(m_seed.addClient({.name = name, .osId = w.windowsOsId}));
        instance = entities.addInstance(
            {.clientId = client, .appTypeId = apptype::code(apptype::kOneDrive), .name = name});
        entities.addInstanceProperty(instance, "Cloud Provider", std::to_string(kOneDriveProvider));
        backupSet = checked(m_seed.addBackupSet("defaultBackupSet"));
        subclient = checked(m_seed.addSubclient({.clientId = client,
                                                 .appTypeId = apptype::code(apptype::kOneDrive),
                                                 .backupSetId = backupSet,
                                                 .instanceId = instance,
                                                 .storagePolicyId = storagePolicyId}));
        m_seed.addBackup(subclient, 1, w.afterUpgrade);
    };
    oneDrive("onedrive2", w.oneDriveV2Client, w.oneDriveV2Instance, w.oneDriveV2BackupSet,
             w.oneDriveV2Subclient);
    oneDrive("onedrive1", w.oneDriveV1Client, w.oneDriveV1Instance, w.oneDriveV1BackupSet,
             w.oneDriveV1Subclient);
    more.addIndexDatabase({.dbName = hubdb::HubDbSeed::makeGuid(3, w.oneDriveV2BackupSet),
                           .backupSetId = w.oneDriveV2BackupSet,
                           .engineType = 2,
                           .currentIdxServer = indexServerClientId,
                           .archGroupId = storagePolicyId});
    w.oneDriveEmail = "olivia@example.com";
    w.oneDriveObjectId = "{ab12-cd34-ef56}";
    w.oneDriveUser =
        checked(rows.addUser({.name = "Olivia", .login = "TENANT\\olivia", .email = w.oneDriveEmail}));
    w.oneDriveUserWithoutEmail = checked(rows.addUser({.name = "Nemo", .login = "TENANT\\nemo"}));
    m_seed.addProperty("UMUsersProp",
                       {.ownerId = w.oneDriveUser, .name = "Object ID", .value = w.oneDriveObjectId});

    // Live machine browse.
    auto machine = [&](const char* name, int osId, int& client, int& backupSet) {
        client = checked(m_seed.addClient({.name = name, .osId = osId}));
        backupSet = checked(m_seed.addBackupSet("defaultBackupSet"));
        const int subclient =
            subclientOf(client, apptype::code(apptype::kFileSystem), backupSet, "default", storagePolicyId);
        m_seed.addBackup(subclient, 1, w.afterUpgrade);
        more.addIndexDatabase({.dbName = hubdb::HubDbSeed::makeGuid(3, backupSet),
                               .backupSetId = backupSet,
                               .engineType = 2,
                               .currentIdxServer = indexServerClientId,
                               .archGroupId = storagePolicyId});
    };
    w.windowsProxy = checked(m_seed.addClient({.name = "liveproxy-win", .osId = w.windowsOsId}));
    machine("livewin1", w.windowsOsId, w.windowsMachine, w.windowsBackupSet);
    machine("livelinux1", w.linuxOsId, w.linuxMachine, w.linuxBackupSet);
    machine("livewin2", w.windowsOsId, w.noProfileMachine, w.noProfileBackupSet);
    w.firstProfile = "CORP\\first.user";
    w.secondProfile = "CORP\\second.user";
    addUserProfile(w.windowsMachine, w.firstProfile);
    addUserProfile(w.windowsMachine, w.secondProfile);
    // The Windows machine needs its proxy; a user name configured for it is never used for that reason.
    addLiveBrowseConfig(w.windowsMachine, 0, true, w.windowsProxy, "ignored.user");
    w.linuxUserName = "root";
    addLiveBrowseConfig(w.linuxMachine, 0, false, 0, w.linuxUserName);
    addLiveBrowseConfig(w.noProfileMachine, 0, false, 0);
    for (const hubdb::SeedPart* part : std::initializer_list<const hubdb::SeedPart*>{&rows, &more, &entities})
        if (!part->ok()) fail(part->error());
    return w;
}

}  // namespace zyent
