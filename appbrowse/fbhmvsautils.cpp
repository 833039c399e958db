#include "appbrowse/fbhmvsautils.h"

#include <cctype>
#include <cstdlib>
#include <ctime>

#include "Db/Proc/AppGetVMBrowseDetails.h"
#include "Db/Tbl/APP_ClientProp.h"
#include "Db/Tbl/NBGlobalParam.h"
#include "appbrowse/vmbrowseview.h"
#include "fbDebug/fbdebug.h"
#include "platform/db/dbresult.h"
#include "platform/db/requestscope.h"
#include "platform/entities/entityconfig.h"
#include "platform/entities/recordedkind.h"
#include "platform/entities/vmguid.h"
#include "platform/entities/zyclient.h"
#include "platform/errors/fxerrorutil.h"
#include "platform/msg/app_execute_sp.h"
#include "platform/tasks/evrestoretask.h"
#include "platform/threads/hubclock.h"

namespace {

constexpr const char* kTag = "FBHMVSABROWSE";
constexpr int kForceV2Protocol = 2;
constexpr int kNoRow = 100;

using E = ZyEntities::GenericEntity::f;

CUxError vsaError(const char* text) {
    static const FXCodeLocation here(__FILE__, "CBrowseVSAUtils", __LINE__);
    return FXErrorUtil::ErrorInt(-1, here, text);
}

long long intOf(const CNMessageBase* m, const MsgFieldRef& f) {
    return m && m->isSet(f) ? m->getint64(f) : 0;
}

// The advanced settings of a request (advanced block element 11, its settings element 6); null when
// absent and `create` is false.
CNMessageBase* advancedSettings(databrowse::BrowseRequest& request, bool create) {
    CNMessageBase* advanced = request.getObjectAccessor(databrowse::BrowseRequest::f::advOptions, create);
    return advanced ? advanced->getObjectAccessor(databrowse::Msg63::f::advancedConfig, create) : nullptr;
}

// "AutoDetectVSAIndexingVersion" as now in force; 1 when it is not set or cannot be read.
long autoDetectIndexingVersion() {
    NBGlobalParam param(nullptr);
    param.setIsolationType(4);
    param.setTop(1);
    param.setWhere("name = '%s' AND modified = 0", std::string("AutoDetectVSAIndexingVersion"));
    if (param.getOneRow(&param, false, 0, 0) != 0 || !param.getDataPtr()->value) return 1;
    return std::strtol(param.getDataPtr()->value, nullptr, 10);
}

}  // namespace

bool CBrowseVSAUtils::IsV1V2SwitchSupported(databrowse::BrowseRequest& request) {
    CBrowseLog log(kTag);
    if (intOf(advancedSettings(request, false), databrowse::BrowseAdvancedConfig::f::forceProtocol) ==
        kForceV2Protocol) {
        log.debugLvl(0, "Force V2 protocol flag is set for VM. Browsing V2 backups only.");
        return false;
    }
    if (autoDetectIndexingVersion() == 0) {
        log.debugLvl(0, "Autodetect indexing version DISABLED");
        return false;
    }
    return true;
}

CUxError CBrowseVSAUtils::GetInstanceIdFromBackupSet(int backupSetId, int& instanceId) {
    if (backupSetId == 0)
        return vsaError("Instance ID cannot be deduced from backupset id when backupset id is 0");
    TEntityKind kind;
    std::string error;
    const EEntityKindRead read = readEntityKind(zydb::CRequestReads::current(), 0, backupSetId, kind, &error);
    if (read != EEntityKindRead::kRecorded) {
        std::string text =
            "Instance ID cannot be deduced from the backupset: " +
            (read == EEntityKindRead::kUnreadable ? error : std::string("it has no subclient"));
        return vsaError(text.c_str());
    }
    instanceId = static_cast<int>(kind.instanceId);
    return CUxError::Success();
}

bool CBrowseVSAUtils::SwitchEntity(EvMultiEntityRestoreTask* task, databrowse::BrowseRequest& request,
                                   std::string* vmGuid) {
    CBrowseLog log(kTag);
    CNMessageBase* entity = request.getObjectAccessor(databrowse::BrowseRequest::f::entity, true);
    const long long clientId = intOf(entity, E::clientId);
    const int backupSetId = static_cast<int>(intOf(entity, E::backupsetId));
    CNMessageBase* settings = advancedSettings(request, true);
    CNMessageBase* jobBlock =
        settings->getObjectAccessor(databrowse::BrowseAdvancedConfig::f::jobBlock, true);

    int instanceId = static_cast<int>(intOf(entity, E::instanceId));
    if (instanceId < 1) {
        CUxError err = GetInstanceIdFromBackupSet(backupSetId, instanceId);
        if (err.IsError()) {
            log.debugLvl(0, "Unable to get instance id for backupset id [%d]: message [%s]", backupSetId,
                         err.AsString().c_str());
            return false;
        }
        log.debugLvl(3, "Backupset [%d] translated to instance id [%d]", backupSetId, instanceId);
    }
    bool vmInstance = false;
    InstanceTypeVirtualServer instance(static_cast<unsigned long>(instanceId));
    if (instance.isVMInstance(vmInstance) != 0 || !vmInstance) return true;

    JobManager::JobGetIndexInfoReq query;
    using Q = JobManager::JobGetIndexInfoReq::f;
    query.getObjectAccessor(Q::entity, true)->setint64(E::clientId, clientId);
    const CNMessageBase* times = request.getObjectAccessor(databrowse::BrowseRequest::f::timeRange, false);
    long long toTime = intOf(times, databrowse::BrowseTimeRange::f::toTime);
    if (toTime == 0) toTime = CHubClock::real().epochSeconds();
    CNMessageBase* range = query.getObjectAccessor(Q::at5_5, true);
    range->setint64(ZyEntities::Msg49::f::fromTime, intOf(times, databrowse::BrowseTimeRange::f::fromTime));
    range->setint64(ZyEntities::Msg49::f::toTime, toTime);
    if (const long long jobId = intOf(jobBlock, databrowse::Msg11::f::jobId)) {
        query.setint64(Q::jobId, jobId);
        query.getObjectAccessor(Q::kelmarch, true)
            ->setint64(ZyEntities::KelmarchEntity::f::kelmarchId,
                       intOf(jobBlock, databrowse::Msg11::f::kelmarchId));
    }

    std::string in, out;
    if (query.serialize(in) != 0) {
        log.debugLvl(0, "Failed to serialize input xml message for JobGetIndexInfoReq");
        return false;
    }
    int rc = App_ExecuteSP().executeStoredProcedure(query.getTagID(), in, out, nullptr);
    if (rc != 0) {
        log.debugLvl(0, "Stored procedure (JMGetJobIndexInfo) returned error [%d]", rc);
        return true;
    }
    JobManager::JobIndexingQueryResp answer;
    if (answer.unserialize(out) != 0) {
        log.debugLvl(0, "Failed to unserialize input from (JMGetJobIndexInfo) - output [%s]", out.c_str());
        return false;
    }
    auto* jobs = answer.getlistobject(JobManager::JobIndexingQueryResp::f::jobIndexInfo, false);
    if (!jobs || jobs->empty()) {
        log.debugLvl(0, "Cannot determine indexing version. Job list is empty. Stored proc output [%s]",
                     out.c_str());
        return false;
    }
    JobManager::JobIndexInfo first;
    copyFieldsByCode(jobs->front(), first);
    if (intOf(first.getObjectAccessor(JobManager::JobIndexInfo::f::entity, false), E::clientId) != clientId)
        RepopulateBrowseRequest(first, task, request, vmGuid);
    return true;
}

void CBrowseVSAUtils::RepopulateBrowseRequest(JobManager::JobIndexInfo& job, EvMultiEntityRestoreTask* task,
                                              databrowse::BrowseRequest& request, std::string* vmGuidOut) {
    CBrowseLog log(kTag);
    const CNMessageBase* jobEntity = job.getObjectAccessor(JobManager::JobIndexInfo::f::entity, false);
    const long long subclientId = intOf(jobEntity, E::subclientId);
    const long long kelmarchId = intOf(job.getObjectAccessor(JobManager::JobIndexInfo::f::kelmarch, false),
                                       ZyEntities::KelmarchEntity::f::kelmarchId);
    // The application identity of the job's subclient gives the backup set and instance.
    TEntityKind kind;
    if (!jobEntity || subclientId <= 0 ||
        readEntityKind(zydb::CRequestReads::current(), static_cast<long>(subclientId), 0, kind) !=
            EEntityKindRead::kRecorded) {
        log.debugLvl(
            0,
            "Unable to read subclient [%lld] of Kelmarch [%lld] of the indexing job; the request is not "
            "switched",
            subclientId, kelmarchId);
        return;
    }
    const int backupSetId = static_cast<int>(kind.backupSetId);
    const int instanceId = static_cast<int>(kind.instanceId);
    const long long vmClientId =
        intOf(request.getObjectAccessor(databrowse::BrowseRequest::f::entity, false), E::clientId);
    std::string vmGuid;
    if (vmClientId > 0 && vmClientId != intOf(jobEntity, E::clientId)) {
        const CNMessageBase* times =
            request.getObjectAccessor(databrowse::BrowseRequest::f::timeRange, false);
        const long long at = intOf(times, databrowse::BrowseTimeRange::f::toTime);
        vmGuid = GetVMGuidOfClient(static_cast<unsigned long>(vmClientId),
                                   at > 0 ? at : CHubClock::real().epochSeconds());
        if (vmGuid.empty()) {
            log.debugLvl(0, "Unable to read the VM GUID of client [%lld]; the request is not switched",
                         vmClientId);
            return;
        }
    }
    ZyEntities::GenericEntity entity;
    copyFieldsByCode(*jobEntity, entity);
    entity.setint64(E::backupsetId, backupSetId);
    entity.setint64(E::instanceId, instanceId);
    request.setObjectAccessor(entity, databrowse::BrowseRequest::f::entity);
    if (!vmGuid.empty()) {
        // The hypervisor's index holds each of its VMs below the VM's GUID; a caller may name a path
        // there already (one its answers gave).
        auto underVm = [&vmGuid](const std::string& path) {
            return CVMBrowseView::belowVmGuid(vmGuid, path);
        };
        if (auto* paths = request.getlistobject(databrowse::BrowseRequest::f::paths, false))
            for (CNMessageBase& p : *paths)
                p.setstring(databrowse::BrowsePath::f::path,
                            underVm(p.getstring(databrowse::BrowsePath::f::path)));
        if (task) {
            std::vector<std::string> taskPaths;
            for (const char* p = task->getFirstPath(EvRestoreTask::kBrowsePathList); p;
                 p = task->getNextPath(EvRestoreTask::kBrowsePathList))
                taskPaths.push_back(underVm(p));
            task->clearPaths(EvRestoreTask::kBrowsePathList);
            for (const std::string& p : taskPaths) task->addPath(EvRestoreTask::kBrowsePathList, p.c_str());
        }
        log.debugLvl(1, "Browse of VM client [%lld] kept below its GUID [%s] in the hypervisor's index",
                     vmClientId, vmGuid.c_str());
        if (vmGuidOut) *vmGuidOut = vmGuid;
    }
    if (task) {
        task->setClientId(static_cast<long>(intOf(jobEntity, E::clientId)));
        task->setInstanceId(instanceId);
        task->setBackupSetId(backupSetId);
        task->setSubClientId(static_cast<long>(subclientId));
    }
    log.debugLvl(1, "Browse switched to client [%lld], instance [%d], backupset [%d], subclient [%lld]",
                 intOf(jobEntity, E::clientId), instanceId, backupSetId, subclientId);
}

std::string CBrowseVSAUtils::GetVMGuidOfClient(unsigned long clientId, long long at, int* rc) {
    APP_ClientProp property(nullptr);
    property.setIsolationType(4);
    property.setTop(1);
    property.setWhere(
        " componentNameId=%d AND attrName = N'Virtual Machine Instance UUID' AND %lld >= created AND(%lld < "
        "modified OR modified = 0)",
        static_cast<int>(clientId), at, at);
    const int read = property.getOneRow(&property, false, 0, 0);
    if (rc) *rc = read;
    std::string guid;
    if (read == zydb::DB_OK) guid = property.getDataPtr()->attrVal;
    if (guid.empty()) ZYClient(clientId).getGUIDStr(guid);
    return guid;
}

bool CBrowseVSAUtils::IsVMGUID(const std::string& text) {
    return isVmGuidText(text);
}

std::string CBrowseVSAUtils::ExtractVMGUID(const std::string& path) {
    // The platform's one reading of a VM path, which the media agents' stand-in shares.
    return std::string(vmPathHead(path).component);
}

void CBrowseVSAUtils::ExtractVMGUIDListFromPath(EvMultiEntityRestoreTask* task,
                                                std::set<std::string>& guids) {
    if (!task) return;
    for (const char* p = task->getFirstPath(EvRestoreTask::kBrowsePathList); p;
         p = task->getNextPath(EvRestoreTask::kBrowsePathList))
        guids.insert(ExtractVMGUID(p));
}

CUxError CBrowseVSAUtils::ConvertParentVSAEntityToChild(int backupSetId,
                                                        std::vector<databrowse::BrowsePath>* paths,
                                                        ZyEntities::GenericEntity& entity) {
    if (!paths || paths->empty()) return vsaError("No paths specified in browse request");
    if (paths->size() > 1) return vsaError("More than one path specified in browse request");
    return ConvertParentVSAEntityToChild(backupSetId,
                                         paths->front().getstring(databrowse::BrowsePath::f::path), entity);
}

CUxError CBrowseVSAUtils::ConvertParentVSAEntityToChild(int backupSetId, const std::string& path,
                                                        ZyEntities::GenericEntity& entity) {
    CBrowseLog log(kTag);
    const std::string guid = ExtractVMGUID(path);
    int rc = kNoRow;
    AppGetVMBrowseDetails details(nullptr);
    if (!IsVMGUID(guid)) {
        // Text that is not a GUID names no VM: never handed to the database.
        log.debugLvl(1, "Path [%s] names no VM GUID", path.c_str());
    } else {
        details.setValues(guid.c_str(), backupSetId);
        rc = details.getNextRow(&details, nullptr, 0, 0);
    }
    if (rc != 0) {
        std::string text = "AppGetVMBrowseDetails returned DB error code [" + std::to_string(rc) + "]";
        return vsaError(text.c_str());
    }
    const AppGetVMBrowseDetails_t* row = details.getDataPtr();
    entity.setint64(E::clientId, row->VMClientID);
    entity.setint64(E::backupsetId, row->VMBackupsetId);
    entity.setint64(E::subclientId, row->VMSubclientId);
    entity.setint64(E::instanceId, row->VMInstanceId);
    return CUxError::Success();
}
