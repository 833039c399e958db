// ERAppId: the archiving (stubbing) side of a subclient. A subclient whose files are stubbed with a
// delay may only be browsed up to its last finished backup: stubs made after it point at data that
// no backup yet holds. Any thread; reads run on the calling thread's connection.
#pragma once

#include <cstdint>
#include <string>

class ERAppId {
public:
    // The end time of the subclient's last finished backup (status 1, 3 or 14) into `backupTime` and
    // its job id into `jobId`. 0 on success; otherwise `errorText` says why (no such backup, a failed
    // read) and the outputs are untouched. The two last arguments are reserved (null).
    static int getDRBackupTimeForDelayStubbing(unsigned long subclientId, uint64_t& jobId, long& backupTime,
                                               std::string& errorText, void* reserved1, void* reserved2);
};
