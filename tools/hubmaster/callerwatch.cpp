#include "tools/hubmaster/callerwatch.h"

#include <poll.h>

#include <chrono>
#include <utility>
#include <vector>

namespace {

// How often the watched connections are looked at, and the watch table while none is: a departure is
// acted on within two of these. A watch begins without waking the thread, so a browse costs it no call.
constexpr int kLookEveryMs = 200;
// After this many looks with nothing to watch the thread sleeps until a watch begins (which wakes it):
// an idle host is left alone.
constexpr int kIdleLooksBeforeSleep = 50;

}  // namespace

CCallerWatch::CCallerWatch() : m_thread([this] { poll(); }) {}

CCallerWatch::~CCallerWatch() {
    {
        CHubMutexLock lock(m_mutex);
        m_ending = true;
    }
    m_changed.notify_all();
    m_thread.join();
}

CCallerWatch::CWatched::CWatched(CCallerWatch& watch, CZyNetwork& session, std::function<void()> left)
    : m_watch(watch) {
    auto entry = std::make_shared<TEntry>();
    entry->fd = session.PollHandle();
    entry->left = std::move(left);
    bool asleep = false;
    {
        CHubMutexLock lock(m_watch.m_mutex);
        m_id = m_watch.m_next++;
        m_watch.m_entries.emplace(m_id, std::move(entry));
        asleep = m_watch.m_asleep;
    }
    if (asleep) m_watch.m_changed.notify_all();
}

CCallerWatch::CWatched::~CWatched() {
    std::thread running;
    {
        CHubMutexLock lock(m_watch.m_mutex);
        auto found = m_watch.m_entries.find(m_id);
        running = std::move(found->second->running);
        m_watch.m_entries.erase(found);
    }
    // What the departure started ends before the request it stops goes.
    if (running.joinable()) running.join();
}

void CCallerWatch::poll() {
    int idleLooks = 0;
    for (;;) {
        std::vector<pollfd> fds;
        std::vector<uint64_t> ids;
        {
            CHubMutexLock lock(m_mutex);
            // Connections whose caller has not yet been seen to leave.
            auto collect = [&]() REQUIRES(m_mutex) {
                fds.clear();
                ids.clear();
                for (const auto& [id, entry] : m_entries)
                    if (!entry->running.joinable()) {
                        fds.push_back({entry->fd, POLLIN, 0});
                        ids.push_back(id);
                    }
                return m_ending || !fds.empty();
            };
            if (!collect()) {
                if (++idleLooks < kIdleLooksBeforeSleep) {
                    lock.waitFor(m_changed, std::chrono::milliseconds(kLookEveryMs));
                } else {
                    m_asleep = true;
                    lock.wait(m_changed, collect);
                    m_asleep = false;
                    idleLooks = 0;
                }
                if (!collect()) continue;
            }
            if (m_ending) return;
            idleLooks = 0;
        }
        // Nothing is read: a caller only listens while its request runs, so anything that arrives (its
        // close included) means it left.
        if (::poll(fds.data(), fds.size(), kLookEveryMs) <= 0) continue;
        CHubMutexLock lock(m_mutex);
        for (size_t n = 0; n < fds.size(); ++n) {
            if (fds[n].revents == 0) continue;
            // A watch that ended meanwhile is passed over: its connection may be closed, its number reused.
            auto found = m_entries.find(ids[n]);
            if (found == m_entries.end() || found->second->running.joinable()) continue;
            found->second->running = std::thread(found->second->left);
        }
    }
}
