#include "platform/config/installedpackages.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>

#include "platform/config/zyplatforminfo.h"

int ZYInstalledPackages::getPackageList(std::vector<int>& packages) {
    std::string text;
    if (!ZYPlatformInfo::getString("InstalledPackages", "sPackageList", &text)) return -1;
    std::vector<int> ids;
    size_t i = 0;
    while (i < text.size()) {
        if (text[i] == ',' || text[i] == ' ' || text[i] == '\t') {
            ++i;
            continue;
        }
        const size_t end = text.find_first_of(", \t", i);
        const std::string item = text.substr(i, end == std::string::npos ? std::string::npos : end - i);
        char* stop = nullptr;
        errno = 0;
        const long id = std::strtol(item.c_str(), &stop, 10);
        if (item.empty() || *stop != '\0' || errno != 0 || id <= 0 || id > INT_MAX) return -1;
        ids.push_back(static_cast<int>(id));
        i = end == std::string::npos ? text.size() : end;
    }
    packages.swap(ids);
    return 0;
}

bool ZYInstalledPackages::isInstalled(int packageId) {
    std::vector<int> packages;
    return getPackageList(packages) == 0 &&
           std::find(packages.begin(), packages.end(), packageId) != packages.end();
}
