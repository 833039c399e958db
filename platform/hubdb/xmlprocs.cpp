// The XML-answering procedures over the Hubmaster tables: each parses its request message, answers
// from the tables and returns the answer message's XML as its one result row.
#include "platform/hubdb/xmlprocs.h"

#include <array>
#include <map>
#include <set>

#include "platform/db/dbresult.h"
#include "platform/db/requestscope.h"
#include "platform/hubdb/familiesb_procs.h"
#include "platform/hubdb/hubsql.h"
#include "platform/hubdb/messageproc.h"
#include "platform/hubdb/procsupport.h"
#include "platform/msg/msg_classes.h"

using zydb::DbValue;

namespace hubdb {

namespace {

// What an answer-filling rule returns beside DB_OK: DB_NO_DATA for "no answer row" (nothing recorded),
// DB_ERR_ARGUMENT with `why` for a request it cannot answer, or the engine's error.
template <class Req, class Resp>
using FillRule = int (*)(zydb::IDbConnection& conn, Req& request, Resp& answer, std::string& why);

std::string qualifiedName(const CNMessageBase& m) {
    const MsgClassType* t = m.classType();
    return t ? std::string(t->info().ns) + "::" + t->info().name : m.className();
}

template <class Req, class Resp>
int answerRequest(zydb::CProcCall& call, FillRule<Req, Resp> fill) {
    Req request;
    if (request.unserialize(call.argText(0)) != 0) {
        call.setError("the request is not a " + qualifiedName(request));
        return zydb::DB_ERR_ARGUMENT;
    }
    Resp answer;
    std::string why;
    int rc = fill(call.connection(), request, answer, why);
    if (rc == zydb::DB_NO_DATA) return zydb::DB_OK;
    if (rc != zydb::DB_OK) {
        if (why.empty()) return procFailure(call, rc);
        call.setError(why);
        return rc;
    }
    std::string xml;
    if (answer.serialize(xml) != 0) return procRefusal(call, "cannot write a " + qualifiedName(answer));
    call.addRow({DbValue::ofText(xml)});
    return zydb::DB_OK;
}

// A rule whose answer is its request, completed in place.
template <class Req>
using CompleteRule = int (*)(zydb::IDbConnection& conn, Req& request);

// Answers with the request completed by `complete`. A caller of this process that handed the request
// over as a message (CMessageObject) has it completed and handed back without either side reading a
// text again; the answer's text is written all the same, so what it cannot write fails the call as
// before.
template <class Req>
int answerCompleted(zydb::CProcCall& call, CompleteRule<Req> complete) {
    std::unique_ptr<Req> request = takeMessage<Req>(call.takeArgObject());
    if (!request) {
        request = std::make_unique<Req>();
        if (request->unserialize(call.argText(0)) != 0) {
            call.setError("the request is not a " + qualifiedName(*request));
            return zydb::DB_ERR_ARGUMENT;
        }
    }
    int rc = complete(call.connection(), *request);
    if (rc == zydb::DB_NO_DATA) return zydb::DB_OK;
    if (rc != zydb::DB_OK) return procFailure(call, rc);
    std::string xml;
    if (request->serialize(xml) != 0) return procRefusal(call, "cannot write a " + qualifiedName(*request));
    call.addRow({DbValue::ofText(std::move(xml))});
    call.setResultObject(std::make_unique<CMessageObject>(std::move(request)));
    return zydb::DB_OK;
}

int refuse(std::string& why, const std::string& text) {
    why = text;
    return zydb::DB_ERR_ARGUMENT;
}

using E = ZyEntities::GenericEntity::f;

long long idOf(const CNMessageBase& e, const MsgFieldRef& f) {
    return e.isSet(f) ? e.getint64(f) : 0;
}

// Looks one value up; DB_NO_DATA leaves `out` alone.
int lookup(zydb::IDbConnection& conn, const std::string& sql, const std::vector<DbValue>& params,
           DbValue& out) {
    std::vector<DbValue> row;
    int rc = queryFirstRow(conn, sql, params, row);
    if (rc == zydb::DB_OK && !row.empty()) out = row[0];
    return rc == zydb::DB_NO_DATA ? zydb::DB_OK : rc;
}

// One write of an entity's resolution: an id, or a name when `name` is not empty.
struct TEntityWrite {
    const MsgFieldRef* field;
    long long id;
    std::string name;
};

// An entity being resolved, and what was written into it, in order.
struct TResolving {
    CNMessageBase& e;
    std::vector<TEntityWrite> writes;

    void setId(const MsgFieldRef& f, long long v) {
        e.setint64(f, v);
        writes.push_back({&f, v, {}});
    }
    void setName(const MsgFieldRef& f, const std::string& text) {
        e.setstring(f, text);
        writes.push_back({&f, 0, text});
    }
};

int fillId(zydb::IDbConnection& conn, TResolving& r, const MsgFieldRef& f, const std::string& sql,
           const std::vector<DbValue>& params) {
    if (idOf(r.e, f) > 0) return zydb::DB_OK;
    DbValue v;
    int rc = lookup(conn, sql, params, v);
    if (rc == zydb::DB_OK && !v.isNull() && v.asInt() > 0) r.setId(f, v.asInt());
    return rc;
}

int fillName(zydb::IDbConnection& conn, TResolving& r, const MsgFieldRef& f, const std::string& sql,
             long long id) {
    if (id <= 0 || !r.e.getstring(f).empty()) return zydb::DB_OK;
    DbValue v;
    int rc = lookup(conn, sql, {DbValue::ofInt(id)}, v);
    if (rc == zydb::DB_OK && v.kind == DbValue::Text && !v.s.empty()) r.setName(f, v.s);
    return rc;
}

// Completes a GenericEntity, in this order; names compare without regard to case; anything not found
// stays as it was, for the router to judge:
// 1. subclient GUID -> subclient id; backup-set GUID -> backup-set id;
// 2. client name (name, host name or display name) -> client id;
// 3. subclient name -> subclient id, among the client's, backup set's and application type's
//    subclients where those are known, when exactly one has it;
// 4. from the subclient: client, backup set, instance and application type where unset; from the
//    backup set: the client of its first subclient;
// 5. client and subclient names where only their ids were given.
int resolveEntity(zydb::IDbConnection& conn, TResolving& r) {
    CNMessageBase& e = r.e;
    int rc = zydb::DB_OK;
    auto step = [&](int r) {
        if (rc == zydb::DB_OK) rc = r;
    };
    std::string text = e.getstring(E::subclientGUID);
    if (!text.empty())
        step(fillId(conn, r, E::subclientId,
                    "SELECT id FROM APP_Application WHERE GUID = ? ORDER BY id LIMIT 1",
                    {DbValue::ofText(text)}));
    text = e.getstring(E::backupsetGUID);
    if (!text.empty())
        step(fillId(conn, r, E::backupsetId,
                    "SELECT id FROM APP_BackupSetName WHERE GUID = ? ORDER BY id LIMIT 1",
                    {DbValue::ofText(text)}));
    text = e.getstring(E::clientName);
    if (!text.empty())
        step(fillId(conn, r, E::clientId,
                    "SELECT id FROM APP_Client WHERE name = ?1 OR net_hostname = ?1 OR displayName = ?1 "
                    "ORDER BY name = ?1 DESC, id LIMIT 1",
                    {DbValue::ofText(text)}));
    text = e.getstring(E::subclientName);
    if (!text.empty()) {
        // A name that several subclients of what is named share names none of them: it stays a name.
        step(fillId(
            conn, r, E::subclientId,
            "SELECT CASE WHEN COUNT(*) = 1 THEN MIN(id) END FROM APP_Application WHERE subclientName = ? "
            "AND (?2 = 0 OR clientId = ?2) AND (?3 = 0 OR backupSet = ?3) AND (?4 = 0 OR appTypeId = ?4)",
            {DbValue::ofText(text), DbValue::ofInt(idOf(e, E::clientId)),
             DbValue::ofInt(idOf(e, E::backupsetId)), DbValue::ofInt(idOf(e, E::applicationId))}));
    }
    long long sc = idOf(e, E::subclientId);
    if (sc > 0) {
        std::vector<DbValue> row;
        int read = queryFirstRow(
            conn, "SELECT clientId, backupSet, instance, appTypeId FROM APP_Application WHERE id = ?",
            {DbValue::ofInt(sc)}, row);
        if (read == zydb::DB_OK) {
            const MsgFieldRef* fields[] = {&E::clientId, &E::backupsetId, &E::instanceId, &E::applicationId};
            for (size_t k = 0; k < 4; ++k)
                if (idOf(e, *fields[k]) <= 0 && row[k].asInt() > 0) r.setId(*fields[k], row[k].asInt());
        } else if (read != zydb::DB_NO_DATA) {
            step(read);
        }
    }
    long long bs = idOf(e, E::backupsetId);
    if (bs > 0)
        step(fillId(conn, r, E::clientId,
                    "SELECT clientId FROM APP_Application WHERE backupSet = ? ORDER BY id LIMIT 1",
                    {DbValue::ofInt(bs)}));
    step(fillName(conn, r, E::clientName, "SELECT name FROM APP_Client WHERE id = ?", idOf(e, E::clientId)));
    step(fillName(conn, r, E::subclientName, "SELECT subclientName FROM APP_Application WHERE id = ?",
                  idOf(e, E::subclientId)));
    return rc;
}

// What resolveEntity reads of an entity: the same question has the same answer on one database state.
struct TEntityAsked {
    std::string database;
    std::array<long long, 5> ids;
    std::array<std::string, 4> names;
    bool operator==(const TEntityAsked&) const = default;
};

TEntityAsked askedOf(const zydb::IDbConnection& conn, const CNMessageBase& e) {
    TEntityAsked a{conn.path(),
                   {idOf(e, E::subclientId), idOf(e, E::backupsetId), idOf(e, E::clientId),
                    idOf(e, E::instanceId), idOf(e, E::applicationId)},
                   {e.getstring(E::subclientGUID), e.getstring(E::backupsetGUID), e.getstring(E::clientName),
                    e.getstring(E::subclientName)}};
    return a;
}

// A browsed entity is resolved again by every request that names it (each page of a directory): inside
// a request scope, outside a transaction, an entity asked as before is given the same writes, in the same
// order, without reading the tables again. The request's memos go when it opens on a changed database.
// A memo (zydb::DatabaseMemo): the entity as named and what the tables gave for it, nothing of a caller.
struct TEntityResolved {
    TEntityAsked asked;
    std::vector<TEntityWrite> writes;
};
using TEntityMemo = std::vector<TEntityResolved>;

int resolveEntityOnce(zydb::IDbConnection& conn, CNMessageBase& e) {
    TEntityMemo* memo = conn.inTransaction() ? nullptr : zydb::threadRequestMemo<TEntityMemo>();
    if (!memo) {
        TResolving r{e, {}};
        return resolveEntity(conn, r);
    }
    TEntityAsked asked = askedOf(conn, e);
    for (const TEntityResolved& known : *memo)
        if (known.asked == asked) {
            for (const TEntityWrite& w : known.writes) {
                if (w.name.empty())
                    e.setint64(*w.field, w.id);
                else
                    e.setstring(*w.field, w.name);
            }
            return zydb::DB_OK;
        }
    TResolving r{e, {}};
    const int rc = resolveEntity(conn, r);
    if (rc == zydb::DB_OK) memo->push_back({std::move(asked), std::move(r.writes)});
    return rc;
}

// EntityNameToIdConverter: the request comes back with its entity completed by resolveEntity.
int completeEntity(zydb::IDbConnection& conn, databrowse::BrowseRequest& request) {
    if (CNMessageBase* entity = request.getObjectAccessor(databrowse::BrowseRequest::f::entity, false))
        return resolveEntityOnce(conn, *entity);
    return zydb::DB_OK;
}

long long childInt(CNMessageBase& m, const MsgFieldRef& child, const MsgFieldRef& field) {
    CNMessageBase* c = m.getObjectAccessor(child, false);
    return c ? idOf(*c, field) : 0;
}

// APPGetLaptopClientList: the clients the request's user owns (APP_ClientOwner), in client-id order;
// with the filter's virtual-machine switch on, only those that are virtual machines (linked to a
// hypervisor backup set in APP_VMBackupSet). Each entry's VM entity carries the machine's GUID: its
// current VM UUID property, else the client's GUID. A request without a user is refused.
int laptopClients(zydb::IDbConnection& conn, App::LapTopClientListReq& request,
                  App::LapTopClientLstResp& answer, std::string& why) {
    using R = App::LapTopClientListReq::f;
    const long long userId = childInt(request, R::user, ZyEntities::UserEntity::f::userId);
    if (userId <= 0) return refuse(why, "the request names no user");
    const long long vmOnly =
        childInt(request, R::filter, App::LapTopClientListFilter::f::virtualMachinesOnly);
    auto* clients = answer.getlistobject(App::LapTopClientLstResp::f::clients, true);
    return forEachRow(
        conn,
        "SELECT COALESCE((SELECT p.attrVal FROM APP_ClientProp p WHERE p.componentNameId = c.id AND "
        "p.attrName = ? AND p.modified = 0 AND p.attrVal <> '' ORDER BY p.created DESC, p.id DESC "
        "LIMIT 1), c.GUID) FROM APP_ClientOwner o JOIN APP_Client c ON c.id = o.clientId "
        "WHERE o.userId = ? AND (? = 0 OR EXISTS (SELECT 1 FROM APP_VMBackupSet v WHERE "
        "v.VMClientId = c.id)) ORDER BY c.id",
        {DbValue::ofText(kVmUuidProperty), DbValue::ofInt(userId), DbValue::ofInt(vmOnly)},
        [&](const zydb::IDbRow& r) {
            App::LapTopClientInfo entry;
            entry.getObjectAccessor(App::LapTopClientInfo::f::vm, true)
                ->setstring(ZyEntities::Msg68::f::GUID, std::string(r.columnText(0)));
            clients->push_back(entry);
            return zydb::DB_OK;
        });
}

// AppGetSharePointMemberServers: the member servers recorded for the farm whose pseudo-client the
// entity's client id names (APP_SharePointMemberServer), the primary one first, then in the order they
// were recorded; each entity holds the member's client id and, while its client exists, its name.
// None recorded: an empty member block. A request without a farm is refused.
int sharePointMembers(zydb::IDbConnection& conn, App::GetSPMemberServersRequest& request,
                      App::GetSPMemberServersResponse& answer, std::string& why) {
    const long long farmId = childInt(request, App::GetSPMemberServersRequest::f::entity, E::clientId);
    if (farmId <= 0) return refuse(why, "the request names no farm client");
    auto* members = answer.getObjectAccessor(App::GetSPMemberServersResponse::f::memberServers, true)
                        ->getlistobject(App::Msg255::f::memberServers, true);
    return forEachRow(
        conn,
        "SELECT m.memberClientId, c.name FROM APP_SharePointMemberServer m LEFT JOIN APP_Client c "
        "ON c.id = m.memberClientId WHERE m.pseudoClientId = ? ORDER BY m.isPrimary DESC, m.id",
        {DbValue::ofInt(farmId)}, [&](const zydb::IDbRow& r) {
            App::MemberServer member;
            CNMessageBase* e = member.getObjectAccessor(App::MemberServer::f::entity, true);
            e->setint64(E::_type_, 3);
            e->setint64(E::clientId, r.columnInt64(0));
            if (!r.columnIsNull(1)) e->setstring(E::clientName, std::string(r.columnText(1)));
            members->push_back(member);
            return zydb::DB_OK;
        });
}

// AppGetIndexingV2Enabled: element 1 is 1 when an index database (App_IndexDBInfo) is recorded for a
// backup set that holds one of the client's subclients, else 0. The index application type sent with
// the request does not change the answer. A request without a client is refused.
int indexingV2Enabled(zydb::IDbConnection& conn, App::GetIndexingV2EnabledReq& request,
                      App::GetIndexingV2EnabledResp& answer, std::string& why) {
    const long long clientId = idOf(request, App::GetIndexingV2EnabledReq::f::clientId);
    if (clientId <= 0) return refuse(why, "the request names no client");
    std::vector<DbValue> row;
    int rc = queryFirstRow(
        conn,
        "SELECT EXISTS (SELECT 1 FROM App_IndexDBInfo d JOIN APP_Application a ON a.backupSet = "
        "d.backupSetId WHERE a.clientId = ? AND d.backupSetId > 0)",
        {DbValue::ofInt(clientId)}, row);
    if (rc == zydb::DB_OK)
        answer.setint64(App::GetIndexingV2EnabledResp::f::indexingV2Enabled, row[0].asInt() ? 1 : 0);
    return rc;
}

// AppGetMachineBrowseDetails: the live-browse configuration of the client (APP_LiveBrowseConfig), the
// requesting user's own row before the row for every user (user 0). No row: nothing is configured and
// no answer row comes back. The answer carries the proxy-required switch, the proxy machine's client
// name when a proxy is set and its client exists, and the user name when one is set. A request without
// a client is refused.
int machineBrowseDetails(zydb::IDbConnection& conn, App::ClientLiveBrowseDetailsReq& request,
                         App::ClientLiveBrowseDetails& answer, std::string& why) {
    using R = App::ClientLiveBrowseDetailsReq::f;
    using A = App::ClientLiveBrowseDetails::f;
    const long long clientId = idOf(request, R::clientId);
    if (clientId <= 0) return refuse(why, "the request names no client");
    std::vector<DbValue> row;
    int rc = queryFirstRow(conn,
                           "SELECT l.proxyRequired, IFNULL(p.name, ''), IFNULL(l.userName, '') FROM "
                           "APP_LiveBrowseConfig l LEFT JOIN APP_Client p ON p.id = l.proxyClientId AND "
                           "l.proxyClientId > 0 WHERE l.clientId = ? AND (l.userId = ? OR l.userId = 0) "
                           "ORDER BY l.userId DESC LIMIT 1",
                           {DbValue::ofInt(clientId), DbValue::ofInt(idOf(request, R::userId))}, row);
    if (rc != zydb::DB_OK) return rc;
    answer.setint64(A::proxyRequired, row[0].asInt() ? 1 : 0);
    if (!row[1].asText().empty()) answer.setstring(A::proxyMachineName, row[1].asText());
    if (!row[2].asText().empty()) answer.setstring(A::userName, row[2].asText());
    return zydb::DB_OK;
}

// AppGetIndexCheckpointForGivenTimeRange: for each requested range (subclient, Kelmarch id, from, to,
// full cycle), the newest valid index checkpoint (App_IndexCheckpointInfo) whose valid archive file
// belongs to that subclient (and Kelmarch id, when given) and was made within [from, to]. The answer
// is an IndexDBInfo whose subclient list has one SubclientInfo per subclient with a checkpoint, in the
// order the subclients first appear, each with its checkpoints in range order. A range without a
// subclient is refused.
int checkpointsForRanges(zydb::IDbConnection& conn, databrowse::TimeRangeForEachCycleList& request,
                         databrowse::IndexDBInfo& answer, std::string& why) {
    using T = databrowse::TimeRangeForEachCycle::f;
    using C = databrowse::CheckPointInfoPerCycle::f;
    using S = databrowse::SubclientInfo::f;
    std::vector<long long> order;
    std::map<long long, std::vector<CNMessageBase>> found;
    auto* ranges = request.getlistobject(databrowse::TimeRangeForEachCycleList::f::cycles, false);
    for (const CNMessageBase& range : ranges ? *ranges : std::vector<CNMessageBase>{}) {
        const long long appId = idOf(range, T::appId), kelmarch = idOf(range, T::kelmarchId);
        const long long from = idOf(range, T::fromTime), to = idOf(range, T::toTime);
        if (appId <= 0) return refuse(why, "a time range names no subclient");
        int rc = forEachRow(
            conn,
            "SELECT f.id, f.kelmarchId, f.cTime FROM App_IndexCheckpointInfo k JOIN archFile f ON "
            "f.id = k.archFileId AND f.kelmarchId = k.kelmarchId WHERE k.isValid = 1 AND f.isValid = 1 "
            "AND f.appId = ? AND (? <= 0 OR f.kelmarchId = ?) AND f.cTime BETWEEN ? AND ? "
            "ORDER BY f.cTime DESC, k.id DESC LIMIT 1",
            {DbValue::ofInt(appId), DbValue::ofInt(kelmarch), DbValue::ofInt(kelmarch), DbValue::ofInt(from),
             DbValue::ofInt(to)},
            [&](const zydb::IDbRow& r) {
                databrowse::CheckPointInfoPerCycle cp;
                cp.setint64(C::fromTime, from);
                cp.setint64(C::toTime, to);
                cp.setint64(C::fullCycleNum, idOf(range, T::fullCycleNum));
                cp.setint64(C::archFileId, r.columnInt64(0));
                cp.setint64(C::kelmarchId, r.columnInt64(1));
                cp.setint64(C::checkpointTime, r.columnInt64(2));
                if (!found.count(appId)) order.push_back(appId);
                found[appId].push_back(cp);
                return zydb::DB_OK;
            });
        if (rc != zydb::DB_OK) return rc;
    }
    auto* subclients = answer.getlistobject(databrowse::IndexDBInfo::f::subclients, true);
    for (long long appId : order) {
        databrowse::SubclientInfo info;
        info.setint64(S::appId, appId);
        info.setlistobject(S::checkpoints, found[appId]);
        subclients->push_back(info);
    }
    return zydb::DB_OK;
}

// AppGetBackupSetGUIDFromAFiles: the GUIDs of the backup sets that own the given archive files (the
// backup set of each file's subclient), each once, in the order the files are given; unknown files and
// backup sets without a GUID add nothing. Whether the files came from an index or a data list (element
// 1) does not change the answer.
int backupSetGuidsOfFiles(zydb::IDbConnection& conn, Indexing::ArchGetBackupsetGUID& request,
                          Indexing::ArchGetBackupsetGUIDResp& answer, std::string&) {
    using F = Indexing::IdxAfile::f;
    std::vector<std::string> guids;
    std::set<std::string> seen;
    auto* files = request.getlistobject(Indexing::ArchGetBackupsetGUID::f::afiles, false);
    for (const CNMessageBase& file : files ? *files : std::vector<CNMessageBase>{}) {
        const long long kelmarch = idOf(file, F::kelmarchId);
        std::vector<DbValue> row;
        int rc = queryFirstRow(
            conn,
            "SELECT b.GUID FROM archFile f JOIN APP_Application a ON a.id = f.appId JOIN "
            "APP_BackupSetName b ON b.id = a.backupSet WHERE f.id = ? AND (? <= 0 OR "
            "f.kelmarchId = ?) ORDER BY f.kelmarchId LIMIT 1",
            {DbValue::ofInt(idOf(file, F::archFileId)), DbValue::ofInt(kelmarch), DbValue::ofInt(kelmarch)},
            row);
        if (rc == zydb::DB_NO_DATA) continue;
        if (rc != zydb::DB_OK) return rc;
        std::string guid = row[0].asText();
        if (!guid.empty() && seen.insert(guid).second) guids.push_back(guid);
    }
    answer.setliststring(Indexing::ArchGetBackupsetGUIDResp::f::backupsetGUIDs, guids);
    return zydb::DB_OK;
}

}  // namespace

int entityNameToIdConverterProc(zydb::CProcCall& call) {
    return answerCompleted(call, completeEntity);
}
int appGetLaptopClientListProc(zydb::CProcCall& call) {
    return answerRequest(call, laptopClients);
}
int appGetSharePointMemberServersProc(zydb::CProcCall& call) {
    return answerRequest(call, sharePointMembers);
}
int appGetIndexingV2EnabledProc(zydb::CProcCall& call) {
    return answerRequest(call, indexingV2Enabled);
}
int appGetMachineBrowseDetailsProc(zydb::CProcCall& call) {
    return answerRequest(call, machineBrowseDetails);
}
int appGetIndexCheckpointForGivenTimeRangeProc(zydb::CProcCall& call) {
    return answerRequest(call, checkpointsForRanges);
}
int appGetBackupSetGUIDFromAFilesProc(zydb::CProcCall& call) {
    return answerRequest(call, backupSetGuidsOfFiles);
}

}  // namespace hubdb
