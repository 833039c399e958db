#include "platform/threads/osthread.h"

#include "platform/threads/threadslog.h"

OSThread::OSThread() = default;

// The handle's own destructor joins a thread still running.
OSThread::~OSThread() = default;

bool OSThread::start(void* arg) {
    if (m_thread.isJoinable()) {
        hubthreads::logFailure("OSThread", "start: the thread is already started and has not been joined");
        return false;
    }
    m_arg = arg;
    return m_thread.createThread(&OSThread::threadFunction, this);  // a refusal is logged there
}

bool OSThread::join(void** result) {
    return m_thread.join(result);
}

void* OSThread::threadFunction(void* self) {
    auto* thread = static_cast<OSThread*>(self);
    // run may delete the object; nothing of it is touched afterwards.
    return thread->run(thread->m_arg);
}
