// Lock rules written so that clang checks them (-Wthread-safety): what a lock guards, which members run
// with it held, which types take and give it back. Under other compilers the macros expand to nothing.
// Header only; any unit may include it.
#pragma once

#if defined(__clang__)
#define HUB_THREAD_ATTRIBUTE(x) __attribute__((x))
#else
#define HUB_THREAD_ATTRIBUTE(x)
#endif

// A type whose objects are locks.
#define CAPABILITY(name) HUB_THREAD_ATTRIBUTE(capability(name))
// A type that holds a lock for its own lifetime.
#define SCOPED_CAPABILITY HUB_THREAD_ATTRIBUTE(scoped_lockable)
// The field is read and written only with the lock held.
#define GUARDED_BY(lock) HUB_THREAD_ATTRIBUTE(guarded_by(lock))
// What the pointer points to is read and written only with the lock held.
#define PT_GUARDED_BY(lock) HUB_THREAD_ATTRIBUTE(pt_guarded_by(lock))
// The lock is taken after the ones named (a documented order clang checks where it can).
#define ACQUIRED_AFTER(...) HUB_THREAD_ATTRIBUTE(acquired_after(__VA_ARGS__))
#define ACQUIRED_BEFORE(...) HUB_THREAD_ATTRIBUTE(acquired_before(__VA_ARGS__))
// The caller holds the locks for the call.
#define REQUIRES(...) HUB_THREAD_ATTRIBUTE(requires_capability(__VA_ARGS__))
// The caller holds the locks, to read at least, for the call.
#define REQUIRES_SHARED(...) HUB_THREAD_ATTRIBUTE(requires_shared_capability(__VA_ARGS__))
// The caller must not hold the locks (the function takes them itself).
#define EXCLUDES(...) HUB_THREAD_ATTRIBUTE(locks_excluded(__VA_ARGS__))
// The function takes the locks (this object's when none is named) and returns holding them.
#define ACQUIRE(...) HUB_THREAD_ATTRIBUTE(acquire_capability(__VA_ARGS__))
// The function gives back locks the caller held.
#define RELEASE(...) HUB_THREAD_ATTRIBUTE(release_capability(__VA_ARGS__))
// The function takes the locks to read, alongside other readers, and returns holding them.
#define ACQUIRE_SHARED(...) HUB_THREAD_ATTRIBUTE(acquire_shared_capability(__VA_ARGS__))
// The function takes the locks only when it returns the given value.
#define TRY_ACQUIRE(...) HUB_THREAD_ATTRIBUTE(try_acquire_capability(__VA_ARGS__))
// The function returns (a reference to) the named lock, so callers can name it.
#define RETURN_CAPABILITY(lock) HUB_THREAD_ATTRIBUTE(lock_returned(lock))
// Tells the analysis the lock is held here (checked by other means at run time, or by the caller).
#define ASSERT_CAPABILITY(lock) HUB_THREAD_ATTRIBUTE(assert_capability(lock))
// The lock primitives themselves, whose bodies the analysis cannot follow.
#define NO_THREAD_SAFETY_ANALYSIS HUB_THREAD_ATTRIBUTE(no_thread_safety_analysis)
