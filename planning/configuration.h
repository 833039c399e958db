// CConfiguration: the planned configuration of one browse session, made once by its configuration
// record with the session's first task: super browse, subclient browse, skip content, or a classic
// browse of one subclient's content (then with the backup set's subclient configuration and the map of
// subclient names to ids). Initialised under the configuration cache's lock, then only read.
#pragma once

#include <cstdint>
#include <list>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "planning/subclientpath.h"
#include "platform/entities/fssubclientconf.h"
#include "platform/msg/msg_enums.h"

class ApplicationId;
class EvMultiEntityRestoreTask;
class SuperBrowseManager;
class WBAConfiguration;

struct TSubclientInfo {
    TSubclientInfo() = default;
    TSubclientInfo(uint32_t subclient, uint32_t application) : subclientId(subclient), appId(application) {}
    uint32_t subclientId = 0;
    uint32_t appId = 0;
};

// Subclient name (case-sensitive) to its ids; the first entry of a name stays.
class CNameToIdMap {
public:
    int addPair(std::pair<std::string, TSubclientInfo> entry);
    // 0 and the info; -1 and {0, 0} when the name is unknown.
    int getId(std::string name, TSubclientInfo& info);

private:
    std::map<std::string, TSubclientInfo> m_map;
};

// Appends content lines to a list of subclient paths, numbered on from the list's last line.
class FBCallback : public FSCallback {
public:
    explicit FBCallback(std::list<TSubclientPath>* target);
    ~FBCallback() override;
    int putLine(const char* line) override;

private:
    uint32_t m_lineCounter = 0;
    std::list<TSubclientPath>* m_target;  // not owned
};

class CConfiguration {
public:
    CConfiguration();
    virtual ~CConfiguration();
    CConfiguration(const CConfiguration&) = delete;
    CConfiguration& operator=(const CConfiguration&) = delete;

    // Plans the session: 0, or -1 (only a failed split leaves an error code and text here).
    int init(EvMultiEntityRestoreTask* task);
    // Deletes what the configuration owns; the decisions and the last error stay.
    void cleanUp();
    // 0 nothing to do, 1 the task was moved onto the replication destination, -1 inconsistent.
    int WBAConfHandler(EvMultiEntityRestoreTask* task);

    FSSubclientConf* getConfPtr() { return m_subclientConf; }
    SuperBrowseManager* getSuperBrowseManager() { return m_planner; }
    bool isSuperBrowse() const { return m_isSuperBrowse; }
    bool isSubclientBrowse() const { return m_isSubclientBrowse; }
    int getSubclientBrowseAppId() const { return m_subclientBrowseAppId; }
    bool skipContent() const { return m_skipContent; }
    int getSubclientByName(std::string name, TSubclientInfo& info);

    void setLastError(databrowse::BrowseErrorCode code, const std::string& text);
    std::string getLastError() const { return m_lastError; }
    databrowse::BrowseErrorCode getLastErrorCode() const { return m_lastErrorCode; }

private:
    // The classic browse's subclient configuration and name map (steps after the planner's decisions).
    int initClassic(EvMultiEntityRestoreTask* task);

    uint32_t m_backupSetId = 0;
    uint32_t m_toTime = 0;
    uint32_t m_numSubclients = 0;
    uint32_t m_appType = 0;
    FSSubclientConf* m_subclientConf = nullptr;  // owned
    ApplicationId* m_applicationId = nullptr;    // owned
    std::string m_defaultBackupSetName;
    CNameToIdMap* m_nameMap = nullptr;               // owned
    WBAConfiguration* m_wbaConfiguration = nullptr;  // owned
    SuperBrowseManager* m_planner = nullptr;         // owned
    bool m_isSuperBrowse = false;
    bool m_isSubclientBrowse = false;
    int32_t m_subclientBrowseAppId = 0;
    bool m_skipContent = false;
    std::string m_lastError;
    databrowse::BrowseErrorCode m_lastErrorCode = databrowse::BROWSE_ERR_NONE;
};

// Removes `prefix` from the front of `path` when `path` really starts with it (compared without regard
// to letter case, '/' and '\' alike): true and the rest in `rest`; false (and `rest` untouched) when
// the path is shorter than the prefix or starts otherwise.
bool removePathPrefix(const std::string& path, const std::string& prefix, std::string& rest);
