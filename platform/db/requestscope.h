// The request a thread is serving, for readers that answer the same question once per request (see
// CRequestReads, which opens and closes it). Functions of the calling thread.
#pragma once

#include "platform/config/zyplatforminfo.h"

namespace zydb {

// Opens (nested: joins) the thread's request; closeRequest ends the outermost one.
// A request whose database is exactly as the thread's previous request found it (no commit through any
// connection or process since) carries on that request's memos, for a bounded run of requests: what
// they hold would be read again unchanged.
// The outermost request holds the reads of the thread's connection in one read transaction
// (IDbConnection::holdReads) until it closes. The database is looked at when the request first reads
// it or asks for a memo, so a request that reads nothing (a relayed answer) costs no connection.
void openRequest();
void closeRequest();
// The request's next read starts a new read transaction: after a transaction of the thread's committed
// on another connection, so that the read sees it; before a wait, so that no snapshot is held through it.
void readAfresh();
// Called by the thread's connection before it serves a read: an opened request takes the database's
// state now, before the read.
void settleRequest();
// The thread's outermost open request, as a number no request with other memos had; 0 when none.
unsigned long long currentRequest();
// Requests of any thread that carried on their predecessor's memos, since the process started.
unsigned long long requestsThatKeptMemos();

// One reader's memo for the thread's current request: emptied when a request opens on a changed
// database; null outside any request. What a reader keeps in it must have been read outside a
// transaction.
template <class Memo>
Memo* requestMemo() {
    const unsigned long long request = currentRequest();
    if (request == 0) return nullptr;
    thread_local struct {
        unsigned long long request = 0;
        Memo memo;
    } held;
    if (held.request != request) {
        held.memo = Memo();
        held.request = request;
    }
    return &held.memo;
}

// What one request reads, each read once: the registry as the request first found it, each client and
// global parameter, and the database in one read transaction. Opened once at each entry point of a
// request, closed when it is answered; one opened inside another joins it. Opened and closed on the same
// thread. A request that waits for others (a stop waiting for its workers) calls readAfresh first.
class CRequestReads {
public:
    CRequestReads() { openRequest(); }
    ~CRequestReads() { closeRequest(); }
    CRequestReads(const CRequestReads&) = delete;
    CRequestReads& operator=(const CRequestReads&) = delete;

private:
    ZYPlatformInfo::CReadScope m_registry;
};

}  // namespace zydb
