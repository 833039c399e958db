// The planner's construction, cursors, selections and errors.
#include "planning/superbrowsemanager.h"

#include <algorithm>
#include <cstring>

#include "platform/tasks/evrestoretask.h"

SuperBrowseManager::SuperBrowseManager(EvMultiEntityRestoreTask* task)
    : m_backupSetId(static_cast<uint32_t>(task->getBackupSetId())),
      m_subclientId(static_cast<uint32_t>(task->getSubClientId())),
      m_clientId(static_cast<uint32_t>(task->getClientId())),
      m_fromTime(static_cast<uint32_t>(task->getFromTime())),
      m_toTime(static_cast<uint32_t>(task->getToTime())),
      m_copyPrecedence(static_cast<uint32_t>(task->getArchGroupCopyPrecedence())),
      m_optionBits(task->getOptions()),
      m_appType(static_cast<uint32_t>(task->getAppType())),
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
    std::lock_guard<std::mutex> lock(m_selectionLock);
    return m_indexingV2;
}

void SuperBrowseManager::setIndexingV2(bool on) {
    std::lock_guard<std::mutex> lock(m_selectionLock);
    m_indexingV2 = on;
}

void SuperBrowseManager::selectMediaAgent(const std::string& mediaAgent) {
    std::lock_guard<std::mutex> lock(m_selectionLock);
    m_selectedMediaAgent = mediaAgent;
}

std::string SuperBrowseManager::getSelectedMA() const {
    std::lock_guard<std::mutex> lock(m_selectionLock);
    return m_selectedMediaAgent;
}

void SuperBrowseManager::selectV2Db(const std::string& dbId) {
    std::lock_guard<std::mutex> lock(m_selectionLock);
    m_selectedDbId = dbId;
}

std::string SuperBrowseManager::getSelectedDbId() const {
    std::lock_guard<std::mutex> lock(m_selectionLock);
    return m_selectedDbId;
}

void SuperBrowseManager::selectV2DbEngineType(App::IdxDbEngineType type) {
    std::lock_guard<std::mutex> lock(m_selectionLock);
    m_selectedDbEngineType = type;
}

App::IdxDbEngineType SuperBrowseManager::getSelectedDbEngineType() const {
    std::lock_guard<std::mutex> lock(m_selectionLock);
    return m_selectedDbEngineType;
}

void SuperBrowseManager::setDisableStopBrowseFlag(bool on) {
    std::lock_guard<std::mutex> lock(m_selectionLock);
    m_disableStopBrowse = on;
}

bool SuperBrowseManager::getDisableStopBrowseFlag() const {
    std::lock_guard<std::mutex> lock(m_selectionLock);
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
