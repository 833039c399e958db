// Test support: waits on a file descriptor that end at a deadline, for the helpers that wait on what
// another process does (its output, its end, a file it writes). Header-only; any thread.
#pragma once

#include <errno.h>
#include <poll.h>

#include <algorithm>
#include <chrono>

namespace hubtest {

using TDeadline = std::chrono::steady_clock::time_point;

inline TDeadline deadlineIn(std::chrono::milliseconds limit) {
    return std::chrono::steady_clock::now() + limit;
}

// Milliseconds left until `deadline`, rounded up so that a wait never ends just before it; 0 once passed.
inline int msUntil(TDeadline deadline) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return static_cast<int>(std::max<long long>(0, left.count()));
}

// True once `fd` is readable (or at its end); false at the deadline or for a descriptor that cannot be
// waited on.
inline bool readableBy(int fd, TDeadline deadline) {
    if (fd < 0) return false;
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        const int ready = poll(&p, 1, msUntil(deadline));
        if (ready > 0) return true;
        if (ready == 0 || errno != EINTR) return false;
    }
}

}  // namespace hubtest
