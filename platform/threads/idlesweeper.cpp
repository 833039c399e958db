#include "platform/threads/idlesweeper.h"

#include <cstdlib>
#include <utility>
#include <vector>

namespace {

// The sweeper of each clock, while an entry holds it.
struct TRegistry {
    CHubMutex mutex;
    std::map<const CHubClock*, std::weak_ptr<CHubIdleSweeper>> byClock GUARDED_BY(mutex);
};

TRegistry& registry() {
    static TRegistry* r = new TRegistry;  // lives until exit: entries may outlive static destruction
    return *r;
}

// At exit every sweeper's thread is stopped and joined: entries that live until exit (a static pool's)
// would otherwise leave a thread running into the static destructors.
void joinAtExit() {
    std::vector<std::shared_ptr<CHubIdleSweeper>> live;
    {
        TRegistry& r = registry();
        CHubMutexLock lock(r.mutex);
        for (auto& [clock, sweeper] : r.byClock)
            if (auto held = sweeper.lock()) live.push_back(std::move(held));
    }
    for (auto& sweeper : live) sweeper->stop();
}

}  // namespace

CHubIdleSweeper::CEntry::CEntry(const CHubClock& clock, Sweep sweep) {
    {
        TRegistry& r = registry();
        CHubMutexLock lock(r.mutex);
        std::weak_ptr<CHubIdleSweeper>& slot = r.byClock[&clock];
        m_sweeper = slot.lock();
        if (!m_sweeper) {
            m_sweeper = std::make_shared<CHubIdleSweeper>(clock);
            slot = m_sweeper;
            static const bool joinedAtExit = std::atexit(joinAtExit) == 0;
            (void)joinedAtExit;
        }
    }
    m_id = m_sweeper->add(std::move(sweep));
}

CHubIdleSweeper::CEntry::~CEntry() {
    m_sweeper->remove(m_id);
    std::shared_ptr<CHubIdleSweeper> mine;  // the last entry of its clock joins its thread, after the lock
    TRegistry& r = registry();
    CHubMutexLock lock(r.mutex);
    mine = std::move(m_sweeper);
    if (mine.use_count() == 1) r.byClock.erase(&mine->m_clock);
}

void CHubIdleSweeper::CEntry::due(TimePoint when) {
    m_sweeper->due(m_id, when);
}

CHubIdleSweeper::CHubIdleSweeper(const CHubClock& clock) : m_clock(clock) {}

CHubIdleSweeper::~CHubIdleSweeper() {
    stop();
}

void CHubIdleSweeper::stop() {
    std::thread ending;
    {
        CHubMutexLock lock(m_mutex);
        m_stopping = true;
        ++m_changes;
        ending = std::move(m_thread);
    }
    m_changed.notify_all();
    if (ending.joinable()) ending.join();
}

uint64_t CHubIdleSweeper::add(Sweep sweep) {
    CHubMutexLock lock(m_mutex);
    m_sweeps.emplace(++m_lastId, TSweep{std::move(sweep), std::nullopt});
    return m_lastId;
}

void CHubIdleSweeper::remove(uint64_t id) {
    CHubMutexLock lock(m_mutex);
    m_sweeps.erase(id);
    ++m_changes;  // the thread looks again: with nothing left due, it ends
    m_changed.notify_all();
    lock.wait(m_changed, [this, id]() REQUIRES(m_mutex) { return m_running != id; });
}

void CHubIdleSweeper::due(uint64_t id, TimePoint when) {
    {
        CHubMutexLock lock(m_mutex);
        auto it = m_sweeps.find(id);
        if (it == m_sweeps.end() || (it->second.next && *it->second.next <= when)) return;
        it->second.next = when;
        ++m_changes;
        if (!m_thread.joinable() && !m_stopping) m_thread = std::thread([this] { run(); });
    }
    m_changed.notify_all();
}

void CHubIdleSweeper::run() {
    uint64_t ran = 0;  // the sweep that ran last, and what it answered
    std::optional<TimePoint> ranNext;
    for (;;) {
        Sweep sweep;
        {
            CHubMutexLock lock(m_mutex);
            if (ran != 0) {
                m_running = 0;
                ++m_changes;
                m_changed.notify_all();  // a remove may wait for that sweep
                auto again = m_sweeps.find(ran);
                if (ranNext && again != m_sweeps.end() &&
                    (!again->second.next || *ranNext < *again->second.next))
                    again->second.next = ranNext;
            }
            for (;;) {
                if (m_stopping) return;
                // The sweep due first: it runs when its time has come; else wait for it or for news.
                auto first = m_sweeps.end();
                for (auto it = m_sweeps.begin(); it != m_sweeps.end(); ++it)
                    if (it->second.next &&
                        (first == m_sweeps.end() || *it->second.next < *first->second.next))
                        first = it;
                const uint64_t seen = m_changes;
                auto woken = [this, seen]() REQUIRES(m_mutex) { return m_changes != seen; };
                if (first == m_sweeps.end()) {
                    // Nothing is due: a process that stays idle keeps no thread. This one gives up its
                    // handle, so that no ended thread is left to join (a child forked meanwhile could
                    // never join it); once the lock is let go it touches nothing of the sweeper.
                    m_thread.detach();
                    return;
                } else if (m_clock.steadyNow() < *first->second.next) {
                    m_clock.waitUntil(lock, m_changed, *first->second.next, woken);
                } else {
                    ran = first->first;
                    sweep = first->second.sweep;
                    first->second.next.reset();
                    m_running = ran;
                    break;
                }
            }
        }
        ranNext = sweep();
    }
}
