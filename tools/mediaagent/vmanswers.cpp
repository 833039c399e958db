#include "tools/mediaagent/vmanswers.h"

#include <fnmatch.h>

#include <cctype>
#include <string>
#include <string_view>

#include "platform/entities/apptypes.h"

namespace mediaagent {

namespace {

bool isGuid(std::string_view t) {
    if (t.size() == 38 && t.front() == '{' && t.back() == '}') t = t.substr(1, 36);
    if (t.size() != 36) return false;
    for (size_t i = 0; i < t.size(); ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? t[i] != '-' : !std::isxdigit(static_cast<unsigned char>(t[i]))) return false;
    }
    return true;
}

bool isSeparator(char c) {
    return c == '/' || c == '\\';
}

}  // namespace

std::string vmFileViewPath(const TIndexSubclient& subclient, const std::string& path) {
    if (subclient.appType != apptype::kVirtualServer) return path;
    size_t start = 0;
    while (start < path.size() && isSeparator(path[start])) ++start;
    size_t end = start;
    while (end < path.size() && !isSeparator(path[end])) ++end;
    if (!isGuid(std::string_view(path).substr(start, end - start))) return path;
    const std::string rest = path.substr(end);
    return rest.empty() ? "/" : rest;
}

bool vmPartOfHypervisor(CItemIndex& index, TIndexSubclient& subclient, TBrowseQuery& query,
                        std::string& why) {
    if (subclient.appType != apptype::kVirtualServer) return true;
    const std::string& path = query.path;
    size_t start = 0;
    while (start < path.size() && isSeparator(path[start])) ++start;
    size_t end = start;
    while (end < path.size() && !isSeparator(path[end])) ++end;
    const std::string guid = path.substr(start, end - start);
    if (!isGuid(guid)) return true;
    int vmAppId = 0;
    TIndexSubclient vm;
    if (!index.vmSubclient(subclient.appId, guid, vmAppId)) {
        why = "the virtual machines of subclient " + std::to_string(subclient.appId) +
              " cannot be read: " + index.lastError();
        return false;
    }
    if (vmAppId == 0) return true;
    // A VM of this hypervisor whose backups this index does not hold is not answered with another's.
    if (!index.subclient(vmAppId, vm)) {
        why = "no backup of virtual machine [" + guid + "] (subclient " + std::to_string(vmAppId) +
              ") in this index";
        return false;
    }
    subclient = vm;
    query.appId = vmAppId;
    query.path = end < path.size() ? path.substr(end) : "/";
    return true;
}

bool splitFindBelow(std::string& path) {
    constexpr size_t kSuffix = 5;  // "\**\*" or "/**/*"
    if (path.size() < kSuffix) return false;
    const std::string_view tail = std::string_view(path).substr(path.size() - kSuffix);
    if (tail != "\\**\\*" && tail != "/**/*") return false;
    path.resize(path.size() - kSuffix);
    if (path.empty()) path.push_back('/');
    return true;
}

bool listFilesBelow(CItemIndex& index, const TBrowseQuery& query, std::vector<TItemVersion>& out,
                    const std::function<bool()>& stopped) {
    const std::string filter = query.nameFilter.empty() ? "*" : query.nameFilter;
    std::vector<std::string> directories{query.path};
    // Depth first, children in name order: the answer comes in path order.
    while (!directories.empty()) {
        if (stopped && stopped()) return true;
        TBrowseQuery level = query;
        level.path = directories.back();
        directories.pop_back();
        level.nameFilter.clear();
        level.firstNode = 0;
        level.skip = 0;
        level.pageSize = 0;
        std::vector<TItemVersion> children;
        bool found = false;
        if (!index.listAt(level, children, found)) return false;
        std::vector<std::string> below;
        for (TItemVersion& child : children) {
            if (child.directory()) {
                below.push_back(child.path);
            } else if (fnmatch(filter.c_str(), child.name.c_str(), 0) == 0) {
                out.push_back(std::move(child));
            }
        }
        directories.insert(directories.end(), below.rbegin(), below.rend());
    }
    return true;
}

}  // namespace mediaagent
