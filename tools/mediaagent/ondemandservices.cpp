#include "tools/mediaagent/ondemandservices.h"

#include <fstream>
#include <thread>
#include <vector>

#include "platform/config/zyplatforminfo.h"
#include "platform/entities/apptypes.h"
#include "platform/log/evdebug.h"
#include "platform/log/logtext.h"
#include "platform/msg/msg_classes.h"
#include "platform/net/zyd_launcher.h"
#include "platform/net/zynet_options.h"
#include "platform/net/zynetwork.h"
#include "platform/restoreproto/fsr_messages.h"
#include "platform/threads/hubmutex.h"
#include "tools/mediaagent/superbrowseanswer.h"
#include "tools/mediaagent/v2answer.h"

namespace mediaagent {

struct COnDemandServices::TState {
    TOnDemandOptions options;
    CHubMutex mutex;  // guards the journal file

    void journal(const std::string& line) {
        if (options.journalPath.empty()) return;
        CHubMutexLock lock(mutex);
        // One line, whatever the caller's texts in it hold.
        std::ofstream(options.journalPath, std::ios::app) << logtext::escaped(line) << '\n';
    }
    // Mining requests come from the Hubmaster's workers; anyone else is told so, in the journal and the
    // log with what was refused (`noted`, `what`) and whom (`peer`, "" for an anonymous caller). Nothing
    // signs a mining request: the caller must go through the Hubmaster.
    const char* refuse(const std::string& service, const std::string& noted, const std::string& what,
                       const std::string& peer) {
        journal(service + " refused " + noted + " peer=" + peer);
        EvDebug log(nullptr);
        log.setPrefixMessage("MEDIAAGENT");
        log.debugLvl(0, "%s by [%s]: %s: refused: it answers only the Hubmaster", what.c_str(),
                     peer.empty() ? "an anonymous caller" : peer.c_str(), service.c_str());
        return "This mining service answers only the Hubmaster; mine through the Hubmaster";
    }
};

namespace {

using R = databrowse::BrowseRequest::f;
using C = databrowse::ApplicationMiningConnectionInfo::f;

// One launched instance: the service it is and the account the launch gave it.
class CMiningInstance : public CLaunchedInstance {
public:
    CMiningInstance(std::shared_ptr<COnDemandServices::TState> state, const TZyLaunch& launch)
        : CLaunchedInstance(launch, &onXml), m_state(std::move(state)), m_service(launch.service) {
        if (launch.request) {
            m_user = launch.request->getstring(CNSession::LaunchOnDemandServiceReq::f::userName);
            m_password = launch.request->isSet(CNSession::LaunchOnDemandServiceReq::f::password);
        }
    }
    // The serving threads end first: they read this instance's members, which the base class's own
    // stop would come too late for.
    ~CMiningInstance() override { endServing(); }

private:
    static void onXml(ZynCallback_e, CZyNetworkServer* server, long long handle, CNMessageBase* message);
    void serve(CZyNetwork& session, databrowse::BrowseRequest& request);

    const std::shared_ptr<COnDemandServices::TState> m_state;
    const std::string m_service;
    std::string m_user;
    bool m_password = false;
};

CNMessageBase* child(CNMessageBase* parent, const MsgFieldRef& f) {
    return parent && parent->isSet(f) ? parent->getObjectAccessor(f, false) : nullptr;
}

CNMessageBase* miningBlock(databrowse::BrowseRequest& request) {
    return child(child(child(&request, R::advOptions), databrowse::Msg63::f::advancedConfig),
                 databrowse::BrowseAdvancedConfig::f::appMiningBlock);
}

// The mined entity's subclient in the index: the one the request names, else the one of its client
// (of the mining's application type when it names one); 0 when the index holds none.
int minedSubclient(CItemIndex& index, CNMessageBase* entity, apptype::EAppType appType) {
    using E = ZyEntities::GenericEntity::f;
    TIndexSubclient held;
    const int named = entity ? static_cast<int>(entity->getint64(E::subclientId)) : 0;
    if (named > 0) return index.subclient(named, held) ? named : 0;
    const int64_t client = entity ? entity->getint64(E::clientId) : 0;
    std::vector<TIndexSubclient> all;
    if (client <= 0 || !index.subclients(all)) return 0;
    for (const TIndexSubclient& s : all)
        if (s.clientId == client && (apptype::code(appType) <= 0 || s.appType == appType)) return s.appId;
    return 0;
}

// The request as the index reads it: the mined subclient's path at the request's time. False with
// `why` when the index holds nothing of the entity.
bool planMining(databrowse::BrowseRequest& request, apptype::EAppType appType, CItemIndex& index,
                TIndexBrowsePlan& plan, std::string& why) {
    CNMessageBase* entity = child(&request, R::entity);
    const int appId = minedSubclient(index, entity, appType);
    if (appId <= 0) {
        using E = ZyEntities::GenericEntity::f;
        why = "media agent [" + zyNetOptions().localClientName + "] holds no backup of subclient [" +
              std::to_string(entity ? entity->getint64(E::subclientId) : 0) + "] of client [" +
              std::to_string(entity ? entity->getint64(E::clientId) : 0) + "] to mine";
        return false;
    }
    Indexing::BrowseReq one;
    one.setstring(Indexing::BrowseReq::f::workerId, plan.workerId);
    one.setstring(Indexing::BrowseReq::f::browseSessionGuid, plan.session);
    one.setstring(Indexing::BrowseReq::f::hubmasterHost, plan.hubmasterHost);
    one.setstring(Indexing::BrowseReq::f::routerName, plan.routerName);
    one.setint64(Indexing::BrowseReq::f::subclientId, appId);
    const CNMessageBase* times = child(&request, R::timeRange);
    one.setint64(Indexing::BrowseReq::f::toTime,
                 times ? times->getint64(databrowse::BrowseTimeRange::f::toTime) : 0);
    // An Exchange or Active Directory database is mined whole: its path names the database file.
    auto* paths = request.getlistobject(R::paths, false);
    std::string path =
        paths && !paths->empty() ? paths->front().getstring(databrowse::BrowsePath::f::path) : "";
    if (appType == apptype::kExchangeDatabase || appType == apptype::kActiveDirectory || path.empty())
        path = "/";
    one.setliststring(Indexing::BrowseReq::f::sourcePaths, {path});
    return planIndexBrowse(one, index, plan, why);
}

void CMiningInstance::onXml(ZynCallback_e, CZyNetworkServer* server, long long handle,
                            CNMessageBase* message) {
    std::unique_ptr<CNMessageBase> owned(message);
    auto* self = dynamic_cast<CMiningInstance*>(server);
    if (!self || !owned) return;
    CZySessionLease session(server, handle);
    if (!session) return;
    ZYPlatformInfo::CReadScope settings;  // one message's registry reads look at the file once
    if (owned->getTagID() == ZYS_PM_DISCONNECT_REQ) {
        replyDisconnect(*session);
    } else if (auto* request = dynamic_cast<databrowse::BrowseRequest*>(owned.get())) {
        self->serve(*session, *request);
    }
}

void CMiningInstance::serve(CZyNetwork& session, databrowse::BrowseRequest& request) {
    CNMessageBase* mining = miningBlock(request);
    CNMessageBase* connection = child(mining, databrowse::Msg60::f::connectionInfo);
    const auto info = [&](const MsgFieldRef& f) {
        return connection ? connection->getstring(f) : std::string();
    };
    CNMessageBase* block = child(&request, R::session);
    const std::string guid = block ? block->getstring(databrowse::BrowseSession::f::sessionId) : "";
    std::string jobs;
    if (CNMessageBase* details = child(mining, databrowse::Msg60::f::miningDetails)) {
        using D = databrowse::Msg55::f;
        if (auto* list =
                details->getlistlonglong(D::jobList.i, D::jobList.j, D::jobList.tag, D::jobList.code, false))
            for (long long job : *list) jobs += (jobs.empty() ? "" : ",") + std::to_string(job);
    }
    const std::string workerId = info(C::workerId);
    const std::string hubmaster = info(C::hubmasterHostName);
    const std::string router = info(C::browseRouterName);
    // A caller that reached the instance without launching it is judged as a launch is, and no answer
    // is sent to the router its request names.
    if (!m_state->options.peers.mayAskPlain(session)) {
        refuseCaller(session,
                     m_state->refuse(m_service, "session=" + guid, "request of session [" + guid + "]",
                                     TPeerRule::peerName(session)));
        return;
    }
    m_state->journal(m_service + " session=" + guid + " worker=" + workerId + " router=" + router +
                     " hubmaster=" + hubmaster + " ma=" + info(C::maHostName) + " jobs=" + jobs +
                     " user=" + m_user + " password=" + (m_password ? "set" : "none"));

    TIndexBrowsePlan plan;
    plan.workerId = workerId;
    plan.session = guid;
    plan.owner = ownerOfV2Request(request);
    plan.hubmasterHost = hubmaster;
    plan.routerName = router.empty() ? std::string("BrowseRouter") : router;
    // The instance runs for the client it was launched as (a SharePoint server this machine hosts): its
    // answers come from that client, the one whose name the Hubmaster checked at the instance's port.
    plan.localName = session.GetOwnCertificateName();
    const apptype::EAppType appType =
        apptype::of(mining ? mining->getint64(databrowse::Msg60::f::appType) : 0);
    // Planned now, on the request's own message; answered from a connection of the index lent then.
    std::string why;
    bool planned = false;
    {
        TItemIndexLease index = lendItemIndex(m_state->options.indexPath, why);
        planned = index && planMining(request, appType, *index, plan, why);
    }
    auto deliver = [state = m_state, service = m_service, plan, planned, why](CZyNetwork* caller) {
        std::string error = why, outcome;
        TItemIndexLease index = lendItemIndex(state->options.indexPath, error);
        // The outcome names the responses sent, or why the router could not be reached.
        deliverIndexBrowseAnswer(plan, planned && index ? index.get() : nullptr,
                                 planned && !index ? error : why, state->options.batchSize, outcome, caller);
        state->journal(service + " " + outcome);
    };
    if (hubmaster.empty() || workerId.empty()) {
        // A caller that sent the request itself reads the answers on its connection.
        deliver(&session);
        return;
    }
    // Answered in the background: the caller that sent the request is free to leave at once.
    answerApart([deliver] { deliver(nullptr); });
}

}  // namespace

CLaunchedInstance::CLaunchedInstance(const TZyLaunch& launch, XmlCallback xmlCallback)
    : CZyNetworkServer(&onXdr, xmlCallback, launch.guid.c_str(), launch.listener) {}

CLaunchedInstance::~CLaunchedInstance() {
    endServing();
}

void CLaunchedInstance::endServing() {
    ignoreResult(Quit(true, true), "stopping: nothing is left to do when it fails");
    CHubMutexLock lock(m_answersMutex);
    for (std::thread& t : m_answers) t.join();
    m_answers.clear();
}

void CLaunchedInstance::answerApart(std::function<void()> answer) {
    CHubMutexLock lock(m_answersMutex);
    m_answers.emplace_back(std::move(answer));
}

void CLaunchedInstance::replyDisconnect(CZyNetwork& session) {
    bool timedOut = false;
    ignoreResult(session.ReplyDisconnect(5, timedOut),
                 "the session ends either way; a peer already gone is no fault");
}

// A caller that sends a request and leaves says so with a disconnect: it waits for the reply.
void CLaunchedInstance::onXdr(ZynCallback_e, CZyNetworkServer* server, long long handle, unsigned long code,
                              zysDatabuf_v2*) {
    if (code != ZYS_PM_DISCONNECT_REQ) return;
    CZySessionLease session(server, handle);
    if (session) replyDisconnect(*session);
}

COnDemandServices::COnDemandServices(std::shared_ptr<CZydListener> listener, TOnDemandOptions options)
    : m_listener(std::move(listener)), m_state(std::make_shared<TState>()) {
    m_state->options = std::move(options);
    for (const char* name : {kMiningService, kSharePointService}) {
        std::shared_ptr<TState> state = m_state;
        m_listener->registerLaunchable(
            name,
            [state](const TZyLaunch& launch) -> std::unique_ptr<CZyNetworkServer> {
                return std::make_unique<CMiningInstance>(state, launch);
            },
            [state, service = std::string(name)](const std::string& caller) -> std::string {
                if (state->options.peers.mayAskPlain(caller)) return {};
                return state->refuse(service, "launch", "launch", caller);
            });
    }
}

COnDemandServices::~COnDemandServices() {
    stop();
}

void COnDemandServices::stop() {
    m_listener->unregisterLaunchable(kMiningService);
    m_listener->unregisterLaunchable(kSharePointService);
}

}  // namespace mediaagent
