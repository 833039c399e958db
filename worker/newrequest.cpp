// Request intake: the one entry of a worker for one browse request, from the request's analysis to the
// body, with one exit that gives back exactly the configuration reference this request took. Runs on
// the caller's thread while it holds the worker's lock.
#include <algorithm>
#include <boost/algorithm/string/predicate.hpp>

#include "fbDebug/fbdebug.h"
#include "indexing/superbrowserequest.h"
#include "planning/browsetask.h"
#include "planning/confmgr.h"
#include "planning/confrecord.h"
#include "planning/handedover.h"
#include "planning/superbrowsemanager.h"
#include "platform/entities/apptypes.h"
#include "platform/entities/entityconfig.h"
#include "platform/errors/evmessagecontainer.h"
#include "platform/errors/evmessageids.h"
#include "platform/indexing/supersearch.h"
#include "platform/msg/criteriaoperators.h"
#include "platform/security/evsecuritymgr.h"
#include "platform/tasks/evrestoretask.h"
#include "worker/authentication.h"
#include "worker/fastbrowsehmworkerthread.h"
#include "worker/requestlog.h"

namespace {

const char* const kTag = "FBHMWORKER";

// Hands the task's request scope to the worker's steps (and to its private task, which they read) for
// one call and takes it back after: neither points at a scope once it has closed.
class CHeldReads {
public:
    CHeldReads(zydb::CRequestReads*& slot, EvMultiEntityRestoreTask* task,
               std::unique_ptr<EvMultiEntityRestoreTask>& privateTask)
        : m_slot(slot), m_privateTask(privateTask) {
        m_slot = task ? task->requestReads() : nullptr;
        if (m_privateTask) m_privateTask->setRequestReads(m_slot);
    }
    ~CHeldReads() {
        m_slot = nullptr;
        if (m_privateTask) m_privateTask->setRequestReads(nullptr);
    }
    CHeldReads(const CHeldReads&) = delete;
    CHeldReads& operator=(const CHeldReads&) = delete;

private:
    zydb::CRequestReads*& m_slot;
    std::unique_ptr<EvMultiEntityRestoreTask>& m_privateTask;
};

constexpr size_t kMaxLoggedPaths = 99;
constexpr int kExtendedOptionForceSuperBrowse = 86;
constexpr int kProviderOneDrive = 7;
constexpr int kVmGuidAttribute = 16;
const char* const kAllZeroGuid = "00000000-0000-0000-0000-000000000000";
const char* const kMailboxRestrictionQueryId = "mailbox-owner-restriction";
const char* const kVmRestrictionQueryId = "virtual-machine-restriction";
const char* const kRefusedText = "Browse access denied: you are not authorised to browse this data.";
const char* const kNarrowedMediaRefusal =
    "Browse access denied: the media of a restore are worked out for the whole subclient, of which you may "
    "see only your own data";

std::vector<CNMessageBase>* queriesOf(databrowse::Querylist* list) {
    return list ? list->getlistobject(databrowse::Querylist::f::queries, false) : nullptr;
}

// The user of the request's caller record, when it names one: both replace the given ones.
void requestUser(databrowse::BrowseRequest& request, long& userId, std::string& userName) {
    if (!request.isSet(databrowse::BrowseRequest::f::caller)) return;
    CNMessageBase* caller = request.getObjectAccessor(databrowse::BrowseRequest::f::caller, false);
    if (!caller->isSet(ZyEntities::Msg74::f::user)) return;
    CNMessageBase* user = caller->getObjectAccessor(ZyEntities::Msg74::f::user, false);
    userId = static_cast<long>(user->getint64(ZyEntities::UserEntity::f::userId));
    userName = user->getstring(ZyEntities::UserEntity::f::userName);
}

CNMessageBase* optionBlock(databrowse::BrowseRequest& request) {
    return request.isSet(databrowse::BrowseRequest::f::options)
               ? request.getObjectAccessor(databrowse::BrowseRequest::f::options, false)
               : nullptr;
}

}  // namespace

void CWorkerThreadHM::logRequestStart() {
    if (m_startLogged) return;
    m_startLogged = true;
    CBrowseLog(kTag).debugLvl(0, "START - browse request with worker id [%s]", m_workerId.c_str());
}

void CWorkerThreadHM::logRequestEnd() {
    CBrowseLog(kTag).debugLvl(0, "END - browse request with worker id [%s]", m_workerId.c_str());
}

bool CWorkerThreadHM::newRequest(EvMultiEntityRestoreTask* task) {
    CBrowseLog log(kTag);
    const CHeldReads held(m_reads, task, m_privateTask);
    logRequestStart();
    if (task) {
        m_callerJobId = task->getJobId();
        m_callerOptions = task->getOptions();
    }
    const CStepResult outcome =
        task ? runRequest(task)
             : CStepResult::failure(databrowse::BROWSE_ERR_GENERIC, "no browse task was given");
    // The one place a failed step becomes the worker's error state, which its caller answers with.
    if (!outcome.ok()) setLastError(outcome.code(), outcome.text());
    const bool result = outcome.ok();

    // The one exit. A request whose super browses are out keeps its reference for their answers
    // (processEndMessage or its deletion gives it back); any other gives back exactly the one it took.
    const bool keepsReference = result && getAsyncMode() && !m_replyChannel.endSent();
    if (!keepsReference) releaseConfReference();
    if (!result) logRequestEnd();
    if (!keepsReference && g_poConfMgr) {
        const std::string guid = getBrowseSessionGuid();
        if (!guid.empty()) g_poConfMgr->deleteConfRec(guid);
    }
    return result;
}

bool CWorkerThreadHM::judgeCaller(EvMultiEntityRestoreTask* task) {
    const CHeldReads held(m_reads, task, m_privateTask);
    TRequestAuth auth;
    CStepResult outcome = checkValueRanges(*task);
    if (outcome.ok()) outcome = settleEntity(task);
    if (outcome.ok()) outcome = authenticateCaller(task, auth);
    if (!outcome.ok()) setLastError(outcome.code(), outcome.text());
    if (outcome.ok()) m_judgedCaller = std::move(auth);
    return outcome.ok();
}

CStepResult CWorkerThreadHM::stepFailure(databrowse::BrowseErrorCode code, const std::string& text) const {
    if (m_errorText[0] != '\0')
        return CStepResult::failure(m_errorCode != databrowse::BROWSE_ERR_NONE ? m_errorCode : code,
                                    m_errorText);
    return CStepResult::failure(code, text);
}

CStepResult CWorkerThreadHM::runRequest(EvMultiEntityRestoreTask* task) {
    CBrowseLog log(kTag);
    if (CStepResult inRange = checkValueRanges(*task); !inRange.ok()) return inRange;
    if (CStepResult settled = settleEntity(task); !settled.ok()) return settled;
    // A VM path that no road would read as the caller meant it: he is told what a VM path looks like.
    if (const std::string why = CVMBrowseView::pathRefusal(task); !why.empty()) {
        log.debugLvl(0, "browse request refused: %s", why.c_str());
        return CStepResult::failure(databrowse::BROWSE_ERR_GENERIC, why);
    }
    if (IsVMCentricBrowseFromParent(task)) {
        if (vsaBrowseRequest(task)) return {};
        return stepFailure(databrowse::BROWSE_ERR_GENERIC,
                           "The browse of the hypervisor backup set's virtual machines failed");
    }
    if (m_appMining) {
        if (appMiningRequest(task)) return {};
        return stepFailure(databrowse::BROWSE_ERR_GENERIC,
                           "The application mining browse could not be started");
    }
    logReceivedRequest(task);

    // Authentication and normalisation: the private task from here on.
    TRequestAuth auth;
    if (m_judgedCaller) {
        // Judged already (a router's erase, before its gate): the same caller on the same task.
        auth = std::move(*m_judgedCaller);
        m_judgedCaller.reset();
    } else if (CStepResult authenticated = authenticateCaller(task, auth); !authenticated.ok()) {
        return authenticated;
    }
    // Which index answers a VM browse, and how its answers are named back, is the view's to decide.
    if (task->getAppType() == apptype::kVirtualServer) {
        const databrowse::BrowseRequest asked = m_browseRequest;
        if (m_vmView.decide(task, m_browseRequest) && m_directAPI) {
            // A direct caller would read the hypervisor's index in its own view: the browse goes through
            // the Hubmaster instead, which renames its answers, as for a hypervisor kept per VM. Unlike
            // that road, option 80 does not hold the hand-back: this worker cannot answer a direct caller
            // itself, and the media agent's request would name the hypervisor's paths.
            m_browseRequest = asked;
            CVMBrowseView::markForHubmaster(m_browseRequest);
            setDirectAPIBrowseReq(&m_browseRequest);
            log.debugLvl(1,
                         "VM browse read from its hypervisor's index; the direct caller browses it "
                         "through the Hubmaster");
            return {};
        }
    }
    bool sessionGuidGenerated = false;
    if (CStepResult normalised = normaliseRequest(task, auth, sessionGuidGenerated); !normalised.ok())
        return normalised;
    EvMultiEntityRestoreTask* privateTask = m_privateTask.get();
    const apptype::EAppType appType = privateTask->getAppType();
    const std::string userName = privateTask->getUserName();

    switch (routeAcrossAgentUpgrade(task)) {
        case EUpgradeRoute::kAnswered:
            return {};
        case EUpgradeRoute::kFailed:
            return stepFailure(databrowse::BROWSE_ERR_REQUEST_PROCESSING,
                               "The browse of the agent's data across its upgrade failed");
        case EUpgradeRoute::kGoOn:
            break;
    }
    if (isLiveMachineBrowseInit()) {
        if (initLiveMachineBrowse(privateTask)) return {};
        return stepFailure(databrowse::BROWSE_ERR_REQUEST_PROCESSING,
                           "The live machine browse could not be initialised");
    }
    if (!applySyncFlags(privateTask))
        return stepFailure(databrowse::BROWSE_ERR_GENERIC, "The sync flags of the request could not be kept");

    if (CStepResult access = checkApplicationAccess(privateTask, appType, auth); !access.ok()) return access;
    if (CStepResult setUp = setUpRequestBrowse(privateTask, appType, auth); !setUp.ok()) return setUp;
    if (CStepResult decided = decideSuperSearch(privateTask, auth, userName); !decided.ok()) return decided;
    if (CStepResult queries = applyQueries(privateTask, appType, auth); !queries.ok()) return queries;
    if (CStepResult prediction = startPrediction(privateTask, sessionGuidGenerated); !prediction.ok())
        return prediction;
    if (CStepResult copy = applyBackupCopyView(privateTask); !copy.ok()) return copy;

    CStepResult body = mainBody();
    if (body.ok()) return body;
    log.debugLvl(0, "fastbrowse worker [%s]  while processing browse request %s", m_workerId.c_str(),
                 getStopFlag() ? "was stopped" : "failed");
    return body;
}

void CWorkerThreadHM::logReceivedRequest(EvMultiEntityRestoreTask* task) {
    CBrowseLog log(kTag);
    const auto* paths = m_browseRequest.getlistobject(databrowse::BrowseRequest::f::paths, false);
    if (paths && paths->size() > kMaxLoggedPaths && log.getDebugLevel() <= 1)
        log.debugLvl(1, "Received browse Request with [%u] source files",
                     static_cast<unsigned>(paths->size()));
    else
        log.debugLvl(0, "Received browse Request %s", maskedRequestText(m_browseRequest).c_str());

    m_browseRequest.getObjectAccessor(databrowse::BrowseRequest::f::advOptions, true)
        ->setint64(databrowse::Msg63::f::userId, task->getUserId());
}

CStepResult CWorkerThreadHM::checkValueRanges(const EvMultiEntityRestoreTask& task) {
    std::string why = within32bits::outOfRange(task);
    if (why.empty()) why = within32bits::outOfRange(m_browseRequest);
    const std::string pattern = task.getbrowseFindPattern();
    m_checkedFilter.reset();
    m_checkedFilterText.clear();
    if (why.empty() && !pattern.empty()) {
        auto queries = std::make_unique<databrowse::Querylist>();
        if (queries->unserialize(pattern) == 0) {
            if (auto* list = queries->getlistobject(databrowse::Querylist::f::queries, false))
                for (const CNMessageBase& query : *list)
                    if (why = within32bits::outOfRangePaging(query); !why.empty()) break;
            m_checkedFilter = std::move(queries);
            m_checkedFilterText = pattern;
        }
    }
    if (why.empty()) return {};
    CBrowseLog(kTag).debugLvl(0, "browse request refused: %s", why.c_str());
    return CStepResult::failure(databrowse::BROWSE_ERR_GENERIC, why);
}

TEntityCaller CWorkerThreadHM::entityCaller(const EvMultiEntityRestoreTask& task) const {
    TEntityCaller caller;
    caller.reads = m_reads;
    caller.userId = static_cast<int>(task.getUserId());
    const char* name = task.getUserName();
    caller.directWithoutUser = m_directAPI && (!name || !*name);
    caller.direct.checkClientMap = m_checkClientMap;
    caller.direct.token = m_browseRequest.getstring(databrowse::BrowseRequest::f::token);
    caller.direct.callerClientId = task.getCallerClientId();
    caller.direct.jobId = static_cast<long long>(task.getJobId());
    caller.direct.reads = m_reads;
    return caller;
}

CStepResult CWorkerThreadHM::settleEntity(EvMultiEntityRestoreTask* task) {
    using G = ZyEntities::GenericEntity::f;
    const TMaySeeClient maySee = maySeeClientOf(entityCaller(*task));
    const auto locale = static_cast<unsigned long>(task->getTaskLocale());
    CNMessageBase* entity = m_browseRequest.getObjectAccessor(databrowse::BrowseRequest::f::entity, false);
    // The browse task names its subclient as the task's subclient, or as its application id.
    const long subclientId = task->getSubClientId() > 0 ? task->getSubClientId() : task->getAppId();
    TNamedEntity named = namedEntityOf(entity);
    named.clientId = task->getClientId();
    named.subclientId = subclientId;
    named.backupSetId = task->getBackupSetId();
    named.claimedAppType = apptype::code(task->getAppType());
    TEntityKind kind;
    const TEntityVerdict verdict = judgeNamedEntity(m_reads, named, maySee, kind, locale, &m_browseRequest);
    if (!verdict.settled) return refusedEntity(verdict);
    if (kind.clientId > 0) {
        // The browse is of the subclient the kind was read for, on every road: one named as the task's
        // application id alone would be planned as its whole backup set.
        if (task->getSubClientId() == 0 && kind.subclientId > 0) task->setSubClientId(kind.subclientId);
        if (task->getClientId() <= 0) task->setClientId(kind.clientId);
        task->setAppType(kind.appType);
        task->setInstanceId(kind.instanceId);
        task->setBackupSetId(kind.backupSetId);
        if (entity && entity->isSet(G::applicationId))
            entity->setint64(G::applicationId, apptype::code(kind.appType));
    }
    for (databrowse::EntityWithFilters& entry : task->getEntityList()) {
        CNMessageBase* listed = entry.getObjectAccessor(databrowse::EntityWithFilters::f::entity, false);
        if (!listed) continue;
        TNamedEntity each = namedEntityOf(listed);
        if (!listed->isSet(G::applicationId))
            each.claimedAppType = entry.getint64(databrowse::EntityWithFilters::f::appType);
        TEntityKind eachKind;
        const TEntityVerdict judged =
            judgeNamedEntity(m_reads, each, maySee, eachKind, locale, &m_browseRequest);
        if (!judged.settled) return refusedEntity(judged);
        if (eachKind.clientId <= 0) continue;
        if (!listed->isSet(G::clientId) || listed->getint64(G::clientId) <= 0)
            listed->setint64(G::clientId, eachKind.clientId);
        listed->setint64(G::applicationId, apptype::code(eachKind.appType));
        listed->setint64(G::instanceId, eachKind.instanceId);
        listed->setint64(G::backupsetId, eachKind.backupSetId);
    }
    return {};
}

CStepResult CWorkerThreadHM::refusedEntity(const TEntityVerdict& verdict) const {
    CBrowseLog log(kTag);
    if (verdict.described())
        log.debugLvl(0, "browse request refused: %s", verdict.refusal.c_str());
    else
        log.debugLvl(0, "browse request refused as not authorised (its entity: %s)",
                     verdict.description.c_str());
    return CStepResult::failure(static_cast<databrowse::BrowseErrorCode>(verdict.code), verdict.refusal);
}

CStepResult CWorkerThreadHM::refusal() const {
    if (m_errorCode != databrowse::BROWSE_ERR_NONE && m_errorText[0] != '\0')
        return CStepResult::failure(m_errorCode, m_errorText);
    return CStepResult::failure(databrowse::BROWSE_ERR_PERMISSION, kRefusedText);
}

CStepResult CWorkerThreadHM::authenticateCaller(EvMultiEntityRestoreTask* task, TRequestAuth& auth) {
    CBrowseLog log(kTag);
    // What cannot be checked is not given: a refusal, whatever stopped the check.
    if (!authenticateRequest(task, auth))
        return stepFailure(databrowse::BROWSE_ERR_PERMISSION,
                           "The caller's right to browse cannot be checked");
    if (!authenticateMailbox(task, auth))
        return stepFailure(databrowse::BROWSE_ERR_PERMISSION,
                           "The user's access to the mailbox cannot be checked");
    // Rights are decided before anything is set up or read: a refused caller learns nothing but the
    // refusal, whatever the request would have found.
    if (auth.authFailed) {
        log.debugLvl(0, "Returning as authentication failed...");
        return refusal();
    }
    return {};
}

CStepResult CWorkerThreadHM::checkApplicationAccess(EvMultiEntityRestoreTask* privateTask,
                                                    apptype::EAppType appType, TRequestAuth& auth) {
    CBrowseLog log(kTag);
    // The media of a restore are worked out for the whole subclient at a time, whatever the path: an end
    // user who may see only his own part of it (his mailbox, his OneDrive folder) would be given the
    // media of data he may not see.
    if (privateTask->getBrowseOpType() == databrowse::BROWSE_OP_MEDIA_PREDICTION && auth.authMode == 1 &&
        apptype::in(apptype::family::kNarrowedForEndUser, appType)) {
        log.debugLvl(0, "media prediction refused to an end user whose sight of the subclient is narrowed");
        return CStepResult::failure(databrowse::BROWSE_ERR_PERMISSION, kNarrowedMediaRefusal);
    }
    if (appType == apptype::kExchangeMonorun) {
        setIsExchMonorun(true);
        log.debugLvl(3, "This is Exchange Monorun Subclient");
        if (!handleExchangeRequest2(auth.authMode, auth.mailboxGuid)) {
            log.debugLvl(-1, "handleExchangeRequest2() failed");
            return stepFailure(databrowse::BROWSE_ERR_GENERIC,
                               "The mailbox of the user cannot be told for this Exchange browse");
        }
    }
    if (appType == apptype::kOneDrive && auth.authMode == 1) {
        int provider = 0;
        // The private task is what the browse is set up from: its paths are the ones to narrow. A
        // provider that cannot be told is no reason to drop the end user's restriction: refuse.
        const bool known = OneDriveInstance(static_cast<unsigned long>(privateTask->getInstanceId()))
                               .getProvider(provider) == 0;
        if (!known || (provider == kProviderOneDrive && !handleOneDriveRequest(privateTask))) {
            log.debugLvl(0, known ? "Error: Failure in adding access check for OneDrive tenant user"
                                  : "Error: the OneDrive instance's provider cannot be read");
            log.debugLvl(0, "Returning as authentication failed...");
            return refusal();
        }
    }
    return {};
}

CStepResult CWorkerThreadHM::setUpRequestBrowse(EvMultiEntityRestoreTask* privateTask,
                                                apptype::EAppType appType, const TRequestAuth& auth) {
    CBrowseLog log(kTag);
    const bool ciReport = privateTask->getBrowseOpType() == databrowse::BROWSE_OP_CONTENT_INDEX_REPORT &&
                          privateTask->getCICloudId() > 0;
    if (!ciReport) {
        // A request without a path is told so; the set-up would only fail on it without a reason.
        const char* browsePath = privateTask->getPath(EvRestoreTask::kBrowsePathList);
        if (!browsePath || !*browsePath) {
            EvMessageContainer message;
            message.SetMessageID(evmsg::kNoBrowsePath, true);
            return CStepResult::failure(databrowse::BROWSE_ERR_GENERIC, localisedText(message));
        }
        if (CStepResult setUp = setUpBrowseTask(privateTask); !setUp.ok()) return setUp;
        if (auth.mailboxAcrossUpgrade) {
            log.debugLvl(0, "Returning as Exchange Mailbox operation is across upgrade...");
            return stepFailure(databrowse::BROWSE_ERR_SPANS_UPGRADE,
                               "The mailbox browse spans the upgrade of the Exchange agent");
        }
        if (!m_syncEnabled && privateTask->getBackupSetId() < 1) {
            log.debugLvl(0, "Invalid backupset id [%lu]",
                         static_cast<unsigned long>(privateTask->getBackupSetId()));
            return CStepResult::failure(databrowse::BROWSE_ERR_NOTHING_TO_BROWSE,
                                        "The browse names no backup set");
        }
    }
    if (appType == apptype::kExchangeMonorun) {
        // The worker's job (a direct caller's) names the browse; without one the task's job stays.
        if (m_jobId != 0) m_browseTask->getDataPtr()->jobId = m_jobId;
        log.debugLvl(4, "Using the webserver host name:[%s]", privateTask->getWebServerHostName().c_str());
    }
    return {};
}

CStepResult CWorkerThreadHM::applyQueries(EvMultiEntityRestoreTask* privateTask, apptype::EAppType appType,
                                          const TRequestAuth& auth) {
    CBrowseLog log(kTag);
    if (auto* queries = queriesOf(m_queryList.get())) {
        for (CNMessageBase& query : *queries) {
            if (!query.isSet(databrowse::Query::f::type) ||
                query.getint64(databrowse::Query::f::type) != databrowse::kQueryTypeHubmaster ||
                processHubmasterQuery(query, &log))
                continue;
            std::string xml;
            query.serialize(xml);
            log.debugLvl(0, "Error while processing Hubmaster query: %s.", xml.c_str());
        }
    }
    // An end user's mailbox filter goes out with the browse whatever the caller asked: without a data
    // query to carry it the browse would run over every mailbox.
    if (!auth.mailboxFilterPath.empty()) ensureDataQuery(kMailboxRestrictionQueryId);
    if (m_vmView.active()) {
        // A browse the hypervisor's index answers reads the VMs it names alone, whatever road it takes:
        // every query carries one VM criterion per VM.
        for (CNMessageBase& query : ensureDataQuery(kVmRestrictionQueryId)) {
            auto* criteria = query.getlistobject(databrowse::Query::f::criteriaList, true);
            for (const std::string& guid : m_vmView.guids())
                criteria->push_back(makeBrowseCriteria(1, criteriaattr::kVirtualMachine,
                                                       criteriaop::kOfVirtualMachine,
                                                       CVMBrowseView::criterionValue(guid)));
        }
    }
    if ((!getBrowseFindPattern().empty() || !auth.mailboxFilterPath.empty()) && m_queryList) {
        SuperBrowseManager* planner = m_browseTask->getDataPtr()->planner;
        const bool strict =
            m_doNotFallBackForFilters || (!m_externalBrowseRequest && planner && planner->isIndexingV2());
        std::string why;
        if (!ParseQuery(m_queryList.get(), apptype::code(appType), m_externalBrowseRequest != nullptr,
                        auth.mailboxFilterPath, strict, why)) {
            // A filter that cannot be applied must not widen the browse to everything.
            return CStepResult::failure(databrowse::BROWSE_ERR_GENERIC,
                                        "The browse filter cannot be applied: " + why);
        }
        std::string xml;
        m_queryList->serialize(xml);
        log.debugLvl(0, "browse query xml [%s]", xml.c_str());
    }
    filterVmGuids(privateTask, auth.vmGuids);
    return {};
}

CStepResult CWorkerThreadHM::startPrediction(EvMultiEntityRestoreTask* privateTask,
                                             bool sessionGuidGenerated) {
    if (m_superSearchOpType == superSearchKind::kContentIndexReport || m_syncEnabled) return {};
    CBrowseLog log(kTag);
    m_predictionClient.init(privateTask, false);
    if (m_predictor.init(&m_predictionClient, m_browseTask->getDataPtr()->restoreReturn) != 0) {
        log.debugLvl(0, "failed to initialize media prediction objects");
        return CStepResult::failure(databrowse::BROWSE_ERR_GENERIC,
                                    "The media prediction of the browse could not be set up");
    }
    if (sessionGuidGenerated) return sendSessionGuid();
    return {};
}

CStepResult CWorkerThreadHM::applyBackupCopyView(EvMultiEntityRestoreTask* privateTask) {
    CNMessageBase* options = optionBlock(m_browseRequest);
    if (!options || options->getint64(databrowse::BrowseOptions::f::viewBackupCopy) == 0) return {};
    const int precedence = handleViewBackupCopy(*privateTask);
    if (precedence > 0) {
        m_browseRequest.getObjectAccessor(databrowse::BrowseRequest::f::advOptions, true)
            ->setint64(databrowse::Msg63::f::copyPrecedence, precedence);
        privateTask->setArchGroupCopyPrecedence(static_cast<unsigned long>(precedence));
        return {};
    }
    handleNoBackupCopyJob(*privateTask);
    sendEndResponse();
    return stepFailure(databrowse::BROWSE_ERR_NO_BACKUP_COPY_JOB,
                       "No backup copy job exists for this browse of a backup copy");
}

CStepResult CWorkerThreadHM::setUpBrowseTask(EvMultiEntityRestoreTask* privateTask) {
    CBrowseLog log(kTag);
    m_browseTask->getDataPtr()->workerId = m_workerId;
    const int rc = m_browseTask->initBrowse(privateTask);
    // The reference this request holds from here on, whatever follows.
    m_heldConfId = m_browseTask->getDataPtr()->confId;
    // Whose session it is was decided when its record was opened (CConfigurationMgr::openConfRef): a
    // session another caller holds was refused there, with its reason in the task's error.
    if (rc != 0) return {};
    const databrowse::BrowseErrorCode code = m_browseTask->getLastErrorCode();
    std::string why = m_browseTask->getLastError();
    if (why.empty()) why = "The browse could not be set up for the requested data";
    if (!m_syncEnabled && !m_imapRequest) {
        // A refusal of the caller (a session another caller holds) was logged where it was decided.
        if (code != databrowse::BROWSE_ERR_NOTHING_TO_BROWSE && code != databrowse::BROWSE_ERR_PERMISSION)
            log.debugLvl(0, "failed to initialize browse task");
        return CStepResult::failure(code, why);
    }
    if (code != databrowse::BROWSE_ERR_NOTHING_TO_BROWSE) {
        log.debugLvl(0, "failed to initialize browse task for sync");
        return CStepResult::failure(code, why);
    }
    if (m_syncEnabled)
        log.debugLvl(
            0, "failed to initialize browse task as NO backups found.. but proceeding as SYNC is enabled");
    else
        log.debugLvl(
            0,
            "failed to initialize browse task as NO backups found.. but proceeding as this is IMAP request");
    return {};
}

CStepResult CWorkerThreadHM::decideSuperSearch(EvMultiEntityRestoreTask* privateTask,
                                               const TRequestAuth& auth, const std::string& userName) {
    CBrowseLog log(kTag);
    const databrowse::BrowseOperation op = privateTask->getBrowseOpType();
    const apptype::EAppType appType = privateTask->getAppType();
    const bool ciReport = op == databrowse::BROWSE_OP_CONTENT_INDEX_REPORT && privateTask->getCICloudId() > 0;
    int findMode = auth.findMode;
    std::string webServerHost = privateTask->getWebServerHostName();
    TSuperSearchAnswer answer;
    const bool imap = m_imapRequest != nullptr;

    if (op == databrowse::BROWSE_OP_END_USER_ERASE || op == databrowse::BROWSE_OP_END_USER_ERASE_2 ||
        op == databrowse::BROWSE_OP_END_USER_ERASE_3) {
        m_superSearchOpType = superSearchKind::kEndUserErase + (op - databrowse::BROWSE_OP_END_USER_ERASE);
        Indexing::CIBrowseReq ci;
        ci.setint64(Indexing::CIBrowseReq::f::opType, m_superSearchOpType);
        if (op == databrowse::BROWSE_OP_END_USER_ERASE &&
            DetermineOperationType(m_queryList.get(), 1, privateTask->getClientId(), &m_superSearchOpType,
                                   privateTask->getSubClientId(), privateTask->getBackupSetId(),
                                   privateTask->getCICloudId(), m_doNotFallBackForFilters,
                                   m_forceUseIndexType, false, webServerHost, answer)) {
            fillCiRequest(ci, auth.authMode, privateTask->getUserId(), userName, answer, privateTask);
        }
        setExternalRequest(ci);
        log.debugLvl(3, "EndUser Erase to not engage super search and defaulting to CTREE.");
        return {};
    }

    const bool hasQueries = queriesOf(m_queryList.get()) && !queriesOf(m_queryList.get())->empty();
    const bool candidateType = appType == apptype::kExchangeMailbox || appType == apptype::kCloudMailbox ||
                               appType == apptype::kExchangeMonorun || appType == apptype::kNas ||
                               appType == apptype::kSharePoint ||
                               apptype::in(apptype::family::kFileSystem, appType);
    const bool candidate =
        (hasQueries && (op == databrowse::BROWSE_OP_BROWSE || op == databrowse::BROWSE_OP_FIND) &&
         candidateType) ||
        ciReport;
    if (!candidate) {
        m_externalBrowseRequest.reset();
        log.debugLvl(3, "Not applying Super Search..");
        return {};
    }

    const long ciClientId = ciReport ? auth.ciClientId : privateTask->getClientId();
    if (op == databrowse::BROWSE_OP_BROWSE) {
        findMode = 0;
    } else if (op == databrowse::BROWSE_OP_FIND) {
        if (privateTask->getPreferContentServer() || appType == apptype::kExchangeMonorun) {
            findMode = 1;
            log.debugLvl(3, "Find to engage super search..");
        } else {
            findMode = 2;
            log.debugLvl(3, "Find to not engage super search..");
        }
    }

    if (!DetermineOperationType(m_queryList.get(), findMode, ciClientId, &m_superSearchOpType,
                                privateTask->getSubClientId(), privateTask->getBackupSetId(),
                                privateTask->getCICloudId(), m_doNotFallBackForFilters, m_forceUseIndexType,
                                imap, webServerHost, answer)) {
        log.debugLvl(0, "Should default to CTREE...");
        if (op == databrowse::BROWSE_OP_FIND) {
            m_superSearchOpType = superSearchKind::kClassicFind;
            log.debugLvl(0, "Defaulting to CTREE FIND");
        } else if (op == databrowse::BROWSE_OP_BROWSE) {
            m_superSearchOpType = superSearchKind::kClassicBrowse;
            log.debugLvl(0, "Defaulting to CTREE BROWSE");
        } else if (ciReport) {
            log.debugLvl(0, "Error in determineoptype for CI reports..");
            return CStepResult::failure(databrowse::BROWSE_ERR_REQUEST_PROCESSING,
                                        "The content index cannot be searched for this report");
        } else {
            m_superSearchOpType = superSearchKind::kClassicFallback;
        }
        m_externalBrowseRequest.reset();
        return {};
    }
    if (superSearchKind::isClassicOnly(m_superSearchOpType)) {
        m_externalBrowseRequest.reset();
        log.debugLvl(3, "CTREE only operation..");
        return {};
    }
    if (privateTask->getForceUsedxDbEngineType() == App::IDX_DB_ENGINE_LUCENE) {
        m_externalBrowseRequest.reset();
        log.debugLvl(3, "V2 CI request");
        return {};
    }

    // A content-index request: its cycles on a planner of its own, so a split the session's planner
    // already holds is neither lost nor mixed with this one.
    const char* browsePath = privateTask->getPath(EvRestoreTask::kBrowsePathList);
    if (m_browseTask->getDataPtr()->planner) {
        m_ciPlanner = std::make_unique<SuperBrowseManager>(privateTask);
        m_ciPlanner->setIndexingV2(false);
        m_ciPlanner->splitCI(browsePath ? browsePath : "");
        m_browseTask->getDataPtr()->planner = m_ciPlanner.get();
        m_browseTask->getDataPtr()->isSuperBrowse = 1;
    }
    int siteMode = auth.authMode;
    if (auth.authMode == 2) {
        if (superSearchKind::isCompliance(m_superSearchOpType)) {
            log.debugLvl(3, "Using Compliance as site mode for CI requests");
        } else {
            siteMode = 4;
            log.debugLvl(3, "Using web console as site mode for CI requests");
        }
    }
    long userId = privateTask->getUserId();
    std::string ciUserName = userName;
    if (m_syncEnabled && (userId == 0 || ciUserName.empty())) {
        if (!getAppSyncGetSearchUserDetails(privateTask->getSubClientId(), userId, ciUserName)) {
            log.debugLvl(0, "Error: Failed to get user for Sync AppId:[%lu]",
                         static_cast<unsigned long>(privateTask->getSubClientId()));
            return CStepResult::failure(databrowse::BROWSE_ERR_REQUEST_PROCESSING,
                                        "The search user of the sync subclient cannot be read");
        }
    }
    if (appType == apptype::kExchangeMonorun && (userId == 0 || ciUserName.empty()))
        requestUser(m_browseRequest, userId, ciUserName);
    Indexing::CIBrowseReq ci;
    ci.setint64(Indexing::CIBrowseReq::f::opType, m_superSearchOpType);
    fillCiRequest(ci, siteMode, userId, ciUserName, answer, privateTask);
    if (appType == apptype::kExchangeMonorun) {
        std::string details, why;
        if (!getSolrCloudDetails(privateTask->getBackupSetId(), details, why)) {
            log.debugLvl(0, "Failed to fetch the SOLR Cloud details for the backupsetID[%lu]",
                         static_cast<unsigned long>(privateTask->getBackupSetId()));
            log.debugLvl(1, "%s", why.c_str());
            return CStepResult::failure(databrowse::BROWSE_ERR_REQUEST_PROCESSING,
                                        "The SOLR Cloud details of the backup set cannot be read");
        }
        ci.setint64(Indexing::CIBrowseReq::f::solrCloud, 1);
        m_indexBrowseRequest.setstring(Indexing::BrowseReq::f::solrCloudDetails, details);
    }
    setExternalRequest(ci);
    if (superSearchKind::namesWebServer(m_superSearchOpType))
        privateTask->setWebServerHostName(webServerHost);
    if (m_superSearchOpType == superSearchKind::kClassicAndContentFind) {
        log.debugLvl(0, "This is Super Search FIND(CTREE+CI)...Forcing a SuperBrowse...");
        privateTask->getExtendedOption()[kExtendedOptionForceSuperBrowse] = '1';
    }
    return {};
}

void CWorkerThreadHM::fillCiRequest(Indexing::CIBrowseReq& ci, int siteMode, long userId,
                                    const std::string& userName, const TSuperSearchAnswer& answer,
                                    EvMultiEntityRestoreTask* privateTask) {
    ci.setstring(Indexing::CIBrowseReq::f::ciServer, answer.ciServer);
    ci.setint64(Indexing::CIBrowseReq::f::siteMode, siteMode);
    ci.setint64(Indexing::CIBrowseReq::f::userId, userId);
    ci.setstring(Indexing::CIBrowseReq::f::userName, userName);
    ci.setint64(Indexing::CIBrowseReq::f::ciValue, answer.ciValue);
    ci.setint64(Indexing::CIBrowseReq::f::delegateAccess, m_delegateAccess ? 1 : 0);
    ci.setint64(Indexing::CIBrowseReq::f::ciCloudId,
                privateTask->getCICloudId() > 0 ? privateTask->getCICloudId() : answer.ciCloudId);
    auto* ids =
        ci.getlistint(Indexing::CIBrowseReq::f::idList.i, Indexing::CIBrowseReq::f::idList.j,
                      Indexing::CIBrowseReq::f::idList.tag, Indexing::CIBrowseReq::f::idList.code, true);
    ids->insert(ids->end(), answer.idList.begin(), answer.idList.end());
    if (m_superSearchOpType == superSearchKind::kImapSearch && !answer.serverNodes.empty()) {
        std::vector<CNMessageBase> nodes;
        for (const std::string& node : answer.serverNodes) {
            Indexing::CIServerNodeInfo info;
            info.setstring(Indexing::CIServerNodeInfo::f::nodeName, node);
            nodes.push_back(info);
        }
        ci.setlistobject(Indexing::CIBrowseReq::f::at16_28, nodes);
    }
    if (m_imapRequest) ci.setObjectAccessor(*m_imapRequest, Indexing::CIBrowseReq::f::imapReq);
}

void CWorkerThreadHM::setExternalRequest(const Indexing::CIBrowseReq& ci) {
    m_externalBrowseRequest = std::make_unique<Indexing::ExternalBrowseReq>();
    m_externalBrowseRequest->setint64(Indexing::ExternalBrowseReq::f::requestKind, 1);
    m_externalBrowseRequest->setObjectAccessor(ci, Indexing::ExternalBrowseReq::f::ciBrowseReq);
}

std::vector<CNMessageBase>& CWorkerThreadHM::ensureDataQuery(const char* queryId) {
    if (!m_queryList) m_queryList = std::make_unique<databrowse::Querylist>();
    auto* queries = m_queryList->getlistobject(databrowse::Querylist::f::queries, true);
    if (std::none_of(queries->begin(), queries->end(),
                     [](CNMessageBase& query) { return query.getint64(databrowse::Query::f::type) == 0; })) {
        databrowse::Query query;
        query.setint64(databrowse::Query::f::type, 0);
        query.setstring(databrowse::Query::f::queryId, queryId);
        queries->push_back(query);
    }
    return *queries;
}

void CWorkerThreadHM::filterVmGuids(EvMultiEntityRestoreTask* privateTask, std::vector<std::string> vmGuids) {
    if (!isVSAEndUserAccessEnabled()) return;
    CBrowseLog log(kTag);
    EvSecurityCheck security(static_cast<long long>(privateTask->getJobId()), m_reads);
    if (security.canManageHubmaster(static_cast<int>(privateTask->getUserId()),
                                    privateTask->getKelmarchId())) {
        log.debugLvl(
            1, "user id [%lu] has kelmarch administrative capabilities. all VMs will be shown to the user",
            static_cast<unsigned long>(privateTask->getUserId()));
        return;
    }
    log.debugLvl(1, "#of VM GUIDs to be filtered [%zu]", vmGuids.size());
    auto* queries = queriesOf(m_queryList.get());
    if (!queries || queries->empty() || privateTask->getAppType() != apptype::kVirtualServer) return;
    // No VM of the user's own: a GUID no VM has, so that nothing is shown rather than everything.
    if (vmGuids.empty()) vmGuids.push_back(kAllZeroGuid);
    for (const std::string& guid : vmGuids) {
        for (CNMessageBase& query : *queries) {
            databrowse::FilteredBrowseCriteriaValue value;
            value.setint64(databrowse::FilteredBrowseCriteriaValue::f::attribute, kVmGuidAttribute);
            value.setint64(databrowse::FilteredBrowseCriteriaValue::f::criteriaOperator,
                           kCriteriaOperatorEquals);
            value.setliststring(databrowse::FilteredBrowseCriteriaValue::f::values, {guid});
            databrowse::Criteria criterion;
            criterion.setObjectAccessor(value, databrowse::Criteria::f::criteria);
            criterion.setint64(databrowse::Criteria::f::c_79f44d, 0);
            auto* criteria = query.getlistobject(databrowse::Query::f::criteriaList, true);
            criteria->insert(criteria->begin(), criterion);
        }
    }
}

CStepResult CWorkerThreadHM::sendSessionGuid() {
    CBrowseLog log(kTag);
    databrowse::BrowseSession session;
    session.setstring(databrowse::BrowseSession::f::sessionId, m_privateTask->getbrowseSessionGUID());
    std::string xml;
    const int rc = session.serialize(xml);
    if (rc != 0) {
        log.debugLvl(0, "failed to serialize session guid response, error [%d]", rc);
        return CStepResult::failure(databrowse::BROWSE_ERR_GENERIC,
                                    "The browse session could not be sent to the caller");
    }
    sendItemBack(xml);
    m_browseRequest.setObjectAccessor(session, databrowse::BrowseRequest::f::session);
    return {};
}
