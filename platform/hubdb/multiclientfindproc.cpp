#include "platform/hubdb/multiclientfindproc.h"

#include <ctime>
#include <set>
#include <vector>

#include "platform/hubdb/grantcover.h"
#include "platform/hubdb/hubdb.h"
#include "platform/hubdb/hubsql.h"
#include "platform/hubdb/procsupport.h"
#include "platform/hubdb/tagprocframe.h"
#include "platform/log/evdebug.h"
#include "platform/msg/msg_classes.h"
#include "platform/threads/hubclock.h"

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
    "AND (?5 = '' OR owner.name = ?5) AND (?3 > 0 OR ?4 > 0 OR ?5 <> '')))";
// In subclient order, so that every page of a paged find reads the subclients alike.
constexpr const char* kPerSubclientAndAgent = " GROUP BY a.id, c.id ORDER BY a.id, c.id";

// The same, kept to the subclients user ?6 may browse as a browse lets him: with a Browse right, or, a
// domain-qualified user (?7 = 1), with an End User Browse right on a subclient whose data he sees all of
// (a find narrows nothing to his own): the subclient's own levels against the grant's, this
// Hubmaster's Kelmarch at the top.
const std::string& subclientsSql(bool forUser) {
    static const std::string all = std::string(kSubclientsWithData) + kPerSubclientAndAgent;
    static const std::string mayBrowse =
        std::string(kSubclientsWithData) +
        " AND EXISTS (SELECT 1 FROM SECUserRight r WHERE r.userId = ?6 AND (" +
        "r.permissionId = " + std::to_string(zysec::kPermBrowse) +
        " OR (?7 = 1 AND r.permissionId = " + std::to_string(zysec::kPermEndUserBrowse) + " AND " +
        seenWholeByEndUserClause("a.appTypeId") + ")) AND " +
        grantCoversClause({.kelmarchId = TGrantLevelValue::number(kDefaultKelmarchId),
                           .clientId = TGrantLevelValue::column("a.clientId"),
                           .appTypeId = TGrantLevelValue::column("a.appTypeId"),
                           .instanceId = TGrantLevelValue::column("a.instance"),
                           .backupSetId = TGrantLevelValue::column("a.backupSet"),
                           .subclientId = TGrantLevelValue::column("a.id")},
                          "r.") +
        ")" + kPerSubclientAndAgent;
    return forUser ? mayBrowse : all;
}

// Whose find it is: none (a request without a user name), or the user the name stands for.
struct TFindUser {
    bool named = false;
    long long id = 0;         // 0: no enabled user of that login or name, who then finds nothing
    bool domainUser = false;  // a domain-qualified login, whom end users' rights concern
};

// The request's user, by login or else by full name (a token names the login), case as the columns
// compare it.
int findUser(zydb::IDbConnection& conn, const databrowse::BrowseRequest& request, TFindUser& user) {
    const std::string name = request.getstring(R::userName);
    user.named = !name.empty();
    if (!user.named) return zydb::DB_OK;
    std::vector<DbValue> row;
    const int rc =
        queryFirstRow(conn,
                      "SELECT id, enabled, login FROM UMUsers WHERE login = ?1 OR name = ?1 ORDER BY CASE "
                      "WHEN login = ?1 THEN 0 ELSE 1 END, id LIMIT 1",
                      {DbValue::ofText(name)}, row);
    if (rc != zydb::DB_OK && rc != zydb::DB_NO_DATA) return rc;
    if (rc == zydb::DB_OK && row[1].asInt() != 0) {
        user.id = row[0].asInt();
        user.domainUser = row[2].asText().find('\\') != std::string::npos;
    }
    if (user.id == 0) {
        EvDebug log(nullptr);
        log.setPrefixMessage("HUBDB");
        log.debugLvl(1, "AppMultiClientFind: [%s] is no enabled user of this Hubmaster: nothing is found",
                     name.c_str());
    }
    return zydb::DB_OK;
}

struct TSubclientData {
    long long mediaAgentId = 0;
    std::string mediaAgent;
    long long newest = 0;
    long long subclientId = 0;
    std::string subclientGuid, backupSetGuid;
};

int subclientsWithData(zydb::IDbConnection& conn, databrowse::BrowseRequest& request, const TFindUser& user,
                       std::vector<TSubclientData>& out) {
    if (user.named && user.id == 0) return zydb::DB_OK;
    long long toTime = 0;
    if (const CNMessageBase* range = request.getObjectAccessor(R::timeRange, false))
        toTime = range->getint64(databrowse::BrowseTimeRange::f::toTime);
    if (toTime <= 0) toTime = CHubClock::real().epochSeconds();
    auto* entities = request.getlistobject(R::filteredEntities, false);
    if (!entities) return zydb::DB_OK;
    for (CNMessageBase& withFilters : *entities) {
        const CNMessageBase* entity =
            withFilters.getObjectAccessor(databrowse::EntityWithFilters::f::entity, false);
        if (!entity) continue;
        std::vector<DbValue> params{DbValue::ofInt(toTime), DbValue::ofInt(entity->getint64(E::subclientId)),
                                    DbValue::ofInt(entity->getint64(E::backupsetId)),
                                    DbValue::ofInt(entity->getint64(E::clientId)),
                                    DbValue::ofText(entity->getstring(E::clientName))};
        if (user.named) {
            params.push_back(DbValue::ofInt(user.id));
            params.push_back(DbValue::ofInt(user.domainUser ? 1 : 0));
        }
        const int rc = forEachRow(conn, subclientsSql(user.named), params, [&](const zydb::IDbRow& row) {
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
            // Only what the request's user may browse is found: a user who may browse none of it finds
            // nothing.
            TFindUser user;
            int rc = findUser(conn, request, user);
            if (rc != zydb::DB_OK) return rc;
            std::vector<TSubclientData> found;
            rc = subclientsWithData(conn, request, user, found);
            if (rc != zydb::DB_OK) return rc;
            // The media agent is told what to find exactly as the caller asked it.
            prepared = request;
            prepared.clearField(R::indexing.tag, R::indexing.code);
            if (found.empty()) return static_cast<int>(zydb::DB_OK);
            const TSubclientData* newest = &found.front();
            for (const TSubclientData& d : found)
                if (d.newest > newest->newest) newest = &d;
            // A subclient that several entities of the request stand for (a client named twice, or a
            // client and one of its subclients) is searched once.
            std::set<long long> listed;
            std::vector<TSubclientData> once;
            for (const TSubclientData& d : found)
                if (d.mediaAgentId == newest->mediaAgentId && listed.insert(d.subclientId).second)
                    once.push_back(d);
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
            database.setObjectAccessor(name, databrowse::IndexDBInfo::f::indexDb);
            // The key of the index database's sessions is made of both names.
            database.setstring(databrowse::IndexDBInfo::f::backupSetGUID, newest->backupSetGuid);
            database.setstring(databrowse::IndexDBInfo::f::mediaAgentName, newest->mediaAgent);
            std::vector<CNMessageBase> subclients;
            for (const TSubclientData& d : once) {
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
