// The job procedures of the Hubmaster database: JMGetHasCloudLaptopJobs and
// JMGetBkpJobIdsUpToEndTime, over JMBkpStats and the subclients of APP_Application. Handlers run on
// the fetching thread, on the connection they are given (so they see the caller's transaction).
#pragma once

#include "platform/db/procregistry.h"

namespace hubdb {

// A backup job that ran in cloud-laptop mode carries this bit in its extended attributes
// (JMBkpStats.bkpAttributesEx).
constexpr long long kBkpAttrExCloudLaptop = 0x0000000000400000LL;

// Backup levels that start a cycle: full and the synthetic full kinds.
constexpr int kFullLevelBits = 0x40C1;

// (backup set id, time) -> one row (o_hasCloudLaptopJobs).
int jmGetHasCloudLaptopJobsProc(zydb::CProcCall& call);
// (subclient id, end time) -> rows (i_JobId, i_KelmarchId).
int jmGetBkpJobIdsUpToEndTimeProc(zydb::CProcCall& call);

}  // namespace hubdb
