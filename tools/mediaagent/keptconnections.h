// CKeptConnections: database connections (with the statements they have prepared) kept and lent to one
// thread at a time, so that a request pays neither the open nor the schema read of a fresh connection.
// Connection threads come and go with the sessions that carry requests, so connections are not tied to
// a thread: a lease gives its connection back when it ends. One left idle for kIdleLimit is closed, with
// its page cache, as the host closes its own database connections: an idle process gives back what a
// burst of callers made it hold. Any thread.
#pragma once

#include <chrono>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/threads/hubclock.h"
#include "platform/threads/hubmutex.h"
#include "platform/threads/idlesweeper.h"

namespace mediaagent {

template <class T>
class CKeptConnections {
public:
    // Idle connections kept per key; more are closed when given back.
    static constexpr size_t kMaxIdle = 64;
    // How long an idle connection is kept.
    static constexpr std::chrono::seconds kIdleLimit{30};

    // Idle connections expire on `clock`, which must outlive this.
    explicit CKeptConnections(const CHubClock& clock = CHubClock::real())
        : m_clock(clock), m_sweeper(clock, [this] { return sweepIdle(); }) {}

    class TLease {
    public:
        TLease() = default;
        TLease(CKeptConnections* owner, std::string key, std::unique_ptr<T> held)
            : m_owner(owner), m_key(std::move(key)), m_held(std::move(held)) {}
        TLease(TLease&& other) noexcept = default;
        TLease& operator=(TLease&& other) noexcept {
            if (this != &other) {
                giveBack();
                m_owner = other.m_owner;
                m_key = std::move(other.m_key);
                m_held = std::move(other.m_held);
            }
            return *this;
        }
        ~TLease() { giveBack(); }

        T* get() const { return m_held.get(); }
        T* operator->() const { return m_held.get(); }
        T& operator*() const { return *m_held; }
        explicit operator bool() const { return m_held != nullptr; }

    private:
        void giveBack() {
            if (m_owner && m_held) m_owner->giveBack(m_key, std::move(m_held));
            m_held.reset();
        }

        CKeptConnections* m_owner = nullptr;
        std::string m_key;
        std::unique_ptr<T> m_held;
    };

    // An idle connection of `key`, else one that `open()` makes (a null from it is returned as is).
    template <class Open>
    TLease lend(const std::string& key, Open&& open) {
        {
            CHubMutexLock lock(m_mutex);
            auto it = m_idle.find(key);
            if (it != m_idle.end() && !it->second.empty()) {
                std::unique_ptr<T> held = std::move(it->second.back().held);  // the newest: the warmest
                it->second.pop_back();
                return TLease(this, key, std::move(held));
            }
        }
        std::unique_ptr<T> fresh = open();
        return fresh ? TLease(this, key, std::move(fresh)) : TLease();
    }

    size_t idleCount(const std::string& key) const {
        CHubMutexLock lock(m_mutex);
        auto it = m_idle.find(key);
        return it == m_idle.end() ? 0 : it->second.size();
    }

private:
    void giveBack(const std::string& key, std::unique_ptr<T> held) {
        std::unique_ptr<T> closing;  // closed outside the lock
        const auto now = m_clock.steadyNow();
        {
            CHubMutexLock lock(m_mutex);
            auto& idle = m_idle[key];
            if (idle.size() >= kMaxIdle) {
                closing = std::move(held);
                return;
            }
            idle.push_back({std::move(held), now});
        }
        m_sweeper.due(now + kIdleLimit);
    }

    // Closes the connections idle for the limit; when the next one expires.
    std::optional<CHubClock::Steady::time_point> sweepIdle() {
        std::vector<std::unique_ptr<T>> closing;  // closed outside the lock
        const auto now = m_clock.steadyNow();
        std::optional<CHubClock::Steady::time_point> next;
        CHubMutexLock lock(m_mutex);
        for (auto it = m_idle.begin(); it != m_idle.end();) {
            auto& idle = it->second;  // oldest at the front
            while (!idle.empty() && idle.front().since + kIdleLimit <= now) {
                closing.push_back(std::move(idle.front().held));
                idle.pop_front();
            }
            if (!idle.empty() && (!next || idle.front().since + kIdleLimit < *next))
                next = idle.front().since + kIdleLimit;
            it = idle.empty() ? m_idle.erase(it) : std::next(it);
        }
        return next;
    }

    struct TIdle {
        std::unique_ptr<T> held;
        CHubClock::Steady::time_point since;
    };
    const CHubClock& m_clock;
    mutable CHubMutex m_mutex;
    std::map<std::string, std::deque<TIdle>> m_idle GUARDED_BY(m_mutex);
    CHubIdleSweeper::CEntry m_sweeper;  // last: gone before what its sweep reads
};

}  // namespace mediaagent
