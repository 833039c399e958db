// The answers the index service is streaming, by browse session, so that a stop of a session (from the
// Hubmaster) ends them between two responses; a stop that finds no answer of its session is kept for
// the session's next request (a stop can overtake the request it stops); and, for tests and the tour,
// answers held after their first items until their session is stopped. Process-wide; any thread.
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
    // Stops and ended answers lapse, and holds end, on `clock`.
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

    // Kept stops, and sessions remembered as answered, beyond this many: the oldest go.
    static constexpr size_t kMaxKeptStops = 4096;

    // Stops every answer of `session` now streaming that belongs to `owner` (a later browse of the
    // session is a new one, and is answered). A stop of a session that has not been answered yet here
    // is kept for its first answer, which it stops as soon as it starts when that answer is `owner`'s,
    // for as long as a request may take to arrive (the age a signed request is accepted at); one of a
    // session whose answer has ended is for that answer, and is not kept. The number of answers it
    // stopped now.
    int stop(const std::string& session, const TAnswerOwner& owner);
    // Answers of sessions whose id starts with `prefix` are held after their first items for at most
    // `limit` (empty prefix: none is held).
    void holdSessions(std::string prefix, std::chrono::seconds limit);
    // Lets every held answer go on and holds no more (the agent is stopping).
    void releaseHolds();

private:
    using Clock = std::chrono::steady_clock;
    // A stop kept for its session's first answer: whose answer it ends.
    struct TKept {
        TAnswerOwner owner;
    };
    // Sessions noted until a stop of them lapses, at most kMaxKeptStops of them. Noting one drops the
    // lapsed ones and, at the bound, the one that lapses first: each step costs the log of their number,
    // as the agent notes every answer it ends.
    template <typename T>
    class CLapsing {
    public:
        struct TNoted {
            Clock::time_point lapses;
            T value;
        };
        const TNoted* find(const std::string& session) const;
        void erase(const std::string& session);
        void note(const std::string& session, Clock::time_point lapses, T value, Clock::time_point now);

    private:
        using ByLapse = std::multimap<Clock::time_point, std::string>;
        struct TEntry {
            TNoted noted;
            typename ByLapse::iterator byLapse;
        };
        std::map<std::string, TEntry> m_sessions;
        ByLapse m_byLapse;
    };
    // When a stop of a session noted now lapses.
    static Clock::time_point lapseFrom(Clock::time_point now);

    const CHubClock& m_clock;
    CHubMutex m_mutex;
    std::condition_variable m_changed;
    std::multimap<std::string, std::shared_ptr<TStopState>> m_streaming GUARDED_BY(m_mutex);
    // Stops that found no answer of their session, until they lapse.
    CLapsing<TKept> m_kept GUARDED_BY(m_mutex);
    // Sessions whose answers have ended, for as long as a stop of them is to be told from an early one.
    CLapsing<bool> m_answered GUARDED_BY(m_mutex);
    std::string m_holdPrefix GUARDED_BY(m_mutex);
    std::chrono::seconds m_holdLimit GUARDED_BY(m_mutex){0};
    bool m_released GUARDED_BY(m_mutex) = false;
};

}  // namespace mediaagent
