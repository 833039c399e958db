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

// Holds a ZyCriticalSection for a scope; a null lock is neither entered nor left. The enter may fail, so
// to the analysis this is a try-lock: the lock counts as held only where isLocked() said true.
class SCOPED_CAPABILITY ZyCriticalSectionLock {
public:
    explicit ZyCriticalSectionLock(ZyCriticalSection* lock) EXCLUDES(lock);
    ~ZyCriticalSectionLock() RELEASE();
    ZyCriticalSectionLock(const ZyCriticalSectionLock&) = delete;
    ZyCriticalSectionLock& operator=(const ZyCriticalSectionLock&) = delete;

    // False when a lock was given but could not be taken: the guarded work must not run.
    bool isLocked() TRY_ACQUIRE(true) { return m_lock == nullptr || m_entered; }

private:
    ZyCriticalSection* m_lock;
    bool m_entered = false;
};
