// Seed additions for the archive manager's world: media and where archive files lie on them (storage
// policies, their copies and default copies are HubDbSeed's). Used by tests, benchmarks and the demo
// from the seed's thread.
#pragma once

#include <string>

#include "platform/hubdb/hubdbseed.h"

namespace archmgr {

struct MediaSeed {
    std::string barcode;  // empty: "MEDIA" followed by the new id
    int mediaType = 1;    // 10001 marks a kind of medium the prediction flags with 32
    std::string libraryName{};
    std::string location{};
    long long mediaSize = 0;
};

class ArchiveSeed : public hubdb::SeedPart {
public:
    explicit ArchiveSeed(hubdb::HubDbSeed& seed) : SeedPart(seed) {}

    // Returns the new medium's id, or -1.
    int addMedia(const MediaSeed& media);
    // Records that the archive file lies on the medium on its storage policy's copy of `precedence`.
    int placeOnMedia(int archFileId, int precedence, int mediaId);
};

}  // namespace archmgr
