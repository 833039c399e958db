#include "tools/mediaagent/vmanswers.h"

#include <fnmatch.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <string_view>

#include "platform/entities/apptypes.h"
#include "platform/entities/vmguid.h"

namespace mediaagent {

namespace {

bool isSeparator(char c) {
    return c == '/' || c == '\\';
}

// The length of the head of `path` that names a VM by its GUID (one leading separator, '/' or '\\',
// then the GUID: the Hubmaster's own reading, vmPathHead); 0 when the path's first component so read is
// no GUID.
size_t vmGuidHeadLength(std::string_view path) {
    const TVmPathHead head = vmPathHead(path);
    return isVmGuidText(head.component) ? head.end : 0;
}

}  // namespace

std::string vmFileViewPath(const TIndexSubclient& subclient, const std::string& path) {
    if (subclient.appType != apptype::kVirtualServer) return path;
    const size_t head = vmGuidHeadLength(path);
    if (head == 0) return path;
    const std::string rest = path.substr(head);
    return rest.empty() ? "/" : rest;
}

bool vmPartOfHypervisor(CItemIndex& index, TIndexSubclient& subclient, TBrowseQuery& query, std::string& why,
                        std::string& under) {
    under.clear();
    if (subclient.appType != apptype::kVirtualServer) return true;
    const std::string& path = query.path;
    const size_t end = vmGuidHeadLength(path);
    if (end == 0) return true;
    const std::string guid = vmGuidOf(path.substr(0, end));
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
    under = path.substr(0, end);
    query.path = end < path.size() ? path.substr(end) : "/";
    return true;
}

std::string vmGuidOf(const std::string& under) {
    std::string guid(vmPathHead(under).component);
    if (guid.size() >= 2 && guid.front() == '{' && guid.back() == '}') guid = guid.substr(1, guid.size() - 2);
    for (char& c : guid) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return guid;
}

std::string underVm(const std::string& under, const std::string& path) {
    if (under.empty()) return path;
    if (path.empty() || path == "/" || path == "\\") return under;
    return isSeparator(path.front()) ? under + path : under + '\\' + path;
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
