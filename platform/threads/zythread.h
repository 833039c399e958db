// Platform thread handle: one joinable std::thread running a C-style entry function.
// Owned by one object (usually an OSThread); createThread and join may be called from any thread.
#pragma once

#include <memory>
#include <mutex>
#include <thread>

#include "platform/threads/hubmutex.h"

class ZyThread {
public:
    using ThreadFunction = void* (*)(void*);

    ZyThread();
    // Joins a thread still running so that the process never terminates on destruction; a handle
    // destroyed by its own thread lets that thread finish on its own instead.
    ~ZyThread();
    ZyThread(const ZyThread&) = delete;
    ZyThread& operator=(const ZyThread&) = delete;

    // Starts fn(arg) on a new thread. False when a thread started here has not been joined yet or
    // when the system refuses a new thread; nothing runs then.
    bool createThread(ThreadFunction fn, void* arg);
    // Waits for the thread to end and hands back fn's result. False when no thread is waiting to be
    // joined or when called from the thread itself.
    bool join(void** result = nullptr);
    // True from a successful createThread until a join has ended.
    bool isJoinable() const;
    bool isCurrentThread() const;

private:
    // The result lives apart from the handle: a thread may outlive a handle its entry destroyed.
    struct Outcome {
        void* result = nullptr;
    };

    mutable CHubMutex m_mutex;
    std::thread m_thread GUARDED_BY(m_mutex);
    std::shared_ptr<Outcome> m_outcome GUARDED_BY(m_mutex);
    bool m_joining GUARDED_BY(m_mutex) = false;  // a join is under way: no new thread until it ends
};
