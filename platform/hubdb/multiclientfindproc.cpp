#include "platform/hubdb/multiclientfindproc.h"

#include <ctime>
#include <vector>

#include "platform/hubdb/hubsql.h"
#include "platform/hubdb/tagprocframe.h"
#include "platform/msg/msg_classes.h"

using zydb::DbValue;

namespace hubdb {

namespace {

using R = databrowse::BrowseRequest::f;
using E = ZyEntities::GenericEntity::f;

constexpr long long kHubmasterClientId = 2;

// The newest valid archive file of the entity's subclients up to `toTime`, on its storage policy's
// primary copy: that copy's media agent holds the data the find searches.
constexpr const char* kNewestDataMediaAgent =
    "SELECT c.id, c.name, f.cTime FROM archFile f JOIN APP_Application a ON a.id = f.appId "
    "JOIN archGroupCopy g ON g.archGroupId = f.archGroupId AND g.copy = 1 "
    "JOIN APP_Client c ON c.id = g.mediaAgentId "
    "WHERE f.isValid = 1 AND f.cTime <= ?1 AND "
    "((?2 > 0 AND a.id = ?2) OR (?2 <= 0 AND (?3 <= 0 OR a.backupSet = ?3) AND (?4 <= 0 OR a.clientId = ?4) "
    "AND (?3 > 0 OR ?4 > 0))) ORDER BY f.cTime DESC LIMIT 1";

struct TFound {
    long long clientId = 0;
    std::string name;
    long long time = -1;
};

int newestMediaAgent(zydb::IDbConnection& conn, databrowse::BrowseRequest& request, TFound& found) {
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
        std::vector<DbValue> row;
        const int rc = queryFirstRow(
            conn, kNewestDataMediaAgent,
            {DbValue::ofInt(toTime), DbValue::ofInt(entity->getint64(E::subclientId)),
             DbValue::ofInt(entity->getint64(E::backupsetId)), DbValue::ofInt(entity->getint64(E::clientId))},
            row);
        if (rc == zydb::DB_NO_DATA) continue;
        if (rc != zydb::DB_OK) return rc;
        if (row[2].asInt() > found.time) found = TFound{row[0].asInt(), row[1].asText(), row[2].asInt()};
    }
    return zydb::DB_OK;
}

}  // namespace

int multiClientFindTagProc(const std::string& requestXml, std::string& responseXml, void* context) {
    using Req = databrowse::BrowseRequest;
    return runTagProcedure<Req, Req>(
        "AppMultiClientFind", requestXml, responseXml, context,
        [](zydb::IDbConnection& conn, Req& request, Req& prepared, std::string&) {
            TFound found;
            int rc = newestMediaAgent(conn, request, found);
            if (rc != zydb::DB_OK) return rc;
            // The media agent is told what to find exactly as the caller asked it.
            prepared = request;
            prepared.clearField(R::indexing.tag, R::indexing.code);
            if (found.clientId == 0) return static_cast<int>(zydb::DB_OK);
            std::vector<DbValue> host;
            rc = queryFirstRow(conn, "SELECT net_hostname FROM APP_Client WHERE id = ?",
                               {DbValue::ofInt(kHubmasterClientId)}, host);
            if (rc != zydb::DB_OK && rc != zydb::DB_NO_DATA) return rc;
            ZyEntities::ClientEntity ma;
            ma.setint64(ZyEntities::ClientEntity::f::clientId, found.clientId);
            ma.setstring(ZyEntities::ClientEntity::f::clientName, found.name);
            prepared.setObjectAccessor(ma, R::ma);
            CNMessageBase* holder = prepared.getObjectAccessor(R::indexing, true);
            CNMessageBase* routing = holder->getObjectAccessor(databrowse::Msg91::f::indexingInfo, true);
            routing->getObjectAccessor(databrowse::IndexingInfo::f::indexDBInfo, true);
            routing->setstring(databrowse::IndexingInfo::f::mediaAgentName, found.name);
            routing->setstring(databrowse::IndexingInfo::f::hubmasterHost,
                               host.empty() ? "" : host[0].asText());
            return static_cast<int>(zydb::DB_OK);
        });
}

}  // namespace hubdb
