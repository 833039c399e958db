// The index service's answer to an indexing-V1 browse request (Indexing::BrowseReq) from the media
// agent's item index: for the subclient and cycles the request names, the items of its path at its
// point in time or over its range, paged and counted as its queries ask, narrowed by its name filter
// and its reference-copy and retention criteria, or the archive files of those cycles as prediction
// items; each batch a databrowse::BrowseResponse naming the request's worker and session, then one end.
// Pure over the index object it is given (one thread at a time, like the index).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/msg/msg_classes.h"
#include "tools/mediaagent/answerstops.h"
#include "tools/mediaagent/itemindex.h"

class CZyNetwork;

namespace mediaagent {

// The router's all-versions flag in a request's option bits: every version in the time range rather than
// the items as of the to-time (a from-time alone only bounds which backups count).
constexpr uint64_t kOptionVersions = 0x8;

// What one data or count query of the request asks of the index.
struct TIndexBrowseQuery {
    std::string queryId;
    bool count = false;
    TBrowseQuery query;
    std::string under;  // the head of a hypervisor's path naming the VM read; its items go back below it
};

// The request as the index reads it.
struct TIndexBrowsePlan {
    std::string workerId;
    std::string session;
    std::string hubmasterHost;
    std::string routerName;
    std::string localName;  // the client the answer speaks as to the router (empty: this machine)
    // Whose answer it is, for the stops of its session.
    TAnswerOwner owner;
    bool range = false;              // a from-time was given: every version in [from, to]
    bool prediction = false;         // option bit 38: the media of the cycles, not the items
    int64_t modifiedAtOrBefore = 0;  // reference-copy cut-offs (0: none)
    int64_t backedUpAtOrBefore = 0;
    int64_t deletedBefore = 0;  // retention: deletions older than this are gone
    // Queries of one id over several subclients, in order, share one page (skip and size) of their
    // answer as a whole, rather than each paging its own subclient.
    bool pagedAcross = false;
    std::vector<TIndexBrowseQuery> queries;
};

// Reads the request; false (with `why`) when it names no subclient the index holds.
bool planIndexBrowse(Indexing::BrowseReq& request, CItemIndex& index, TIndexBrowsePlan& plan,
                     std::string& why);

// Produces the whole answer as responses handed to `send` in order (items in batches of `batchSize`,
// counts, prediction items, an error when the index fails, then the end); stops when `send` returns
// false, or as soon as `stopped` (when given) says so, between two responses or two directories read.
// Returns the number of responses handed over.
int answerIndexBrowse(const TIndexBrowsePlan& plan, CItemIndex& index, uint32_t batchSize,
                      const std::function<bool(databrowse::BrowseResponse&)>& send,
                      const std::function<bool()>& stopped = {});

// The items of one response written already, as its XML holds them: a sender writes each item once
// instead of building it first and writing the built one.
struct TWrittenItems {
    std::string xml;
    size_t count = 0;
};
// answerIndexBrowse, the items of each response of items handed over beside it (its item list left
// empty) rather than in it; other responses come with none. writtenResponseXml gives the whole text.
int answerIndexBrowseWritten(
    const TIndexBrowsePlan& plan, CItemIndex& index, uint32_t batchSize,
    const std::function<bool(databrowse::BrowseResponse&, const TWrittenItems*)>& send,
    const std::function<bool()>& stopped = {});
// The XML of a response handed over with `items` (null: none), as the encoder writes it with its items
// in it; false (with the reason) when it cannot be written.
bool writtenResponseXml(const databrowse::BrowseResponse& r, const TWrittenItems* items, std::string& xml,
                        std::string& error);

// An answer that cannot be planned: the error and the end.
int answerIndexBrowseRefusal(const TIndexBrowsePlan& plan, const std::string& why,
                             const std::function<bool(databrowse::BrowseResponse&)>& send);

// Answers one request over a connection to the "BrowseRouter" it names, from the index file at
// `indexPath` (a request the index cannot plan gets an error and the end); false when the router cannot
// be reached. `outcome` says what was done, for the service's journal. With `caller` the answer goes
// on the caller's own connection instead (a console that sent a request the Hubmaster prepared).
bool sendIndexBrowseAnswer(Indexing::BrowseReq& request, const std::string& indexPath, uint32_t batchSize,
                           std::string& outcome, CZyNetwork* caller = nullptr);
// An answer to a Hubmaster goes on a fresh connection to its "BrowseRouter" after every `responses`
// responses, the connection it leaves ended (0, the default: one connection for the whole answer), as a
// media agent whose connections are cut or recycled may answer. For the whole process; set at start-up.
void setAnswerConnectionResponses(unsigned responses);

// A session to a Hubmaster's "BrowseRouter" lent from the process's kept ones (opened when none is idle):
// an answer goes out whole on one session, and the session serves the next answer once given back (when
// this object ends). A session that failed is closed rather than kept.
class CRouterSession {
public:
    CRouterSession() = default;
    ~CRouterSession();
    CRouterSession(const CRouterSession&) = delete;
    CRouterSession& operator=(const CRouterSession&) = delete;

    // Borrows a session to `router` on the machine `host` names; the failure's text on error.
    bool open(const std::string& host, const std::string& router, std::string& error,
              const std::string& localName = std::string());
    CZyNetwork& session() { return *m_session; }
    // Before `responses` more responses go out: past the set count of responses on this connection (see
    // setAnswerConnectionResponses) the session is ended and another one to the same router borrowed.
    // False, with the failure's text, when none can be.
    bool take(size_t responses, std::string& error);
    // Ends the session rather than keeping it (a reply that did not come may still arrive on it); `why`
    // goes to the log.
    void discard(const char* why);

private:
    CZyNetwork* m_session = nullptr;
    std::string m_host, m_router, m_localName;
    size_t m_sent = 0;  // responses sent on this connection
};

// Sends a planned answer (from `index`; null: the refusal `why`) over one kept session to the plan's
// "BrowseRouter", or on `caller` when given; false when the router cannot be reached. `outcome` as above.
bool deliverIndexBrowseAnswer(const TIndexBrowsePlan& plan, CItemIndex* index, const std::string& why,
                              uint32_t batchSize, std::string& outcome, CZyNetwork* caller = nullptr);

}  // namespace mediaagent
