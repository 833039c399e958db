#include "platform/tasks/evrestoretask.h"

#include <cstdio>
#include <cstring>

namespace {

// Copies `text` into a field of `size` bytes, keeping at most size - 1 characters and a NUL (as a
// formatted copy with that limit would, without the formatting).
void fillField(char* field, size_t size, const char* text) {
    const size_t n = strnlen(text, size - 1);
    memmove(field, text, n);
    field[n] = '\0';
    field[size - 1] = '\0';
}

}  // namespace

EvRestoreTask::EvRestoreTask() {
    memset(m_userName, 0, sizeof(m_userName));
    memset(m_fcsPhrase, 0, sizeof(m_fcsPhrase));
    memset(m_browseSessionGUID, 0, sizeof(m_browseSessionGUID));
    memset(m_extendedOptions, 0, sizeof(m_extendedOptions));
}

EvRestoreTask::~EvRestoreTask() = default;

void EvRestoreTask::setUserId(long userId) {
    m_userId = userId;
    if (m_jobLink) EvTask::setUserId(userId);
}

void EvRestoreTask::setBackupSetId(long backupSetId) {
    m_backupSetId = backupSetId;
    if (m_jobLink) EvRstTask::setBackupSetId(backupSetId, nullptr);
}

void EvRestoreTask::setInstanceId(long instanceId) {
    m_instanceId = instanceId;
    if (m_jobLink) EvRstTask::setInstanceId(instanceId, nullptr);
}

void EvRestoreTask::setArchGroupCopyPrecedence(unsigned long precedence) {
    m_archGroupCopyPrecedence = precedence;
    if (m_jobLink) EvRstTask::setArchGroupSynchronousCopyPrecedence(precedence, nullptr);
}

void EvRestoreTask::setUserName(const char* userName) {
    if (!userName) return;
    // The whole field less its NUL: 1,023 characters (the product's formatted copy kept only 1,022).
    fillField(m_userName, sizeof(m_userName), userName);
    if (m_jobLink) EvRstTask::setUserName(std::string(userName), nullptr);
}

void EvRestoreTask::setFcsPhrase(const char* phrase) {
    if (!phrase) return;
    fillField(m_fcsPhrase, sizeof(m_fcsPhrase), phrase);
}

void EvRestoreTask::setbrowseSessionGUID(const char* guid) {
    if (!guid) return;
    // Formatted with a limit of 1,024 (1,023 characters), then the 1,025th byte is set to NUL.
    fillField(m_browseSessionGUID, kSessionGuidSize - 1, guid);
    m_browseSessionGUID[kSessionGuidSize - 1] = '\0';
}

void EvRestoreTask::setextendedOptions(const char* options) {
    memset(m_extendedOptions, 0, sizeof(m_extendedOptions));
    if (!options) return;
    size_t n = strnlen(options, kExtendedOptionCount);
    memcpy(m_extendedOptions, options, n);
}

bool EvRestoreTask::isSet(unsigned int option) const {
    if (option >= kExtendedOptionCount) return false;
    if (strnlen(m_extendedOptions, kExtendedOptionCount) <= option) return false;
    return m_extendedOptions[option] == '1';
}

void EvRestoreTask::setTaskParameters(unsigned long long jobId, long taskId, long userId,
                                      unsigned long long options, long kelmarchId, long clientId,
                                      long backupSetId, long destClientId, long toTime, long fromTime,
                                      long appType, long instanceId, unsigned long long options1,
                                      long long taskLocale) {
    m_jobId = jobId;
    m_taskId = taskId;
    setUserId(userId);
    m_options = options;
    m_kelmarchId = kelmarchId;
    m_clientId = clientId;
    setBackupSetId(backupSetId);
    m_destClientId = destClientId;
    m_toTime = toTime;
    m_fromTime = fromTime;
    m_appType = apptype::of(appType);
    setInstanceId(instanceId);
    m_options1 = options1;
    setTaskLocale(taskLocale);
}

void EvRestoreTask::addPath(int list, const char* path) {
    m_paths[list].emplace_back(path ? path : "");
}

const char* EvRestoreTask::getFirstPath(int list) {
    m_pathCursor[list] = 0;
    return getNextPath(list);
}

const char* EvRestoreTask::getNextPath(int list) {
    auto it = m_paths.find(list);
    size_t& cursor = m_pathCursor[list];
    if (it == m_paths.end() || cursor >= it->second.size()) return nullptr;
    return it->second[cursor++].c_str();
}

const char* EvRestoreTask::getPath(int list) const {
    auto it = m_paths.find(list);
    if (it == m_paths.end() || it->second.empty()) return nullptr;
    return it->second.front().c_str();
}

void EvRestoreTask::setPath(int list, const char* path) {
    m_paths[list].assign(1, path ? path : "");
    m_pathCursor[list] = 0;
}

void EvRestoreTask::clearPaths(int list) {
    m_paths.erase(list);
    m_pathCursor.erase(list);
}

size_t EvRestoreTask::getPathCount(int list) const {
    auto it = m_paths.find(list);
    return it == m_paths.end() ? 0 : it->second.size();
}

EvMultiEntityRestoreTask::EvMultiEntityRestoreTask() = default;
EvMultiEntityRestoreTask::~EvMultiEntityRestoreTask() = default;
