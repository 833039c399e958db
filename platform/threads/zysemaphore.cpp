#include "platform/threads/zysemaphore.h"

#include <climits>
#include <condition_variable>
#include <mutex>
#include <new>

#include "platform/threads/threadslog.h"

class ZySemaphoreH {
public:
    explicit ZySemaphoreH(int initialCount) : m_count(initialCount > 0 ? initialCount : 0) {}

    void wait() {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_cv.wait(lock, [this] { return m_count > 0; });
        --m_count;
    }

    void release(int n) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
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
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_count;
    }

private:
    std::mutex m_mutex;  // guards m_count
    std::condition_variable m_cv;
    int m_count;
};

ZySemaphore::ZySemaphore(int initialCount) : m_handle(new (std::nothrow) ZySemaphoreH(initialCount)) {
    if (m_handle == nullptr) throw "Not enough memory to initialize ZySemaphore";
    if (initialCount < 0) hubthreads::logFailure("ZySemaphore", "initial count %d taken as 0", initialCount);
}

ZySemaphore::~ZySemaphore() {
    delete m_handle;
    m_handle = nullptr;
}

void ZySemaphore::wait() { m_handle->wait(); }

void ZySemaphore::release(int n) { m_handle->release(n); }

int ZySemaphore::available() const { return m_handle->available(); }
