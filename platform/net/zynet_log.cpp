#include "platform/net/zynet_log.h"

#include <cstdarg>

#include "platform/log/evdebug.h"

namespace zynet {

void logDebug(int level, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    evTaggedLogV("ZYNET", level, false, format, ap);
    va_end(ap);
}

void logError(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    evTaggedLogV("ZYNET", -1, true, format, ap);
    va_end(ap);
}

}  // namespace zynet
