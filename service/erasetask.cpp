#include "service/erasetask.h"

#include <memory>
#include <random>
#include <set>

#include "fbDebug/fbdebug.h"
#include "platform/db/requestscope.h"
#include "platform/msg/xml_codec.h"
#include "platform/taskmgr/evtaskmgr.h"
#include "service/enduserErase.h"
#include "service/fastbrowsehm_api.h"
#include "service/routerfields.h"

namespace {

using namespace routerfields;
using E = ZyEntities::GenericEntity::f;
using R = databrowse::BrowseRequest::f;

constexpr int64_t kEraseOperation = 4016;
constexpr uint32_t kGenericAnswer = 0x0CF2BE27;
constexpr uint32_t kCreateTaskAnswer = 0x0CD0D031;
constexpr int kFailed = -1;

// The request id the task manager is handed: any thread may launch, so each has its own generator.
long nextRequestId() {
    thread_local std::mt19937 generator{std::random_device{}()};
    return static_cast<long>(std::uniform_int_distribution<int>(0, 0x7fffffff)(generator));
}

}  // namespace

TMMsg::CreateTaskReq buildEraseCreateTaskRequest(databrowse::BrowseRequest& request) {
    const CNMessageBase* e = entity(request);
    const int64_t appType = intOf(e, E::applicationId), backupSet = intOf(e, E::backupsetId),
                  client = intOf(e, E::clientId), instance = intOf(e, E::instanceId);

    ZyEntities::GenericEntity taskEntity;
    taskEntity.setint64(E::applicationId, appType);
    taskEntity.setint64(E::backupsetId, backupSet);
    taskEntity.setint64(E::clientId, client);
    taskEntity.setint64(E::instanceId, instance);
    taskEntity.setint64(E::at63_162, 1);
    taskEntity.setint64(E::at64_163, 1);
    taskEntity.setint64(E::type, 0);

    // Each path once, in the order first named: the task erases a path once.
    std::vector<std::string> paths;
    std::set<std::string> named;
    if (auto* list = request.getlistobject(R::paths, false))
        for (const CNMessageBase& path : *list)
            if (std::string text = path.getstring(databrowse::BrowsePath::f::path); named.insert(text).second)
                paths.push_back(std::move(text));
    ZyEntities::Msg10 pathEntity;
    pathEntity.setint64(ZyEntities::Msg10::f::applicationId, appType);
    pathEntity.setint64(ZyEntities::Msg10::f::backupsetId, backupSet);
    pathEntity.setint64(ZyEntities::Msg10::f::clientId, client);
    pathEntity.setint64(ZyEntities::Msg10::f::instanceId, instance);
    TMMsg::Msg330 erase;
    erase.setObjectAccessor(pathEntity, TMMsg::Msg330::f::at1_1);
    erase.setliststring(TMMsg::Msg330::f::paths, paths);
    TMMsg::Msg375 inner;
    inner.setObjectAccessor(erase, TMMsg::Msg375::f::at11_11);
    TMMsg::Msg262 options;
    options.setObjectAccessor(inner, TMMsg::Msg262::f::at3_3);
    TMMsg::Msg10 subTaskRecord;
    subTaskRecord.setint64(TMMsg::Msg10::f::operationType, kEraseOperation);
    subTaskRecord.setint64(TMMsg::Msg10::f::at6_6, 1);
    TMMsg::SubTaskInfo subTask;
    subTask.setObjectAccessor(subTaskRecord, TMMsg::SubTaskInfo::f::subTask);
    subTask.setObjectAccessor(options, TMMsg::SubTaskInfo::f::at4_4);

    TMMsg::TaskSecurity security;
    security.setint64(TMMsg::TaskSecurity::f::at1_1, 0);
    TMMsg::TaskRecord task;
    task.setint64(TMMsg::TaskRecord::f::taskType, 2);
    task.setint64(TMMsg::TaskRecord::f::at8_8, 1);
    task.setint64(TMMsg::TaskRecord::f::at7_7, 0);
    task.setObjectAccessor(security, TMMsg::TaskRecord::f::at6_6);
    TMMsg::Msg40 association;
    association.setlistobject(TMMsg::Msg40::f::at3_3, {taskEntity});

    TMMsg::CreateTaskReq create;
    create.setObjectAccessor(association, TMMsg::CreateTaskReq::f::taskInfo);
    create.setlistobject(TMMsg::CreateTaskReq::f::subTasks, {subTask});
    create.setObjectAccessor(task, TMMsg::CreateTaskReq::f::task);
    return create;
}

int readEraseCreateTaskAnswer(const std::string& answer) {
    EvDebug log(g_pLogInstance);
    XMLDecoder decoder;
    std::unique_ptr<CNMessageBase> decoded;
    if (decoder.decode(answer.data(), answer.size(), decoded) != 0 || !decoded) return 0;
    int result = 0;
    if (decoded->getTagID() == kGenericAnswer) {
        if (!decoded->isSet(TMMsg::GenericResp::f::errorCode)) {
            log.debugLvl(-1, "CreateNewTask returned Generic Response [%s].", answer.c_str());
        } else if (static_cast<uint32_t>(decoded->getint64(TMMsg::GenericResp::f::errorCode)) ==
                   EvTaskMgr::kSecurityError) {
            log.debugLvl(-1, " CreateNewTask Security Error occurred [%s].", answer.c_str());
            result = kFailed;
        }
    } else if (decoded->getTagID() == kCreateTaskAnswer) {
        if (!decoded->isSet(TMMsg::CreateTaskResp::f::taskId)) {
            log.debugLvl(-1, "CreateNewTask TaskId not set [%s].", answer.c_str());
            result = kFailed;
        }
        if (!decoded->isSet(TMMsg::CreateTaskResp::f::jobId)) {
            log.debugLvl(-1, "CreateNewTask JobId not set [%s].", answer.c_str());
            result = kFailed;
        }
    }
    return result;
}

extern "C" int fastBrowseHMLaunchEraseCreateTask(databrowse::BrowseRequest* request) {
    zydb::CRequestReads reads;
    EvDebug log(g_pLogInstance);
    if (!request) return kFailed;
    CNMessageBase* range = request->getObjectAccessor(R::timeRange, true);
    if (static_cast<int32_t>(intOf(range, databrowse::BrowseTimeRange::f::toTime)) == 0)
        range->setint64(databrowse::BrowseTimeRange::f::toTime, 0);
    TMMsg::CreateTaskReq create = buildEraseCreateTaskRequest(*request);
    std::string text;
    if (create.serialize(text) != 0) return kFailed;
    log.debugLvl(2, " [%s]", text.c_str());
    const int rc = EvTaskMgr::controlTaskManager(2, 0, 1, nextRequestId(), TMMsg::CreateTaskReq::TAG, text,
                                                 false, nullptr, false, "", false);
    if (rc != 0) {
        log.debugLvl(-1, "Create Task Request failed [%s]", text.c_str());
        return rc;
    }
    const int created = readEraseCreateTaskAnswer(text);
    // Usage drops once, for the task that erases: the sizes are the ones the caller (the Hubmaster's
    // browse service) took from the media agent's index.
    if (created == 0) {
        CBrowseLog usage("FBHMROUTER");
        bookEndUserEraseUsage(*request, usage);
    }
    return created;
}
