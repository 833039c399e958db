// ZYDate: a date value of the closed base library (stand-in): an epoch time with its broken-down UTC
// fields. Used for the reference times handed to the entity classes. Value type; no sharing.
#pragma once

class ZYDate {
public:
    ZYDate();
    explicit ZYDate(long epochSeconds);
    virtual ~ZYDate();
    ZYDate(const ZYDate&) = default;
    ZYDate& operator=(const ZYDate&) = default;

    // Stores the epoch time, then derives the broken-down fields.
    void setTime(long t) {
        m_time = t;
        compute();
    }
    long getTime() const { return m_time; }

    // Recomputes the broken-down fields (UTC) from the epoch time.
    void compute();

    int year() const { return m_year; }        // e.g. 2024
    int month() const { return m_month; }      // 1 to 12
    int day() const { return m_day; }          // 1 to 31
    int hour() const { return m_hour; }        // 0 to 23
    int minute() const { return m_minute; }    // 0 to 59
    int second() const { return m_second; }    // 0 to 60
    int weekday() const { return m_weekday; }  // 0 Sunday to 6

private:
    long m_time = 0;
    int m_year = 1970;
    int m_month = 1;
    int m_day = 1;
    int m_hour = 0;
    int m_minute = 0;
    int m_second = 0;
    int m_weekday = 4;
};
