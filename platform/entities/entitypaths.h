// Path comparison of the entity library: content lists, erase filters and browse paths compare
// without regard to letter case, with '/' and '\' alike. Pure functions; any thread.
#pragma once

#include <cctype>
#include <string>

namespace zyent {

// '\' as '/', lower case, no trailing separator (a lone "/" stays).
inline std::string canonicalPath(const std::string& path) {
    std::string out;
    out.reserve(path.size());
    for (char c : path)
        out += c == '\\' ? '/' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    while (out.size() > 1 && out.back() == '/') out.pop_back();
    return out;
}

// True when canonical `path` is canonical `ancestor` or lies under it.
inline bool pathCovers(const std::string& ancestor, const std::string& path) {
    if (ancestor.empty()) return false;
    if (path == ancestor) return true;
    return path.size() > ancestor.size() && path.compare(0, ancestor.size(), ancestor) == 0 &&
           (ancestor.back() == '/' || path[ancestor.size()] == '/');
}

}  // namespace zyent
