#include "platform/waits/waitpoint.h"

#include <atomic>

namespace hubwait {

namespace {

std::atomic<Flush> g_flush{nullptr};
thread_local bool t_pending = false;

}  // namespace

void beforeWait() {
    if (!t_pending) return;
    if (Flush flush = g_flush.load(std::memory_order_acquire)) flush();
}

void setFlush(Flush flush) {
    g_flush.store(flush, std::memory_order_release);
}

void setPending(bool pending) {
    t_pending = pending;
}

}  // namespace hubwait
