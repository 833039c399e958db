// How the paths of a file-system application type compare: the agents of file systems whose names
// ignore letter case index their paths without regard to case.
#include <algorithm>
#include <array>

#include "platform/entities/fssubclientconf.h"

namespace {

// Application types of file systems whose names ignore case (the Windows file-system agent).
constexpr std::array<unsigned long, 1> kCaseInsensitiveAppTypes = {33};

}  // namespace

int FSSubclientConf::checkCaseSensitivity(unsigned long appType, bool& caseSensitive) const {
    caseSensitive = std::find(kCaseInsensitiveAppTypes.begin(), kCaseInsensitiveAppTypes.end(), appType) ==
                    kCaseInsensitiveAppTypes.end();
    return 0;
}
