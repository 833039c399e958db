// The archive-file procedures of the Hubmaster database (ArchFileByTime, ArchFileByTimeSuperBrowse)
// and the archive-file listing they share, which the archive manager's stand-in may use too so that
// both see one world. Handlers run on the fetching thread, on the connection they are given.
#pragma once

#include <string>
#include <vector>

#include "platform/db/procregistry.h"

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
    int mediaAgentId = 0;    // client id of the media agent holding the file on that copy
    std::string mediaAgentVersion;
    int idxCacheSoftState = 0;
    bool aged = false;       // aged on that copy
    bool runningJob = false; // its job is still running
    long long physicalSize = 0;
    long long logicalSize = 0;
};

constexpr int kOpenEndTime = 0x7fffffff;

inline bool isDataFileType(int t) { return t == 1 || t == 4; }
inline bool isIndexFileType(int t) { return t == 2 || t == 6 || t == 34; }

// The valid archive files of a subclient created at or before `toTime` (0: no limit) that have a
// valid copy on the storage-policy copy of `copyPrecedence` (0: the primary copy, precedence 1),
// oldest first. Returns a zydb::DbResult (the engine's text in conn.lastError()).
int listArchiveFiles(zydb::IDbConnection& conn, int appId, int copyPrecedence, int toTime,
                     std::vector<ArchiveFileOnCopy>& out);

int archFileByTimeProc(zydb::CProcCall& call);
int archFileByTimeSuperBrowseProc(zydb::CProcCall& call);

}  // namespace hubdb
