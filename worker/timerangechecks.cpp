// The time-range and copy checks of the worker: the client's upgrade time and the archive files on
// either side of it, snapshot subclients, the backup copy of a snapshot, and new session ids.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <random>
#include <vector>

#include "Db/Proc/archFileByTimeSuperBrowse.h"
#include "Db/Proc/archGetBackupCopyPrecedenceForSnap.h"
#include "fbDebug/fbdebug.h"
#include "planning/browsetask.h"
#include "planning/confmgr.h"
#include "planning/handedover.h"
#include "platform/crypto/zycrypto.h"
#include "platform/db/dbresult.h"
#include "platform/entities/applicationid.h"
#include "platform/entities/clientapplist.h"
#include "platform/entities/entityconfig.h"
#include "platform/entities/installmanager.h"
#include "platform/errors/evmessagecontainer.h"
#include "platform/errors/evmessageids.h"
#include "platform/tasks/evrestoretask.h"
#include "platform/tasks/zytime.h"
#include "platform/threads/hubclock.h"
#include "platform/threads/threadid.h"
#include "worker/fastbrowsehmworkerthread.h"

namespace {

constexpr const char* kTag = "FBHMWORKER";
constexpr int kOtherDataFilesResultSet = 2;

// Bytes of chance in a generated session id: nobody can name a session before it is made, nor take the
// next ones in advance.
constexpr size_t kSessionIdRandomBytes = 16;

}  // namespace

int CWorkerThreadHM::getClientUpgradeTime() {
    CBrowseLog log(kTag);
    const long clientId = m_privateTask->getClientId();
    unsigned long upgradeTime = 0;
    const int rc =
        ClientProperties::getClientUpgradeTime(static_cast<unsigned long>(clientId), upgradeTime, nullptr);
    if (rc != 0) {
        log.debugLvl(0, "unable to find client upgrade time due to error [%d] from server api", rc);
        EvMessageContainer message;
        message.SetMessageID(evmsg::kServerError, true);
        setErrorMessage(message);
        setLastError(databrowse::BROWSE_ERR_REQUEST_PROCESSING, std::string(m_errorText));
        sendErrorToBrowse();
        return static_cast<int>(0xFFFFFFFF);
    }
    log.debugLvl(5, "client upgrade time for client id [%ld] found out to be [%lu]", clientId, upgradeTime);
    return static_cast<int>(upgradeTime);
}

int CWorkerThreadHM::getArchFileVersions(EvRestoreTask* task, int fromTime, int toTime, int upgradeTime,
                                         bool& afterUpgrade, bool& beforeUpgrade, bool pointInTime) {
    CBrowseLog log(kTag);
    afterUpgrade = false;
    beforeUpgrade = false;
    ArchFileByTimeSuperBrowse files(nullptr);
    files.setValues(static_cast<int>(task->getAppType()), static_cast<int>(m_privateTask->getClientId()),
                    static_cast<int>(task->getBackupSetId()), static_cast<int>(task->getSubClientId()),
                    fromTime, toTime, static_cast<int>(task->getArchGroupCopyPrecedence()), 1, 0,
                    m_indexingV2 ? 1 : 0, "");
    // The procedure answers whole cycles: a range that starts after the upgrade still gets the files its
    // first cycle had before it, which the range does not read. Only the files the browse reads count.
    struct TDataFile {
        int createTime;
        int cycle;
    };
    std::vector<TDataFile> read;
    int count = 0;
    int rc;
    while ((rc = files.getNextRow(&files, &count, -1, 0)) == zydb::DB_OK) {
        const ArchFileByTimeSuperBrowse_t& row = *files.getDataPtr();
        if (row.r_resultSetId != kOtherDataFilesResultSet) continue;
        if (toTime > 0 && row.r_createTime > toTime) continue;
        if (!pointInTime && row.r_createTime < fromTime) continue;
        read.push_back({row.r_createTime, row.r_fullCycleNum});
    }
    if (pointInTime && !read.empty()) {
        // The cycle of the newest file at the point in time is the one the browse reads.
        const int cycle =
            std::max_element(read.begin(), read.end(), [](const TDataFile& a, const TDataFile& b) {
                return a.createTime < b.createTime;
            })->cycle;
        std::erase_if(read, [cycle](const TDataFile& f) { return f.cycle != cycle; });
    }
    for (const TDataFile& f : read) {
        if (upgradeTime >= f.createTime)
            beforeUpgrade = true;
        else
            afterUpgrade = true;
    }
    if (rc == zydb::DB_NO_DATA) return 0;
    // Files that cannot be read must not pass as "none on either side": the range could span the upgrade.
    log.debugLvl(0, "archive files of [%d] - [%d] cannot be read [%d]: %s", fromTime, toTime, rc,
                 files.getErrorStr(rc));
    EvMessageContainer message;
    message.SetMessageID(evmsg::kServerError, true);
    setErrorMessage(message);
    setLastError(databrowse::BROWSE_ERR_REQUEST_PROCESSING, std::string(m_errorText));
    sendErrorToBrowse();
    return -1;
}

bool CWorkerThreadHM::isSnapSubclientInvolved(EvRestoreTask& task) {
    CBrowseLog log(kTag);
    auto snapEnabled = [](unsigned long subclientId) {
        Subclient subclient(subclientId);
        bool enabled = false;
        return subclient.getEnableSnapBackups(enabled, nullptr) == 0 && enabled;
    };
    if (task.getSubClientId() >= 1) {
        const auto subclientId = static_cast<unsigned long>(task.getSubClientId());
        if (!snapEnabled(subclientId)) return false;
        log.debugLvl(0, "subclient [%lu] has snap enabled, switch to hubmaster db browse", subclientId);
        return true;
    }
    unsigned long backupSetId = 0;
    std::string name;
    // The default backup set of the task's own instance: another instance's may hold no snapshots.
    int rc = ClientApplicationList::getDefaultBackupSet(
        static_cast<unsigned long>(task.getClientId()), static_cast<unsigned long>(task.getAppType()),
        static_cast<unsigned long>(task.getInstanceId()), backupSetId, name, nullptr);
    if (rc != 0) {
        log.debugLvl(
            0, "Unable to get default backupset for clientId [%lu], and appType [%lu]. error ret = [%d]",
            static_cast<unsigned long>(task.getClientId()), static_cast<unsigned long>(task.getAppType()),
            rc);
        return false;
    }
    std::vector<unsigned long> ids;
    std::vector<std::string> names;
    if (ClientApplicationList::getSubclientList(ids, names, static_cast<unsigned long>(task.getAppType()),
                                                backupSetId, 0, 1) != 0) {
        log.debugLvl(0, "Unable to get subclient list for backupset [%lu] and apptype [%lu]", backupSetId,
                     static_cast<unsigned long>(task.getAppType()));
        return false;
    }
    for (unsigned long id : ids) {
        if (snapEnabled(id)) {
            log.debugLvl(0, "subclient [%lu] has snap enabled, switch to hubmaster db browse", id);
            return true;
        }
    }
    return false;
}

int CWorkerThreadHM::handleInvalidBrowseTimeRange(int fromTime, int toTime, int upgradeTime) {
    CBrowseLog log(kTag);
    // The error response carries the session block of the browse task. The reference that set-up takes
    // is the request's to give back, like the one intake takes; a task already set up keeps its own.
    if (m_heldConfId.empty()) {
        m_browseTask->initBrowse(m_privateTask.get());
        m_heldConfId = m_browseTask->getDataPtr()->confId;
    }
    log.debugLvl(
        0,
        "time range chosen for browse [%d] - [%d]. client upgrade time [%d]. please choose time-range either "
        "before upgrade or after upgrade",
        fromTime, toTime, upgradeTime);
    char upgradeText[ZyTime::kTextSize] = {};
    ZyTime formatted(static_cast<long>(static_cast<unsigned int>(upgradeTime)), upgradeText, 0,
                     sizeof upgradeText);
    EvMessageContainer message;
    message.SetMessageID(evmsg::kRangeSpansUpgrade, true);
    message << upgradeText;
    setErrorMessage(message);
    setLastError(databrowse::BROWSE_ERR_SPANS_UPGRADE, std::string(m_errorText));
    sendErrorToBrowse();
    return 0;
}

int CWorkerThreadHM::handleViewBackupCopy(EvRestoreTask& task) {
    CBrowseLog log(kTag);
    ArchGetBackupCopyPrecedenceForSnap procedure(nullptr);
    procedure.setValues(static_cast<int>(task.getBackupSetId()), static_cast<int>(task.getSubClientId()),
                        static_cast<int>(task.getFromTime()), static_cast<int>(task.getToTime()));
    int count = 0;
    const int rc = procedure.getNextRow(&procedure, &count, -1, 0);
    if (rc != zydb::DB_OK) {
        log.debugLvl(-1, "ArchGetBackupCopyPrecedenceForSnap returned error [%d]", rc);
        return -1;
    }
    const ArchGetBackupCopyPrecedenceForSnap_t& row = *procedure.getDataPtr();
    log.debugLvl(-1, "ArchGetBackupCopyPrecedenceForSnap returned [%d, %s]",
                 static_cast<int>(row.r_copyPrecedence), row.r_error ? row.r_error : "");
    return row.r_copyPrecedence > 0 ? static_cast<int>(row.r_copyPrecedence) : -1;
}

int CWorkerThreadHM::handleNoBackupCopyJob(EvRestoreTask& /*task*/) {
    EvMessageContainer message;
    message.SetMessageID(evmsg::kNoBackupCopyJob, true);
    setErrorMessage(message);
    setLastError(databrowse::BROWSE_ERR_NO_BACKUP_COPY_JOB, std::string(m_errorText));
    sendErrorToBrowse();
    return 0;
}

std::string CWorkerThreadHM::GenerateSessionId() {
    for (;;) {
        unsigned char bytes[kSessionIdRandomBytes];
        if (!zycrypto::randomBytes(bytes, sizeof bytes)) {
            // The system's own source, read directly, when the library's cannot answer.
            std::random_device device;
            for (unsigned char& byte : bytes) byte = static_cast<unsigned char>(device());
        }
        std::string id =
            std::to_string(CHubClock::real().epochSeconds()) + "-" + zycrypto::toHex(bytes, sizeof bytes);
        // A session some caller already holds under this name stays that caller's.
        CHandedOverSessions::TSession handed;
        if ((g_poConfMgr && g_poConfMgr->getConfRec(id, false)) ||
            CHandedOverSessions::instance().find(id, handed))
            continue;
        return id;
    }
}
