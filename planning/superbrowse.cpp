// The planner's records and their orderings.
#include "planning/superbrowse.h"

SuperBrowse::SuperBrowse() {
    initialize();
}

void SuperBrowse::initialize() {
    cycleNumber = 0;
    appId = 0;
    fromTime = 0;
    toTime = 0;
    findTime = 0;
    kelmarchId = 0;
    archGroupId = 0;
    afileId = 0;
    mediaAgentId = 0;
    mediaAgentVersion = 0;
    flags = 0;
    jobId = 0;
    indexingV2Cycle = false;
    dbEngineType = 1;
}

SuperBrowseArchive::SuperBrowseArchive() {
    initialize();
}

void SuperBrowseArchive::initialize() {
    appId = 0;
}

bool SuperBrowseCmp(const SuperBrowse& a, const SuperBrowse& b) {
    return a.findTime < b.findTime;
}

bool SuperBrowseEq(const SuperBrowse& a, const SuperBrowse& b) {
    return a.appId == b.appId && a.findTime == b.findTime;
}

bool ArchiveCmp(const SuperBrowseArchive& a, const SuperBrowseArchive& b) {
    if (a.r_kelmarchId != b.r_kelmarchId) return a.r_kelmarchId < b.r_kelmarchId;
    return a.r_afileId < b.r_afileId;
}

bool ArchiveEq(const SuperBrowseArchive& a, const SuperBrowseArchive& b) {
    return a.r_afileId == b.r_afileId && a.r_kelmarchId == b.r_kelmarchId;
}
