// Browse across an agent upgrade: Exchange database (53) and Lotus Notes (59, 77) clients whose agent
// was upgraded cannot browse backups of both sides together. A range that spans the upgrade is refused;
// an Exchange database range wholly before it (or a snapshot subclient) is answered from the Hubmaster
// database, one item per store of the client's default backup set. Members of CWorkerThreadHM run by
// intake right after normalisation, under the worker's lock.
#include <ctime>

#include "fbDebug/fbdebug.h"
#include "planning/browsetask.h"
#include "platform/config/zyplatforminfo.h"
#include "platform/entities/applicationid.h"
#include "platform/entities/apptypes.h"
#include "platform/entities/clientapplist.h"
#include "platform/entities/exchangesubclient.h"
#include "platform/errors/evmessagecontainer.h"
#include "platform/errors/evmessageids.h"
#include "platform/security/evsecuritymgr.h"
#include "platform/tasks/evrestoretask.h"
#include "platform/tasks/zydate.h"
#include "platform/threads/hubclock.h"
#include "worker/fastbrowsehmworkerthread.h"

namespace {

constexpr const char* kTag = "FBHMWORKER";
constexpr int kOpenRangeSubclientFlags = 4;

}  // namespace

CWorkerThreadHM::EUpgradeRoute CWorkerThreadHM::routeAcrossAgentUpgrade(EvMultiEntityRestoreTask* task) {
    CBrowseLog log(kTag);
    const apptype::EAppType appType = m_privateTask->getAppType();
    if (appType != apptype::kExchangeDatabase && appType != apptype::kNotes &&
        appType != apptype::kNotesDatabase)
        return EUpgradeRoute::kGoOn;
    const int upgradeTime = getClientUpgradeTime();
    if (upgradeTime == -1) {
        log.debugLvl(0, "unable to find client upgrade time. failing the browse operation.");
        sendEndResponse();
        return EUpgradeRoute::kFailed;
    }
    const int fromTime = static_cast<int>(task->getFromTime());
    const int toTime = static_cast<int>(task->getToTime());
    const int toTimeOrNow = toTime != 0 ? toTime : static_cast<int>(CHubClock::real().epochSeconds());
    bool after = false, before = false;

    if (appType != apptype::kExchangeDatabase) {
        log.debugLvl(0,
                     "lotus notes db browse for upgraded agent - from time [%lu], to time [%lu] and upgrade "
                     "time [%lu]",
                     static_cast<unsigned long>(fromTime), static_cast<unsigned long>(toTime),
                     static_cast<unsigned long>(static_cast<unsigned int>(upgradeTime)));
        // A browse at a point in time (an open start) reads the one backup cycle that holds it, so it
        // lies on that cycle's side of the upgrade; the versions of a range are those backed up within it.
        const bool pointInTime =
            fromTime == 0 && task->getBrowseOpType() != databrowse::BROWSE_OP_ALL_VERSIONS;
        if (getArchFileVersions(task, fromTime, toTimeOrNow, upgradeTime, after, before, pointInTime) != 0) {
            sendEndResponse();
            return EUpgradeRoute::kFailed;
        }
        if (!(after && before)) return EUpgradeRoute::kGoOn;
        handleInvalidBrowseTimeRange(fromTime, toTimeOrNow, upgradeTime);
        sendEndResponse();
        return EUpgradeRoute::kFailed;
    }

    bool fromDatabase = false;
    if (upgradeTime != 0) {
        log.debugLvl(
            0,
            "exchange db browse for upgraded agent - from time [%lu], to time [%lu] and upgrade time [%lu]",
            static_cast<unsigned long>(fromTime), static_cast<unsigned long>(toTime),
            static_cast<unsigned long>(static_cast<unsigned int>(upgradeTime)));
        if (getArchFileVersions(task, fromTime, toTimeOrNow, upgradeTime, after, before) != 0) {
            sendEndResponse();
            return EUpgradeRoute::kFailed;
        }
        if (after && before && fromTime != 0 && toTime != 0) {
            handleInvalidBrowseTimeRange(fromTime, toTime, upgradeTime);
            sendEndResponse();
            return EUpgradeRoute::kFailed;
        }
        fromDatabase = before && !after;
    }
    // The switch turns off only the snapshot rule, never a range wholly before the upgrade.
    int disabled = 0;
    ZYPlatformInfo::getRegInt("~Hubmaster", "bDISABLEEXDBHUBMASTERBROWSE", &disabled);
    if (disabled == 0 && !fromDatabase && isSnapSubclientInvolved(*task)) fromDatabase = true;
    if (!fromDatabase) return EUpgradeRoute::kGoOn;

    if (m_heldConfId.empty()) {
        m_browseTask->getDataPtr()->workerId = m_workerId;
        m_browseTask->initBrowse(m_privateTask.get());
        m_heldConfId = m_browseTask->getDataPtr()->confId;
    }
    const bool answered = handlePreUpgradeExDBBrowse(task);
    if (!answered) {
        EvMessageContainer message;
        message.SetMessageID(evmsg::kServerError, true);
        setErrorMessage(message);
        setLastError(databrowse::BROWSE_ERR_REQUEST_PROCESSING, std::string(m_errorText));
        sendErrorToBrowse();
        log.debugLvl(0, "browse from hubmaster db failed. check the event manager log for more details");
    }
    sendEndResponse();
    return answered ? EUpgradeRoute::kAnswered : EUpgradeRoute::kFailed;
}

bool CWorkerThreadHM::handlePreUpgradeExDBBrowse(EvRestoreTask* task) {
    CBrowseLog log(kTag);
    const unsigned long clientId = static_cast<unsigned long>(task->getClientId());
    const unsigned long appType = static_cast<unsigned long>(task->getAppType());
    const long instanceId = task->getInstanceId();
    const unsigned long kelmarchId = static_cast<unsigned long>(m_privateTask->getKelmarchId());
    const int userId = static_cast<int>(task->getUserId());
    EvVisibilityCheck visibility(static_cast<long long>(task->getJobId()), m_reads);

    unsigned long backupSetId = 0;
    std::string backupSetName;
    if (const int rc = ApplicationId::getDefaultBackupSet(clientId, appType, backupSetId, backupSetName);
        rc != 0) {
        log.debugLvl(
            0,
            "Unable to get default backupset for kelmarchId [%lu], clientId [%lu], and appType [%lu]. error "
            "ret = [%d]",
            kelmarchId, clientId, appType, rc);
        return false;
    }
    log.debugLvl(5, "Browsing backupset [%s] for clientId [%lu] and appType [%lu]", backupSetName.c_str(),
                 clientId, appType);
    const int flags = task->getFromTime() == 0 || task->getToTime() == 0 ? kOpenRangeSubclientFlags : 0;
    std::vector<unsigned long> ids;
    std::vector<std::string> names;
    if (const int rc =
            ClientApplicationList::getSubclientList(ids, names, appType, backupSetId, clientId, flags);
        rc != 0) {
        log.debugLvl(0, "Unable to get subclient list for backupset id [%lu]. error ret = [%d]", backupSetId,
                     rc);
        return false;
    }

    std::vector<CNMessageBase> items;
    for (size_t i = 0; i < ids.size() && i < names.size(); ++i) {
        const unsigned long subclientId = ids[i];
        const char* name = names[i].c_str();
        log.debugLvl(5, "constructing app id [%lu]", subclientId);
        ApplicationId application(kelmarchId, subclientId);
        if (!visibility.canSeeSubClient(userId, static_cast<long>(clientId), static_cast<long>(appType),
                                        instanceId, static_cast<long>(backupSetId),
                                        static_cast<long>(subclientId))) {
            log.debugLvl(3, "User [%ld] cannot see client [%lu], instance [%lu], and subclient [%s]",
                         static_cast<long>(userId), clientId, static_cast<unsigned long>(instanceId), name);
            continue;
        }
        unsigned long appId = 0;
        if (const int rc = application.getAppId(appId); rc != 0) {
            log.debugLvl(0, "Error code [%d] returned from getAppId function", rc);
            continue;
        }
        if (!application.getSubclient()) {
            log.debugLvl(
                0,
                "dynamic_cast to exchange subclient type failed for client [%lu], instance [%lu], and "
                "subclient [%s]",
                clientId, static_cast<unsigned long>(instanceId), name);
            continue;
        }
        MsExchangeSubclient subclient(appId);
        ZYDate referenceTime;
        referenceTime.setTime(task->getToTime());
        subclient.setRefTime(referenceTime);
        PropertiesList properties;
        if (subclient.getProperties(properties, nullptr) != 0) {
            log.debugLvl(
                0,
                "unable to fetch subclient properties for client [%lu], instance [%lu], and subclient [%s]",
                clientId, static_cast<unsigned long>(instanceId), name);
            continue;
        }
        for (const ApplProperty& property : properties) {
            if (property.getType() != ExchangeDBProperty::kPropertyType) continue;
            const ExchangeDBProperty store(property);
            const std::string storeText = store.getDescription() + "\\" + store.getStoreName();
            unsigned long long size = 0;
            if (const int rc = subclient.getStoreSize(storeText, size); rc != 0) {
                log.debugLvl(0, "Unable to get store size for store [%s]. error = [%d]", storeText.c_str(),
                             rc);
                continue;
            }
            databrowse::BrowseData item;
            item.setstring(databrowse::BrowseData::f::name, storeText);
            item.setint64(databrowse::BrowseData::f::size, static_cast<int64_t>(size));
            items.push_back(item);
        }
    }
    return answerStores(task, items);
}

bool CWorkerThreadHM::answerStores(EvRestoreTask* task, const std::vector<CNMessageBase>& items) {
    CBrowseLog log(kTag);
    databrowse::BrowseResponse response;
    databrowse::BrowseSession session;
    session.setstring(databrowse::BrowseSession::f::sessionId, task->getbrowseSessionGUID());
    response.setObjectAccessor(session, databrowse::BrowseResponse::f::session);
    // A direct caller gets the answer as the router's one reply (the worker has no channel): the items,
    // or the end when nothing is visible.
    if (isDirectAPI()) {
        response.setint64(databrowse::BrowseResponse::f::respType,
                          items.empty() ? databrowse::BROWSE_RESP_END : databrowse::BROWSE_RESP_ITEMS);
        if (!items.empty())
            response.getObjectAccessor(databrowse::BrowseResponse::f::browseResult, true)
                ->setlistobject(databrowse::BrowseResult::f::dataResultSet, items);
        setBrowseFromHMDB(true);
        setResponse(response);
        return true;
    }
    // Nothing visible: the caller's end response is the whole answer.
    if (items.empty()) return true;
    response.setint64(databrowse::BrowseResponse::f::respType, databrowse::BROWSE_RESP_ITEMS);
    response.setstring(databrowse::BrowseResponse::f::workerId, m_workerId);
    response.getObjectAccessor(databrowse::BrowseResponse::f::browseResult, true)
        ->setlistobject(databrowse::BrowseResult::f::dataResultSet, items);
    response.setint64(databrowse::BrowseResponse::f::c_36851f, 1);
    std::string xml;
    if (response.serialize(xml) != 0) {
        log.debugLvl(0, "failed to serialize browse response to xml");
        return false;
    }
    if (const int rc = writeToCaller(xml, false); rc != 0) {
        log.debugLvl(0, "unable to send xml item [%s] to GUI. error ret = [%d]", xml.c_str(), rc);
        return false;
    }
    log.debugLvl(0, "sent xml response [%s]", xml.c_str());
    return true;
}
