// AppBrowseSeed: seed-builder rows of the application-specific browses: client upgrade times, Exchange
// database stores with their sizes, mailboxes with their triplets and delegations, Windows user
// profiles and live-browse configurations of machines; and one world of them over an existing storage
// policy for the tests and the demo. Each call returns the new row's id (or 0), or -1 with error().
// Used by the seed's one thread.
//
//   hubdb::HubDbSeed seed(path);
//   zyent::AppBrowseSeed apps(seed);
//   zyent::AppBrowseWorld w = apps.addAppBrowseWorld(storagePolicy, mediaAgent, indexServer, 1700000000);
#pragma once

#include <string>

#include "platform/hubdb/hubdbseed.h"

namespace zyent {

struct MailboxEntrySeed {
    int ownerId = 0;  // UMUsers id
    int subclientId = 0;
    std::string guid{};                      // the mailbox GUID, with braces
    std::string server{}, store{}, alias{};  // the triplet's parts; one empty: no triplet
    long long size = 0;
    long long created = 0;
};

// What the application-browse world holds, as seeded.
struct AppBrowseWorld {
    long long upgradeTime = 0;  // when the upgraded clients were upgraded
    int beforeUpgrade = 0;      // a backup of each Exchange database and Notes client before it
    int afterUpgrade = 0;       // and one after it
    // Exchange databases (application type 53): upgraded, with two stores of known size and a third
    // whose size was never recorded on its one subclient, and a second subclient; and one never upgraded
    // whose subclient takes snapshots.
    int exchDbClient = 0, exchDbBackupSet = 0, exchDbSubclient = 0, exchDbSecondSubclient = 0;
    int exchDbPlainClient = 0, exchDbPlainSubclient = 0;
    // Lotus Notes (application type 59), upgraded.
    int notesClient = 0, notesBackupSet = 0, notesSubclient = 0;
    // Mailboxes: an upgraded mailbox client with a subclient of type 54, one of type 56 and one of type
    // 137; the owner's mailbox delegated (its "Inbox") to the delegate; the stranger has a mailbox too.
    int mailboxClient = 0, mailboxBackupSet = 0, mailboxSubclient = 0, mailbox56Subclient = 0,
        monorunSubclient = 0;
    int ownerUser = 0, delegateUser = 0, strangerUser = 0;
    std::string ownerGuid, delegateGuid, strangerGuid;
    std::string ownerTriplet;  // parts separated by 0x12
    long long quotaLimit = 0;  // of the mailbox subclient; the 137 subclient has none
    long long ownerMailboxSize = 0;
    // OneDrive (application type 134, provider 7): a client indexed on V2 and one on V1, a user with an
    // e-mail address and an object id, and one without an e-mail address.
    int oneDriveV2Client = 0, oneDriveV1Client = 0, oneDriveV2Instance = 0, oneDriveV1Instance = 0;
    int oneDriveV2BackupSet = 0, oneDriveV1BackupSet = 0, oneDriveV2Subclient = 0, oneDriveV1Subclient = 0;
    int oneDriveUser = 0, oneDriveUserWithoutEmail = 0;
    std::string oneDriveEmail, oneDriveObjectId;
    // Live machine browse: a Windows machine that needs a proxy (the Windows proxy) and has two user
    // profiles, a Linux machine that needs none, and a Windows machine with no profile; each with a
    // backup set whose index database is on the given index server.
    int windowsMachine = 0, linuxMachine = 0, noProfileMachine = 0, windowsProxy = 0;
    int windowsBackupSet = 0, linuxBackupSet = 0, noProfileBackupSet = 0;
    int windowsOsId = 200, linuxOsId = 301;
    std::string firstProfile, secondProfile;
    std::string linuxUserName;  // the live-browse user configured for the Linux machine
};

class AppBrowseSeed : public hubdb::SeedPart {
public:
    explicit AppBrowseSeed(hubdb::HubDbSeed& seed) : SeedPart(seed) {}

    // The client's agent was upgraded at `time` (its upgrade record).
    int setClientUpgradeTime(int clientId, long long time);
    // A store of an Exchange database subclient: a property of type 112 current from `created`, and its
    // size unless `size` is negative (a store whose size cannot be read).
    int addExchangeStore(int subclientId, const std::string& description, const std::string& storeName,
                         long long size, long long created = 0);
    int addMailbox(const MailboxEntrySeed& mailbox);
    // A delegation of `folder` ("\" the whole mailbox) of a mailbox to a user (or, with user 0, to the
    // resource-domain user of `delegateGuid`).
    int addMailboxDelegate(const std::string& mailboxGuid, int delegateUserId,
                           const std::string& delegateGuid, const std::string& folder);
    // A Windows user profile of a machine, after those added before.
    int addUserProfile(int clientId, const std::string& profileName);
    // The live-browse configuration of a machine for a user (0: every user).
    int addLiveBrowseConfig(int clientId, int userId, bool proxyRequired, int proxyClientId,
                            const std::string& userName = "");

    AppBrowseWorld addAppBrowseWorld(int storagePolicyId, int indexServerClientId, long long firstBackupTime);

private:
    int subclientOf(int clientId, int appType, int backupSetId, const std::string& name, int storagePolicyId);
};

}  // namespace zyent
