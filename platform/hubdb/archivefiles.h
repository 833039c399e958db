// The archive files of a subclient as they lie on one storage-policy copy, and the backup cycles they
// fall in: the one reading of archFile, its copies and the media agents that the archive-file
// procedures and the archive manager share, so that both see one world. Any thread, on a connection
// it owns; a BackupTimeline is a value of the thread that made it.
#pragma once

#include <string>
#include <vector>

#include "platform/db/dbbackend.h"

namespace hubdb {

// One valid archive file as it lives on one copy of its storage policy.
struct ArchiveFileOnCopy {
    int id = 0;
    int kelmarchId = 0;
    int appId = 0;
    int archGroupId = 0;
    int fileType = 0;
    int cTime = 0;
    int jobId = 0;
    int backupLevel = 0;
    int flags = 0;
    int copyId = 0;          // archGroupCopy row
    int copyPrecedence = 0;  // of that copy
    int mediaAgentId = 0;    // client id of the media agent holding the file on that copy
    std::string mediaAgentVersion;
    int idxCacheSoftState = 0;
    bool aged = false;        // aged on that copy
    bool runningJob = false;  // its job is still running
    long long physicalSize = 0;
    long long logicalSize = 0;
    int cycle = 0;  // set by BackupTimeline
};

constexpr int kOpenEndTime = 0x7fffffff;

inline bool isDataFileType(int t) {
    return t == 1 || t == 4;
}
inline bool isIndexFileType(int t) {
    return t == 2 || t == 6 || t == 34;
}

// An SQL expression for the id of the copy that a copy precedence names in a storage policy (both
// are SQL expressions, for example "f.archGroupId" and "?2"): precedence N > 0 the copy of that
// precedence; 0 (or less) the policy's default copy (archGroup.defaultCopy), or its precedence-1
// copy when the policy names none.
std::string copyOfPrecedenceSql(const std::string& policy, const std::string& precedence);

// The valid archive files of a subclient created at or before `toTime` (0: no limit) that have a
// valid copy on the storage-policy copy `copyPrecedence` names (see copyOfPrecedenceSql), oldest
// first; aged copies and files of running jobs are included and marked. Returns a zydb::DbResult
// (the engine's text in conn.lastError()). Inside a zydb::CRequestReads, outside a transaction, the
// subclient's files on the copy are read once per request, whatever time each question names.
int listArchiveFiles(zydb::IDbConnection& conn, int appId, int copyPrecedence, int toTime,
                     std::vector<ArchiveFileOnCopy>& out);
// The same, always read from the database.
int readArchiveFiles(zydb::IDbConnection& conn, int appId, int copyPrecedence, int toTime,
                     std::vector<ArchiveFileOnCopy>& out);

// The backup cycles of one subclient's files (oldest first, as listArchiveFiles gives them, after
// the caller has left out what it does not count). The rule: the subclient's jobs in time order (a
// job's time is its earliest file); a job with a full (backup level 1) or synthetic-full (64) data
// file opens a cycle, numbered from 1; jobs before the first full form cycle 0. The cycle that holds
// time T is the cycle of the latest job at or before T.
struct BackupTimeline {
    struct Job {
        int jobId = 0;
        int kelmarchId = 0;
        int time = 0;  // its earliest file
        bool full = false;
        int cycle = 0;
    };

    BackupTimeline() = default;
    explicit BackupTimeline(std::vector<ArchiveFileOnCopy> oldestFirst);

    std::vector<ArchiveFileOnCopy> files;  // oldest first, each with its cycle
    std::vector<Job> jobs;                 // in time order
    std::vector<int> cycleStart;           // by cycle number; -1 for a number no job has

    // The cycle holding time t, or -1 before the first job.
    int cycleAt(long long t) const;
    // The cycle is in force at some time of [from, to]: it starts by `to` and the next cycle starts
    // after `from` (from 0: any start).
    bool meets(int cycle, long long from, long long to) const;
    // The newest file that passes `keep`, or null.
    template <class P>
    const ArchiveFileOnCopy* newest(P keep) const {
        for (auto it = files.rbegin(); it != files.rend(); ++it)
            if (keep(*it)) return &*it;
        return nullptr;
    }
};

}  // namespace hubdb
