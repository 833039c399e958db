// CHubMutex: std::mutex as a lock clang's analysis knows (GUARDED_BY(m_mutex) on the fields it guards),
// and CHubMutexLock, which holds one for a scope and waits on condition variables with it.
// CHubSharedMutex: the same for data read far more often than written (CHubReadLock, CHubWriteLock).
// Any thread; not recursive. The only place product code names the standard locks.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <shared_mutex>
#include <utility>

#include "platform/threads/threadannotations.h"

class CAPABILITY("mutex") CHubMutex {
public:
    CHubMutex() = default;
    CHubMutex(const CHubMutex&) = delete;
    CHubMutex& operator=(const CHubMutex&) = delete;

    void lock() ACQUIRE() { m_mutex.lock(); }
    void unlock() RELEASE() { m_mutex.unlock(); }
    bool try_lock() TRY_ACQUIRE(true) { return m_mutex.try_lock(); }

private:
    friend class CHubMutexLock;
    std::mutex m_mutex;
};

class SCOPED_CAPABILITY CHubMutexLock {
public:
    explicit CHubMutexLock(CHubMutex& mutex) ACQUIRE(mutex) : m_lock(mutex.m_mutex) {}
    ~CHubMutexLock() RELEASE() {}
    CHubMutexLock(const CHubMutexLock&) = delete;
    CHubMutexLock& operator=(const CHubMutexLock&) = delete;

    // Waits until `done` (called with the mutex held) returns true.
    template <class Done>
    void wait(std::condition_variable& changed, Done done) {
        changed.wait(m_lock, std::move(done));
    }
    // Waits until `changed` is notified or `limit` has passed; the mutex is held again on return. A
    // wake-up may be spurious: the caller looks at what it waits for again.
    template <class Rep, class Period>
    void waitFor(std::condition_variable& changed, std::chrono::duration<Rep, Period> limit) {
        waitAtMost(changed, std::chrono::ceil<std::chrono::nanoseconds>(limit));
    }
    // Waits until `done` (called with the mutex held) returns true or `limit` has passed: its last answer.
    // (Not analysed: `done` runs with this lock's mutex held, which the analysis cannot see.)
    template <class Rep, class Period, class Done>
    bool waitFor(std::condition_variable& changed, std::chrono::duration<Rep, Period> limit,
                 Done done) NO_THREAD_SAFETY_ANALYSIS {
        const TDeadline deadline = deadlineAfter(std::chrono::ceil<std::chrono::nanoseconds>(limit));
        while (!done())
            if (!waitUntil(changed, deadline)) return done();
        return true;
    }

private:
    // The timed waits are out of line (hubmutex.cpp), where the standard library reads the steady clock
    // for their deadlines: product code reads the clock only where the build allows it
    // (cmake/clockreads).
    using TDeadline = std::chrono::steady_clock::time_point;
    void waitAtMost(std::condition_variable& changed, std::chrono::nanoseconds limit);
    static TDeadline deadlineAfter(std::chrono::nanoseconds limit);
    // False once `deadline` has passed.
    bool waitUntil(std::condition_variable& changed, TDeadline deadline);

    std::unique_lock<std::mutex> m_lock;
};

class CAPABILITY("mutex") CHubSharedMutex {
public:
    CHubSharedMutex() = default;
    CHubSharedMutex(const CHubSharedMutex&) = delete;
    CHubSharedMutex& operator=(const CHubSharedMutex&) = delete;

private:
    friend class CHubReadLock;
    friend class CHubWriteLock;
    std::shared_mutex m_mutex;
};

// Holds a CHubSharedMutex to read, alongside other readers, for a scope.
class SCOPED_CAPABILITY CHubReadLock {
public:
    explicit CHubReadLock(CHubSharedMutex& mutex) ACQUIRE_SHARED(mutex) : m_lock(mutex.m_mutex) {}
    ~CHubReadLock() RELEASE() {}
    CHubReadLock(const CHubReadLock&) = delete;
    CHubReadLock& operator=(const CHubReadLock&) = delete;

private:
    std::shared_lock<std::shared_mutex> m_lock;
};

// Holds a CHubSharedMutex alone, to write, for a scope.
class SCOPED_CAPABILITY CHubWriteLock {
public:
    explicit CHubWriteLock(CHubSharedMutex& mutex) ACQUIRE(mutex) : m_lock(mutex.m_mutex) {}
    ~CHubWriteLock() RELEASE() {}
    CHubWriteLock(const CHubWriteLock&) = delete;
    CHubWriteLock& operator=(const CHubWriteLock&) = delete;

private:
    std::unique_lock<std::shared_mutex> m_lock;
};
