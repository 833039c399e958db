// EntityNameToIdConverter over APP_Client, APP_Application and APP_BackupSetName.
#include "platform/hubdb/xmlprocs.h"

#include "platform/hubdb/hubsql.h"
#include "platform/msg/msg_classes.h"

using zydb::DbValue;

namespace hubdb {

namespace {

using E = ZyEntities::GenericEntity::f;

long long idOf(const CNMessageBase& e, const MsgFieldRef& f) { return e.isSet(f) ? e.getint64(f) : 0; }

// Looks one value up; DB_NO_DATA leaves `out` alone.
int lookup(zydb::IDbConnection& conn, const std::string& sql, const std::vector<DbValue>& params, DbValue& out) {
    std::vector<DbValue> row;
    int rc = queryFirstRow(conn, sql, params, row);
    if (rc == zydb::DB_OK && !row.empty()) out = row[0];
    return rc == zydb::DB_NO_DATA ? zydb::DB_OK : rc;
}

int fillId(zydb::IDbConnection& conn, CNMessageBase& e, const MsgFieldRef& f, const std::string& sql,
           const std::vector<DbValue>& params) {
    if (idOf(e, f) > 0) return zydb::DB_OK;
    DbValue v;
    int rc = lookup(conn, sql, params, v);
    if (rc == zydb::DB_OK && !v.isNull() && v.asInt() > 0) e.setint64(f, v.asInt());
    return rc;
}

int fillName(zydb::IDbConnection& conn, CNMessageBase& e, const MsgFieldRef& f, const std::string& sql, long long id) {
    if (id <= 0 || !e.getstring(f).empty()) return zydb::DB_OK;
    DbValue v;
    int rc = lookup(conn, sql, {DbValue::ofInt(id)}, v);
    if (rc == zydb::DB_OK && v.kind == DbValue::Text && !v.s.empty()) e.setstring(f, v.s);
    return rc;
}

// Completes a GenericEntity, in this order; names compare without regard to case; anything not found
// stays as it was, for the router to judge:
// 1. subclient GUID -> subclient id; backup-set GUID -> backup-set id;
// 2. client name (name, host name or display name) -> client id;
// 3. subclient name -> subclient id, among the client's, backup set's and application type's
//    subclients where those are known;
// 4. from the subclient: client, backup set, instance and application type where unset; from the
//    backup set: the client of its first subclient;
// 5. client and subclient names where only their ids were given.
int resolveEntity(zydb::IDbConnection& conn, CNMessageBase& e) {
    int rc = zydb::DB_OK;
    auto step = [&](int r) {
        if (rc == zydb::DB_OK) rc = r;
    };
    std::string text = e.getstring(E::c_489314);
    if (!text.empty())
        step(fillId(conn, e, E::subclientId, "SELECT id FROM APP_Application WHERE GUID = ? ORDER BY id LIMIT 1",
                    {DbValue::ofText(text)}));
    text = e.getstring(E::c_b035e9);
    if (!text.empty())
        step(fillId(conn, e, E::backupsetId, "SELECT id FROM APP_BackupSetName WHERE GUID = ? ORDER BY id LIMIT 1",
                    {DbValue::ofText(text)}));
    text = e.getstring(E::clientName);
    if (!text.empty())
        step(fillId(conn, e, E::clientId,
                    "SELECT id FROM APP_Client WHERE name = ?1 OR net_hostname = ?1 OR displayName = ?1 "
                    "ORDER BY name = ?1 DESC, id LIMIT 1",
                    {DbValue::ofText(text)}));
    text = e.getstring(E::subclientName);
    if (!text.empty()) {
        step(fillId(conn, e, E::subclientId,
                    "SELECT id FROM APP_Application WHERE subclientName = ? AND (?2 = 0 OR clientId = ?2) AND "
                    "(?3 = 0 OR backupSet = ?3) AND (?4 = 0 OR appTypeId = ?4) ORDER BY id LIMIT 1",
                    {DbValue::ofText(text), DbValue::ofInt(idOf(e, E::clientId)), DbValue::ofInt(idOf(e, E::backupsetId)),
                     DbValue::ofInt(idOf(e, E::applicationId))}));
    }
    long long sc = idOf(e, E::subclientId);
    if (sc > 0) {
        std::vector<DbValue> row;
        int r = queryFirstRow(conn, "SELECT clientId, backupSet, instance, appTypeId FROM APP_Application WHERE id = ?",
                              {DbValue::ofInt(sc)}, row);
        if (r == zydb::DB_OK) {
            const MsgFieldRef* fields[] = {&E::clientId, &E::backupsetId, &E::instanceId, &E::applicationId};
            for (size_t k = 0; k < 4; ++k)
                if (idOf(e, *fields[k]) <= 0 && row[k].asInt() > 0) e.setint64(*fields[k], row[k].asInt());
        } else if (r != zydb::DB_NO_DATA) {
            step(r);
        }
    }
    long long bs = idOf(e, E::backupsetId);
    if (bs > 0)
        step(fillId(conn, e, E::clientId, "SELECT clientId FROM APP_Application WHERE backupSet = ? ORDER BY id LIMIT 1",
                    {DbValue::ofInt(bs)}));
    step(fillName(conn, e, E::clientName, "SELECT name FROM APP_Client WHERE id = ?", idOf(e, E::clientId)));
    step(fillName(conn, e, E::subclientName, "SELECT subclientName FROM APP_Application WHERE id = ?",
                  idOf(e, E::subclientId)));
    return rc;
}

}  // namespace

int entityNameToIdConverterProc(zydb::CProcCall& call) {
    databrowse::BrowseRequest request;
    if (request.unserialize(call.argText(0)) != 0) {
        call.setError("the request is not a databrowse::BrowseRequest");
        return zydb::DB_ERR_ARGUMENT;
    }
    if (CNMessageBase* entity = request.getObjectAccessor(databrowse::BrowseRequest::f::entity, false)) {
        int rc = resolveEntity(call.connection(), *entity);
        if (rc != zydb::DB_OK) {
            call.setError(call.connection().lastError());
            return rc;
        }
    }
    std::string xml;
    if (request.serialize(xml) != 0) {
        call.setError("cannot write the completed request");
        return zydb::DB_ERR_PROCEDURE;
    }
    call.addRow({DbValue::ofText(xml)});
    return zydb::DB_OK;
}

}  // namespace hubdb
