#include "service/directtaskprep.h"

#include <strings.h>

#include "fbDebug/fbdebug.h"
#include "platform/entities/apptypes.h"
#include "platform/entities/entityconfig.h"
#include "platform/entities/recordedkind.h"
#include "platform/entities/zyclient.h"
#include "platform/entities/zymanagedbforjm.h"
#include "platform/errors/cuxstring.h"
#include "platform/errors/evevent.h"
#include "platform/errors/evmessageids.h"
#include "platform/msg/errorresponse.h"
#include "platform/net/zynetwork.h"
#include "platform/tasks/taskoptions.h"
#include "service/controllerthread.h"
#include "service/fastbrowsehm_api.h"
#include "service/routerfields.h"
#include "service/vmcopyprecedence.h"

namespace {

using namespace routerfields;
using E = ZyEntities::GenericEntity::f;
using R = databrowse::BrowseRequest::f;
using Sel = databrowse::BrowseAdvancedConfig::f;
using Flag = databrowse::Msg9::f;

constexpr const char* kTag = "FBHMROUTER";
constexpr size_t kMessageBufferSize = 4104;
constexpr int64_t kForceIndexFlagType = 4;
constexpr const char* kJobFailure = "Error: Browse By JobId failed...";

// Path-based recall and the job's extended option.
void applyRecall(TDirectTask& t, CBrowseLog& log) {
    CNMessageBase* selection = selectionBlock(t.request);
    if (!selection) return;
    if (intOf(selection, Sel::pathBasedRecall) != 0) {
        t.browseFlags &= ~taskoption::kRecall;
        t.browseFlags |= taskoption::kPathBasedRecall | taskoption::kNested;
        t.request.getObjectAccessor(R::mode, true)->setint64(databrowse::BrowseMode::f::mode, 1);
        log.debugLvl(0, "Set properties for path-based recall as per request from caller.");
    }
    if (has(selection, Sel::jobBlock) && !keepsFromTime(t.request)) t.setOption(97);
}

// The entity of a completed request, judged and settled on what the database records (read in the
// request `reads`): its recorded type, and for a subclient its client, instance and backup set, which
// every later step reads.
TEntityVerdict settleEntity(zydb::CRequestReads* reads, const databrowse::BrowseRequest& request,
                            CNMessageBase* e, const TMaySeeClient& maySee, unsigned long locale) {
    TEntityVerdict verdict;
    verdict.settled = true;
    if (!e) return verdict;
    const TNamedEntity named = namedEntityOf(e);
    TEntityKind kind;
    verdict = judgeNamedEntity(reads, named, maySee, kind, locale, &request);
    if (!verdict.settled || kind.clientId <= 0) return verdict;
    e->setint64(E::applicationId, apptype::code(kind.appType));
    if (named.subclientId > 0) {
        e->setint64(E::clientId, kind.clientId);
        e->setint64(E::instanceId, kind.instanceId);
        e->setint64(E::backupsetId, kind.backupSetId);
    }
    return verdict;
}

// The entity's ids, as the settled entity holds them (its subclient's completed from the record).
void completeEntity(TDirectTask& t) {
    CNMessageBase* e = entity(t.request);
    if (!e) return;
    if (has(e, E::at98_239)) t.task->setCICloudId(static_cast<int>(e->getint64(E::at98_239)));
    auto take = [&](const MsgFieldRef& f, int& out) {
        if (has(e, f)) out = static_cast<int>(e->getint64(f));
    };
    take(E::kelmarchId, t.kelmarchId);
    take(E::subclientId, t.subclientId);
    take(E::clientId, t.clientId);
    if (has(e, E::applicationId)) t.appType = apptype::of(static_cast<int>(e->getint64(E::applicationId)));
    take(E::backupsetId, t.backupSetId);
    take(E::instanceId, t.instanceId);
}

// The entities of a multi-entity browse.
void addFilteredEntities(TDirectTask& t) {
    auto* entities = t.request.getlistobject(R::filteredEntities, false);
    if (!entities) return;
    for (const CNMessageBase& entry : *entities) {
        databrowse::EntityWithFilters copy;
        copyFieldsByCode(entry, copy);
        t.task->addEntity(copy);
    }
    CNMessageBase* flags = t.request.getObjectAccessor(R::multiEntityFlags, true);
    databrowse::MultiEntityBrowseFlags copy;
    copyFieldsByCode(*flags, copy);
    t.task->setMultiEntityBrowseFlags(copy);
}

// A request whose client cannot be told is refused (a console host's report excepted), rights first.
bool checkClient(TDirectTask& t, int64_t op, TEntityVerdict& refusal, CBrowseLog& log) {
    // A caller the run refuses is refused as such, whatever the entity (t.caller.refusal).
    if (t.clientId > 0 || op == 4 || !t.caller.refusal.empty()) return true;
    const std::string name = textOf(entity(t.request), E::clientName);
    log.debugLvl(0, "Client name [%s] is invalid,browse request cannot be prepared", name.c_str());
    EvEvent event;
    char text[kMessageBufferSize] = {};
    // A subclient that named no client is what the caller has to be told about.
    if (t.subclientId > 0) {
        event << std::to_string(t.subclientId).c_str();
        event.evPrintf(evmsg::kUnknownSubclient, text, kMessageBufferSize - 1, 0);
    } else {
        event << name.c_str();
        event.evPrintf(evmsg::kUnknownClient, text, kMessageBufferSize - 1, 0);
    }
    refusal = refuseEntity(maySeeClientOf(routedEntityCaller(t)), 0, text,
                           static_cast<unsigned long>(t.task->getTaskLocale()));
    return false;
}

// The queries become the task's find pattern.
void setFindPattern(TDirectTask& t) {
    auto* queries = t.request.getlistobject(R::queries, false);
    if (!queries || queries->empty()) return;
    databrowse::Querylist list;
    list.setlistobject(databrowse::Querylist::f::queries, *queries);
    std::string xml;
    if (list.serialize(xml) == 0) t.task->setbrowseFindPattern(xml.c_str());
}

// The job's times become the time range.
void applyJobTimeRange(TDirectTask& t, CBrowseLog& log) {
    const CNMessageBase* job = child(selectionBlock(t.request), Sel::jobBlock);
    if (!job) return;
    const std::string guid = sessionGuid(t.request);
    const long long jobId = intOf(job, databrowse::Msg11::f::jobId);
    if (jobId <= 0) {
        log.debugLvl(0, "Error: Browse By JobId is failing because JobId is not set. Session:[%s]...",
                     guid.c_str());
        t.recordError(kJobFailure);
        return;
    }
    const auto kelmarchId = static_cast<unsigned long>(intOf(job, databrowse::Msg11::f::kelmarchId));
    long start = 0, end = 0;
    const bool found =
        intOf(options(t.request), databrowse::BrowseOptions::f::includeRunningJob) != 0
            ? ZYManageDBForJM::getJobStartTime(static_cast<unsigned long>(jobId), start, kelmarchId)
            : ZYManageDBForJM::GetBkpTimeForBkpHistoryJob(static_cast<unsigned long>(jobId), start, end,
                                                          kelmarchId);
    if (!found) {
        log.debugLvl(
            0,
            "Error: Browse By JobId is failing because of inability to determine timestamp for job %lld is "
            "not set. Session:[%s]...",
            jobId, guid.c_str());
        t.recordError(kJobFailure);
    }
    CNMessageBase* range = t.request.getObjectAccessor(R::timeRange, true);
    range->setint64(databrowse::BrowseTimeRange::f::toTime, end);
    // The direct task keeps SharePoint's from-time, the routed browse Exchange databases' instead
    // (routerjoblimits.cpp): the product's two roads differ on purpose.
    if (!keepsFromTime(t.request) &&
        apptype::of(intOf(entity(t.request), E::applicationId)) != apptype::kSharePoint)
        range->setint64(databrowse::BrowseTimeRange::f::fromTime, start);
}

// Browse paths by text or by machine GUID, never both.
void addBrowsePaths(TDirectTask& t, CBrowseLog& log) {
    bool pathSeen = false, guidSeen = false;
    if (auto* paths = t.request.getlistobject(R::paths, false)) {
        for (const CNMessageBase& entry : *paths) {
            std::string text = entry.getstring(databrowse::BrowsePath::f::path);
            if (!text.empty()) {
                pathSeen = true;
            } else if (const CNMessageBase* ref = child(&entry, databrowse::BrowsePath::f::guidRef)) {
                text = textOf(ref, databrowse::BrowsePathGuid::f::guid);
                guidSeen = guidSeen || !text.empty();
            }
            t.task->addPath(EvRestoreTask::kBrowsePathList, text.c_str());
        }
    }
    if (pathSeen && guidSeen) {
        log.debugLvl(0, "Error: Mixed Browse By Path abd Browse by GUID is not supported for session:[%s]...",
                     sessionGuid(t.request).c_str());
        t.recordError("Error: Mixed Browse By Path abd Browse by GUID is not supported...");
    }
    t.worker->setGuidLookup(guidSeen);
    if (auto* second = t.request.getlistobject(R::secondPaths, false))
        for (const CNMessageBase& entry : *second)
            t.task->addPath(EvRestoreTask::kSecondPathList,
                            entry.getstring(databrowse::BrowsePath::f::path).c_str());
}

// The advanced options' copies to the task and the worker.
void copyAdvancedOptions(TDirectTask& t, int64_t op) {
    const CNMessageBase* advanced = advancedOptions(t.request);
    CNMessageBase* selection = selectionBlock(t.request);
    if (has(advanced, databrowse::Msg63::f::browseViewName))
        t.task->setBrowseViewName(advanced->getstring(databrowse::Msg63::f::browseViewName).c_str());
    const CNMessageBase* fbr = child(child(selection, Sel::at5_5), databrowse::Msg38::f::at1_1);
    if (has(fbr, databrowse::Msg30::f::mediaAgentName))
        t.worker->setFbrMa(fbr->getstring(databrowse::Msg30::f::mediaAgentName));
    const CNMessageBase* flush = child(selection, Sel::flushBlock);
    if (has(flush, databrowse::Msg14::f::itemFlushCount))
        t.task->setBrowseItemFlushCount(
            static_cast<unsigned long>(flush->getint64(databrowse::Msg14::f::itemFlushCount)));
    if (intOf(&t.request, R::forcedEngineType) > 0)
        t.task->setForceUsedxDbEngineType(
            static_cast<App::IdxDbEngineType>(t.request.getint64(R::forcedEngineType)));
    CNMessageBase* flags = child(selection, Sel::flagBlock);
    if (intOf(flags, Flag::refCopySuperRestoreFind) != 0) t.worker->setRefCopySuperRestoreFind(true);
    if (intOf(flags, Flag::doNotFallBackForFilters) != 0) t.worker->setbDoNotFallBackForFilters(true);
    if (intOf(flags, Flag::delegateAccess) != 0) t.worker->setIsDelegateAccess(true);
    auto* list = flags ? flags->getlistobject(Flag::additionalFlags, false) : nullptr;
    if (list && !list->empty()) {
        // The worker points at the flags; they live as long as the prepared task.
        t.additionalFlags.clear();
        for (const CNMessageBase& item : *list) {
            databrowse::AdditionalFlag flag;
            copyFieldsByCode(item, flag);
            t.additionalFlags.push_back(flag);
        }
        t.worker->setAdditionalFlags(&t.additionalFlags);
        for (const CNMessageBase& flag : t.additionalFlags) {
            if (flag.getint64(databrowse::AdditionalFlag::f::flagType) != kForceIndexFlagType ||
                flag.getstring(databrowse::AdditionalFlag::f::flagName) != "ForceUseIndexType")
                continue;
            const std::string value = flag.getstring(databrowse::AdditionalFlag::f::value);
            if (value == "CTREE")
                t.worker->setForceUseIndexType(static_cast<databrowse::ForceUseIndexType>(1));
            if (value == "LUCENE")
                t.worker->setForceUseIndexType(static_cast<databrowse::ForceUseIndexType>(2));
        }
    }
    if (const CNMessageBase* imap = child(selection, Sel::at12_12)) {
        t.imapRequest = std::make_unique<databrowse::IMAPReq>();
        copyFieldsByCode(*imap, *t.imapRequest);
        t.worker->setIMAPReq(t.imapRequest.get());
    }
    const CNMessageBase* mode = child(&t.request, R::mode);
    if (has(mode, databrowse::BrowseMode::f::mode) && op != 2)
        t.task->setEmFunction(static_cast<unsigned long>(mode->getint64(databrowse::BrowseMode::f::mode)));
}

}  // namespace

TDirectTask::TDirectTask(const CHubClock& clock)
    : task(std::make_unique<EvMultiEntityRestoreTask>()),
      worker(std::make_unique<CWorkerThreadHM>(clock)),
      extendedOptions(EvRestoreTask::kExtendedOptionCount, '0') {}

TDirectTask::~TDirectTask() = default;

bool TDirectTask::hasReplyError() const {
    return replyError.isSet(databrowse::BrowseError::f::errorCode) ||
           replyError.isSet(databrowse::BrowseError::f::errorMessage);
}

void TDirectTask::recordError(const std::string& text, databrowse::BrowseErrorCode code) {
    replyError.setint64(databrowse::BrowseError::f::errorCode, errorresponse::failureCode(code));
    replyError.setstring(databrowse::BrowseError::f::errorMessage, text);
}

void TDirectTask::setOption(int position) {
    if (position >= 0 && static_cast<size_t>(position) < extendedOptions.size())
        extendedOptions[position] = '1';
}

bool TDirectTask::optionSet(int position) const {
    return position >= 0 && static_cast<size_t>(position) < extendedOptions.size() &&
           extendedOptions[position] == '1';
}

bool settleRoutedEntities(zydb::CRequestReads* reads, databrowse::BrowseRequest& request,
                          const TMaySeeClient& maySee, TEntityVerdict& verdict) {
    CBrowseLog log(kTag);
    constexpr unsigned long kLocale = 0;
    verdict = settleEntity(reads, request, entity(request), maySee, kLocale);
    if (auto* entities = request.getlistobject(R::filteredEntities, false))
        for (size_t n = 0; verdict.settled && n < entities->size(); ++n)
            verdict =
                settleEntity(reads, request, child(&(*entities)[n], databrowse::EntityWithFilters::f::entity),
                             maySee, kLocale);
    if (verdict.settled) return true;
    if (verdict.described())
        log.debugLvl(0, "browse request refused: %s", verdict.refusal.c_str());
    else
        log.debugLvl(0, "browse request refused as not authorised (its entity: %s)",
                     verdict.description.c_str());
    return false;
}

TEntityCaller routedEntityCaller(const TDirectTask& t) {
    TEntityCaller caller;
    if (t.caller.tokenValid) {
        caller.userId = t.caller.userId;
        return caller;
    }
    caller.directWithoutUser = true;
    caller.direct.checkClientMap = t.worker->getCheckClientMap();
    caller.direct.callerClientId = t.caller.callerClientId;
    return caller;
}

bool prepareDirectTask(TDirectTask& t, CZyNetwork* session, TEntityVerdict& refusal) {
    CBrowseLog log(kTag);
    const int64_t op = has(&t.request, R::opType) ? t.request.getint64(R::opType) : -1;
    applyRecall(t, log);
    completeEntity(t);
    addFilteredEntities(t);
    if (!checkClient(t, op, refusal, log)) return false;

    CUxString peer;
    if ((op == 4 || t.appType == apptype::kExchangeMonorun) && session &&
        !session->GetPeerName(peer).IsError()) {
        t.task->setWebServerHostName(peer.c_str());
        log.debugLvl(0, "WebServer hostName [%s]", peer.c_str());
    }
    setFindPattern(t);
    applyJobTimeRange(t, log);

    if (const CNMessageBase* flags = flagBlock(t.request)) {
        if (intOf(flags, Flag::refCopySuperRestoreFind) != 0) t.setOption(105);
        if (intOf(flags, Flag::alertSessionId) != 0) {
            t.setOption(109);
            if (t.appType == apptype::kExchangeMonorun)
                t.worker->setJobId(static_cast<unsigned long long>(flags->getint64(Flag::alertSessionId)));
        }
    }
    if (g_poControllerThreadHM) t.worker->setWorkerId(g_poControllerThreadHM->generateWorkerId());

    const CNMessageBase* range = child(&t.request, R::timeRange);
    t.task->setTaskParameters(0, 0, 0, t.browseFlags, t.kelmarchId, t.clientId, t.backupSetId, t.clientId,
                              static_cast<long>(intOf(range, databrowse::BrowseTimeRange::f::toTime)),
                              static_cast<long>(intOf(range, databrowse::BrowseTimeRange::f::fromTime)),
                              apptype::code(t.appType), t.instanceId, 0, 0);
    t.task->setextendedOptions(t.extendedOptions.c_str());
    addBrowsePaths(t, log);
    copyAdvancedOptions(t, op);

    const int precedence = resolveVmCopyPrecedence(
        t, static_cast<int>(intOf(advancedOptions(t.request), databrowse::Msg63::f::copyPrecedence)));
    t.task->setArchGroupCopyPrecedence(static_cast<unsigned long>(static_cast<long>(precedence)));

    if (const CNMessageBase* ma = child(&t.request, R::ma); has(ma, ZyEntities::ClientEntity::f::clientId))
        t.task->setMediaAgentId(static_cast<long>(ma->getint64(ZyEntities::ClientEntity::f::clientId)));
    if (const CNMessageBase* alert = child(&t.request, R::c_ace727))
        t.task->setAlertId(static_cast<long>(intOf(alert, ZyEntities::ClientEntity::f::clientId)));
    t.task->setAppId(t.subclientId);
    t.task->setbrowseSessionGUID(sessionGuid(t.request).c_str());
    t.worker->setDirectAPI(true);
    return true;
}
