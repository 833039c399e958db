// Browse of a SharePoint farm at the farm level: the answer lists the farm's primary member server and
// its member servers, each as a SharePoint item, in one end response: sent to an entry-point caller,
// or carried in the "SP_FLAGS_ENABLED" flag of the request prepared for a network caller. On the
// caller's thread under the worker's lock.
#include "Db/Proc/AppGetSharePointMemberServers.h"
#include "Db/Tbl/APP_Client.h"
#include "platform/db/cursorwrapper.h"
#include "platform/db/dbresult.h"
#include "platform/entities/installmanager.h"
#include "platform/log/evdebug.h"
#include "worker/fastbrowsehmworkerthread.h"

namespace {

using R = databrowse::BrowseRequest::f;
using I = EVGui::SharePointItem::f;

const char* const kFunction = "CWorkerThreadHM::getClientsforPseudoClientBrowse";
const char* const kSharePointFlagName = "SP_FLAGS_ENABLED";
constexpr int64_t kSharePointFlagType = 8;
constexpr int64_t kPrimaryMemberItem = 2000;
constexpr int64_t kMemberItem = 2001;

// One server as an item of the answer.
databrowse::SPDataPathContents serverItem(long clientId, int64_t itemType, std::string& itemXml) {
    std::string name, guid;
    APP_Client client(nullptr);
    client.setIsolationType(4);
    client.setWhere("id = %ld", clientId);
    if (client.getOneRow(&client, false, 0, 0) == zydb::DB_OK) {
        name = client.getDataPtr()->name;
        guid = client.getDataPtr()->GUID;
    }
    EVGui::SharePointItem item;
    item.setstring(I::path, "\\MB\\" + std::to_string(clientId));
    item.setint64(I::itemType, itemType);
    item.setstring(I::name, name);
    ZyEntities::ClientEntity entity;
    entity.setstring(ZyEntities::ClientEntity::f::clientName, name);
    entity.setint64(ZyEntities::ClientEntity::f::clientId, clientId);
    entity.setstring(ZyEntities::ClientEntity::f::clientGUID, guid);
    item.setObjectAccessor(entity, I::client);
    itemXml.clear();
    item.serialize(itemXml);
    databrowse::SPDataPathContents contents;
    contents.setstring(databrowse::SPDataPathContents::f::spItem, itemXml);
    return contents;
}

}  // namespace

int CWorkerThreadHM::getClientsforPseudoClientBrowse(int clientId) {
    EvDebug log(nullptr);
    // The session the answer names; ids of this process never collide, even within one second.
    CNMessageBase* session = m_browseRequest.getObjectAccessor(R::session, true);
    std::string sessionId = session->getstring(databrowse::BrowseSession::f::sessionId);
    if (!sessionId.empty()) {
        log.DebugLvl(kFunction, 1, "Session id[%s].", sessionId.c_str());
    } else {
        sessionId = GenerateSessionId();
        session->setstring(databrowse::BrowseSession::f::sessionId, sessionId);
    }

    // 2, 3. The primary member server and the members the database lists.
    unsigned long primary = 0;
    // A farm without a primary member server lists its members only (never a client 0).
    const bool hasPrimary = ClientProperties(static_cast<unsigned long>(clientId), nullptr)
                                    .getSharePointPrimaryMemberServer(primary) == 0 &&
                            primary != 0;
    App::GetSPMemberServersRequest request;
    request.setint64(App::GetSPMemberServersRequest::f::at2_2, 1);
    CNMessageBase* farm = request.getObjectAccessor(App::GetSPMemberServersRequest::f::entity, true);
    farm->setint64(ZyEntities::GenericEntity::f::clientId, clientId);
    farm->setint64(ZyEntities::GenericEntity::f::_type_, 3);
    std::string requestXml, answerXml, error;
    request.serialize(requestXml);
    SprocWrapper<AppGetSharePointMemberServers, AppGetSharePointMemberServers_t> procedure(kFunction,
                                                                                           nullptr);
    procedure.getCursor()->setValues(requestXml.c_str());
    log.Error(kFunction, "primaryMember [%lu].", primary);
    if (procedure.getXMLFromCursor(answerXml, &error, false, true) != 0) {
        log.Error(kFunction, "Error failed to get sharepoint member servers [%d], [%s]", -1, error.c_str());
        // The caller sends the error once, as for any failed request.
        setLastError(databrowse::BROWSE_ERR_GENERIC,
                     "Error failed to get sharepoint member servers " + error);
        return 0;
    }
    log.Error(kFunction, "Client[%d] has member servers[%s]", clientId, answerXml.c_str());

    // 4, 5. The items: the primary first, then every member with a client id, as the database gives them.
    std::vector<CNMessageBase> items;
    std::string itemXml;
    if (hasPrimary) {
        items.push_back(serverItem(static_cast<long>(primary), kPrimaryMemberItem, itemXml));
        log.Error(kFunction, "Client[%lu] has primary member servers[%s]", primary, itemXml.c_str());
    } else {
        log.Error(kFunction, "Client[%d] has no primary member server", clientId);
    }
    App::GetSPMemberServersResponse answer;
    if (answer.unserialize(answerXml) == 0) {
        CNMessageBase* block =
            answer.getObjectAccessor(App::GetSPMemberServersResponse::f::memberServers, false);
        auto* members = block ? block->getlistobject(App::Msg255::f::memberServers, false) : nullptr;
        for (CNMessageBase& member : members ? *members : std::vector<CNMessageBase>{}) {
            CNMessageBase* entity = member.getObjectAccessor(App::MemberServer::f::entity, false);
            if (!entity || !entity->isSet(ZyEntities::GenericEntity::f::clientId)) continue;
            const long id = static_cast<long>(entity->getint64(ZyEntities::GenericEntity::f::clientId));
            if (id < 1) continue;
            items.push_back(serverItem(id, kMemberItem, itemXml));
        }
    }

    // The end response that carries them.
    databrowse::BrowseResponse response;
    response.setint64(databrowse::BrowseResponse::f::respType, databrowse::BROWSE_RESP_END);
    response.setstring(databrowse::BrowseResponse::f::workerId, m_workerId);
    databrowse::BrowseSession answerSession;
    answerSession.setstring(databrowse::BrowseSession::f::sessionId, sessionId);
    response.setObjectAccessor(answerSession, databrowse::BrowseResponse::f::session);
    databrowse::BrowseError none;
    none.setint64(databrowse::BrowseError::f::errorCode, 0);
    response.setlistobject(databrowse::BrowseResponse::f::messages, {none});
    databrowse::Msg52 contents;
    contents.setlistobject(databrowse::Msg52::f::spDataPathContents, items);
    databrowse::Msg58 sharePoint;
    sharePoint.setObjectAccessor(contents, databrowse::Msg58::f::at4_4);
    databrowse::Msg60 mining;
    mining.setObjectAccessor(sharePoint, databrowse::Msg60::f::at8_8);
    databrowse::BrowseAdvancedConfig settings;
    settings.setObjectAccessor(mining, databrowse::BrowseAdvancedConfig::f::appMiningBlock);
    response.getObjectAccessor(databrowse::BrowseResponse::f::browseResult, true)
        ->setObjectAccessor(settings, databrowse::BrowseResult::f::advancedSettings);
    std::string responseXml;
    response.serialize(responseXml);

    // An entry-point caller has its whole answer: the request is over, nothing follows the end.
    if (m_appMiningFromGui) {
        sendItemBack(responseXml);
        m_replyChannel.markEndSent();
        setAsyncMode(false);
        return 1;
    }

    // A network caller gets the answer inside the prepared request.
    if (!m_ptrAdditionalFlags) {
        m_ownAdditionalFlags = std::make_unique<std::vector<databrowse::AdditionalFlag>>();
        m_ptrAdditionalFlags = m_ownAdditionalFlags.get();
    }
    databrowse::AdditionalFlag flag;
    flag.setint64(databrowse::AdditionalFlag::f::flagType, kSharePointFlagType);
    flag.setstring(databrowse::AdditionalFlag::f::flagName, kSharePointFlagName);
    flag.setstring(databrowse::AdditionalFlag::f::value, responseXml);
    m_ptrAdditionalFlags->push_back(flag);
    std::vector<CNMessageBase> flags(m_ptrAdditionalFlags->begin(), m_ptrAdditionalFlags->end());
    m_browseRequest.getObjectAccessor(R::advOptions, true)
        ->getObjectAccessor(databrowse::Msg63::f::advancedConfig, true)
        ->getObjectAccessor(databrowse::BrowseAdvancedConfig::f::flagBlock, true)
        ->setlistobject(databrowse::Msg9::f::additionalFlags, flags);
    setDirectAPIBrowseReq(&m_browseRequest);
    return 1;
}
