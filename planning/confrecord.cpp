#include "planning/confrecord.h"

#include <cctype>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "fbDebug/fbdebug.h"
#include "planning/browsetask.h"
#include "planning/configuration.h"
#include "planning/confmgr.h"
#include "planning/superbrowsemanager.h"
#include "platform/entities/sdversion.h"
#include "platform/tasks/evrestoretask.h"

namespace {
const char* const kTag = "FBHMCONFIGREC";
// Marks a wildcard path: the subclient number follows it.
const char* const kWildcardMarker = "\\/\\/";
}  // namespace

CConfRecord::CConfRecord() = default;

CConfRecord::~CConfRecord() {
    CBrowseLog log(kTag);
    if (m_refCount != 0) {
        log.debugLvl(
            0,
            "WARNING: we try to delete Configuration[%s], which reference count in not 0 (%d). If it is "
            "still in use - crash could happen.",
            m_id.c_str(), static_cast<int>(m_refCount));
        log.debugLvl(0, "Configuration[%s] was used for %lu seconds", m_id.c_str(),
                     static_cast<unsigned long>(m_usedSeconds));
    }
    if (m_configuration) {
        delete m_configuration;
        m_configuration = nullptr;
        log.debugLvl(2, "Configuration[%s] was deleted.", m_id.c_str());
    }
}

int CConfRecord::init(EvMultiEntityRestoreTask* task) {
    CBrowseLog log(kTag);
    if (m_configuration || getRefCount() != 0) {
        log.debugLvl(0, "ERROR: already initialized!");
        return -1;
    }
    if (!task) {
        log.debugLvl(0, "ERROR: WRONG parameter pTask = NULL");
        return -1;
    }
    // Owned here until planned: a planning that throws leaves nothing behind.
    std::unique_ptr<CConfiguration> configuration(new (std::nothrow) CConfiguration());
    if (!configuration) {
        log.debugLvl(0, "ERROR: new() failed to allocate CConfiguration object.");
        return -1;
    }
    if (configuration->init(task) != 0) {
        setLastError(configuration->getLastErrorCode(), configuration->getLastError());
        return -1;
    }
    m_configuration = configuration.release();
    m_id = task->getbrowseSessionGUID();
    log.debugLvl(2, "Configuration Record was initialized as Configuration[%s]", m_id.c_str());
    return 0;
}

int CConfRecord::initUnplanned(EvMultiEntityRestoreTask* task) {
    CBrowseLog log(kTag);
    const char* session = task ? task->getbrowseSessionGUID() : nullptr;
    if (m_configuration || getRefCount() != 0 || !session || !*session) {
        log.debugLvl(0, "ERROR: an unplanned configuration needs a fresh record and a session");
        return -1;
    }
    m_configuration = new (std::nothrow) CConfiguration();
    if (!m_configuration) {
        log.debugLvl(0, "ERROR: new() failed to allocate CConfiguration object.");
        return -1;
    }
    m_id = session;
    log.debugLvl(2, "Configuration Record was initialized unplanned as Configuration[%s]", m_id.c_str());
    return 0;
}

CConfiguration* CConfRecord::lockConfiguration() {
    CBrowseLog log(kTag);
    if (!m_configuration) {
        log.debugLvl(0, "ERROR: not initialized.");
        return nullptr;
    }
    ZyCriticalSectionLock guard(&m_recordLock);
    ++m_refCount;
    log.debugLvl(8, "locked configuration [%s] reference count [%lu]", m_id.c_str(),
                 static_cast<unsigned long>(m_refCount));
    return m_configuration;
}

int CConfRecord::unlockConfiguration() {
    CBrowseLog log(kTag);
    if (!m_configuration) {
        log.debugLvl(0, "Warning: Configuration[%s] is not initialized. unlockConfiguration() is not needed.",
                     m_id.c_str());
        return -1;
    }
    const std::string id = m_id;  // the record may be gone once the lock is left
    CConfigurationMgr* reaper = nullptr;
    uint32_t count = 0;
    {
        ZyCriticalSectionLock guard(&m_recordLock);
        if (m_refCount == 0) {
            // An unlock without a lock would wrap the count and keep the record alive for ever.
            log.debugLvl(0, "ERROR: Configuration[%s] is not referenced; unlockConfiguration() refused.",
                         id.c_str());
            return -1;
        }
        count = --m_refCount;
        if (count == 0) reaper = m_deleteBy;
    }
    log.debugLvl(8, "unlocked configuration [%s] reference count [%lu]", id.c_str(),
                 static_cast<unsigned long>(count));
    if (reaper) reaper->reapRecord(this);
    return 0;
}

bool CConfRecord::markForDeletion(CConfigurationMgr* owner) {
    ZyCriticalSectionLock guard(&m_recordLock);
    m_deleteBy = owner;
    return m_refCount == 0;
}

int CConfRecord::addSeconds(unsigned seconds) {
    CBrowseLog log(kTag);
    ZyCriticalSectionLock guard(&m_recordLock);
    // Saturating: a record held for ever must not wrap back to "just used".
    auto add = [seconds](uint32_t age) { return age > UINT32_MAX - seconds ? UINT32_MAX : age + seconds; };
    if (m_refCount != 0) {
        m_usedSeconds = add(m_usedSeconds);
        m_idleSeconds = 0;
    } else {
        m_idleSeconds = add(m_idleSeconds);
        m_usedSeconds = 0;
    }
    if (m_usedSeconds >= kLongUseSeconds) {
        log.debugLvl(
            0,
            "Configuration[%s] was used for more than %.1f hours. Failure is possible. Reference count = %lu",
            m_id.c_str(), m_usedSeconds / 3600.0, static_cast<unsigned long>(m_refCount));
        return 0;
    }
    if (m_idleSeconds >= kIdleLimitSeconds) {
        log.debugLvl(
            0,
            "Configuration[%s] was not used more than %ld seconds. It will be deleted. Reference count = %lu",
            m_id.c_str(), static_cast<long>(kIdleLimitSeconds), static_cast<unsigned long>(m_refCount));
        return -1;
    }
    return 0;
}

int CConfRecord::pleaseDie() {
    CBrowseLog log(kTag);
    ZyCriticalSectionLock guard(&m_recordLock);
    if (m_refCount != 0) {
        log.debugLvl(-1,
                     "Configuration[%s] is in use and cannot be killed by Cache cleanUp request (registry). "
                     "IdleTime=%ld(seconds). RefCount=%lu.",
                     m_id.c_str(), static_cast<long>(m_idleSeconds), static_cast<unsigned long>(m_refCount));
        return -1;
    }
    log.debugLvl(
        -1,
        "Configuration[%s] will be deleted by Cache cleanUp request (registry). IdleTime=%ld(seconds). "
        "RefCount=%ld.",
        m_id.c_str(), static_cast<long>(m_idleSeconds), static_cast<long>(m_refCount));
    return 0;
}

unsigned CConfRecord::getRefCount() {
    ZyCriticalSectionLock guard(&m_recordLock);
    return m_refCount;
}

bool CConfRecord::IsReloadRequiredForWBA(EvMultiEntityRestoreTask* task) {
    if (!m_configuration) return false;
    int rc = m_configuration->WBAConfHandler(task);
    if (rc < 0) {
        CBrowseLog log(kTag);
        log.debugLvl(0, "ERROR: WBA configuration handler failed");
        return false;
    }
    return rc == 1;
}

bool CConfRecord::isSuitableFor(EvMultiEntityRestoreTask* task) {
    if (!task) return false;
    const char* guid = task->getbrowseSessionGUID();
    return guid && guid[0] != '\0' && m_id == guid;
}

bool CConfRecord::IsIndexingV2(std::string& dbId, std::string& mediaAgent, unsigned& appType,
                               App::IdxDbEngineType& engineType, unsigned long& idxAppType) {
    SuperBrowseManager* planner = m_configuration ? m_configuration->getSuperBrowseManager() : nullptr;
    if (!planner || !planner->isIndexingV2()) return false;
    dbId = planner->getSelectedDbId();
    mediaAgent = planner->getSelectedMA();
    appType = static_cast<unsigned>(apptype::code(planner->getAppType()));
    engineType = planner->getSelectedDbEngineType();
    idxAppType = static_cast<unsigned long>(apptype::code(planner->getIdxAppType()));
    return true;
}

void CConfRecord::insertWorkerInConf(std::string workerId) {
    ZyCriticalSectionLock guard(&m_workersLock);
    m_workers.emplace(std::move(workerId), std::string());
}

void CConfRecord::updateWorkerInConf(std::string workerId, std::string mediaAgent) {
    ZyCriticalSectionLock guard(&m_workersLock);
    if (!mediaAgent.empty()) m_askedAgents.insert(mediaAgent);
    m_workers[std::move(workerId)] = std::move(mediaAgent);
}

void CConfRecord::removeWorkerFromConf(std::string workerId) {
    ZyCriticalSectionLock guard(&m_workersLock);
    m_workers.erase(workerId);
}

std::map<std::string, std::string> CConfRecord::getWorkersToMaMap() {
    ZyCriticalSectionLock guard(&m_workersLock);
    return m_workers;
}

std::set<std::string> CConfRecord::getAskedAgents() {
    ZyCriticalSectionLock guard(&m_workersLock);
    return m_askedAgents;
}

bool CConfRecord::areAllWorkersCompleted() {
    ZyCriticalSectionLock guard(&m_workersLock);
    return m_workers.empty();
}

void CConfRecord::setAuthToken(std::string token) {
    ZyCriticalSectionLock guard(&m_tokenLock);
    m_authToken = std::move(token);
}

std::string CConfRecord::getAuthToken() {
    ZyCriticalSectionLock guard(&m_tokenLock);
    return m_authToken;
}

void CConfRecord::setLastError(databrowse::BrowseErrorCode code, const std::string& text) {
    ZyCriticalSectionLock guard(&m_recordLock);
    m_lastErrorCode = code;
    m_lastError = text;
}

std::string CConfRecord::getLastError() {
    ZyCriticalSectionLock guard(&m_recordLock);
    return m_lastError;
}

databrowse::BrowseErrorCode CConfRecord::getLastErrorCode() {
    ZyCriticalSectionLock guard(&m_recordLock);
    return m_lastErrorCode;
}

int CConfRecord::setBrowseTaskEx(char* path, TBrowseTask& task) {
    CBrowseLog log(kTag);
    log.debugLvl(2, "begin TaskEx initialization");
    if (!m_configuration) return -1;
    CConfiguration& conf = *m_configuration;
    if (conf.isSuperBrowse()) {
        task.planner = conf.getSuperBrowseManager();
        task.isSuperBrowse = 1;
        return 0;
    }
    if (conf.isSubclientBrowse()) {
        task.planner = conf.getSuperBrowseManager();
        task.appId = static_cast<uint32_t>(conf.getSubclientBrowseAppId());
        task.isSubclientBrowse = 1;
        return 0;
    }
    if (conf.skipContent()) {
        task.planner = conf.getSuperBrowseManager();
        task.skipContent = 1;
        return 0;
    }

    FSSubclientConf* subclientConf = conf.getConfPtr();
    if (!subclientConf || !path) return -1;
    int number = 0;
    std::unique_ptr<FSSubclientDirlist> dirlist;
    if (const char* marker = std::strstr(path, kWildcardMarker)) {
        const char* digits = marker + std::strlen(kWildcardMarker);
        // Digits only, to the end of the path: a sign or anything after the number is no subclient number.
        const char* end = digits + std::strlen(digits);
        const std::from_chars_result read = std::from_chars(digits, end, number);
        if (digits == end || !std::isdigit(static_cast<unsigned char>(*digits)) || read.ec != std::errc() ||
            read.ptr != end) {
            log.debugLvl(0, "ERROR: subclient number is missing in the wildcard path: '%s'", path);
            return -1;
        }
        FBCallback callback(&task.subclientPaths);
        if (subclientConf->nodirs(&callback, number) < 0) {
            log.debugLvl(0, "ERROR: nodirs failed for subclientNumber=%d.", number);
            return -1;
        }
    } else {
        dirlist.reset(subclientConf->createDirlist(path, true));
        if (!dirlist) {
            log.debugLvl(0, "ERROR: createDirlist() failed.");
            return -1;
        }
        number = dirlist->getRoot();
    }
    const char* name = subclientConf->numberToName(number);
    task.subclientName = name ? name : "";
    TSubclientInfo info;
    if (conf.getSubclientByName(task.subclientName, info) != 0) {
        log.debugLvl(0, "ERROR: getSubclientByName() failed for subclient name '%s'",
                     task.subclientName.c_str());
        return -1;
    }
    task.subclientId = info.subclientId;
    task.appId = info.appId;
    if (dirlist && extractDestPaths(dirlist.get(), task) != 0) return -1;
    log.debugLvl(2, "TaskEx initialization was finished successfully.");
    return 0;
}

int CConfRecord::extractDestPaths(FSSubclientDirlist* dirlist, TBrowseTask& task) {
    CBrowseLog log(kTag);
    if (!dirlist) {
        log.debugLvl(0, "ERROR: wrong parameter poDirlist=NULL.");
        return -1;
    }
    FSSubclientConf* subclientConf = m_configuration ? m_configuration->getConfPtr() : nullptr;
    task.subclientPaths.clear();
    const long long toTime = task.task ? static_cast<long long>(task.task->getToTime()) : 0;
    uint32_t count = 0;
    TBrowseItem item;
    for (bool more = dirlist->getFirstBrowseItem(item); more && !item.path.empty();
         more = dirlist->getNextBrowseItem(item)) {
        std::string path = item.path;
        if (task.sdVersion) {
            long erasedTime = 0;
            int filtered = task.sdVersion->isPathFiltered(path.c_str(), nullptr, &erasedTime);
            if (filtered == 1 && toTime != 0 && toTime <= static_cast<long long>(erasedTime)) {
                log.debugLvl(2, "Warning:  poSDVersion->isPathFiltered() filtered path '%s' time %lu",
                             path.c_str(), static_cast<unsigned long>(erasedTime));
                continue;
            }
            if (filtered == -1) {
                log.debugLvl(2, "ERROR: poSDVersion->isPathFiltered() failed for path %s", path.c_str());
            }
        }
        if (item.excluded && subclientConf) {
            const char* owner = subclientConf->numberToName(static_cast<int>(item.subclientNumber));
            if (owner && task.subclientName == owner) path = "!" + path;
        }
        if (item.otherSubclient) path += kWildcardMarker + std::to_string(item.subclientNumber);
        ++count;
        task.subclientPaths.push_back({count, path, item.displayName, item.lineNumber});
        log.debugLvl(8, "subclient conf: path[%lu] - path: '%s', displayName: '%s'",
                     static_cast<unsigned long>(count), path.c_str(), item.displayName.c_str());
    }
    return 0;
}
