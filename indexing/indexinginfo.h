// The working sets of one populateIndexingInfo call (the indexing information an indexing-V2 request
// carries): what the scan of the backup set's archive rows found (cycle times, jobs, cross-cycle ranges,
// VM GUIDs, checkpoints) and the flags the two phases share; and the process-wide switch that skips
// deleted V1 subclients. A run is local to the worker's thread; the switch may be read from any thread.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <unordered_map>

#include "platform/msg/msg_classes.h"

struct TIndexingInfoRun {
    bool retentionFiltersSet = false;
    bool pointInTime = true;

    std::map<uint32_t, uint32_t> lastCycleTime;             // subclient -> latest closing data file time
    std::map<uint32_t, uint32_t> firstArchiveTime;          // subclient -> earliest other data file time
    std::unordered_map<uint32_t, uint32_t> cycleJobTime;    // job -> closing data file time
    std::unordered_map<uint32_t, uint32_t> archiveJobTime;  // job -> data file time
    std::set<std::string> vmGuids;
    databrowse::JobInfoList jobs;
    databrowse::TimeRangeForEachCycleList ranges;
    std::unordered_map<uint32_t, std::string> checkpoints;  // subclient -> SubclientInfo text

    bool subclientIndex = false;
    bool indexInUse = false;
    bool pruning = false;
    bool browseByJob = false;
    bool explicitToTime = false;
    bool timeRangeBrowse = false;
    bool validateData = false;
    bool parentVmBrowse = false;
    bool oldIndexServer = false;
    bool crossCycleRanges = false;
    bool serveFromBackupSet = false;
    bool cloudLaptop = false;
    bool dataRowsSeen = false;
    bool jobsSeen = false;
    bool firstJobRunning = false;
    bool option42 = false;
    bool option35 = false;
    bool includeRunning = false;
    bool nasPlugin = false;  // NAS mount parameters are asked per subclient
    long long subclientIndexEnabledTime = 0;
};

// Global parameter "IDX_UPGRADE_SKIP_DELETED_V1_SUBCLIENTS" set to 1, read on the first call in the
// process (whichever thread makes it, the others waiting for it) and never again.
bool skipDeletedV1Subclients();
