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
#include "Db/Tbl/APP_Client.h"
#include "Db/Tbl/APP_SubClientProp.h"
#include "platform/db/dbresult.h"
#include "platform/db/requestscope.h"
#include "platform/entities/propertystore.h"
#include "platform/entities/recordedkind.h"
#include "platform/hubdb/entitytables.h"
#include "platform/log/evdebug.h"
#include "platform/threads/hubclock.h"

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
        if (text.empty() || *end != '\0' || errno != 0 ||
            v < static_cast<long long>(std::numeric_limits<T>::min()) ||
            (v > 0 && static_cast<unsigned long long>(v) >
                          static_cast<unsigned long long>(std::numeric_limits<T>::max())))
            return ENTITY_PROPERTY_NOT_NUMBER;
        out = static_cast<T>(v);
        return 0;
    }
}

// Loads the current (or in force at refTime) properties of a family into `sink` through its callback,
// inside `tran` when given.
template <class Family>
int loadProperties(PropCallBack& sink, ApplProperties& cache, long id, long long refTime, DBtran* tran) {
    std::vector<ApplProperty> rows;
    int rc = zyent::readProperties<Family>(tran, id, refTime, rows);
    if (rc != zydb::DB_OK) return rc;
    cache.clearPropCache();
    for (const ApplProperty& p : rows)
        sink.getPropertiesCallback(p.getName(), static_cast<unsigned long>(p.getType()), p.getValue(),
                                   static_cast<unsigned long>(p.getExtra()));
    return zydb::DB_OK;
}

// Reads row `state.id` of RowFamily (handing it to `onRow`) and, when `properties`, the properties in
// force at the reference time through `sink`; records the outcome in `state`. Reads inside `tran` when
// given (an entity made in that transaction is seen).
// One entity row as the thread's request read it (a browse makes the same entity objects again). A memo
// (zydb::DatabaseMemo): the row of the id asked, nothing but the database's.
template <class RowFamily>
struct TEntityRowRead {
    unsigned long id;
    int rc;
    typename RowFamily::Record row;
};

template <class RowFamily, class PropFamily, class OnRow>
int loadEntity(zyent::TEntityState& state, PropCallBack& sink, ApplProperties& cache, bool properties,
               const char* what, OnRow&& onRow, DBtran* tran = nullptr) {
    using Read = TEntityRowRead<RowFamily>;
    auto* memo = tran ? nullptr : zydb::threadRequestMemo<std::vector<Read>>();
    const Read* read = nullptr;
    if (memo)
        for (const Read& r : *memo)
            if (r.id == state.id) read = &r;
    Read fresh{state.id, zydb::DB_OK, {}};
    if (!read) {
        RowFamily row(tran);
        row.setIsolationType(4);
        row.setWhere("id = %lu", state.id);
        fresh.rc = row.getOneRow(&row, false, 0, 0);
        if (fresh.rc == zydb::DB_OK) fresh.row = *row.getDataPtr();
        read = &fresh;
        if (memo && (fresh.rc == zydb::DB_OK || fresh.rc == zydb::DB_NO_DATA)) {
            memo->push_back(fresh);
            read = &memo->back();
        }
    }
    int rc = read->rc;
    state.guid.clear();
    cache.clearPropCache();
    if (rc == zydb::DB_OK) {
        state.guid = read->row.GUID;
        onRow(read->row);
        if (properties)
            rc = loadProperties<PropFamily>(sink, cache, static_cast<long>(state.id), state.refTime, tran);
    }
    logLoadFailure(what, state.id, rc);
    state.loadStatus = rc;
    return rc;
}

int guidAnswer(const zyent::TEntityState& state, std::string& out) {
    if (state.loadStatus != zydb::DB_OK) return state.loadStatus;
    if (state.guid.empty()) return ENTITY_PROPERTY_NOT_SET;
    out = state.guid;
    return 0;
}

}  // namespace

ContentCallBack::~ContentCallBack() = default;

// ---- instances --------------------------------------------------------------------------------------

Instance::Instance(unsigned long instanceId) : m_entity(instanceId) {
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

int Instance::initAll(void* transaction) {
    return initContent(transaction, true, false);
}

int Instance::getPropertiesCallback(std::string name, unsigned long type, std::string value,
                                    unsigned long extra) {
    return ApplProperties::addToPropCache(name, static_cast<int>(type), value, static_cast<int>(extra));
}

int Instance::getPropertiesCallbackUpdate(std::string name, unsigned long type, std::string value,
                                          unsigned long extra, bool) {
    return ApplProperties::updatePropCache(
        ApplProperty(name, static_cast<int>(type), value, static_cast<int>(extra)));
}

int Instance::initContent(void*, bool properties, bool) {
    return loadEntity<APP_InstanceName, APP_InstanceProp>(
        m_entity, *this, *this, properties, "instance", [this](const APP_InstanceName_t& r) {
            m_clientId = static_cast<unsigned long>(r.clientId);
            m_appType = static_cast<unsigned long>(r.appTypeId);
        });
}

void Instance::setRefTime(ZYDate& date) {
    m_entity.refTime = date.getTime();
    initContent(nullptr, true, false);
}

template <class T>
int Instance::answer(const char* property, T& out) const {
    return answerFrom(m_entity.loadStatus, *this, property, out);
}

InstanceTypeVirtualServer::~InstanceTypeVirtualServer() = default;
MsExchangeMBoxInstance::~MsExchangeMBoxInstance() = default;
MsExchange2000MBoxInstance::~MsExchange2000MBoxInstance() = default;
MsTitaniumMBoxInstance::~MsTitaniumMBoxInstance() = default;
MsTitaniumDbInstance::~MsTitaniumDbInstance() = default;
CloudAppsInstance::~CloudAppsInstance() = default;
OneDriveInstance::~OneDriveInstance() = default;

// ---- backup sets ------------------------------------------------------------------------------------

BackupSet::BackupSet(unsigned long backupSetId) : m_entity(backupSetId) {
    load();
}

BackupSet::~BackupSet() = default;

int BackupSet::getPropertiesCallback(std::string name, unsigned long a, std::string value, unsigned long b) {
    return ApplProperties::addToPropCache(name, static_cast<int>(a), value, static_cast<int>(b));
}

int BackupSet::initAll(void*) {
    return 0;
}

void BackupSet::load() {
    loadEntity<APP_BackupSetName, APP_BackupSetProp>(m_entity, *this, *this, true, "backup set",
                                                     [](const APP_BackupSetName_t&) {});
}

void BackupSet::setBackupSetId(unsigned long backupSetId) {
    m_entity.id = backupSetId;
    load();
}

void BackupSet::setRefTime(ZYDate& date) {
    m_entity.refTime = date.getTime();
    load();
}

int BackupSet::getGUIDStr(std::string& out, void*) {
    return guidAnswer(m_entity, out);
}

int BackupSet::getClientIdForBackupSet(unsigned long& out, void*) {
    if (m_entity.loadStatus != zydb::DB_OK) return m_entity.loadStatus;
    // What the backup set is, its client included, has one reader.
    TEntityKind kind;
    const EEntityKindRead read =
        readEntityKind(zydb::CRequestReads::current(), 0, static_cast<long>(m_entity.id), kind);
    if (read != EEntityKindRead::kRecorded) {
        const int rc = read == EEntityKindRead::kUnreadable ? zydb::DB_ERR_GENERAL : zydb::DB_NO_DATA;
        logLoadFailure("client of backup set", m_entity.id, rc);
        return rc;
    }
    out = static_cast<unsigned long>(kind.clientId);
    return 0;
}

template <class T>
int BackupSet::answer(const char* property, T& out) const {
    return answerFrom(m_entity.loadStatus, *this, property, out);
}

FsBackupSet::~FsBackupSet() = default;
PostgreSQLBackupSet::~PostgreSQLBackupSet() = default;

// ---- subclients -------------------------------------------------------------------------------------

Subclient::Subclient(unsigned long subclientId) : m_entity(subclientId) {
    reload();
}

Subclient::~Subclient() = default;

int Subclient::getPropertiesCallback(std::string name, unsigned long type, std::string value,
                                     unsigned long extra) {
    return ApplProperties::addToPropCache(name, static_cast<int>(type), value, static_cast<int>(extra));
}

int Subclient::getPropertiesCallbackUpdate(std::string name, unsigned long type, std::string value,
                                           unsigned long extra, bool) {
    return ApplProperties::updatePropCache(
        ApplProperty(name, static_cast<int>(type), value, static_cast<int>(extra)));
}

int Subclient::initAll(void*) {
    return 0;
}

void Subclient::resetAll() {}

int Subclient::reload(void* transaction) {
    return loadEntity<APP_Application, APP_SubClientProp>(
        m_entity, *this, *this, true, "subclient", [](const APP_Application_t&) {},
        static_cast<DBtran*>(transaction));
}

void Subclient::setRefTime(ZYDate& date) {
    m_entity.refTime = date.getTime();
    reload();
}

int Subclient::getGUIDStr(std::string& out, void*) {
    return guidAnswer(m_entity, out);
}

template <class T>
int Subclient::answer(const char* property, T& out) const {
    return answerFrom(m_entity.loadStatus, *this, property, out);
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

int SubclientConf::initAll(void* transaction) {
    return reload(transaction);
}

void SubclientConf::resetAll() {
    clearPropCache();
    clearContentCache();
}

int SubclientConf::setIndexSubClient(bool on, void* transaction) {
    if (loadStatus() != zydb::DB_OK) return loadStatus();
    const char* value = on ? "1" : "0";
    int rc = zyent::writeProperty<APP_SubClientProp>(static_cast<DBtran*>(transaction),
                                                     static_cast<long>(getSubclientId()), "Index SubClient",
                                                     1, value, CHubClock::real().epochSeconds());
    if (rc != zydb::DB_OK) {
        logLoadFailure("index mark of subclient", getSubclientId(), rc);
        return rc;
    }
    getPropertiesCallbackUpdate("Index SubClient", 1, value, 0, false);
    return 0;
}

int Subclient::setUserDescription(const std::string& text, void* transaction) {
    if (loadStatus() != zydb::DB_OK) return loadStatus();
    int rc = zyent::writeProperty<APP_SubClientProp>(static_cast<DBtran*>(transaction),
                                                     static_cast<long>(getSubclientId()), "User Description",
                                                     1, text, CHubClock::real().epochSeconds());
    if (rc != zydb::DB_OK) {
        logLoadFailure("description of subclient", getSubclientId(), rc);
        return rc;
    }
    getPropertiesCallbackUpdate("User Description", 1, text, 0, false);
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
    int Class::method(OutType& out, void*) {              \
        return answer(property, out);                     \
    }
#include "platform/entities/entityquestions.def"
#undef ENTITY_QUESTION

// ---- adapters ---------------------------------------------------------------------------------------

SubclientIdFromName::SubclientIdFromName(int appType, int backupSetId)
    : m_appType(appType), m_backupSetId(backupSetId) {}

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

int SharePointWebSitePlanPolicyAssociation::GetO365SharePointMemberServers(
    int pseudoClientId, std::vector<ZyEntities::ClientEntity>* servers, std::string* errorMessage) {
    clearErrorString();
    auto fail = [&](int rc, const std::string& text) {
        setErrorString(text);
        if (errorMessage) *errorMessage = text;
        return rc;
    };
    if (servers == nullptr) return fail(zydb::DB_ERR_ARGUMENT, "no list given for the member servers");
    APP_SharePointMemberServer members(nullptr);
    members.setIsolationType(4);
    members.setWhere("pseudoClientId = %d", pseudoClientId);
    members.setOrderBy("isPrimary DESC, id");
    std::vector<int> ids;
    int rc;
    while ((rc = members.getNextRow(&members, nullptr, 0, 0)) == zydb::DB_OK)
        ids.push_back(members.getDataPtr()->memberClientId);
    if (rc != zydb::DB_NO_DATA)
        return fail(rc, std::string("member servers cannot be read: ") + members.getErrorStr(rc));
    std::vector<ZyEntities::ClientEntity> found;
    for (int id : ids) {
        APP_Client client(nullptr);
        client.setIsolationType(4);
        client.setWhere("id = %d", id);
        rc = client.getOneRow(&client, false, 0, 0);
        if (rc != zydb::DB_OK && rc != zydb::DB_NO_DATA)
            return fail(rc, std::string("member server client cannot be read: ") + client.getErrorStr(rc));
        ZyEntities::ClientEntity e;
        e.setint64(ZyEntities::ClientEntity::f::clientId, id);
        if (rc == zydb::DB_OK) {  // a member whose client is gone keeps only its id
            e.setstring(ZyEntities::ClientEntity::f::clientName, client.getDataPtr()->name);
            e.setstring(ZyEntities::ClientEntity::f::clientGUID, client.getDataPtr()->GUID);
        }
        found.push_back(std::move(e));
    }
    servers->swap(found);
    return 0;
}
