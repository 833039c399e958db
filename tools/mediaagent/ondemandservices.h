// COnDemandServices: the media agent's on-demand mining services, "LiveBrowseServer" (application
// mining) and "ZYAppMinningIdxService" (the SharePoint mining index service), started by the machine's
// listener when the on-demand client asks. Each instance takes application-mining browse requests,
// writes each to the journal (one line: service, session, worker, router, media agent, jobs, the
// launch's account) and answers from the item index: the items of the mined entity's subclient (the
// request's path, or the root where the path names a database file) as of the request's time, or an
// error when the index holds none of it; through the "BrowseRouter" that the request's connection
// information names (naming its worker and session), or, when it names none, on the request's own
// connection. Construct and stop on one thread; instances run on the servers' threads.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/net/zyd_launcher.h"
#include "platform/net/zyd_listener.h"
#include "platform/net/zynetwork_server.h"
#include "platform/threads/hubmutex.h"
#include "tools/mediaagent/peerrule.h"

namespace mediaagent {

// One launched instance of an on-demand service: a server on the launch's listener that answers a
// caller's disconnect and sends its answers apart from the request's session, as a mining service
// works (the caller may wait on that session, for its disconnect, before the answers can be taken).
// The answers' threads are joined when the instance ends.
class CLaunchedInstance : public CZyNetworkServer {
public:
    CLaunchedInstance(const TZyLaunch& launch, XmlCallback xmlCallback);
    ~CLaunchedInstance() override;

protected:
    // Stops serving and joins every thread that serves or answers: a derived instance calls it first in
    // its destructor, since those threads read its members. Idempotent.
    void endServing();
    // Runs `answer` on a thread of its own.
    void answerApart(std::function<void()> answer);
    // The reply a caller's disconnect request waits for.
    static void replyDisconnect(CZyNetwork& session);

private:
    static void onXdr(ZynCallback_e, CZyNetworkServer* server, long long handle, unsigned long code,
                      zysDatabuf_v2*);

    CHubMutex m_answersMutex;
    std::vector<std::thread> m_answers GUARDED_BY(m_answersMutex);
};

struct TOnDemandOptions {
    std::string journalPath;   // empty: no journal
    std::string indexPath;     // the media agent's item index
    uint32_t batchSize = 100;  // items per response
    TPeerRule peers;           // who is answered: the Hubmaster (or anyone, in plain mode)
};

class COnDemandServices {
public:
    static constexpr const char* kMiningService = "LiveBrowseServer";
    static constexpr const char* kSharePointService = "ZYAppMinningIdxService";

    COnDemandServices(std::shared_ptr<CZydListener> listener, TOnDemandOptions options);
    ~COnDemandServices();
    COnDemandServices(const COnDemandServices&) = delete;
    COnDemandServices& operator=(const COnDemandServices&) = delete;

    // No new instance starts afterwards; running ones end with their sessions. Idempotent.
    void stop();

    struct TState;

private:
    const std::shared_ptr<CZydListener> m_listener;
    const std::shared_ptr<TState> m_state;  // shared with the instances, which may outlive this object
};

}  // namespace mediaagent
