// Seed additions for the archive manager's world: media, where archive files lie on them, snapshot
// copies and a storage policy's default copy. Works on a HubDbSeed's file (it creates the media tables
// there); used by tests, benchmarks and the demo from the seed's thread.
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

class ArchiveSeed {
public:
    explicit ArchiveSeed(hubdb::HubDbSeed& seed);

    bool ok() const { return m_error.empty() && m_seed.ok(); }
    const std::string& error() const { return m_error.empty() ? m_seed.error() : m_error; }

    // Returns the new medium's id, or -1.
    int addMedia(const MediaSeed& media);
    // Records that the archive file lies on the medium on its storage policy's copy of `precedence`.
    int placeOnMedia(int archFileId, int precedence, int mediaId);
    // Marks a copy as a snapshot copy (or not).
    int setSnapCopy(int copyId, bool snap = true);
    // Makes `copyId` the storage policy's default copy.
    int setDefaultCopy(int storagePolicyId, int copyId);
    // The id of the copy of `precedence` of a storage policy, or -1.
    int copyId(int storagePolicyId, int precedence);

private:
    int check(int rc, const std::string& what);

    hubdb::HubDbSeed& m_seed;
    std::string m_error;
};

}  // namespace archmgr
