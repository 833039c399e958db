#include "platform/threads/fxevent.h"

#include <chrono>
#include <condition_variable>
#include <list>
#include <optional>
#include <system_error>
#include <unordered_map>
#include <utility>

#include "platform/threads/hubmutex.h"
#include "platform/threads/threadslog.h"

namespace hubthreads {

struct EventState {
    EventState(std::string eventName, bool manual, bool set)
        : name(std::move(eventName)), manualReset(manual), signalled(set) {}

    const std::string name;  // empty for a private event
    const bool manualReset;

    CHubMutex mutex;
    std::condition_variable cv;
    bool signalled GUARDED_BY(mutex);
    bool seen GUARDED_BY(mutex) = false;  // some wait has returned because of the current signal

    // Guarded by the registry's mutex.
    int holders = 0;
    std::optional<std::list<std::string>::iterator> retainedAt;
};

}  // namespace hubthreads

namespace {

using hubthreads::EventState;

// Enough for every worker whose completion nobody waited for to be found by a late waiter, without
// letting a long-running process keep every name forever.
constexpr size_t kMaxRetained = 4096;

class NamedEvents {
public:
    static NamedEvents& instance() {
        static NamedEvents* events = new NamedEvents;  // never destroyed: events may be released at exit
        return *events;
    }

    std::shared_ptr<EventState> bind(const std::string& name, bool manualReset, bool signalled);
    void release(const std::shared_ptr<EventState>& state);
    size_t retainedCount() {
        CHubMutexLock lock(m_mutex);
        return m_retained.size();
    }

private:
    CHubMutex m_mutex;  // also guards every state's holders and retainedAt
    std::unordered_map<std::string, std::shared_ptr<EventState>> m_events GUARDED_BY(m_mutex);
    std::list<std::string> m_retained GUARDED_BY(m_mutex);  // names held by nobody, oldest first
};

std::shared_ptr<EventState> NamedEvents::bind(const std::string& name, bool manualReset, bool signalled) {
    CHubMutexLock lock(m_mutex);
    auto& slot = m_events[name];
    if (!slot) {
        slot = std::make_shared<EventState>(name, manualReset, signalled);
    }
    if (slot->retainedAt) {
        m_retained.erase(*slot->retainedAt);
        slot->retainedAt.reset();
    }
    ++slot->holders;
    return slot;
}

void NamedEvents::release(const std::shared_ptr<EventState>& state) {
    CHubMutexLock lock(m_mutex);
    if (--state->holders > 0) return;
    bool keep;
    {
        CHubMutexLock stateLock(state->mutex);
        keep = state->signalled && !state->seen;
    }
    if (!keep) {
        m_events.erase(state->name);
        return;
    }
    state->retainedAt = m_retained.insert(m_retained.end(), state->name);
    if (m_retained.size() > kMaxRetained) {
        auto oldest = m_events.find(m_retained.front());
        m_retained.pop_front();
        if (oldest != m_events.end()) m_events.erase(oldest);
    }
}

}  // namespace

FXEvent::FXEvent(int initialState) : m_initialState(initialState) {}

FXEvent::~FXEvent() {
    release();
}

void FXEvent::release() {
    if (!m_state) return;
    if (!m_state->name.empty()) NamedEvents::instance().release(m_state);
    m_state.reset();
}

bool FXEvent::Create(const char* name, bool manualReset) {
    release();
    const bool signalled = m_initialState != 0;
    try {
        if (name == nullptr || *name == '\0') {
            m_state = std::make_shared<EventState>(std::string(), manualReset, signalled);
        } else {
            m_state = NamedEvents::instance().bind(name, manualReset, signalled);
        }
    } catch (const std::bad_alloc&) {
        hubthreads::logFailure("FXEvent", "Create: out of memory for event [%s]", name ? name : "");
        m_state.reset();
    }
    return m_state != nullptr;
}

int FXEvent::Set() {
    if (!m_state) return -1;
    {
        CHubMutexLock lock(m_state->mutex);
        m_state->signalled = true;
        m_state->seen = false;
    }
    if (m_state->manualReset) {
        m_state->cv.notify_all();
    } else {
        m_state->cv.notify_one();
    }
    return 0;
}

unsigned int FXEvent::WaitForSet(unsigned int milliseconds) {
    if (!m_state) return kWaitFailed;
    EventState& s = *m_state;
    auto isSet = [&s]() REQUIRES(s.mutex) { return s.signalled; };
    try {
        CHubMutexLock lock(s.mutex);
        if (milliseconds == kInfinite) {
            lock.wait(s.cv, isSet);
        } else if (!lock.waitFor(s.cv, std::chrono::milliseconds(milliseconds), isSet)) {
            return kWaitTimeout;
        }
        s.seen = true;
        if (!s.manualReset) s.signalled = false;
        return kWaitSignalled;
    } catch (const std::system_error& e) {
        hubthreads::logFailure("FXEvent", "WaitForSet: wait broke: %s", e.what());
        return kWaitFailed;
    }
}

size_t FXEvent::RetainedSignalCount() {
    return NamedEvents::instance().retainedCount();
}
