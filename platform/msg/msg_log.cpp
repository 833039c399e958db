#include "platform/msg/msg_log.h"

#include <cstdarg>

#include "platform/log/evdebug.h"

void msgLog(int level, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    evTaggedLogV("MSG", level, false, format, ap);
    va_end(ap);
}
