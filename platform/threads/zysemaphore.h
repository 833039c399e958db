// Counting semaphore (the database layer's schema semaphore). wait and release from any thread.
#pragma once

class ZySemaphoreH;

class ZySemaphore {
public:
    // Throws the text "Not enough memory to initialize ZySemaphore" when the handle cannot be made.
    explicit ZySemaphore(int initialCount);
    ~ZySemaphore();
    ZySemaphore(const ZySemaphore&) = delete;
    ZySemaphore& operator=(const ZySemaphore&) = delete;

    // Takes one unit, blocking while there is none.
    void wait();
    // Returns n units, waking as many waiters. A count below 1, or one that would overflow, is logged
    // and ignored.
    void release(int n);
    // Units available now.
    int available() const;

private:
    ZySemaphoreH* m_handle;  // owned
};
