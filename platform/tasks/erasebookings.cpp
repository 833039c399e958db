#include "platform/tasks/erasebookings.h"

#include <algorithm>
#include <cctype>
#include <functional>

#include "platform/threads/hubclock.h"

namespace {

// What a booking holds, counted against its user: the paths' text and a set node each.
size_t bookedBytes(const TEraseBooking& booking) {
    size_t bytes = sizeof(TEraseBooking);
    for (const std::string& path : booking.paths) bytes += path.size() + 64;
    return bytes;
}

bool sameEntity(const TEraseBooking& a, const TEraseBooking& b) {
    return a.clientId == b.clientId && a.subclientId == b.subclientId && a.backupSetId == b.backupSetId &&
           a.appType == b.appType && a.instanceId == b.instanceId;
}

}  // namespace

CEraseBookings& CEraseBookings::instance() {
    static CEraseBookings bookings;
    return bookings;
}

std::string CEraseBookings::pathProblem(const std::string& path) {
    if (path.size() > kMaxPathLength) return "the path is longer than " + std::to_string(kMaxPathLength);
    for (unsigned char c : path)
        if (c < 0x20 || c == 0x7f) return "the path holds a control character";
    auto separator = [&](size_t at) { return at < path.size() && (path[at] == '/' || path[at] == '\\'); };
    // Where the components begin: after the root of a POSIX or mailbox path ("/", "\"), of a drive
    // ("D:\"), or of a UNC share ("\\server\share", whose server and share are components like the rest).
    size_t start = 0;
    if (path.size() >= 3 && std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':' &&
        separator(2))
        start = 3;
    else if (path.size() >= 3 && path[0] == '\\' && path[1] == '\\' && !separator(2))
        start = 2;
    else if (separator(0))
        start = 1;
    else
        return "the path is not absolute";
    if (start == 2) {
        // A UNC path names its server and its share.
        const size_t share = path.find_first_of("/\\", 2);
        if (share == std::string::npos || share + 1 >= path.size() || separator(share + 1))
            return "the path names no share";
    }
    while (start <= path.size()) {
        size_t end = path.find_first_of("/\\", start);
        if (end == std::string::npos) end = path.size();
        const std::string part = path.substr(start, end - start);
        // A trailing separator is allowed; an empty part inside is not.
        if ((part.empty() && end != path.size()) || part == "." || part == "..")
            return "the path has an empty, \".\" or \"..\" component";
        start = end + 1;
    }
    return {};
}

void CEraseBookings::dropExpired() {
    const auto now = m_clock.steadyNow();
    m_entries.erase(
        std::remove_if(m_entries.begin(), m_entries.end(), [&](const TEntry& e) { return e.expires <= now; }),
        m_entries.end());
}

std::string CEraseBookings::book(TEraseBooking booking) {
    CHubMutexLock lock(m_mutex);
    const std::string problem = bookingProblemLocked(booking);
    if (!problem.empty()) return problem;
    const size_t bytes = bookedBytes(booking);
    m_entries.push_back({std::move(booking), bytes, m_clock.steadyNow() + kLifetime});
    return {};
}

std::string CEraseBookings::bookingProblem(const TEraseBooking& booking) {
    CHubMutexLock lock(m_mutex);
    return bookingProblemLocked(booking);
}

std::string CEraseBookings::bookingProblemLocked(const TEraseBooking& booking) {
    dropExpired();
    const size_t bytes = bookedBytes(booking);
    size_t userCount = 0, userBytes = 0;
    for (const TEntry& e : m_entries) {
        if (e.booking.userId == booking.userId) {
            ++userCount;
            userBytes += e.bytes;
        }
        if (!sameEntity(e.booking, booking)) continue;
        // A path waiting for its task is erased by that task: a second booking would erase it (and give
        // its usage back) twice.
        for (const std::string& path : booking.paths)
            if (e.booking.paths.count(path))
                return "An erase of [" + path +
                       "] is already booked and waits for its task; an item is erased once";
    }
    if (userCount >= kMaxBookingsPerUser || userBytes + bytes > kMaxBytesPerUser)
        return "You have " + std::to_string(userCount) + " erase booking(s) waiting for their tasks (" +
               std::to_string(userBytes) + " bytes); at most " + std::to_string(kMaxBookingsPerUser) +
               " bookings of " + std::to_string(kMaxBytesPerUser) +
               " bytes wait at once: create their erase tasks or let them expire first";
    return {};
}

uint64_t CEraseBookings::versionKey(const TEraseBooking& entity, const std::string& path,
                                    const std::string& version) {
    const std::string key = std::to_string(entity.clientId) + '|' + std::to_string(entity.appType) + '|' +
                            std::to_string(entity.instanceId) + '|' + std::to_string(entity.backupSetId) +
                            '|' + std::to_string(entity.subclientId) + '|' + version + '|' + path;
    return std::hash<std::string>{}(key);
}

std::string CEraseBookings::claimErased(const TEraseBooking& entity,
                                        const std::map<std::string, std::string>& versions) {
    CHubMutexLock lock(m_mutex);
    if (std::string erased = erasedLocked(entity, versions); !erased.empty()) return erased;
    for (const auto& [path, version] : versions) {
        const uint64_t key = versionKey(entity, path, version);
        if (!m_erased.insert(key).second) continue;
        m_erasedOrder.push_back(key);
    }
    while (m_erasedOrder.size() > kMaxErasedVersions) {
        m_erased.erase(m_erasedOrder.front());
        m_erasedOrder.pop_front();
    }
    return {};
}

std::string CEraseBookings::erasedAlready(const TEraseBooking& entity,
                                          const std::map<std::string, std::string>& versions) {
    CHubMutexLock lock(m_mutex);
    return erasedLocked(entity, versions);
}

std::string CEraseBookings::erasedLocked(const TEraseBooking& entity,
                                         const std::map<std::string, std::string>& versions) {
    for (const auto& [path, version] : versions)
        if (m_erased.count(versionKey(entity, path, version))) return path;
    return {};
}

void CEraseBookings::releaseErased(const TEraseBooking& entity,
                                   const std::map<std::string, std::string>& versions) {
    CHubMutexLock lock(m_mutex);
    for (const auto& [path, version] : versions) {
        const uint64_t key = versionKey(entity, path, version);
        if (m_erased.erase(key) == 0) continue;
        // Claimed a moment ago: near the end.
        const auto it = std::find(m_erasedOrder.rbegin(), m_erasedOrder.rend(), key);
        if (it != m_erasedOrder.rend()) m_erasedOrder.erase(std::next(it).base());
    }
}

bool CEraseBookings::take(const TEraseBooking& wanted) {
    CHubMutexLock lock(m_mutex);
    dropExpired();
    for (auto it = m_entries.begin(); it != m_entries.end(); ++it) {
        const TEraseBooking& b = it->booking;
        if (wanted.userId <= 0 || b.userId != wanted.userId || b.clientId != wanted.clientId ||
            b.subclientId != wanted.subclientId || b.backupSetId != wanted.backupSetId ||
            b.appType != wanted.appType || wanted.paths.empty())
            continue;
        if (!std::includes(b.paths.begin(), b.paths.end(), wanted.paths.begin(), wanted.paths.end()))
            continue;
        m_entries.erase(it);
        return true;
    }
    return false;
}

size_t CEraseBookings::size() {
    CHubMutexLock lock(m_mutex);
    dropExpired();
    return m_entries.size();
}
