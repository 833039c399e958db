// EntitySeed: rows of the entity library's and install manager's tables for test, benchmark and demo
// databases, added through a HubDbSeed. Each call returns the new row's id, or -1 (the reason in
// error()). Used by the seed's one thread.
//
//   hubdb::HubDbSeed seed(path);
//   zyent::EntitySeed entities(seed);
//   int inst = entities.addInstance({.clientId = client, .appTypeId = 106, .name = "vcenter"});
//   entities.addInstanceProperty(inst, "Virtual Server Instance Type", "1");
#pragma once

#include <string>

#include "platform/hubdb/hubdbseed.h"

namespace zyent {

struct InstanceSeed {
    int clientId = 0;
    int appTypeId = 0;
    std::string name{};
    std::string guid{};
};

struct ReplicationPairSeed {
    int sourceClientId = 0;
    long long sourceRepSetId = 0;
    std::string sourcePath{};
    int destClientId = 0;
    long long destBackupSetId = 0;
    long long destAppType = 0;
    std::string destPath{};
    long long created = 0;
    long long modified = 0;  // 0: in force now
};

class EntitySeed : public hubdb::SeedPart {
public:
    explicit EntitySeed(hubdb::HubDbSeed& seed) : SeedPart(seed) {}

    int addInstance(const InstanceSeed& instance);
    // A property row of an instance, a backup set, a subclient or a client, in force from `created`
    // until `modified` (0: current).
    int addInstanceProperty(int instanceId, const std::string& name, const std::string& value,
                            long long created = 0, long long modified = 0);
    int addBackupSetProperty(int backupSetId, const std::string& name, const std::string& value,
                             long long created = 0, long long modified = 0);
    int addClientProperty(int clientId, const std::string& name, const std::string& value,
                          long long created = 0, long long modified = 0);
    int addReplicationPair(const ReplicationPairSeed& pair);
    int addEraseFilter(int clientId, int appTypeId, const std::string& path, long long erasedTime,
                       int userId = 0);
    // An operating system; platform 1 Windows, 2 Unix or Linux, 3 other.
    int addOperatingSystem(const std::string& name, int platform);
    int mapVirtualToPhysical(int virtualClientId, int physicalClientId);
    int addSharePointMemberServer(int pseudoClientId, int memberClientId, bool primary = false);

private:
    int addPropertyRow(const char* table, int ownerId, const std::string& name, const std::string& value,
                       long long created, long long modified) {
        return checked(m_seed.addProperty(
            table,
            {.ownerId = ownerId, .name = name, .value = value, .created = created, .modified = modified}));
    }
};

}  // namespace zyent
