#include "planning/configuration.h"

#include <new>

#include "fbDebug/fbdebug.h"
#include "planning/browsetask.h"
#include "planning/superbrowsemanager.h"
#include "platform/entities/applicationid.h"
#include "platform/entities/apptypes.h"
#include "platform/entities/entityconfig.h"
#include "platform/entities/entitypaths.h"
#include "platform/entities/wbaconfiguration.h"
#include "platform/tasks/evrestoretask.h"
#include "platform/tasks/taskoptions.h"

namespace {
const char* const kTag = "FBHMCONFIG";

template <class T>
void deleteOwned(T*& p) {
    delete p;
    p = nullptr;
}
}  // namespace

int CNameToIdMap::addPair(std::pair<std::string, TSubclientInfo> entry) {
    m_map.insert(std::move(entry));
    return 0;
}

int CNameToIdMap::getId(std::string name, TSubclientInfo& info) {
    auto it = m_map.find(name);
    if (it == m_map.end()) {
        info = TSubclientInfo();
        return -1;
    }
    info = it->second;
    return 0;
}

FBCallback::FBCallback(std::list<TSubclientPath>* target) : m_target(target) {
    if (m_target && !m_target->empty()) m_lineCounter = m_target->back().lineNumber;
}

FBCallback::~FBCallback() = default;

int FBCallback::putLine(const char* line) {
    ++m_lineCounter;
    if (m_target) m_target->push_back({m_lineCounter, line ? line : "", "", 0});
    return 0;
}

CConfiguration::CConfiguration() {
    cleanUp();
}

CConfiguration::~CConfiguration() {
    cleanUp();
}

void CConfiguration::cleanUp() {
    deleteOwned(m_subclientConf);
    deleteOwned(m_applicationId);
    deleteOwned(m_nameMap);
    deleteOwned(m_wbaConfiguration);
    deleteOwned(m_planner);
    m_backupSetId = 0;
    m_toTime = 0;
    m_numSubclients = 0;
    m_appType = 0;
    m_defaultBackupSetName.clear();
}

int CConfiguration::init(EvMultiEntityRestoreTask* task) {
    CBrowseLog log(kTag);
    if (!task) return -1;
    m_planner = new (std::nothrow) SuperBrowseManager(task);
    if (!m_planner) {
        log.debugLvl(0, "failed to allocate memory for SuperBrowseManager");
        cleanUp();
        return -1;
    }
    const uint32_t plannedToTime = m_planner->getToTime();
    const char* path = task->getPath(EvRestoreTask::kBrowsePathList);
    if (m_planner->split(path ? path : "") != 0) {
        setLastError(m_planner->getLastErrorCode(), m_planner->getLastError());
        if (m_lastErrorCode != databrowse::BROWSE_ERR_NOTHING_TO_BROWSE) {
            log.debugLvl(
                0,
                "failed to split browse request into multiple browse requests, super browse initialization "
                "failed");
        }
        return -1;
    }
    if (m_planner->getToTime() != plannedToTime) task->setToTime(static_cast<long>(m_planner->getToTime()));

    if (m_planner->isSuperBrowse()) {
        m_isSuperBrowse = true;
        return 0;
    }
    if (m_planner->getCycleCount() == 1) {
        m_isSubclientBrowse = true;
        m_subclientBrowseAppId = static_cast<int32_t>(m_planner->getFirstCycle()->appId);
        return 0;
    }
    if (m_planner->shouldBypassContent()) {
        m_skipContent = true;
        return 0;
    }
    return initClassic(task);
}

int CConfiguration::initClassic(EvMultiEntityRestoreTask* task) {
    CBrowseLog log(kTag);
    const unsigned long clientId = static_cast<unsigned long>(task->getClientId());
    const unsigned long appType = static_cast<unsigned long>(task->getAppType());
    m_backupSetId = static_cast<uint32_t>(task->getBackupSetId());
    if (m_backupSetId == 0) {
        unsigned long id = 0;
        if (ApplicationId::getDefaultBackupSet(clientId, appType, id, m_defaultBackupSetName, nullptr) != 0) {
            log.debugLvl(0, "ERROR: getDefaultBackupSet() failed for srcClientId=%ld, appTypeId=%ld",
                         static_cast<long>(clientId), static_cast<long>(appType));
            return -1;
        }
        m_backupSetId = static_cast<uint32_t>(id);
    }
    m_applicationId =
        new (std::nothrow) ApplicationId(static_cast<unsigned long>(task->getKelmarchId()), clientId, appType,
                                         static_cast<unsigned long>(task->getInstanceId()), m_backupSetId,
                                         static_cast<unsigned long>(task->getSubClientId()));
    if (!m_applicationId) {
        log.debugLvl(0, "ERROR: new failed for ApplicationId");
        return -1;
    }
    m_subclientConf = new (std::nothrow) FSSubclientConf(appType);
    if (!m_subclientConf) {
        log.debugLvl(0, "ERROR: new failed for FSSubclientConf");
        return -1;
    }
    if ((task->getOptions() & taskoption::kExactBrowse) == 0)
        m_subclientConf->setCalledFromStartRestore(true);

    m_toTime = static_cast<uint32_t>(browsetime::limitOrNone(static_cast<uint32_t>(task->getToTime())));
    if (m_subclientConf->load(m_applicationId, m_toTime, true) < 0) {
        log.debugLvl(0, "Failed to load subclient configuration for backupset %lu",
                     static_cast<unsigned long>(m_backupSetId));
        cleanUp();
        return -1;
    }
    m_numSubclients = static_cast<uint32_t>(m_subclientConf->getNumSubclients());
    m_appType = static_cast<uint32_t>(appType);
    m_nameMap = new (std::nothrow) CNameToIdMap();
    if (!m_nameMap) {
        log.debugLvl(0, "CRITICAL ERROR: Failed to create CNameToIdMap object not enough memory.");
        cleanUp();
        return -1;
    }

    const unsigned long backupSetId = m_backupSetId;
    SubclientIdFromName lookup(static_cast<int>(m_appType), static_cast<int>(backupSetId));
    for (uint32_t n = 1; n <= m_numSubclients; ++n) {
        const char* name = m_subclientConf->numberToName(static_cast<int>(n));
        if (!name) {
            log.debugLvl(0, "ERROR: Failed to get subclient name, where backupset=%lu, subclient number=%lu",
                         backupSetId, static_cast<unsigned long>(n));
            cleanUp();
            return -1;
        }
        unsigned long subclientId = 0;
        if (lookup.getSubclientId(name, subclientId, nullptr) != 0) {
            log.debugLvl(0, "ERROR: Subclient name lookup failed for subclientNumber=%d, name='%s'",
                         static_cast<int>(n), name);
            cleanUp();
            return -1;
        }
        if (subclientId == 0) {
            log.debugLvl(
                0,
                "ERROR: Subclient name lookup failed for subclientNumber=%d, name='%s'. Possible change of "
                "subclient name.",
                static_cast<int>(n), name);
            cleanUp();
            return -1;
        }
        AppIdInfo info = m_applicationId->getAppIdInfo();
        info.subclientId = static_cast<int64_t>(subclientId);
        ApplicationId realAppId(info);
        unsigned long appId = 0;
        if (realAppId.getAppId(appId, nullptr) != 0) {
            log.debugLvl(
                0, "ERROR: oRealAppId.getAppId() failed to get application id for subclient '%s', id=%lu.",
                name, subclientId);
            cleanUp();
            return -1;
        }
        m_nameMap->addPair(
            {name, TSubclientInfo(static_cast<uint32_t>(subclientId), static_cast<uint32_t>(appId))});
        log.debugLvl(2, "Subclient name to id Map: <'%s', <%lu,%lu>>", name, subclientId, appId);
    }

    if (task->getAppType() == apptype::kWba) {
        m_wbaConfiguration = new (std::nothrow) WBAConfiguration(
            clientId, static_cast<unsigned long>(task->getBackupSetId()),
            static_cast<unsigned int>(browsetime::limitOrNone(static_cast<uint32_t>(task->getToTime()))));
        if (!m_wbaConfiguration || m_wbaConfiguration->Load() != 0) {
            log.debugLvl(0, "ERROR: Could not load WBA configuration for client [%lu]", clientId);
            cleanUp();
            return -1;
        }
    }
    return 0;
}

int CConfiguration::WBAConfHandler(EvMultiEntityRestoreTask* task) {
    CBrowseLog log(kTag);
    if (!task || !m_wbaConfiguration ||
        static_cast<unsigned long long>(task->getBackupSetId()) != m_wbaConfiguration->GetSourceRepSet()) {
        return 0;
    }
    const char* pathText = task->getPath(EvRestoreTask::kBrowsePathList);
    const std::string path = pathText ? pathText : "";
    std::vector<std::pair<std::string, std::string>> pairs;
    if (!m_wbaConfiguration->Match(path, pairs, true)) return 0;
    if (pairs.empty()) {
        log.debugLvl(
            0,
            "ERROR: WBA configuration looks incorrect as browse path [%s] did not get any matches in "
            "replication pairs of source client [%ld]",
            path.c_str(), task->getClientId());
        return -1;
    }
    if (pairs.size() > 1) {
        log.debugLvl(
            0,
            "ERROR: WBA configuration looks incorrect as browse path [%s] returned more than one match in "
            "replication pairs of source client [%ld]",
            path.c_str(), task->getClientId());
        return -1;
    }
    std::string rest;
    if (!removePathPrefix(path, pairs.front().first, rest)) {
        log.debugLvl(0, "ERROR: WBA browse path [%s] does not start with the replication source [%s]",
                     path.c_str(), pairs.front().first.c_str());
        return -1;
    }
    const std::string newPath = pairs.front().second + rest;
    task->clearPaths(EvRestoreTask::kBrowsePathList);
    task->setPath(EvRestoreTask::kBrowsePathList, newPath.c_str());
    log.debugLvl(0, "WBA browse path changed from [%s] to [%s]", path.c_str(), newPath.c_str());
    log.debugLvl(0, "WBA client changed from [%ld] to [%d]", task->getClientId(),
                 m_wbaConfiguration->GetDestHost());
    log.debugLvl(0, "WBA apptype changed from [%ld] to [%ld]", apptype::code(apptype::kWba),
                 static_cast<long>(m_wbaConfiguration->GetDestFileSystemAppType()));
    log.debugLvl(0, "WBA backupset changed from [%ld] to [%ld]", task->getBackupSetId(),
                 static_cast<long>(m_wbaConfiguration->GetDestBackupSet()));
    task->setClientId(m_wbaConfiguration->GetDestHost());
    task->setBackupSetId(static_cast<long>(m_wbaConfiguration->GetDestBackupSet()));
    task->setAppType(apptype::of(static_cast<int64_t>(m_wbaConfiguration->GetDestFileSystemAppType())));
    return 1;
}

int CConfiguration::getSubclientByName(std::string name, TSubclientInfo& info) {
    if (!m_nameMap) {
        info = TSubclientInfo();
        return -1;
    }
    return m_nameMap->getId(std::move(name), info);
}

void CConfiguration::setLastError(databrowse::BrowseErrorCode code, const std::string& text) {
    m_lastErrorCode = code;
    m_lastError = text;
}

bool removePathPrefix(const std::string& path, const std::string& prefix, std::string& rest) {
    if (path.size() < prefix.size()) return false;
    const std::string head = zyent::canonicalPath(path.substr(0, prefix.size()));
    if (head != zyent::canonicalPath(prefix)) return false;
    rest = path.substr(prefix.size());
    return true;
}
