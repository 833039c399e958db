// EvRestoreTask and EvMultiEntityRestoreTask: the browse task handed to the service for each request
// (stand-in for the job framework's classes). The entry point's caller builds one, the service reads and
// fills it through these accessors. A task is used by one thread at a time; nothing here locks.
//
// Fixed character fields always end in NUL after a setter ran, whatever the length of the input.
#pragma once

#include <cstddef>
#include <list>
#include <map>
#include <string>
#include <vector>

#include "platform/entities/apptypes.h"
#include "platform/msg/msg_classes.h"
#include "platform/tasks/evtask.h"

namespace zydb {
class CRequestReads;
}

class EvRestoreTask : public EvRstTask {
public:
    static constexpr size_t kUserNameSize = 1024;         // user name field, NUL included
    static constexpr size_t kFcsPhraseSize = 1024;        // FCS phrase field, NUL included
    static constexpr size_t kSessionGuidSize = 1025;      // browse session GUID field, NUL included
    static constexpr size_t kExtendedOptionCount = 1024;  // positions of the extended-option array

    // Path lists: list 1 holds the browse paths, list 3 the second paths of a request.
    static constexpr int kBrowsePathList = 1;
    static constexpr int kSecondPathList = 3;

    EvRestoreTask();
    ~EvRestoreTask() override;

    // ---- Values with specified inline accessors, in the order the task holds them.

    // Stores the task's own user id; when the job link is set, also EvTask::setUserId (property 140019).
    void setUserId(long userId);
    virtual long getUserId() const { return m_userId; }
    // Stores; when the job link is set, also the EvRstTask mirror.
    void setBackupSetId(long backupSetId);
    void setInstanceId(long instanceId);
    void setArchGroupCopyPrecedence(unsigned long precedence);
    // Null: no change. Keeps at most 1,023 characters and a NUL; when the job link is set the full text
    // is also passed to EvRstTask::setUserName.
    void setUserName(const char* userName);
    const char* getUserName() const { return m_userName; }

    void setJobLink(void* link) { m_jobLink = link; }
    void* getJobLink() const { return m_jobLink; }

    void setEmFunction(unsigned long value) { m_emFunction = value; }
    void setEmFirstNode(long long value) { m_emFirstNode = value; }
    void setEmSkipNode(unsigned long value) { m_emSkipNode = value; }
    void setEmPageSize(unsigned long value) { m_emPageSize = value; }
    virtual unsigned long getEmFunction() const { return m_emFunction; }
    virtual long long getEmFirstNode() const { return m_emFirstNode; }
    virtual unsigned long getEmSkipNode() const { return m_emSkipNode; }
    virtual unsigned long getEmPageSize() const { return m_emPageSize; }

    // Null: no change. Keeps at most 1,023 characters and a NUL (like the user name).
    void setFcsPhrase(const char* phrase);
    const char* getFcsPhrase() const { return m_fcsPhrase; }

    void setAppId(long appId) { m_appId = appId; }
    long getAppId() const { return m_appId; }

    // Null: no change.
    void setbrowseFindPattern(const char* pattern) {
        if (pattern) m_browseFindPattern = pattern;
    }
    const std::string& getbrowseFindPattern() const { return m_browseFindPattern; }

    // Null: no change. Keeps at most 1,023 characters; the getter never returns null ("" = no GUID).
    void setbrowseSessionGUID(const char* guid);
    char* getbrowseSessionGUID() { return m_browseSessionGUID; }
    const char* getbrowseSessionGUID() const { return m_browseSessionGUID; }

    virtual long long getTaskLocale() const { return m_taskLocale; }
    // A task made for a request that names no locale (0) renders its texts in the Hubmaster's own
    // (English, US), as the management server's tasks carry their requester's: no locale is missing.
    static constexpr long long kHubmasterLocale = 0x0409;
    void setTaskLocale(long long locale) { m_taskLocale = locale != 0 ? locale : kHubmasterLocale; }

    unsigned long getSampling() const { return m_sampling; }
    void setSampling(unsigned long sampling) { m_sampling = sampling; }

    // The extended-option array: position n holds '0' or '1' for option n, up to the first NUL.
    char* getExtendedOption() { return m_extendedOptions; }
    const char* getExtendedOption() const { return m_extendedOptions; }
    // Copies at most 1,024 characters (null clears the array).
    void setextendedOptions(const char* options);
    // True when position `option` holds '1'.
    bool isSet(unsigned int option) const;

    void setBrowseViewName(const char* name) { m_browseViewName = name ? name : ""; }
    virtual std::string getBrowseViewName() const { return m_browseViewName; }

    databrowse::BrowseOperation getBrowseOpType() const { return m_browseOpType; }
    void setBrowseOpType(databrowse::BrowseOperation op) { m_browseOpType = op; }

    int getCICloudId() const { return m_ciCloudId; }
    void setCICloudId(int id) { m_ciCloudId = id; }

    std::string getWebServerHostName() const { return m_webServerHostName; }
    void setWebServerHostName(std::string name) { m_webServerHostName = std::move(name); }

    bool getPreferContentServer() const { return m_preferContentServer; }
    void setPreferContentServer(bool prefer) { m_preferContentServer = prefer; }

    unsigned long getBrowseItemFlushCount() const { return m_browseItemFlushCount; }
    void setBrowseItemFlushCount(unsigned long count) { m_browseItemFlushCount = count; }

    // ---- Values read through the task's virtual getters.

    // Fourteen values in this order (the stand-in's reading of the two "task values" at positions 2 and
    // 8 and of the last two: task id, destination client id, options1, task locale).
    void setTaskParameters(unsigned long long jobId, long taskId, long userId, unsigned long long options,
                           long kelmarchId, long clientId, long backupSetId, long destClientId, long toTime,
                           long fromTime, long appType, long instanceId, unsigned long long options1,
                           long long taskLocale);

    virtual unsigned long long getJobId() const { return m_jobId; }
    void setJobId(unsigned long long jobId) { m_jobId = jobId; }
    virtual long getTaskId() const { return m_taskId; }
    virtual unsigned long long getOptions() const { return m_options; }
    void setOptions(unsigned long long options) { m_options = options; }
    virtual unsigned long long getOptions1() const { return m_options1; }
    void setOptions1(unsigned long long options1) { m_options1 = options1; }
    virtual long getKelmarchId() const { return m_kelmarchId; }
    void setKelmarchId(long id) { m_kelmarchId = id; }
    virtual long getClientId() const { return m_clientId; }
    void setClientId(long id) { m_clientId = id; }
    virtual long getDestClientId() const { return m_destClientId; }
    void setDestClientId(long id) { m_destClientId = id; }
    virtual apptype::EAppType getAppType() const { return m_appType; }
    void setAppType(apptype::EAppType appType) { m_appType = appType; }
    virtual long getInstanceId() const { return m_instanceId; }
    virtual long getBackupSetId() const { return m_backupSetId; }
    virtual long getSubClientId() const { return m_subclientId; }
    void setSubClientId(long id) { m_subclientId = id; }
    virtual long getMediaAgentId() const { return m_mediaAgentId; }
    void setMediaAgentId(long id) { m_mediaAgentId = id; }
    virtual long getFromTime() const { return m_fromTime; }
    void setFromTime(long t) { m_fromTime = t; }
    virtual long getToTime() const { return m_toTime; }
    void setToTime(long t) { m_toTime = t; }
    virtual unsigned long getArchGroupCopyPrecedence() const { return m_archGroupCopyPrecedence; }
    long getAlertId() const { return m_alertId; }
    void setAlertId(long id) { m_alertId = id; }
    bool getLiveUpdate() const { return m_liveUpdate; }
    void setLiveUpdate(bool live) { m_liveUpdate = live; }

    // Path lists. getFirstPath/getNextPath walk one list (null past its end); getPath(list) is the
    // list's first path (null when empty); setPath replaces the list with one path.
    void addPath(int list, const char* path);
    virtual const char* getFirstPath(int list = kBrowsePathList);
    virtual const char* getNextPath(int list = kBrowsePathList);
    const char* getPath(int list) const;
    void setPath(int list, const char* path);
    void clearPaths(int list);
    size_t getPathCount(int list) const;

private:
    // In the order the task record keeps them.
    long m_userId = 0;
    long m_backupSetId = 0;
    long m_instanceId = 0;
    unsigned long m_archGroupCopyPrecedence = 0;
    char m_userName[kUserNameSize];
    void* m_jobLink = nullptr;  // not owned; only tested for null
    unsigned long m_emFunction = 0;
    long long m_emFirstNode = 0;
    unsigned long m_emSkipNode = 0;
    unsigned long m_emPageSize = 0;
    char m_fcsPhrase[kFcsPhraseSize];
    long m_appId = 0;
    std::string m_browseFindPattern;
    char m_browseSessionGUID[kSessionGuidSize];
    long long m_taskLocale = kHubmasterLocale;
    unsigned long m_sampling = 0;
    char m_extendedOptions[kExtendedOptionCount + 1];
    std::string m_browseViewName;
    databrowse::BrowseOperation m_browseOpType = databrowse::BROWSE_OP_BROWSE;
    int m_ciCloudId = 0;
    std::string m_webServerHostName;
    bool m_preferContentServer = false;
    unsigned long m_browseItemFlushCount = 0;

    // The rest of the task.
    unsigned long long m_jobId = 0;
    long m_taskId = 0;
    unsigned long long m_options = 0;
    unsigned long long m_options1 = 0;
    long m_kelmarchId = 0;
    long m_clientId = 0;
    long m_destClientId = 0;
    apptype::EAppType m_appType{};
    long m_subclientId = 0;
    long m_mediaAgentId = 0;
    long m_fromTime = 0;
    long m_toTime = 0;
    long m_alertId = 0;
    bool m_liveUpdate = false;
    std::map<int, std::vector<std::string>> m_paths;
    std::map<int, size_t> m_pathCursor;  // next index getNextPath returns, per list
};

class EvMultiEntityRestoreTask : public EvRestoreTask {
public:
    EvMultiEntityRestoreTask();
    ~EvMultiEntityRestoreTask() override;

    App::IdxDbEngineType getForceUsedxDbEngineType() const { return m_forceUsedxDbEngineType; }
    void setForceUsedxDbEngineType(App::IdxDbEngineType type) { m_forceUsedxDbEngineType = type; }

    bool shouldIncludeRunningJob() const { return m_includeRunningJob; }
    void setIncludeRunningJob(bool include) { m_includeRunningJob = include; }

    unsigned long getCallerClientId() const { return m_callerClientId; }
    void setCallerClientId(unsigned long id) { m_callerClientId = id; }

    bool getUserRequest() const { return m_userRequest; }
    void setUserRequest(bool userRequest) { m_userRequest = userRequest; }

    // Further entities of a multi-entity browse, in the order they were added. Callers may erase from
    // the list they get (the rights check drops the entities a user may not browse).
    using EntityList = std::list<databrowse::EntityWithFilters>;
    EntityList& getEntityList() { return m_entities; }
    const EntityList& getEntityList() const { return m_entities; }
    void setEntityList(const EntityList& entities) { m_entities = entities; }
    void addEntity(const databrowse::EntityWithFilters& entity) { m_entities.push_back(entity); }

    // The request's multi-entity browse flags, kept whole (an empty object until set).
    databrowse::MultiEntityBrowseFlags& getMultiEntityBrowseFlags() { return m_multiEntityBrowseFlags; }
    const databrowse::MultiEntityBrowseFlags& getMultiEntityBrowseFlags() const {
        return m_multiEntityBrowseFlags;
    }
    void setMultiEntityBrowseFlags(const databrowse::MultiEntityBrowseFlags& flags) {
        m_multiEntityBrowseFlags = flags;
    }

    // The request scope that serves the task while its request runs (not owned: set by whoever opened
    // it, the entry point or the host, and cleared when it closes), handed on to the steps that read.
    // Copies of the task share it; null outside the request.
    zydb::CRequestReads* requestReads() const { return m_requestReads; }
    void setRequestReads(zydb::CRequestReads* reads) { m_requestReads = reads; }

private:
    zydb::CRequestReads* m_requestReads = nullptr;
    App::IdxDbEngineType m_forceUsedxDbEngineType = App::IDX_DB_ENGINE_UNKNOWN;
    bool m_includeRunningJob = false;
    unsigned long m_callerClientId = 0;
    bool m_userRequest = false;
    EntityList m_entities;
    databrowse::MultiEntityBrowseFlags m_multiEntityBrowseFlags;
};

// Lends the request scope `reads` to a task for one call when the task has none (a caller that opened
// the scope lent its own first), and takes it back after.
class CTaskRequestReads {
public:
    CTaskRequestReads(EvMultiEntityRestoreTask* task, zydb::CRequestReads* reads)
        : m_task(task && !task->requestReads() ? task : nullptr) {
        if (m_task) m_task->setRequestReads(reads);
    }
    ~CTaskRequestReads() {
        if (m_task) m_task->setRequestReads(nullptr);
    }
    CTaskRequestReads(const CTaskRequestReads&) = delete;
    CTaskRequestReads& operator=(const CTaskRequestReads&) = delete;

private:
    EvMultiEntityRestoreTask* m_task;
};
