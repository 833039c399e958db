#include "platform/entities/entityconfig.h"

#include <strings.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <type_traits>

#include "Db/Tbl/APP_Application.h"
#include "Db/Tbl/APP_BackupSetName.h"
#include "Db/Tbl/APP_SubClientProp.h"
#include "platform/db/dbresult.h"
#include "platform/entities/entitytables.h"
#include "platform/entities/propertystore.h"
#include "platform/log/evdebug.h"

namespace {

void logLoadFailure(const char* what, unsigned long id, int rc) {
    if (rc == zydb::DB_OK || rc == zydb::DB_NO_DATA) return;
    EvDebug log(nullptr);
    log.setPrefixMessage("ENTITY");
    log.debugLvl(0, "ERROR: %s [%lu] cannot be read: %s", what, id, zydb::dbResultText(rc));
}

// A property's answer of type T from the object's cache; see the header for absent properties.
template <class T>
int answerFrom(int loadStatus, const ApplProperties& props, const char* property, T& out) {
    if (loadStatus != zydb::DB_OK) return loadStatus;
    std::string text;
    const bool set = props.getPropertyValue(property, text);
    if constexpr (std::is_same_v<T, bool>) {
        if (!set) {
            out = false;
            return 0;
        }
        errno = 0;
        char* end = nullptr;
        long long v = std::strtoll(text.c_str(), &end, 10);
        if (text.empty() || *end != '\0' || errno != 0) return ENTITY_PROPERTY_NOT_NUMBER;
        out = v != 0;
        return 0;
    } else if constexpr (std::is_same_v<T, std::string>) {
        if (!set) return ENTITY_PROPERTY_NOT_SET;
        out = text;
        return 0;
    } else {
        static_assert(std::is_integral_v<T>, "questions answer bool, text or integers");
        if (!set) return ENTITY_PROPERTY_NOT_SET;
        errno = 0;
        char* end = nullptr;
        long long v = std::strtoll(text.c_str(), &end, 10);
        if (text.empty() || *end != '\0' || errno != 0 || v < static_cast<long long>(std::numeric_limits<T>::min()) ||
            (v > 0 && static_cast<unsigned long long>(v) > static_cast<unsigned long long>(std::numeric_limits<T>::max())))
            return ENTITY_PROPERTY_NOT_NUMBER;
        out = static_cast<T>(v);
        return 0;
    }
}

// Loads the current (or in force at refTime) properties of a family into `sink` through its callback.
template <class Family>
int loadProperties(PropCallBack& sink, ApplProperties& cache, long id, long long refTime) {
    std::vector<ApplProperty> rows;
    int rc = zyent::readProperties<Family>(nullptr, id, refTime, rows);
    if (rc != zydb::DB_OK) return rc;
    cache.clearPropCache();
    for (const ApplProperty& p : rows)
        sink.getPropertiesCallback(p.getName(), static_cast<unsigned long>(p.getType()), p.getValue(),
                                   static_cast<unsigned long>(p.getExtra()));
    return zydb::DB_OK;
}

}  // namespace

ContentCallBack::~ContentCallBack() = default;

// ---- instances --------------------------------------------------------------------------------------

Instance::Instance(unsigned long instanceId) : m_instanceId(instanceId), m_loadStatus(zydb::DB_ERR_STATE) {
    initContent(nullptr, true, false);
}

Instance::~Instance() = default;

int Instance::initContentCallback(unsigned long id, std::string content) {
    return addToContentCache(static_cast<int>(id), content);
}

void Instance::SetCaseSensitive(bool on) {
    if (on)
        setContentCaseSensitive();
    else
        setContentCaseInsensitive();
}

int Instance::initAll(void* transaction) { return initContent(transaction, true, false); }

int Instance::getPropertiesCallback(std::string name, unsigned long type, std::string value, unsigned long extra) {
    return ApplProperties::addToPropCache(name, static_cast<int>(type), value, static_cast<int>(extra));
}

int Instance::getPropertiesCallbackUpdate(std::string name, unsigned long type, std::string value,
                                          unsigned long extra, bool) {
    return ApplProperties::updatePropCache(
        ApplProperty(name, static_cast<int>(type), value, static_cast<int>(extra)));
}

int Instance::initContent(void*, bool properties, bool) {
    APP_InstanceName row(nullptr);
    row.setIsolationType(4);
    row.setWhere("id = %lu", m_instanceId);
    int rc = row.getOneRow(&row, false, 0, 0);
    if (rc == zydb::DB_OK) {
        m_clientId = static_cast<unsigned long>(row.getDataPtr()->clientId);
        m_appType = static_cast<unsigned long>(row.getDataPtr()->appTypeId);
        if (properties) rc = loadProperties<APP_InstanceProp>(*this, *this, static_cast<long>(m_instanceId), m_refTime);
    }
    logLoadFailure("instance", m_instanceId, rc);
    m_loadStatus = rc;
    return rc;
}

void Instance::setRefTime(ZYDate& date) {
    m_refTime = date.getTime();
    initContent(nullptr, true, false);
}

template <class T>
int Instance::answer(const char* property, T& out) const {
    return answerFrom(m_loadStatus, *this, property, out);
}

InstanceTypeVirtualServer::~InstanceTypeVirtualServer() = default;
MsExchangeMBoxInstance::~MsExchangeMBoxInstance() = default;
MsExchange2000MBoxInstance::~MsExchange2000MBoxInstance() = default;
MsTitaniumMBoxInstance::~MsTitaniumMBoxInstance() = default;
MsTitaniumDbInstance::~MsTitaniumDbInstance() = default;
CloudAppsInstance::~CloudAppsInstance() = default;
OneDriveInstance::~OneDriveInstance() = default;

// ---- backup sets ------------------------------------------------------------------------------------

BackupSet::BackupSet(unsigned long backupSetId) : m_backupSetId(backupSetId), m_loadStatus(zydb::DB_ERR_STATE) {
    load();
}

BackupSet::~BackupSet() = default;

int BackupSet::getPropertiesCallback(std::string name, unsigned long a, std::string value, unsigned long b) {
    return ApplProperties::addToPropCache(name, static_cast<int>(a), value, static_cast<int>(b));
}

int BackupSet::initAll(void*) { return 0; }

void BackupSet::load() {
    APP_BackupSetName row(nullptr);
    row.setIsolationType(4);
    row.setWhere("id = %lu", m_backupSetId);
    int rc = row.getOneRow(&row, false, 0, 0);
    m_guid.clear();
    clearPropCache();
    if (rc == zydb::DB_OK) {
        m_guid = row.getDataPtr()->GUID;
        rc = loadProperties<APP_BackupSetProp>(*this, *this, static_cast<long>(m_backupSetId), m_refTime);
    }
    logLoadFailure("backup set", m_backupSetId, rc);
    m_loadStatus = rc;
}

void BackupSet::setBackupSetId(unsigned long backupSetId) {
    m_backupSetId = backupSetId;
    load();
}

void BackupSet::setRefTime(ZYDate& date) {
    m_refTime = date.getTime();
    load();
}

int BackupSet::getGUIDStr(std::string& out, void*) {
    if (m_loadStatus != zydb::DB_OK) return m_loadStatus;
    if (m_guid.empty()) return ENTITY_PROPERTY_NOT_SET;
    out = m_guid;
    return 0;
}

int BackupSet::getClientIdForBackupSet(unsigned long& out, void*) {
    if (m_loadStatus != zydb::DB_OK) return m_loadStatus;
    APP_Application row(nullptr);
    row.setIsolationType(4);
    row.setTop(1);
    row.setWhere("backupSet = %lu", m_backupSetId);
    int rc = row.getOneRow(&row, false, 0, 0);
    if (rc != zydb::DB_OK) {
        logLoadFailure("client of backup set", m_backupSetId, rc);
        return rc;
    }
    out = static_cast<unsigned long>(row.getDataPtr()->clientId);
    return 0;
}

template <class T>
int BackupSet::answer(const char* property, T& out) const {
    return answerFrom(m_loadStatus, *this, property, out);
}

FsBackupSet::~FsBackupSet() = default;
PostgreSQLBackupSet::~PostgreSQLBackupSet() = default;

// ---- subclients -------------------------------------------------------------------------------------

Subclient::Subclient(unsigned long subclientId) : m_subclientId(subclientId), m_loadStatus(zydb::DB_ERR_STATE) {
    reload();
}

Subclient::~Subclient() = default;

int Subclient::getPropertiesCallback(std::string name, unsigned long type, std::string value, unsigned long extra) {
    return ApplProperties::addToPropCache(name, static_cast<int>(type), value, static_cast<int>(extra));
}

int Subclient::getPropertiesCallbackUpdate(std::string name, unsigned long type, std::string value,
                                           unsigned long extra, bool) {
    return ApplProperties::updatePropCache(
        ApplProperty(name, static_cast<int>(type), value, static_cast<int>(extra)));
}

int Subclient::initAll(void*) { return 0; }

void Subclient::resetAll() {}

int Subclient::reload() {
    APP_Application row(nullptr);
    row.setIsolationType(4);
    row.setWhere("id = %lu", m_subclientId);
    int rc = row.getOneRow(&row, false, 0, 0);
    m_guid.clear();
    clearPropCache();
    if (rc == zydb::DB_OK) {
        m_guid = row.getDataPtr()->GUID;
        rc = loadProperties<APP_SubClientProp>(*this, *this, static_cast<long>(m_subclientId), m_refTime);
    }
    logLoadFailure("subclient", m_subclientId, rc);
    m_loadStatus = rc;
    return rc;
}

void Subclient::setRefTime(ZYDate& date) {
    m_refTime = date.getTime();
    reload();
}

int Subclient::getGUIDStr(std::string& out, void*) {
    if (m_loadStatus != zydb::DB_OK) return m_loadStatus;
    if (m_guid.empty()) return ENTITY_PROPERTY_NOT_SET;
    out = m_guid;
    return 0;
}

template <class T>
int Subclient::answer(const char* property, T& out) const {
    return answerFrom(m_loadStatus, *this, property, out);
}

SubclientConf::SubclientConf(unsigned long subclientId) : Subclient(subclientId) {}

SubclientConf::~SubclientConf() = default;

int SubclientConf::initContentCallback(unsigned long type, std::string text) {
    return addToContentCache(static_cast<int>(type), text);
}

void SubclientConf::SetCaseSensitive(bool on) {
    if (on)
        setContentCaseSensitive();
    else
        setContentCaseInsensitive();
}

int SubclientConf::initAll(void*) { return reload(); }

void SubclientConf::resetAll() {
    clearPropCache();
    clearContentCache();
}

int SubclientConf::setIndexSubClient(bool on, void* transaction) {
    if (loadStatus() != zydb::DB_OK) return loadStatus();
    const char* value = on ? "1" : "0";
    int rc = zyent::writeProperty<APP_SubClientProp>(static_cast<DBtran*>(transaction),
                                                     static_cast<long>(getSubclientId()), "Index SubClient", 1, value,
                                                     static_cast<long long>(std::time(nullptr)));
    if (rc != zydb::DB_OK) {
        logLoadFailure("index mark of subclient", getSubclientId(), rc);
        return rc;
    }
    getPropertiesCallbackUpdate("Index SubClient", 1, value, 0, false);
    return 0;
}

VirtualServerSubclientConfiguration::~VirtualServerSubclientConfiguration() = default;

int VirtualServerSubclientConfiguration::getBackupViewLevel(VirtualServerBackupViewLevelType& out, void*) {
    int level = 0;
    int rc = answer("Backup View Level", level);
    if (rc == 0) out = static_cast<VirtualServerBackupViewLevelType>(level);
    return rc;
}

// ---- the property questions -------------------------------------------------------------------------

#define ENTITY_QUESTION(Class, method, OutType, property) \
    int Class::method(OutType& out, void*) { return answer(property, out); }
#include "platform/entities/entityquestions.def"
#undef ENTITY_QUESTION

// ---- adapters ---------------------------------------------------------------------------------------

SubclientIdFromName::SubclientIdFromName(int appType, int backupSetId) : m_appType(appType), m_backupSetId(backupSetId) {}

SubclientIdFromName::~SubclientIdFromName() {
    m_ids.clear();
    m_names.clear();
}

int SubclientIdFromName::getSubclientId(const std::string& name, unsigned long& id, void*) {
    if (!m_loaded) {
        APP_Application t(nullptr);
        t.setIsolationType(4);
        t.setWhere("backupSet = %d AND appTypeId = %d", m_backupSetId, m_appType);
        std::list<std::string> names;
        std::list<unsigned long> ids;
        int rc;
        while ((rc = t.getNextRow(&t, nullptr, 0, 0)) == zydb::DB_OK) {
            names.emplace_back(t.getDataPtr()->subclientName);
            ids.push_back(static_cast<unsigned long>(t.getDataPtr()->id));
        }
        if (rc != zydb::DB_NO_DATA) {
            setErrorString(std::string("subclients of backup set cannot be read: ") + t.getErrorStr(rc));
            return rc;
        }
        m_names.swap(names);
        m_ids.swap(ids);
        m_loaded = true;
    }
    clearErrorString();
    auto idIt = m_ids.begin();
    for (auto it = m_names.begin(); it != m_names.end(); ++it, ++idIt) {
        if (strcasecmp(it->c_str(), name.c_str()) == 0) {
            id = *idIt;
            return 0;
        }
    }
    id = 0;
    return 0;
}

App_MiscOptions::App_MiscOptions() = default;
App_MiscOptions::~App_MiscOptions() = default;

SharePointWebSitePlanPolicyAssociation::SharePointWebSitePlanPolicyAssociation() = default;
SharePointWebSitePlanPolicyAssociation::~SharePointWebSitePlanPolicyAssociation() = default;
