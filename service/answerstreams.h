// CAnswerStreams: which of the router's connections carry a media agent's answer to a worker that has
// not ended there. An agent may answer one worker on several connections, at once or one after another;
// when a connection ends while an answer is under way on it, the agent has a bounded time to go on with
// that worker on another connection under its name, and past it the worker's browse ends with an error
// at once, not at its idle limit. The relay tells it what it forwards (under the worker's lock), the
// router's disconnect callback which connection ended, the controller which worker is gone. Any thread.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "platform/threads/hubclock.h"
#include "platform/threads/hubmutex.h"
#include "platform/threads/idlesweeper.h"

class CAnswerStreams {
public:
    // Ends the browse of worker `id` whose answer broke off (taking its lock, then takeBroken); false when
    // the worker is busy, to be asked again shortly.
    using EndBroken = std::function<bool(const std::string& id)>;

    // Breaks are timed on `clock` (which must outlive this object): an agent has `resumeLimit` to go on.
    CAnswerStreams(const CHubClock& clock, std::chrono::seconds resumeLimit, EndBroken end);
    ~CAnswerStreams();
    CAnswerStreams(const CAnswerStreams&) = delete;
    CAnswerStreams& operator=(const CAnswerStreams&) = delete;

    // Worker `id` was forwarded an answer of media agent `agent` that came on router connection
    // `connection`; `last` when it was the end of that answer. Under the worker's lock.
    void heard(const std::string& id, const std::string& agent, long long connection, bool last);
    // Router connection `connection` ended (for whatever reason): each answer under way on it broke off.
    void connectionEnded(long long connection);
    // Worker `id` is gone: nothing more is kept of it.
    void forget(const std::string& id);
    // Under the worker's lock, for EndBroken: true (and `agent`, the agent whose answer broke off) when an
    // answer of worker `id` broke off and its agent's time to go on has passed; the worker is then
    // forgotten.
    bool takeBroken(const std::string& id, std::string& agent);
    // True while an answer of worker `id` that broke off waits for its agent to go on.
    bool awaitsAgent(const std::string& id);
    // No break is ended any more (the controller is going); waits for an ending under way.
    void stop();

    std::chrono::seconds resumeLimit() const { return m_resumeLimit; }

private:
    using TimePoint = CHubClock::Steady::time_point;
    // An answer under way on one connection: its agent, and the order numbers (among the worker's
    // answers) of its first and latest answer.
    struct TStream {
        std::string agent;
        uint64_t first = 0, latest = 0;
        bool resumes = false;  // it goes on with an answer that broke off elsewhere
    };
    // Answers of an agent that broke off and were not yet taken up on another connection.
    struct TBreak {
        unsigned count = 0;
        TimePoint due;  // the earliest break's time to go on ends
    };
    struct TWorker {
        uint64_t answers = 0;
        std::map<long long, TStream> streams;  // by connection
        std::map<std::string, TBreak> breaks;  // by agent
    };

    std::optional<TimePoint> sweep();

    const CHubClock& m_clock;
    const std::chrono::seconds m_resumeLimit;
    const EndBroken m_end;
    CHubMutex m_mutex;
    std::map<std::string, TWorker> m_workers GUARDED_BY(m_mutex);
    std::map<long long, std::set<std::string>> m_byConnection GUARDED_BY(m_mutex);
    bool m_stopped GUARDED_BY(m_mutex) = false;
    // Runs sweep when a break is due; taken out and destroyed by stop, outside the lock.
    std::unique_ptr<CHubIdleSweeper::CEntry> m_sweeper GUARDED_BY(m_mutex);
};
