// The request a thread is serving, for readers that answer the same question once per request (see
// ZYClientRequestScope, which opens and closes it). Functions of the calling thread.
#pragma once

namespace zydb {

// Opens (nested: joins) the thread's request; closeRequest ends the outermost one.
// A request whose database is exactly as the thread's previous request found it (no commit through any
// connection or process since) carries on that request's memos, for a bounded run of requests: what
// they hold would be read again unchanged.
// The outermost request holds the reads of the thread's connection in one read transaction
// (IDbConnection::holdReads) until it closes.
void openRequest();
void closeRequest();
// A transaction of the thread's committed on another connection: the request's next read sees it.
void seeCommittedWrites();
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

}  // namespace zydb
