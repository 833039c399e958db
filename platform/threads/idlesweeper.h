// CHubIdleSweeper: closes what components keep idle once its time is up, even when the process stays
// idle and nothing else would look. A component registers a sweep (CHubIdleSweeper::CEntry) on its
// clock: the sweep closes what has expired and answers when the next of what the component keeps
// expires (nothing: none left); `due` tells of a new expiry. One thread per clock runs every sweep of
// that clock while something is due: started by a `due` (none at load), it ends when nothing is due
// (letting go of its handle) and is joined when the last entry goes while it runs. Any thread; a sweep runs
// on the sweeper's thread with none of the sweeper's locks held; it may delete other entries (the stores of
// what it closes), never its own.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <thread>

#include "platform/threads/hubclock.h"
#include "platform/threads/hubmutex.h"

class CHubIdleSweeper {
public:
    using TimePoint = CHubClock::Steady::time_point;
    using Sweep = std::function<std::optional<TimePoint>()>;

    // One component's sweep, run while the entry lives.
    class CEntry {
    public:
        CEntry(const CHubClock& clock, Sweep sweep);
        // Once it returns, the sweep is not running and never runs again.
        ~CEntry();
        CEntry(const CEntry&) = delete;
        CEntry& operator=(const CEntry&) = delete;

        // Something expires at `when` (the clock's time): the sweep runs then at the latest.
        void due(TimePoint when);

    private:
        std::shared_ptr<CHubIdleSweeper> m_sweeper;
        uint64_t m_id = 0;
    };

    explicit CHubIdleSweeper(const CHubClock& clock);
    ~CHubIdleSweeper();
    // Ends its thread for good and joins it: no sweep runs afterwards (at exit).
    void stop();
    CHubIdleSweeper(const CHubIdleSweeper&) = delete;
    CHubIdleSweeper& operator=(const CHubIdleSweeper&) = delete;

private:
    struct TSweep {
        Sweep sweep;
        std::optional<TimePoint> next;
    };
    uint64_t add(Sweep sweep);
    void remove(uint64_t id);
    void due(uint64_t id, TimePoint when);
    void run();

    const CHubClock& m_clock;
    CHubMutex m_mutex;
    std::condition_variable m_changed;
    std::map<uint64_t, TSweep> m_sweeps GUARDED_BY(m_mutex);
    uint64_t m_lastId GUARDED_BY(m_mutex) = 0;
    uint64_t m_running GUARDED_BY(m_mutex) = 0;  // the sweep running now (0: none)
    uint64_t m_changes GUARDED_BY(m_mutex) = 0;  // counts what m_changed tells
    bool m_stopping GUARDED_BY(m_mutex) = false;
    std::thread m_thread GUARDED_BY(m_mutex);
};
