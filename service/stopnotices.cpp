#include "service/stopnotices.h"

#include <utility>

CStopNotices::~CStopNotices() {
    drain();
}

bool CStopNotices::startLocked(std::string session, std::function<void()> send) {
    reapDone();
    if (m_notices.size() >= kMaxInFlight) return false;
    auto notice = std::make_unique<TNotice>();
    notice->session = std::move(session);
    TNotice* raw = notice.get();
    m_notices.push_back(std::move(notice));
    raw->thread = std::thread([this, raw, send = std::move(send)]() mutable { run(raw, std::move(send)); });
    return true;
}

void CStopNotices::run(TNotice* notice, std::function<void()> send) {
    for (;;) {
        send();
        CHubMutexLock lock(m_mutex);
        if (m_waiting.empty()) {
            notice->done = true;
            m_changed.notify_all();
            return;
        }
        notice->session = std::move(m_waiting.front().session);
        send = std::move(m_waiting.front().send);
        m_waiting.pop_front();
        m_changed.notify_all();
    }
}

void CStopNotices::post(std::string session, std::function<void()> send) {
    {
        CHubMutexLock lock(m_mutex);
        if (startLocked(session, send)) return;
        if (m_waiting.size() < kMaxWaiting) {
            m_waiting.push_back({std::move(session), std::move(send)});
            return;
        }
    }
    send();
}

bool CStopNotices::offer(std::function<void()> send) {
    CHubMutexLock lock(m_mutex);
    return startLocked(std::string(), std::move(send));
}

bool CStopNotices::waitForSession(const std::string& session, std::chrono::seconds limit) {
    if (session.empty()) return true;
    CHubMutexLock lock(m_mutex);
    return lock.waitFor(m_changed, limit, [this, &session]() REQUIRES(m_mutex) {
        for (const auto& notice : m_notices)
            if (!notice->done && notice->session == session) return false;
        for (const TWaiting& waiting : m_waiting)
            if (waiting.session == session) return false;
        return true;
    });
}

void CStopNotices::drain() {
    std::list<std::unique_ptr<TNotice>> joining;
    {
        CHubMutexLock lock(m_mutex);
        lock.wait(m_changed, [this]() REQUIRES(m_mutex) {
            for (const auto& notice : m_notices)
                if (!notice->done) return false;
            return true;
        });
        joining.swap(m_notices);
    }
    for (auto& notice : joining)
        if (notice->thread.joinable()) notice->thread.join();
}

void CStopNotices::reapDone() {
    for (auto it = m_notices.begin(); it != m_notices.end();) {
        if ((*it)->done && (*it)->thread.joinable()) {
            // Its thread only has the unlock left to do.
            (*it)->thread.join();
            it = m_notices.erase(it);
        } else {
            ++it;
        }
    }
}

std::unique_ptr<CZyNetwork> CStopLines::take(const std::string& server) {
    CHubMutexLock lock(m_mutex);
    auto kept = m_lines.find(server);
    if (kept == m_lines.end()) return nullptr;
    std::unique_ptr<CZyNetwork> line = std::move(kept->second);
    m_lines.erase(kept);
    return line;
}

bool CStopLines::refill(const std::string& server) {
    if (has(server)) return true;
    std::unique_ptr<CZyNetwork> line = m_open(server);
    if (!line) return false;
    CHubMutexLock lock(m_mutex);
    m_lines.emplace(server, std::move(line));  // a line opened meanwhile stays; this one closes
    return true;
}

bool CStopLines::has(const std::string& server) {
    CHubMutexLock lock(m_mutex);
    return m_lines.count(server) > 0;
}
