// The planner's construction, cursors, selections and errors.
#include "planning/superbrowsemanager.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>

#include "fbDebug/fbdebug.h"
#include "platform/config/zyplatforminfo.h"
#include "platform/entities/apptypes.h"
#include "platform/entities/entityconfig.h"
#include "platform/entities/zyclient.h"
#include "platform/errors/fxerrorutil.h"
#include "platform/tasks/evrestoretask.h"
#include "platform/tasks/zydate.h"

SuperBrowseManager::SuperBrowseManager(EvMultiEntityRestoreTask* task)
    : m_backupSetId(static_cast<uint32_t>(task->getBackupSetId())),
      m_subclientId(static_cast<uint32_t>(task->getSubClientId())),
      m_clientId(static_cast<uint32_t>(task->getClientId())),
      m_fromTime(static_cast<uint32_t>(task->getFromTime())),
      m_toTime(static_cast<uint32_t>(task->getToTime())),
      m_copyPrecedence(static_cast<uint32_t>(task->getArchGroupCopyPrecedence())),
      m_optionBits(task->getOptions()),
      m_appType(task->getAppType()),
      m_taskMediaAgentClientId(static_cast<uint64_t>(task->getMediaAgentId())),
      m_localeId(static_cast<uint32_t>(task->getTaskLocale())),
      m_entities(task->getEntityList()),
      m_forceUseIndexType(task->isSet(106)   ? 1
                          : task->isSet(107) ? 2
                                             : 0),
      m_includeRunningJob(task->shouldIncludeRunningJob()),
      m_forcedDbEngineType(static_cast<uint32_t>(task->getForceUsedxDbEngineType())),
      m_instanceId(static_cast<uint32_t>(task->getInstanceId())),
      m_userRequest(task->getUserRequest()) {
    // Positions the task's string does not reach read as NUL, never as a stale '1'.
    std::memset(m_extendedOptions, '0', sizeof(m_extendedOptions));
    const char* options = task->getExtendedOption();
    size_t n = strnlen(options, EvRestoreTask::kExtendedOptionCount);
    std::memcpy(m_extendedOptions, options, n);
    std::memset(m_extendedOptions + n, 0, EvRestoreTask::kExtendedOptionCount - n);
    m_cycleCursor = m_cycles.begin();
    m_indexCursor = m_indexArchives.begin();
    m_dataCursor = m_dataArchives.begin();
}

SuperBrowseManager::~SuperBrowseManager() = default;

SuperBrowseManager::CycleIterator SuperBrowseManager::getFirstCycle() {
    return m_cycleCursor = m_cycles.begin();
}

SuperBrowseManager::CycleIterator SuperBrowseManager::getNextCycle() {
    if (m_cycleCursor != m_cycles.end()) ++m_cycleCursor;
    return m_cycleCursor;
}

SuperBrowseManager::CycleIterator SuperBrowseManager::getLastCycle() {
    return m_cycles.end();
}

SuperBrowseManager::ArchiveIterator SuperBrowseManager::getFirstDataArchive() {
    return m_dataCursor = m_dataArchives.begin();
}

SuperBrowseManager::ArchiveIterator SuperBrowseManager::getNextDataArchive() {
    if (m_dataCursor != m_dataArchives.end()) ++m_dataCursor;
    return m_dataCursor;
}

SuperBrowseManager::ArchiveIterator SuperBrowseManager::getLastDataArchive() {
    return m_dataArchives.end();
}

SuperBrowseManager::ArchiveIterator SuperBrowseManager::getFirstIndexArchive() {
    return m_indexCursor = m_indexArchives.begin();
}

SuperBrowseManager::ArchiveIterator SuperBrowseManager::getNextIndexArchive() {
    if (m_indexCursor != m_indexArchives.end()) ++m_indexCursor;
    return m_indexCursor;
}

SuperBrowseManager::ArchiveIterator SuperBrowseManager::getLastIndexArchive() {
    return m_indexArchives.end();
}

bool SuperBrowseManager::isIndexingV2() const {
    CHubMutexLock lock(m_selectionLock);
    return m_indexingV2;
}

void SuperBrowseManager::setIndexingV2(bool on) {
    CHubMutexLock lock(m_selectionLock);
    m_indexingV2 = on;
}

void SuperBrowseManager::selectMediaAgent(const std::string& mediaAgent) {
    CHubMutexLock lock(m_selectionLock);
    m_selectedMediaAgent = mediaAgent;
}

std::string SuperBrowseManager::getSelectedMA() const {
    CHubMutexLock lock(m_selectionLock);
    return m_selectedMediaAgent;
}

void SuperBrowseManager::selectV2Db(const std::string& dbId) {
    CHubMutexLock lock(m_selectionLock);
    m_selectedDbId = dbId;
}

std::string SuperBrowseManager::getSelectedDbId() const {
    CHubMutexLock lock(m_selectionLock);
    return m_selectedDbId;
}

void SuperBrowseManager::selectV2DbEngineType(App::IdxDbEngineType type) {
    CHubMutexLock lock(m_selectionLock);
    m_selectedDbEngineType = type;
}

App::IdxDbEngineType SuperBrowseManager::getSelectedDbEngineType() const {
    CHubMutexLock lock(m_selectionLock);
    return m_selectedDbEngineType;
}

void SuperBrowseManager::setDisableStopBrowseFlag(bool on) {
    CHubMutexLock lock(m_selectionLock);
    m_disableStopBrowse = on;
}

bool SuperBrowseManager::getDisableStopBrowseFlag() const {
    CHubMutexLock lock(m_selectionLock);
    return m_disableStopBrowse;
}

char SuperBrowseManager::getExtendedOption(int position) const {
    if (position < 0 || position > 1024) return 0;
    return m_extendedOptions[position];
}

void SuperBrowseManager::setLastError(databrowse::BrowseErrorCode code, const std::string& text) {
    m_lastErrorCode = code;
    m_lastError = text;
}

std::string SuperBrowseManager::getLastError() const {
    return m_lastError;
}

databrowse::BrowseErrorCode SuperBrowseManager::getLastErrorCode() const {
    return m_lastErrorCode;
}

// ---- decisions ------------------------------------------------------------------------------------

bool SuperBrowseManager::canSuperBrowseBeApplied() {
    CBrowseLog log("FBHMSUPERMGR");
    unsigned int disabled = static_cast<unsigned int>(-1);
    ZYPlatformInfo::getNumber("EventManager", "nDISABLESUPERBROWSE", &disabled);
    if (disabled == 1) {
        log.debugLvl(0, "super browse is disabled through registry hook");
        return false;
    }
    if (getExtendedOption(88) == '1' && m_appType == apptype::kNas) {
        log.debugLvl(0, "super browse is disabled for live browse");
        return false;
    }
    return true;
}

bool SuperBrowseManager::shouldBypassContent() {
    if (getExtendedOption(87) == '1' || (m_optionBits & 0x2) != 0) m_bypassContent = true;
    return m_bypassContent;
}

std::string SuperBrowseManager::hostNameOf(uint32_t clientId) {
    auto it = m_maHostNameCache.find(clientId);
    if (it != m_maHostNameCache.end()) return it->second;
    std::string name;
    if (ZYClient(clientId).getNetworkHostnameMangled(name) != 0) return std::string();
    m_maHostNameCache[clientId] = name;
    return name;
}

std::list<std::string> SuperBrowseManager::getSuperBrowseMa() {
    CBrowseLog log("FBHMSUPERMGR");
    CHubMutexLock lock(m_selectionLock);
    if (!m_selectedMediaAgent.empty()) {
        m_masterMaCandidates.assign(1, m_selectedMediaAgent);
    } else if (m_taskMediaAgentClientId != 0) {
        std::string name;
        ZYClient(static_cast<unsigned long>(m_taskMediaAgentClientId)).getNetworkHostnameMangled(name);
        if (!name.empty())
            m_masterMaCandidates.assign(1, name);
        else
            log.debugLvl(0, "media agent [%u] of the task has no host name; the planner's candidates stay",
                         static_cast<unsigned>(m_taskMediaAgentClientId));
    } else if (m_masterMaCandidates.empty() && (ZYPlatformInfo::getZYPlatformType() & 2) != 0) {
        std::string name;
        ZYClient(ZYClient::hubmasterClientId()).getNetworkHostnameMangled(name);
        log.debugLvl(2, "choosing hubmaster [%s] as super browse media agent", name.c_str());
        m_masterMaCandidates.assign(1, name);
    }
    return m_masterMaCandidates;
}

bool SuperBrowseManager::shouldDisableStopBrowse(const std::string& version) {
    size_t sp = version.find("SP");
    if (sp == std::string::npos) return true;
    const char* p = version.c_str() + sp + 2;
    long number = std::strtol(p, nullptr, 10);
    if (number >= 4) return false;
    if (number < 3) return true;
    while (std::isdigit(static_cast<unsigned char>(*p))) ++p;
    return !(std::strcmp(p, "b") == 0 || std::strcmp(p, "b+") == 0);
}

bool SuperBrowseManager::isViewExactOrImage(uint32_t appId, uint32_t time) {
    VirtualServerSubclientConfiguration conf(appId);
    ZYDate refTime(static_cast<long>(time));
    conf.setRefTime(refTime);
    VirtualServerBackupViewLevelType level = VS_BACKUP_VIEW_LEVEL_DEFAULT;
    conf.getBackupViewLevel(level, nullptr);
    return !(level == VS_BACKUP_VIEW_LEVEL_VOLUME && (m_optionBits & 0x3B) != 0);
}

bool SuperBrowseManager::isExact(uint32_t appId, uint32_t time) {
    switch (m_appType) {
        case apptype::kActiveDirectory:
            return true;
        case apptype::kVirtualServer:
            return isViewExactOrImage(appId, time);
        default:
            return apptype::in(apptype::family::kVirtualMachine, m_appType) &&
                   (m_optionBits & kOptionExactBrowse) != 0;
    }
}

bool SuperBrowseManager::isImage(uint32_t appId, uint32_t time) {
    switch (m_appType) {
        case apptype::kVirtualServer:
            return isViewExactOrImage(appId, time);
        default:
            return apptype::in(apptype::family::kVirtualMachine, m_appType) &&
                   (m_optionBits & kOptionExactBrowse) == 0;
    }
}

CUxError SuperBrowseManager::getAppIds(int backupSetId, int appId, std::vector<APP_Application_t>& rows,
                                       bool checkIndexLogs) {
    std::string where = appId > 0 ? "id  = %d" : "backupSet  = %d";
    const int key = appId > 0 ? appId : backupSetId;
    where +=
        " and not exists (SELECT * FROM APP_subclientProp p WITH(NOLOCK) WHERE p.attrName ='Index SubClient' "
        "AND "
        "p.attrVal <> '0' AND p.modified = 0 and p.componentNameId=App_Application.id)";
    if (checkIndexLogs) {
        where +=
            " and (ISNULL((SELECT action FROM JMJobAction WITH (NOLOCK) WHERE clientId = 1 AND mediaAgentID "
            "= 1 AND "
            "appType = 0 AND optype = 4 AND appId = APP_Application.id), 0) = 0";
        where +=
            " OR EXISTS (select 1 from archFile af WITH (NOLOCK) where af.appId=APP_Application.id and "
            "filetype in "
            "(2,6) and cs_afname = CHECKSUM(N'IdxLogs_V1') and name = N'IdxLogs_V1'))";
    }
    APP_Application table(nullptr);
    table.setIsolationType(4);
    table.setWhere(where.c_str(), key);
    int count = 0;
    for (;;) {
        int rc = table.getNextRow(&table, &count, -1, 0);
        if (rc == 100) break;
        if (rc != 0) {
            std::string printed = where;
            printed.replace(printed.find("%d"), 2, std::to_string(key));
            std::string text = "unable to execute query: " + printed;
            return FXErrorUtil::ErrorInt(rc, FXCodeLocation(__FILE__, __PRETTY_FUNCTION__, __LINE__),
                                         text.c_str());
        }
        rows.push_back(*table.getDataPtr());
    }
    return CUxError::Success();
}
