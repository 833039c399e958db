#include "platform/db/requestscope.h"

#include <atomic>
#include <memory>

#include "platform/db/dbenv.h"

namespace zydb {

namespace {

// Memos are carried over at most this many requests in a row, so that what a long-lived thread keeps
// stays small (a request adds a handful of answers).
constexpr unsigned kMaxCarried = 32;

// The database as a request found it: which file (the environment's generation), through which
// connection (versions of two connections are not comparable), at which version.
struct TDbState {
    unsigned long long generation = 0;
    const void* connection = nullptr;
    unsigned long long version = 0;
    bool operator==(const TDbState&) const = default;
};

struct TRequest {
    int depth = 0;
    unsigned long long serial = 0;  // of the outermost request; 0 while none is open
    unsigned long long opened = 0;  // serials the thread has handed out
    unsigned long long last = 0;    // the serial of the thread's last request
    bool lastKnown = false;         // whether the last request knew its database's state
    TDbState lastState;
    // The last request's connection: a connection closed since (one left idle is) and another made at
    // its address must not pass for it, its version counted afresh.
    std::weak_ptr<IDbConnection> lastConnection;
    unsigned carried = 0;    // requests in a row that carried on the memos
    bool unsettled = false;  // the outermost request has not looked at the database yet
    // The connection whose reads the outermost request holds in one read transaction: held so that
    // it stays the thread's until the request closes, however long the request waits between reads.
    std::shared_ptr<IDbConnection> held;
    CRequestReads* outermost = nullptr;  // the open request's context
    detail::TMemoStore kept;             // the last request's memos, for a next one on the same state
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
    out.connection = conn.get();
    return conn->dataVersion(out.version) == DB_OK;
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
    const bool known = databaseState(now, conn);
    r.held = conn;
    const bool sameConnection = !r.lastConnection.expired() && r.lastConnection.lock() == conn;
    if (known && r.lastKnown && r.last != 0 && sameConnection && now == r.lastState &&
        r.carried < kMaxCarried) {
        r.serial = r.last;
        ++r.carried;
        g_kept.fetch_add(1, std::memory_order_relaxed);
        r.outermost->m_memos = std::move(r.kept);
    } else {
        r.serial = ++r.opened;
        r.carried = 0;
        r.outermost->m_memos.clear();
    }
    r.kept.clear();
    r.outermost->m_settled = true;
    r.lastKnown = known;
    r.lastState = now;
    r.lastConnection = conn;
}

void closeRequest() {
    TRequest& r = request();
    if (r.depth > 0 && --r.depth == 0) {
        if (r.unsettled) {  // read nothing: the next request compares with the last that did
            r.unsettled = false;
            r.outermost = nullptr;
            return;
        }
        r.last = r.serial;
        r.serial = 0;
        if (r.held) r.held->holdReads(false);
        r.held.reset();
        r.kept = std::move(r.outermost->m_memos);
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
