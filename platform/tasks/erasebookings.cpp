#include "platform/tasks/erasebookings.h"

#include <algorithm>
#include <cctype>

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
    const auto now = std::chrono::steady_clock::now();
    m_entries.erase(
        std::remove_if(m_entries.begin(), m_entries.end(), [&](const TEntry& e) { return e.expires <= now; }),
        m_entries.end());
}

void CEraseBookings::book(TEraseBooking booking) {
    CHubMutexLock lock(m_mutex);
    dropExpired();
    m_entries.push_back({std::move(booking), std::chrono::steady_clock::now() + kLifetime});
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
