// The request a thread is serving, for readers that answer the same question once per request (see
// ZYClientRequestScope, which opens and closes it). Functions of the calling thread.
#pragma once

namespace zydb {

// Opens (nested: joins) the thread's request; closeRequest ends the outermost one.
void openRequest();
void closeRequest();
// The thread's outermost open request, as a number no earlier request of the thread had; 0 when none.
unsigned long long currentRequest();

}  // namespace zydb
