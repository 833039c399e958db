// ZYManageDBForJM: the job manager's questions about finished backup jobs (JMBkpStats). Any thread;
// reads run on the calling thread's connection.
#pragma once

class ZYManageDBForJM {
public:
    // The start and end times of the finished job (jobId, kelmarchId); false when there is no such
    // job or it cannot be read (outputs untouched).
    static bool GetBkpTimeForBkpHistoryJob(unsigned long jobId, long& backupTime, long& endTime,
                                           unsigned long kelmarchId);
    // The start time of the finished job (jobId, kelmarchId); false when there is no such
    // job or it cannot be read (`startTime` untouched).
    static bool getJobStartTime(unsigned long jobId, long& startTime, unsigned long kelmarchId);
    // The Kelmarch id of jobs that name none.
    static unsigned long getDefaultKelmarchID();
    // The completion status the job manager recorded for the job (1 completed, 3 completed with
    // errors, ...; a running job's own status); Kelmarch 0 is the default one. False when the job or
    // its status is not recorded or cannot be read (`status` untouched). `flags` selects nothing.
    static bool getStatusForBackupJob(unsigned long kelmarchId, unsigned long jobId, int flags, int& status);
};
