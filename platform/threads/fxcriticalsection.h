// The database layer's process-wide recursive lock, over boost.interprocess, recording its holder.
// Lock/Unlock from any thread; the holder may lock again and unlocks as often as it locked.
#pragma once

#include <atomic>
#include <boost/interprocess/sync/interprocess_recursive_mutex.hpp>
#include <cstdint>

// Records which thread holds a lock (0: none).
class FXLockableResource {
public:
    int32_t GetLockOwner() const { return m_owner.load(std::memory_order_acquire); }

protected:
    void SetLockOwner();
    void ClearLockOwner() { m_owner.store(0, std::memory_order_release); }

private:
    std::atomic<int32_t> m_owner{0};
};

class FXCriticalSection : public FXLockableResource {
public:
    FXCriticalSection() = default;
    FXCriticalSection(const FXCriticalSection&) = delete;
    FXCriticalSection& operator=(const FXCriticalSection&) = delete;

    // False, logged, when the mutex could not be taken: the caller holds nothing and must not go on.
    bool Lock();
    // False, logged, when the calling thread does not hold the lock; nothing is released then.
    // The owner stays recorded until the holder's last Unlock.
    bool Unlock();

private:
    boost::interprocess::interprocess_recursive_mutex m_mutex;
    unsigned m_depth = 0;  // the holder's Lock count; touched only while held
};
