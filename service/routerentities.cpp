#include "service/routerentities.h"

#include "Db/Proc/EntityNameToIdConverter.h"
#include "Db/Tbl/NBGlobalParam.h"
#include "appbrowse/fbhmvsautils.h"
#include "fbDebug/fbdebug.h"
#include "planning/confmgr.h"
#include "planning/confrecord.h"
#include "planning/handedover.h"
#include "platform/config/zyplatforminfo.h"
#include "platform/db/cursorwrapper.h"
#include "platform/entities/recordedkind.h"
#include "platform/entities/zyclient.h"
#include "platform/errors/cuxstring.h"
#include "platform/hubdb/messageproc.h"
#include "platform/net/zynet_directory.h"
#include "platform/net/zynetwork.h"
#include "platform/security/evsecuritymgr.h"
#include "platform/security/evsecuritynew.h"
#include "platform/security/rights.h"
#include "service/controllerthread.h"
#include "service/directtaskprep.h"
#include "service/fastbrowsehm_api.h"
#include "service/lognames.h"
#include "service/routerfields.h"
#include "worker/authentication.h"
#include "worker/requestlog.h"

namespace {

using namespace routerfields;
using E = ZyEntities::GenericEntity::f;
using R = databrowse::BrowseRequest::f;

constexpr const char* kTag = "FBHMROUTER";
constexpr int kEntityTypeClient = 3;

std::string serializeFailure(int rc) {
    return "Failed to serialize BrowseRequest with error code [" + std::to_string(rc) + "]";
}

// A restore requestor does not name its media agent when the global parameter says so.
void dropRestoreMediaAgent(databrowse::BrowseRequest& request) {
    if (!has(child(&request, R::ma), ZyEntities::ClientEntity::f::clientId)) return;
    auto* flags = child(flagBlock(request), databrowse::Msg9::f::additionalFlags)
                      ? flagBlock(request)->getlistobject(databrowse::Msg9::f::additionalFlags, false)
                      : nullptr;
    if (!flags) return;
    bool restore = false;
    for (const CNMessageBase& flag : *flags) {
        if (flag.getint64(databrowse::AdditionalFlag::f::flagType) == 0 &&
            flag.getstring(databrowse::AdditionalFlag::f::flagName) == "RequestorType" &&
            flag.getstring(databrowse::AdditionalFlag::f::value) == "Restore") {
            restore = true;
            break;
        }
    }
    if (!restore) return;
    NBGlobalParam param(nullptr);
    param.setWhere("name = '%s' and modified=0 and value='%s'", "IDX_BROWSE_IGNORE_MA_FROM_RESTORE_TASK",
                   "1");
    if (param.getOneRow(&param, false, -1, 0) == 0) request.clearField(R::ma.tag, R::ma.code);
}

// A backup-set GUID without an id gives the backup set, its client and the client's name.
// True when the entity changed.
bool resolveBackupSetGuid(zydb::CRequestReads* reads, databrowse::BrowseRequest& request, CBrowseLog& log) {
    CNMessageBase* entity = routerfields::entity(request);
    if (!entity || !has(entity, E::backupsetGUID) || has(entity, E::backupsetId)) return false;
    const std::string guid = entity->getstring(E::backupsetGUID);
    // Text from the network that is no GUID names no backup set.
    const long backupSetId = CBrowseVSAUtils::IsVMGUID(guid) ? backupSetIdOfGuid(guid) : 0;
    if (backupSetId <= 0) {
        log.debugLvl(-1, "Backupset GUID - [%s] was specified but backupset id is empty", guid.c_str());
        return false;
    }
    entity->setint64(E::backupsetId, backupSetId);
    TEntityKind kind;
    if (readEntityKind(reads, 0, backupSetId, kind) != EEntityKindRead::kRecorded) {
        log.debugLvl(-1, "Unable to find subclient id for backupset ID - [%ld] ", backupSetId);
        return true;
    }
    entity->setint64(E::clientId, kind.clientId);
    if (!kind.clientName.empty()) entity->setstring(E::clientName, kind.clientName);
    return true;
}

// Who may stop a session: its owner (the same user, or for a session set up without a user the same
// proven calling client), an administrator of its client, or a trusted peer.
bool maySessionBeStopped(const TSessionOwner& owner, const TDirectCallerDecision& decision,
                         unsigned long callerClientId, std::string& why) {
    switch (decision.verdict) {
        case TDirectCallerDecision::kTrusted:
            why = "a trusted peer";
            return true;
        case TDirectCallerDecision::kTokenUser: {
            TSessionOwner stopper;
            stopper.userId = decision.tokenUserId;
            stopper.callerClientId = callerClientId;
            if (decision.tokenUserId > 0 && owner.isSameCaller(stopper)) {
                why = "the session's owner, user [" + std::to_string(owner.userId) + "]";
                return true;
            }
            bool admin = false;
            EvSecurityNew security(nullptr, 0);
            if (security.hasPermissionForUserOnEntity(admin, zysec::kPermManageHubmaster,
                                                      decision.tokenUserId, kEntityTypeClient, owner.clientId,
                                                      0, 0, 0, 0, 0, 0, 0, 0) == 0 &&
                admin) {
                why = "an administrator of client [" + std::to_string(owner.clientId) + "]";
                return true;
            }
            why = loggedUser(decision.tokenUserId) + " does not own the session";
            return false;
        }
        case TDirectCallerDecision::kCallerAllowed: {
            TSessionOwner stopper;
            stopper.callerClientId = callerClientId;
            if (callerClientId != 0 && owner.isSameCaller(stopper)) {
                why = "the calling client that set the session up";
                return true;
            }
            why = "calling " + loggedClient(static_cast<long long>(callerClientId)) +
                  " does not own the session";
            return false;
        }
        case TDirectCallerDecision::kRefused:
            break;
    }
    why = decision.reason;
    return false;
}

// The router sends no reply to a stop, refused or not; every stop is logged with who asked.
EEntityStep handOverStop(TDirectTask& t, CZyNetwork* session, std::string&, CBrowseLog&) {
    std::string why;
    judgeStop(t.request, *t.task, routedCallerClientId(session), t.worker->getCheckClientMap(), why);
    return EEntityStep::kNoReply;
}

}  // namespace

unsigned long routedCallerClientId(CZyNetwork* session) {
    if (!session) return 0;
    CUxString name;
    if (session->GetRemoteClientName(name).IsError()) return 0;
    return ZYClient::idOfProvenName(name.c_str());
}

// A stop is judged against the session it stops, never against the client its request names.
EStopVerdict judgeStop(databrowse::BrowseRequest& request, EvMultiEntityRestoreTask& task,
                       unsigned long callerClientId, int checkClientMap, std::string& why,
                       std::string* ends) {
    CBrowseLog log(kTag);
    const std::string guid = sessionGuid(request);
    TDirectCaller caller;
    caller.checkClientMap = checkClientMap;
    caller.act = EDirectCallerAct::kStop;
    caller.token = textOf(&request, R::token);
    caller.callerClientId = callerClientId;
    // The session record keeps its owner for its whole keep, after its browses as during them.
    CHandedOverSessions::TSession handed;
    const bool known = CHandedOverSessions::instance().find(guid, handed);
    const TSessionOwner& owner = handed.owner;
    bool browsing = false, indexingV2 = false;
    if (CConfRecordRef record = known && g_poConfMgr ? g_poConfMgr->holdConfRec(guid) : CConfRecordRef()) {
        browsing = !record->getWorkersToMaMap().empty();
        std::string dbId, mediaAgent;
        unsigned appType = 0;
        unsigned long idxAppType = 0;
        App::IdxDbEngineType engine = App::IDX_DB_ENGINE_CTREE;
        indexingV2 = browsing && record->IsIndexingV2(dbId, mediaAgent, appType, engine, idxAppType);
    }
    caller.clientId = owner.clientId;
    const TDirectCallerDecision decision = decideDirectCaller(caller);
    const std::string who = decision.verdict == TDirectCallerDecision::kTokenUser
                                ? loggedUser(decision.tokenUserId)
                                : "calling " + loggedClient(caller.callerClientId);
    if (!known) {
        log.debugLvl(0, "Stop request for session [%s] by %s: no such session; nothing stopped", guid.c_str(),
                     who.c_str());
        why = "no such session";
        return EStopVerdict::kNoSuchSession;
    }
    if (!maySessionBeStopped(owner, decision, caller.callerClientId, why)) {
        log.debugLvl(0, "Stop request for session [%s] of %s, %s by %s refused: %s", guid.c_str(),
                     loggedUser(owner.userId).c_str(), loggedClient(owner.clientId).c_str(), who.c_str(),
                     why.c_str());
        return EStopVerdict::kRefused;
    }
    // What the stop ends: the session's browse in the Hubmaster, and the answers of the media agent a
    // prepared request of it was handed to (which only that agent knows to have ended).
    std::string ended, notSent;
    if (browsing) {
        unsigned enabled = 0;
        ZYPlatformInfo::getNumber("EventManager", "EnableStopBrowseRequest", &enabled);
        if (enabled != 0)
            ended = "its browse in the Hubmaster ends with \"The browse was stopped\"";
        else if (indexingV2)
            ended =
                "its index server is told to stop it (its browse in the Hubmaster goes on: EventManager "
                "EnableStopBrowseRequest is 0)";
        else
            notSent =
                "stopping a session's browses is switched off (EventManager EnableStopBrowseRequest is "
                "0): its browse in the Hubmaster goes on";
    }
    if (!handed.mediaAgent.empty()) {
        std::string host, client = handed.mediaAgent;
        int service = 0, port = 0;
        if (!DemangleHostName(handed.mediaAgent, host, client, service, port) || client.empty())
            client = handed.mediaAgent.substr(0, handed.mediaAgent.find('*'));
        ended += (ended.empty() ? "" : "; ") + std::string("media agent [") + client +
                 "], which its prepared request was handed to, is told to end the answers of it";
    }
    if (ended.empty() && !notSent.empty()) {
        log.debugLvl(0, "Stop request for session [%s] of %s, %s by %s not sent: %s", guid.c_str(),
                     loggedUser(owner.userId).c_str(), loggedClient(owner.clientId).c_str(), who.c_str(),
                     notSent.c_str());
        why = notSent;
        return EStopVerdict::kNotSent;
    }
    log.debugLvl(0, "Stop request for session [%s] of %s, %s by %s accepted: %s; %s", guid.c_str(),
                 loggedUser(owner.userId).c_str(), loggedClient(owner.clientId).c_str(), who.c_str(),
                 why.c_str(), ended.empty() ? "nothing of it was running" : ended.c_str());
    if (ends) *ends = ended;
    task.setbrowseSessionGUID(guid.c_str());
    if (g_poControllerThreadHM) g_poControllerThreadHM->processStopReq(&task);
    return ended.empty() ? EStopVerdict::kNothingRunning : EStopVerdict::kAccepted;
}

EEntityStep resolveRoutedEntities(databrowse::BrowseRequest& received, TDirectTask& t, CZyNetwork* session,
                                  std::string& errorText) {
    CBrowseLog log(kTag);
    dropRestoreMediaAgent(received);
    std::string text;
    int rc = received.serialize(text, false);
    if (rc == 0 && resolveBackupSetGuid(t.task->requestReads(), received, log)) {
        text.clear();
        rc = received.serialize(text, false);
    }
    if (rc != 0) {
        log.debugLvl(0, "Failed to serialize BrowseRequest with error code [%d]", rc);
        errorText = serializeFailure(rc);
        return EEntityStep::kErrorReply;
    }

    // Whole requests are written out only at the levels that show them.
    if (log.getDebugLevel() >= 3) log.debugLvl(3, "browse xml [%s]", maskedRequestText(received).c_str());
    SprocWrapper<EntityNameToIdConverter, EntityNameToIdConverter_t> resolver("EntityNameToIdConverter",
                                                                              nullptr);
    resolver.getCursor()->setValues(text.c_str());
    // The request as it is beside its text: the resolver of this process completes it without reading
    // the text back, and hands it back without this side reading its answer's text.
    resolver.getCursor()->bindArgObject(hubdb::messageObject(received));
    text.clear();
    std::unique_ptr<zydb::CProcObject> answer;
    rc = resolver.getXMLFromCursor(text, nullptr, false, true, answer);
    if (rc != 0) {
        log.debugLvl(0, "EntityNameToIdConverter failed with error [%d]  for xml [%s]", rc, text.c_str());
        errorText = "Failed to process browse request";
        return EEntityStep::kErrorReply;
    }
    if (std::unique_ptr<databrowse::BrowseRequest> resolved =
            hubdb::takeMessage<databrowse::BrowseRequest>(answer))
        t.request.swapContent(*resolved);
    else
        rc = t.request.unserialize(text);
    if (rc != 0) {
        // The resolver's text carries the caller's token: what is logged and returned is the masked
        // request that went in.
        const std::string masked = maskedRequestText(received);
        log.debugLvl(0, "Failed to unserialize [%s] with error code [%d]", masked.c_str(), rc);
        errorText = "Failed to unserialize [" + masked + "] with error code [" + std::to_string(rc) + "]";
        return EEntityStep::kErrorReply;
    }
    if (log.getDebugLevel() >= 10)
        log.debugLvl(10, "XML  output from SP [%s]", maskedRequestText(t.request).c_str());

    if (has(&t.request, R::opType) && t.request.getint64(R::opType) == databrowse::BROWSE_OP_STOP)
        return handOverStop(t, session, errorText, log);
    return EEntityStep::kContinue;
}
