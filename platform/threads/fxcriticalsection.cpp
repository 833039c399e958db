#include "platform/threads/fxcriticalsection.h"

#include <boost/interprocess/exceptions.hpp>

#include "platform/threads/threadid.h"
#include "platform/threads/threadslog.h"

void FXLockableResource::SetLockOwner() {
    m_owner.store(GetCurrentThreadId(), std::memory_order_release);
}

bool FXCriticalSection::Lock() {
    try {
        m_mutex.lock();
    } catch (const boost::interprocess::interprocess_exception& e) {
        hubthreads::logFailure("FXCriticalSection", "Lock: the mutex could not be taken: %s", e.what());
        return false;
    }
    SetLockOwner();
    ++m_depth;
    return true;
}

bool FXCriticalSection::Unlock() {
    if (GetLockOwner() != GetCurrentThreadId()) {
        hubthreads::logFailure("FXCriticalSection", "Unlock: the calling thread does not hold the lock");
        return false;
    }
    if (--m_depth == 0) ClearLockOwner();
    m_mutex.unlock();
    return true;
}
