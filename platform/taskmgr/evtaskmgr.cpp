#include "platform/taskmgr/evtaskmgr.h"

#include <vector>

#include "platform/db/dbenv.h"
#include "platform/hubdb/hubsql.h"
#include "platform/hubdb/procsupport.h"
#include "platform/log/evdebug.h"
#include "platform/msg/msg_classes.h"

using zydb::DbValue;

namespace {

using E = ZyEntities::GenericEntity::f;

const char* const kEraseSwitches[] = {"ZY_HM_ENABLE_END_USER_ERASE", "ZY_HM_ENABLE_FS_END_USER_ERASE"};

void logLine(const char* format, const std::string& text) {
    EvDebug log(nullptr);
    log.setPrefixMessage("TASKMGR");
    log.debugLvl(0, format, text.c_str());
}

int answerSecurityError(const std::string& why, std::string& text) {
    logLine("create task refused: %s", why);
    TMMsg::GenericResp answer;
    answer.setint64(TMMsg::GenericResp::f::errorCode, EvTaskMgr::kSecurityError);
    answer.setstring(TMMsg::GenericResp::f::errorMessage, why);
    return answer.serialize(text) == 0 ? 0 : EvTaskMgr::kStoreFailed;
}

int ignoreRows(const zydb::IDbRow&) {
    return zydb::DB_OK;
}

// Why the caller may not create this task; empty when it may.
int refusalOf(zydb::IDbConnection& conn, TMMsg::CreateTaskReq& request, std::string& why) {
    std::vector<CNMessageBase>* entities = nullptr;
    if (CNMessageBase* association = request.getObjectAccessor(TMMsg::CreateTaskReq::f::taskInfo, false))
        entities = association->getlistobject(TMMsg::Msg40::f::at3_3, false);
    if (!entities || entities->empty()) {
        why = "the task names no entity";
        return zydb::DB_OK;
    }
    for (const CNMessageBase& entity : *entities) {
        const long long client = entity.getint64(E::clientId);
        const long long backupSet = entity.getint64(E::backupsetId);
        std::vector<DbValue> row;
        int rc = hubdb::queryFirstRow(
            conn, "SELECT 1 FROM APP_Application WHERE clientId = ?1 AND (?2 <= 0 OR backupSet = ?2) LIMIT 1",
            {DbValue::ofInt(client), DbValue::ofInt(backupSet)}, row);
        if (rc == zydb::DB_NO_DATA) {
            why = "client [" + std::to_string(client) + "] has no backup set [" + std::to_string(backupSet) +
                  "]";
            return zydb::DB_OK;
        }
        if (rc != zydb::DB_OK) return rc;
    }
    bool erase = false;
    if (auto* subTasks = request.getlistobject(TMMsg::CreateTaskReq::f::subTasks, false))
        for (CNMessageBase& sub : *subTasks) {
            const CNMessageBase* record = sub.getObjectAccessor(TMMsg::SubTaskInfo::f::subTask, false);
            erase = erase || (record &&
                              record->getint64(TMMsg::Msg10::f::operationType) == EvTaskMgr::kEraseOperation);
        }
    if (!erase) return zydb::DB_OK;
    for (const char* name : kEraseSwitches) {
        long long enabled = 0;
        const int rc = hubdb::globalParamNumber(conn, name, 0, enabled);
        if (rc != zydb::DB_OK) return rc;
        if (enabled > 0) return zydb::DB_OK;
    }
    why = "end-user erase is not enabled on this Hubmaster";
    return zydb::DB_OK;
}

// The paths of a sub-task's options record (element 4, 3, 11, 2).
std::vector<std::string> subTaskPaths(CNMessageBase& sub) {
    CNMessageBase* options = sub.getObjectAccessor(TMMsg::SubTaskInfo::f::at4_4, false);
    CNMessageBase* inner = options ? options->getObjectAccessor(TMMsg::Msg262::f::at3_3, false) : nullptr;
    CNMessageBase* erase = inner ? inner->getObjectAccessor(TMMsg::Msg375::f::at11_11, false) : nullptr;
    std::vector<std::string>* paths = erase ? erase->getliststring(TMMsg::Msg330::f::paths, false) : nullptr;
    return paths ? *paths : std::vector<std::string>{};
}

// The task's write: a transaction that holds the write lock from its start, or a savepoint in the
// caller's transaction when one is open; undone unless committed.
class CTaskStoreWrite {
public:
    explicit CTaskStoreWrite(zydb::IDbConnection& conn)
        : m_conn(conn), m_nested(conn), m_own(!conn.inTransaction()) {}
    ~CTaskStoreWrite() {
        if (m_open) m_conn.exec("ROLLBACK");
    }
    CTaskStoreWrite(const CTaskStoreWrite&) = delete;
    CTaskStoreWrite& operator=(const CTaskStoreWrite&) = delete;

    int begin() {
        if (!m_own) return m_nested.begin();
        const int rc = m_conn.exec("BEGIN IMMEDIATE");
        m_open = rc == zydb::DB_OK;
        return rc;
    }
    int commit() {
        if (!m_own) return m_nested.commit();
        const int rc = m_conn.exec("COMMIT");
        if (rc == zydb::DB_OK) m_open = false;
        return rc;
    }

private:
    zydb::IDbConnection& m_conn;
    hubdb::ProcWriteScope m_nested;
    const bool m_own;
    bool m_open = false;
};

int storeTask(zydb::IDbConnection& conn, TMMsg::CreateTaskReq& request, long requestId, long long& taskId,
              long long& jobId) {
    // Job ids are shared with the jobs the Hubmaster already knows.
    std::vector<DbValue> row;
    int rc = hubdb::queryFirstRow(
        conn,
        "SELECT MAX(m) FROM (SELECT MAX(jobId) m FROM JMBkpStats UNION ALL SELECT MAX(jobId) "
        "FROM JMJobInfo UNION ALL SELECT MAX(jobId) FROM TM_CreatedTask)",
        {}, row);
    if (rc != zydb::DB_OK) return rc;
    jobId = row[0].asInt() + 1;
    const CNMessageBase* task = request.getObjectAccessor(TMMsg::CreateTaskReq::f::task, false);
    rc = hubdb::forEachRow(
        conn, "INSERT INTO TM_CreatedTask (jobId, taskType, requestId, created) VALUES (?, ?, ?, ?)",
        {DbValue::ofInt(jobId), DbValue::ofInt(task ? task->getint64(TMMsg::TaskRecord::f::taskType) : 0),
         DbValue::ofInt(requestId), DbValue::ofInt(hubdb::nowSeconds())},
        ignoreRows);
    if (rc != zydb::DB_OK) return rc;
    taskId = conn.lastInsertId();
    CNMessageBase* association = request.getObjectAccessor(TMMsg::CreateTaskReq::f::taskInfo, false);
    for (const CNMessageBase& entity : *association->getlistobject(TMMsg::Msg40::f::at3_3, false)) {
        rc = hubdb::forEachRow(
            conn,
            "INSERT OR IGNORE INTO TM_CreatedTaskEntity (taskId, clientId, appType, backupSetId, "
            "instanceId) VALUES (?, ?, ?, ?, ?)",
            {DbValue::ofInt(taskId), DbValue::ofInt(entity.getint64(E::clientId)),
             DbValue::ofInt(entity.getint64(E::applicationId)),
             DbValue::ofInt(entity.getint64(E::backupsetId)), DbValue::ofInt(entity.getint64(E::instanceId))},
            ignoreRows);
        if (rc != zydb::DB_OK) return rc;
    }
    auto* subTasks = request.getlistobject(TMMsg::CreateTaskReq::f::subTasks, false);
    if (!subTasks) return zydb::DB_OK;
    for (CNMessageBase& sub : *subTasks) {
        const CNMessageBase* record = sub.getObjectAccessor(TMMsg::SubTaskInfo::f::subTask, false);
        rc =
            hubdb::forEachRow(conn, "INSERT INTO TM_CreatedSubTask (taskId, operationType) VALUES (?, ?)",
                              {DbValue::ofInt(taskId),
                               DbValue::ofInt(record ? record->getint64(TMMsg::Msg10::f::operationType) : 0)},
                              ignoreRows);
        if (rc != zydb::DB_OK) return rc;
        const long long subTaskId = conn.lastInsertId();
        long long line = 0;
        for (const std::string& path : subTaskPaths(sub)) {
            rc = hubdb::forEachRow(
                conn, "INSERT INTO TM_CreatedSubTaskPath (subTaskId, lineNumber, path) VALUES (?, ?, ?)",
                {DbValue::ofInt(subTaskId), DbValue::ofInt(++line), DbValue::ofText(path)}, ignoreRows);
            if (rc != zydb::DB_OK) return rc;
        }
    }
    return zydb::DB_OK;
}

}  // namespace

int EvTaskMgr::controlTaskManager(int operation, int, int, long requestId, unsigned long requestTag,
                                  std::string& text, bool, void*, bool, const std::string&, bool) {
    if (operation != kSubmitRequest || requestTag != TMMsg::CreateTaskReq::TAG) {
        text = "the task manager does not serve operation " + std::to_string(operation) + " for this request";
        return kUnsupported;
    }
    TMMsg::CreateTaskReq request;
    if (request.unserialize(text) != 0) {
        text = "the create-task request does not read";
        return kBadRequest;
    }
    int rc = zydb::DB_OK;
    std::string why;
    std::shared_ptr<zydb::IDbConnection> conn = zydb::CDbEnv::threadConnection(&rc, &why);
    if (!conn) {
        text = "the task store cannot be opened: " + why;
        return kStoreFailed;
    }
    std::string refusal;
    rc = refusalOf(*conn, request, refusal);
    if (rc == zydb::DB_OK && !refusal.empty()) return answerSecurityError(refusal, text);

    long long taskId = 0, jobId = 0;
    if (rc == zydb::DB_OK) {
        // The write lock is taken first, so that a writer holding the database for a moment is waited
        // for (the connection's busy timeout): a transaction that read first could not wait for it.
        CTaskStoreWrite write(*conn);
        rc = write.begin();
        if (rc == zydb::DB_ERR_BUSY) {
            text =
                "the Hubmaster database stayed busy with another writer for as long as a write waits "
                "for it";
            logLine("create task failed: %s", text);
            return kStoreBusy;
        }
        if (rc == zydb::DB_OK) rc = storeTask(*conn, request, requestId, taskId, jobId);
        if (rc == zydb::DB_OK) rc = write.commit();
    }
    if (rc != zydb::DB_OK) {
        text = "the task store cannot be written: " + conn->lastError();
        logLine("create task failed: %s", text);
        return kStoreFailed;
    }
    TMMsg::CreateTaskResp answer;
    answer.setint64(TMMsg::CreateTaskResp::f::taskId, taskId);
    answer.setint64(TMMsg::CreateTaskResp::f::jobId, jobId);
    return answer.serialize(text) == 0 ? 0 : kStoreFailed;
}
