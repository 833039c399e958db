// CStopNotices: the stops a stopped session's media agents are told, each sent on a thread of its own,
// so that a media agent that is slow or frozen holds neither the thread that took the stop (nor the reply
// it owes its caller) nor the notice to another agent. Owned by the controller; post from any thread;
// the destructor joins them.
#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "platform/net/zynetwork.h"
#include "platform/threads/hubmutex.h"

class CStopNotices {
public:
    // Threads sending notices at once; a notice beyond them waits for the first of them to be free.
    static constexpr size_t kMaxInFlight = 64;
    // Notices waiting for a thread (a few hundred bytes each); one beyond them is sent on the posting
    // thread (each send is bounded).
    static constexpr size_t kMaxWaiting = 65536;

    CStopNotices() = default;
    ~CStopNotices();
    CStopNotices(const CStopNotices&) = delete;
    CStopNotices& operator=(const CStopNotices&) = delete;

    // A notice of browse session `session` ("" : none).
    void post(std::string session, std::function<void()> send);
    // Work that may be left undone (a line opened ahead of a stop): sent on a thread of its own when one
    // is free, else dropped (false); never on the posting thread.
    bool offer(std::function<void()> send);
    // Returns once no notice of `session` is on its way, or `limit` has passed (false): a later browse of
    // the session then reaches the agents after the earlier stops, which would otherwise end it.
    bool waitForSession(const std::string& session, std::chrono::seconds limit);
    // Returns once no notice is on its way (tests, shutdown).
    void drain();

private:
    struct TNotice {
        std::thread thread;
        std::string session;  // of the notice it sends now; guarded by m_mutex
        bool done = false;    // guarded by m_mutex
    };
    struct TWaiting {
        std::string session;
        std::function<void()> send;
    };
    // Joins the notices that have been sent (their threads have ended or are about to).
    void reapDone() REQUIRES(m_mutex);
    // Starts a thread for `send` when fewer than kMaxInFlight run; false when none is free.
    bool startLocked(std::string session, std::function<void()> send) REQUIRES(m_mutex);
    // A notice thread's body: `send`, then the waiting notices while there are any.
    void run(TNotice* notice, std::function<void()> send);

    CHubMutex m_mutex;
    std::condition_variable m_changed;  // a notice was sent
    std::list<std::unique_ptr<TNotice>> m_notices GUARDED_BY(m_mutex);
    std::deque<TWaiting> m_waiting GUARDED_BY(m_mutex);  // oldest first
};

// CStopLines: one connection kept open to the index service of each media agent that was handed a
// session or told a stop, so that a stop goes out at once. A stop on a new connection to an agent that
// was frozen waits for its turn behind the connections that came first, such as that of the console
// whose request the stop is for, which the agent would then answer whole first. Each line carries one
// stop and is closed (its close answered once the agent has read the stop); the next is opened after.
// Owned by the controller; any thread.
class CStopLines {
public:
    using Opener = std::function<std::unique_ptr<CZyNetwork>(const std::string& server)>;

    explicit CStopLines(Opener open) : m_open(std::move(open)) {}
    CStopLines(const CStopLines&) = delete;
    CStopLines& operator=(const CStopLines&) = delete;

    // The line kept to `server` (null when none is).
    std::unique_ptr<CZyNetwork> take(const std::string& server);
    // Opens the line to `server` unless one is kept (on the caller's thread, within the connect limit);
    // true when one is kept.
    bool refill(const std::string& server);
    bool has(const std::string& server);

private:
    const Opener m_open;
    CHubMutex m_mutex;
    // One per media agent the Hubmaster's own records name.
    std::map<std::string, std::unique_ptr<CZyNetwork>> m_lines GUARDED_BY(m_mutex);
};
