// Handlers of the procedures listed in familiesb_procs.def (registered with the others by
// hubdb::registerHubProcedures). Handlers run on the fetching thread, on the connection they are
// given (the caller's transaction when it has one).
#pragma once

#include <string>

#include "platform/db/procregistry.h"

namespace hubdb {

// Names of the properties and global parameters these procedures read and write.
inline constexpr const char* kVmUuidProperty = "Virtual Machine Instance UUID";
inline constexpr const char* kIndexSubclientProperty = "Index SubClient";
inline constexpr const char* kErasePendingProperty = "EndUser Erase Pending";
inline constexpr const char* kRecomputeQuotaProperty = "recomputeQuota";
inline constexpr const char* kScheduleFrequencyParam = "IndexBackupScheduleFrequencyMins";
inline constexpr const char* kFullConsolidationDaysParam = "IndexBackupFullConsolidationDays";
inline constexpr long long kDefaultScheduleFrequencyMins = 24 * 60;
inline constexpr long long kDefaultFullConsolidationDays = 30;
inline constexpr int kBackupActivity = 4;
inline constexpr int kIndexBackupClientKind = 2;
// Link type of a hypervisor job and the jobs of its virtual machines (JMJobDataLink).
inline constexpr int kVmJobLinkType = 7;

// The index-backup pseudo-client of a media agent is named after it, set apart from the media agent's
// own client so that a look-up by name finds the one meant.
inline constexpr const char* kIndexClientNameSuffix = "_IndexBackup";
inline std::string indexClientName(const std::string& mediaAgentName) {
    return mediaAgentName + kIndexClientNameSuffix;
}

// The subclient property that switches an activity type off ("1") or on ("0").
std::string activityControlProperty(int activityType);

#define HUB_PROCEDURE(name, handler) int handler(zydb::CProcCall& call);
#include "platform/hubdb/familiesb_procs.def"
#undef HUB_PROCEDURE

}  // namespace hubdb
