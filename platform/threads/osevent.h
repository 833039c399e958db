// A waitable event: private, or shared by every OSEvent bound to the same name in the process, so that
// Signal through any of them ends the waits on all. Wait/Signal from any thread, also while the owner
// rebinds the object with Init (a stopping thread may be signalled while it binds its event).
#pragma once

#include <memory>

#include "platform/threads/fxevent.h"
#include "platform/threads/hubclock.h"
#include "platform/threads/hubmutex.h"
#include "platform/threads/osobject.h"

class OSEvent : public OSObject {
public:
    // Holds a private, non-signalled event from the start. Its timed waits are measured on `clock`, which
    // must outlive it.
    explicit OSEvent(bool manualReset = true, const CHubClock& clock = CHubClock::real());
    ~OSEvent() override;

    // Rebinds to the event of `name` (empty or null: a new private event), releasing the one held before.
    // False when the object holds no event afterwards.
    bool Init(const char* name, bool manualReset);

    // True when the event is signalled within `milliseconds`, false on a time-out. A failed wait is
    // logged and retried after a short pause within the same limit; it never passes for a signal.
    bool Wait(unsigned int milliseconds);
    // Waits without a time limit; false only when the object holds no event.
    bool Wait();
    void Signal();

protected:
    // Takes over an event already bound by the caller, releasing the one held before.
    void Adopt(std::unique_ptr<FXEvent> event);

private:
    // The event held now; a wait keeps it alive though the object is rebound meanwhile.
    std::shared_ptr<FXEvent> held() const;

    const CHubClock& m_clock;
    mutable CHubMutex m_mutex;  // guards the pointer; the event guards itself
    std::shared_ptr<FXEvent> m_event GUARDED_BY(m_mutex);
};
