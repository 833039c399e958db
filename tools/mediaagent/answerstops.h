// The answers the index service is streaming, by browse session, so that a stop of a session (from the
// Hubmaster) ends them between two responses; a stop that finds no answer of its session is kept for
// the session's next request (a stop can overtake the request it stops); and, for tests and the tour,
// answers held after their first items until their session is stopped. Process-wide; any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "platform/threads/hubmutex.h"

namespace mediaagent {

// Whether one streaming answer was stopped; guarded by its CAnswerStops' mutex.
struct TStopState {
    bool stopped = false;
};

class CAnswerStops {
public:
    // One answer of a session, registered while it streams.
    class CAnswer {
    public:
        CAnswer(CAnswerStops& stops, std::string session);
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

    // Stops without waiting for this long: kept stops beyond this many, the oldest go.
    static constexpr size_t kMaxKeptStops = 4096;

    // Stops every answer of `session` now streaming. With none of the session streaming, the stop is kept for the
    // session's next answer, which it stops as soon as it starts, for as long as a request may take to
    // arrive (the age a signed request is accepted at). The number of answers it stopped now.
    int stop(const std::string& session);
    // Answers of sessions whose id starts with `prefix` are held after their first items for at most
    // `limit` (empty prefix: none is held).
    void holdSessions(std::string prefix, std::chrono::seconds limit);
    // Lets every held answer go on and holds no more (the agent is stopping).
    void releaseHolds();

private:
    CHubMutex m_mutex;
    std::condition_variable m_changed;
    std::multimap<std::string, std::shared_ptr<TStopState>> m_streaming GUARDED_BY(m_mutex);
    // Stops that found no answer of their session, with when they lapse.
    std::map<std::string, std::chrono::steady_clock::time_point> m_kept GUARDED_BY(m_mutex);
    std::string m_holdPrefix GUARDED_BY(m_mutex);
    std::chrono::seconds m_holdLimit GUARDED_BY(m_mutex){0};
    bool m_released GUARDED_BY(m_mutex) = false;
};

}  // namespace mediaagent
