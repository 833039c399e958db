#include "platform/threads/threadslog.h"

#include <cstdarg>

#include "platform/log/evdebug.h"

namespace hubthreads {

void logFailure(const char* prefix, const char* format, ...) {
    va_list args;
    va_start(args, format);
    evTaggedLogV(prefix, -1, false, format, args);
    va_end(args);
}

}  // namespace hubthreads
