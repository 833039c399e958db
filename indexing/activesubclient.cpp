// The index server of a subclient-index backup set for an indexing-V2 request: the first enabled
// subclient whose index database has a server names it in the request's routing block. A member of
// CWorkerThreadHM, run under the worker's lock by the thread that holds it.
#include <string>
#include <vector>

#include "fbDebug/fbdebug.h"
#include "platform/entities/applicationid.h"
#include "platform/entities/clientapplist.h"
#include "platform/entities/entityconfig.h"
#include "platform/entities/jmactivityctrl.h"
#include "platform/errors/fxerrorutil.h"
#include "platform/indexing/idxdbinfocache.h"
#include "worker/fastbrowsehmworkerthread.h"

namespace {

const char* const kTag = "FBHMWORKER";
constexpr int kBackupActivity = 4;
constexpr unsigned long kDefaultKelmarchId = 2;
constexpr const char* kConfigurationText =
    "Please check with your Administrator for configuration issues. More details can be found in Browse.log "
    "on "
    "the Hubmaster";
constexpr const char* kNoIndexServerText =
    "Unable to find index server for subclient index. Please make sure atleast one subclient is properly "
    "configured and the index server is reachable";

}  // namespace

CUxError CWorkerThreadHM::GetActiveSubclient(long appType, int backupSetId,
                                             const std::string& backupSetGuid) {
    CBrowseLog log(kTag);
    const CNMessageBase* entity =
        m_browseRequest.getObjectAccessor(databrowse::BrowseRequest::f::entity, false);
    const unsigned long kelmarchId =
        entity && entity->isSet(ZyEntities::GenericEntity::f::kelmarchId)
            ? static_cast<unsigned long>(entity->getint64(ZyEntities::GenericEntity::f::kelmarchId))
            : kDefaultKelmarchId;
    const unsigned int idxAppType =
        entity ? static_cast<uint32_t>(entity->getint64(ZyEntities::GenericEntity::f::applicationId)) : 0;

    std::vector<unsigned long> ids;
    std::vector<std::string> names;
    const int listed = ClientApplicationList::getSubclientList(
        ids, names, static_cast<unsigned long>(appType), static_cast<unsigned long>(backupSetId), 0, 1);
    bool haveLastError = false;
    CUxError lastError;
    if (listed != 0) {
        log.debugLvl(0, "Failed to list the subclients of backupset [%d], error [%d]", backupSetId, listed);
        ids.clear();
    }
    for (unsigned long id : ids) {
        bool enabled = false;
        if (JMActivityCtrl::isSubclientEnabled(id, enabled, kBackupActivity) != 0 || !enabled) continue;
        if (!ApplicationId(kelmarchId, id).getSubclient()) continue;
        std::string subclientGuid;
        if (Subclient(id).getGUIDStr(subclientGuid, nullptr) != 0) continue;
        std::string serverName;
        std::vector<I2::Utils::IdxSrvrInfo> servers;
        lastError = I2::Utils::IdxDbInfoCache::Instance()->FetchOrSetIdxSrvrForDb(
            subclientGuid, backupSetGuid, idxAppType, serverName, servers);
        haveLastError = true;
        if (lastError.IsError() || servers.empty()) {
            log.debugLvl(0, "No index server for the index of subclient [%lu]: [%s]", id,
                         lastError.GetErrorText().c_str());
            continue;
        }
        CNMessageBase* indexing =
            m_browseRequest.getObjectAccessor(databrowse::BrowseRequest::f::indexing, true);
        CNMessageBase* routing = indexing->getObjectAccessor(databrowse::Msg91::f::indexingInfo, true);
        CNMessageBase* database = routing->getObjectAccessor(databrowse::IndexingInfo::f::indexDBInfo, true);
        database->setstring(databrowse::IndexDBInfo::f::mediaAgentName, servers.front().routingName());
        log.debugLvl(1, "Index server [%s] of subclient [%lu] serves the browse",
                     servers.front().m_name.c_str(), id);
        return CUxError::Success();
    }
    // A subclient without an index server must not count as found: the request would carry none.
    setLastError(databrowse::BROWSE_ERR_REQUEST_PROCESSING, kConfigurationText);
    if (haveLastError && lastError.IsError()) return lastError;
    return FXErrorUtil::ErrorInt(-1, FXCodeLocation(__FILE__, __PRETTY_FUNCTION__, __LINE__),
                                 kNoIndexServerText);
}
