// The formatting every log line goes through: its own writing of the plain conversions gives exactly
// printf's text, and whatever it does not write itself (flags, widths, precisions, other conversions,
// texts that do not fit) is printf's still.
#include "platform/config/zyformat.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <string>

namespace {

// zyVFormat's text and result beside vsnprintf's, into buffers of `size` bytes.
void expectAsPrintf(size_t size, const char* format, ...) __attribute__((format(printf, 2, 3)));
void expectAsPrintf(size_t size, const char* format, ...) {
    std::string mine(size + 1, '#'), printfs(size + 1, '#');
    va_list a, b;
    va_start(a, format);
    va_copy(b, a);
    const int n = zyVFormat(mine.data(), size, format, a);
    const int m = std::vsnprintf(printfs.data(), size, format, b);
    va_end(b);
    va_end(a);
    EXPECT_EQ(n, m) << format;
    EXPECT_EQ(mine, printfs) << format;
}

TEST(ZyFormat, WritesWhatPrintfWrites) {
    const char* volatile none = nullptr;  // read at run time: printf's own null text is the point
    for (size_t size : {size_t(256), size_t(1), size_t(8), size_t(23)}) {
        expectAsPrintf(size, "plain text, no conversion");
        expectAsPrintf(size, "worker [%s] of [%s]: %d%%", "139", "", -7);
        expectAsPrintf(size, "[%d] [%i] [%u] [%x] [%X]", INT_MIN, INT_MAX, UINT_MAX, 0xbeefu, 0xbeefu);
        expectAsPrintf(size, "[%ld] [%lu] [%lx] [%lld] [%llu] [%llX]", LONG_MIN, ULONG_MAX, 255UL, LLONG_MIN,
                       ULLONG_MAX, 0xABCDEFULL);
        expectAsPrintf(size, "[%zu] [%zd] [%c%c]", size_t(12345), static_cast<ssize_t>(-3), 'o', 'k');
        expectAsPrintf(size, "null text [%s]", none);
        expectAsPrintf(size, "%s", std::string(300, 'x').c_str());
        // Not written by hand: printf's own.
        expectAsPrintf(size, "[%5d] [%-4s] [%08X] [%.3s] [%+d] [%#x]", 42, "ab", 0x1fu, "abcdef", 5, 255u);
        expectAsPrintf(size, "[%p] [%.2f] [%hd] [%*d]", static_cast<void*>(nullptr), 2.5, 7, 3, 9);
    }
    EXPECT_EQ(zyFormat("%s [%lu] %c", "over", 3UL, 'x'), "over [3] x");
    EXPECT_EQ(zyFormat("%s", std::string(20000, 'y').c_str()).size(), 20000u);
}

}  // namespace
