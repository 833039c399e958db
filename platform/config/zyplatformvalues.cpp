// The registry's composite readers: multi-string values and the platform type.
#include <algorithm>
#include <cstring>

#include "platform/config/zyplatforminfo.h"

size_t ZYPlatformInfo::getMultiString(const char* section, const char* key, char* buffer, size_t size) {
    std::string text;
    if (!buffer || size == 0 || !getString(section, key, &text)) return 0;
    std::string run;
    for (size_t p = 0; p < text.size(); ++p) {
        if (text[p] == '\\' && p + 1 < text.size() && text[p + 1] == '0') {
            run += '\0';
            ++p;
        } else {
            run += text[p];
        }
    }
    if (!text.empty()) run += '\0';
    run += '\0';
    size_t n = std::min(size, run.size());
    std::memcpy(buffer, run.data(), n);
    return n;
}

unsigned int ZYPlatformInfo::getZYPlatformType() {
    unsigned int type = 2;
    getNumber("Base", "nZYPlatformType", &type);
    return type;
}
