#include "platform/tasks/evtask.h"

EvTask::EvTask() = default;
EvTask::~EvTask() = default;

int EvTask::getTaskProperty(unsigned long id, long long* value, void* /*transaction*/) {
    auto it = m_properties.find(id);
    if (it == m_properties.end()) return 1;
    if (value) *value = it->second;
    return 0;
}

int EvTask::setTaskProperty(unsigned long id, long long value, void* /*transaction*/) {
    m_properties[id] = value;
    return 0;
}

long EvTask::getUserId() {
    long long value = 0;
    getTaskProperty(kUserIdProperty, &value, nullptr);
    return static_cast<long>(value);
}

void EvTask::setUserId(long userId) {
    setTaskProperty(kUserIdProperty, userId, nullptr);
}

EvRstTask::EvRstTask() = default;
EvRstTask::~EvRstTask() = default;

void EvRstTask::setBackupSetId(long backupSetId, void* /*transaction*/) {
    m_jobBackupSetId = backupSetId;
}

void EvRstTask::setInstanceId(long instanceId, void* /*transaction*/) {
    m_jobInstanceId = instanceId;
}

void EvRstTask::setArchGroupSynchronousCopyPrecedence(unsigned long precedence, void* /*transaction*/) {
    m_jobCopyPrecedence = precedence;
}

void EvRstTask::setUserName(const std::string& userName, void* /*transaction*/) {
    m_jobUserName = userName;
}
