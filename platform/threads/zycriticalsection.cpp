#include "platform/threads/zycriticalsection.h"

#include <atomic>
#include <cstdlib>
#include <new>
#include <system_error>
#include <thread>

#include "platform/log/evdebug.h"
#include "platform/threads/hubmutex.h"
#include "platform/threads/threadslog.h"

// A recursive lock: a CHubMutex taken by the first entry of a thread, with the owner recorded, so that the
// holder enters again without waiting and a leave by a thread that does not hold the lock is refused
// instead of corrupting it. Only the holder ever finds its own id in m_owner.
class ZyCriticalSectionH {
public:
    // The analysis cannot follow a lock taken only on a thread's first entry.
    bool enter(bool wait) NO_THREAD_SAFETY_ANALYSIS {
        if (m_owner.load(std::memory_order_relaxed) != std::this_thread::get_id()) {
            try {
                if (wait) {
                    m_mutex.lock();
                } else if (!m_mutex.try_lock()) {
                    return false;
                }
            } catch (const std::system_error& e) {
                hubthreads::logFailure("ZyCriticalSection", "enter: the lock could not be taken: %s",
                                       e.what());
                return false;
            }
            m_owner.store(std::this_thread::get_id(), std::memory_order_relaxed);
        }
        ++m_depth;
        return true;
    }

    bool leave() NO_THREAD_SAFETY_ANALYSIS {
        if (m_owner.load(std::memory_order_relaxed) != std::this_thread::get_id()) {
            hubthreads::logFailure("ZyCriticalSection", "leave: the calling thread does not hold the lock");
            return false;
        }
        if (--m_depth == 0) {
            m_owner.store(std::thread::id(), std::memory_order_relaxed);
            m_mutex.unlock();
        }
        return true;
    }

private:
    CHubMutex m_mutex;
    std::atomic<std::thread::id> m_owner{};    // the holder, or no thread
    unsigned m_depth GUARDED_BY(m_mutex) = 0;  // entries of the holder
};

ZyCriticalSection::ZyCriticalSection() : m_handle(new (std::nothrow) ZyCriticalSectionH) {
    if (m_handle == nullptr) throw "Not enough memory to initialize ZyCriticalSection";
}

ZyCriticalSection::~ZyCriticalSection() {
    delete m_handle;
    m_handle = nullptr;
}

bool ZyCriticalSection::enter(bool wait) {
    return m_handle->enter(wait);
}

bool ZyCriticalSection::leave() {
    return m_handle->leave();
}

// The analysis cannot follow a lock that may be null; the guard stands for it.
ZyCriticalSectionLock::ZyCriticalSectionLock(ZyCriticalSection* lock) NO_THREAD_SAFETY_ANALYSIS
    : m_lock(lock) {
    if (m_lock == nullptr) return;
    if (!m_lock->enter(true)) {
        // Logged where it failed; going on would run the guarded work unguarded.
        EvDebug log(nullptr);
        log.setPrefixMessage("ZyCriticalSectionLock");
        log.fatal("a waiting enter failed; the process ends");
    }
}

ZyCriticalSectionLock::~ZyCriticalSectionLock() NO_THREAD_SAFETY_ANALYSIS {
    if (m_lock != nullptr) m_lock->leave();
}
