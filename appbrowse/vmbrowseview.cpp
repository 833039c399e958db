#include "appbrowse/vmbrowseview.h"

#include <algorithm>
#include <boost/algorithm/string/predicate.hpp>
#include <vector>

#include "appbrowse/fbhmvsautils.h"
#include "fbDebug/fbdebug.h"
#include "platform/entities/apptypes.h"
#include "platform/entities/vmhandback.h"
#include "platform/tasks/evrestoretask.h"

namespace {

constexpr const char* kTag = "FBHMVSABROWSE";
// The extended option of a VM's live browse, whose paths its own road reads.
constexpr unsigned kLiveBrowseOption = 59;

std::vector<std::string> browsePaths(EvMultiEntityRestoreTask* task) {
    std::vector<std::string> paths;
    for (const char* p = task->getFirstPath(EvRestoreTask::kBrowsePathList); p;
         p = task->getNextPath(EvRestoreTask::kBrowsePathList))
        paths.emplace_back(p);
    return paths;
}

bool isSeparator(char c) {
    return c == '/' || c == '\\';
}

// The VM GUID `path` names, empty when its first component is no GUID.
std::string namedGuid(const std::string& path) {
    std::string guid = CBrowseVSAUtils::ExtractVMGUID(path);
    return CBrowseVSAUtils::IsVMGUID(guid) ? guid : std::string();
}

std::string bareGuid(std::string guid) {
    if (guid.size() >= 2 && guid.front() == '{' && guid.back() == '}') guid = guid.substr(1, guid.size() - 2);
    return guid;
}

}  // namespace

bool CVMBrowseView::decide(EvMultiEntityRestoreTask* task, databrowse::BrowseRequest& request) {
    m_guids.clear();
    m_judgedClient = 0;
    if (!task || task->getAppType() != apptype::kVirtualServer) return false;
    CBrowseLog log(kTag);

    // VMs named by their GUIDs under the hypervisor's backup set are read from the hypervisor's index,
    // which holds each below its GUID; a path that names no VM of the backup set leaves the browse as
    // it is (the backup set's own root, for one).
    const std::vector<std::string> paths = browsePaths(task);
    std::set<std::string> named;
    bool allNamed = !paths.empty();
    for (const std::string& p : paths) {
        const std::string guid = namedGuid(p);
        ZyEntities::GenericEntity vm;
        if (guid.empty() ||
            CBrowseVSAUtils::ConvertParentVSAEntityToChild(static_cast<int>(task->getBackupSetId()), p, vm)
                .IsError()) {
            allNamed = false;
            break;
        }
        named.insert(guid);
    }
    if (allNamed) {
        m_guids = std::move(named);
        log.debugLvl(1, "Browse of [%zu] VM(s) by GUID answered by the hypervisor's index of backupset [%ld]",
                     m_guids.size(), task->getBackupSetId());
        return true;
    }

    // A VM named by its own client whose jobs of the range were indexed under its hypervisor moves there,
    // below its GUID; rights were judged on the VM, so they are not judged again on the hypervisor.
    if (!CBrowseVSAUtils::IsV1V2SwitchSupported(request)) return false;
    const long namedClient = task->getClientId();
    std::string guid;
    CBrowseVSAUtils::SwitchEntity(task, request, &guid);
    if (task->getClientId() != namedClient) m_judgedClient = namedClient;
    if (!guid.empty()) m_guids.insert(guid);
    return active();
}

void CVMBrowseView::markForHubmaster(databrowse::BrowseRequest& request) {
    vmhandback::mark(request);
}

std::string CVMBrowseView::oneLeadingSeparator(const std::string& path) {
    return path.size() > 1 && isSeparator(path[0]) && path[1] == path[0] ? path.substr(1) : path;
}

bool CVMBrowseView::isUnder(const std::string& path, const std::string& guid) {
    const std::string named = namedGuid(path);
    return !named.empty() && boost::iequals(bareGuid(named), bareGuid(guid));
}

std::string CVMBrowseView::withoutVmGuid(const std::string& path) {
    const std::string guid = namedGuid(path);
    if (guid.empty()) return path;
    const size_t end = (isSeparator(path.front()) ? 1 : 0) + guid.size();
    return end + 1 >= path.size() ? "\\" : path.substr(end);
}

std::string CVMBrowseView::belowVmGuid(const std::string& guid, const std::string& path) {
    if (isUnder(path, guid)) return path;
    // Named after more separators than one, as a caller may type it: below the GUID once, never twice.
    if (const size_t head = path.find_first_not_of("/\\");
        head != std::string::npos && head > 1 && isUnder(path.substr(head - 1), guid))
        return path.substr(head - 1);
    if (path.empty() || path == "\\" || path == "/") return "\\" + guid;
    return "\\" + guid + (isSeparator(path.front()) ? path : "\\" + path);
}

std::string CVMBrowseView::pathRefusal(EvMultiEntityRestoreTask* task) {
    if (!task || task->getAppType() != apptype::kVirtualServer || task->isSet(kLiveBrowseOption)) return {};
    for (const std::string& path : browsePaths(task)) {
        const size_t head = path.find_first_not_of("/\\");
        if (head < 2 || head == std::string::npos) continue;
        const std::string guid = namedGuid(path.substr(head - 1));
        if (guid.empty()) continue;
        return "Path [" + path +
               "] names no virtual machine: a VM path starts with one separator and the "
               "VM's GUID, as in [" +
               path.substr(head - 1) + "]";
    }
    return {};
}

std::string CVMBrowseView::ownPath(const std::string& path) const {
    for (const std::string& guid : m_guids)
        if (isUnder(path, guid)) return withoutVmGuid(path);
    return path;
}

bool CVMBrowseView::mapAnswer(databrowse::BrowseResponse& response) const {
    if (!active()) return false;
    CNMessageBase* result = response.getObjectAccessor(databrowse::BrowseResponse::f::browseResult, false);
    auto* items = result ? result->getlistobject(databrowse::BrowseResult::f::dataResultSet, false) : nullptr;
    bool changed = false;
    for (size_t n = 0; items && n < items->size(); ++n)
        for (const MsgFieldRef* field :
             {&databrowse::BrowseData::f::path, &databrowse::BrowseData::f::displayPath}) {
            CNMessageBase& item = (*items)[n];
            if (!item.isSet(*field)) continue;
            const std::string path = item.getstring(*field);
            const std::string own = ownPath(path);
            if (own == path) continue;
            item.setstring(*field, own);
            changed = true;
        }
    return changed;
}
