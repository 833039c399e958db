// Super browse: the worker's road to a media agent's index service. It reads the settings that shape
// the request, chooses the media agent, has the indexing-V1 request assembled and then leaves it
// prepared for a direct caller, answers a media-prediction request itself, refuses a media agent older
// than the backups, or sends it and records the worker in the session's configuration record so that
// the answers relayed by "BrowseRouter" find it. Run by dispatchRequest on the thread that holds the
// worker's lock.
#include <algorithm>

#include "fbDebug/fbdebug.h"
#include "indexing/superbrowserequest.h"
#include "planning/browsetask.h"
#include "planning/confmgr.h"
#include "planning/confrecord.h"
#include "planning/superbrowsemanager.h"
#include "platform/config/zyplatforminfo.h"
#include "platform/entities/zyclient.h"
#include "platform/entities/zyglobalparam.h"
#include "platform/errors/evmessagecontainer.h"
#include "platform/errors/evmessageids.h"
#include "platform/indexing/supersearch.h"
#include "platform/net/zynet_directory.h"
#include "platform/net/zynetwork_pool.h"
#include "platform/tasks/evrestoretask.h"
#include "worker/fastbrowsehmworkerthread.h"

namespace {

const char* const kTag = "FBHMWORKER";
const char* const kRetentionParameter = "RetentionBasedBrowse";
const char* const kIndexService = "IndexingService_0";
constexpr uint32_t kNoOldestVersion = 0xFFFFFFFF;

EvMessageContainer message(int id, const std::string& mediaAgent) {
    EvMessageContainer container;
    container.SetMessageID(id, true);
    container << mediaAgent.c_str();
    return container;
}

// The option block of the incoming request; null when it has none.
CNMessageBase* optionBlock(databrowse::BrowseRequest& request) {
    return request.isSet(databrowse::BrowseRequest::f::options)
               ? request.getObjectAccessor(databrowse::BrowseRequest::f::options, false)
               : nullptr;
}

}  // namespace

bool CWorkerThreadHM::tryPlannerMediaAgents() {
    CBrowseLog log(kTag);
    SuperBrowseManager* planner = m_browseTask->getDataPtr()->planner;
    m_maFromTaskOptions = false;
    std::list<std::string> candidates = planner->getSuperBrowseMa();
    candidates.sort();
    candidates.unique();
    bool connected = false;
    std::string tried;  // the agents the caller is told could not be reached
    for (const std::string& candidate : candidates) {
        std::string host, clientName;
        int service = 0, port = 0;
        DemangleHostName(candidate, host, clientName, service, port);
        m_maHostName = candidate;
        m_maClientName = clientName;
        if (getSession()) {
            connected = true;
            break;
        }
        tried += (tried.empty() ? "" : ", ") + (clientName.empty() ? candidate : clientName);
    }
    if (!connected) {
        if (m_errorCode != databrowse::BROWSE_ERR_POWER_MANAGED_MA) {
            log.debugLvl(0, "Failed to connect to any of the media agents associated with super browse.");
            setErrorMessage(message(evmsg::kMediaAgentUnreachable, tried));
        }
        return false;
    }
    if (ZyNetworkPoP* pool = getSessionPool()) {
        if (m_session && pool->releaseSession(m_session, m_maHostName.c_str(), kIndexService) != 0)
            log.debugLvl(0, "failed to release connection to the indexing service pool");
    }
    m_session = nullptr;
    if (getMediaAgentDetails() != 0) {
        log.debugLvl(0, "failed to get details of media agent [%s]", m_maClientName.c_str());
        return false;
    }
    planner->selectMediaAgent(m_maHostName);
    return true;
}

bool CWorkerThreadHM::chooseSuperBrowseMediaAgent() {
    CBrowseLog log(kTag);
    TBrowseTask* bt = m_browseTask->getDataPtr();
    SuperBrowseManager* planner = bt->planner;
    const int opType = static_cast<int>(m_privateTask->getBrowseOpType());
    const bool webServer = m_superSearchOpType == superSearchKind::kContentIndexReport ||
                           (superSearchKind::namesWebServer(m_superSearchOpType) &&
                            !m_privateTask->getWebServerHostName().empty());
    if (webServer) {
        ZYClient client(m_privateTask->getWebServerHostName(), true, nullptr);
        client.getNetworkHostnameMangled(m_maHostName);
        client.getName(m_maClientName);
        if (getMediaAgentDetails() != 0) {
            log.debugLvl(0, "failed to get details of media agent [%s]", m_maClientName.c_str());
            return false;
        }
        if (m_superSearchOpType != superSearchKind::kContentIndexReport && !m_syncEnabled && planner)
            planner->selectMediaAgent(m_maHostName);
        return true;
    }
    if (m_indexingV2) {
        // Without a media agent in the task's options, the index server chosen with the indexing
        // information serves the browse.
        if (m_privateTask->getMediaAgentId() == 0) return true;
        if (getMediaAgent(bt) != 0) {
            log.debugLvl(0, "failed to determine media agent to be used for browse");
            return false;
        }
        if (!m_maFromTaskOptions) {
            m_maHostName.clear();
            m_maClientName.clear();
            return true;
        }
        if (getMediaAgentDetails() != 0) {
            log.debugLvl(0, "failed to get details of media agent [%s]", m_maClientName.c_str());
            return false;
        }
        return true;
    }
    if (!(bt->isSuperBrowse || opType == 7 || opType == 8 || opType == 9)) return true;
    if (!planner) {
        log.debugLvl(0, "unable to determine browse media agents associated with super browse");
        setErrorMessage(
            message(evmsg::kMediaAgentUnreachable, m_maClientName.empty() ? m_maHostName : m_maClientName));
        return false;
    }
    if (m_privateTask->getMediaAgentId() != 0) {
        if (getMediaAgent(bt) != 0) {
            log.debugLvl(0, "failed to determine media agent to be used for browse");
            return false;
        }
        return true;
    }
    return tryPlannerMediaAgents();
}

bool CWorkerThreadHM::assembleSuperBrowseRequest(TSuperBrowseRun& run) {
    // The user's token stays at the Hubmaster: a media agent trusts the Hubmaster's signature, and a
    // token it held would let whoever runs or poses as one browse as that user.
    forgetCallerToken();
    applyExchangeRetentionTags(run);
    addSuperBrowseCycles(run);
    if (m_maFromTaskOptions && !setStopBrowseCapability()) return false;
    fillSuperBrowseFields(run);
    if (m_indexingV2) return completeV2BrowseRequest(run);
    m_requestToReturn = &m_indexBrowseRequest;
    return true;
}

bool CWorkerThreadHM::mediaAgentOlderThanBackups() {
    CBrowseLog log(kTag);
    SuperBrowseManager* planner = m_browseTask->getDataPtr()->planner;
    if (!planner) return false;
    const uint32_t oldest = planner->getOldestMa();
    if (m_maVersion >= oldest || oldest >= kNoOldestVersion) return false;
    // A browse of the media agent's own client may read what the media agent wrote itself.
    CNMessageBase* ma = m_browseRequest.isSet(databrowse::BrowseRequest::f::c_ace727)
                            ? m_browseRequest.getObjectAccessor(databrowse::BrowseRequest::f::c_ace727, false)
                            : nullptr;
    CNMessageBase* entity =
        m_browseRequest.isSet(databrowse::BrowseRequest::f::entity)
            ? m_browseRequest.getObjectAccessor(databrowse::BrowseRequest::f::entity, false)
            : nullptr;
    if (ma && entity && ma->isSet(ZyEntities::ClientEntity::f::clientId) &&
        ma->getint64(ZyEntities::ClientEntity::f::clientId) ==
            entity->getint64(ZyEntities::GenericEntity::f::clientId))
        return false;
    log.debugLvl(0,
                 "MediaAgent [%s] version [%s] selected for browse is lesser than the backup version [%lu] "
                 "found in time range",
                 m_maClientName.c_str(), m_maVersionText.c_str(), static_cast<unsigned long>(oldest));
    EvMessageContainer refusal;
    refusal.SetMessageID(evmsg::kOlderMediaAgent, true);
    setErrorMessage(refusal);
    setLastError(databrowse::BROWSE_ERR_GENERIC, m_errorText);
    return true;
}

// The caller takes an indexing-v1 request to the media agent itself: signed, so the agent answers it
// without trusting whoever presents it.
bool CWorkerThreadHM::returnDirectIndexRequest(const TBrowseTask& bt) {
    CBrowseLog log(kTag);
    // The request's text as signed, where it serves the log line and the request sent to the caller.
    std::string& signedText = m_signedIndexRequestText;
    signedText.clear();
    if (m_requestToReturn == &m_indexBrowseRequest && !convertToSecureIndexBrowseReq(&signedText))
        return false;
    logSuperBrowseRequest(signedText.empty() ? nullptr : &signedText);
    log.debugLvl(0, "END - browse request with worker id [%s]", m_workerId.c_str());
    if (!bt.confId.empty()) g_poConfMgr->deleteConfRec(bt.confId);
    // Nothing will answer later: the worker ends with its caller.
    setAsyncMode(false);
    return true;
}

bool CWorkerThreadHM::superBrowse() {
    CBrowseLog log(kTag);
    TSuperBrowseRun run;
    TBrowseTask* bt = m_browseTask->getDataPtr();
    SuperBrowseManager* planner = bt->planner;

    int retention = 0;
    const int found = ZYGlobalParam::get(m_reads, kRetentionParameter, retention);
    if (found != 0) {
        log.debugLvl(
            3, "browse by retention is not enabled - function to query the parameter returned value [%d]",
            found);
    } else {
        run.retentionOn = retention == 1;
        if (run.retentionOn) run.flags.setint64(Indexing::BrowseFlags::f::retention, 1);
        log.debugLvl(3, "browse by retention is %senabled since global parameter [%s] is set to [%d]",
                     run.retentionOn ? "" : "not ", kRetentionParameter, retention);
    }

    int referenceCopy = 0;
    if (ZYPlatformInfo::getRegInt("~MediaAgent", "nUSEREFERENCECOPYID", &referenceCopy)) {
        if (referenceCopy != 0)
            log.debugLvl(0, "ReferenceCopy is enabled because of registry value nUSEREFERENCECOPY set to %d",
                         referenceCopy);
        else
            log.debugLvl(0, "ReferenceCopy is disabled because of registry value nUSEREFERENCECOPY set to 0");
        run.referenceCopyId = static_cast<uint32_t>(referenceCopy);
    }

    if (CNMessageBase* options = optionBlock(m_browseRequest)) {
        int partial = options->getint64(databrowse::BrowseOptions::f::partialIndex) != 0 ? 1 : 0;
        if (partial == 0) ZYPlatformInfo::getRegInt("~Indexing", "PARTIAL_DB", &partial);
        if (partial != 0 && options->getint64(databrowse::BrowseOptions::f::synthFullBrowse) == 0) {
            log.debugLvl(0, "Use Partial Index if needed.");
            options->setint64(databrowse::BrowseOptions::f::partialIndex, 1);
        }
    }
    m_indexBrowseRequest.setint64(Indexing::BrowseReq::f::referenceCopyId, run.referenceCopyId);

    if (ZYClient(ZYClient::hubmasterClientId()).getNetworkHostnameMangled(run.hubmasterHost) != 0) {
        log.debugLvl(0, "failed to fetch mangled host name of hubmaster");
        return false;
    }

    if (planner) {
        m_indexingV2 = planner->isIndexingV2();
        if (m_indexingV2) m_inputData.subclientId = planner->getAppId();
    }
    if (!chooseSuperBrowseMediaAgent()) return false;
    if (!m_maClientName.empty())
        log.debugLvl(0, "mediaAgent [%s], version [%s] will be used for the browse.", m_maClientName.c_str(),
                     m_maVersionText.c_str());

    if (!assembleSuperBrowseRequest(run)) return false;

    if (m_directAPI) return returnDirectIndexRequest(*bt);

    CNMessageBase* options = optionBlock(m_browseRequest);
    if (options && options->getint64(databrowse::BrowseOptions::f::predictVSADB) != 0) {
        logSuperBrowseRequest();
        // A prediction that fails is the caller's error, not an empty success.
        if (doIndexPrediction() != 1) {
            if (m_errorCode == databrowse::BROWSE_ERR_NONE)
                setLastError(databrowse::BROWSE_ERR_GENERIC, "Media prediction of the browse failed");
            sendErrorToBrowse();
        }
        sendEndResponse();
        bt->isSuperBrowse = 0;
        setAsyncMode(false);
        return true;
    }

    if (mediaAgentOlderThanBackups()) {
        logSuperBrowseRequest();
        return false;
    }

    // Sent, then logged: the media agent starts on it while the line is written.
    bool wentOut = false;
    std::string sentText;
    const bool sent = sendReqToMA(m_requestToReturn, true, &wentOut,
                                  m_requestToReturn == &m_indexBrowseRequest ? &sentText : nullptr);
    logSuperBrowseRequest(&sentText);
    // The agent is named once the request went out, a stop that came meanwhile included: the stop is
    // then sent on to it.
    if (wentOut && planner && !planner->getDisableStopBrowseFlag()) {
        if (CConfRecordRef record = g_poConfMgr->holdConfRec(m_privateTask->getbrowseSessionGUID()))
            record->updateWorkerInConf(m_workerId, m_maHostName);
    }
    if (!sent || getStopFlag()) return false;
    log.debugLvl(0, "browse request was successfully sent to mediaAgent [%s]", m_maClientName.c_str());
    return true;
}
