// CIndexService: the media agent's index service "IndexingService_0" and its launcher ("sLNIDXMA",
// "sLPIDXMA"). The service takes plain and signed browse requests and stop requests; it answers a plain
// request by connecting to the "BrowseRouter" that the request names and sending databrowse::BrowseResponse
// messages (items, prediction items, warnings, errors, the end) with the request's worker id and session,
// as the answer script says. Each request received is written to the journal, one line each. Construct
// and stop on one thread; the callbacks run on the servers' connection threads.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/msg/secured_message_handler.h"
#include "platform/net/zyd_listener.h"
#include "platform/net/zynetwork_server.h"
#include "platform/threads/hubmutex.h"
#include "tools/mediaagent/keptconnections.h"
#include "tools/mediaagent/peerrule.h"

namespace mediaagent {

// How the index service comes to run.
enum class TIndexLaunch : uint8_t {
    Started,   // from the start
    OnDemand,  // when the launcher is asked
    Refused,   // the launcher answers every launch with a failure
};

struct TIndexServiceOptions {
    TIndexLaunch launch = TIndexLaunch::OnDemand;
    // The answer script, read afresh for each request (absent: the end alone). One step a line:
    //   items <n> [<name prefix>]     one answer of n items
    //   predictions <n>               one answer of n prediction items and no items
    //   warning <code> <text>         one warning
    //   error <code> <text>           one error
    //   end                           the end of the answer
    //   session <guid> | worker <id>  the session / worker id the following answers name
    std::string scriptPath;
    std::string journalPath;  // empty: no journal
    // The item index that indexing-V1 requests (Indexing::BrowseReq) are answered from; empty: such
    // requests are only journalled.
    std::string indexPath;
    uint32_t batchSize = 1000;  // items per answer of an indexing-V1 request
    // After answering an indexing-V2 request, convert the media of its answer through its "BrowseRouter"
    // as a predicting media agent does (sendPredictionConversions), and journal the replies.
    bool convertPredictions = false;
    // The Hubmaster's database: a request from one of its clients other than the Hubmaster its routing
    // block names (a console's prepared request) is answered on its own connection. Empty: never.
    std::string hubDatabasePath;
    // Whom plain requests are answered for.
    TPeerRule peers;
};

class CIndexService {
public:
    static constexpr const char* kServiceName = "IndexingService_0";
    static constexpr const char* kLauncherName = "sLNIDXMA";
    static constexpr const char* kAlternateLauncherName = "sLPIDXMA";

    CIndexService(std::shared_ptr<CZydListener> listener, TIndexServiceOptions options);
    ~CIndexService();
    CIndexService(const CIndexService&) = delete;
    CIndexService& operator=(const CIndexService&) = delete;

    // Starts serving "IndexingService_0" (once); false when the name cannot be served.
    bool startService();
    // Stops the service and the launcher; idempotent.
    void stop();

    // Sends the scripted answer of one plain browse request; false when the router cannot be reached.
    bool answer(const databrowse::BrowseRequest& request);

private:
    static void onXdr(CZyNetworkServer::ZynCallback_e type, CZyNetworkServer* server, long long handle,
                      unsigned long code, zysDatabuf_v2* data);
    // The XML callback of the service (Handler serve) and of a launcher instance (Handler launch).
    template <void (CIndexService::*Handler)(CZyNetwork&, CNMessageBase&)>
    static void onXml(CZyNetworkServer::ZynCallback_e type, CZyNetworkServer* server, long long handle,
                      CNMessageBase* message);

    // The request being served, for its one line in the log: its session, what it asks and how it ended.
    struct TRequestLine {
        std::string session, what, outcome;
        bool refused = false;
        // A refusal's reason stays whatever is noted after it.
        void noteOutcome(const std::string& text) {
            if (!refused) outcome = text;
        }
        void refuse(const std::string& reason) {
            refused = true;
            outcome = "refused: " + reason;
        }
    };

    void serve(CZyNetwork& session, CNMessageBase& message);
    void serveOne(CZyNetwork& session, CNMessageBase& message, TRequestLine& line);
    void launch(CZyNetwork& session, CNMessageBase& message);
    void journal(const std::string& line);
    // Answers an indexing-V2 request (plain or opened from its secured form) from the item index;
    // false when the service has no index or the request names no index database.
    bool answerV2(databrowse::BrowseRequest& request, const char* form, CZyNetwork* caller,
                  TRequestLine& line);
    // The session to answer on when the request does not come from the Hubmaster `hubmasterHost` names
    // (no Hubmaster named, or a peer that is another client of the Hubmaster); null: through the router.
    CZyNetwork* consoleOf(CZyNetwork& session, const std::string& hubmasterHost);
    // Opens a signed request with `open` (given the client name it must be signed for) and checks that
    // a copy from anyone but the Hubmaster is presented once; 0 when it may be answered.
    int openSigned(CZyNetwork& session, I2::SecuredMessageHandler& handler, pstring* signature,
                   const std::function<int(const std::string&)>& open);
    // Answers an indexing-V1 request from the item index (`form` marks a signed one in the journal).
    void answerIndexBrowse(CZyNetwork& session, Indexing::BrowseReq& request, const char* form,
                           TRequestLine& line);

    const TIndexServiceOptions m_options;
    const std::shared_ptr<CZydListener> m_listener;
    CHubMutex m_mutex;  // also guards the journal file
    std::unique_ptr<CZyNetworkServer> m_service GUARDED_BY(m_mutex);
    CSignatureLedger m_ledger;
};

}  // namespace mediaagent
