#include "platform/config/zyformat.h"

#include <cstdio>

std::string zyFormatV(const char* format, va_list ap) {
    if (format == nullptr) return {};
    // Nearly every text fits the first try, a log line holding a message's text (a few kilobytes)
    // included: formatted past the buffer, the rest would go through printf's slow overflow path and be
    // formatted again at its own size.
    char first[8192];
    va_list again;
    va_copy(again, ap);
    const int n = std::vsnprintf(first, sizeof first, format, ap);
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
