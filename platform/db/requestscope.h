// The request a thread is serving, for readers that answer the same question once per request (see
// ZYClientRequestScope, which opens and closes it). Functions of the calling thread.
#pragma once

namespace zydb {

// Opens (nested: joins) the thread's request; closeRequest ends the outermost one.
void openRequest();
void closeRequest();
// The thread's outermost open request, as a number no earlier request of the thread had; 0 when none.
unsigned long long currentRequest();

// One reader's memo for the thread's current request: emptied when a new request opens; null outside
// any request. What a reader keeps in it must have been read outside a transaction.
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
