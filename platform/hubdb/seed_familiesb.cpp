// The seed-builder additions over HubDbSeed's connection and inserts.
#include "platform/hubdb/seed_familiesb.h"

#include "platform/db/dbresult.h"
#include "platform/hubdb/familiesb_procs.h"

using zydb::DbValue;

namespace hubdb {

using namespace seedvalues;

int FamiliesBSeed::insertNextId(const std::string& table, const char* idColumn,
                                std::vector<std::pair<std::string, DbValue>> columns) {
    long long id = 1 + m_seed.queryInt("SELECT MAX(" + std::string(idColumn) + ") FROM " + table);
    columns.insert(columns.begin(), {idColumn, I(id)});
    return m_seed.insertRow(table, columns) < 0 ? fail("insert into " + table) : static_cast<int>(id);
}

int FamiliesBSeed::addSnapCopy(int storagePolicyId, int precedence, int mediaAgentClientId) {
    int copy =
        m_seed.addCopy(storagePolicyId, precedence, mediaAgentClientId, "snap " + std::to_string(precedence));
    if (copy < 0 || m_seed.setSnapCopy(copy) != 0 ||
        m_seed.exec("UPDATE archGroup SET defaultSnapCopy = ? WHERE id = ?", {I(copy), I(storagePolicyId)}) !=
            zydb::DB_OK)
        return fail("snap copy");
    return copy;
}

HubDbSeed::Backup FamiliesBSeed::addSnapBackup(int appId, int time, int dataFiles) {
    HubDbSeed::Backup b = m_seed.addBackup(appId, 1, time, dataFiles, false);
    if (b.jobId < 0) {
        fail("snap backup");
        return b;
    }
    if (m_seed.exec(
            "DELETE FROM archFileCopy WHERE archFileId IN (SELECT id FROM archFile WHERE jobId = ?) AND "
            "archCopyId IN (SELECT id FROM archGroupCopy WHERE isSnapCopy = 0)",
            {I(b.jobId)}) != zydb::DB_OK)
        fail("snap backup");
    return b;
}

int FamiliesBSeed::runBackupCopy(int jobId, int precedence) {
    return m_seed.exec(
               "INSERT INTO archFileCopy (archFileId, kelmarchId, archCopyId, isValid, agedBy, mediaAgentId, "
               "physicalSize, logicalSize) SELECT f.id, f.kelmarchId, g.id, 1, 0, g.mediaAgentId, 0, 0 "
               "FROM archFile f JOIN archGroupCopy g ON g.archGroupId = f.archGroupId AND g.copy = ? "
               "WHERE f.jobId = ?",
               {I(precedence), I(jobId)}) == zydb::DB_OK
               ? 0
               : fail("backup copy");
}

int FamiliesBSeed::addVmInstance(const VirtualMachine& vm, int osId) {
    long long id = m_seed.insertRow("APP_InstanceName",
                                    {{"name", T("instance of client " + std::to_string(vm.clientId))},
                                     {"clientId", I(vm.clientId)},
                                     {"appTypeId", I(106)}});
    if (id < 0) return fail("VM instance");
    if (m_seed.exec("UPDATE APP_InstanceName SET GUID = ? WHERE id = ?",
                    {T(HubDbSeed::makeGuid(2, id)), I(id)}) != zydb::DB_OK ||
        m_seed.exec("UPDATE APP_Application SET instance = ? WHERE id = ?", {I(id), I(vm.subclientId)}) !=
            zydb::DB_OK ||
        m_seed.exec("UPDATE APP_Client SET simOperatingSystemId = ? WHERE id = ?",
                    {I(osId), I(vm.clientId)}) != zydb::DB_OK)
        return fail("VM instance");
    return static_cast<int>(id);
}

std::vector<int> FamiliesBSeed::addVmBackup(int hypervisorSubclientId, const std::vector<VirtualMachine>& vms,
                                            int time, long long vmSize, int childStatus) {
    std::vector<int> jobs;
    HubDbSeed::Backup parent = m_seed.addBackup(hypervisorSubclientId, 1, time, 1, true);
    if (parent.jobId < 0) {
        fail("hypervisor backup");
        return jobs;
    }
    jobs.push_back(parent.jobId);
    for (const VirtualMachine& vm : vms) {
        HubDbSeed::Backup child = m_seed.addBackup(vm.subclientId, 1, time + 1, 1, false);
        if (child.jobId < 0 ||
            m_seed.exec("UPDATE JMBkpStats SET totalUncompBytes = ?, status = ? WHERE jobId = ?",
                        {I(vmSize), I(childStatus), I(child.jobId)}) != zydb::DB_OK ||
            m_rows.addJobLink({.parentJobId = parent.jobId,
                               .childJobId = child.jobId,
                               .parentAppId = hypervisorSubclientId,
                               .childAppId = vm.subclientId,
                               .linkType = kVmJobLinkType,
                               .childJobStatus = childStatus}) < 0) {
            fail("virtual machine backup");
            return jobs;
        }
        jobs.push_back(child.jobId);
    }
    return jobs;
}

int FamiliesBSeed::addIndexDatabase(const IndexDatabaseSeed& db) {
    int id = insertNextId("App_IndexDBInfo", "id",
                          {{"dbName", T(db.dbName)},
                           {"type", I(db.type)},
                           {"idxDbEngineType", I(db.engineType)},
                           {"backupSetId", I(db.backupSetId)},
                           {"currentIdxServer", I(db.currentIdxServer)},
                           {"properties", TextOrNull(db.properties)},
                           {"isPrimary", I(1)},
                           {"committedTransactionId", I(db.committedTransactionId)},
                           {"archGroupId", I(db.archGroupId)},
                           {"flags", I(db.flags)}});
    if (id < 0 ||
        m_seed.exec(
            "UPDATE App_IndexDBInfo SET backupSetGUID = IFNULL((SELECT b.GUID FROM APP_BackupSetName b "
            "WHERE b.id = App_IndexDBInfo.backupSetId), '') WHERE id = ?",
            {I(id)}) != zydb::DB_OK)
        return fail("index database " + db.dbName);
    return id;
}

int FamiliesBSeed::addDocTag(const std::string& tagId, const std::string& containerGuid, int value) {
    return m_seed.insertRow(
               "DM2DocTagsValues",
               {{"TagID", T(tagId)}, {"containerGuid", T(containerGuid)}, {"TagValue", I(value)}}) < 0
               ? fail("document tag")
               : 0;
}

int FamiliesBSeed::addIndexServer(const std::string& kind, const std::string& name,
                                  const std::vector<IndexServerNodeSeed>& nodes, int serverType) {
    if (nodes.empty()) return fail("an index server needs a node");
    int server = name.empty() ? nodes.front().clientId : m_seed.addClient({.name = name});
    if (server < 0) return fail("index server client");
    const std::string cloudName = name.empty() ? "cloud of client " + std::to_string(server) : name;
    long long cloud = m_seed.insertRow("DM2Cloud", {{"indexServerClientId", I(server)},
                                                    {"kindName", T(kind)},
                                                    {"cloudName", T(cloudName)},
                                                    {"internalCloudName", T(cloudName + "_internal")},
                                                    {"serverType", I(serverType)}});
    if (cloud < 0) return fail("index server");
    int order = 0;
    for (const IndexServerNodeSeed& n : nodes)
        if (m_seed.insertRow(
                "DM2CloudNode",
                {{"cloudId", I(cloud)},
                 {"clientId", I(n.clientId)},
                 {"nodeOrder", I(++order)},
                 {"basePort", I(n.basePort)},
                 {"engineName", T(n.engineName.empty() ? "engine" + std::to_string(order) : n.engineName)},
                 {"enabled", I(n.enabled ? 1 : 0)}}) < 0)
            return fail("index server node");
    return server;
}

int FamiliesBSeed::configureIndexBackup(int mediaAgentClientId, int storagePolicyId, bool backupEnabled) {
    return m_seed.insertRow("IdxMABackupConfig", {{"maClientId", I(mediaAgentClientId)},
                                                  {"archGroupId", I(storagePolicyId)},
                                                  {"backupEnabled", I(backupEnabled ? 1 : 0)}}) < 0
               ? fail("index backup configuration")
               : 0;
}

int FamiliesBSeed::addIndexClient(int mediaAgentClientId, const std::string& name, int storagePolicyId,
                                  int* subclientId) {
    int client = m_seed.addClient({.name = name});
    if (client < 0 || m_seed.insertRow("IdxIndexClient", {{"indexClientId", I(client)},
                                                          {"maClientId", I(mediaAgentClientId)}}) < 0)
        return fail("index client " + name);
    int sc = addIndexSubclient(client, storagePolicyId);
    if (subclientId) *subclientId = sc;
    return sc < 0 ? -1 : client;
}

int FamiliesBSeed::addIndexSubclient(int indexClientId, int storagePolicyId) {
    int sc = m_seed.addSubclient(
        {.clientId = indexClientId, .name = "IndexBackup", .storagePolicyId = storagePolicyId});
    if (sc < 0 || m_seed.addSubclientProperty(sc, kIndexSubclientProperty, "1") < 0)
        return fail("index subclient");
    return sc;
}

int FamiliesBSeed::addScheduleTask(const std::string& name, bool isDefault, bool isAutomatic,
                                   int frequencyMins, long long lastFullConsolidation) {
    long long id = m_seed.insertRow("TM_Task", {{"taskName", T(name)},
                                                {"isDefault", I(isDefault ? 1 : 0)},
                                                {"isAutomatic", I(isAutomatic ? 1 : 0)},
                                                {"frequencyMins", I(frequencyMins)},
                                                {"lastFullConsolidation", I(lastFullConsolidation)}});
    return id < 0 ? fail("schedule " + name) : static_cast<int>(id);
}

int FamiliesBSeed::addCheckpoint(int backupSetId, int archFileId) {
    long long id = m_seed.insertRow("App_IndexCheckpointInfo", {{"backupSetId", I(backupSetId)},
                                                                {"archFileId", I(archFileId)},
                                                                {"kelmarchId", I(kDefaultKelmarchId)},
                                                                {"isValid", I(1)}});
    return id < 0 ? fail("checkpoint") : static_cast<int>(id);
}

int FamiliesBSeed::addGlobalParamRow(const std::string& name, const std::string& value, long long created,
                                     long long modified) {
    return insertNextId("NBGlobalParam", "id",
                        {{"name", T(name)},
                         {"value", TextOrNull(value)},
                         {"created", I(created)},
                         {"modified", I(modified)}});
}

int FamiliesBSeed::setGlobalParam(const std::string& name, const std::string& value, long long time) {
    if (m_seed.exec("UPDATE NBGlobalParam SET modified = ? WHERE name = ? AND modified = 0",
                    {I(time), T(name)}) != zydb::DB_OK)
        return fail("global parameter " + name);
    return addGlobalParamRow(name, value, time, 0);
}

int FamiliesBSeed::addRelease(int id, const std::string& release, int buildNum) {
    return m_seed.insertRow("simAllNimbraRel",
                            {{"id", I(id)}, {"release", T(release)}, {"buildNum", I(buildNum)}}) < 0
               ? fail("release " + release)
               : id;
}

int FamiliesBSeed::addSharedFolder(const std::string& folderName, int ownerUserId, const std::string& path) {
    long long id = m_seed.insertRow(
        "App_SharedFolder",
        {{"folderName", T(folderName)}, {"path", TextOrNull(path)}, {"ownerId", I(ownerUserId)}});
    return id < 0 ? fail("shared folder " + folderName) : static_cast<int>(id);
}

}  // namespace hubdb
