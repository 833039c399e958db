// Generates a media agent's item index (see itemindex.h) from its plan of jobs, cycles and archive files,
// deterministically: the same plan and scale always give the same items. Every subclient gets the same
// tree: `files` files, `filesPerDirectory` to a leaf directory under directories of `fanout`
// subdirectories, plus one directory "big" of `bigDirectoryFiles` files. A full job backs up every file
// that exists; each incremental changes `changePercent` percent of them, of which `deletePercent`
// percent are deletions; `newPercent` percent of the files first appear in an incremental. Directories
// get a version with every full job. One thread per call.
#pragma once

#include <cstdint>
#include <string>

#include "tools/mediaagent/agentplan.h"

namespace mediaagent {

struct TIndexScale {
    int64_t files = 2000;
    int filesPerDirectory = 50;
    int fanout = 4;
    int64_t bigDirectoryFiles = 0;
    int changePercent = 20;
    int deletePercent = 5;
    int newPercent = 5;
    int metadataEvery = 25;  // every n-th file's versions carry metadata XML (0: none)
    uint64_t seed = 20;

    // The parameters as text, as stored in the index's meta table.
    std::string text() const;
};

struct TBuildStats {
    int64_t entries = 0;
    int64_t versions = 0;
    double seconds = 0;
};

// Writes the index of `plan` at `scale` to `path` (through a temporary file renamed at the end, so a
// failed build never leaves a half index). False with `error`.
bool buildItemIndex(const std::string& path, const TAgentPlan& plan, const TIndexScale& scale,
                    std::string& error, TBuildStats* stats = nullptr);

// True when `path` holds a finished index made from this plan at this scale.
bool itemIndexIsCurrent(const std::string& path, const TAgentPlan& plan, const TIndexScale& scale);

}  // namespace mediaagent
