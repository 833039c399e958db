// Recursive lock of the shared registries and caches, and its scope guard.
// Any thread may enter; the thread that holds the lock may enter again and leaves as often as it entered.
#pragma once

#include "platform/threads/threadannotations.h"

class ZyCriticalSectionH;

class CAPABILITY("mutex") ZyCriticalSection {
public:
    // Throws the text "Not enough memory to initialize ZyCriticalSection" when the handle cannot be made.
    ZyCriticalSection();
    ~ZyCriticalSection();
    ZyCriticalSection(const ZyCriticalSection&) = delete;
    ZyCriticalSection& operator=(const ZyCriticalSection&) = delete;

    // wait true: blocks until held. wait false: takes the lock only when that needs no waiting.
    // False when the lock was not taken (a broken lock is logged); the caller then holds nothing and
    // must not go on.
    bool enter(bool wait) TRY_ACQUIRE(true);
    // False, logged, when the calling thread does not hold the lock; nothing is released then.
    bool leave() RELEASE();

private:
    ZyCriticalSectionH* m_handle;  // owned
};

// Holds a ZyCriticalSection for a scope; a null lock is neither entered nor left. The waiting enter fails
// only when the mutex itself is broken, and no caller can go on without the lock it asked for, so that
// failure ends the process here: a caller always holds the lock once the guard is made.
class SCOPED_CAPABILITY ZyCriticalSectionLock {
public:
    explicit ZyCriticalSectionLock(ZyCriticalSection* lock) ACQUIRE(lock);
    ~ZyCriticalSectionLock() RELEASE();
    ZyCriticalSectionLock(const ZyCriticalSectionLock&) = delete;
    ZyCriticalSectionLock& operator=(const ZyCriticalSectionLock&) = delete;

private:
    ZyCriticalSection* m_lock;
};
