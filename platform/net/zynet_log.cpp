#include "platform/net/zynet_log.h"

#include <cstdarg>
#include <cstdio>

#include "platform/log/evdebug.h"

namespace zynet {
namespace {

void write(int level, bool isError, const char* format, va_list ap) {
    char text[2048];
    std::vsnprintf(text, sizeof(text), format, ap);
    EvDebug log(nullptr);
    log.setPrefixMessage("ZYNET");
    if (isError)
        log.error("%s", text);
    else
        log.debugLvl(level, "%s", text);
}

}  // namespace

void logDebug(int level, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    write(level, false, format, ap);
    va_end(ap);
}

void logError(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    write(-1, true, format, ap);
    va_end(ap);
}

}  // namespace zynet
