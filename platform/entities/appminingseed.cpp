#include "platform/entities/appminingseed.h"

#include "platform/entities/apptypes.h"
#include "platform/entities/entityseed.h"
#include "platform/entities/sharepointfarm.h"
#include "platform/msg/msg_classes.h"
#include "platform/msg/password_cipher.h"

using namespace hubdb::seedvalues;

namespace zyent {

namespace {
constexpr long long kHour = 3600;
}  // namespace

std::string AppMiningSeed::exchangeStatusXml(const std::vector<std::pair<std::string, int>>& databases) {
    JobManager::ExchDbJobInfo info;
    std::vector<CNMessageBase> tabs;
    for (const auto& [name, status] : databases) {
        JobManager::ExchDbStatusTab tab;
        tab.setstring(JobManager::ExchDbStatusTab::f::dbName, name);
        tab.setint64(JobManager::ExchDbStatusTab::f::status, status);
        tabs.push_back(tab);
    }
    info.setlistobject(JobManager::ExchDbJobInfo::f::statusTabs, tabs);
    return messageXml(info);
}

int AppMiningSeed::addMiscOption(int jobId, int optionId, const std::string& text) {
    m_seed.insertRow("JMMiscOptions", {{"jobId", I(jobId)},
                                       {"kelmarchId", I(hubdb::kDefaultKelmarchId)},
                                       {"optionId", I(optionId)},
                                       {"numVal", I(0)},
                                       {"flags", I(0)},
                                       {"stringVal", T(text)}});
    return m_seed.ok() ? 0 : fail("misc option of job " + std::to_string(jobId));
}

int AppMiningSeed::addClient(const std::string& name, int port, unsigned long specialFlags,
                             const std::string& host) {
    const int id = checked(m_seed.addClient({.name = name, .hostName = host, .zydPort = port}));
    if (id > 0 && specialFlags != 0 &&
        m_seed.exec("UPDATE APP_Client SET specialClientFlags = ? WHERE id = ?",
                    {I(static_cast<long long>(specialFlags)), I(id)}) != 0)
        return fail("special flags of client " + name);
    return id;
}

int AppMiningSeed::addJob(int appId, long long start, int status) {
    const int job = checked(m_seed.addJob({.appId = appId,
                                           .level = 2,
                                           .startTime = static_cast<int>(start),
                                           .endTime = static_cast<int>(start + 600),
                                           .status = status}));
    return job > 0 && !addJobFiles(appId, job, start, 2) ? -1 : job;
}

bool AppMiningSeed::addJobFiles(int appId, int jobId, long long start, int level) {
    if (m_storagePolicyId <= 0) return true;
    for (int fileType : {1, 2})
        if (checked(m_seed.addArchFile({.appId = appId,
                                        .jobId = jobId,
                                        .fileType = fileType,
                                        .cTime = static_cast<int>(start) + fileType,
                                        .backupLevel = level,
                                        .physicalSize = 2000,
                                        .logicalSize = 8000})) < 0)
            return false;
    return true;
}

int AppMiningSeed::addAgentAccount(int clientId, int appType, const std::string& user,
                                   const std::string& password) {
    const int agent =
        checked(m_seed.insertRow("APP_IDAName", {{"clientId", I(clientId)}, {"appTypeId", I(appType)}}));
    if (agent < 0) return -1;
    if (checked(m_seed.addProperty("APP_IDAProp", {.ownerId = agent,
                                                   .name = ApplicationTypeSharePointV2Doc::kUserNameProperty,
                                                   .value = user})) < 0)
        return -1;
    if (password.empty()) return agent;
    return checked(
               m_seed.addProperty("APP_IDAProp", {.ownerId = agent,
                                                  .name = ApplicationTypeSharePointV2Doc::kPasswordProperty,
                                                  .value = msgEncipherSecret(password)})) < 0
               ? -1
               : agent;
}

bool AppMiningSeed::exchange(TAppMiningWorld& w, const TAppMiningOptions& o) {
    // Not "exchdb1": the application-browse world, beside which the demo seeds this one, has that.
    w.exchangeClient = addClient("exchmine1", 0);
    w.exchangeBackupSet = checked(m_seed.addBackupSet("exchangeDbSet"));
    w.dbSubclientFirst = checked(m_seed.addSubclient({.clientId = w.exchangeClient,
                                                      .appTypeId = apptype::code(apptype::kExchangeDatabase),
                                                      .backupSetId = w.exchangeBackupSet,
                                                      .storagePolicyId = o.storagePolicyId}));
    w.dbSubclientSecond = checked(m_seed.addSubclient({.clientId = w.exchangeClient,
                                                       .appTypeId = apptype::code(apptype::kExchangeDatabase),
                                                       .backupSetId = w.exchangeBackupSet,
                                                       .name = "second",
                                                       .storagePolicyId = o.storagePolicyId}));
    if (!ok()) return false;
    w.cutoverTime = o.baseTime + 100 * kHour;
    const auto db = [&](int subclient, const std::string& name, long long created, long long modified) {
        return checked(m_seed.addSubclientProperty(subclient, kExchangeDbProperty + (" " + name),
                                                   "Mailbox Database " + name, created, modified,
                                                   kExchangeDbPropertyType)) >= 0;
    };
    if (!db(w.dbSubclientFirst, "A", 1, 0) || !db(w.dbSubclientFirst, "C", 1, w.cutoverTime) ||
        !db(w.dbSubclientSecond, "A", 1, 0) || !db(w.dbSubclientSecond, "B", 1, 0))
        return false;
    // A property of another type naming a database does not count.
    if (checked(m_seed.addSubclientProperty(w.dbSubclientSecond, "Display", "Mailbox Database D", 1, 0, 1)) <
        0)
        return false;

    // The cycle: ids are given out of time order, so that the procedure's order is not the ids'.
    const long long t = o.baseTime;
    // Recorded under another Kelmarch: the job manager knows no status for it.
    w.jobUnknown = checked(m_seed.addJob({.appId = w.dbSubclientFirst,
                                          .level = 2,
                                          .startTime = static_cast<int>(t + 5 * kHour),
                                          .endTime = static_cast<int>(t + 5 * kHour + 600),
                                          .status = 1,
                                          .kelmarchId = hubdb::kDefaultKelmarchId + 1}));
    w.jobFull = checked(m_seed.addJob({.appId = w.dbSubclientFirst,
                                       .level = 1,
                                       .startTime = static_cast<int>(t),
                                       .endTime = static_cast<int>(t + 600),
                                       .status = 1}));
    if (w.jobFull > 0 && !addJobFiles(w.dbSubclientFirst, w.jobFull, t, 1)) return false;
    w.jobTwice = addJob(w.dbSubclientFirst, t + kHour, 3);
    w.jobFailed = addJob(w.dbSubclientFirst, t + 2 * kHour, 2);
    w.jobOtherStatus = addJob(w.dbSubclientFirst, t + 3 * kHour, 1);
    w.jobNoXml = addJob(w.dbSubclientFirst, t + 4 * kHour, 1);
    w.jobBadXml = addJob(w.dbSubclientFirst, t + 6 * kHour, 1);
    w.lastJobEnd = t + 6 * kHour + 600;
    if (!ok()) return false;
    const std::string a = "Mailbox Database A";
    return addMiscOption(w.jobFull, kExchangeStatusOption, exchangeStatusXml({{a, 5}})) == 0 &&
           addMiscOption(w.jobTwice, kExchangeStatusOption,
                         exchangeStatusXml({{"mailbox database a", 3}, {"MAILBOX DATABASE A", 5}})) == 0 &&
           addMiscOption(w.jobFailed, kExchangeStatusOption, exchangeStatusXml({{a, 5}})) == 0 &&
           addMiscOption(w.jobOtherStatus, kExchangeStatusOption,
                         exchangeStatusXml({{a, 3}, {"Mailbox Database B", 5}})) == 0 &&
           addMiscOption(w.jobBadXml, kExchangeStatusOption, "<not an answer") == 0;
}

bool AppMiningSeed::activeDirectory(TAppMiningWorld& w) {
    w.adBackupSet = checked(m_seed.addBackupSet("adSet"));
    w.adSubclient = checked(m_seed.addSubclient({.clientId = w.exchangeClient,
                                                 .appTypeId = apptype::code(apptype::kWindowsFileSystem),
                                                 .backupSetId = w.adBackupSet}));
    w.adBackupSetWrongType = checked(m_seed.addBackupSet("adSetOther"));
    checked(m_seed.addSubclient({.clientId = w.exchangeClient,
                                 .appTypeId = apptype::code(apptype::kActiveDirectory),
                                 .backupSetId = w.adBackupSetWrongType}));
    return ok();
}

bool AppMiningSeed::mailboxes(TAppMiningWorld& w, const TAppMiningOptions& o) {
    const int set = checked(m_seed.addBackupSet("mailboxSet"));
    w.monorunSubclient = checked(m_seed.addSubclient({.clientId = w.exchangeClient,
                                                      .appTypeId = apptype::code(apptype::kExchangeMonorun),
                                                      .backupSetId = set}));
    if (!ok()) return false;
    w.mailboxGuid = "6f1c2d3e-4a5b-4c6d-8e7f-001122334455";
    w.mailboxCreated = o.baseTime - 30 * 24 * kHour;
    // Associations of the mailbox (the earliest counts), and of another subclient that does not.
    const struct {
        int subclient;
        long long created;
    } rows[] = {{w.monorunSubclient, w.mailboxCreated + 7200},
                {w.monorunSubclient, w.mailboxCreated},
                {w.dbSubclientFirst, w.mailboxCreated - 7200}};
    for (const auto& r : rows) {
        std::vector<std::pair<std::string, zydb::DbValue>> columns = {{"userGuid", T(w.mailboxGuid)},
                                                                      {"displayName", T("mailbox one")},
                                                                      {"clientId", I(w.exchangeClient)},
                                                                      {"backupsetId", I(set)},
                                                                      {"subClientId", I(r.subclient)},
                                                                      {"created", I(r.created)},
                                                                      {"modified", I(0)}};
        if (o.userId > 0) columns.push_back({"ownerId", I(o.userId)});
        if (checked(m_seed.insertRow("APP_EmailConfigPolicyAssoc", columns)) < 0) return false;
    }
    // The Exchange index server: a pseudo-client whose first node does the work.
    w.indexServer = addClient("exchidx", 0);
    w.indexNode = addClient("exchidxnode1", o.memberPort, 0, o.memberHost);
    const int otherNode = addClient("exchidxnode2", o.memberPort, 0, o.memberHost);
    if (!ok()) return false;
    const int cloud = checked(m_seed.insertRow("DM2Cloud", {{"indexServerClientId", I(w.indexServer)},
                                                            {"kindName", T("Exchange Index")},
                                                            {"cloudName", T("exchange index")},
                                                            {"internalCloudName", T("exidx")},
                                                            {"serverType", I(1)}}));
    if (cloud < 0) return false;
    const struct {
        int node;
        int order;
    } nodes[] = {{otherNode, 2}, {w.indexNode, 1}};
    for (const auto& n : nodes)
        if (m_seed.exec(
                "INSERT INTO DM2CloudNode (cloudId, clientId, nodeOrder, basePort, engineName, enabled) "
                "VALUES (?, ?, ?, 20000, 'engine', 1)",
                {I(cloud), I(n.node), I(n.order)}) != 0)
            return fail("index server node") >= 0;
    return true;
}

bool AppMiningSeed::sharePoint(TAppMiningWorld& w, const TAppMiningOptions& o) {
    EntitySeed entities(m_seed);
    w.miningMediaAgentName = "miningma";
    w.miningMediaAgent = addClient(w.miningMediaAgentName, o.memberPort, 0, o.memberHost);
    w.spPrimary = addClient("spserver1", o.memberPort, 0, o.memberHost);
    w.spMember1 = addClient("spserver2", o.memberPort, 0, o.memberHost);
    w.spMember2 = addClient("spserver3", o.memberPort, 0, o.memberHost);
    w.farmAlone = addClient("spfarmalone", 0, kSpecialClientPseudoClient);
    w.farmWithMembers = addClient("spfarm", 0, kSpecialClientPseudoClient);
    w.farmDuplicate = addClient("spfarmdup", 0, kSpecialClientPseudoClient);
    w.farmNoPrimary = addClient("spfarmempty", 0, kSpecialClientPseudoClient);
    w.spPlain = addClient("spplain", o.memberPort, 0, o.memberHost);
    if (!ok()) return false;
    for (int farm : {w.farmAlone, w.farmWithMembers, w.farmDuplicate})
        if (entities.addClientProperty(farm, "SharePoint Primary Member Server", std::to_string(w.spPrimary),
                                       1) < 0)
            return fail(entities.error()) >= 0;
    const struct {
        int farm;
        int member;
        bool primary;
    } members[] = {{w.farmWithMembers, w.spMember1, false},
                   {w.farmWithMembers, w.spMember2, false},
                   {w.farmDuplicate, w.spPrimary, true},
                   {w.farmDuplicate, w.spMember1, false}};
    for (const auto& m : members)
        if (entities.addSharePointMemberServer(m.farm, m.member, m.primary) < 0)
            return fail(entities.error()) >= 0;
    w.spUser = "CORP\\spadmin";
    w.spPassword = "sp-secret-1";
    if (o.storagePolicyId > 0) {
        // The plain SharePoint client's site backups: a full and an incremental.
        const int set = checked(m_seed.addBackupSet("sharePointSet"));
        w.spSubclient = checked(m_seed.addSubclient({.clientId = w.spPlain,
                                                     .appTypeId = apptype::code(apptype::kSharePoint),
                                                     .backupSetId = set,
                                                     .storagePolicyId = o.storagePolicyId}));
        if (!ok()) return false;
        for (int level : {1, 2})
            if (m_seed.addBackup(w.spSubclient, level, static_cast<int>(o.baseTime + level * 2 * kHour))
                    .jobId < 0)
                return fail("SharePoint backups") >= 0;
    }
    return addAgentAccount(w.spPlain, apptype::code(apptype::kSharePoint), w.spUser, w.spPassword) > 0 &&
           addAgentAccount(w.spPrimary, apptype::code(apptype::kSharePoint), w.spUser, w.spPassword) > 0;
}

bool AppMiningSeed::build(TAppMiningWorld& world, const TAppMiningOptions& options) {
    m_storagePolicyId = options.storagePolicyId;
    return exchange(world, options) && activeDirectory(world) && mailboxes(world, options) &&
           sharePoint(world, options) && ok();
}

}  // namespace zyent
