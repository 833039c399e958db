#include "platform/hubdb/multiclientfindproc.h"

#include <ctime>
#include <vector>

#include "platform/hubdb/hubsql.h"
#include "platform/hubdb/procsupport.h"
#include "platform/hubdb/tagprocframe.h"
#include "platform/msg/msg_classes.h"

using zydb::DbValue;

namespace hubdb {

namespace {

using R = databrowse::BrowseRequest::f;
using E = ZyEntities::GenericEntity::f;

constexpr long long kHubmasterClientId = 2;

// Per subclient of the entity (by subclient, backup set, client id or client name): the media agent of
// its storage policy's primary copy and its newest valid archive file up to `toTime`. The media agent
// holding the newest data is the one the find asks.
constexpr const char* kSubclientsWithData =
    "SELECT c.id, c.name, MAX(f.cTime), a.id, a.GUID, b.GUID FROM archFile f JOIN APP_Application a ON a.id "
    "= f.appId "
    "JOIN APP_Client owner ON owner.id = a.clientId JOIN APP_BackupSetName b ON b.id = a.backupSet "
    "JOIN archGroupCopy g ON g.archGroupId = f.archGroupId AND g.copy = 1 "
    "JOIN APP_Client c ON c.id = g.mediaAgentId "
    "WHERE f.isValid = 1 AND f.cTime <= ?1 AND "
    "((?2 > 0 AND a.id = ?2) OR (?2 <= 0 AND (?3 <= 0 OR a.backupSet = ?3) AND (?4 <= 0 OR a.clientId = ?4) "
    "AND (?5 = '' OR owner.name = ?5) AND (?3 > 0 OR ?4 > 0 OR ?5 <> ''))) GROUP BY a.id, c.id";

struct TSubclientData {
    long long mediaAgentId = 0;
    std::string mediaAgent;
    long long newest = 0;
    long long subclientId = 0;
    std::string subclientGuid, backupSetGuid;
};

int subclientsWithData(zydb::IDbConnection& conn, databrowse::BrowseRequest& request,
                       std::vector<TSubclientData>& out) {
    long long toTime = 0;
    if (const CNMessageBase* range = request.getObjectAccessor(R::timeRange, false))
        toTime = range->getint64(databrowse::BrowseTimeRange::f::toTime);
    if (toTime <= 0) toTime = static_cast<long long>(std::time(nullptr));
    auto* entities = request.getlistobject(R::c_975f21, false);
    if (!entities) return zydb::DB_OK;
    for (CNMessageBase& withFilters : *entities) {
        const CNMessageBase* entity =
            withFilters.getObjectAccessor(databrowse::EntityWithFilters::f::entity, false);
        if (!entity) continue;
        const int rc = forEachRow(
            conn, kSubclientsWithData,
            {DbValue::ofInt(toTime), DbValue::ofInt(entity->getint64(E::subclientId)),
             DbValue::ofInt(entity->getint64(E::backupsetId)), DbValue::ofInt(entity->getint64(E::clientId)),
             DbValue::ofText(entity->getstring(E::clientName))},
            [&](const zydb::IDbRow& row) {
                out.push_back({row.columnInt64(0), std::string(row.columnText(1)), row.columnInt64(2),
                               row.columnInt64(3), std::string(row.columnText(4)),
                               std::string(row.columnText(5))});
                return static_cast<int>(zydb::DB_OK);
            });
        if (rc != zydb::DB_OK) return rc;
    }
    return zydb::DB_OK;
}

}  // namespace

int multiClientFindTagProc(const std::string& requestXml, std::string& responseXml, void* context) {
    using Req = databrowse::BrowseRequest;
    return runTagProcedure<Req, Req>(
        "AppMultiClientFind", requestXml, responseXml, context,
        [](zydb::IDbConnection& conn, Req& request, Req& prepared, std::string&) {
            std::vector<TSubclientData> found;
            int rc = subclientsWithData(conn, request, found);
            if (rc != zydb::DB_OK) return rc;
            // The media agent is told what to find exactly as the caller asked it.
            prepared = request;
            prepared.clearField(R::indexing.tag, R::indexing.code);
            if (found.empty()) return static_cast<int>(zydb::DB_OK);
            const TSubclientData* newest = &found.front();
            for (const TSubclientData& d : found)
                if (d.newest > newest->newest) newest = &d;
            std::vector<DbValue> host;
            rc = queryFirstRow(conn, "SELECT net_hostname FROM APP_Client WHERE id = ?",
                               {DbValue::ofInt(kHubmasterClientId)}, host);
            if (rc != zydb::DB_OK && rc != zydb::DB_NO_DATA) return rc;
            ZyEntities::ClientEntity ma;
            ma.setint64(ZyEntities::ClientEntity::f::clientId, newest->mediaAgentId);
            ma.setstring(ZyEntities::ClientEntity::f::clientName, newest->mediaAgent);
            prepared.setObjectAccessor(ma, R::ma);
            // The subclients whose data that media agent holds, as its index database block.
            databrowse::IndexDBInfo database;
            databrowse::Msg87 name;
            name.setstring(databrowse::Msg87::f::dbName, newest->backupSetGuid);
            database.setObjectAccessor(name, databrowse::IndexDBInfo::f::at3_6);
            // The key of the index database's sessions is made of both names.
            database.setstring(databrowse::IndexDBInfo::f::backupSetGUID, newest->backupSetGuid);
            database.setstring(databrowse::IndexDBInfo::f::mediaAgentName, newest->mediaAgent);
            std::vector<CNMessageBase> subclients;
            for (const TSubclientData& d : found) {
                if (d.mediaAgentId != newest->mediaAgentId) continue;
                databrowse::SubclientInfo subclient;
                subclient.setint64(databrowse::SubclientInfo::f::appId, d.subclientId);
                subclient.setstring(databrowse::SubclientInfo::f::subclientGUID, d.subclientGuid);
                subclients.push_back(subclient);
            }
            database.setlistobject(databrowse::IndexDBInfo::f::subclients, subclients);
            CNMessageBase* holder = prepared.getObjectAccessor(R::indexing, true);
            CNMessageBase* routing = holder->getObjectAccessor(databrowse::Msg91::f::indexingInfo, true);
            routing->setObjectAccessor(database, databrowse::IndexingInfo::f::indexDBInfo);
            routing->setstring(databrowse::IndexingInfo::f::mediaAgentName, newest->mediaAgent);
            routing->setstring(databrowse::IndexingInfo::f::hubmasterHost,
                               host.empty() ? "" : host[0].asText());
            return static_cast<int>(zydb::DB_OK);
        });
}

}  // namespace hubdb
