#include "service/fastbrowse_multiclient.h"

#include <algorithm>
#include <ctime>
#include <map>
#include <set>
#include <vector>

#include "Db/Tbl/archFile.h"
#include "appbrowse/enduserown.h"
#include "fbDebug/fbdebug.h"
#include "framework/browseutils.h"
#include "framework/headerconstants.h"
#include "planning/browsetask.h"
#include "planning/handedover.h"
#include "platform/archive/archivemanagerhm.h"
#include "platform/entities/recordedkind.h"
#include "platform/entities/zyclient.h"
#include "platform/errors/cuxstring.h"
#include "platform/errors/fxerrorutil.h"
#include "platform/hubdb/hubdb.h"
#include "platform/indexing/clusterservicepack.h"
#include "platform/indexing/configloader.h"
#include "platform/indexing/indexingversion.h"
#include "platform/log/zytime.h"
#include "platform/msg/agentflag.h"
#include "platform/msg/app_execute_sp.h"
#include "platform/msg/criteriaoperators.h"
#include "platform/msg/errorresponse.h"
#include "platform/msg/secured_message_handler.h"
#include "platform/net/zynetwork.h"
#include "platform/security/evsecuritymgr.h"
#include "platform/security/useraccess.h"
#include "platform/threads/hubclock.h"
#include "service/browserouterthread.h"
#include "service/controllerthread.h"
#include "service/directrun.h"
#include "service/fastbrowsehm_api.h"
#include "service/routerfields.h"
#include "worker/authentication.h"
#include "worker/fastbrowsehmworkerthread.h"
#include "worker/requestlog.h"

namespace {

using namespace routerfields;
using R = databrowse::BrowseRequest::f;

constexpr int kSendSeconds = 120;
constexpr int kErrSerialize = 22;
constexpr int kErrNothingToFind = 61;
constexpr int kErrAccessDenied = 5;
constexpr int kManyPaths = 99;
constexpr unsigned int kFirstIndexServiceVersion = 1000;  // release 10.0, as makeVersion counts
// Choices of the procedure that fell on an agent without an index service, before the find gives up.
constexpr int kMaxAgentChoices = 16;
// An error of the find: `code` with its text.
CUxError findError(int code, const std::string& text) {
    return FXErrorUtil::ErrorInt(code, FXCodeLocation(__FILE__, __PRETTY_FUNCTION__, __LINE__), text.c_str());
}

const char* const kSendFailure = "Failed to send browse response back to caller with error [%s]";

CNMessageBase* routingBlock(databrowse::BrowseRequest& request) {
    return child(child(&request, R::indexing), databrowse::Msg91::f::indexingInfo);
}

CUxError sendOn(CZyNetwork* session, CNMessageBase& message, CBrowseLog& log) {
    if (!session) return findError(1, "no caller session");
    bool timedOut = false;
    CUxError sent = session->SendXMLMessage(message, 0, kSendSeconds, timedOut);
    if (sent.IsError()) log.debugLvl(0, kSendFailure, sent.AsString().c_str());
    return sent;
}

// The caller's client id as the network tells it (0 when it cannot be told).
unsigned long callerClientOf(CZyNetwork* session, std::string& name) {
    CUxString remote;
    if (!session || session->GetRemoteClientName(remote).IsError()) return 0;
    name = remote.c_str();
    return ZYClient::idOfProvenName(name);
}

// Sends one response of `type` (3 error, 4 warning) carrying `text` with `code` to the caller.
void sendMessage(CZyNetwork* session, int64_t type, const std::string& text, CBrowseLog& log,
                 databrowse::BrowseErrorCode code = databrowse::BROWSE_ERR_GENERIC) {
    databrowse::BrowseResponse response = errorresponse::of(code, text, type);
    ignoreResult(sendOn(session, response, log), "sendOn logs a failed send; the caller is gone");
}

// A warning of what the find leaves out, with the code that says what is left out (errorresponse::
// findPartOf): a client the caller may not browse, one the Hubmaster does not know, or backups the find
// cannot reach by its road (an agent without an index service, or another agent than the one it asks),
// so that the caller can tell a find refused or searched in part from a whole one. A client with no
// backup in range leaves nothing out.
void sendWarning(CZyNetwork* session, const std::string& text, CBrowseLog& log,
                 databrowse::BrowseErrorCode code = databrowse::BROWSE_ERR_GENERIC) {
    log.debugLvl(0, "multi-client find: %s", text.c_str());
    sendMessage(session, errorresponse::kWarning, text, log, code);
}

// What of a client a find may search for a user: as in a browse, a full browse right, or for a
// domain-qualified user an end user's, on the client or on one of its subclients; an end user's only
// where he sees all of the subclient's data (a find across clients narrows nothing to his own).
struct TFindSight {
    bool searched = false;  // some subclient of it is searched
    bool narrowed = false;  // some subclient he may browse only narrowed to his own is not
    // Why a browse of the client alone would show him none of those either ("": some of it would).
    std::string noneOwn;
};

TFindSight findSightOf(zydb::CRequestReads* reads, int userId, const std::string& userName, long clientId) {
    TFindSight sight;
    EvSecurityCheck check(0, reads);
    if (check.canBrowse(userId, hubdb::kDefaultKelmarchId, clientId, 0, 0, 0, 0, false, "")) {
        sight.searched = true;
        return sight;
    }
    const bool endUserAsked = !isLocalUserName(userName.c_str());
    // The client's subclients, each judged on what the database records it to be.
    for (long id : subclientsOfClient(clientId)) {
        TEntityKind kind;
        if (readEntityKind(reads, id, 0, kind) != EEntityKindRead::kRecorded) continue;
        const long appType = static_cast<long>(apptype::code(kind.appType));
        if (check.canBrowse(userId, hubdb::kDefaultKelmarchId, clientId, appType, kind.instanceId,
                            kind.backupSetId, id, false, "")) {
            sight.searched = true;
            continue;
        }
        if (!endUserAsked || !check.canBrowse(userId, hubdb::kDefaultKelmarchId, clientId, appType,
                                              kind.instanceId, kind.backupSetId, id, true, ""))
            continue;
        if (ZyUserAccess::seenWholeByEndUser(appType)) {
            sight.searched = true;
            continue;
        }
        // A find of the client alone is advised only where it narrows to something of his.
        const std::string missing = endUserOwnDataMissing(userId, clientId, kind.appType);
        if (!sight.narrowed || !sight.noneOwn.empty()) sight.noneOwn = missing;
        sight.narrowed = true;
    }
    return sight;
}

// What keepBrowsableEntities left out, and why.
struct TLeftOut {
    int unknown = 0;
    int forbidden = 0;
};

// Keeps the request's entities whose client is known and may be browsed by the caller (the token's
// user, else the caller the router caller rule judges for that client); every other one leaves the
// find with a warning to the caller, so that a find over what is left is never mistaken for the whole.
TLeftOut keepBrowsableEntities(zydb::CRequestReads* reads, databrowse::BrowseRequest& request, int userId,
                               const std::string& userName, const TDirectCaller& anonymous,
                               CZyNetwork* session, CBrowseLog& log) {
    TEntityCaller who;
    who.reads = reads;
    who.userId = userId;
    who.directWithoutUser = userId <= 0;
    who.direct = anonymous;
    const TMaySeeClient maySee = maySeeClientOf(who);
    TLeftOut left;
    using E = ZyEntities::GenericEntity::f;
    auto* entities = request.getlistobject(R::filteredEntities, false);
    if (!entities) return left;
    // What is named twice is searched (and warned of) once.
    std::set<std::string> named;
    for (auto it = entities->begin(); it != entities->end();) {
        CNMessageBase* entity = child(&*it, databrowse::EntityWithFilters::f::entity);
        const std::string name = textOf(entity, E::clientName);
        unsigned long clientId = static_cast<unsigned long>(intOf(entity, E::clientId));
        if (clientId == 0 && !name.empty() && ZYClient(name).getClientId(clientId) != 0) clientId = 0;
        std::string known;
        if (clientId != 0 && ZYClient(clientId).getName(known) != 0) clientId = 0;
        const std::string shown = name.empty() ? std::to_string(intOf(entity, E::clientId)) : name;
        const std::string key = (clientId != 0 ? std::to_string(clientId) : "?" + shown) + "|" +
                                std::to_string(intOf(entity, E::backupsetId)) + "|" +
                                std::to_string(intOf(entity, E::subclientId));
        if (!named.insert(key).second) {
            it = entities->erase(it);
            continue;
        }
        if (clientId != 0) {
            // Named by id from here on, so that what follows reads one client whatever it was called.
            entity->setint64(E::clientId, static_cast<int64_t>(clientId));
            entity->setstring(E::clientName, known);
        }
        bool allowed = false;
        TFindSight sight;
        if (clientId != 0 && userId > 0) {
            sight = findSightOf(reads, userId, userName, static_cast<long>(clientId));
            allowed = sight.searched;
        } else if (clientId != 0) {
            TDirectCaller caller = anonymous;
            caller.clientId = static_cast<long>(clientId);
            allowed = decideDirectCaller(caller).verdict != TDirectCallerDecision::kRefused;
        }
        // Rights come before description: a client the caller may not see is refused as any other he may
        // not browse, whether it exists or not, and in the words he named it with.
        const TEntityVerdict unknown =
            clientId == 0
                ? refuseEntity(maySee, 0, "Client [" + shown + "] is not known; it is not searched", 0)
                : TEntityVerdict();
        if (clientId == 0 && unknown.described()) {
            ++left.unknown;
            // Nothing of it can be browsed: a caller tells a misspelt client from a whole answer.
            sendWarning(session, unknown.refusal, log, databrowse::BROWSE_ERR_NOTHING_TO_BROWSE);
        } else if (sight.narrowed) {
            ++left.forbidden;
            const std::string unsearched =
                allowed ? "; those subclients are not searched" : "; it is not searched";
            sendWarning(
                session,
                sight.noneOwn.empty()
                    ? "Client [" + shown +
                          "] holds data you may browse only narrowed to your own (a mailbox, a OneDrive "
                          "folder), which a find across clients does not search: find in that client "
                          "alone" +
                          unsearched
                    : "Client [" + shown + "] holds data you may not browse: " + sight.noneOwn + unsearched,
                log, databrowse::BROWSE_ERR_PERMISSION);
        } else if (!allowed) {
            ++left.forbidden;
            sendWarning(session,
                        "You are not authorised to browse client [" + shown + "]; it is not searched", log,
                        databrowse::BROWSE_ERR_PERMISSION);
        }
        it = allowed ? std::next(it) : entities->erase(it);
    }
    return left;
}

// ---- the media agents a find reaches
// The application manager's procedure names one media agent, the one holding the newest data, and lists
// the subclients whose data that agent holds. A client whose data lies elsewhere is not searched; the
// caller is told which, where its data lies and why.

using E = ZyEntities::GenericEntity::f;

struct TFindSubclient {
    long id = 0;
    std::string client;
};

// A media agent as the find judges it: its release, and whether it has an index service to find in.
struct TAgent {
    std::string name;
    std::string release;
    bool indexService = true;  // an agent whose release is not known is taken at its word
};

TAgent agentNamed(const std::string& name) {
    TAgent agent;
    agent.name = name;
    unsigned long clientId = 0;
    if (name.empty() || ZYClient(name).getClientId(clientId) != 0) return agent;
    GetMediaAgentInfoArgsHM_t args;
    args.clientId = static_cast<uint32_t>(clientId);
    GetMediaAgentInfoRetHM_t info;
    ArchiveManagerHM archive(nullptr);
    if (archive.getMediaAgentInfo(&args, &info) != 0 || info.versionText.empty()) return agent;
    agent.release = info.versionText;
    unsigned int version = 0;
    agent.indexService = makeVersion(info.versionText, version) >= kFirstIndexServiceVersion;
    return agent;
}

// The subclients the prepared request has its media agent search.
std::set<long> coveredSubclients(databrowse::BrowseRequest& prepared) {
    std::set<long> covered;
    CNMessageBase* database = child(routingBlock(prepared), databrowse::IndexingInfo::f::indexDBInfo);
    if (auto* list =
            database ? database->getlistobject(databrowse::IndexDBInfo::f::subclients, false) : nullptr)
        for (const CNMessageBase& subclient : *list)
            covered.insert(static_cast<long>(intOf(&subclient, databrowse::SubclientInfo::f::appId)));
    return covered;
}

// The subclients an entity of the find stands for: the one it names, or those of its backup set or of
// its client.
std::vector<TFindSubclient> subclientsOf(zydb::CRequestReads* reads, const CNMessageBase* entity) {
    std::vector<TFindSubclient> out;
    unsigned long clientId = static_cast<unsigned long>(intOf(entity, E::clientId));
    std::string name = textOf(entity, E::clientName);
    if (clientId == 0 && (name.empty() || ZYClient(name).getClientId(clientId) != 0)) return out;
    if (name.empty() && ZYClient(clientId).getName(name) != 0) return out;
    const long subclient = static_cast<long>(intOf(entity, E::subclientId));
    if (subclient > 0) {
        // A subclient of another client than the one named stands for nothing.
        TEntityKind kind;
        if (readEntityKind(reads, subclient, 0, kind) == EEntityKindRead::kRecorded &&
            kind.clientId == static_cast<long>(clientId))
            out.push_back({subclient, name});
        return out;
    }
    for (long id :
         subclientsOfClient(static_cast<long>(clientId), static_cast<long>(intOf(entity, E::backupsetId))))
        out.push_back({id, name});
    return out;
}

// Names, in the prepared request's clear payload, the client of each subclient its media agent searches
// (one additional flag per client, in the order the request names them): the signed parts that say it
// are read only with the Hubmaster's key, and a console at a desk names each answered item's client by it.
void nameSearchedClients(zydb::CRequestReads* reads, databrowse::BrowseRequest& request,
                         databrowse::BrowseRequest& prepared) {
    const std::set<long> covered = coveredSubclients(prepared);
    std::vector<std::pair<std::string, std::string>> clients;  // name, its subclient ids
    std::set<long> named;
    auto* entities = request.getlistobject(R::filteredEntities, false);
    for (const CNMessageBase& withFilters : entities ? *entities : std::vector<CNMessageBase>{})
        for (const TFindSubclient& s :
             subclientsOf(reads, child(&withFilters, databrowse::EntityWithFilters::f::entity))) {
            if (!covered.count(s.id) || !named.insert(s.id).second) continue;
            auto it = std::find_if(clients.begin(), clients.end(),
                                   [&](const auto& c) { return c.first == s.client; });
            if (it == clients.end()) it = clients.insert(clients.end(), {s.client, ""});
            it->second += (it->second.empty() ? "" : ",") + std::to_string(s.id);
        }
    if (clients.empty()) return;
    CNMessageBase* flags = prepared.getObjectAccessor(R::advOptions, true)
                               ->getObjectAccessor(databrowse::Msg63::f::advancedConfig, true)
                               ->getObjectAccessor(databrowse::BrowseAdvancedConfig::f::flagBlock, true);
    auto* list = flags->getlistobject(databrowse::Msg9::f::additionalFlags, true);
    for (const auto& [client, subclients] : clients) {
        databrowse::AdditionalFlag flag;
        flag.setint64(databrowse::AdditionalFlag::f::flagType, 0);
        flag.setstring(databrowse::AdditionalFlag::f::flagName, browseflag::kFindClientSubclients);
        flag.setstring(databrowse::AdditionalFlag::f::value, subclients + " " + client);
        list->push_back(std::move(flag));
    }
}

// The media agent the procedure names for one subclient of the request alone (its newest data), in
// `agent`: empty when nothing of it is found for the caller. False (with the procedure's error) when the
// procedure fails: where its backups lie is then not known, which is no "nothing found".
bool agentOfSubclient(const databrowse::BrowseRequest& request, const CNMessageBase& withFilters,
                      const TFindSubclient& subclient, std::string& agent, std::string& error) {
    databrowse::BrowseRequest one = request;
    CNMessageBase only = withFilters;
    CNMessageBase* entity = only.getObjectAccessor(databrowse::EntityWithFilters::f::entity, true);
    entity->setstring(E::clientName, subclient.client);
    entity->setint64(E::subclientId, subclient.id);
    one.setlistobject(R::filteredEntities, {only});
    databrowse::BrowseRequest prepared;
    agent.clear();
    if (const CUxError ran = I2::Utils::ExecuteAppMgrSP(databrowse::BrowseRequest::TAG, one, prepared);
        ran.IsError()) {
        error = ran.GetErrorText();
        return false;
    }
    CNMessageBase* routing = routingBlock(prepared);
    if (has(routing, databrowse::IndexingInfo::f::indexDBInfo))
        agent = textOf(routing, databrowse::IndexingInfo::f::mediaAgentName);
    return true;
}

// "Subclient [1] of client [c]", "Subclients [1,2] of client [c]".
std::string subclientsText(const std::string& client, const std::vector<long>& subclients) {
    std::string who = subclients.size() == 1 ? "Subclient [" : "Subclients [";
    for (size_t n = 0; n < subclients.size(); ++n) who += (n ? "," : "") + std::to_string(subclients[n]);
    return who + "] of client [" + client + "]";
}

// Why the subclients of a client are not searched. `whole`: none of the client's data is.
std::string leftOutText(const std::string& client, const std::vector<long>& subclients, bool whole,
                        const TAgent& agent, const std::string& asked) {
    const std::string who = whole ? "Client [" + client + "]" : subclientsText(client, subclients);
    std::string text = who + " is not searched: its backups are on media agent [" + agent.name + "]";
    if (!agent.indexService)
        return text + ", release " + agent.release +
               ", which has no index service to find in (list and versions of it are offered through the "
               "Hubmaster)";
    return text + ", and a find across clients asks one media agent, here [" + asked + "]";
}

// The first client the find searches (whose administrators may stop it as well as its owner).
long firstClientOf(databrowse::BrowseRequest& request) {
    auto* entities = request.getlistobject(R::filteredEntities, false);
    if (!entities || entities->empty()) return 0;
    return static_cast<long>(
        intOf(child(&entities->front(), databrowse::EntityWithFilters::f::entity), E::clientId));
}

// Why nothing of a client is searched when no media agent holds any of it as of `toTime`: it was not
// backed up by then, or what was is not the caller's to browse.
std::string notBackedUpText(const CNMessageBase* entity, const std::vector<TFindSubclient>& subclients,
                            long long toTime) {
    std::string client = subclients.empty() ? textOf(entity, E::clientName) : subclients.front().client;
    if (client.empty()) client = std::to_string(intOf(entity, E::clientId));
    char when[ZYTIME_BUFFER_SIZE] = {};
    ZyTime(static_cast<long>(toTime), when, 0);
    std::string ids;
    for (const TFindSubclient& s : subclients) ids += (ids.empty() ? "" : ",") + std::to_string(s.id);
    bool backedUp = false;
    if (!ids.empty()) {
        ArchFile files(nullptr);
        files.setTop(1);
        files.setIsolationType(4);
        files.setWhereRaw("isValid = 1 AND cTime <= " + std::to_string(toTime) + " AND appId IN (" + ids +
                          ")");
        backedUp = files.getOneRow(&files, false, -1, 0) == 0;
    }
    const std::string text = "Client [" + client + "] is not searched: ";
    if (backedUp) return text + "none of its backups up to " + when + " is one you may browse";
    return text + "it has no backup up to " + when + " (its first backup is later, or it has none)";
}

}  // namespace

CBrowseMulticlient::CBrowseMulticlient() {
    if (g_poControllerThreadHM) m_workerId = g_poControllerThreadHM->generateWorkerId();
    I2::Utils::ConfigLoader loader;
    int value = 0;
    if (!loader.GetProperty(CONFIGID_HM_ALWAYS_REPLY_V1_BROWSE, "", value).IsError()) m_alwaysReplyV1 = value;
}

CUxError CBrowseMulticlient::Find(databrowse::BrowseRequest* request, CZyNetwork* session) {
    CBrowseLog log("CBrowseMulticlient::Find");
    log.debugLvl(0, "START - browse request with worker id [%s]", m_workerId.c_str());
    CUxError error = HandleMultiClientFind(request, session);
    if (error.IsError()) {
        std::string text = m_errorText.str();
        if (text.empty()) text = "Browse initialization failed with error.";
        log.debugLvl(0, "Browse initialization failed with error [%s] and message [%s].", text.c_str(),
                     error.GetErrorText().c_str());
        sendMessage(session, errorresponse::kError, text, log, m_errorCode);
    }
    log.debugLvl(0, "END - browse request with worker id [%s]", m_workerId.c_str());
    return error;
}

CUxError CBrowseMulticlient::HandleMultiClientFind(databrowse::BrowseRequest* request, CZyNetwork* session) {
    CBrowseLog log("HandleMultiClientFind");
    if (!request) return findError(kErrSerialize, "no browse request");
    CNMessageBase* browseSession = request->getObjectAccessor(R::session, true);
    if (textOf(browseSession, databrowse::BrowseSession::f::sessionId).empty())
        browseSession->setstring(databrowse::BrowseSession::f::sessionId,
                                 CWorkerThreadHM::GenerateSessionId());
    std::string xml;
    const int serialized = request->serialize(xml);
    if (serialized != 0) {
        m_errorText << "Failed to serialize BrowseRequest with error code [" << serialized << "]";
        return findError(kErrSerialize, "Failed to serialize BrowseRequest with error code [" +
                                            std::to_string(serialized) + "]");
    }
    // The whole request is written out only at the level that shows it.
    if (log.getDebugLevel() >= 3) log.debugLvl(3, "browse xml [%s]", maskedRequestText(*request).c_str());

    std::string callerName;
    const unsigned long callerClientId = callerClientOf(session, callerName);
    const std::string token = textOf(request, R::token);
    std::string userName = textOf(request, R::userName);
    int userId = 0;
    if (!token.empty()) {
        log.debugLvl(3, "AuthToken:[%s]", kMaskedSecret);
        EvSecurityMgr security(0);
        security.setRequestReads(m_reads);
        std::string domain, fullName;
        const bool valid =
            security.GetUserInfoFromZetaTokenWithoutAuthentication(token, true, userId, userName, domain,
                                                                   fullName) == 1 ||
            security.GetSessionInfoFromZetaToken(token, true, userId, userName, domain, fullName) == 1;
        log.debugLvl(3, "AuthToken:[%s], UserId:[%d], UserName:[%s]", kMaskedSecret, userId,
                     userName.c_str());
        if (!valid) return refuseToken(*request, security.tokenRefusal(""));
        log.debugLvl(3, "UserId:[%d], UserName[%s]", userId, userName.c_str());
    }
    // Without a token the request names its user itself: serving it as that user is acting as another
    // user, which only the router caller rule can allow; each client is judged on its own below.
    TDirectCaller caller;
    caller.checkClientMap = checkClientMapSetting();
    caller.act = userName.empty() ? EDirectCallerAct::kBrowse : EDirectCallerAct::kActAsUser;
    caller.callerClientId = callerClientId;
    if (token.empty()) {
        log.debugLvl(3, "AuthToken is empty");
        const bool anonymous = callerClientId == 0;
        log.debugLvl(1, "multi-client find caller [%lu] as user [%s]", callerClientId, userName.c_str());
        if (anonymous) return refuseToken(*request, "");
        log.debugLvl(3, "UserId:[%d], Username[%s]", userId, userName.c_str());
    }
    if (!userName.empty()) request->setstring(R::userName, userName);
    const TLeftOut leftOut = keepBrowsableEntities(m_reads, *request, userId, userName, caller, session, log);
    if (auto* left = request->getlistobject(R::filteredEntities, false); !left || left->empty()) {
        if (leftOut.forbidden > 0) {
            // Every client named is one the caller may not browse: a refusal, not an empty find.
            m_errorCode = databrowse::BROWSE_ERR_PERMISSION;
            m_errorText << "Browse access denied: you are not authorised to browse any client of this find";
            return findError(kErrAccessDenied, "Browse access denied");
        }
        m_errorText << "Nothing to Find";
        return findError(kErrNothingToFind, "Nothing to Find");
    }

    CNMessageBase* range = request->getObjectAccessor(R::timeRange, true);
    if (intOf(range, databrowse::BrowseTimeRange::f::toTime) == 0) {
        const long long now = CHubClock::real().epochSeconds();
        range->setint64(databrowse::BrowseTimeRange::f::toTime, now);
        log.debugLvl(0, "to time was not specified, defaulting to %d", static_cast<int>(now));
    }

    databrowse::BrowseRequest prepared;
    CUxError ran = prepareOnIndexService(*request, prepared, session);
    if (ran.IsError()) {
        m_errorText << "Failed to execute Stored Procedure";
        return ran;
    }
    // Every client left out is named with its reason, whether or not anything is left to search.
    warnOfUnsearched(*request, prepared, session);
    CNMessageBase* routing = routingBlock(prepared);
    if (!has(routing, databrowse::IndexingInfo::f::indexDBInfo)) {
        m_errorText << "Nothing to Find";
        return findError(kErrNothingToFind, "Nothing to Find");
    }
    const std::string mediaAgent = textOf(routing, databrowse::IndexingInfo::f::mediaAgentName);
    log.debugLvl(0, "mediaAgent [%s] will be used for the browse.", mediaAgent.c_str());
    routing->setstring(databrowse::IndexingInfo::f::routerName,
                       g_poBrowseRouterThreadHM ? g_poBrowseRouterThreadHM->getRouterName()
                                                : CBrowseRouterThreadHM::kServerName);
    routing->setstring(databrowse::IndexingInfo::f::workerId, m_workerId);
    nameSearchedClients(m_reads, *request, prepared);
    smallDump("FBHMWORKER", &prepared);

    TFindCaller asking{callerName, callerClientId, userId, userName};
    return handToCaller(*request, prepared, session, asking, mediaAgent);
}

CUxError CBrowseMulticlient::refuseToken(databrowse::BrowseRequest& request, const std::string& reason) {
    m_errorCode = databrowse::BROWSE_ERR_PERMISSION;
    m_errorText << "Error: Failed to authenticate the usertoken for session: " << sessionGuid(request)
                << " ..." << reason;
    return findError(kErrSerialize, "Error: Failed to authenticate the usertoken...");
}

CUxError CBrowseMulticlient::handToCaller(databrowse::BrowseRequest& request,
                                          databrowse::BrowseRequest& prepared, CZyNetwork* session,
                                          TFindCaller& caller, const std::string& mediaAgent) {
    CBrowseLog log("HandleMultiClientFind");
    // The caller reads the answers from the media agent: the session is remembered with its owner and
    // that agent before the caller can present the request, so that its stop is judged and sent on.
    // The request names its owner as the worker's own do, so that the owner's stop ends its answer there.
    prepared.getObjectAccessor(R::advOptions, true)->setint64(databrowse::Msg63::f::userId, caller.userId);
    prepared.setstring(R::userName, legacyUserText(static_cast<uint64_t>(caller.userId), caller.userName));
    TSessionOwner owner;
    owner.userId = caller.userId;
    owner.userName = caller.userName;
    owner.callerClientId = caller.userId > 0 ? 0 : caller.clientId;
    owner.clientId = firstClientOf(request);
    const std::string guid = sessionGuid(request);
    switch (rememberHandedOverSession(guid, owner, mediaAgent)) {
        case CHandedOverSessions::ERemembered::kKept:
            if (g_poControllerThreadHM) g_poControllerThreadHM->keepStopLineTo(mediaAgent);
            break;
        case CHandedOverSessions::ERemembered::kOtherOwner:
            log.debugLvl(0, "browse session [%s] belongs to another caller; refused", guid.c_str());
            m_errorCode = databrowse::BROWSE_ERR_PERMISSION;
            m_errorText << CHandedOverSessions::inUseText(guid);
            return findError(kErrAccessDenied, "Browse access denied");
        case CHandedOverSessions::ERemembered::kFull:
            log.debugLvl(0, "browse session [%s] not handed over: too many browse sessions are in flight",
                         guid.c_str());
            m_errorText << kDirectRunTooManySessions;
            return findError(databrowse::BROWSE_ERR_GENERIC, kDirectRunTooManySessions);
    }
    databrowse::SecuredBrowseRequest secured;
    CUxError sent = convertToSecureBrowseReq(caller.name, prepared, secured) ? sendOn(session, secured, log)
                                                                             : sendOn(session, prepared, log);
    if (sent.IsError()) CHandedOverSessions::instance().endHandOver(guid);
    return sent;
}

CUxError CBrowseMulticlient::prepareOnIndexService(databrowse::BrowseRequest& request,
                                                   databrowse::BrowseRequest& prepared, CZyNetwork* session) {
    CBrowseLog log("HandleMultiClientFind");
    for (int choice = 0;; ++choice) {
        prepared = databrowse::BrowseRequest();
        CUxError ran = I2::Utils::ExecuteAppMgrSP(databrowse::BrowseRequest::TAG, request, prepared);
        if (ran.IsError()) return ran;
        CNMessageBase* routing = routingBlock(prepared);
        if (!has(routing, databrowse::IndexingInfo::f::indexDBInfo)) return ran;
        const TAgent agent = agentNamed(textOf(routing, databrowse::IndexingInfo::f::mediaAgentName));
        if (agent.indexService) return ran;
        // An agent without an index service could not take the request: what it holds leaves the find,
        // the caller is told, and the procedure chooses among the rest.
        const std::set<long> covered = coveredSubclients(prepared);
        auto* entities = request.getlistobject(R::filteredEntities, false);
        std::vector<CNMessageBase> kept;
        for (const CNMessageBase& withFilters : entities ? *entities : std::vector<CNMessageBase>{}) {
            const std::vector<TFindSubclient> all =
                subclientsOf(m_reads, child(&withFilters, databrowse::EntityWithFilters::f::entity));
            std::vector<long> gone;
            std::vector<TFindSubclient> rest;
            for (const TFindSubclient& s : all) {
                if (covered.count(s.id))
                    gone.push_back(s.id);
                else
                    rest.push_back(s);
            }
            if (gone.empty()) {
                kept.push_back(withFilters);
                continue;
            }
            sendWarning(session, leftOutText(all.front().client, gone, rest.empty(), agent, ""), log,
                        errorresponse::kNotSearched);
            // The rest of the entity stays, subclient by subclient.
            for (const TFindSubclient& s : rest) {
                CNMessageBase one = withFilters;
                CNMessageBase* entity = one.getObjectAccessor(databrowse::EntityWithFilters::f::entity, true);
                entity->setstring(E::clientName, s.client);
                entity->setint64(E::subclientId, s.id);
                kept.push_back(std::move(one));
            }
        }
        const bool progress = !entities || kept.size() != entities->size() || !covered.empty();
        request.setlistobject(R::filteredEntities, kept);
        if (kept.empty() || !progress || choice + 1 >= kMaxAgentChoices) {
            prepared = databrowse::BrowseRequest();
            return ran;
        }
    }
}

void CBrowseMulticlient::warnOfUnsearched(const databrowse::BrowseRequest& request,
                                          databrowse::BrowseRequest& prepared, CZyNetwork* session) {
    CBrowseLog log("HandleMultiClientFind");
    const std::string asked = textOf(routingBlock(prepared), databrowse::IndexingInfo::f::mediaAgentName);
    const long long toTime = intOf(child(&request, R::timeRange), databrowse::BrowseTimeRange::f::toTime);
    const std::set<long> covered = coveredSubclients(prepared);
    auto* entities =
        const_cast<databrowse::BrowseRequest&>(request).getlistobject(R::filteredEntities, false);
    if (!entities) return;
    for (const CNMessageBase& withFilters : *entities) {
        const std::vector<TFindSubclient> all =
            subclientsOf(m_reads, child(&withFilters, databrowse::EntityWithFilters::f::entity));
        bool anySearched = false;
        std::map<std::string, std::vector<long>> elsewhere;  // media agent -> subclients it holds
        std::vector<long> untold;                            // whose agent the procedure could not tell
        std::string why;
        for (const TFindSubclient& s : all) {
            if (covered.count(s.id)) {
                anySearched = true;
                continue;
            }
            std::string agent;
            if (!agentOfSubclient(request, withFilters, s, agent, why))
                untold.push_back(s.id);
            else if (!agent.empty() && agent != asked)
                elsewhere[agent].push_back(s.id);
        }
        // A question about a client that failed leaves the find not whole: never taken for "no backup".
        if (!untold.empty())
            sendWarning(session,
                        subclientsText(all.front().client, untold) +
                            " is not searched: where its backups lie could not be told (" + why + ")",
                        log, errorresponse::kNotSearched);
        for (const auto& [agent, subclients] : elsewhere)
            sendWarning(session,
                        leftOutText(all.front().client, subclients, !anySearched && elsewhere.size() == 1,
                                    agentNamed(agent), asked),
                        log, errorresponse::kNotSearched);
        if (!anySearched && elsewhere.empty() && untold.empty())
            sendWarning(
                session,
                notBackedUpText(child(&withFilters, databrowse::EntityWithFilters::f::entity), all, toTime),
                log);
    }
}

bool CBrowseMulticlient::convertToSecureBrowseReq(std::string& callerClientName,
                                                  databrowse::BrowseRequest& prepared,
                                                  databrowse::SecuredBrowseRequest& secured) {
    CBrowseLog log("CBrowseMulticlient::convertToSecureBrowseReq");
    if (m_alwaysReplyV1 != 0) {
        log.debugLvl(2,
                     "Secured V2 browse protocol reply is disabled due to key [HM_ALWAYS_REPLY_V1_BROWSE]");
        return false;
    }
    // A caller without a certificate (a console acting with a user's token) has no service pack of its
    // own: the media agent the request names decides whether it reads the signed form.
    std::string judged = callerClientName;
    if (judged.empty()) judged = textOf(routingBlock(prepared), databrowse::IndexingInfo::f::mediaAgentName);
    int level = I2::Utils::GetClientServicePack(judged);
    if (level <= 0) level = GetMinSPLevelInClusterClient(judged);
    if (level < kSecuredServicePack) {
        log.debugLvl(
            0,
            "V2 browse protocol is not supported by MA [at SP%d] for the multiclient request as it SP "
            "version level not above [%d]",
            level, kSecuredServicePack);
        return false;
    }
    if (CNMessageBase* routing = routingBlock(prepared)) {
        routing->setstring(databrowse::IndexingInfo::f::hubmasterHost, "");
        routing->setstring(databrowse::IndexingInfo::f::routerName, "");
    }
    agentflag::name(prepared);
    std::string hubmasterName;
    if (ZYClient(ZYClient::hubmasterClientId()).getName(hubmasterName) != 0 || hubmasterName.empty()) {
        log.debugLvl(0, "Failed to retrieve HM's client name to add in V2 browse protocol");
        return false;
    }
    I2::SecuredMessageHandler signer;
    if (!signer.secureBrowseRequest(prepared, hubmasterName, secured)) {
        log.debugLvl(0, "Failed to generate signature for secured browse request");
        return false;
    }
    return true;
}

int CBrowseMulticlient::GetMinSPLevelInClusterClient(std::string& clientName) {
    CBrowseLog log("CBrowseMulticlient::GetMinSPLevelInClusterClient");
    int level = 0;
    switch (I2::Utils::GetMinServicePackOfClusterClient(clientName, level)) {
        case I2::Utils::EClusterServicePack::kNotCluster:
            log.debugLvl(3, "Client [%s] is not a cluster client", clientName.c_str());
            return 0;
        case I2::Utils::EClusterServicePack::kLowest:
            log.debugLvl(3,
                         "Client [%s] is clustered with lowest Service Pack level of physical client as [%d]",
                         clientName.c_str(), level);
            return level;
        default:
            return 0;
    }
}

void CBrowseMulticlient::smallDump(const char* tag, databrowse::BrowseRequest* request) {
    CBrowseLog log(tag);
    log.debugLvl(0, "browse session [%s]", sessionGuid(*request).c_str());
    auto* paths = request->getlistobject(R::paths, false);
    if (paths)
        for (CNMessageBase& path : *paths) {
            const std::string text = path.getstring(databrowse::BrowsePath::f::path);
            const CNMessageBase* detail = child(&path, databrowse::BrowsePath::f::detail);
            std::string parameters;
            if (!detail)
                log.debugLvl(0, "browse path [%s]", text.c_str());
            else if (detail->serialize(parameters) == 0)
                log.debugLvl(0, "browse path [%s] with parameters [%s]", text.c_str(), parameters.c_str());
            else
                log.debugLvl(0, "Failed to serialize optional path parameters of browse path [%s]",
                             text.c_str());
        }
    const CNMessageBase* range = child(request, R::timeRange);
    const long fromTime = static_cast<long>(intOf(range, databrowse::BrowseTimeRange::f::fromTime));
    const long toTime = static_cast<long>(intOf(range, databrowse::BrowseTimeRange::f::toTime));
    char fromText[ZYTIME_BUFFER_SIZE] = {}, toText[ZYTIME_BUFFER_SIZE] = {}, nowText[ZYTIME_BUFFER_SIZE] = {};
    ZyTime(fromTime == 0 ? 1 : fromTime, fromText, 0);
    ZyTime(toTime, toText, 0);
    log.debugLvl(0, "from [%ld : %s] to [%ld : %s]", fromTime, fromText, toTime, toText);
    const CNMessageBase* advanced = child(request, R::advOptions);
    log.debugLvl(0, "copy precedence [%lu] user [%s]",
                 static_cast<unsigned long>(intOf(advanced, databrowse::Msg63::f::copyPrecedence)),
                 textOf(request, R::userName).c_str());
    const long now = static_cast<long>(CHubClock::real().epochSeconds());
    ZyTime(now, nowText, 0);
    log.debugLvl(2, "current time [%ld : %s]", now, nowText);
    if (has(advanced, databrowse::Msg63::f::browseViewName))
        log.debugLvl(0, "browse-view [%s]", textOf(advanced, databrowse::Msg63::f::browseViewName).c_str());
    const size_t count = paths ? paths->size() : 0;
    if (count > kManyPaths && log.getDebugLevel() <= 1)
        log.debugLvl(1, "Prepared browse Request with [%u] source files", static_cast<unsigned>(count));
    else
        log.debugLvl(0, "Prepared browse Request %s", maskedRequestText(*request).c_str());
}
