// The end-user erases that "BrowseRouter" has booked, kept until the Hubmaster's browse service turns
// them into erase tasks: an erase task is created only for paths booked for the same user and entity,
// and each booking is used once, so a replayed or hand-made erase request creates nothing. One
// process-wide store, safe from any thread.
#pragma once

#include <chrono>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/threads/hubmutex.h"

struct TEraseBooking {
    int userId = 0;
    long clientId = 0, appType = 0, instanceId = 0, backupSetId = 0, subclientId = 0;
    std::set<std::string> paths;
};

class CEraseBookings {
public:
    // The most paths one erase request may name, and the longest path it may name.
    static constexpr size_t kMaxPaths = 1000;
    static constexpr size_t kMaxPathLength = 1024;
    // How long a booking waits for its task.
    static constexpr std::chrono::minutes kLifetime{15};

    static CEraseBookings& instance();

    // Why `path` cannot be erased by an end user ("" when it can): an absolute path of bounded length
    // ("/a", a mailbox's "\MB\...", a drive's "D:\a", a share's "\\server\share\a") with no empty,
    // "." or ".." component and no control character.
    static std::string pathProblem(const std::string& path);

    void book(TEraseBooking booking);
    // Takes the booking of `wanted.userId` for the same entity that holds every path of `wanted`; false
    // (nothing taken) when there is none.
    bool take(const TEraseBooking& wanted);
    size_t size();

private:
    struct TEntry {
        TEraseBooking booking;
        std::chrono::steady_clock::time_point expires;
    };
    void dropExpired() REQUIRES(m_mutex);

    CHubMutex m_mutex;
    std::vector<TEntry> m_entries GUARDED_BY(m_mutex);
};
