// Index administration (index-backup pseudo-clients of media agents, schedules, checkpoints, user
// quotas) and the index-server node list.
#include <map>
#include <string>
#include <vector>

#include "Db/Proc/DM2GetIndexServers.h"
#include "platform/db/dbresult.h"
#include "platform/hubdb/familiesb_procs.h"
#include "platform/hubdb/hubsql.h"
#include "platform/hubdb/procsupport.h"

using zydb::DbValue;

namespace hubdb {

namespace {

// Flags of IdxGetMAWithoutIndexSubClient rows: what the administration thread is to do.
enum IndexClientAction : int {
    kCreateIndexClient = 0,
    kDeleteOrphanIndexClient = 1,
    kDeleteOldIndexSubclient = 2,
    kDisableIndexBackup = 3,
    kRenameIndexClient = 4,
    kDeleteBrokenIndexClient = 5,
    kReassignStoragePolicy = 6,
};

struct MediaAgentConfig {
    std::string name;
    bool clientExists = false;
    int archGroupId = 0;
    bool backupEnabled = true;
    bool hasIndexClient = false;
};

struct IndexSubclient {
    int id = 0;
    int archGroupId = 0;
    bool backupDisabled = false;
};

std::vector<DbValue> actionRow(int id, const std::string& name, int flag, int archGroupId) {
    return {DbValue::ofInt(id), DbValue::ofText(name), DbValue::ofInt(flag), DbValue::ofInt(archGroupId)};
}

// Runs one UPDATE as the whole work of a maintenance procedure.
int runMaintenance(zydb::CProcCall& call, const std::string& sql, const std::vector<DbValue>& params) {
    int rc = zydb::execBound(call.connection(), sql, params);
    return rc == zydb::DB_OK ? zydb::DB_OK : procFailure(call, rc);
}

}  // namespace

// IdxGetMAWithoutIndexSubClient(kind, mediaAgent): the actions that bring the index-backup
// pseudo-clients (kind 2; another kind has none) of the media agents (mediaAgent 0: all) in line
// with IdxMABackupConfig. Per index client, in media-agent order: its media agent is no longer
// configured or gone -> 1 (delete it); it has no IndexBackup subclient -> 5 (delete it, to be made
// anew); else its name is not indexClientName(media agent's) -> 4 (rename); each older index subclient -> 2
// (delete); the newest one's storage policy differs from the configured one -> 6 (reassign); backups
// are not allowed and not yet disabled -> 3 (disable). Then a configured media agent with a storage
// policy and no index client -> 0 (create). Ids are the index client's for 1, 4 and 5, the index
// subclient's for 2, 3 and 6, and the media agent's for 0. The name is the index client's own for 1 and
// 5, else the one it is to bear.
int idxGetMAWithoutIndexSubClientProc(zydb::CProcCall& call) {
    if (call.argInt(0) != kIndexBackupClientKind) return zydb::DB_OK;
    const long long only = call.argInt(1);
    zydb::IDbConnection& conn = call.connection();

    std::map<int, MediaAgentConfig> agents;
    int rc = forEachRow(
        conn,
        "SELECT m.maClientId, IFNULL(c.name, ''), c.id IS NOT NULL, m.archGroupId, m.backupEnabled "
        "FROM IdxMABackupConfig m LEFT JOIN APP_Client c ON c.id = m.maClientId "
        "WHERE ? = 0 OR m.maClientId = ?",
        {DbValue::ofInt(only), DbValue::ofInt(only)}, [&](const zydb::IDbRow& r) {
            MediaAgentConfig& a = agents[static_cast<int>(r.columnInt64(0))];
            a.name = std::string(r.columnText(1));
            a.clientExists = r.columnInt64(2) != 0;
            a.archGroupId = static_cast<int>(r.columnInt64(3));
            a.backupEnabled = r.columnInt64(4) != 0;
            return zydb::DB_OK;
        });
    if (rc != zydb::DB_OK) return procFailure(call, rc);

    struct IndexClient {
        int id;
        int maClientId;
        std::string name;
    };
    std::vector<IndexClient> clients;
    rc = forEachRow(conn,
                    "SELECT x.indexClientId, x.maClientId, c.name FROM IdxIndexClient x "
                    "JOIN APP_Client c ON c.id = x.indexClientId WHERE ? = 0 OR x.maClientId = ? "
                    "ORDER BY x.maClientId, x.indexClientId",
                    {DbValue::ofInt(only), DbValue::ofInt(only)}, [&](const zydb::IDbRow& r) {
                        clients.push_back({static_cast<int>(r.columnInt64(0)),
                                           static_cast<int>(r.columnInt64(1)), std::string(r.columnText(2))});
                        return zydb::DB_OK;
                    });
    if (rc != zydb::DB_OK) return procFailure(call, rc);

    const std::string disabledProperty = activityControlProperty(kBackupActivity);
    for (const IndexClient& ic : clients) {
        auto agent = agents.find(ic.maClientId);
        if (agent == agents.end() || !agent->second.clientExists || agent->second.hasIndexClient) {
            call.addRow(actionRow(ic.id, ic.name, kDeleteOrphanIndexClient, 0));
            continue;
        }
        MediaAgentConfig& ma = agent->second;
        ma.hasIndexClient = true;
        std::vector<IndexSubclient> subclients;
        rc = forEachRow(
            conn,
            "SELECT a.id, a.dataArchGrpID, EXISTS (SELECT 1 FROM APP_SubClientProp d WHERE "
            "d.componentNameId = a.id AND d.attrName = ? AND d.modified = 0 AND d.attrVal = '1') "
            "FROM APP_Application a WHERE a.clientId = ? AND EXISTS (SELECT 1 FROM APP_SubClientProp p "
            "WHERE p.componentNameId = a.id AND p.attrName = ? AND p.modified = 0 AND p.attrVal <> '0') "
            "ORDER BY a.id",
            {DbValue::ofText(disabledProperty), DbValue::ofInt(ic.id),
             DbValue::ofText(kIndexSubclientProperty)},
            [&](const zydb::IDbRow& r) {
                subclients.push_back({static_cast<int>(r.columnInt64(0)), static_cast<int>(r.columnInt64(1)),
                                      r.columnInt64(2) != 0});
                return zydb::DB_OK;
            });
        if (rc != zydb::DB_OK) return procFailure(call, rc);
        if (subclients.empty()) {
            call.addRow(actionRow(ic.id, ic.name, kDeleteBrokenIndexClient, ma.archGroupId));
            continue;
        }
        const std::string name = indexClientName(ma.name);
        if (ic.name != name) call.addRow(actionRow(ic.id, name, kRenameIndexClient, ma.archGroupId));
        for (size_t k = 0; k + 1 < subclients.size(); ++k)
            call.addRow(actionRow(subclients[k].id, name, kDeleteOldIndexSubclient, ma.archGroupId));
        const IndexSubclient& current = subclients.back();
        if (ma.archGroupId > 0 && current.archGroupId != ma.archGroupId)
            call.addRow(actionRow(current.id, name, kReassignStoragePolicy, ma.archGroupId));
        if (!ma.backupEnabled && !current.backupDisabled)
            call.addRow(actionRow(current.id, name, kDisableIndexBackup, ma.archGroupId));
    }
    for (const auto& [maClientId, ma] : agents)
        if (ma.clientExists && !ma.hasIndexClient && ma.archGroupId > 0)
            call.addRow(actionRow(maClientId, indexClientName(ma.name), kCreateIndexClient, ma.archGroupId));
    return zydb::DB_OK;
}

// APPSetActivityControlSubClientProp(activityType, disable, subclient, -, -, -): writes the versioned
// subclient property "Disable Activity <type>": "1" when disable is non-zero, else "0". An unknown
// subclient or a type below 1 is refused. Arguments 4 to 6 do not change what is written.
int appSetActivityControlSubClientPropProc(zydb::CProcCall& call) {
    const int activityType = static_cast<int>(call.argInt(0));
    if (activityType < 1)
        return procRefusal(call, "activity type " + std::to_string(activityType) + " is not valid");
    return writeSubclientProperty(call, static_cast<int>(call.argInt(2)),
                                  activityControlProperty(activityType), call.argInt(1) != 0 ? "1" : "0");
}

// TM_AddEntityToTask(subclient, -, -, -, -, task, -, -, -, flags): associates the subclient with the
// schedule task (task 0: the default schedule, TM_Task.isDefault) with the given flags; an existing
// association is left as it is. An unknown subclient, an unknown task or no default schedule is
// refused. Arguments 2 to 5 and 7 to 9 name entity levels this database does not schedule.
int tmAddEntityToTaskProc(zydb::CProcCall& call) {
    const int subclientId = static_cast<int>(call.argInt(0));
    const int taskArg = static_cast<int>(call.argInt(5));
    const int flags = static_cast<int>(call.argInt(9));
    zydb::IDbConnection& conn = call.connection();

    std::vector<DbValue> subclient, task;
    int rc = queryFirstRow(conn, "SELECT clientId FROM APP_Application WHERE id = ?",
                           {DbValue::ofInt(subclientId)}, subclient);
    if (rc == zydb::DB_NO_DATA) return procRefusal(call, "no subclient " + std::to_string(subclientId));
    if (rc != zydb::DB_OK) return procFailure(call, rc);
    rc = taskArg > 0
             ? queryFirstRow(conn, "SELECT taskId FROM TM_Task WHERE taskId = ?", {DbValue::ofInt(taskArg)},
                             task)
             : queryFirstRow(conn, "SELECT taskId FROM TM_Task WHERE isDefault = 1 ORDER BY taskId LIMIT 1",
                             {}, task);
    if (rc == zydb::DB_NO_DATA)
        return procRefusal(
            call, taskArg > 0 ? "no schedule task " + std::to_string(taskArg) : "no default schedule task");
    if (rc != zydb::DB_OK) return procFailure(call, rc);
    return runMaintenance(
        call,
        "INSERT INTO TM_TaskEntity (taskId, appId, clientId, flags) SELECT ?, ?, ?, ? WHERE NOT EXISTS "
        "(SELECT 1 FROM TM_TaskEntity WHERE taskId = ? AND appId = ?)",
        {task[0], DbValue::ofInt(subclientId), subclient[0], DbValue::ofInt(flags), task[0],
         DbValue::ofInt(subclientId)});
}

// SetRetentionForAutomaticSchedule(): every automatic schedule runs at the frequency (minutes) of the
// current global parameter IndexBackupScheduleFrequencyMins, once a day when it is not set.
int setRetentionForAutomaticScheduleProc(zydb::CProcCall& call) {
    long long minutes = 0;
    int rc =
        globalParamNumber(call.connection(), kScheduleFrequencyParam, kDefaultScheduleFrequencyMins, minutes);
    if (rc != zydb::DB_OK) return procFailure(call, rc);
    return runMaintenance(call,
                          "UPDATE TM_Task SET frequencyMins = ? WHERE isAutomatic = 1 AND frequencyMins <> ?",
                          {DbValue::ofInt(minutes), DbValue::ofInt(minutes)});
}

// SetFullConsolidationForAutomaticSchedule(): an automatic schedule whose last full consolidation is
// at least IndexBackupFullConsolidationDays old (global parameter, 30 days when not set) is flagged
// to run one; the flag is cleared by the backup that runs it, not here.
int setFullConsolidationForAutomaticScheduleProc(zydb::CProcCall& call) {
    long long days = 0;
    int rc = globalParamNumber(call.connection(), kFullConsolidationDaysParam, kDefaultFullConsolidationDays,
                               days);
    if (rc != zydb::DB_OK) return procFailure(call, rc);
    return runMaintenance(
        call,
        "UPDATE TM_Task SET runFullConsolidation = 1 WHERE isAutomatic = 1 AND runFullConsolidation = 0 "
        "AND lastFullConsolidation <= ?",
        {DbValue::ofInt(nowSeconds() - days * 86400)});
}

// AppIdxUpdatePrunedCheckpointValidity(): a valid index checkpoint whose archive file is no longer
// valid, or has no valid copy left that is not aged, becomes invalid.
int appIdxUpdatePrunedCheckpointValidityProc(zydb::CProcCall& call) {
    return runMaintenance(
        call,
        "UPDATE App_IndexCheckpointInfo SET isValid = 0 WHERE isValid = 1 AND NOT EXISTS (SELECT 1 "
        "FROM archFile f WHERE f.id = App_IndexCheckpointInfo.archFileId AND f.kelmarchId = "
        "App_IndexCheckpointInfo.kelmarchId AND f.isValid = 1 AND EXISTS (SELECT 1 FROM archFileCopy c "
        "WHERE c.archFileId = f.id AND c.kelmarchId = f.kelmarchId AND c.isValid = 1 AND c.agedBy = 0))",
        {});
}

// UpdateUserPropForQuota(user, value): sets the versioned user property "recomputeQuota" to the value
// for the user whose login or name is given, or for every user when the text is empty. An unknown
// user is refused; all users change together or none.
int updateUserPropForQuotaProc(zydb::CProcCall& call) {
    const std::string user = call.argText(0);
    const std::string value = std::to_string(call.argInt(1));
    zydb::IDbConnection& conn = call.connection();
    std::vector<int> users;
    int rc = forEachRow(conn, "SELECT id FROM UMUsers WHERE ? = '' OR login = ? OR name = ? ORDER BY id",
                        {DbValue::ofText(user), DbValue::ofText(user), DbValue::ofText(user)},
                        [&](const zydb::IDbRow& r) {
                            users.push_back(static_cast<int>(r.columnInt64(0)));
                            return zydb::DB_OK;
                        });
    if (rc != zydb::DB_OK) return procFailure(call, rc);
    if (users.empty() && !user.empty()) return procRefusal(call, "no user named [" + user + "]");
    ProcWriteScope scope(conn);
    if ((rc = scope.begin()) != zydb::DB_OK) return procFailure(call, rc);
    const long long now = nowSeconds();
    for (int id : users)
        if ((rc = setVersionedProperty(conn, "UMUsersProp", id, kRecomputeQuotaProperty, 0, value, now)) !=
            zydb::DB_OK)
            return procFailure(call, rc);
    if ((rc = scope.commit()) != zydb::DB_OK) return procFailure(call, rc);
    return zydb::DB_OK;
}

// DM2GetIndexServers(kind, indexServer, cloud, node, enabledOnly, -, -): the nodes of the index
// server whose pseudo-client (or, for a single machine, own client) is `indexServer`, of that kind
// (letter case ignored; empty: any), in node order: cloud and node narrow it when above 0, and
// enabledOnly = 1 leaves disabled nodes out. Arguments 6 and 7 do not change the selection.
int dm2GetIndexServersProc(zydb::CProcCall& call) {
    const std::string kind = call.argText(0);
    const long long indexServer = call.argInt(1);
    const long long cloud = call.argInt(2);
    const long long node = call.argInt(3);
    const long long enabledOnly = call.argInt(4) == 1 ? 1 : 0;
    int rc = forEachRow(
        call.connection(),
        "SELECT d.cloudName, n.clientId, c.name, d.cloudId, c.net_hostname, n.basePort, n.engineName, "
        "d.serverType, "
        "d.indexServerClientId, d.internalCloudName FROM DM2Cloud d JOIN DM2CloudNode n ON n.cloudId = "
        "d.cloudId "
        "JOIN APP_Client c ON c.id = n.clientId WHERE d.indexServerClientId = ? AND (? = '' OR d.kindName = "
        "?) "
        "AND (? <= 0 OR d.cloudId = ?) AND (? <= 0 OR n.clientId = ?) AND (? = 0 OR n.enabled = 1) "
        "ORDER BY d.cloudId, n.nodeOrder, n.clientId",
        {DbValue::ofInt(indexServer), DbValue::ofText(kind), DbValue::ofText(kind), DbValue::ofInt(cloud),
         DbValue::ofInt(cloud), DbValue::ofInt(node), DbValue::ofInt(node), DbValue::ofInt(enabledOnly)},
        [&](const zydb::IDbRow& r) {
            call.addRow(rowAs<DM2GetIndexServers_t>(r));
            return zydb::DB_OK;
        });
    return rc == zydb::DB_OK ? zydb::DB_OK : procFailure(call, rc);
}

}  // namespace hubdb
