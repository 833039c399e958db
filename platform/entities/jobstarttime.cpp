// Start times of finished backup jobs, for callers that name a job but not its Kelmarch.
#include "platform/entities/zymanagedbforjm.h"
#include "platform/hubdb/hubdb.h"

bool ZYManageDBForJM::getJobStartTime(unsigned long jobId, long& startTime, unsigned long kelmarchId) {
    long start = 0;
    long end = 0;
    if (!GetBkpTimeForBkpHistoryJob(jobId, start, end, kelmarchId)) return false;
    startTime = start;
    return true;
}

unsigned long ZYManageDBForJM::getDefaultKelmarchID() {
    return static_cast<unsigned long>(hubdb::kDefaultKelmarchId);
}
