#include "service/fastbrowsehm_api.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <future>
#include <string>
#include <utility>

#include "appbrowse/fastbrowsehm_vsa.h"
#include "fbDebug/fbdebug.h"
#include "planning/browsetask.h"
#include "planning/confmgr.h"
#include "planning/superbrowsemanager.h"
#include "platform/config/zyplatforminfo.h"
#include "platform/db/requestscope.h"
#include "platform/entities/zyclient.h"
#include "platform/indexing/idxsrvrsessioncache.h"
#include "platform/msg/errorresponse.h"
#include "platform/msg/msg_registry.h"
#include "platform/net/zynetwork_pool.h"
#include "platform/tasks/evrestoretask.h"
#include "platform/tasks/evreturndata.h"
#include "service/adminthread.h"
#include "service/browserouterthread.h"
#include "service/controllerthread.h"
#include "service/routerentities.h"
#include "worker/authentication.h"
#include "worker/fastbrowsehmworkerthread.h"
#include "worker/odssessioncache.h"

// Created when the library is loaded, in this order; no thread starts before fastBrowseHMInitialize.
ZyNetworkPoP* g_poSessionPool = new ZyNetworkPoP();
CControllerThreadHM* g_poControllerThreadHM = new CControllerThreadHM();
CBrowseRouterThreadHM* g_poBrowseRouterThreadHM = new CBrowseRouterThreadHM();
AdminThreadHM* g_poAdminThreadHM = new AdminThreadHM();

namespace {

const bool s_logInstanceMade = (g_pLogInstance = new EvDebugFileInstance(), true);
// Workers borrow their index-service sessions from the process-wide pool.
const bool s_poolShared = (CWorkerThreadHM::setSessionPool(g_poSessionPool), true);
const bool s_confMgrMade = (g_poConfMgr = new CConfigurationMgr(), true);
// The planner sits below the VM code; it reaches the block-level mount description through this hook.
const bool s_mountXmlWired =
    (SuperBrowseManager::setBlockLevelMountXmlProvider(&CVSALiveBrowse::getBlockLevelMountXml), true);

enum class ServiceState { Loaded, Started, CleanedUp };
std::atomic<ServiceState> s_state{ServiceState::Loaded};

// The catalogue's families register themselves with the registry on first use; this makes that
// happen now and checks that the family is there.
bool registerMessageFamily(const char* ns) {
    for (const MsgClassType* type : CNMessageRegistry::instance().allClasses())
        if (std::strcmp(type->info().ns, ns) == 0) return true;
    return false;
}

void joinIfStarted(OSThread* thread) {
    if (thread && thread->isStarted()) thread->join();
}

}  // namespace

extern "C" int fastBrowseHMInitialize() {
    ServiceState expected = ServiceState::Loaded;
    if (!s_state.compare_exchange_strong(expected, ServiceState::Started)) {
        CBrowseLog log("FBHMCONTROLLER");
        log.debugLvl(-1, "fastBrowseHMInitialize: the service was %s; not started again",
                     expected == ServiceState::Started ? "started already" : "cleaned up");
        // A running service is what the caller asked for; one that was cleaned up cannot serve.
        return expected == ServiceState::Started ? 1 : 0;
    }
    EvDebug debug(g_pLogInstance);
    debug.initialize(0x0C255DB9, 0, false, "");

    CBrowseLog log("FBHMCONTROLLER");
    for (const char* family : {"Indexing", "databrowse", "IdxMetadata"})
        if (!registerMessageFamily(family)) log.debugLvl(-1, "message family [%s] is not registered", family);

    g_poControllerThreadHM->start(nullptr);
    g_poBrowseRouterThreadHM->start(nullptr);
    g_poAdminThreadHM->start(nullptr);
    g_poSessionPool->setConnectionParams(40, 1, 0, 3600, 120);
    return 1;
}

namespace {

bool answerUserStop(EvMultiEntityRestoreTask& task, databrowse::BrowseRequest& request) {
    std::string why, ends;
    const EStopVerdict verdict = judgeStop(request, task, 0, checkClientMapSetting(), why, &ends);
    EvRestoreReturn channel(static_cast<long long>(task.getJobId()), 0, true, nullptr, nullptr);
    // The caller learns the verdict: a refusal (with the permission code) or an unknown session as an
    // error, an allowed stop as a note of what it ends (nothing, when the session's browses had ended).
    const bool allowed = verdict == EStopVerdict::kAccepted || verdict == EStopVerdict::kNothingRunning;
    const std::string text = verdict == EStopVerdict::kAccepted ? "The stop was accepted: " + ends
                             : verdict == EStopVerdict::kNothingRunning
                                 ? "Nothing was left to stop: the session's browses had ended"
                             : verdict == EStopVerdict::kRefused ? "The stop was refused: " + why
                             : verdict == EStopVerdict::kNotSent ? "The stop was not sent: " + why
                                                                 : "No such session: nothing was stopped";
    const databrowse::BrowseErrorCode code = allowed ? databrowse::BROWSE_ERR_NONE
                                             : verdict == EStopVerdict::kRefused
                                                 ? databrowse::BROWSE_ERR_PERMISSION
                                                 : databrowse::BROWSE_ERR_GENERIC;
    databrowse::BrowseResponse answer =
        errorresponse::of(code, text, allowed ? errorresponse::kWarning : errorresponse::kError);
    std::string xml;
    if (answer.serialize(xml) == 0) channel.returnXMLItem(xml);
    channel.end(0);
    // With stopping a session's browses switched off, the stop is handled as the switch says (its
    // browses are left to run): handled, as an allowed one is.
    return allowed || verdict == EStopVerdict::kNotSent;
}

}  // namespace

extern "C" int fastBrowseHMProcessRequestMultiEntity(EvMultiEntityRestoreTask* task,
                                                     bool doNotFallBackForFilters,
                                                     databrowse::ForceUseIndexType forceUseIndexType,
                                                     databrowse::BrowseRequest* browseRequest) {
    // The request reads the registry, its clients and the database once each, a stop as a browse; the
    // task hands the scope to the request's steps (the caller's own when it opened one).
    zydb::CRequestReads reads;
    const CTaskRequestReads lent(task, &reads);
    CBrowseLog log("FBHMCONTROLLER");
    CControllerThreadHM* controller = g_poControllerThreadHM;
    if (s_state.load() == ServiceState::CleanedUp || !controller) {
        log.debugLvl(-1, "browse request after clean-up refused");
        return 0;
    }
    if (!task) {
        log.debugLvl(-1, "browse request without a task refused");
        return 0;
    }
    if (task->getBrowseOpType() == databrowse::BROWSE_OP_STOP) {
        // A user's stop the host passes on (the request carries the user's token) is judged as the
        // router judges one, and its verdict answered on the task's channel: the host's caller learns it.
        if (browseRequest && !browseRequest->getstring(databrowse::BrowseRequest::f::token).empty())
            return answerUserStop(*task, *browseRequest) ? 1 : 0;
        return controller->processStopReq(task) ? 1 : 0;
    }
    within32bits::keep(*task);
    if (browseRequest) within32bits::keep(*browseRequest);
    return controller->newRequest(task, false, doNotFallBackForFilters, forceUseIndexType, browseRequest) ? 1
                                                                                                          : 0;
}

extern "C" int fastBrowseHMWaitForListener(int waitSeconds, char* reason, unsigned long reasonSize) {
    const auto tell = [&](const std::string& why) {
        if (reason && reasonSize > 0) std::snprintf(reason, reasonSize, "%s", why.c_str());
        return 0;
    };
    const ServiceState state = s_state.load();
    CBrowseRouterThreadHM* router = g_poBrowseRouterThreadHM;
    if (state != ServiceState::Started || !router || !router->getSessionServer())
        return tell(state == ServiceState::Loaded ? "the service was not started"
                                                  : "the service was cleaned up");
    CZyNetworkServer* server = router->getSessionServer();
    const std::shared_future<CUxError> listening = server->Listening();
    if (listening.wait_for(std::chrono::seconds(std::max(waitSeconds, 0))) != std::future_status::ready)
        return tell(std::string(CBrowseRouterThreadHM::kServerName) + " is not listening after " +
                    std::to_string(waitSeconds) + " s");
    if (const CUxError& error = listening.get(); error.IsError())
        return tell(std::string(CBrowseRouterThreadHM::kServerName) +
                    " could not listen: " + error.GetErrorText());
    const int port = server->GetPort();
    if (port <= 0) return tell(std::string(CBrowseRouterThreadHM::kServerName) + " has stopped listening");
    if (reason && reasonSize > 0) reason[0] = '\0';
    return port;
}

extern "C" int fastBrowseHMCleanUp() {
    const ServiceState before = s_state.exchange(ServiceState::CleanedUp);
    if (before == ServiceState::CleanedUp) return 1;

    // In the order the threads are told to stop; each is joined before anything it uses is freed.
    if (g_poControllerThreadHM) g_poControllerThreadHM->terminate();
    if (g_poBrowseRouterThreadHM) g_poBrowseRouterThreadHM->terminate();
    if (g_poAdminThreadHM) g_poAdminThreadHM->terminate();
    joinIfStarted(g_poControllerThreadHM);
    joinIfStarted(g_poBrowseRouterThreadHM);
    joinIfStarted(g_poAdminThreadHM);
    // The controller goes first: it ends the workers still waiting for answers (a mining's worker gives
    // its launched instance to the grace then) and waits for the stops still on their way to media agents
    // (one may borrow a session to an index server). Only then is nothing left to add to the caches.
    delete std::exchange(g_poControllerThreadHM, nullptr);
    // Mining instances kept for a next page, and idle sessions to index services, end with the service.
    ODSSessionCache::Instance()->endGraces();
    I2::Utils::DbToIdxSrvrSessionCache::Instance()->clearAll();

    delete std::exchange(g_poBrowseRouterThreadHM, nullptr);
    CWorkerThreadHM::setSessionPool(nullptr);
    delete std::exchange(g_poSessionPool, nullptr);
    delete std::exchange(g_pLogInstance, nullptr);
    return 1;
}
