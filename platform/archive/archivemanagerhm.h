// ArchiveManagerHM: answers questions about archive files, backup cycles, storage-policy copies, media
// agents and media from the Hubmaster database. Made on the caller's stack for a few calls; any thread,
// each object used by the thread that made it (queries run on that thread's connection).
//
// Every operation returns 0 on success, 100 when nothing matches (the cycle list also 1), and otherwise
// a zydb::DbResult error (negative; DBtable::getErrorStr gives its text). After a non-zero result the
// result record and the out parameters hold what the caller put there.
//
// The world the answers come from:
// - An archive file is usable on a copy when it is valid (archFile.isValid = 1), has a valid copy there
//   that is not aged (archFileCopy), and its job is not running (JMJobInfo).
// - Copy precedence N names the copy of precedence N of the file's storage policy; 0 names the policy's
//   default copy (archGroup.defaultCopy, else its precedence-1 copy).
// - Cycles, per subclient: hubdb::BackupTimeline's rule (the one the archive-file procedures use) over
//   the usable files: jobs in time order, a job with a full or synthetic-full data file opens a cycle,
//   jobs before the first full form cycle 0; the cycle that holds time T is the latest job's at or
//   before T.
// - File kinds: data 1 and 4; index 2, 6 and 34.
// - A search time of 0 means no limit (0x7fffffff), as does any time above it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/archive/archmgrrecords.h"

class DBtran;
class ZySessionSend;

enum class ArchMgrOp : int {
#define ARCHMGR_OP(name) name,
#include "platform/archive/archmgrops.def"
#undef ARCHMGR_OP
    count
};

const char* archMgrOpName(ArchMgrOp op);

class ArchiveManagerHM {
public:
    // The calls run in-process against the database whatever session is given.
    explicit ArchiveManagerHM(ZySessionSend* session);
    ~ArchiveManagerHM();
    ArchiveManagerHM(const ArchiveManagerHM&) = delete;
    ArchiveManagerHM& operator=(const ArchiveManagerHM&) = delete;

    // Time searches. getArchFileByTime: mode 1 the newest file of any kind at or before the time; mode 2
    // the newest index file at or before it, and with the exact flag only one of the cycle that holds
    // the time; mode 8 (the retry of app types 22 and 80) as mode 2 over data files.
    int getArchFileByTime(GetAfileByTimeArgsHM_t* args, GetAfileByTimeRetHM_t* ret);
    // The newest file of the cycle that holds the search time (also those after it), of the kinds of the
    // mode (1 any, 2 index, 8 data); with the exact flag only those at or before the time.
    int getArchFileByTimeCycle(GetAfileByTimeArgsHM_t* args, GetAfileByTimeRetHM_t* ret);
    // Mode 1: the oldest data file; mode 4 (transaction-log subclient): the oldest file of any kind.
    int getOldestArchFile(GetOldestArchFileArgs_t* args, GetOldestArchFileRet_t* ret);
    // Mode 2: per cycle that meets [from, to], oldest first, its newest file at or before `to`. 100 when
    // the subclient has no usable file on the copy, 1 when it has some but no cycle meets the range.
    int getLastAfileForEachCycle(LastAfileForEachCycleArgs_t* args, LastAfileForEachCycleRet_t* ret);
    // List kind 2: every valid file of the job, oldest first, with its default copy (0 when it has none
    // there). A job without files gives 0 and an empty list.
    int getArchFileListByJob(GetAfileListByJobArgsHM_t* args, GetAfileListByJobRetHM_t* ret);
    // The media agent holding the subclient's newest index file on the copy; without one, the media
    // agent of that copy of the subclient's storage policy.
    int getRegularOrBCDIndexMediaAgent(GetMediaAgentArgsHM_t* args, GetMediaAgentRetHM_t* ret);
    // The media agent of a storage-policy copy (copy id 0: the policy's default copy).
    int getMediaAgentByAGC(GetMediaAgentByAGCArgs_t* args, GetMediaAgentRetHM_t* ret);
    // The copy of the storage policy (the file's own when 0) at the precedence; when a file is named it
    // must have a usable copy there.
    int getCopyIdByAfileCopyPrec(GetCopyIdByAfileCopyPrecArgs_t* args, GetCopyIdByAfileCopyPrecRet_t* ret);
    // Names of a client that is a media agent; 100 for any other client.
    int getMediaAgentInfo(GetMediaAgentInfoArgsHM_t* args, GetMediaAgentInfoRetHM_t* ret);
    // The archive file's row and its subclient's row.
    int getArchFileInfo(GetArchFileInfoArgs_t* args, GetArchFileInfoRet_t* ret);
    // Mode 62: the newest file at or before the search time among the subclients of the instance, with
    // its subclient, subclient name, backup set and backup-set name.
    int getLastAfileOfInstance(unsigned long clientId, unsigned long appTypeId, unsigned long instanceId,
                               GetAfileByTimeArgsHM_t* args, GetAfileByTimeRetHM_t* ret, int& appId,
                               std::string& subclientName, int& backupSetId, std::string& backupSetName);
    // The policy's default snapshot copy (archGroup.defaultSnapCopy, when it names a snapshot copy of
    // the policy), else its snapshot copy of lowest precedence; 0 when the policy has none.
    int getDefaultSnapCopy(int archGroupId, int& copyId);
    // The default copy when it is not a snapshot copy, else the non-snapshot copy of lowest precedence;
    // 0 when the policy has none.
    int getDefaultNonSnapCopy(int archGroupId, int& copyId);
    // The copy of a storage policy at a precedence (0: the default copy). With a transaction the query
    // runs inside it.
    int getAGCFromAGAndCopy(unsigned long archGroupId, unsigned long copyPrecedence, unsigned long* copyId,
                            DBtran* tran);
    int getAGCFromAGAndCopy(unsigned long archGroupId, unsigned long copyPrecedence, unsigned long& copyId,
                            DBtran* tran) {
        return getAGCFromAGAndCopy(archGroupId, copyPrecedence, &copyId, tran);
    }
    // Appends one entry per medium holding files of the subclient that a restore of [from, to] reads (the
    // files up to `to` of every cycle meeting the range) on the copy. mediaMask picks the files: 2
    // index, 8 data (10 both); an entry's flags tell which of them the medium holds. 100 when none.
    int getMediaListForAppIdByTime(unsigned long copyPrecedence, unsigned long appId, unsigned long fromTime,
                                   unsigned long toTime, unsigned long reserved,
                                   std::vector<TMediaInfo>* media, unsigned long mediaMask);
    // Appends one entry per medium holding the archive file (Kelmarch id 0: of any Kelmarch) on the copy
    // of `copyPrecedence` (0: the storage policy's default copy), with `mediaFlag` as its flags and a
    // file count of 1, and gives the file's size on that copy. 100 when the file is not valid there
    // (missing, invalid or aged) or no medium holds it.
    int getMediaListForArchFile(unsigned long copyPrecedence, unsigned long archFileId,
                                unsigned long kelmarchId, unsigned long mediaFlag,
                                std::vector<TMediaInfo>* media, unsigned long long* sizeOnCopy);

private:
    [[maybe_unused]] ZySessionSend* m_session;  // not used: every call runs in-process
};
