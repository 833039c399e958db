// CCallerWatch: tells, while a caller's request is inside the service's entry point (which may wait a
// long time: a virtual machine's browse waits for the VM's, a classic agent is read on the same thread),
// that the caller has left: its connection closed, or it spoke while it may only listen. What the
// request started is then stopped at once, not when the entry point returns. One thread looks at every
// watched connection a few times a second; watches are made and ended on any thread, and cost no system
// call while the thread is looking.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <thread>

#include "platform/net/zynetwork.h"
#include "platform/threads/hubmutex.h"

class CCallerWatch {
public:
    CCallerWatch();
    // Ends the polling thread; no watch may be left.
    ~CCallerWatch();
    CCallerWatch(const CCallerWatch&) = delete;
    CCallerWatch& operator=(const CCallerWatch&) = delete;

    // While it lives, a departure of the caller of `session` runs `left` once, on a thread of its own;
    // its end waits for `left` to return. The session stays open meanwhile (its request holds it).
    class CWatched {
    public:
        CWatched(CCallerWatch& watch, CZyNetwork& session, std::function<void()> left);
        ~CWatched();
        CWatched(const CWatched&) = delete;
        CWatched& operator=(const CWatched&) = delete;

    private:
        CCallerWatch& m_watch;
        uint64_t m_id;
    };

private:
    struct TEntry {
        int fd = -1;
        std::function<void()> left;
        std::thread running;  // runs `left` once the caller left
    };
    void poll();

    CHubMutex m_mutex;
    std::condition_variable m_changed;  // a watch began, or the watch ends
    std::map<uint64_t, std::shared_ptr<TEntry>> m_entries GUARDED_BY(m_mutex);
    uint64_t m_next GUARDED_BY(m_mutex) = 0;
    bool m_ending GUARDED_BY(m_mutex) = false;
    bool m_asleep GUARDED_BY(m_mutex) = false;  // waiting until a watch begins, which then wakes it
    std::thread m_thread;
};
