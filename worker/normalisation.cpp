// Normalisation of a request: the worker's private task made from the incoming one, with every value a
// caller may leave out filled in, the filter read, the session GUID settled and the paths converted.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "Db/Tbl/JMBkpStats.h"
#include "fbDebug/fbdebug.h"
#include "planning/browsetask.h"
#include "platform/db/dbresult.h"
#include "platform/entities/apptypes.h"
#include "platform/entities/entityconfig.h"
#include "platform/entities/erappid.h"
#include "platform/entities/fssubclientconf.h"
#include "platform/entities/sourcepathkeeper.h"
#include "platform/entities/zymanagedbforjm.h"
#include "platform/tasks/evrestoretask.h"
#include "platform/tasks/taskoptions.h"
#include "platform/threads/hubclock.h"
#include "worker/fastbrowsehmworkerthread.h"

namespace {

constexpr const char* kTag = "FBHMWORKER";
constexpr unsigned long long kCaseOption = 0x2;
constexpr unsigned long kDefaultPageSize = 0xFFFFFFFF;
constexpr long kDefaultKelmarchId = 2;
constexpr const char* kPrefixedPathGuid = "{20d03aa2-7726-42d8-8381-fdda7a8a1c47}";
constexpr int kExplorerSyncOption = 95;
constexpr unsigned int kDelayedStubbingOption = 104;
constexpr unsigned int kCaseInsensitiveOption = 81;

using Opt = databrowse::BrowseOptions::f;

// The component after the fixed prefix of a path "<sep>{prefix}<sep>...<sep>COMPONENT<sep>...": the
// first text of non-separators at or after position 39; empty when there is none.
std::string componentAfterPrefix(const char* path) {
    const size_t prefixLength = std::strlen(kPrefixedPathGuid);
    if (path == nullptr || std::strlen(path) < 1 + prefixLength) return {};
    if (std::strncmp(path + 1, kPrefixedPathGuid, prefixLength) != 0) return {};
    const char separator = path[0];
    size_t i = 1 + prefixLength;
    const size_t n = std::strlen(path);
    while (i < n && path[i] == separator) ++i;
    size_t end = i;
    while (end < n && path[end] != separator) ++end;
    return std::string(path + i, end - i);
}

// The job id at the head of a synthetic-full session GUID ("<job>_..."); 0 without an underscore.
long jobIdOfSession(const std::string& guid) {
    const size_t underscore = guid.find('_');
    if (underscore == std::string::npos) return 0;
    return std::strtol(guid.substr(0, underscore).c_str(), nullptr, 10);
}

// Delayed stubbing: the browse ends at the subclient's last DR backup.
CStepResult applyDelayedStubbing(EvMultiEntityRestoreTask* task) {
    if (!task->isSet(kDelayedStubbingOption)) return {};
    CBrowseLog log(kTag);
    uint64_t jobId = 0;
    long backupTime = 0;
    std::string error;
    if (ERAppId::getDRBackupTimeForDelayStubbing(static_cast<unsigned long>(task->getSubClientId()), jobId,
                                                 backupTime, error, nullptr, nullptr) != 0) {
        log.debugLvl(0, "failed to get last DR backup time with error [%s]", error.c_str());
        return CStepResult::failure(databrowse::BROWSE_ERR_REQUEST_PROCESSING,
                                    "The time of the last DR backup of the subclient cannot be read" +
                                        (error.empty() ? std::string() : ": " + error));
    }
    log.debugLvl(1, "based on delayed stubbing settings, changing to time from [%d] to [%d]",
                 static_cast<int>(task->getToTime()), static_cast<int>(backupTime));
    task->setToTime(backupTime);
    return {};
}

// The filter's queries: the count query's tag, and the paging a query asks for. A filter that does not
// read leaves an empty list. `read`, when given, is the filter read from this same text already.
void readFilter(const std::string& pattern, EvMultiEntityRestoreTask* priv,
                std::unique_ptr<databrowse::Querylist>& queryList, std::string& countTag,
                std::unique_ptr<databrowse::Querylist> read) {
    CBrowseLog log(kTag);
    if (read) {
        queryList = std::move(read);
    } else if (queryList = std::make_unique<databrowse::Querylist>(); queryList->unserialize(pattern) != 0) {
        log.debugLvl(0, "failed to unserialize filter xml string [%s]", pattern.c_str());
        queryList = std::make_unique<databrowse::Querylist>();
        return;
    }
    auto* queries = queryList->getlistobject(databrowse::Querylist::f::queries, false);
    if (!queries) return;
    for (CNMessageBase& query : *queries) {
        // What goes on to the media agent too.
        within32bits::keepPaging(query);
        CNMessageBase* queryOptions = query.getObjectAccessor(databrowse::Query::f::queryOptions, false);
        if (queryOptions &&
            queryOptions->getint64(databrowse::Msg70::f::queryType) == databrowse::kQueryOptionsCount)
            countTag = query.getstring(databrowse::Query::f::queryId);
        CNMessageBase* dataParam = query.getObjectAccessor(databrowse::Query::f::dataParam, false);
        CNMessageBase* paging =
            dataParam ? dataParam->getObjectAccessor(databrowse::DataParam::f::paging, false) : nullptr;
        if (paging == nullptr) continue;
        priv->setEmPageSize(paging->isSet(databrowse::Msg6::f::pageSize)
                                ? static_cast<unsigned long>(paging->getint64(databrowse::Msg6::f::pageSize))
                                : kDefaultPageSize);
        priv->setEmFirstNode(0);
        priv->setEmSkipNode(paging->isSet(databrowse::Msg6::f::skipNode) &&
                                    (priv->getEmFunction() & 0xFF) != 6
                                ? static_cast<unsigned long>(paging->getint64(databrowse::Msg6::f::skipNode))
                                : 0);
    }
}

// The from-time of a PostgreSQL file-system backup set, and of an Explorer plug-in sync after a full
// or synthetic full job, is zero.
void adjustFromTime(EvMultiEntityRestoreTask* priv) {
    CBrowseLog log(kTag);
    if (priv->getFromTime() > 0 && priv->getAppType() == apptype::kPostgreSql) {
        PostgreSQLBackupSet backupSet(static_cast<unsigned long>(priv->getBackupSetId()));
        bool fsBased = false;
        if (backupSet.isDefaultFSBackupSet(fsBased, nullptr) != 0) {
            log.debugLvl(0, "Error while determining backupset type for backupset id %lu",
                         static_cast<unsigned long>(priv->getBackupSetId()));
        } else {
            log.debugLvl(0, "the backupset type is FsBackupSet? [%d]", fsBased ? 1 : 0);
            if (fsBased) {
                log.debugLvl(0, "PostgreSQL FSbased backupset restore job, Setting from time as zero");
                priv->setFromTime(0);
            }
        }
    }

    if (priv->getFromTime() > 0 && priv->isSet(kExplorerSyncOption)) {
        JMBkpStats stats(nullptr);
        stats.setTop(1);
        const long fromTime = priv->getFromTime();
        if (priv->getSubClientId() < 1)
            stats.setWhere(
                "appId IN (SELECT id FROM APP_Application WHERE backupSet = %ld) AND bkpLevel & 0X40C1 <> 0 "
                "AND dataStatus = 0 AND status IN (1, 3, 14) AND servEndDate >= %ld",
                priv->getBackupSetId(), fromTime);
        else
            stats.setWhere(
                "appId = %ld AND bkpLevel & 0X40C1 <> 0 AND dataStatus = 0 AND status IN (1, 3, 14) AND "
                "servEndDate >= %ld",
                priv->getSubClientId(), fromTime);
        if (stats.getOneRow(&stats, false, 0, 0) == zydb::DB_OK) {
            log.debugLvl(0,
                         "Explorer plug-in sync: A full or synthetic full job was found for backupset [%ld], "
                         "subclient "
                         "[%ld]. The from-time will be changed from [%ld] to zero.",
                         priv->getBackupSetId(), priv->getSubClientId(), fromTime);
            priv->setFromTime(0);
        }
    }
}

// Defaults of what the caller left out: the em function of a request without a session, the to-time
// (a synthetic full job's start, else now), the page size and the Kelmarch.
void fillDefaults(EvMultiEntityRestoreTask* priv, CNMessageBase* browseOptions,
                  databrowse::BrowseRequest& request) {
    CBrowseLog log(kTag);
    if (priv->getOptions() & taskoption::kNested) priv->setEmFunction(3);

    if (priv->getToTime() == 0) {
        bool synthFullTime = false;
        if (browseOptions->getint64(Opt::synthFullBrowse) != 0 &&
            browseOptions->getint64(Opt::noSynthFullToTime) == 0) {
            CNMessageBase* session = request.getObjectAccessor(databrowse::BrowseRequest::f::session, false);
            const long jobId =
                session ? jobIdOfSession(session->getstring(databrowse::BrowseSession::f::sessionId)) : 0;
            if (jobId != 0) {
                long startTime = 0;
                if (ZYManageDBForJM::getJobStartTime(static_cast<unsigned long>(jobId), startTime,
                                                     ZYManageDBForJM::getDefaultKelmarchID())) {
                    priv->setToTime(startTime);
                    synthFullTime = true;
                    log.debugLvl(0, "to time was not specified, defaulting to %d for Synthetic Full job",
                                 static_cast<int>(startTime));
                } else {
                    log.debugLvl(0, "Error: Failed to fetch job start time for SynthFull JobID:[%ld]", jobId);
                }
            }
        }
        if (!synthFullTime) {
            const long now = static_cast<long>(CHubClock::real().epochSeconds());
            priv->setToTime(now);
            log.debugLvl(0, "to time was not specified, defaulting to %d", static_cast<int>(now));
        }
    }

    if (priv->getEmPageSize() == 0) {
        priv->setEmPageSize(kDefaultPageSize);
        log.debugLvl(0, "page size was not specified, defaulting to 0xFFFFFFFF");
    }
    if (priv->getKelmarchId() == 0) {
        priv->setKelmarchId(kDefaultKelmarchId);
        log.debugLvl(0, "kelmarch id was not specified, defaulting to 2");
    }
}

// The session GUID on both tasks: one generated for a request without (unless it asks for none), and on
// the private task the component a prefixed path names. A generated GUID is one nobody can guess (a
// counted one let a caller take the next ones before others asked).
void settleSessionGuid(EvMultiEntityRestoreTask* task, EvMultiEntityRestoreTask* priv,
                       bool& sessionGuidGenerated) {
    if (*priv->getbrowseSessionGUID() == '\0' && !(priv->getOptions() & taskoption::kNested)) {
        priv->setbrowseSessionGUID(CWorkerThreadHM::GenerateSessionId().c_str());
        sessionGuidGenerated = true;
    }
    task->setbrowseSessionGUID(priv->getbrowseSessionGUID());
    const std::string component = componentAfterPrefix(task->getPath(EvRestoreTask::kBrowsePathList));
    if (!component.empty()) {
        const std::string guid = std::string(priv->getbrowseSessionGUID()) + "-" + component;
        priv->setbrowseSessionGUID(guid.c_str());
    }
}

// The browse paths in the case the subclient's file system keeps, when the request asks for it.
void convertPathCase(EvMultiEntityRestoreTask* priv) {
    if (!(priv->getOptions() & kCaseOption) || !priv->isSet(kCaseInsensitiveOption)) return;
    CBrowseLog log(kTag);
    FSSubclientConf conf(static_cast<unsigned long>(priv->getAppType()));
    bool caseSensitive = true;
    conf.checkCaseSensitivity(priv->getAppType(), caseSensitive);
    if (caseSensitive)
        conf.caseSensitive();
    else
        conf.caseInsensitive();
    SourcePathKeeper keeper;
    keeper.preset(priv);
    if (keeper.set(priv, conf, true) != 0) {
        // A failed conversion leaves the keeper without paths: the browse keeps its own.
        log.debugLvl(0, "failed to convert source paths into case insensitive paths");
    } else {
        priv->clearPaths(EvRestoreTask::kBrowsePathList);
        for (const char* p = keeper.getFirstPath(); p; p = keeper.getNextPath())
            priv->addPath(EvRestoreTask::kBrowsePathList, p);
    }
}

}  // namespace

CStepResult CWorkerThreadHM::normaliseRequest(EvMultiEntityRestoreTask* task, const TRequestAuth& auth,
                                              bool& sessionGuidGenerated) {
    CBrowseLog log(kTag);
    EvMultiEntityRestoreTask* priv = m_privateTask.get();
    sessionGuidGenerated = false;

    unsigned long long options = task->getOptions();
    if (task->getBrowseOpType() == databrowse::BROWSE_OP_ALL_VERSIONS &&
        task->getAppType() == apptype::kVirtualServer)
        options |= 0x10;
    if (CStepResult stubbing = applyDelayedStubbing(task); !stubbing.ok()) return stubbing;

    priv->setTaskParameters(task->getJobId(), task->getTaskId(), task->getUserId(), options,
                            task->getKelmarchId(), task->getClientId(), task->getBackupSetId(),
                            task->getDestClientId(), task->getToTime(), task->getFromTime(),
                            apptype::code(task->getAppType()), task->getInstanceId(), task->getOptions1(),
                            task->getTaskLocale());
    priv->setEmFunction(task->getEmFunction());
    priv->setEmFirstNode(task->getEmFirstNode());
    priv->setEmSkipNode(task->getEmSkipNode());
    priv->setEmPageSize(task->getEmPageSize());
    priv->setextendedOptions(task->getExtendedOption());
    priv->setUserName(task->getUserName());
    priv->setCICloudId(task->getCICloudId());
    priv->setWebServerHostName(task->getWebServerHostName());
    priv->setBrowseOpType(task->getBrowseOpType());
    priv->setPreferContentServer(task->getPreferContentServer());
    priv->setLiveUpdate(task->getLiveUpdate());
    priv->setCallerClientId(task->getCallerClientId());

    CNMessageBase* browseOptions =
        m_browseRequest.getObjectAccessor(databrowse::BrowseRequest::f::options, true);
    if (browseOptions->getint64(Opt::includeRunningJob) != 0) priv->setIncludeRunningJob(true);

    if (!browseOptions->isSet(Opt::userRequest)) {
        CNMessageBase* caller =
            m_browseRequest.getObjectAccessor(databrowse::BrowseRequest::f::caller, false);
        const bool byUserName = m_browseRequest.isSet(databrowse::BrowseRequest::f::userName) ||
                                (caller && caller->isSet(ZyEntities::Msg74::f::user));
        const bool byToken = !m_browseRequest.getstring(databrowse::BrowseRequest::f::token).empty();
        bool byRecall = false;
        if (auto* paths = m_browseRequest.getlistobject(databrowse::BrowseRequest::f::paths, false);
            paths && !paths->empty()) {
            CNMessageBase* marker =
                paths->front().getObjectAccessor(databrowse::BrowsePath::f::detail, false);
            byRecall = marker && marker->isSet(databrowse::Msg2::f::subclientId);
        }
        log.debugLvl(3, "username [%d] token [%d] recall [%d]", byUserName ? 1 : 0, byToken ? 1 : 0,
                     byRecall ? 1 : 0);
        if (byUserName || byToken || byRecall) browseOptions->setint64(Opt::userRequest, 1);
        priv->setUserRequest(browseOptions->getint64(Opt::userRequest) != 0);
    }

    for (int list : {EvRestoreTask::kBrowsePathList, 3}) {
        priv->clearPaths(list);
        for (const char* p = task->getFirstPath(list); p; p = task->getNextPath(list))
            priv->addPath(list, list == EvRestoreTask::kBrowsePathList && auth.useMailboxPath
                                    ? auth.mailboxPath.c_str()
                                    : p);
    }

    priv->setArchGroupCopyPrecedence(task->getArchGroupCopyPrecedence());
    priv->setAppId(task->getAppId());
    priv->setSubClientId(task->getSubClientId());
    priv->setbrowseSessionGUID(task->getbrowseSessionGUID());
    priv->setEntityList(task->getEntityList());
    priv->setMultiEntityBrowseFlags(task->getMultiEntityBrowseFlags());
    priv->setForceUsedxDbEngineType(task->getForceUsedxDbEngineType());
    priv->setMediaAgentId(task->getMediaAgentId());
    priv->setFcsPhrase(task->getFcsPhrase());
    m_browseFindPattern = task->getbrowseFindPattern();
    std::unique_ptr<databrowse::Querylist> checked = std::move(m_checkedFilter);
    if (checked && m_checkedFilterText != m_browseFindPattern) checked.reset();
    m_checkedFilterText.clear();
    if (!m_browseFindPattern.empty())
        readFilter(m_browseFindPattern, priv, m_queryList, m_countTag, std::move(checked));

    priv->setBrowseViewName(task->getBrowseViewName().c_str());
    priv->setSampling(task->getSampling());
    priv->setAlertId(task->getAlertId());
    priv->setBrowseItemFlushCount(task->getBrowseItemFlushCount());

    adjustFromTime(priv);
    fillDefaults(priv, browseOptions, m_browseRequest);
    settleSessionGuid(task, priv, sessionGuidGenerated);
    convertPathCase(priv);

    if (!(priv->getOptions() & taskoption::kNested)) smallDump(kTag, priv);
    return {};
}
