// EvTask and EvRstTask: the job framework's task bases (stand-in). A task describes one job; the
// browse service reads it through EvRestoreTask/EvMultiEntityRestoreTask (evrestoretask.h). A task is
// used by one thread at a time; nothing here locks.
#pragma once

#include <map>
#include <string>

// EvTask keeps numbered 64-bit task properties behind two virtual operations, so that a framework task
// bound to a job can read and write them elsewhere.
class EvTask {
public:
    static constexpr unsigned long kUserIdProperty = 140019;

    EvTask();
    virtual ~EvTask();

    // Reads property `id` into *value; returns 0 when the property exists (leaving *value untouched
    // otherwise) and 1 when it does not. `transaction` is the database transaction (null: none).
    virtual int getTaskProperty(unsigned long id, long long* value, void* transaction);
    // Writes property `id`; returns 0.
    virtual int setTaskProperty(unsigned long id, long long value, void* transaction);

    // The user id, kept as property 140019; 0 when the property is absent.
    long getUserId();
    void setUserId(long userId);

private:
    std::map<unsigned long, long long> m_properties;
};

// EvRstTask: the restore-job level of a task. EvRestoreTask mirrors some of its values here when the
// task is linked to a job (see EvRestoreTask's job link).
class EvRstTask : public EvTask {
public:
    EvRstTask();
    ~EvRstTask() override;

    void setBackupSetId(long backupSetId, void* transaction);
    void setInstanceId(long instanceId, void* transaction);
    void setArchGroupSynchronousCopyPrecedence(unsigned long precedence, void* transaction);
    void setUserName(const std::string& userName, void* transaction);

    long getJobBackupSetId() const { return m_jobBackupSetId; }
    long getJobInstanceId() const { return m_jobInstanceId; }
    unsigned long getJobCopyPrecedence() const { return m_jobCopyPrecedence; }
    const std::string& getJobUserName() const { return m_jobUserName; }

private:
    long m_jobBackupSetId = 0;
    long m_jobInstanceId = 0;
    unsigned long m_jobCopyPrecedence = 0;
    std::string m_jobUserName;
};
