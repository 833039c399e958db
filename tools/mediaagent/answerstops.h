// The answers the index service is streaming, by browse session, so that a stop of a session (from the
// Hubmaster) ends them between two responses; and, for tests and the tour, answers held after their
// first items until their session is stopped. Process-wide; any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "platform/threads/hubclock.h"
#include "platform/threads/hubmutex.h"

namespace mediaagent {

// Whose answer it is, as the Hubmaster named the owner of its session in the request: the user id of an
// indexing-v2 request's advanced options, or the user text of an index browse request. A stop names
// its session's owner the same ways; it ends an answer only when it names that answer's owner in the
// answer's own form, so another caller's answer under the same session name is left to run.
struct TAnswerOwner {
    bool hasUserId = false;
    int64_t userId = 0;
    std::string userText;
    bool isNamedBy(const TAnswerOwner& stop) const {
        if (hasUserId && stop.hasUserId) return userId == stop.userId;
        return !userText.empty() && userText == stop.userText;
    }
};

// Whether one streaming answer was stopped, and whose it is; written under its CAnswerStops' mutex.
// The flag is read without it: an answer's index reads look at it every few thousand steps.
struct TStopState {
    TAnswerOwner owner;
    std::atomic<bool> stopped{false};
};

class CAnswerStops {
public:
    // Holds end on `clock`.
    explicit CAnswerStops(const CHubClock& clock = CHubClock::real()) : m_clock(clock) {}
    // One answer of a session, registered while it streams.
    class CAnswer {
    public:
        CAnswer(CAnswerStops& stops, std::string session, TAnswerOwner owner);
        ~CAnswer();
        CAnswer(const CAnswer&) = delete;
        CAnswer& operator=(const CAnswer&) = delete;
        bool stopped() const;
        // Whether this answer is still to be held (its session is one the agent holds).
        bool holds() const;
        // After the first items of a held session: waits until the session is stopped or the hold limit
        // passes (once per answer). True when stopped.
        bool holdIfAsked(uint64_t itemsServed);

    private:
        CAnswerStops& m_stops;
        const std::string m_session;
        std::shared_ptr<TStopState> m_state;
        bool m_holdDone GUARDED_BY(m_stops.m_mutex) = false;
    };

    static CAnswerStops& instance();

    // Stops every answer of `session` now streaming that belongs to `owner`, and nothing else: a later
    // request of the session is a new browse (nothing in a stop names the request it was meant for,
    // so one that arrives before its request, or after its answer ended, ends nothing). The number of
    // answers it stopped.
    int stop(const std::string& session, const TAnswerOwner& owner);
    // Answers of sessions whose id starts with `prefix` are held after their first items for at most
    // `limit` (empty prefix: none is held).
    void holdSessions(std::string prefix, std::chrono::seconds limit);
    // Lets every held answer go on and holds no more (the agent is stopping).
    void releaseHolds();

private:
    const CHubClock& m_clock;
    CHubMutex m_mutex;
    std::condition_variable m_changed;
    std::multimap<std::string, std::shared_ptr<TStopState>> m_streaming GUARDED_BY(m_mutex);
    std::string m_holdPrefix GUARDED_BY(m_mutex);
    std::chrono::seconds m_holdLimit GUARDED_BY(m_mutex){0};
    bool m_released GUARDED_BY(m_mutex) = false;
};

}  // namespace mediaagent
