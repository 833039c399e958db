#include "planning/afileselection.h"

#include "fbDebug/fbdebug.h"
#include "platform/archive/archivemanagerhm.h"
#include "platform/entities/apptypes.h"
#include "platform/entities/entityconfig.h"
#include "platform/log/zytime.h"

namespace {

constexpr const char* kTag = "FBHMARCHMGR";

bool retriesWithDataFiles(apptype::EAppType appType) {
    return apptype::in(apptype::family::kOracle, appType);
}

std::string timeText(unsigned long t) {
    char text[64] = {};
    ZyTime(static_cast<long>(t), text, 0);
    return text;
}

// A time search of the archive manager; the answer's record is cleared first and keeps the caller's
// message container.
int search(bool cycle, uint64_t appId, uint64_t mode, uint64_t searchTime, uint64_t copy, int exact,
           GetAfileByTimeRetHM_t& ret, EvMessageContainer& messages) {
    GetAfileByTimeArgsHM_t args;
    args.appId = appId;
    args.searchMode = mode;
    args.searchTime = searchTime;
    args.copyPrecedence = copy;
    args.exactFlag = exact;
    ret = GetAfileByTimeRetHM_t();
    ret.msgContainer = &messages;
    ArchiveManagerHM archives(nullptr);
    return cycle ? archives.getArchFileByTimeCycle(&args, &ret) : archives.getArchFileByTime(&args, &ret);
}

// "<what> Backup was found (creationTime=...). appId=..., Copy=..., searchTime=... (...)<end>"
void logFound(CBrowseLog& log, const char* what, const GetAfileByTimeRetHM_t& ret, uint64_t appId,
              uint64_t copy, uint64_t searchTime, const char* end) {
    log.debugLvl(8, "%s Backup was found (creationTime=%lu). appId=%lu, Copy=%lu, searchTime=%lu (%s)%s",
                 what, static_cast<unsigned long>(ret.creationTime), static_cast<unsigned long>(appId),
                 static_cast<unsigned long>(copy), static_cast<unsigned long>(searchTime),
                 timeText(searchTime).c_str(), end);
}

void take(TAfileReference& ref, const GetAfileByTimeRetHM_t& ret) {
    ref.id = ret.archFile;
    ref.creationTime = static_cast<uint32_t>(ret.creationTime);
}

}  // namespace

bool hasToUseExactIndex(const TAfileSelection* input) {
    return (input->flags & TAfileSelection::kUseExactIndex) != 0;
}

int64_t getSnapAfile(unsigned findTime, TAfileSelection* input, EvMessageContainer& messages,
                     unsigned subclientId) {
    CBrowseLog log(kTag);
    if (subclientId == 0 || subclientId == 0xFFFFFFFF || subclientId == 0xFFFF8300) {
        log.debugLvl(0, "ERROR: incorrect SubClient ID %u", subclientId);
        return -1;
    }
    if (!input) {
        log.debugLvl(0, "ERROR: pData = NULL.");
        return -1;
    }
    const uint64_t searchTime = findTime == 0 ? static_cast<uint64_t>(kAfileNoTimeLimit) : findTime;
    GetAfileByTimeRetHM_t ret;
    if (search(false, subclientId, kAfileModeLatest, searchTime, input->copyPrecedence, 0, ret, messages) !=
        0)
        return -1;
    logFound(log, "Latest", ret, subclientId, input->copyPrecedence, searchTime, ".");
    return static_cast<int64_t>(ret.archFile.archFileId);
}

bool snapAfileId(int64_t snapAfile, unsigned subclientId, uint32_t& id) {
    CBrowseLog log(kTag);
    if (snapAfile < 0) {
        log.debugLvl(0, "no snapshot archive file found for subclient [%u]", subclientId);
        return false;
    }
    id = static_cast<uint32_t>(snapAfile);
    return true;
}

int setIndexingAfiles(unsigned findTime, TAfileSelection* input, EvMessageContainer& messages) {
    CBrowseLog log(kTag);
    if (!input) {
        log.debugLvl(0, "ERROR: pData = NULL.");
        return -1;
    }
    const bool exact = hasToUseExactIndex(input);
    const bool retry = retriesWithDataFiles(input->appType);
    ArchiveManagerHM archives(nullptr);

    GetOldestArchFileArgs_t oldestArgs;
    oldestArgs.appId = input->subclientId;
    oldestArgs.copyPrecedence = input->copyPrecedence;
    oldestArgs.searchMode = kAfileModeLatest;
    if (input->appType == apptype::kNotes || input->appType == apptype::kNotesDatabase) {
        bool tranLog = false;
        if (Subclient(input->subclientId).isTranLogSubclient(tranLog, nullptr) == 0 && tranLog)
            oldestArgs.searchMode = kAfileModeTranLog;
    }
    GetOldestArchFileRet_t oldest;
    oldest.msgContainer = &messages;
    if (archives.getOldestArchFile(&oldestArgs, &oldest) != 0) {
        // Without the oldest backup the from-time stays as asked; the references are still chosen.
        log.debugLvl(8,
                     "Warning: oAmcs.getOldestArchFile() failed to get oldest afile for Kelmarch=%lu, "
                     "appId=%lu, Copy=%lu.",
                     static_cast<unsigned long>(input->exact.id.kelmarchId),
                     static_cast<unsigned long>(input->subclientId),
                     static_cast<unsigned long>(input->copyPrecedence));
    } else if (input->fromTime < oldest.creationTime) {
        log.debugLvl(0, "from time is converted from [%lu] to [%lu]",
                     static_cast<unsigned long>(input->fromTime),
                     static_cast<unsigned long>(oldest.creationTime));
        input->fromTime = static_cast<uint32_t>(oldest.creationTime);
    }
    input->latest = TAfileReference();
    input->latestInCycle = TAfileReference();
    input->exact = TAfileReference();

    // A cycle search with the retry of app types 22 and 80 over data files.
    auto cycleSearch = [&](uint64_t searchTime, GetAfileByTimeRetHM_t& ret) {
        int rc = search(true, input->subclientId, kAfileModeCycle, searchTime, input->copyPrecedence, 0, ret,
                        messages);
        if (rc != 0 && retry)
            rc = search(true, input->subclientId, kAfileModeRetry, searchTime, input->copyPrecedence, 0, ret,
                        messages);
        return rc;
    };
    GetAfileByTimeRetHM_t ret;
    if (!exact) {
        if (cycleSearch(kAfileNoTimeLimit, ret) != 0) return -1;
        take(input->latest, ret);
        log.debugLvl(8, "Latest Backup was found. appId=%lu, Copy=%lu, Time=%lu (%s).",
                     static_cast<unsigned long>(input->subclientId),
                     static_cast<unsigned long>(input->copyPrecedence),
                     static_cast<unsigned long>(ret.creationTime), timeText(ret.creationTime).c_str());
    } else {
        log.debugLvl(8, "WARNING: Browse by exact time! No FullBackup Transparency will be supported.");
    }

    const uint64_t cycleTime = findTime == 0 ? static_cast<uint64_t>(kAfileNoTimeLimit) : findTime;
    bool exactDone = false;
    if (cycleSearch(cycleTime, ret) == 0) {
        logFound(log, "Latest", ret, input->subclientId, input->copyPrecedence, cycleTime, ".");
        take(input->latestInCycle, ret);
        if (ret.archFileType == 6) input->flags |= TAfileSelection::kIndexFileType6;
        if (findTime == 0) {
            input->exact = input->latestInCycle;
            exactDone = true;
        }
    }
    if (!exactDone) {
        int rc = search(false, input->subclientId, kAfileModeCycle, findTime, input->copyPrecedence, 1, ret,
                        messages);
        if (rc != 0 && retry) {
            rc = search(false, input->subclientId, kAfileModeRetry, findTime, input->copyPrecedence, 1, ret,
                        messages);
            if (rc != 0)
                log.debugLvl(0,
                             "Warning: getArchFileByTime return no data while looking for exact backup for "
                             "Oracle 8.0");
        } else if (rc != 0) {
            log.debugLvl(0, "Warning: getArchFileByTime return no data while looking for exact backup");
        }
        if (rc == 0) {
            logFound(log, "Exact", ret, input->subclientId, input->copyPrecedence, findTime, "");
            take(input->exact, ret);
            if (ret.archFileType == 6)
                input->flags |= TAfileSelection::kIndexFileType6;
            else if (input->appType == apptype::kVirtualServer)
                input->flags &= ~static_cast<uint64_t>(TAfileSelection::kIndexFileType6);
            if (input->exact.id.archFileId != 0 &&
                input->exact.id.archGroupId != input->latestInCycle.id.archGroupId) {
                input->latestInCycle = input->exact;
                log.debugLvl(0,
                             "WARNING: Latest Backup in the cycle is on the OldStoragePolicy! Switching to "
                             "exact Index! "
                             "Time0 was converted to TimeT=%lu.",
                             static_cast<unsigned long>(input->exact.creationTime));
            }
        }
    }

    if (input->latestInCycle.creationTime != 0 && input->exact.creationTime == 0) {
        log.debugLvl(
            2, "Warning: Exact backup was not found. We convert exact time to the Latest in the cycle.");
        input->exact = input->latestInCycle;
    } else if (input->latestInCycle.creationTime == 0) {
        if (!exact || input->exact.creationTime == 0) return -1;
        input->latestInCycle = input->exact;
    }
    if (input->toTime != 0 && input->fromTime > input->toTime) {
        log.debugLvl(-1, "Error: TimeFrom (%lu) > TimeTo (%lu). Browse impossible.",
                     static_cast<unsigned long>(input->fromTime), static_cast<unsigned long>(input->toTime));
        return -1;
    }
    return 0;
}
