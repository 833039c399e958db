#include "platform/log/zytime.h"

#include <time.h>

#include <cstdio>
#include <cstring>

char* ZyTime(long t, char* buffer, unsigned long flags) {
    if (!buffer) return buffer;
    time_t tt = static_cast<time_t>(t);
    struct tm tmv;
    bool utc = flags == 1;
    if ((utc ? gmtime_r(&tt, &tmv) : localtime_r(&tt, &tmv)) == nullptr) {
        snprintf(buffer, ZYTIME_BUFFER_SIZE, "%ld", t);
        return buffer;
    }
    char text[96];
    snprintf(text, sizeof(text), "%04d-%02d-%02d %02d:%02d:%02d%s", tmv.tm_year + 1900, tmv.tm_mon + 1,
             tmv.tm_mday, tmv.tm_hour, tmv.tm_min, tmv.tm_sec, utc ? " UTC" : "");
    size_t n = strnlen(text, ZYTIME_BUFFER_SIZE - 1);  // only absurd years come near the limit
    memcpy(buffer, text, n);
    buffer[n] = '\0';
    return buffer;
}
