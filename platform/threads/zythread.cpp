#include "platform/threads/zythread.h"

#include <system_error>

#include "platform/threads/threadslog.h"

ZyThread::ZyThread() = default;

ZyThread::~ZyThread() {
    CHubMutexLock lock(m_mutex);
    if (!m_thread.joinable()) return;  // a join still under way belongs to its caller, who must finish first
    if (m_thread.get_id() == std::this_thread::get_id()) {
        m_thread.detach();
    } else {
        m_thread.join();
    }
}

bool ZyThread::createThread(ThreadFunction fn, void* arg) {
    CHubMutexLock lock(m_mutex);
    if (fn == nullptr) {
        hubthreads::logFailure("ZyThread", "createThread: no entry function given");
        return false;
    }
    if (m_thread.joinable() || m_joining) {
        hubthreads::logFailure("ZyThread",
                               "createThread: a thread started on this handle has not been joined");
        return false;
    }
    auto outcome = std::make_shared<Outcome>();
    try {
        m_thread = std::thread([fn, arg, outcome] { outcome->result = fn(arg); });
    } catch (const std::system_error& e) {
        hubthreads::logFailure("ZyThread", "createThread: the system refused a new thread: %s", e.what());
        return false;
    }
    m_outcome = std::move(outcome);
    return true;
}

bool ZyThread::join(void** result) {
    std::thread thread;
    std::shared_ptr<Outcome> outcome;
    {
        CHubMutexLock lock(m_mutex);
        if (!m_thread.joinable()) return false;
        if (m_thread.get_id() == std::this_thread::get_id()) {
            hubthreads::logFailure("ZyThread", "join: a thread cannot join itself");
            return false;
        }
        thread = std::move(m_thread);
        outcome = std::move(m_outcome);
        m_joining = true;
    }
    thread.join();
    if (result != nullptr) *result = outcome->result;
    CHubMutexLock lock(m_mutex);
    m_joining = false;
    return true;
}

bool ZyThread::isJoinable() const {
    CHubMutexLock lock(m_mutex);
    return m_thread.joinable() || m_joining;
}

bool ZyThread::isCurrentThread() const {
    CHubMutexLock lock(m_mutex);
    return m_thread.joinable() && m_thread.get_id() == std::this_thread::get_id();
}
