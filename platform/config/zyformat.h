// printf-style formatting into a string of exactly the length the text needs, never cut at a fixed
// buffer size. In the lowest component so that the registry's diagnostics, the logger and every
// component's log lines share it. Plain functions; any thread.
#pragma once

#include <cstdarg>
#include <string>

// The formatted text; "" for a null format or one that cannot be formatted. `ap` is consumed.
std::string zyFormatV(const char* format, va_list ap);
std::string zyFormat(const char* format, ...) __attribute__((format(printf, 1, 2)));
