#include "platform/threads/threadslog.h"

#include <cstdarg>
#include <cstdio>

#include "platform/log/evdebug.h"

namespace hubthreads {

void logFailure(const char* prefix, const char* format, ...) {
    char line[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof(line), format, args);
    va_end(args);
    EvDebug log(nullptr);
    log.setPrefixMessage(prefix);
    log.debugLvl(-1, "%s", line);
}

}  // namespace hubthreads
