#include "platform/db/requestscope.h"

#include <atomic>
#include <memory>

#include "platform/db/dbenv.h"

namespace zydb {

namespace {

// Memos are carried over while they hold at most this many answers in all, so that what a connection
// keeps stays small; a request adds a handful of answers, and the same questions asked again add none.
constexpr size_t kMaxKeptEntries = 512;

// The database as a request found it: which file (the environment's generation) at which version of the
// connection it read through (versions of two connections are not comparable: the memos are kept with
// the connection).
struct TDbState {
    unsigned long long generation = 0;
    unsigned long long version = 0;
    bool operator==(const TDbState&) const = default;
};

// What a connection keeps between requests: the last request's memos and the state they are of.
struct TConnectionKept final : IDbConnection::TKept {
    TDbState state;
    detail::TMemoStore memos;
};

struct TRequest {
    int depth = 0;
    bool unsettled = false;  // the outermost request has not looked at the database yet
    bool known = false;      // the outermost request knows its database's state
    TDbState state;          // (when known) the state it read in
    // The connection whose reads the outermost request holds in one read transaction: held so that
    // it stays the thread's until the request closes, however long the request waits between reads.
    std::shared_ptr<IDbConnection> held;
    CRequestReads* outermost = nullptr;  // the open request's context
};

TRequest& request() {
    thread_local TRequest r;
    return r;
}

std::atomic<unsigned long long> g_kept{0};
std::atomic<size_t> g_memoSlots{0};

// Holds the connection's reads first: the version is read in the transaction the request reads in.
bool databaseState(TDbState& out, std::shared_ptr<IDbConnection>& conn) {
    int rc = DB_OK;
    conn = CDbEnv::threadConnection(&rc);
    if (!conn) return false;
    conn->holdReads(true);
    out.generation = CDbEnv::generation();
    return conn->dataVersion(out.version) == DB_OK;
}

size_t entriesOf(const detail::TMemoStore& memos) {
    size_t n = 0;
    for (const auto& m : memos)
        if (m) n += m->entries();
    return n;
}

}  // namespace

namespace detail {
size_t nextMemoSlot() {
    return g_memoSlots.fetch_add(1, std::memory_order_relaxed);
}
}  // namespace detail

CRequestReads* openRequest(CRequestReads* reads) {
    TRequest& r = request();
    if (r.depth++ > 0) return r.outermost;
    r.unsettled = true;
    r.outermost = reads;
    return reads;
}

CRequestReads* CRequestReads::current() {
    TRequest& r = request();
    return r.depth > 0 ? r.outermost : nullptr;
}

void settleRequest() {
    TRequest& r = request();
    if (!r.unsettled) return;
    r.unsettled = false;  // first: the state's own read passes through here again
    TDbState now;
    std::shared_ptr<IDbConnection> conn;
    // What the request reads, it reads in one read transaction on the thread's kept connection.
    r.known = databaseState(now, conn);
    r.state = now;
    r.held = conn;
    r.outermost->m_memos.clear();
    if (conn) {
        // The connection's memos serve this request only when they are of the state it reads in.
        std::unique_ptr<IDbConnection::TKept> kept = std::move(conn->kept);
        auto* mine = dynamic_cast<TConnectionKept*>(kept.get());
        if (r.known && mine && mine->state == now) {
            g_kept.fetch_add(1, std::memory_order_relaxed);
            r.outermost->m_memos = std::move(mine->memos);
        }
    }
    r.outermost->m_settled = true;
}

void closeRequest() {
    TRequest& r = request();
    if (r.depth > 0 && --r.depth == 0) {
        if (r.unsettled) {  // read nothing: the next request compares with the last that did
            r.unsettled = false;
            r.outermost = nullptr;
            return;
        }
        if (r.held) {
            r.held->holdReads(false);
            // Left with the connection for the next request on it, of whatever thread, when they are of
            // a known state and small enough to keep.
            if (r.known && entriesOf(r.outermost->m_memos) <= kMaxKeptEntries) {
                auto kept = std::make_unique<TConnectionKept>();
                kept->state = r.state;
                kept->memos = std::move(r.outermost->m_memos);
                r.held->kept = std::move(kept);
            }
        }
        r.held.reset();
        r.outermost->m_memos.clear();
        r.outermost = nullptr;
    }
}

void readAfresh() {
    if (request().held) request().held->endReads();
}

unsigned long long requestsThatKeptMemos() {
    return g_kept.load(std::memory_order_relaxed);
}

}  // namespace zydb
