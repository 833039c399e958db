// ZyTime: the base library's text form of an epoch time (stand-in), used in log lines. Any thread.
#pragma once

// Size of the buffer ZyTime writes into, NUL included.
constexpr unsigned long ZYTIME_BUFFER_SIZE = 32;

// Writes `t` (seconds since 1970) as local time "YYYY-MM-DD HH:MM:SS" into `buffer`, which must hold
// ZYTIME_BUFFER_SIZE bytes; `flags` 1 writes UTC with a trailing " UTC" instead. Returns `buffer`.
char* ZyTime(long t, char* buffer, unsigned long flags);
