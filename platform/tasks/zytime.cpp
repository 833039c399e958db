#include "platform/tasks/zytime.h"

#include <cstdio>

#include "platform/tasks/zydate.h"

ZyTime::ZyTime(long epochSeconds, char* text, int /*flags*/, size_t size) : m_time(epochSeconds) {
    if (text == nullptr || size == 0) return;
    ZYDate d(epochSeconds);
    std::snprintf(text, size, "%04d-%02d-%02d %02d:%02d:%02d UTC", d.year(), d.month(), d.day(), d.hour(),
                  d.minute(), d.second());
}
