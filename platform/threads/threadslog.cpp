#include "platform/threads/threadslog.h"

#include <cstdarg>
#include <cstdio>

namespace hubthreads {

void logFailure(const char* prefix, const char* format, ...) {
    char line[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof(line), format, args);
    va_end(args);
    std::fprintf(stderr, "%s: %s\n", prefix, line);
}

}  // namespace hubthreads
