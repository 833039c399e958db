#include "platform/log/zytime.h"

#include <time.h>

#include <charconv>
#include <cstdio>
#include <cstring>

namespace {

// `v` as `width` digits (0 <= v < 10^width) at `at`; the end.
char* digits(char* at, int v, int width) {
    for (int n = width - 1; n >= 0; --n, v /= 10) at[n] = static_cast<char>('0' + v % 10);
    return at + width;
}

}  // namespace

char* ZyTime(long t, char* buffer, unsigned long flags) {
    if (!buffer) return buffer;
    time_t tt = static_cast<time_t>(t);
    struct tm tmv;
    bool utc = flags == 1;
    if ((utc ? gmtime_r(&tt, &tmv) : localtime_r(&tt, &tmv)) == nullptr) {
        std::to_chars_result r = std::to_chars(buffer, buffer + ZYTIME_BUFFER_SIZE - 1, t);
        *r.ptr = '\0';
        return buffer;
    }
    const long year = tmv.tm_year + 1900L;
    if (year < 0 || year > 9999) {  // only absurd times: written as printf writes them, cut to the buffer
        char text[96];
        snprintf(text, sizeof(text), "%04d-%02d-%02d %02d:%02d:%02d%s", tmv.tm_year + 1900, tmv.tm_mon + 1,
                 tmv.tm_mday, tmv.tm_hour, tmv.tm_min, tmv.tm_sec, utc ? " UTC" : "");
        size_t n = strnlen(text, ZYTIME_BUFFER_SIZE - 1);
        memcpy(buffer, text, n);
        buffer[n] = '\0';
        return buffer;
    }
    // Written for every request summary: by hand, as "%04d-%02d-%02d %02d:%02d:%02d" writes it.
    char* at = digits(buffer, static_cast<int>(year), 4);
    *at++ = '-';
    at = digits(at, tmv.tm_mon + 1, 2);
    *at++ = '-';
    at = digits(at, tmv.tm_mday, 2);
    *at++ = ' ';
    at = digits(at, tmv.tm_hour, 2);
    *at++ = ':';
    at = digits(at, tmv.tm_min, 2);
    *at++ = ':';
    at = digits(at, tmv.tm_sec, 2);
    if (utc) {
        memcpy(at, " UTC", 4);
        at += 4;
    }
    *at = '\0';
    return buffer;
}
