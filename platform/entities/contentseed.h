// SubclientContentSeed: content lists of file-system subclients (APP_SubclientContent rows) for test,
// benchmark and demo databases, added through a HubDbSeed. Each call returns the new row's id, or -1
// (the reason in error()). Used by the seed's one thread.
//
//   zyent::SubclientContentSeed content(seed);
//   content.addLine({.subclientId = sc, .lineNumber = 1, .path = "/home"});
#pragma once

#include <string>

#include "platform/hubdb/hubdbseed.h"

namespace zyent {

struct ContentLineSeed {
    int subclientId = 0;
    int lineNumber = 0;
    std::string path{};
    std::string displayName{};  // empty: NULL
    bool exclusion = false;     // a path the subclient leaves out
    long long created = 0;
    long long modified = 0;  // 0: in force now
};

class SubclientContentSeed : public hubdb::SeedPart {
public:
    explicit SubclientContentSeed(hubdb::HubDbSeed& seed) : SeedPart(seed) {}
    int addLine(const ContentLineSeed& line);
};

}  // namespace zyent
