// Logging of the message component: one module tag, lines through the platform logger. Any thread.
#pragma once

void msgLog(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
