#include "platform/config/zyformat.h"

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

// Writes `v` in decimal (or hex, lower or upper case) at `to`, which has room for 20 digits; the end.
char* putUnsigned(char* to, uint64_t v, unsigned base, bool upper) {
    char digits[24];
    char* at = digits + sizeof digits;
    const char* set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    do {
        *--at = set[v % base];
        v /= base;
    } while (v != 0);
    const auto n = static_cast<size_t>(digits + sizeof digits - at);
    memcpy(to, at, n);
    return to + n;
}

// The formats of nearly every log line: plain %s, %c, %d/%i/%u/%x/%X (with l, ll or z) and %%, no flag,
// width or precision. Writes the text and its NUL into `buffer` and gives its length, as vsnprintf does;
// -1 when the format holds anything else or the text does not fit (vsnprintf then does the whole work).
int plainFormat(char* buffer, size_t size, const char* format, va_list ap) {
    char* at = buffer;
    char* const end = buffer + size;  // the NUL must fit before it
    for (const char* f = format; *f;) {
        if (*f != '%') {
            const char* next = strchrnul(f, '%');
            const auto n = static_cast<size_t>(next - f);
            if (n >= static_cast<size_t>(end - at)) return -1;
            memcpy(at, f, n);
            at += n;
            f = next;
            continue;
        }
        ++f;
        int longs = 0;
        bool sized = false;
        if (*f == 'l') {
            ++longs, ++f;
            if (*f == 'l') ++longs, ++f;
        } else if (*f == 'z') {
            sized = true, ++f;
        }
        const char conversion = *f++;
        if (static_cast<size_t>(end - at) < 22) return -1;  // the longest number, and the NUL after it
        switch (conversion) {
            case '%':
                if (longs || sized) return -1;
                *at++ = '%';
                break;
            case 'c':
                if (longs || sized) return -1;
                *at++ = static_cast<char>(static_cast<unsigned char>(va_arg(ap, int)));
                break;
            case 's': {
                if (longs || sized) return -1;
                const char* s = va_arg(ap, const char*);
                if (!s) s = "(null)";
                const size_t n = strlen(s);
                if (n >= static_cast<size_t>(end - at)) return -1;
                memcpy(at, s, n);
                at += n;
                break;
            }
            case 'd':
            case 'i': {
                const int64_t v = sized        ? static_cast<int64_t>(va_arg(ap, ssize_t))
                                  : longs == 2 ? static_cast<int64_t>(va_arg(ap, long long))
                                  : longs == 1 ? static_cast<int64_t>(va_arg(ap, long))
                                               : static_cast<int64_t>(va_arg(ap, int));
                if (v < 0) *at++ = '-';
                at = putUnsigned(at, v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v), 10,
                                 false);
                break;
            }
            case 'u':
            case 'x':
            case 'X': {
                const uint64_t v = sized        ? static_cast<uint64_t>(va_arg(ap, size_t))
                                   : longs == 2 ? static_cast<uint64_t>(va_arg(ap, unsigned long long))
                                   : longs == 1 ? static_cast<uint64_t>(va_arg(ap, unsigned long))
                                                : static_cast<uint64_t>(va_arg(ap, unsigned int));
                at = putUnsigned(at, v, conversion == 'u' ? 10 : 16, conversion == 'X');
                break;
            }
            default:
                return -1;
        }
    }
    if (at >= end) return -1;
    *at = '\0';
    return static_cast<int>(at - buffer);
}

}  // namespace

int zyVFormat(char* buffer, size_t size, const char* format, va_list ap) {
    if (format == nullptr) return -1;
    va_list plain;
    va_copy(plain, ap);
    const int n = size > 0 ? plainFormat(buffer, size, format, plain) : -1;
    va_end(plain);
    return n >= 0 ? n : std::vsnprintf(buffer, size, format, ap);
}

std::string zyFormatV(const char* format, va_list ap) {
    if (format == nullptr) return {};
    // Nearly every text fits the first try, a log line holding a message's text (a few kilobytes)
    // included: formatted past the buffer, the rest would go through printf's slow overflow path and be
    // formatted again at its own size.
    char first[8192];
    va_list again;
    va_copy(again, ap);
    const int n = zyVFormat(first, sizeof first, format, ap);
    std::string text;
    if (n > 0 && static_cast<size_t>(n) < sizeof first) {
        text.assign(first, static_cast<size_t>(n));
    } else if (n > 0) {
        text.resize(static_cast<size_t>(n) + 1);
        std::vsnprintf(text.data(), text.size(), format, again);
        text.resize(static_cast<size_t>(n));
    }
    va_end(again);
    return text;
}

std::string zyFormat(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    std::string text = zyFormatV(format, ap);
    va_end(ap);
    return text;
}
