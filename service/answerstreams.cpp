#include "service/answerstreams.h"

#include <algorithm>
#include <vector>

namespace {

// A worker that was busy when its break came due is looked at again this soon.
constexpr std::chrono::milliseconds kBusyAgain{100};

}  // namespace

CAnswerStreams::CAnswerStreams(const CHubClock& clock, std::chrono::seconds resumeLimit, EndBroken end)
    : m_clock(clock),
      m_resumeLimit(resumeLimit),
      m_end(std::move(end)),
      m_sweeper(std::make_unique<CHubIdleSweeper::CEntry>(clock, [this] { return sweep(); })) {}

CAnswerStreams::~CAnswerStreams() {
    stop();
}

void CAnswerStreams::stop() {
    std::unique_ptr<CHubIdleSweeper::CEntry> sweeper;
    {
        CHubMutexLock lock(m_mutex);
        m_stopped = true;
        sweeper = std::move(m_sweeper);
    }
    // Outside the lock: a sweep under way may be ending a worker, which forgets it here.
    sweeper.reset();
}

void CAnswerStreams::heard(const std::string& id, const std::string& agent, long long connection, bool last) {
    CHubMutexLock lock(m_mutex);
    TWorker& worker = m_workers[id];
    const uint64_t order = ++worker.answers;
    auto stream = worker.streams.find(connection);
    if (stream == worker.streams.end()) {
        // A connection new to this worker: it takes up an answer of its agent that broke off, if any.
        TStream fresh{agent, order, order, false};
        if (auto broken = worker.breaks.find(agent); broken != worker.breaks.end()) {
            fresh.resumes = true;
            if (--broken->second.count == 0) worker.breaks.erase(broken);
        }
        if (last) return;
        worker.streams.emplace(connection, fresh);
        m_byConnection[connection].insert(id);
        return;
    }
    if (!last) {
        stream->second.latest = order;
        return;
    }
    worker.streams.erase(stream);
    if (auto on = m_byConnection.find(connection); on != m_byConnection.end()) {
        on->second.erase(id);
        if (on->second.empty()) m_byConnection.erase(on);
    }
}

void CAnswerStreams::connectionEnded(long long connection) {
    std::optional<TimePoint> due;
    {
        CHubMutexLock lock(m_mutex);
        auto on = m_byConnection.find(connection);
        if (on == m_byConnection.end()) return;
        const std::set<std::string> ids = std::move(on->second);
        m_byConnection.erase(on);
        const TimePoint now = m_clock.steadyNow();
        for (const std::string& id : ids) {
            auto worker = m_workers.find(id);
            if (worker == m_workers.end()) continue;
            auto stream = worker->second.streams.find(connection);
            if (stream == worker->second.streams.end()) continue;
            const TStream ended = stream->second;
            worker->second.streams.erase(stream);
            // The agent may already have gone on: a connection of its own whose answers began after the
            // last one this connection carried, not yet counted as going on with another.
            bool goneOn = false;
            for (auto& [other, s] : worker->second.streams)
                if (!goneOn && s.agent == ended.agent && !s.resumes && s.first > ended.latest)
                    s.resumes = goneOn = true;
            if (goneOn) continue;
            TBreak& broken = worker->second.breaks[ended.agent];
            if (broken.count++ == 0) broken.due = now + m_resumeLimit;
            due = due ? std::min(*due, broken.due) : broken.due;
        }
        if (due && m_sweeper) m_sweeper->due(*due);
    }
}

void CAnswerStreams::forget(const std::string& id) {
    CHubMutexLock lock(m_mutex);
    auto worker = m_workers.find(id);
    if (worker == m_workers.end()) return;
    for (const auto& [connection, stream] : worker->second.streams) {
        auto on = m_byConnection.find(connection);
        if (on == m_byConnection.end()) continue;
        on->second.erase(id);
        if (on->second.empty()) m_byConnection.erase(on);
    }
    m_workers.erase(worker);
}

bool CAnswerStreams::takeBroken(const std::string& id, std::string& agent) {
    {
        CHubMutexLock lock(m_mutex);
        auto worker = m_workers.find(id);
        if (worker == m_workers.end()) return false;
        const TimePoint now = m_clock.steadyNow();
        auto broken = std::find_if(worker->second.breaks.begin(), worker->second.breaks.end(),
                                   [&](const auto& entry) { return entry.second.due <= now; });
        if (broken == worker->second.breaks.end()) return false;
        agent = broken->first;
    }
    forget(id);
    return true;
}

bool CAnswerStreams::awaitsAgent(const std::string& id) {
    CHubMutexLock lock(m_mutex);
    auto worker = m_workers.find(id);
    return worker != m_workers.end() && !worker->second.breaks.empty();
}

std::optional<CAnswerStreams::TimePoint> CAnswerStreams::sweep() {
    std::vector<std::string> due;
    {
        CHubMutexLock lock(m_mutex);
        if (m_stopped) return std::nullopt;
        const TimePoint now = m_clock.steadyNow();
        for (const auto& [id, worker] : m_workers)
            for (const auto& [agent, broken] : worker.breaks)
                if (broken.due <= now) {
                    due.push_back(id);
                    break;
                }
    }
    // Outside the lock: ending a worker takes its lock, under which the relay tells this object.
    std::vector<std::string> done;
    bool busy = false;
    for (const std::string& id : due) {
        if (m_end(id))
            done.push_back(id);
        else
            busy = true;
    }
    CHubMutexLock lock(m_mutex);
    const TimePoint now = m_clock.steadyNow();
    // A break the ending left (its worker was already going) is not looked at again.
    for (const std::string& id : done)
        if (auto worker = m_workers.find(id); worker != m_workers.end())
            std::erase_if(worker->second.breaks, [&](const auto& entry) { return entry.second.due <= now; });
    std::optional<TimePoint> next;
    for (const auto& [id, worker] : m_workers)
        for (const auto& [agent, broken] : worker.breaks)
            next = next ? std::min(*next, broken.due) : broken.due;
    if (busy) next = std::min(next.value_or(TimePoint::max()), now + kBusyAgain);
    return next;
}
