// printf-style formatting into a string of exactly the length the text needs, never cut at a fixed
// buffer size. In the lowest component so that the registry's diagnostics, the logger and every
// component's log lines share it. Plain functions; any thread.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>

// vsnprintf's work and result, the plain conversions of nearly every log line (%s, %c, %d, %i, %u, %x, %X
// with l, ll or z, and %%, no flag, width or precision) written without printf's machinery. `ap` is
// consumed.
int zyVFormat(char* buffer, size_t size, const char* format, va_list ap);
// The formatted text; "" for a null format or one that cannot be formatted. `ap` is consumed.
std::string zyFormatV(const char* format, va_list ap);
std::string zyFormat(const char* format, ...) __attribute__((format(printf, 1, 2)));
