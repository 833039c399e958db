// The argument and result records of the archive manager's calls (ArchiveManagerHM). Plain values owned
// by the caller, made on its stack; every member has a defined value after construction. The layouts
// belong to the archive manager's interface, so the fixed-word records are checked below.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

#include "Db/Proc/archFileByTime.h"
#include "Db/Tbl/APP_Application.h"
#include "Db/Tbl/archFile.h"

class EvMessageContainer;

// Identity of one archive file; callers copy the three words as one unit.
struct ArchiveFileIdMsg_t {
    uint64_t kelmarchId = 0;
    uint64_t archGroupId = 0;
    uint64_t archFileId = 0;
};

// Search modes of the time searches.
enum : uint64_t {
    kAfileModeLatest = 1,     // newest archive file up to the search time
    kAfileModeCycle = 2,      // by cycle; with the exact flag the job at the search time
    kAfileModeTranLog = 4,    // oldest search of a transaction-log subclient
    kAfileModeRetry = 8,      // the retry of app types 22 and 80 after a failed mode-2 search
    kAfileModeInstance = 62,  // the instance-level search of getLastAfileOfInstance
    kAfileNoTimeLimit = 0x7fffffff,
};

struct GetAfileByTimeArgsHM_t {
    uint64_t reserved = 0;
    uint64_t appId = 0;
    uint64_t searchMode = 0;
    uint64_t searchTime = 0;      // 0 and 0x7fffffff both mean no limit
    uint64_t copyPrecedence = 0;  // 0: the storage policy's default copy
    int32_t optionA = -1;
    int32_t exactFlag = 0;
    int32_t optionB = 1;
    int32_t optionC = 0;
    int32_t optionD = 0;
};

// Callers clear the first seven words before each call and set the message container again.
struct GetAfileByTimeRetHM_t {
    ArchiveFileIdMsg_t archFile;
    uint64_t jobId = 0;
    uint64_t creationTime = 0;
    uint64_t archFileType = 0;
    EvMessageContainer* msgContainer = nullptr;
};

struct GetOldestArchFileArgs_t {
    uint64_t reserved1 = 0;
    uint64_t reserved2 = 0;
    uint64_t appId = 0;
    uint64_t searchMode = 0;  // 1, or 4 for a transaction-log subclient
    uint64_t copyPrecedence = 0;
    int32_t optionA = -1;
    int32_t flag = 0;
};

struct GetOldestArchFileRet_t {
    ArchiveFileIdMsg_t archFile;
    uint64_t archFileType = 0;
    uint64_t jobId = 0;
    uint64_t copyId = 0;
    uint64_t creationTime = 0;
    EvMessageContainer* msgContainer = nullptr;
};

struct LastAfileForEachCycleArgs_t {
    uint64_t appId = 0;
    uint64_t searchMode = 0;  // callers use 2
    uint64_t fromTime = 0;
    uint64_t toTime = 0;  // 0: no limit
    uint64_t copyPrecedence = 0;
    uint64_t flags = 0;
};

// One row per backup cycle in the range, oldest cycle first.
struct LastAfileForEachCycleRet_t {
    std::vector<ArchFileByTime_t> lastAfiles;
};

struct GetAfileListByJobArgsHM_t {
    uint64_t listKind = 2;
    uint64_t jobId = 0;
    uint64_t reserved = 0;
};

struct ArchFilePruneListEl_t {
    uint32_t archFileId = 0;
    uint32_t archGroupId = 0;
    uint32_t kelmarchId = 0;
    std::string name;
    uint64_t copyId = 0;
    uint64_t fileType = 0;
    uint64_t creationTime = 0;
    uint32_t jobId = 0;
    uint32_t backupLevel = 0;
};

struct GetAfileListByJobRetHM_t {
    std::vector<ArchFilePruneListEl_t> afiles;
};

struct GetMediaAgentArgsHM_t {
    uint64_t reserved1 = 0;
    uint64_t reserved2 = 0;
    uint64_t reserved3 = 0;
    uint64_t appId = 0;
    uint64_t copyPrecedence = 0;
    uint64_t reserved4 = 0;
    uint64_t reserved5 = 0;
};

struct GetMediaAgentRetHM_t {
    std::string hostName;  // network host name
    std::string displayName;
    std::string clientName;  // what callers read
    uint64_t clientId = 0;
    uint64_t copyId = 0;
    uint64_t archGroupId = 0;
    uint64_t copyPrecedence = 0;
    uint64_t reserved = 0;
};

struct GetMediaAgentByAGCArgs_t {
    uint64_t archGroupId = 0;
    uint64_t clientId = 0;  // the browsed client, from the browse input
    uint64_t reserved1 = 0;
    uint64_t copyId = 0;  // 0: the storage policy's default copy
    uint64_t reserved2 = 0;
    uint64_t reserved3 = 0;
    bool flag = false;
    uint64_t reserved4 = 0;
};

struct GetCopyIdByAfileCopyPrecArgs_t {
    uint64_t archFileId = 0;
    uint64_t archGroupId = 0;
    uint64_t kelmarchId = 0;
    uint64_t copyPrecedence = 0;
};

struct GetCopyIdByAfileCopyPrecRet_t {
    uint64_t copyId = 0;
    uint64_t copyPrecedence = 0;  // the precedence the copy has (the default copy's for 0)
};

struct GetMediaAgentInfoArgsHM_t {
    uint32_t clientId = 0;
    uint64_t reserved = 0;
};

struct GetMediaAgentInfoRetHM_t {
    std::string clientName;
    std::string displayName;
    std::string versionText;
    std::string hostName;  // what callers read
    uint64_t clientId = 0;
    uint64_t port = 0;
    uint64_t osId = 0;
    uint64_t releaseId = 0;
    std::string guid;
};

struct GetArchFileInfoArgs_t {
    uint64_t archFileId = 0;
    uint64_t reserved1 = 0;
    uint64_t kelmarchId = 0;  // callers pass 2 when the request names none
    uint64_t reserved2 = 0;
};

struct GetArchFileInfoRet_t {
    ArchFile_t archFile;
    APP_Application_t application;
};

// Flags of a medium in TMediaInfo.
enum : uint64_t {
    kMediaIndex = 2,  // holds index archive files
    kMediaData = 8,   // holds data archive files
};

// One medium of a media-prediction answer.
struct TMediaInfo {
    uint64_t mediaId = 0;
    uint64_t flags = 0;
    uint64_t mediaType = 0;
    uint64_t size = 0;
    std::string text1;      // barcode
    std::string text2;      // library name
    std::string text3;      // location
    std::string text4;      // media agent client name
    uint64_t value5 = 0;    // media agent client id
    std::string text5;      // media agent host name
    uint64_t value6 = 0;    // storage-policy copy id
    std::string text6;      // copy name
    uint64_t value7 = 0;    // storage policy id
    std::string mediaName;  // text 7: compared when duplicates are joined
    uint64_t value8 = 0;    // number of archive files of the request on the medium
    uint64_t value9 = 0;    // Kelmarch id
    std::string text8;      // storage policy name
};

// The fixed-word records: callers clear them by words and copy identities as units.
static_assert(std::is_standard_layout_v<ArchiveFileIdMsg_t> && sizeof(ArchiveFileIdMsg_t) == 24);
static_assert(std::is_trivially_copyable_v<GetAfileByTimeRetHM_t> && sizeof(GetAfileByTimeRetHM_t) == 7 * 8);
static_assert(offsetof(GetAfileByTimeRetHM_t, creationTime) == 32 &&
              offsetof(GetAfileByTimeRetHM_t, archFileType) == 40);
static_assert(sizeof(GetAfileByTimeArgsHM_t) == 5 * 8 + 5 * 4 + 4);
static_assert(offsetof(GetAfileByTimeArgsHM_t, exactFlag) == 44);
static_assert(sizeof(GetOldestArchFileArgs_t) == 6 * 8 && offsetof(GetOldestArchFileArgs_t, flag) == 44);
static_assert(std::is_trivially_copyable_v<GetOldestArchFileRet_t> &&
              sizeof(GetOldestArchFileRet_t) == 8 * 8);
static_assert(offsetof(GetOldestArchFileRet_t, creationTime) == 48);
static_assert(sizeof(LastAfileForEachCycleArgs_t) == 6 * 8 && sizeof(GetMediaAgentArgsHM_t) == 7 * 8);
static_assert(offsetof(GetMediaAgentArgsHM_t, appId) == 24 &&
              offsetof(GetMediaAgentArgsHM_t, copyPrecedence) == 32);
static_assert(sizeof(GetMediaAgentByAGCArgs_t) == 8 * 8 && offsetof(GetMediaAgentByAGCArgs_t, copyId) == 24);
static_assert(sizeof(GetCopyIdByAfileCopyPrecArgs_t) == 4 * 8 &&
              offsetof(GetCopyIdByAfileCopyPrecRet_t, copyId) == 0);
static_assert(sizeof(GetArchFileInfoArgs_t) == 4 * 8 && sizeof(GetMediaAgentInfoArgsHM_t) == 16);
