// The request a thread is serving, for readers that answer the same question once per request: the
// request's context CRequestReads, which holds their memos, and the thread's side of it (its connection
// held in one read transaction). Functions of the calling thread.
#pragma once

#include <memory>
#include <vector>

#include "platform/config/zyplatforminfo.h"
#include "platform/db/memoable.h"

namespace zydb {

// Opens (nested: joins) the thread's request, returning its outermost context; closeRequest ends the
// outermost one. Called by CRequestReads, which holds what the request keeps.
// A request whose database is exactly as the previous request on the same connection found it (no
// commit through any connection or process since) carries on that request's memos, whichever thread
// either ran on (the memos are kept with the connection, which threads hand on to each other), while
// they stay small: what they hold would be read again unchanged.
// The outermost request holds the reads of the thread's connection in one read transaction
// (IDbConnection::holdReads) until it closes. The database is looked at when the request first reads
// it or asks for a memo, so a request that reads nothing (a relayed answer) costs no connection.
class CRequestReads;
CRequestReads* openRequest(CRequestReads* reads);
void closeRequest();
// The request's next read starts a new read transaction: after a transaction of the thread's committed
// on another connection, so that the read sees it; before a wait, so that no snapshot is held through it.
void readAfresh();
// Called by the thread's connection before it serves a read: an opened request takes the database's
// state now, before the read.
void settleRequest();
// Requests of any thread that carried on their predecessor's memos, since the process started.
unsigned long long requestsThatKeptMemos();

namespace detail {
// One reader's memo, held by the request.
struct TMemoBase {
    virtual ~TMemoBase() = default;
    // The answers it holds (a container's size, else one): what the memos carried on may reach.
    virtual size_t entries() const = 0;
};
template <class Memo>
struct THeldMemo final : TMemoBase {
    Memo memo;
    size_t entries() const override {
        if constexpr (requires { memo.size(); })
            return memo.size();
        else
            return 1;
    }
};
using TMemoStore = std::vector<std::unique_ptr<TMemoBase>>;
size_t nextMemoSlot();
}  // namespace detail

// What one request reads, each read once: the registry as the request first found it, each client and
// global parameter, and the database in one read transaction. The request's context: opened once at
// each entry point of a request (the host's own browse service included), handed to the steps that read
// (through the task and the worker, the router's task, the host's serving of a request), closed when it
// is answered; one opened inside another joins it. Opened, handed on and closed on the same thread. A
// request that waits for others (a stop waiting for its workers, a wait for the configuration cache)
// lets its snapshot go first (letGo).
class CRequestReads {
public:
    CRequestReads() : m_root(openRequest(this)) {}
    ~CRequestReads() { closeRequest(); }
    CRequestReads(const CRequestReads&) = delete;
    CRequestReads& operator=(const CRequestReads&) = delete;

    // One reader's memo for this request: emptied when the request opens on a changed database, and
    // otherwise carried on into the next request on the same connection, of any thread and any caller.
    // So what a reader keeps in it must have been read outside a transaction and must follow from its
    // question and the database alone (not the time, the caller, the locale or the registry): its type
    // holds nothing else that DatabaseMemo can tell (platform/db/memoable.h), and each memo says so.
    template <DatabaseMemo Memo>
    Memo* memo() {
        CRequestReads& root = *m_root;
        if (!root.m_settled) settleRequest();
        const size_t slot = slotOf<Memo>();
        if (root.m_memos.size() <= slot) root.m_memos.resize(slot + 1);
        std::unique_ptr<detail::TMemoBase>& held = root.m_memos[slot];
        if (!held) held = std::make_unique<detail::THeldMemo<Memo>>();
        return &static_cast<detail::THeldMemo<Memo>*>(held.get())->memo;
    }
    // The request's next read starts a new read transaction: no snapshot is held through a wait.
    void letGo() { readAfresh(); }

    // The thread's open request, for the readers deep in the platform whose callers (with signatures
    // of their own) do not hand it on; null outside any request.
    static CRequestReads* current();

private:
    friend void settleRequest();
    friend void closeRequest();
    template <class Memo>
    static size_t slotOf() {
        static const size_t slot = detail::nextMemoSlot();
        return slot;
    }

    CRequestReads* m_root;       // the outermost request of the thread, which this one joined
    bool m_settled = false;      // (outermost) the database's state is taken, the memos are this state's
    detail::TMemoStore m_memos;  // (outermost) by memo slot
    ZYPlatformInfo::CReadScope m_registry;
};

// The memo of the thread's open request (null outside one), for a reader deep in the platform whose
// callers do not hand the request on (see CRequestReads::current).
template <DatabaseMemo Memo>
Memo* threadRequestMemo() {
    CRequestReads* reads = CRequestReads::current();
    return reads ? reads->memo<Memo>() : nullptr;
}

}  // namespace zydb
