// ZyTime: an epoch time written as text for messages that users read ("2024-03-05 14:07:09 UTC").
// Value type made on the caller's stack for one text; any thread.
#pragma once

#include <cstddef>

class ZyTime {
public:
    static constexpr size_t kTextSize = 100;  // the buffer callers hand in

    // Writes `epochSeconds` as "YYYY-MM-DD HH:MM:SS UTC" into `text`, a buffer of `size` bytes (cut to
    // fit and always NUL-terminated; nothing for a null buffer or size 0). `flags` is reserved (0).
    ZyTime(long epochSeconds, char* text, int flags, size_t size = kTextSize);

    long getTime() const { return m_time; }

private:
    long m_time;
};
