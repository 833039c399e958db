#include "appbrowse/vsaenduseraccess.h"

#include <map>

#include "Db/Proc/APPGetLaptopClientList.h"
#include "appbrowse/fbhmvsautils.h"
#include "fbDebug/fbdebug.h"
#include "platform/config/zyplatforminfo.h"
#include "platform/db/cursorwrapper.h"
#include "platform/entities/vmguid.h"
#include "platform/security/evsecuritymgr.h"
#include "platform/tasks/evrestoretask.h"

namespace {

constexpr const char* kTag = "FBHMWORKER";
constexpr const char* kSection = "~Hubmaster";
constexpr const char* kSwitch = "bVSAEnableEndUserAccess";
constexpr const char* kVirtualMachineNeedsBrowseRight =
    "Browse access denied: a virtual machine is browsed with a browse right on it or on its hypervisor; an "
    "end user's browse right does not cover virtual machines.";

}  // namespace

bool CVSAEndUserAccess::isEnabled() {
    int value = 0;
    if (ZYPlatformInfo::getRegInt(kSection, kSwitch, &value) != 1 || value != 1) return false;
    CBrowseLog log(kTag);
    log.debugLvl(0, "VSA End User Access is enabled because reg key [%s\\%s] is set to [%d]", kSection,
                 kSwitch, value);
    return true;
}

bool CVSAEndUserAccess::listOwnedVms(long userId, std::vector<std::string>& vmGuids) {
    CBrowseLog log(kTag);
    App::LapTopClientListReq request;
    request.getObjectAccessor(App::LapTopClientListReq::f::user, true)
        ->setint64(ZyEntities::UserEntity::f::userId, userId);
    request.setint64(App::LapTopClientListReq::f::listType, 2);
    request.getObjectAccessor(App::LapTopClientListReq::f::filter, true)
        ->setint64(App::LapTopClientListFilter::f::virtualMachinesOnly, 1);
    std::string xml;
    if (request.serialize(xml) != 0) {
        log.debugLvl(-1, "handleVSARequest - unable to serialize vm list request message");
        return false;
    }
    log.debugLvl(
        7, "handleVSARequest - get list of VMs owned by user [%ld] - input xml to stored procedure [%s]",
        userId, xml.c_str());
    SprocWrapper<APPGetLaptopClientList, APPGetLaptopClientList_t> procedure("handleVSARequest", nullptr);
    procedure.getCursor()->setValues(xml.c_str(), "");
    std::string answerXml;
    std::string error;
    if (procedure.getXMLFromCursor(answerXml, &error, false, true) != 0) {
        log.debugLvl(-1, "handleVSARequest - unable to get the list of VMs owned by user [%ld]", userId);
        return false;
    }
    log.debugLvl(7, "handleVSARequest - list of VMs for user [%ld] from SP -> [%s]", userId,
                 answerXml.c_str());
    App::LapTopClientLstResp answer;
    if (answer.unserialize(answerXml) != 0) {
        log.debugLvl(-1, "handleVSARequest - unable to unserialize output [%s] from stored procedure",
                     answerXml.c_str());
        return false;
    }
    if (auto* clients = answer.getlistobject(App::LapTopClientLstResp::f::clients, false)) {
        for (CNMessageBase& entry : *clients) {
            CNMessageBase* vm = entry.getObjectAccessor(App::LapTopClientInfo::f::vm, false);
            if (vm) vmGuids.push_back(vm->getstring(ZyEntities::Msg68::f::GUID));
        }
    }
    return true;
}

bool CVSAEndUserAccess::check(EvMultiEntityRestoreTask* task, const std::string& accessText,
                              std::vector<std::string>& vmGuids, TBrowseDenial& denial) {
    CBrowseLog log(kTag);
    const long userId = task->getUserId();
    if (isEnabled() && !listOwnedVms(userId, vmGuids)) return false;

    EvSecurityCheck check(static_cast<long long>(task->getJobId()), task->requestReads());
    bool allowed = check.canBrowse(static_cast<int>(userId), task->getKelmarchId(), task->getClientId(),
                                   apptype::code(task->getAppType()), task->getInstanceId(),
                                   task->getBackupSetId(), 0, false, accessText);
    if (allowed) {
        log.debugLvl(3, "UserId:[%ld] has browse rights on client [%ld]", userId, task->getClientId());
    } else {
        // Without rights on the hypervisor, every VM that a path names must be one the user may browse:
        // a later path must not reach a VM the first one does not.
        std::map<std::string, bool> checked;
        size_t paths = 0;
        allowed = true;
        for (const char* p = task->getFirstPath(EvRestoreTask::kBrowsePathList); p && allowed;
             p = task->getNextPath(EvRestoreTask::kBrowsePathList)) {
            ++paths;
            const std::string path = p;
            if (path.empty() || path == "\\" || path == "/") {
                log.debugLvl(1, "No starting path in the request..");
                allowed = false;
                break;
            }
            const std::string vmGuid = CBrowseVSAUtils::ExtractVMGUID(path);
            log.debugLvl(3, "VMGUID:[%s]", vmGuid.c_str());
            if (auto known = checked.find(vmGuid); known != checked.end()) {
                allowed = known->second;
                continue;
            }
            int vmClientId = 0;
            if (!CBrowseVSAUtils::IsVMGUID(vmGuid) || !getClientIdfromGUID(vmGuid, vmClientId)) {
                log.debugLvl(1, "Failed to get clientId from VmGUID:[%s]", vmGuid.c_str());
                allowed = false;
                break;
            }
            allowed = check.canBrowse(static_cast<int>(userId), task->getKelmarchId(), vmClientId,
                                      apptype::code(task->getAppType()), 0, 0, 0, false, accessText);
            log.debugLvl(3,
                         allowed ? "UserId:[%ld] has browse rights on the VM ClientId[%d]"
                                 : "UserId:[%ld] does not have browse rights on the VM ClientId[%d]",
                         userId, vmClientId);
            checked[vmGuid] = allowed;
        }
        if (paths == 0 && allowed) {
            log.debugLvl(1, "No starting path in the request..");
            allowed = false;
        }
    }
    log.debugLvl(1, "bCanBrowse[%s]", allowed ? "True" : "False");
    if (allowed) return true;

    log.debugLvl(1, "%s", check.getResponseString());
    raiseBrowseAccessAlert(*task, userId, check.getResponseString());
    denial = browseDenialError(check, static_cast<unsigned long>(task->getTaskLocale()));
    // A virtual machine needs a browse right of its own (on it or on its hypervisor): a user whose end
    // user's right covers the client is told that this is why, not only that he is refused.
    if (check.canBrowse(static_cast<int>(userId), task->getKelmarchId(), task->getClientId(),
                        apptype::code(task->getAppType()), task->getInstanceId(), task->getBackupSetId(), 0,
                        true, accessText)) {
        denial.code = databrowse::BROWSE_ERR_PERMISSION;
        denial.text = kVirtualMachineNeedsBrowseRight;
    }
    return false;
}
