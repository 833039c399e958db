// Test support: plants failures in ArchiveManagerHM through its link seam (platform/archive/
// archmgrseam.h), so that callers' failure branches can be reached. Link hub_test_archive_faults into
// the test program; the shipped libraries never contain it. Process-wide; any thread.
#pragma once

#include <cstdint>

#include "platform/archive/archivemanagerhm.h"

namespace hubtest {

struct ArchMgrFault {
    ArchMgrOp op = ArchMgrOp::count;
    int result = -1;  // returned instead of running the call (0 is refused)
    int times = -1;   // how many matching calls fail; below 0: every one until cleared
    // 0: every call; else only calls about this id: the subclient (time, cycle, oldest, index media
    // agent and media calls), the job (getArchFileListByJob), the storage policy (getMediaAgentByAGC and
    // the copy calls), the archive file (getCopyIdByAfileCopyPrec, getArchFileInfo), the media agent
    // (getMediaAgentInfo) or the client (getLastAfileOfInstance).
    uint64_t subject = 0;
    uint64_t searchMode = 0;  // 0: every call; else only calls with this search mode
};

// Matching calls return the fault's result without running; false (nothing planted) for a fault that
// could never fire.
bool injectArchMgrFault(const ArchMgrFault& fault);
void clearArchMgrFaults();

}  // namespace hubtest
