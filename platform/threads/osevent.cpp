#include "platform/threads/osevent.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <utility>

#include "platform/threads/hubclock.h"
#include "platform/threads/threadslog.h"

namespace {

constexpr auto kRetryPause = std::chrono::milliseconds(100);
// A wait that keeps failing is reported on its first failure and then once a minute, not every pause.
constexpr unsigned kReportEvery = 600;

}  // namespace

OSEvent::OSEvent(bool manualReset, const CHubClock& clock) : m_clock(clock) {
    Init("", manualReset);
}

OSEvent::~OSEvent() = default;

bool OSEvent::Init(const char* name, bool manualReset) {
    // Bound before the old one is released: rebinding the name already held keeps its pending signal.
    auto event = std::make_shared<FXEvent>(0);
    const bool bound = event->Create(name, manualReset);
    std::shared_ptr<FXEvent> old;
    {
        CHubMutexLock lock(m_mutex);
        old = std::exchange(m_event, bound ? std::move(event) : nullptr);
    }
    return bound;  // the old event is released here, outside the lock
}

void OSEvent::Adopt(std::unique_ptr<FXEvent> event) {
    std::shared_ptr<FXEvent> old;
    CHubMutexLock lock(m_mutex);
    old = std::exchange(m_event, std::shared_ptr<FXEvent>(std::move(event)));
}

std::shared_ptr<FXEvent> OSEvent::held() const {
    CHubMutexLock lock(m_mutex);
    return m_event;
}

bool OSEvent::Wait(unsigned int milliseconds) {
    const std::shared_ptr<FXEvent> event = held();
    if (!event) {
        hubthreads::logFailure("OSEvent", "Wait: the object holds no event");
        return false;
    }
    const bool unlimited = milliseconds == FXEvent::kInfinite;
    const auto deadline = m_clock.steadyNow() + std::chrono::milliseconds(unlimited ? 0 : milliseconds);
    unsigned failures = 0;
    for (;;) {
        unsigned int slice = FXEvent::kInfinite;
        if (!unlimited) {
            // The limit is the clock's: a wait sleeps at most as long as the clock asks before reading it
            // again, so a clock that jumps ends it.
            const auto left = deadline - m_clock.steadyNow();
            if (left <= left.zero()) return event->WaitForSet(0) == FXEvent::kWaitSignalled;
            const auto sleep = std::chrono::ceil<std::chrono::milliseconds>(
                std::min<CHubClock::Steady::duration>(left, m_clock.recheckEvery()));
            slice = static_cast<unsigned int>(std::min<long long>(sleep.count(), FXEvent::kInfinite - 1));
        }
        const unsigned int result = event->WaitForSet(slice);
        if (result == FXEvent::kWaitSignalled) return true;
        if (result == FXEvent::kWaitTimeout) continue;
        if (failures++ % kReportEvery == 0) {
            hubthreads::logFailure("OSEvent", "Wait: the wait failed (result %u, failure %u); retrying",
                                   result, failures);
        }
        std::this_thread::sleep_for(kRetryPause);
    }
}

bool OSEvent::Wait() {
    return Wait(FXEvent::kInfinite);
}

void OSEvent::Signal() {
    const std::shared_ptr<FXEvent> event = held();
    if (!event) {
        hubthreads::logFailure("OSEvent", "Signal: the object holds no event");
        return;
    }
    event->Set();
}
