// The end-user erases that "BrowseRouter" has booked, kept until the Hubmaster's browse service turns
// them into erase tasks: an erase task is created only for paths booked for the same user and entity,
// and each booking is used once, so a replayed or hand-made erase request creates nothing. An item
// version is erased once: a path already booked waits for its task, and a version whose task was
// created is not erased (nor its usage given back) again. What one user may keep booked is bounded in
// count and bytes. One process-wide store, safe from any thread.
#pragma once

#include <chrono>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <unordered_set>
#include <vector>

#include "platform/threads/hubclock.h"
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
    // What one user may keep booked at once: bookings, and the bytes their paths hold.
    static constexpr size_t kMaxBookingsPerUser = 16;
    static constexpr size_t kMaxBytesPerUser = 4u << 20;
    // Item versions remembered as erased (oldest forgotten first); by then their tasks have run.
    static constexpr size_t kMaxErasedVersions = 1u << 18;

    static CEraseBookings& instance();
    // Bookings lapse on `clock`.
    explicit CEraseBookings(const CHubClock& clock = CHubClock::real()) : m_clock(clock) {}

    // Why `path` cannot be erased by an end user ("" when it can): an absolute path of bounded length
    // ("/a", a mailbox's "\MB\...", a drive's "D:\a", a share's "\\server\share\a") with no empty,
    // "." or ".." component and no control character.
    static std::string pathProblem(const std::string& path);

    // Books `booking`; "" when booked, else why not (nothing booked): a path of it is booked already for
    // the same entity, or its user holds as many bookings (or bytes) as allowed.
    std::string book(TEraseBooking booking);
    // Why book would refuse `booking` now ("" when it would book it); books nothing.
    std::string bookingProblem(const TEraseBooking& booking);
    // Takes the booking of `wanted.userId` for the same entity that holds every path of `wanted`; false
    // (nothing taken) when there is none.
    bool take(const TEraseBooking& wanted);
    // Claims the item versions (path -> a stamp of its version) of `entity` for one erase task; "" when
    // claimed, else the path already erased (nothing claimed). `release` gives a claim back when its
    // task could not be created.
    std::string claimErased(const TEraseBooking& entity, const std::map<std::string, std::string>& versions);
    void releaseErased(const TEraseBooking& entity, const std::map<std::string, std::string>& versions);
    // The path claimErased would refuse as erased already ("" when none); claims nothing.
    std::string erasedAlready(const TEraseBooking& entity,
                              const std::map<std::string, std::string>& versions);
    size_t size();

private:
    struct TEntry {
        TEraseBooking booking;
        size_t bytes = 0;
        std::chrono::steady_clock::time_point expires;
    };
    void dropExpired() REQUIRES(m_mutex);
    std::string bookingProblemLocked(const TEraseBooking& booking) REQUIRES(m_mutex);
    std::string erasedLocked(const TEraseBooking& entity, const std::map<std::string, std::string>& versions)
        REQUIRES(m_mutex);
    static uint64_t versionKey(const TEraseBooking& entity, const std::string& path,
                               const std::string& version);

    const CHubClock& m_clock;
    CHubMutex m_mutex;
    std::vector<TEntry> m_entries GUARDED_BY(m_mutex);
    // Hashes of the erased versions' keys (64 bits: a collision is far less likely than a mistyped path),
    // and the order they came in, to forget the oldest.
    std::unordered_set<uint64_t> m_erased GUARDED_BY(m_mutex);
    std::deque<uint64_t> m_erasedOrder GUARDED_BY(m_mutex);
};
