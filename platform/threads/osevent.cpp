#include "platform/threads/osevent.h"

#include <chrono>
#include <thread>
#include <utility>

#include "platform/threads/hubclock.h"
#include "platform/threads/threadslog.h"
#include "platform/waits/waitpoint.h"

namespace {

constexpr auto kRetryPause = std::chrono::milliseconds(100);
// A wait that keeps failing is reported on its first failure and then once a minute, not every pause.
constexpr unsigned kReportEvery = 600;

}  // namespace

OSEvent::OSEvent(bool manualReset) {
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
    const auto deadline =
        CHubClock::real().steadyNow() + std::chrono::milliseconds(unlimited ? 0 : milliseconds);
    unsigned failures = 0;
    unsigned int slice = milliseconds;
    for (;;) {
        const unsigned int result = event->WaitForSet(slice);
        if (result == FXEvent::kWaitSignalled) return true;
        if (result == FXEvent::kWaitTimeout) return false;
        if (failures++ % kReportEvery == 0) {
            hubthreads::logFailure("OSEvent", "Wait: the wait failed (result %u, failure %u); retrying",
                                   result, failures);
        }
        if (unlimited) {
            hubwait::beforeWait();
            std::this_thread::sleep_for(kRetryPause);
            continue;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - CHubClock::real().steadyNow());
        if (left <= kRetryPause) {
            hubwait::beforeWait();
            std::this_thread::sleep_for(left > left.zero() ? left : left.zero());
            return event->WaitForSet(0) == FXEvent::kWaitSignalled;
        }
        hubwait::beforeWait();
        std::this_thread::sleep_for(kRetryPause);
        slice = static_cast<unsigned int>((left - kRetryPause).count());
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
