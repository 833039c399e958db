#include "framework/browseutils.h"

#include <cstdlib>
#include <cstring>

const char* const kWildcardMarker = "\\/\\/";

bool isDelimiter(char c) {
    return c == ',' || c == '.' || c == '/' || c == '\\';
}

void strcpy_buffer_safe(char* destination, const char* source, unsigned long size) {
    if (!destination || size == 0) return;
    if (!source) source = "";
    size_t len = strnlen(source, size);
    if (len < size) {
        memcpy(destination, source, len + 1);
        return;
    }
    memcpy(destination, source, size - 1);
    destination[size - 1] = '\0';
}

char getDelimiter(const char* text) {
    if (!text) return 0;
    for (const char* p = text; *p; ++p) {
        if (isDelimiter(*p)) return *p;
    }
    return 0;
}

const char* findLastDelimiter(const char* path) {
    char delimiter = getDelimiter(path);
    if (delimiter == 0) return nullptr;
    const char* marker = strstr(path, kWildcardMarker);
    const char* end = marker ? marker : path + strlen(path);
    for (const char* p = end; p > path;) {
        --p;
        if (*p == delimiter) return p;
    }
    return nullptr;
}

char* findLastDelimiter(char* path) {
    return const_cast<char*>(findLastDelimiter(static_cast<const char*>(path)));
}

bool endsWithDelimiter(const char* text, const char* delimiter) {
    if (!text || !delimiter) return false;
    size_t len = strlen(text);
    if (len == 0) return false;
    return text[len - 1] == delimiter[0];
}

bool isRootPath(const std::string& browsePath) {
    if (browsePath.compare(0, 3, "\\MB") == 0) return browsePath.size() <= 4;
    return browsePath.size() <= 1;
}

unsigned int makeVersion(std::string release, unsigned int& version) {
    // Parts beyond this cannot change the saturated result.
    constexpr long kPartLimit = 100000000L;
    long major = atol(release.c_str());
    long minor = 0;
    size_t dot = release.find('.');
    if (dot != std::string::npos) minor = atol(release.c_str() + dot + 1);
    if (major < 0) major = 0;
    if (minor < 0) minor = 0;
    if (major > kPartLimit) major = kPartLimit;
    if (minor > kPartLimit) minor = kPartLimit;
    unsigned long long v =
        static_cast<unsigned long long>(major) * 100ULL + static_cast<unsigned long long>(minor) * 10ULL;
    if (major < 10 && v > 999) v = 999;  // "9.10" is still release 9
    if (v > 0xFFFFFFFFULL) v = 0xFFFFFFFFULL;
    version = static_cast<unsigned int>(v);
    return version;
}

unsigned int getSubConfItemFileType(apptype::EAppType appType) {
    return apptype::in(apptype::family::kBrowsedContent, appType) ? 8 : 1;
}
