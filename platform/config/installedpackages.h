// The packages installed on this machine, as the local registry lists them: section "InstalledPackages",
// value "sPackageList", package ids in decimal separated by commas or blanks. Any thread; read afresh
// at every call.
#pragma once

#include <vector>

class ZYInstalledPackages {
public:
    // 0 with `packages` replaced by the listed ids in their order; -1 when the list is absent or holds
    // anything but package ids, with `packages` untouched.
    static int getPackageList(std::vector<int>& packages);
    // True when the list can be read and holds `packageId`.
    static bool isInstalled(int packageId);
};
