#include "platform/errors/eveventlog.h"

EvEventLog& EvEventLog::instance() {
    static EvEventLog* log = new EvEventLog;  // never destroyed: events may be raised during exit
    return *log;
}

void EvEventLog::record(EvEventRecord record) {
    CHubMutexLock lock(m_mutex);
    if (m_records.size() >= kCapacity) m_records.pop_front();
    m_records.push_back(std::move(record));
}

std::vector<EvEventRecord> EvEventLog::events() const {
    CHubMutexLock lock(m_mutex);
    return {m_records.begin(), m_records.end()};
}

void EvEventLog::clear() {
    CHubMutexLock lock(m_mutex);
    m_records.clear();
}
