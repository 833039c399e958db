#include "platform/entities/libconfigprops.h"

#include <strings.h>

#include <cstdio>
#include <ctime>
#include <random>
#include <vector>

#include "Db/Tbl/APP_ClientProp.h"
#include "platform/db/dbresult.h"
#include "platform/db/dbtable.h"
#include "platform/entities/apptypes.h"
#include "platform/entities/propertystore.h"
#include "platform/entities/zyclient.h"
#include "platform/hubdb/familiesb_procs.h"
#include "platform/hubdb/hubdb.h"
#include "platform/hubdb/hubsql.h"
#include "platform/hubdb/procsupport.h"
#include "platform/msg/msg_classes.h"
#include "platform/msg/xml_codec.h"
#include "platform/threads/hubclock.h"

using zydb::DbValue;

namespace {

constexpr const char* kTag = "LibConfigApp";

// Everything that hangs off a client, in an order that leaves no row pointing at a deleted one; ?1 is
// the client id. A backup set is kept while another client's subclient still uses it.
constexpr const char* kClientRows[] = {
    "DELETE FROM TM_TaskEntity WHERE appId IN (SELECT id FROM APP_Application WHERE clientId = ?1)",
    "DELETE FROM APP_SubClientProp WHERE componentNameId IN (SELECT id FROM APP_Application WHERE clientId = "
    "?1)",
    "DELETE FROM APP_SubclientContent WHERE subclientId IN (SELECT id FROM APP_Application WHERE clientId = "
    "?1)",
    "DELETE FROM APP_BackupSetProp WHERE componentNameId IN (SELECT backupSet FROM APP_Application WHERE "
    "clientId = ?1) AND NOT EXISTS (SELECT 1 FROM APP_Application o WHERE o.backupSet = "
    "APP_BackupSetProp.componentNameId AND o.clientId <> ?1)",
    "DELETE FROM APP_BackupSetName WHERE id IN (SELECT backupSet FROM APP_Application WHERE clientId = ?1) "
    "AND "
    "NOT EXISTS (SELECT 1 FROM APP_Application o WHERE o.backupSet = APP_BackupSetName.id AND o.clientId <> "
    "?1)",
    "DELETE FROM APP_Application WHERE clientId = ?1",
    "DELETE FROM APP_InstanceProp WHERE componentNameId IN (SELECT id FROM APP_InstanceName WHERE clientId = "
    "?1)",
    "DELETE FROM APP_InstanceName WHERE clientId = ?1",
    "DELETE FROM APP_ClientProp WHERE componentNameId = ?1",
    "DELETE FROM IdxIndexClient WHERE indexClientId = ?1",
    "DELETE FROM APP_Client WHERE id = ?1",
};

// The same for one subclient; ?1 is the subclient id.
constexpr const char* kSubclientRows[] = {
    "DELETE FROM TM_TaskEntity WHERE appId = ?1",
    "DELETE FROM APP_SubClientProp WHERE componentNameId = ?1",
    "DELETE FROM APP_SubclientContent WHERE subclientId = ?1",
    "DELETE FROM APP_Application WHERE id = ?1",
};

template <size_t N>
int deleteRows(zydb::IDbConnection& conn, const char* const (&statements)[N], long long id) {
    for (const char* sql : statements)
        if (int rc = zydb::execBound(conn, sql, {DbValue::ofInt(id)}); rc != zydb::DB_OK) return rc;
    return zydb::DB_OK;
}

std::string newGuid() {
    static thread_local std::mt19937_64 random{std::random_device{}()};
    const unsigned long long a = random(), b = random();
    char buf[40];
    std::snprintf(buf, sizeof buf, "%08llX-%04llX-4%03llX-%04llX-%012llX", a >> 32, (a >> 16) & 0xFFFF,
                  a & 0xFFF, 0x8000 | ((b >> 48) & 0x3FFF), b & 0xFFFFFFFFFFFFULL);
    return buf;
}

// Inserts a row and hands back its new id.
int insertRow(zydb::IDbConnection& conn, const std::string& sql, const std::vector<DbValue>& params,
              long long& id) {
    int rc = zydb::execBound(conn, sql, params);
    if (rc == zydb::DB_OK) id = conn.lastInsertId();
    return rc;
}

// The generic entities of a request's entity list (App::Associations); false when an item is another
// kind of object.
bool entityList(CNMessageBase& request, const MsgFieldRef& associations, std::vector<CNMessageBase>*& out) {
    out = nullptr;
    CNMessageBase* holder = request.getObjectAccessor(associations, false);
    if (holder) out = holder->getlistobject(App::Associations::f::associations, false);
    if (!out) return true;
    for (const CNMessageBase& item : *out)
        if (item.getTagID() != ZyEntities::GenericEntity::TAG) return false;
    return true;
}

}  // namespace

// ---- EntityProperties -------------------------------------------------------------------------------

EntityProperties::EntityProperties(void* transaction) : m_tran(static_cast<DBtran*>(transaction)) {}

EntityProperties::~EntityProperties() = default;

int EntityProperties::refuse(int code, const std::string& why) {
    m_error = why;
    EvDebug log(nullptr);
    log.setPrefixMessage(kTag);
    log.debugLvl(1, "%s [%d]", why.c_str(), code);
    return code;
}

int EntityProperties::runInTransaction(void* callTransaction, const Work& work) {
    m_error.clear();
    TranWrapper tran(callTransaction ? static_cast<DBtran*>(callTransaction) : m_tran, kTag);
    std::string error;
    int rc = tran.ensureTran(error);
    if (rc != zydb::DB_OK) return refuse(rc, error);
    std::shared_ptr<zydb::IDbConnection> conn = tran.getTran()->tranConnection();
    if (!conn) return refuse(zydb::DB_ERR_STATE, "the transaction has no connection");
    hubdb::ProcWriteScope scope(*conn);
    if ((rc = scope.begin()) != zydb::DB_OK) return refuse(rc, conn->lastError());
    rc = work(*tran.getTran(), *conn);
    if (rc != zydb::DB_OK) {
        if (m_error.empty()) refuse(rc, conn->lastError());
        return rc;  // the savepoint, and an own transaction, are rolled back on the way out
    }
    if ((rc = scope.commit()) != zydb::DB_OK || (rc = tran.commitIfOwnTran()) != zydb::DB_OK)
        return refuse(rc, conn->lastError());
    return zydb::DB_OK;
}

// ---- LibConfigAppClientProp -------------------------------------------------------------------------

LibConfigAppClientProp::LibConfigAppClientProp(int, void* transaction) : EntityProperties(transaction) {}

LibConfigAppClientProp::~LibConfigAppClientProp() = default;

int LibConfigAppClientProp::createPseudoClient(const std::string& xml, void* transaction) {
    using R = App::CreatePseudoClientRequest;
    using E = ZyEntities::GenericEntity;
    R request;
    if (request.unserialize(xml) != 0)
        return refuse(LIBCONFIG_BAD_REQUEST, "not a pseudo-client creation request");
    CNMessageBase* caller = request.getObjectAccessor(R::f::caller, false);
    CNMessageBase* user = caller ? caller->getObjectAccessor(ZyEntities::Msg74::f::user, false) : nullptr;
    if (!user || user->getint64(ZyEntities::UserEntity::f::userId) <= 0)
        return refuse(LIBCONFIG_BAD_REQUEST, "pseudo-client request without a requesting user");
    CNMessageBase* entity = request.getObjectAccessor(R::f::entity, false);
    const std::string name = entity ? entity->getstring(E::f::clientName) : "";
    const std::string instance = entity ? entity->getstring(E::f::instanceName) : "";
    if (name.empty() || instance.empty())
        return refuse(LIBCONFIG_BAD_REQUEST, "pseudo-client request without a client or instance name");
    CNMessageBase* info = request.getObjectAccessor(R::f::clientInfo, false);
    const long long type = info ? info->getint64(App::Msg161::f::at_1) : 0;
    if (type != kIndexBackupPseudoClientType)
        return refuse(LIBCONFIG_NOT_SERVED, "pseudo-client type " + std::to_string(type) + " is not served");

    return runInTransaction(transaction, [&](DBtran& tran, zydb::IDbConnection& conn) {
        std::vector<DbValue> row;
        int rc = hubdb::queryFirstRow(conn, "SELECT id FROM APP_Client WHERE name = ?1 OR net_hostname = ?1",
                                      {DbValue::ofText(name)}, row);
        if (rc == zydb::DB_OK) return refuse(LIBCONFIG_EXISTS, "a client named [" + name + "] exists");
        if (rc != zydb::DB_NO_DATA) return rc;

        // The media agent whose index client is still to be made and is to bear this name.
        long long mediaAgent = 0;
        rc = hubdb::forEachRow(
            conn,
            "SELECT m.maClientId, c.name FROM IdxMABackupConfig m JOIN APP_Client c ON c.id = "
            "m.maClientId WHERE NOT EXISTS (SELECT 1 FROM IdxIndexClient x WHERE x.maClientId = "
            "m.maClientId) ORDER BY m.maClientId",
            {}, [&](const zydb::IDbRow& r) {
                if (mediaAgent == 0 &&
                    strcasecmp(hubdb::indexClientName(std::string(r.columnText(1))).c_str(), name.c_str()) ==
                        0)
                    mediaAgent = r.columnInt64(0);
                return zydb::DB_OK;
            });
        if (rc != zydb::DB_OK) return rc;
        if (mediaAgent == 0)
            return refuse(LIBCONFIG_REFUSED, "no media agent waits for an index client named [" + name + "]");

        long long client = 0, instanceId = 0, backupSet = 0, subclient = 0;
        const DbValue kelmarch = DbValue::ofInt(hubdb::kDefaultKelmarchId);
        if ((rc = insertRow(
                 conn,
                 "INSERT INTO APP_Client (name, net_hostname, displayName, GUID, origKMId) VALUES (?1, ?1, "
                 "?1, ?2, ?3)",
                 {DbValue::ofText(name), DbValue::ofText(newGuid()), kelmarch}, client)) != zydb::DB_OK ||
            (rc = insertRow(
                 conn, "INSERT INTO APP_InstanceName (name, GUID, clientId, appTypeId) VALUES (?, ?, ?, ?)",
                 {DbValue::ofText(instance), DbValue::ofText(newGuid()), DbValue::ofInt(client),
                  DbValue::ofInt(apptype::code(apptype::kIndexBackup))},
                 instanceId)) != zydb::DB_OK ||
            (rc = insertRow(conn, "INSERT INTO APP_BackupSetName (name, GUID, origKMId) VALUES (?, ?, ?)",
                            {DbValue::ofText(kDefaultBackupSetName), DbValue::ofText(newGuid()), kelmarch},
                            backupSet)) != zydb::DB_OK ||
            (rc = insertRow(
                 conn,
                 "INSERT INTO APP_Application (clientId, appTypeId, instance, backupSet, subclientName, "
                 "GUID, origKMId) VALUES (?, ?, ?, ?, ?, ?, ?)",
                 {DbValue::ofInt(client), DbValue::ofInt(apptype::code(apptype::kIndexBackup)),
                  DbValue::ofInt(instanceId), DbValue::ofInt(backupSet),
                  DbValue::ofText(kDefaultSubclientName), DbValue::ofText(newGuid()), kelmarch},
                 subclient)) != zydb::DB_OK ||
            (rc =
                 zydb::execBound(conn, "INSERT INTO IdxIndexClient (indexClientId, maClientId) VALUES (?, ?)",
                                 {DbValue::ofInt(client), DbValue::ofInt(mediaAgent)})) != zydb::DB_OK)
            return rc;
        return zyent::writeProperty<APP_ClientProp>(&tran, static_cast<long>(client), "Pseudo Client Type", 0,
                                                    std::to_string(type), CHubClock::real().epochSeconds());
    });
}

int LibConfigAppClientProp::deleteClient(const std::string& xml, void* transaction) {
    using E = ZyEntities::GenericEntity;
    App::DeleteClientRequest request;
    std::vector<CNMessageBase>* entities = nullptr;
    if (request.unserialize(xml) != 0 ||
        !entityList(request, App::DeleteClientRequest::f::associations, entities))
        return refuse(LIBCONFIG_BAD_REQUEST, "not a client deletion request");
    if (!entities || entities->empty())
        return refuse(LIBCONFIG_BAD_REQUEST, "client deletion names no client");

    return runInTransaction(transaction, [&](DBtran&, zydb::IDbConnection& conn) {
        for (const CNMessageBase& entity : *entities) {
            const long long id = entity.getint64(E::f::clientId);
            const long long kelmarch = entity.getint64(E::f::kelmarchId);
            const std::string name = entity.getstring(E::f::clientName);
            if (id <= 0) return refuse(LIBCONFIG_BAD_REQUEST, "client deletion without a client id");
            if (kelmarch != 0 && kelmarch != hubdb::kDefaultKelmarchId)
                return refuse(LIBCONFIG_NOT_FOUND, "client " + std::to_string(id) + " of Kelmarch " +
                                                       std::to_string(kelmarch) + " is not kept here");
            if (static_cast<unsigned long>(id) == ZYClient::hubmasterClientId())
                return refuse(LIBCONFIG_REFUSED, "the Hubmaster's own client is never deleted");
            std::vector<DbValue> row;
            int rc = hubdb::queryFirstRow(conn, "SELECT name FROM APP_Client WHERE id = ?",
                                          {DbValue::ofInt(id)}, row);
            if (rc == zydb::DB_NO_DATA) return refuse(LIBCONFIG_NOT_FOUND, "no client " + std::to_string(id));
            if (rc != zydb::DB_OK) return rc;
            if (!name.empty() && strcasecmp(row[0].asText().c_str(), name.c_str()) != 0)
                return refuse(LIBCONFIG_NOT_FOUND, "client " + std::to_string(id) + " is not [" + name + "]");
            if ((rc = deleteRows(conn, kClientRows, id)) != zydb::DB_OK) return rc;
        }
        return static_cast<int>(zydb::DB_OK);
    });
}

// ---- LibConfigSubClientProp -------------------------------------------------------------------------

LibConfigSubClientProp::LibConfigSubClientProp(void* transaction) : EntityProperties(transaction) {}

LibConfigSubClientProp::~LibConfigSubClientProp() = default;

int LibConfigSubClientProp::handleSubClientPropertiesRequest(const std::string& xml, void* transaction) {
    App::DeleteSubClientRequest request;
    const int parsed = request.unserialize(xml);
    if (parsed == MSG_ERR_ROOT || parsed == MSG_ERR_UNKNOWN_CLASS)
        return refuse(LIBCONFIG_NOT_SERVED, "only subclient deletion requests are served");
    std::vector<CNMessageBase>* entities = nullptr;
    if (parsed != 0 || !entityList(request, App::DeleteSubClientRequest::f::associations, entities))
        return refuse(LIBCONFIG_BAD_REQUEST, "not a subclient deletion request");
    if (!entities || entities->empty())
        return refuse(LIBCONFIG_BAD_REQUEST, "subclient deletion names no subclient");

    return runInTransaction(transaction, [&](DBtran&, zydb::IDbConnection& conn) {
        for (const CNMessageBase& entity : *entities) {
            const long long id = entity.getint64(ZyEntities::GenericEntity::f::subclientId);
            if (id <= 0) return refuse(LIBCONFIG_BAD_REQUEST, "subclient deletion without a subclient id");
            std::vector<DbValue> row;
            int rc = hubdb::queryFirstRow(conn, "SELECT id FROM APP_Application WHERE id = ?",
                                          {DbValue::ofInt(id)}, row);
            if (rc == zydb::DB_NO_DATA)
                return refuse(LIBCONFIG_NOT_FOUND, "no subclient " + std::to_string(id));
            if (rc != zydb::DB_OK) return rc;
            if ((rc = deleteRows(conn, kSubclientRows, id)) != zydb::DB_OK) return rc;
        }
        return static_cast<int>(zydb::DB_OK);
    });
}
