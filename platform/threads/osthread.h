// An abstract thread: a derived class supplies run(), its owner calls start() and join() before deleting
// it. start and join from the owner's thread; run may delete the object (nothing of it is used after).
#pragma once

#include "platform/threads/osobject.h"
#include "platform/threads/zythread.h"

class OSThread : public OSObject {
public:
    OSThread();
    // Joins a thread still running so that the process never terminates. Derived classes must stop and
    // join() in their own destructor: by the time this one runs, their part of the object is gone.
    ~OSThread() override;

    // Runs run(arg) on a new thread. False, with the failure logged, when the thread could not be started
    // (for instance because an earlier start has not been joined); run is then never called.
    bool start(void* arg);
    // Waits until run has returned. False when no started thread is waiting to be joined or when called
    // from the thread itself.
    bool join(void** result = nullptr);
    // True from a successful start until join has ended.
    bool isStarted() const { return m_thread.isJoinable(); }

    virtual void* run(void* arg) = 0;

    // The new thread's entry: calls self->run with the argument given to start.
    static void* threadFunction(void* self);

private:
    ZyThread m_thread;
    void* m_arg = nullptr;  // written by start before the thread exists, read only by that thread
};
