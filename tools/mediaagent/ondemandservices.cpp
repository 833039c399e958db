#include "tools/mediaagent/ondemandservices.h"

#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/msg/msg_classes.h"
#include "platform/net/zyd_launcher.h"
#include "platform/net/zynetwork.h"

namespace mediaagent {

struct COnDemandServices::TState {
    TOnDemandOptions options;
    std::mutex mutex;  // guards the journal file

    void journal(const std::string& line) {
        if (options.journalPath.empty()) return;
        std::lock_guard<std::mutex> lock(mutex);
        std::ofstream(options.journalPath, std::ios::app) << line << '\n';
    }
};

namespace {

constexpr unsigned long kDisconnectRequest = 0x09000102;
constexpr int kSendSeconds = 30;

using R = databrowse::BrowseRequest::f;
using C = databrowse::ApplicationMiningConnectionInfo::f;

// One launched instance: the service it is and the account the launch gave it.
class CMiningInstance : public CZyNetworkServer {
public:
    CMiningInstance(std::shared_ptr<COnDemandServices::TState> state, const TZyLaunch& launch)
        : CZyNetworkServer(&onXdr, &onXml, launch.guid.c_str(), launch.listener),
          m_state(std::move(state)),
          m_service(launch.service) {
        if (launch.request) {
            m_user = launch.request->getstring(CNSession::LaunchOnDemandServiceReq::f::userName);
            m_password = launch.request->isSet(CNSession::LaunchOnDemandServiceReq::f::password);
        }
    }
    ~CMiningInstance() override {
        std::lock_guard<std::mutex> lock(m_answersMutex);
        for (std::thread& t : m_answers) t.join();
    }

private:
    // A caller that sends a request and leaves says so with a disconnect: it waits for the reply.
    static void onXdr(ZynCallback_e, CZyNetworkServer* server, long long handle, unsigned long code,
                      zysDatabuf_v2*) {
        if (code != kDisconnectRequest) return;
        CZySessionLease session(server, handle);
        if (!session) return;
        bool timedOut = false;
        ignoreResult(session->ReplyDisconnect(5, timedOut),
                     "the session ends either way; a peer already gone is no fault");
    }
    static void onXml(ZynCallback_e, CZyNetworkServer* server, long long handle, CNMessageBase* message);
    void serve(CZyNetwork& session, databrowse::BrowseRequest& request);

    const std::shared_ptr<COnDemandServices::TState> m_state;
    const std::string m_service;
    std::mutex m_answersMutex;           // guards m_answers
    std::vector<std::thread> m_answers;  // joined when the instance ends
    std::string m_user;
    bool m_password = false;
};

CNMessageBase* child(CNMessageBase* parent, const MsgFieldRef& f) {
    return parent && parent->isSet(f) ? parent->getObjectAccessor(f, false) : nullptr;
}

CNMessageBase* miningBlock(databrowse::BrowseRequest& request) {
    return child(child(child(&request, R::advOptions), databrowse::Msg63::f::advancedConfig),
                 databrowse::BrowseAdvancedConfig::f::at13_13);
}

databrowse::BrowseResponse answer(int64_t type, const std::string& workerId, const std::string& session) {
    databrowse::BrowseResponse r;
    r.setint64(databrowse::BrowseResponse::f::respType, type);
    r.setstring(databrowse::BrowseResponse::f::workerId, workerId);
    databrowse::BrowseSession s;
    s.setstring(databrowse::BrowseSession::f::sessionId, session);
    r.setObjectAccessor(s, databrowse::BrowseResponse::f::session);
    return r;
}

void CMiningInstance::onXml(ZynCallback_e, CZyNetworkServer* server, long long handle,
                            CNMessageBase* message) {
    std::unique_ptr<CNMessageBase> owned(message);
    auto* self = dynamic_cast<CMiningInstance*>(server);
    if (!self || !owned) return;
    CZySessionLease session(server, handle);
    if (!session) return;
    bool timedOut = false;
    if (owned->getTagID() == kDisconnectRequest) {
        ignoreResult(session->ReplyDisconnect(5, timedOut),
                     "the session ends either way; a peer already gone is no fault");
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
    if (CNMessageBase* details = child(mining, databrowse::Msg60::f::at5_5)) {
        using D = databrowse::Msg55::f;
        if (auto* list =
                details->getlistlonglong(D::jobList.i, D::jobList.j, D::jobList.tag, D::jobList.code, false))
            for (long long job : *list) jobs += (jobs.empty() ? "" : ",") + std::to_string(job);
    }
    const std::string workerId = info(C::workerId);
    const std::string hubmaster = info(C::hubmasterHostName);
    const std::string router = info(C::browseRouterName);
    // Mining requests come from the Hubmaster's workers; anyone else is told so, and no answer is sent
    // to the router such a request names.
    if (!m_state->options.peers.mayAskPlain(session)) {
        m_state->journal(m_service + " refused session=" + guid + " peer=" + TPeerRule::peerName(session));
        refuseCaller(session);
        return;
    }
    m_state->journal(m_service + " session=" + guid + " worker=" + workerId + " router=" + router +
                     " hubmaster=" + hubmaster + " ma=" + info(C::maHostName) + " jobs=" + jobs +
                     " user=" + m_user + " password=" + (m_password ? "set" : "none"));

    std::vector<databrowse::BrowseResponse> answers;
    databrowse::BrowseResponse items = answer(0, workerId, guid);
    std::vector<CNMessageBase> data;
    for (int i = 0; i < m_state->options.items; ++i) {
        databrowse::BrowseData item;
        item.setstring(databrowse::BrowseData::f::name, "mined" + std::to_string(i));
        item.setstring(databrowse::BrowseData::f::path, "\\mined" + std::to_string(i));
        data.push_back(item);
    }
    items.getObjectAccessor(databrowse::BrowseResponse::f::browseResult, true)
        ->setlistobject(databrowse::BrowseResult::f::dataResultSet, data);
    answers.push_back(items);
    answers.push_back(answer(5, workerId, guid));

    bool timedOut = false;
    if (hubmaster.empty() || workerId.empty()) {
        // A caller that sent the request itself reads the answers on its connection.
        for (auto& r : answers)
            if (session.SendXMLMessage(r, 0, kSendSeconds, timedOut).IsError()) return;
        return;
    }
    // Answered in the background, as a mining service works: the caller that sent the request is free
    // to leave at once (its disconnect is answered meanwhile).
    std::lock_guard<std::mutex> lock(m_answersMutex);
    m_answers.emplace_back([state = m_state, service = m_service, hubmaster, workerId,
                            router = router.empty() ? std::string("BrowseRouter") : router,
                            answers = std::move(answers)]() mutable {
        CZyNetwork out;
        bool timedOut = false;
        CUxError connected = out.Connect(hubmaster.c_str(), router.c_str(), nullptr, kSendSeconds, timedOut);
        if (connected.IsError()) {
            state->journal(service + " answer failed: " + connected.GetErrorText());
            return;
        }
        int sent = 0;
        for (auto& r : answers) {
            if (out.SendXMLMessage(r, 0, kSendSeconds, timedOut).IsError()) break;
            ++sent;
        }
        ignoreResult(out.Disconnect(kSendSeconds, timedOut),
                     "the session ends either way; a peer already gone is no fault");
        state->journal(service + " answered worker=" + workerId + " responses=" + std::to_string(sent));
    });
}

}  // namespace

COnDemandServices::COnDemandServices(std::shared_ptr<CZydListener> listener, TOnDemandOptions options)
    : m_listener(std::move(listener)), m_state(std::make_shared<TState>()) {
    m_state->options = std::move(options);
    for (const char* name : {kMiningService, kSharePointService}) {
        std::shared_ptr<TState> state = m_state;
        m_listener->registerLaunchable(name,
                                       [state](const TZyLaunch& launch) -> std::unique_ptr<CZyNetworkServer> {
                                           return std::make_unique<CMiningInstance>(state, launch);
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
