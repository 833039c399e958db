#include "platform/db/requestscope.h"

namespace zydb {

namespace {

struct TRequest {
    int depth = 0;
    unsigned long long serial = 0;  // of the outermost request; 0 while none is open
    unsigned long long opened = 0;  // requests the thread has opened
};

TRequest& request() {
    thread_local TRequest r;
    return r;
}

}  // namespace

void openRequest() {
    TRequest& r = request();
    if (r.depth++ == 0) r.serial = ++r.opened;
}

void closeRequest() {
    TRequest& r = request();
    if (r.depth > 0 && --r.depth == 0) r.serial = 0;
}

unsigned long long currentRequest() {
    return request().serial;
}

}  // namespace zydb
