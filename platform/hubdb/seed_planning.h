// PlanningSeed: the rows browse planning reads beyond the core seed: properties of the machines a job
// backed up (APP_VMPROP), component properties that name mailboxes, and pending job actions. One
// object per seed, on the seed's thread.
#pragma once

#include <string>

#include "platform/hubdb/hubdbseed.h"

namespace hubdb {

class PlanningSeed : public SeedPart {
public:
    explicit PlanningSeed(HubDbSeed& seed) : SeedPart(seed) {}

    // One attribute of a machine that job `jobId` backed up ("vmGUID", ...); its row id.
    int addVmProperty(int jobId, const std::string& name, const std::string& value);
    // A component property (type 7 subclient property row, 6 subclient; property 1103 or 2300 a
    // mailbox GUID); its row id.
    int addComponentProperty(int componentType, int componentId, int propertyTypeId,
                             const std::string& value);
    // A pending job action on a subclient (the index-log selection reads action 0 as none).
    int addJobAction(int clientId, int mediaAgentId, int appType, int opType, int appId, int action);
};

}  // namespace hubdb
