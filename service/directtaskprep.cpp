#include "service/directtaskprep.h"

#include <strings.h>

#include "Db/Tbl/APP_Application.h"
#include "fbDebug/fbdebug.h"
#include "platform/entities/applicationid.h"
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
#include "worker/entitykind.h"

namespace {

using namespace routerfields;
using E = ZyEntities::GenericEntity::f;
using R = databrowse::BrowseRequest::f;
using Sel = databrowse::BrowseAdvancedConfig::f;
using Flag = databrowse::Msg9::f;

constexpr const char* kTag = "FBHMROUTER";
constexpr size_t kMessageBufferSize = 4104;
constexpr int kNoInstance = -32000;
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

// The name of client `clientId` ("" when unknown).
std::string clientNameOf(long clientId) {
    std::string name;
    if (clientId <= 0 || ZYClient(static_cast<unsigned long>(clientId)).getName(name) != 0) name.clear();
    return name;
}

// An entity whose client (by id or by name) or backup set is not the one its subclient (or, without a
// subclient, its backup set) belongs to names two things at once: refused, whoever asks, before any of
// them is read, rather than browsing one of them in the other's name.
bool entityIsConsistent(zydb::CRequestReads* reads, const databrowse::BrowseRequest& request,
                        CNMessageBase* e, std::string& refusal) {
    if (!e) return true;
    const long subclientId = static_cast<long>(intOf(e, E::subclientId));
    const long backupSetId = static_cast<long>(intOf(e, E::backupsetId));
    const long clientId = static_cast<long>(intOf(e, E::clientId));
    const std::string clientName = textOf(e, E::clientName);
    TEntityKind kind;
    const EEntityKindRead read = readEntityKind(reads, subclientId, backupSetId, kind);
    // The entity's own client, as its record names it, is known: it is not looked up again.
    const bool ownClient = read == EEntityKindRead::kRecorded && !kind.clientName.empty() &&
                           (!clientName.empty() ? clientName == kind.clientName : clientId == kind.clientId);
    // A client the Hubmaster does not know is named as such, whatever else the entity names: "not a
    // subclient of" it, or "no backups were found", would suggest it exists.
    if (!ownClient && (!clientName.empty() ? ZYClient(clientName).lookup() != 0
                                           : clientId > 0 && clientNameOf(clientId).empty())) {
        EvEvent event;
        char text[kMessageBufferSize] = {};
        event << (clientName.empty() ? std::to_string(clientId) : clientName).c_str();
        event.evPrintf(evmsg::kUnknownClient, text, kMessageBufferSize - 1, 0);
        refusal = text;
        return false;
    }
    if (read == EEntityKindRead::kNotNamed) {
        // A client named alone browses the type claimed of it: one it holds.
        unsigned long named = clientId > 0 ? static_cast<unsigned long>(clientId) : 0;
        if (named == 0 && !clientName.empty() && ZYClient(clientName).getClientId(named) != 0) named = 0;
        refusal = clientLacksKind(static_cast<long>(named), intOf(e, E::applicationId));
        return refusal.empty();
    }
    const std::string what = subclientId > 0 ? "Subclient [" + std::to_string(subclientId) + "]"
                                             : "Backup set [" + std::to_string(backupSetId) + "]";
    if (read != EEntityKindRead::kRecorded) {
        if (subclientId > 0 && read == EEntityKindRead::kUnknown) {
            // The caller is told in the words the service uses for an unknown subclient everywhere.
            EvEvent event;
            char text[kMessageBufferSize] = {};
            event << std::to_string(subclientId).c_str();
            event.evPrintf(evmsg::kUnknownSubclient, text, kMessageBufferSize - 1, 0);
            refusal = text;
        } else {
            refusal = what + " is not known";
        }
        return false;
    }
    const bool otherClient =
        (clientId > 0 && clientId != kind.clientId) ||
        (!clientName.empty() && strcasecmp(clientName.c_str(), kind.clientName.c_str()) != 0);
    const bool otherSet = subclientId > 0 && backupSetId > 0 && backupSetId != kind.backupSetId;
    if (otherClient) {
        refusal = what +
                  (subclientId > 0 ? " is not a subclient of client [" : " is not a backup set of client [") +
                  (clientName.empty() ? std::to_string(clientId) : clientName) + "]";
        return false;
    }
    if (otherSet) {
        refusal = what + " is not a subclient of backup set [" + std::to_string(backupSetId) + "]";
        return false;
    }
    // What the entity holds decides its road and who sees what of it: a caller's other type is refused,
    // and every later step reads the recorded kind.
    const int64_t claimed = intOf(e, E::applicationId);
    refusal = contradictedKind(kind, claimed);
    if (!refusal.empty()) {
        if (!isActiveDirectoryMining(request, kind, claimed)) return false;
        refusal.clear();  // the claim is kept: it names what the miner reads of that subclient
    } else {
        e->setint64(E::applicationId, apptype::code(kind.appType));
    }
    if (subclientId > 0) {
        e->setint64(E::clientId, kind.clientId);
        e->setint64(E::instanceId, kind.instanceId);
        e->setint64(E::backupsetId, kind.backupSetId);
    }
    return true;
}

// The entity's ids, completed from its subclient when the caller left some out.
void completeEntity(TDirectTask& t, CBrowseLog& log) {
    CNMessageBase* e = entity(t.request);
    if (!e) return;
    if (has(e, E::at98_239)) t.task->setCICloudId(static_cast<int>(e->getint64(E::at98_239)));
    auto take = [&](const MsgFieldRef& f, int& out) {
        if (has(e, f)) out = static_cast<int>(e->getint64(f));
    };
    const bool needsCompletion =
        has(e, E::subclientId) && (!has(e, E::applicationId) || !has(e, E::clientId) ||
                                   !has(e, E::backupsetId) || e->getint64(E::backupsetId) == -1 ||
                                   !has(e, E::instanceId) || e->getint64(E::instanceId) == kNoInstance);
    take(E::kelmarchId, t.kelmarchId);
    take(E::subclientId, t.subclientId);
    if (!needsCompletion) {
        take(E::clientId, t.clientId);
        if (has(e, E::applicationId))
            t.appType = apptype::of(static_cast<int>(e->getint64(E::applicationId)));
        take(E::backupsetId, t.backupSetId);
        take(E::instanceId, t.instanceId);
        // A backup set named without its type browses as what it holds.
        TEntityKind kind;
        if (!has(e, E::applicationId) && !has(e, E::subclientId) &&
            readEntityKind(t.task->requestReads(), 0, t.backupSetId, kind) == EEntityKindRead::kRecorded) {
            t.appType = kind.appType;
            e->setint64(E::applicationId, apptype::code(t.appType));
        }
        if (has(e, E::subclientId) && t.backupSetId == -1) {
            APP_Application app(nullptr);
            app.setIsolationType(4);
            app.setTop(1);
            app.setWhere("id=%lu", static_cast<unsigned long>(t.subclientId));
            const int rc = app.getOneRow(&app, false, -1, 0);
            if (rc == 0)
                t.backupSetId = static_cast<int>(app.getDataPtr()->backupSet);
            else
                log.debugLvl(0, "Unable to obtain BackupSet ID for SubClientID=%lu with error code %d [%s]",
                             static_cast<unsigned long>(t.subclientId), rc, app.getErrorStr(rc));
        }
        return;
    }
    ApplicationId application(static_cast<unsigned long>(t.kelmarchId),
                              static_cast<unsigned long>(t.subclientId));
    std::unique_ptr<ZYClient> client = application.getClient();
    std::unique_ptr<Instance> instance = application.getInstance();
    std::unique_ptr<BackupSet> backupSet = application.getBackupSet();
    unsigned long clientId = 0, appType = 0;
    if (!client || !instance || !backupSet || client->getClientId(clientId) != 0 ||
        application.getAppType(appType) != 0) {
        log.debugLvl(0, "Unable to obtain properties for SubClientID=%lu from DB",
                     static_cast<unsigned long>(t.subclientId));
        return;
    }
    t.instanceId = static_cast<int>(instance->getInstanceId());
    t.clientId = static_cast<int>(clientId);
    t.backupSetId = static_cast<int>(backupSet->getBackupSetId());
    t.appType = apptype::of(static_cast<int>(appType));
    e->setint64(E::clientId, t.clientId);
    e->setint64(E::backupsetId, t.backupSetId);
    e->setint64(E::applicationId, apptype::code(t.appType));
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

// A request whose client cannot be told is refused (a console host's report excepted).
bool checkClient(TDirectTask& t, int64_t op, std::string& refusal, CBrowseLog& log) {
    if (t.clientId > 0 || op == 4) return true;
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
    refusal = text;
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
                          std::string& refusal) {
    CBrowseLog log(kTag);
    bool settled = entityIsConsistent(reads, request, entity(request), refusal);
    if (auto* entities = request.getlistobject(R::filteredEntities, false))
        for (size_t n = 0; settled && n < entities->size(); ++n)
            settled = entityIsConsistent(
                reads, request, child(&(*entities)[n], databrowse::EntityWithFilters::f::entity), refusal);
    if (!settled) log.debugLvl(0, "browse request refused: %s", refusal.c_str());
    return settled;
}

bool prepareDirectTask(TDirectTask& t, CZyNetwork* session, std::string& refusal) {
    CBrowseLog log(kTag);
    const int64_t op = has(&t.request, R::opType) ? t.request.getint64(R::opType) : -1;
    applyRecall(t, log);
    completeEntity(t, log);
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
