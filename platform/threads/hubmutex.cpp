#include "platform/threads/hubmutex.h"

void CHubMutexLock::waitAtMost(std::condition_variable& changed, std::chrono::nanoseconds limit) {
    changed.wait_for(m_lock, limit);
}

CHubMutexLock::TDeadline CHubMutexLock::deadlineAfter(std::chrono::nanoseconds limit) {
    return std::chrono::steady_clock::now() + limit;
}

bool CHubMutexLock::waitUntil(std::condition_variable& changed, TDeadline deadline) {
    return changed.wait_until(m_lock, deadline) == std::cv_status::no_timeout;
}
