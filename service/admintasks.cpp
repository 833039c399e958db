#include "service/admintasks.h"

#include "Db/Proc/AppIdxUpdatePrunedCheckpointValidity.h"
#include "Db/Proc/SetFullConsolidationForAutomaticSchedule.h"
#include "Db/Proc/SetRetentionForAutomaticSchedule.h"
#include "Db/Proc/UpdateUserPropForQuota.h"
#include "platform/config/zyplatforminfo.h"
#include "platform/db/dbresult.h"
#include "platform/log/evdebug.h"
#include "service/adminthread.h"

namespace {

struct TAdminTaskSpec {
    void (*function)();
    unsigned interval;         // seconds
    const char* registryName;  // the "~Indexing" value that overrides it; null: none
};

const TAdminTaskSpec kAdminTasks[] = {
    {&AdminThreadHM::checkIdxBkpClients, 86400, "IDXBKPCLIENT_CHK_INTERVAL"},
    {&AdminThreadHM::SetAutomaticScheduleFrequency, 86400, "IDXBKPCLIENT_CHK_FREQ_SCHEDULER_INTERVAL"},
    {&AdminThreadHM::UpdateCheckpointInfoValidity, 86400, nullptr},
    {&AdminThreadHM::runFullConsolidationSchedulerFrequency, 43200, "IDXBKPCLIENT_CHK_FULLCONSOL_INTERVAL"},
    {&AdminThreadHM::RecomputeUserQuota, 86400, nullptr},
};

// The stored-procedure jobs share one form: run the procedure once, with no transaction of ours; only
// a result other than a row (0) or the end (100) is logged, and nothing is retried before the next
// interval.
template <class Procedure, class... A>
void runMaintenanceProcedure(const char* tag, const char* failure, A... args) {
    Procedure procedure(nullptr);
    if constexpr (sizeof...(A) > 0) procedure.setValues(args...);
    const int rc = procedure.getOneRow(&procedure, false, -1, 0);
    if (rc == zydb::DB_OK || rc == zydb::DB_NO_DATA) return;
    EvDebug log(nullptr);
    log.setPrefixMessage(tag);
    log.debugLvl(0, "%s error[%d]", failure, rc);
}

}  // namespace

AdminThreadHM::AdminThreadHM() : AdminThreadHM(adminWakeUpMs()) {
    addIndexMaintenanceTasks(*this);
}

void addIndexMaintenanceTasks(AdminThreadHM& thread) {
    for (const TAdminTaskSpec& spec : kAdminTasks) {
        int interval = static_cast<int>(spec.interval);
        if (spec.registryName) ZYPlatformInfo::getRegInt(kAdminRegistrySection, spec.registryName, &interval);
        // A negative interval would wrap to one that never falls due: the default stands.
        thread.addTask(spec.function, interval < 0 ? spec.interval : static_cast<unsigned>(interval));
    }
}

unsigned adminWakeUpMs() {
    int ms = 0;
    if (ZYPlatformInfo::getRegInt(kAdminRegistrySection, kAdminWakeUpValue, &ms) && ms > 0)
        return static_cast<unsigned>(ms);
    return AdminThreadHM::kWakeUpMs;
}

void AdminThreadHM::SetAutomaticScheduleFrequency() {
    runMaintenanceProcedure<SetRetentionForAutomaticSchedule>("AdminThreadHM::SetAutomaticScheduleFrequency",
                                                              "Failed to set automatic schedule frequency.");
}

void AdminThreadHM::UpdateCheckpointInfoValidity() {
    runMaintenanceProcedure<AppIdxUpdatePrunedCheckpointValidity>(
        "AdminThreadHM::UpdateCheckpointInfoValidity",
        "Failed to update checkpoint validity in App_IndexCheckpointInfo .");
}

void AdminThreadHM::runFullConsolidationSchedulerFrequency() {
    runMaintenanceProcedure<SetFullConsolidationForAutomaticSchedule>(
        "AdminThreadHM::runFullConsolidationSchedulerFrequency",
        "Failed to set the flag for full consolidation backups.");
}

void AdminThreadHM::RecomputeUserQuota() {
    runMaintenanceProcedure<UpdateUserPropForQuota>(
        "AdminThreadHM::RecomputeUserQuota", "Failed to set recomputeQuota property for users.", "", 1);
}
