// The administration thread's task table (AdminThreadHM's periodic index-maintenance jobs with their
// intervals) and its four stored-procedure jobs. The table is built once, when the thread object is
// made at load, from the registry section "~Indexing"; the jobs run on the administration thread.
#pragma once

class AdminThreadHM;

inline constexpr const char* kAdminRegistrySection = "~Indexing";
// The period of the thread's wake-ups in milliseconds (default 600,000), for a host or test that needs
// the periodic jobs sooner. Read once, at load.
inline constexpr const char* kAdminWakeUpValue = "IDXADMIN_THREAD_WAKEUP_MS";

// Appends the five jobs in table order, each with its default interval or the registry's override:
// checkIdxBkpClients, SetAutomaticScheduleFrequency, UpdateCheckpointInfoValidity,
// runFullConsolidationSchedulerFrequency and RecomputeUserQuota.
void addIndexMaintenanceTasks(AdminThreadHM& thread);

// The wake-up period: the registry's value when it is a positive number, else AdminThreadHM::kWakeUpMs.
unsigned adminWakeUpMs();
