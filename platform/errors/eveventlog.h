// The process's event log: the events raised with EvEvent::MinorEvent, newest last, bounded in size.
// Callable from any thread.
#pragma once

#include <cstddef>
#include <ctime>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "platform/threads/hubmutex.h"

struct EvEventRecord {
    int eventId = 0;
    long long jobId = 0;
    int severity = 0;
    unsigned long locale = 0;
    std::vector<std::string> arguments;
    std::string text;  // rendered in the event's locale
    std::time_t raisedAt = 0;
};

class EvEventLog {
public:
    static constexpr size_t kCapacity = 10000;  // the oldest records go first

    static EvEventLog& instance();

    void record(EvEventRecord record);
    std::vector<EvEventRecord> events() const;
    void clear();

private:
    EvEventLog() = default;

    mutable CHubMutex m_mutex;
    std::deque<EvEventRecord> m_records GUARDED_BY(m_mutex);
};
