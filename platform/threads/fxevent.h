// Platform event: private, or shared by name with every other FXEvent bound to that name in the process.
// Set and WaitForSet may be called from any thread; binding (Create) by the owner only.
#pragma once

#include <memory>
#include <string>

namespace hubthreads {
struct EventState;
}

class FXEvent {
public:
    static constexpr unsigned int kWaitSignalled = 0;
    static constexpr unsigned int kWaitTimeout = 258;
    static constexpr unsigned int kWaitFailed = 0xFFFFFFFFu;
    static constexpr unsigned int kInfinite = 0xFFFFFFFFu;  // as a time limit: wait until set

    // initialState 0: not signalled when this object creates the event; anything else: signalled.
    explicit FXEvent(int initialState);
    virtual ~FXEvent();
    FXEvent(const FXEvent&) = delete;
    FXEvent& operator=(const FXEvent&) = delete;

    // Binds this object to an event, releasing the one it held. An empty or null name makes a private
    // event; a name binds to the one event of that name in the process, created on first use with the
    // given reset mode. A signal given to a named event while nobody held it is kept for the next
    // holder, until some wait has seen it.
    bool Create(const char* name, bool manualReset);
    bool IsBound() const { return m_state != nullptr; }

    // Signals the event: every waiter wakes (manual reset) or one does (automatic reset). A manual-reset
    // event stays signalled.
    virtual int Set();
    // kWaitSignalled, kWaitTimeout after `milliseconds` (kInfinite: no limit), kWaitFailed when the
    // object holds no event or the wait itself broke.
    virtual unsigned int WaitForSet(unsigned int milliseconds);

    // Named events kept alive only for a signal nobody has seen yet (bounded; the oldest go first).
    static size_t RetainedSignalCount();

private:
    void release();

    int m_initialState;
    std::shared_ptr<hubthreads::EventState> m_state;
};
