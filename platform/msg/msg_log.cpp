#include "platform/msg/msg_log.h"

#include <cstdarg>
#include <cstdio>

#include "platform/log/evdebug.h"

void msgLog(int level, const char* format, ...) {
    char text[2048];
    va_list ap;
    va_start(ap, format);
    vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    EvDebug log(nullptr);
    log.setPrefixMessage("MSG");
    log.debugLvl(level, "%s", text);
}
