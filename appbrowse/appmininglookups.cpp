#include "appbrowse/appmininglookups.h"

#include <strings.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>

#include "Db/Proc/DM2GetIndexServers.h"
#include "Db/Proc/JMGetBkpJobIdsUpToEndTime.h"
#include "Db/Tbl/APP_EmailConfigPolicyAssoc.h"
#include "appbrowse/fbhmvsautils.h"
#include "platform/db/dbresult.h"
#include "platform/entities/applicationid.h"
#include "platform/entities/apptypes.h"
#include "platform/entities/clientapplist.h"
#include "platform/entities/entityconfig.h"
#include "platform/entities/zymanagedbforjm.h"
#include "platform/errors/evevent.h"
#include "platform/errors/fxerrorutil.h"
#include "platform/msg/msg_classes.h"
#include "platform/tasks/zydate.h"

namespace {

constexpr int kExchangeDbPropertyType = 112;
constexpr int kExchangeStatusOption = 28;
constexpr int kDatabaseMined = 5;
constexpr unsigned long kDefaultKelmarch = 2;

#define MINING_ERROR(text) \
    FXErrorUtil::ErrorErrNo(1, FXCodeLocation(__FILE__, __func__, __LINE__), (text).c_str())

// One log object per call, named after the function, as the job manager's own look-ups log.
class CLookupLog : public EvEvent {
public:
    explicit CLookupLog(const char* function) { setPrefixMessage(function); }
};

bool sameDatabase(const std::string& a, const std::string& b) {
    return strcasecmp(a.c_str(), b.c_str()) == 0;
}

bool completedStatus(int status) {
    return status == 1 || status == 3;
}

// Whether the job's Exchange status lists the database as mined; false (logged) when the status
// cannot be had.
bool databaseMinedInJob(uint64_t jobId, unsigned kelmarchId, const std::string& dbPath, CLookupLog& log) {
    App_MiscOptions options;
    int number = 0, flags = 0;
    std::string xml;
    options.getMiscOption(static_cast<unsigned long>(jobId), kExchangeStatusOption, number, flags, xml,
                          kelmarchId);
    if (xml.empty()) {
        log.debugLvl(-1, "Exclude job [%lu]. Failed to get status XML.", static_cast<unsigned long>(jobId));
        return false;
    }
    JobManager::ExchDbJobInfo info;
    if (info.unserialize(xml) != 0) {
        log.debugLvl(-1, "Exclude job [%lu]. Failed to unserialize status XML for job.",
                     static_cast<unsigned long>(jobId));
        return false;
    }
    const auto* tabs = info.getlistobject(JobManager::ExchDbJobInfo::f::statusTabs, false);
    if (!tabs) return false;
    return std::any_of(tabs->begin(), tabs->end(), [&](const CNMessageBase& tab) {
        return sameDatabase(tab.getstring(JobManager::ExchDbStatusTab::f::dbName), dbPath) &&
               tab.getint64(JobManager::ExchDbStatusTab::f::status) == kDatabaseMined;
    });
}

}  // namespace

std::string s_FormateDebugString(const char* format, ...) {
    char buffer[1024];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(buffer, sizeof buffer, format, ap);
    va_end(ap);
    return buffer;
}

CUxError getIndexServerFirstNode(int indexServerId, int& node) {
    DM2GetIndexServers servers(nullptr);
    servers.setValues("Exchange Index", indexServerId, 0, 0, 1, 1, 0);
    if (servers.getOneRow(&servers, false, 0, 0) != zydb::DB_OK)
        return MINING_ERROR(s_FormateDebugString(
            "Failed to fetch node clientId from the IndexServerClientId [%d].", indexServerId));
    node = servers.getDataPtr()->o_clientId;
    return CUxError::Success();
}

CUxError getMailboxCreationTime(int subclientId, std::string mailboxGuid, int& created) {
    created = 0;
    if (!CBrowseVSAUtils::IsVMGUID(mailboxGuid))
        return MINING_ERROR(s_FormateDebugString(
            "Failed to get the mailbox creation time for the mailboxGUID[%s], subclientId[%d], Error = [%s].",
            mailboxGuid.c_str(), subclientId, "not a mailbox GUID"));
    APP_EmailConfigPolicyAssoc associations(nullptr);
    associations.setTop(1);
    associations.setIsolationType(4);
    associations.setWhere(
        "created in (SELECT MIN(created) FROM APP_EmailConfigPolicyAssoc WHERE userGUID = '%s' AND "
        "subClientId = %d)",
        mailboxGuid.c_str(), subclientId);
    const int rc = associations.getOneRow(&associations, false, 0, 0);
    if (rc == zydb::DB_OK) {
        created = static_cast<int>(associations.getDataPtr()->created);
        return CUxError::Success();
    }
    if (rc == zydb::DB_NO_DATA) return CUxError::Success();
    return MINING_ERROR(s_FormateDebugString(
        "Failed to get the mailbox creation time for the mailboxGUID[%s], subclientId[%d], Error = [%s].",
        mailboxGuid.c_str(), subclientId, associations.getErrorStr(rc)));
}

uint64_t GetExchangeSubclientIdFromPath(uint64_t kelmarchId, uint64_t backupSetId, int64_t refTime,
                                        const char* dbPath) {
    CLookupLog log("GetExchangeSubclientIdFromPath");
    const std::string path = dbPath ? dbPath : "";
    std::vector<unsigned long> ids;
    std::vector<std::string> names;
    if (ClientApplicationList::getSubclientList(ids, names, apptype::code(apptype::kExchangeDatabase),
                                                static_cast<unsigned long>(backupSetId), 0, 1) != 0) {
        log.debugLvl(-1, "Failed to get subclient list from backupset [%lu]",
                     static_cast<unsigned long>(backupSetId));
        return 0;
    }
    for (unsigned long id : ids) {
        log.debugLvl(2, "Checking subclient with Id [%lu]", id);
        ApplicationId identity(static_cast<unsigned long>(kelmarchId), id);
        if (!identity.getSubclient()) {
            log.debugLvl(-1, "Not able to get subclient with Id [%lu], continue with next subclient.", id);
            continue;
        }
        // The databases the subclient held at the reference time, not today's.
        Subclient subclient(id);
        ZYDate at(static_cast<long>(refTime));
        subclient.setRefTime(at);
        PropertiesList properties;
        if (subclient.getProperties(properties, nullptr) != 0) {
            log.debugLvl(
                -1,
                "Not able to get property list from subcvlient with Id [%lu], continue with next subclient",
                id);
            continue;
        }
        for (const ApplProperty& property : properties) {
            if (property.getType() != kExchangeDbPropertyType || !sameDatabase(property.getValue(), path))
                continue;
            log.debugLvl(2, "Found subclient with id [%lu] contains database [%s] at time of [%lu]", id,
                         path.c_str(), static_cast<unsigned long>(refTime));
            return id;
        }
    }
    log.debugLvl(-1,
                 "Didn't find any subclient within backupset [%lu] contains database [%s] at time of [%lu]",
                 static_cast<unsigned long>(backupSetId), path.c_str(), static_cast<unsigned long>(refTime));
    return 0;
}

uint64_t GetAdAppAwareSubclientId(uint64_t kelmarchId, uint64_t backupSetId, uint64_t clientId) {
    CLookupLog log("GetAdAppAwareSubclientId");
    // The backup set's "default" subclient (no subclient named resolves to it).
    ApplicationId identity(static_cast<unsigned long>(kelmarchId), static_cast<unsigned long>(clientId),
                           apptype::code(apptype::kWindowsFileSystem), 0,
                           static_cast<unsigned long>(backupSetId), 0);
    unsigned long appId = 0;
    if (identity.getAppId(appId) != 0) {
        log.debugLvl(-1, "Didn't find AD AppAware subclient within backupset [%lu]",
                     static_cast<unsigned long>(backupSetId));
        return 0;
    }
    unsigned long appType = 0;
    ApplicationId subclient(static_cast<unsigned long>(kelmarchId), appId);
    if (subclient.getAppType(appType) != 0 ||
        apptype::of(static_cast<int64_t>(appType)) != apptype::kWindowsFileSystem)
        return 0;
    return appId;
}

int HasBackupJobsUpTo(uint64_t subclientId, int64_t endTime) {
    JMGetBkpJobIdsUpToEndTime cycle(nullptr);
    cycle.setIsolationType(4);
    cycle.setValues(static_cast<int>(subclientId), static_cast<int>(endTime));
    const int rc = cycle.getNextRow(&cycle, nullptr, 0, 0);
    return rc == zydb::DB_OK ? 1 : rc == zydb::DB_NO_DATA ? 0 : -1;
}

int GetJobsInCycle(uint64_t kelmarchId, uint64_t subclientId, int64_t endTime,
                   databrowse::AppMiningType miningType, const std::string& dbPath,
                   std::vector<uint64_t>& jobs) {
    CLookupLog log("GetJobsInCycle");
    jobs.clear();
    JMGetBkpJobIdsUpToEndTime cycle(nullptr);
    cycle.setIsolationType(4);
    cycle.setValues(static_cast<int>(subclientId), static_cast<int>(endTime));
    std::vector<uint64_t> candidates;
    int rc;
    while ((rc = cycle.getNextRow(&cycle, nullptr, 0, 0)) == zydb::DB_OK)
        candidates.push_back(static_cast<uint64_t>(static_cast<uint32_t>(cycle.getDataPtr()->i_JobId)));
    if (rc != zydb::DB_NO_DATA) {
        // Mining part of a cycle as if it were the whole would restore the wrong state.
        log.debugLvl(-1, "Failed to read the jobs of subclient [%lu] at time of [%lu]: %s",
                     static_cast<unsigned long>(subclientId), static_cast<unsigned long>(endTime),
                     cycle.getErrorStr(rc));
        return 0;
    }
    if (candidates.empty()) {
        log.debugLvl(-1, "Didn't find any jobs for subclient [%lu] at time of [%lu]",
                     static_cast<unsigned long>(subclientId), static_cast<unsigned long>(endTime));
        return 0;
    }
    const unsigned kelmarch = kelmarchId != 0 ? static_cast<unsigned>(kelmarchId) : kDefaultKelmarch;
    for (uint64_t job : candidates) {
        int status = 0;
        if (!ZYManageDBForJM::getStatusForBackupJob(0, static_cast<unsigned long>(job), 0, status)) {
            log.debugLvl(1, "Cannot get job status for job [%lu]", static_cast<unsigned long>(job));
            jobs.push_back(job);
            continue;
        }
        if (!completedStatus(status)) {
            log.debugLvl(1, "Exclude job [%lu] as job status is [%d]", static_cast<unsigned long>(job),
                         status);
            continue;
        }
        if (miningType == databrowse::APP_MINING_EXCHANGE_DB &&
            !databaseMinedInJob(job, kelmarch, dbPath, log))
            continue;
        jobs.push_back(job);
    }
    if (jobs.empty()) {
        log.debugLvl(-1, "Didn't find any succeeded jobs for subclient [%lu] at time of [%lu]",
                     static_cast<unsigned long>(subclientId), static_cast<unsigned long>(endTime));
        return 0;
    }
    std::sort(jobs.begin(), jobs.end());
    return 1;
}
