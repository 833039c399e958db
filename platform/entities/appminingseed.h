// AppMiningSeed: the rows application mining reads, added to a database through a HubDbSeed: an
// Exchange database client whose subclients hold their databases as type-112 properties (one of them
// only until a cut-over), a cycle of backup jobs of mixed status with their Exchange database status
// XML (with their archive files when a storage policy is given), an Active Directory agent, a mailbox's
// associations, an Exchange index server, a media agent to mine on, and SharePoint farms (pseudo-clients)
// with none, two and a duplicated primary member server, with the administrator account of their agents. Used
// by the seed's one thread.
//
//   hubdb::HubDbSeed seed(path);
//   zyent::TAppMiningWorld mining;
//   zyent::AppMiningSeed(seed).build(mining, {.memberPort = port});
#pragma once

#include <string>
#include <vector>

#include "platform/hubdb/hubdbseed.h"

namespace zyent {

struct TAppMiningOptions {
    int memberPort = 0;        // listener port of the SharePoint servers, the media agent and the index node
    std::string memberHost{};  // their network host name (empty: the client name)
    long long baseTime = 1700000000;  // start of the first backup job
    int userId = 0;                   // owner of the mailbox associations (0: none)
    // A storage policy the Exchange database and SharePoint subclients back up to (0: none): their
    // jobs then have archive files on it, so that its media agent holds their items.
    int storagePolicyId = 0;
};

struct TAppMiningWorld {
    // Exchange database agent (application type 53).
    int exchangeClient = 0;
    int exchangeBackupSet = 0;
    int dbSubclientFirst = 0;   // "Mailbox Database A", and "Mailbox Database C" until cutoverTime
    int dbSubclientSecond = 0;  // "Mailbox Database A" and "Mailbox Database B"
    long long cutoverTime = 0;
    // Jobs of dbSubclientFirst's cycle in time order (ids are not in time order).
    int jobFull = 0;           // status 1; the database with status 5
    int jobTwice = 0;          // status 3; the database listed twice, once with status 5
    int jobFailed = 0;         // status 2
    int jobOtherStatus = 0;    // status 1; the database with status 3
    int jobNoXml = 0;          // status 1; no status XML
    int jobUnknown = 0;        // no status the job manager knows; no status XML
    int jobBadXml = 0;         // status 1; a status text that is no XML
    long long lastJobEnd = 0;  // end of the latest job (jobBadXml)
    // Active Directory: a backup set whose "default" subclient is a Windows file-system subclient,
    // and one whose "default" is of another type.
    int adBackupSet = 0;
    int adSubclient = 0;
    int adBackupSetWrongType = 0;
    // Exchange mailbox backup (137) with one mailbox's associations.
    int monorunSubclient = 0;
    std::string mailboxGuid;
    long long mailboxCreated = 0;  // the earliest association
    // The Exchange index server (a pseudo-client) and its first node.
    int indexServer = 0;
    int indexNode = 0;
    // The media agent mining runs on.
    int miningMediaAgent = 0;
    std::string miningMediaAgentName;
    // SharePoint: member servers, the farms (special flag 0x2) and a plain SharePoint client.
    int spPrimary = 0;
    int spMember1 = 0;
    int spMember2 = 0;
    int farmAlone = 0;        // primary only, no member rows
    int farmWithMembers = 0;  // primary; members spMember1, spMember2
    int farmDuplicate = 0;    // primary; members spPrimary (again) and spMember1
    int farmNoPrimary = 0;    // flag set, nothing recorded
    int spPlain = 0;          // not a pseudo-client; its agent has a stored account
    int spSubclient = 0;      // spPlain's SharePoint subclient, backed up with the storage policy (or 0)
    std::string spUser;       // the stored account of spPlain's and spPrimary's agents
    std::string spPassword;
};

class AppMiningSeed : public hubdb::SeedPart {
public:
    static constexpr const char* kExchangeDbProperty = "Exchange Database";
    static constexpr int kExchangeDbPropertyType = 112;
    static constexpr int kExchangeStatusOption = 28;

    explicit AppMiningSeed(hubdb::HubDbSeed& seed) : SeedPart(seed) {}

    // Adds the whole world; false (the reason in error()) when a row could not be added.
    bool build(TAppMiningWorld& world, const TAppMiningOptions& options = {});

    // The Exchange database status XML of a job (JobManager::ExchDbJobInfo), one entry per pair.
    static std::string exchangeStatusXml(const std::vector<std::pair<std::string, int>>& databases);
    // A job's miscellaneous option.
    int addMiscOption(int jobId, int optionId, const std::string& text);

private:
    int addClient(const std::string& name, int port, unsigned long specialFlags = 0,
                  const std::string& host = "");
    int addJob(int appId, long long start, int status);
    // The job's data and index files on the subclient's storage policy, when the world has one.
    bool addJobFiles(int appId, int jobId, long long start, int level);
    int addAgentAccount(int clientId, int appType, const std::string& user, const std::string& password);
    bool exchange(TAppMiningWorld& w, const TAppMiningOptions& o);
    bool activeDirectory(TAppMiningWorld& w);
    bool mailboxes(TAppMiningWorld& w, const TAppMiningOptions& o);
    bool sharePoint(TAppMiningWorld& w, const TAppMiningOptions& o);

    int m_storagePolicyId = 0;  // of the world being built
};

}  // namespace zyent
