#include "platform/threads/zysemaphore.h"

#include <climits>
#include <condition_variable>
#include <new>

#include "platform/threads/hubmutex.h"
#include "platform/threads/threadslog.h"

class ZySemaphoreH {
public:
    explicit ZySemaphoreH(int initialCount) : m_count(initialCount > 0 ? initialCount : 0) {}

    void wait() {
        CHubMutexLock lock(m_mutex);
        lock.wait(m_cv, [this]() REQUIRES(m_mutex) { return m_count > 0; });
        --m_count;
    }

    void release(int n) {
        {
            CHubMutexLock lock(m_mutex);
            if (n < 1 || m_count > INT_MAX - n) {
                hubthreads::logFailure("ZySemaphore", "release: count %d refused (%d available)", n, m_count);
                return;
            }
            m_count += n;
        }
        if (n == 1) {
            m_cv.notify_one();
        } else {
            m_cv.notify_all();
        }
    }

    int available() {
        CHubMutexLock lock(m_mutex);
        return m_count;
    }

private:
    CHubMutex m_mutex;
    std::condition_variable m_cv;
    int m_count GUARDED_BY(m_mutex);
};

ZySemaphore::ZySemaphore(int initialCount) : m_handle(new (std::nothrow) ZySemaphoreH(initialCount)) {
    if (m_handle == nullptr) throw "Not enough memory to initialize ZySemaphore";
    if (initialCount < 0) hubthreads::logFailure("ZySemaphore", "initial count %d taken as 0", initialCount);
}

ZySemaphore::~ZySemaphore() {
    delete m_handle;
    m_handle = nullptr;
}

void ZySemaphore::wait() {
    m_handle->wait();
}

void ZySemaphore::release(int n) {
    m_handle->release(n);
}

int ZySemaphore::available() const {
    return m_handle->available();
}
