#include "platform/tasks/zydate.h"

#include <time.h>

ZYDate::ZYDate() {
    compute();
}

ZYDate::ZYDate(long epochSeconds) : m_time(epochSeconds) {
    compute();
}

ZYDate::~ZYDate() = default;

void ZYDate::compute() {
    time_t t = static_cast<time_t>(m_time);
    struct tm tmv;
    if (!gmtime_r(&t, &tmv)) return;
    m_year = tmv.tm_year + 1900;
    m_month = tmv.tm_mon + 1;
    m_day = tmv.tm_mday;
    m_hour = tmv.tm_hour;
    m_minute = tmv.tm_min;
    m_second = tmv.tm_sec;
    m_weekday = tmv.tm_wday;
}
