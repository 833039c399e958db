#include "appbrowse/vsabrowseclient.h"

#include <algorithm>
#include <ctime>
#include <memory>

#include "Db/Proc/ArchGetVMsForBrowse.h"
#include "Db/Tbl/JMJobDataLink.h"
#include "appbrowse/fbhmvsautils.h"
#include "appbrowse/vmbrowseview.h"
#include "fbDebug/fbdebug.h"
#include "planning/browsetask.h"
#include "platform/db/dbresult.h"
#include "platform/entities/apptypes.h"
#include "platform/entities/zyclient.h"
#include "platform/errors/fxerrorutil.h"
#include "platform/indexing/idxsrvrsessioncache.h"
#include "platform/indexing/indexingutils.h"
#include "platform/msg/app_execute_sp.h"
#include "platform/net/zynetwork.h"
#include "platform/tasks/evrestoretask.h"
#include "platform/tasks/evreturndata.h"
#include "platform/tasks/taskoptions.h"
#include "platform/threads/hubclock.h"
#include "service/browserouterthread.h"
#include "service/controllerthread.h"
#include "service/fastbrowsehm_api.h"
#include "worker/fastbrowsehmworkerthread.h"

namespace {

constexpr const char* kTag = "FBHMVSABROWSE";
constexpr int kVmJobLinkType = 7;
constexpr int kForceV2Protocol = 2;
constexpr int64_t kViewLinkAttribute = 38;
constexpr const char* kViewLinkValue = "viewlink";
constexpr int kLiveBrowseOption = 59;
constexpr int64_t kNoPageLimit = 4294967295LL;

using R = databrowse::BrowseRequest::f;
using E = ZyEntities::GenericEntity::f;
using D = databrowse::BrowseData::f;
using A = databrowse::Msg93::f;
using S = databrowse::BrowseAdvancedConfig::f;

CUxError vsaError(const std::string& text) {
    static const FXCodeLocation here(__FILE__, "CBrowseVSAClient", __LINE__);
    return FXErrorUtil::ErrorInt(-1, here, text.c_str());
}

long long intOf(const CNMessageBase* m, const MsgFieldRef& f) {
    return m && m->isSet(f) ? m->getint64(f) : 0;
}

CNMessageBase* childOf(CNMessageBase* m, const MsgFieldRef& f) {
    return m && m->isSet(f) ? m->getObjectAccessor(f, false) : nullptr;
}

std::vector<CNMessageBase>& listOr(std::vector<CNMessageBase>* list) {
    static thread_local std::vector<CNMessageBase> none;
    none.clear();
    return list ? *list : none;
}

// One VM of the root listing as a folder item.
databrowse::BrowseData vmFolder(const ArchGetVMsForBrowse_t& vm) {
    databrowse::BrowseData data;
    data.getObjectAccessor(D::flags, true)->setint64(databrowse::BrowseItemFlags::f::directory, 1);
    data.setstring(D::displayName, vm.r_VMClientName);
    data.setstring(D::name, vm.r_VMGUID);
    const std::string path = std::string("\\") + vm.r_VMGUID;
    data.setstring(D::path, path);
    data.setstring(D::displayPath, path);
    data.setint64(D::size, vm.r_VMSize);
    data.setint64(D::modificationTime, static_cast<int64_t>(static_cast<uint32_t>(vm.r_VMJobEndTime)));

    CNMessageBase* advanced = data.getObjectAccessor(D::advancedData, true);
    advanced->setint64(A::c_938d16, vm.r_VMJobId);
    advanced->getObjectAccessor(A::kelmarch, true)
        ->setint64(ZyEntities::KelmarchEntity::f::kelmarchId, vm.r_VMJobKelmarchId);
    advanced->setint64(A::backupTime, vm.r_VMJobEndTime);
    advanced->getObjectAccessor(A::idxMetaData, true)
        ->getObjectAccessor(IdxMetadata::IdxMetaData::f::at17_17, true)
        ->setint64(IdxMetadata::Msg38::f::osId, vm.r_VMClientOSId);
    CNMessageBase* entity = advanced->getObjectAccessor(A::subclientEntity, true);
    using M = ZyEntities::Msg10::f;
    entity->setint64(M::subclientId, vm.r_VMAppId);
    entity->setstring(M::applicationGUID, vm.r_VMAppGUID);
    entity->setint64(M::backupsetId, vm.r_VMBackupSetId);
    entity->setstring(M::backupsetGUID, vm.r_VMBackupSetGUID);
    entity->setint64(M::clientId, vm.r_VMClientId);
    entity->setstring(M::instanceGUID, vm.r_VMInstanceGUID);
    entity->setint64(M::instanceId, vm.r_VMInstanceId);
    return data;
}

// The query every child request gets when its parent named none: all items, no page limit.
databrowse::Query defaultQuery() {
    databrowse::Query query;
    query.setstring(databrowse::Query::f::queryId, "0");
    query.setint64(databrowse::Query::f::type, 0);
    CNMessageBase* paging = query.getObjectAccessor(databrowse::Query::f::dataParam, true)
                                ->getObjectAccessor(databrowse::DataParam::f::paging, true);
    paging->setint64(databrowse::Msg6::f::firstNode, 0);
    paging->setint64(databrowse::Msg6::f::skipNode, 0);
    paging->setint64(databrowse::Msg6::f::pageSize, kNoPageLimit);
    return query;
}

// A criterion that only links the parent's view; it means nothing to the VM's own index.
bool isViewLinkCriterion(CNMessageBase& criterion) {
    CNMessageBase* value = childOf(&criterion, databrowse::Criteria::f::criteria);
    if (!value || intOf(value, databrowse::FilteredBrowseCriteriaValue::f::attribute) != kViewLinkAttribute)
        return false;
    const auto* values = value->getliststring(databrowse::FilteredBrowseCriteriaValue::f::values, false);
    if (!values) return false;
    for (const std::string& v : *values)
        if (v == kViewLinkValue) return true;
    return false;
}

// The client runs on its worker's road, under the worker's lock (vsaBrowseRequest); the analysis cannot
// tell that the worker behind m_worker is the one whose lock the road holds. The same holds for the
// client's members that reach the worker, which are exempt for it.
void expectAnswersOf(CWorkerThreadHM& worker, CZyNetwork& session) NO_THREAD_SAFETY_ANALYSIS {
    worker.expectAnswersFrom(session);
}

}  // namespace

databrowse::BrowseRequest& CBrowseVSAClient::request() NO_THREAD_SAFETY_ANALYSIS {
    return *m_worker->getBrowseReqV2();
}

CUxError CBrowseVSAClient::Initialize(EvMultiEntityRestoreTask* task,
                                      CWorkerThreadHM* worker) NO_THREAD_SAFETY_ANALYSIS {
    CBrowseLog log(kTag);
    if (!task || !worker) return vsaError("No task or worker to browse virtual machines with");
    m_task = task;
    m_worker = worker;
    GenerateBrowseSessionGuid();
    CNMessageBase* times = request().getObjectAccessor(R::timeRange, true);
    if (intOf(times, databrowse::BrowseTimeRange::f::toTime) == 0) {
        const long now = static_cast<long>(CHubClock::real().epochSeconds());
        m_task->setToTime(now);
        times->setint64(databrowse::BrowseTimeRange::f::toTime, now);
        log.debugLvl(0, "to time was not specified, defaulting to %d", static_cast<int>(now));
    }
    CBrowseTask* browseTask = m_worker->getBrowseTask();
    browseTask->getDataPtr()->workerId = m_worker->getWorkerId();
    const int rc = browseTask->initBrowse(m_task);
    if (rc == 0 && browseTask->getLastErrorCode() != databrowse::BROWSE_ERR_NOTHING_TO_BROWSE)
        return vsaError("CBrowseTask::initBrowse() failed");
    return CUxError::Success();
}

void CBrowseVSAClient::GenerateBrowseSessionGuid() NO_THREAD_SAFETY_ANALYSIS {
    const char* current = m_task->getbrowseSessionGUID();
    if (current && *current) {
        m_browseSessionGuid = current;
        return;
    }
    m_browseSessionGuid = CWorkerThreadHM::GenerateSessionId();
    m_task->setbrowseSessionGUID(m_browseSessionGuid.c_str());
}

int CBrowseVSAClient::GetCopyPrecedence() {
    return static_cast<int>(intOf(childOf(&request(), R::advOptions), databrowse::Msg63::f::copyPrecedence));
}

bool CBrowseVSAClient::IsRootPath(const std::string& path) {
    std::string fixed = path;
    I2::Utils::FixPath(fixed, '\\');
    return fixed == "\\";
}

bool CBrowseVSAClient::BrowseFromHMDB() {
    // No path at all asks for the top of the backup set as well.
    const char* first = m_task->getPath(EvRestoreTask::kBrowsePathList);
    return !first || !*first || IsRootPath(first);
}

bool CBrowseVSAClient::IsAPIInitialize() NO_THREAD_SAFETY_ANALYSIS {
    if (!m_worker->isDirectAPI()) return false;
    CNMessageBase* options = childOf(&request(), R::options);
    if (intOf(options, databrowse::BrowseOptions::f::at80_80) != 0) return false;
    CVMBrowseView::markForHubmaster(request());
    m_worker->setDirectAPIBrowseReq(&request());
    return true;
}

bool CBrowseVSAClient::GetChildJobIdForParent(long long parentJobId, long long kelmarchId, int backupSetId,
                                              long long& childJobId, long long& childKelmarchId) {
    CBrowseLog log(kTag);
    childJobId = 0;
    childKelmarchId = 0;
    JMJobDataLink link(nullptr);
    link.setIsolationType(4);
    link.setTop(1);
    link.setWhere(
        "parentjobid = %lld and kelmarchid = %lld and linkType in (%d) and childJobStatus in (1, 3) \tand "
        "childAppid IN (select id from App_Application(NOLOCK) where backupset = %u)",
        parentJobId, kelmarchId, kVmJobLinkType, static_cast<unsigned>(backupSetId));
    if (link.getOneRow(&link, false, 0, 0) != zydb::DB_OK) {
        log.debugLvl(7, "Unable to find child jobs for parent job [%lld]", parentJobId);
        return false;
    }
    childJobId = link.getDataPtr()->childJobId;
    childKelmarchId = kelmarchId;
    return true;
}

CUxError CBrowseVSAClient::HandleBrowseRequest() {
    CBrowseLog log(kTag);
    if (IsAPIInitialize()) {
        log.debugLvl(0, "API initialize for vCenter subclient successful");
        return CUxError::Success();
    }
    CNMessageBase* times = request().getObjectAccessor(R::timeRange, true);
    if (intOf(times, databrowse::BrowseTimeRange::f::toTime) == 0) {
        const long now = static_cast<long>(CHubClock::real().epochSeconds());
        times->setint64(databrowse::BrowseTimeRange::f::toTime, now);
        log.debugLvl(0, "to time was not specified, defaulting to %d", static_cast<int>(now));
    }
    if (BrowseFromHMDB()) return BrowseRoot();

    std::set<std::string> guids;
    CBrowseVSAUtils::ExtractVMGUIDListFromPath(m_task, guids);
    if (intOf(childOf(&request(), R::options), databrowse::BrowseOptions::f::multiVmFind) != 0) {
        CUxError err = HandleMultiClientBrowse(guids);
        if (err.IsError())
            log.debugLvl(0, "Multi client operation failed with error - %s", err.AsString().c_str());
        return err;
    }
    // The VM the first path names is the one browsed, with that path: a GUID taken from elsewhere would
    // cut the path by another VM's GUID.
    std::string vmPath;
    std::string guid;
    for (const char* p = m_task->getFirstPath(EvRestoreTask::kBrowsePathList); p;
         p = m_task->getNextPath(EvRestoreTask::kBrowsePathList)) {
        guid = CBrowseVSAUtils::ExtractVMGUID(p);
        if (CBrowseVSAUtils::IsVMGUID(guid)) {
            vmPath = p;
            break;
        }
        guid.clear();
    }
    if (guid.empty()) {
        std::string text =
            "No VM GUID in the browse paths of backupset [" + std::to_string(m_task->getBackupSetId()) + "]";
        log.debugLvl(0, "%s", text.c_str());
        return vsaError(text);
    }
    return ResubmitVM(guid, vmPath);
}

CUxError CBrowseVSAClient::BrowseRoot() {
    CBrowseLog log(kTag);
    CNMessageBase* entity = childOf(&request(), R::entity);
    const int subclientId =
        entity && entity->isSet(E::subclientId) ? static_cast<int>(entity->getint64(E::subclientId)) : -1;
    const int copyPrecedence = GetCopyPrecedence();
    log.debugLvl(1,
                 "Browsing from Hubmaster DB for backupset [%ld], subclient id [%d], fromTime [%lu], toTime "
                 "[%lu], copyPrecedence [%d], user [%ld]",
                 m_task->getBackupSetId(), subclientId, static_cast<unsigned long>(m_task->getFromTime()),
                 static_cast<unsigned long>(m_task->getToTime()), copyPrecedence, m_task->getUserId());
    ArchGetVMsForBrowse vms(nullptr);
    vms.setValues(static_cast<int>(m_task->getBackupSetId()), subclientId,
                  static_cast<long long>(m_task->getFromTime()), static_cast<long long>(m_task->getToTime()),
                  copyPrecedence, static_cast<int>(m_task->getUserId()));
    std::vector<CNMessageBase> items;
    int rows = 0;
    int rc = zydb::DB_OK;
    while ((rc = vms.getNextRow(&vms, &rows, -1, 0)) == zydb::DB_OK)
        items.push_back(vmFolder(*vms.getDataPtr()));
    log.debugLvl(1, "Browsed [%d] VMs from Hubmaster DB", static_cast<int>(items.size()));
    if (rc != zydb::DB_NO_DATA) {
        // A list cut short by a read error must not reach the caller as the backup set's whole content.
        std::string text = "Unable to list the virtual machines of backupset [" +
                           std::to_string(m_task->getBackupSetId()) + "]: database error [" +
                           std::to_string(rc) + "]";
        log.debugLvl(0, "%s", text.c_str());
        return vsaError(text);
    }
    databrowse::BrowseResponse response;
    response.setint64(databrowse::BrowseResponse::f::respType, databrowse::BROWSE_RESP_ITEMS);
    response.getObjectAccessor(databrowse::BrowseResponse::f::browseResult, true)
        ->setlistobject(databrowse::BrowseResult::f::dataResultSet, items);
    return SendResponseBack(response);
}

CUxError CBrowseVSAClient::ResubmitVM(const std::string& guid,
                                      const std::string& vmPath) NO_THREAD_SAFETY_ANALYSIS {
    CBrowseLog log(kTag);
    databrowse::BrowseRequest& parent = request();
    const long parentBackupSet = m_task->getBackupSetId();
    ZyEntities::GenericEntity vm;
    if (CBrowseVSAUtils::ConvertParentVSAEntityToChild(static_cast<int>(parentBackupSet), vmPath, vm)
            .IsError()) {
        std::string text = "Unable to get VM details for VM GUID [" + guid + "], Backupset ID [" +
                           std::to_string(parentBackupSet) + "]";
        log.debugLvl(0, "%s", text.c_str());
        return vsaError(text);
    }
    const long clientId = static_cast<long>(vm.getint64(E::clientId));
    const long instanceId = static_cast<long>(vm.getint64(E::instanceId));
    const long backupSetId = static_cast<long>(vm.getint64(E::backupsetId));
    log.debugLvl(
        7,
        "GetVMBrowseDetails() returned client id [%d], instance id [%d], backupSetId [%d], subclientId "
        "[%d] for VM GUID [%s] and Parent Backupset ID [%ld]",
        static_cast<int>(clientId), static_cast<int>(instanceId), static_cast<int>(backupSetId),
        static_cast<int>(vm.getint64(E::subclientId)), guid.c_str(), parentBackupSet);

    ZyEntities::GenericEntity childEntity;
    childEntity.setint64(E::clientId, clientId);
    childEntity.setint64(E::backupsetId, backupSetId);
    childEntity.setint64(E::instanceId, instanceId);
    childEntity.setint64(E::subclientId, -1);
    childEntity.setint64(E::applicationId, apptype::code(apptype::kVirtualServer));
    databrowse::EntityWithFilters withFilters;
    withFilters.setObjectAccessor(childEntity, databrowse::EntityWithFilters::f::entity);

    EvMultiEntityRestoreTask task;
    task.setRequestReads(m_task->requestReads());  // the VM's browse is read in its parent's request
    task.setBrowseOpType(m_task->getBrowseOpType());
    task.addEntity(withFilters);
    // The VM's own browse keeps the caller's whole range: a range cut to its to-time would list versions
    // from before its from-time.
    task.setTaskParameters(m_task->getJobId(), 0, m_task->getUserId(), 0, 2, clientId, backupSetId, 0,
                           m_task->getToTime(), m_task->getFromTime(), apptype::code(apptype::kVirtualServer),
                           instanceId, 0, 0);
    task.setClientId(clientId);
    task.setBackupSetId(backupSetId);
    task.setSubClientId(-1);
    task.setInstanceId(instanceId);
    task.addPath(EvRestoreTask::kBrowsePathList, vmPath.c_str());
    task.setArchGroupCopyPrecedence(m_task->getArchGroupCopyPrecedence());
    task.setUserId(m_task->getUserId());
    task.setUserName(m_task->getUserName());

    databrowse::BrowseRequest child;
    const int opType = static_cast<int>(parent.getint64(R::opType));
    child.setint64(R::opType, opType);
    child.setObjectAccessor(childEntity, R::entity);
    if (CNMessageBase* times = childOf(&parent, R::timeRange)) child.setObjectAccessor(*times, R::timeRange);
    CNMessageBase* caller = childOf(&parent, R::caller);
    CNMessageBase* user = childOf(caller, ZyEntities::Msg74::f::user);
    if (user && user->isSet(ZyEntities::UserEntity::f::userName))
        child.setstring(R::userName, user->getstring(ZyEntities::UserEntity::f::userName));
    else if (*m_task->getUserName())
        child.setstring(R::userName, m_task->getUserName());

    if (opType == databrowse::BROWSE_OP_FIND) {
        // The VM's own GUID leaves its path: "\<guid>\rest" becomes "\rest", the GUID alone "\".
        databrowse::BrowsePath path;
        path.setstring(databrowse::BrowsePath::f::path, CVMBrowseView::withoutVmGuid(vmPath));
        child.setlistobject(R::paths, {path});
    } else if (auto* paths = parent.getlistobject(R::paths, false)) {
        child.setlistobject(R::paths, *paths);
    } else {
        // A caller that named its paths in the task only.
        std::vector<CNMessageBase> fromTask;
        for (const char* p = m_task->getFirstPath(EvRestoreTask::kBrowsePathList); p;
             p = m_task->getNextPath(EvRestoreTask::kBrowsePathList)) {
            databrowse::BrowsePath path;
            path.setstring(databrowse::BrowsePath::f::path, p);
            fromTask.push_back(std::move(path));
        }
        child.setlistobject(R::paths, fromTask);
    }

    std::vector<CNMessageBase> queries = listOr(parent.getlistobject(R::queries, false));
    if (queries.empty()) {
        queries.push_back(defaultQuery());
    } else {
        for (CNMessageBase& query : queries) {
            auto* criteria = query.getlistobject(databrowse::Query::f::criteriaList, false);
            if (!criteria) continue;
            std::vector<CNMessageBase> kept;
            for (CNMessageBase& c : *criteria)
                if (!isViewLinkCriterion(c)) kept.push_back(c);
            query.setlistobject(databrowse::Query::f::criteriaList, kept);
        }
    }
    child.setlistobject(R::queries, queries);

    std::string extended(EvRestoreTask::kExtendedOptionCount, '0');
    if (CNMessageBase* options = childOf(&parent, R::options)) {
        if (intOf(options, databrowse::BrowseOptions::f::at3_3) != 0) extended[kLiveBrowseOption] = '1';
        child.setObjectAccessor(*options, R::options);
    }

    if (CNMessageBase* advanced = childOf(&parent, R::advOptions)) {
        child.setObjectAccessor(*advanced, R::advOptions);
        CNMessageBase* settings =
            childOf(child.getObjectAccessor(R::advOptions, false), databrowse::Msg63::f::advancedConfig);
        if (settings) {
            settings->clearField(S::flagBlock.tag, S::flagBlock.code);
            if (CNMessageBase* job = childOf(settings, S::jobBlock)) {
                const long long jobId = intOf(job, databrowse::Msg11::f::jobId);
                long long childJob = 0, childKelmarch = 0;
                if (jobId != 0 &&
                    GetChildJobIdForParent(jobId, intOf(job, databrowse::Msg11::f::kelmarchId),
                                           static_cast<int>(backupSetId), childJob, childKelmarch)) {
                    job->setint64(databrowse::Msg11::f::jobId, childJob);
                    job->setint64(databrowse::Msg11::f::kelmarchId, childKelmarch);
                } else {
                    settings->clearField(S::jobBlock.tag, S::jobBlock.code);
                }
            }
            CNMessageBase* search = childOf(childOf(settings, S::at5_5), databrowse::Msg38::f::at1_1);
            // The search block's first child carries the phrase in its element 1.
            if (search && search->isSet(databrowse::Msg30::f::mediaAgentName))
                task.setFcsPhrase(search->getstring(databrowse::Msg30::f::mediaAgentName).c_str());
        }
    }
    if (CNMessageBase* ma = childOf(&parent, R::ma)) {
        child.setObjectAccessor(*ma, R::ma);
        task.setMediaAgentId(static_cast<long>(intOf(ma, ZyEntities::ClientEntity::f::clientId)));
    }

    task.setextendedOptions(extended.c_str());
    child.getObjectAccessor(R::advOptions, true)
        ->getObjectAccessor(databrowse::Msg63::f::advancedConfig, true)
        ->setint64(S::forceProtocol, kForceV2Protocol);

    return SubmitVM(task, child);
}

CUxError CBrowseVSAClient::SubmitVM(EvMultiEntityRestoreTask& task,
                                    databrowse::BrowseRequest& child) NO_THREAD_SAFETY_ANALYSIS {
    CBrowseLog log(kTag);
    if (!g_poControllerThreadHM) return vsaError("Failed to spawn a new request to browse VM");
    // The VM's answers go to this job's return data too: this request waits for the VM's to end (its
    // last answer relayed, or its failure answered) and then ends, so nothing of it stays registered
    // and the caller's end comes after the VM's items. The VM's browse has a session of its own, which a
    // stop of this one stops too: a VM's agent that never answers does not hold this request.
    const std::string vmSession = CWorkerThreadHM::GenerateSessionId();
    task.setbrowseSessionGUID(vmSession.c_str());
    child.getObjectAccessor(R::session, true)->setstring(databrowse::BrowseSession::f::sessionId, vmSession);
    m_worker->setWaitedSession(vmSession);
    const bool done =
        !m_worker->getStopFlag() &&
        g_poControllerThreadHM->newRequest(&task, true, false, databrowse::FORCE_USE_INDEX_NONE, &child);
    m_worker->setWaitedSession("");
    m_callerAnswered = true;
    // The VM's channel ends the caller's answer when the VM's worker goes, which may be after this one:
    // an end from here could overtake the VM's last items.
    m_worker->getBrowseTask()->getDataPtr()->options |= taskoption::kNested;
    if (!done) {
        log.debugLvl(0, "Failed to spawn a new request to browse VM");
        return vsaError("Failed to spawn a new request to browse VM");
    }
    log.debugLvl(0, "VM level browse request completed successfully");
    return CUxError::Success();
}

CUxError CBrowseVSAClient::SendResponseBack(databrowse::BrowseResponse& response) NO_THREAD_SAFETY_ANALYSIS {
    CBrowseLog log(kTag);
    if (m_worker->isDirectAPI()) {
        m_worker->setBrowseFromHMDB(true);
        CNMessageBase* session = childOf(&request(), R::session);
        databrowse::BrowseSession copy;
        copy.setstring(databrowse::BrowseSession::f::sessionId,
                       session ? session->getstring(databrowse::BrowseSession::f::sessionId) : "");
        response.setObjectAccessor(copy, databrowse::BrowseResponse::f::session);
        m_worker->setResponse(response);
        return CUxError::Success();
    }
    std::string xml;
    response.serialize(xml);
    log.debugLvl(7, "Returning browse response - [%s]", xml.c_str());
    EvRestoreReturn* channel = m_worker->getBrowseTask()->getDataPtr()->restoreReturn;
    const int rc = channel ? channel->returnXMLItem(xml) : -1;
    if (rc != 0) {
        std::string text = "Failed to return browse response to GUI. Err Code [" + std::to_string(rc) + "]";
        log.debugLvl(0, "%s", text.c_str());
        return vsaError(text);
    }
    databrowse::BrowseResponse end;
    end.setint64(databrowse::BrowseResponse::f::respType, databrowse::BROWSE_RESP_END);
    std::string endXml;
    end.serialize(endXml);
    m_worker->processEndMessage(endXml.c_str());
    m_callerAnswered = true;
    return CUxError::Success();
}

CUxError CBrowseVSAClient::HandleMultiClientBrowse(const std::set<std::string>& vmGuids)
    NO_THREAD_SAFETY_ANALYSIS {
    CBrowseLog log(kTag);
    databrowse::BrowseRequest find = request();
    CNMessageBase* times = find.getObjectAccessor(R::timeRange, true);
    if (intOf(times, databrowse::BrowseTimeRange::f::toTime) == 0)
        times->setint64(databrowse::BrowseTimeRange::f::toTime,
                        static_cast<int64_t>(CHubClock::real().epochSeconds()));
    // The answers come back through the router, which hands a worker only those of its own session.
    find.getObjectAccessor(R::session, true)
        ->setstring(databrowse::BrowseSession::f::sessionId, m_worker->getBrowseSessionGuid());
    databrowse::BrowsePath everything;
    everything.setstring(databrowse::BrowsePath::f::path, "\\**\\*");
    find.setlistobject(R::paths, {everything});

    const int parentBackupSet = static_cast<int>(intOf(childOf(&request(), R::entity), E::backupsetId));
    std::vector<CNMessageBase> entities;
    for (const std::string& guid : vmGuids) {
        ZyEntities::GenericEntity vm;
        if (CBrowseVSAUtils::ConvertParentVSAEntityToChild(parentBackupSet, "\\" + guid, vm).IsError()) {
            log.debugLvl(0, "Unable to convert to VM entity for VM GUID [%s]", guid.c_str());
            continue;
        }
        databrowse::EntityWithFilters withFilters;
        withFilters.setObjectAccessor(vm, databrowse::EntityWithFilters::f::entity);
        entities.push_back(std::move(withFilters));
    }
    find.setlistobject(R::filteredEntities, entities);
    find.clearField(R::entity.tag, R::entity.code);
    CNMessageBase* user = childOf(childOf(&request(), R::caller), ZyEntities::Msg74::f::user);
    if (user && user->isSet(ZyEntities::UserEntity::f::userName))
        find.setstring(R::userName, user->getstring(ZyEntities::UserEntity::f::userName));

    databrowse::BrowseRequest located;
    CUxError err = I2::Utils::ExecuteAppMgrSP(find.getTagID(), find, located);
    std::string xml;
    find.serialize(xml);
    log.debugLvl(10, "Multi find request [%s]", xml.c_str());
    xml.clear();
    located.serialize(xml);
    log.debugLvl(10, "Multi find response [%s]", xml.c_str());

    CNMessageBase* routing = childOf(childOf(&located, R::indexing), databrowse::Msg91::f::indexingInfo);
    CNMessageBase* database = childOf(routing, databrowse::IndexingInfo::f::indexDBInfo);
    std::string mediaAgent, key;
    auto engine = App::IDX_DB_ENGINE_UNKNOWN;
    if (database) {
        mediaAgent = database->getstring(databrowse::IndexDBInfo::f::mediaAgentName);
        engine = static_cast<App::IdxDbEngineType>(intOf(database, databrowse::IndexDBInfo::f::dbEngineType));
        CNMessageBase* name = childOf(database, databrowse::IndexDBInfo::f::indexDb);
        key =
            I2::Utils::FormBackupSetAndDbName(database->getstring(databrowse::IndexDBInfo::f::backupSetGUID),
                                              name ? name->getstring(databrowse::Msg87::f::dbName) : "");
        std::string host;
        ZYClient(ZYClient::hubmasterClientId()).getNetworkHostnameMangled(host);
        routing->setstring(databrowse::IndexingInfo::f::hubmasterHost, host);
        routing->setstring(databrowse::IndexingInfo::f::routerName,
                           g_poBrowseRouterThreadHM ? g_poBrowseRouterThreadHM->getRouterName()
                                                    : std::string("BrowseRouter"));
        routing->setstring(databrowse::IndexingInfo::f::workerId, m_worker->getWorkerId());
    }

    m_worker->setAsyncMode(true);
    m_worker->setOutstandingRequests(m_worker->getOutstandingRequests() + 1);
    CZyNetwork* session = nullptr;
    std::string sessionKey;
    auto* cache = I2::Utils::DbToIdxSrvrSessionCache::Instance();
    if (err.IsError() || !database)
        err =
            vsaError(err.IsError() ? err.GetErrorText() : "no media agent holds the virtual machines' index");
    else
        err = cache->GetSession(key, engine, mediaAgent, session, sessionKey);
    if (!err.IsError()) {
        bool timedOut = false;
        err = session->SendXMLMessage(located, 0, 120, timedOut);
        if (!err.IsError()) expectAnswersOf(*m_worker, *session);
        CUxError released = cache->ReleaseSession(sessionKey, session);
        if (!err.IsError() && released.IsError()) err = released;
    }
    if (err.IsError()) {
        // Nothing was sent: no answer will come for the worker to wait for.
        m_worker->setOutstandingRequests(m_worker->getOutstandingRequests() - 1);
        m_worker->setAsyncMode(false);
        log.debugLvl(0, "Error sending browse request to MA - %s", err.AsString().c_str());
        return err;
    }
    return CUxError::Success();
}
