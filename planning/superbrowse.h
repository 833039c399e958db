// The records of the browse planner: SuperBrowse (one backup cycle of one subclient) and
// SuperBrowseArchive (one archive file of a cycle), with the orderings and equalities the planner sorts
// and de-duplicates them by. Plain values; a thread that holds one may copy it freely.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Db/Proc/archFileByTime.h"
#include "platform/msg/msg_classes.h"

class SuperBrowse {
public:
    SuperBrowse();
    SuperBrowse(const SuperBrowse&) = default;
    SuperBrowse(SuperBrowse&&) = default;
    SuperBrowse& operator=(const SuperBrowse&) = default;
    SuperBrowse& operator=(SuperBrowse&&) = default;

    // Numbers, flags and job back to 0, not an indexing-v2 entry, engine type 1.
    void initialize();

    // Cycle flags.
    enum : uint32_t { kFlagExact = 1, kFlagImage = 2, kFlagIndexFileType6 = 4 };

    uint32_t cycleNumber;  // 1-based position after sorting
    uint32_t appId;        // subclient of the cycle
    uint32_t fromTime;     // first second of the cycle's part of the browse range
    uint32_t toTime;       // end of that part
    uint32_t findTime;     // creation time of the archive file that closes the cycle
    uint32_t kelmarchId;
    uint32_t archGroupId;
    uint64_t afileId;  // the closing archive file; 64 bits like every archive-file id the planner holds
    std::string mediaAgentName;
    uint32_t mediaAgentId;
    uint32_t mediaAgentVersion;  // major version (1100 for indexing-v2 entries)
    uint32_t flags;
    uint64_t jobId;  // last job of the cycle
    std::vector<databrowse::MappedBrowsePath> mappedPaths;
    std::string mountXml;
    std::string indexDbId;
    std::string backupSetGuid;
    bool indexingV2Cycle;
    uint32_t dbEngineType;
};

// One archive file: the ArchFileByTime row and the subclient it belongs to.
class SuperBrowseArchive : public ArchFileByTime_t {
public:
    SuperBrowseArchive();
    SuperBrowseArchive(const SuperBrowseArchive&) = default;
    SuperBrowseArchive(SuperBrowseArchive&&) = default;
    SuperBrowseArchive& operator=(const SuperBrowseArchive&) = default;
    SuperBrowseArchive& operator=(SuperBrowseArchive&&) = default;

    void initialize();
    uint64_t archFileId() const { return static_cast<uint32_t>(r_afileId); }

    uint32_t appId;
};

// a before b when its find time is smaller (unsigned).
bool SuperBrowseCmp(const SuperBrowse& a, const SuperBrowse& b);
// Same subclient and same find time.
bool SuperBrowseEq(const SuperBrowse& a, const SuperBrowse& b);
// By Kelmarch id, then archive-file id, both signed ascending.
bool ArchiveCmp(const SuperBrowseArchive& a, const SuperBrowseArchive& b);
// Same archive-file id and same Kelmarch id.
bool ArchiveEq(const SuperBrowseArchive& a, const SuperBrowseArchive& b);
