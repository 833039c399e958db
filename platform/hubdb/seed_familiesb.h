// FamiliesBSeed: seed-builder additions for storage policies and snap copies, VM instances and the
// jobs of hypervisor backups, index databases, document tags, index servers, index backups of media
// agents, schedules, checkpoints, global parameters with their history, releases and shared folders.
// Works on a HubDbSeed's file; one object per seed, used by the seed's thread.
//
//   hubdb::HubDbSeed seed(path);
//   hubdb::RowSeed rows(seed);                     // VMs, users, properties, job links
//   hubdb::FamiliesBSeed more(seed);
//   auto vm = rows.addVirtualMachine({.parentBackupSetId = parent, .name = "vm1", .storagePolicyId = sp});
//   more.addVmBackup(hypervisorSubclient, {vm}, 1700000000);
//   more.setGlobalParam("IDX_BROWSE_IGNORE_MA_FROM_RESTORE_TASK", "1", 1700000000);
#pragma once

#include <string>
#include <vector>

#include "platform/hubdb/hubdbseed.h"
#include "platform/hubdb/seed_families_a.h"

namespace hubdb {

struct IndexDatabaseSeed {
    std::string dbName{};
    int backupSetId = 0;
    int flags = 0;  // bit 0: indexed per subclient
    int type = 0;
    int engineType = 0;
    int currentIdxServer = 0;
    std::string properties{};  // empty: NULL
    int archGroupId = 0;
    long long committedTransactionId = 0;
};

struct IndexServerNodeSeed {
    int clientId = 0;
    int basePort = 20000;
    std::string engineName{};
    bool enabled = true;
};

class FamiliesBSeed : public SeedPart {
public:
    explicit FamiliesBSeed(HubDbSeed& seed) : SeedPart(seed), m_rows(seed) {}

    // Storage policies: a snap copy (it becomes the policy's default snap copy). The default copy is
    // HubDbSeed::setDefaultCopy (0: none, as an erase check sees a policy without one).
    int addSnapCopy(int storagePolicyId, int precedence, int mediaAgentClientId);
    // A snap backup: a full job whose data files are on the snap copies only, until runBackupCopy
    // puts them on the copy of that precedence too.
    HubDbSeed::Backup addSnapBackup(int appId, int time, int dataFiles = 1);
    int runBackupCopy(int jobId, int precedence);

    // Virtual machines (made with RowSeed::addVirtualMachine): an instance of the VM's own for its
    // subclient, and the operating system of its client; returns the instance id.
    int addVmInstance(const VirtualMachine& vm, int osId = 0);
    // One hypervisor backup at `time`: a full job of the hypervisor subclient and a full job (with one
    // data file, `vmSize` bytes read) of each VM, linked to it as its children. Returns the job ids,
    // the parent's first.
    std::vector<int> addVmBackup(int hypervisorSubclientId, const std::vector<VirtualMachine>& vms, int time,
                                 long long vmSize = 0, int childStatus = 1);

    // Index databases and document tags.
    int addIndexDatabase(const IndexDatabaseSeed& db);
    int addDocTag(const std::string& tagId, const std::string& containerGuid, int value);

    // An index server of a kind ("Virtual Machine", "Exchange Index"): a pseudo-client named `name`
    // and its nodes in order; with one node that is the server itself, `name` empty, the node's client
    // stands for the server. Returns the index server's client id.
    int addIndexServer(const std::string& kind, const std::string& name,
                       const std::vector<IndexServerNodeSeed>& nodes, int serverType = 1);

    // Index backups of media agents: the configuration, and an index pseudo-client with its IndexBackup
    // subclient (returned through `subclientId`).
    int configureIndexBackup(int mediaAgentClientId, int storagePolicyId, bool backupEnabled = true);
    int addIndexClient(int mediaAgentClientId, const std::string& name, int storagePolicyId,
                       int* subclientId = nullptr);
    int addIndexSubclient(int indexClientId, int storagePolicyId);

    // Schedules and index checkpoints.
    int addScheduleTask(const std::string& name, bool isDefault, bool isAutomatic, int frequencyMins = 0,
                        long long lastFullConsolidation = 0);
    int addCheckpoint(int backupSetId, int archFileId);

    // Global parameters: a row as given, or a new current value from `time` on (the current row, if
    // any, ends at `time` and stays as history).
    int addGlobalParamRow(const std::string& name, const std::string& value, long long created,
                          long long modified);
    int setGlobalParam(const std::string& name, const std::string& value, long long time);

    int addRelease(int id, const std::string& release, int buildNum = 0);

    // A folder that a user (RowSeed::addUser) shares.
    int addSharedFolder(const std::string& folderName, int ownerUserId, const std::string& path = "");

private:
    // Inserts with id = MAX(id) + 1 (tables whose serial column is not their key).
    int insertNextId(const std::string& table, const char* idColumn,
                     std::vector<std::pair<std::string, zydb::DbValue>> columns);

    RowSeed m_rows;
};

}  // namespace hubdb
