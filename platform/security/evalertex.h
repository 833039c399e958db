// EvAlertEx: the alert record of the platform's alert library, and CAlertStore, where every alert
// that is sent is kept (newest last, bounded) for the host's log and for tests. An EvAlertEx is a local
// of one thread; the store may be read and written from any thread.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

// One alert as it was sent.
struct TAlertRecord {
#define ALERT_ENTITY(setter, id, name) \
    long id = 0;                       \
    std::string name;
#define ALERT_ID(setter, id) long id = 0;
#define ALERT_NUMBER(setter, member) long member = 0;
#include "platform/security/evalertfields.def"
#undef ALERT_ENTITY
#undef ALERT_ID
#undef ALERT_NUMBER
    std::string message;              // set by fmtMsgString
    int sendArgs[3] = {0, 0, 0};      // sendAlert's arguments
    long long raisedAt = 0;           // seconds since 1970, when sent
    unsigned long long sequence = 0;  // 1 for the first alert of the process
};

class EvAlertEx {
public:
    EvAlertEx();
    ~EvAlertEx();
    EvAlertEx(const EvAlertEx&) = delete;
    EvAlertEx& operator=(const EvAlertEx&) = delete;

    // Every id and number 0, every text empty.
    void Clear();

#define ALERT_ENTITY(setter, id, name) void setter(long idValue, const char* nameValue);
#define ALERT_ID(setter, id) void setter(long idValue, const char* nameValue);
#define ALERT_NUMBER(setter, member) void setter(long value);
#include "platform/security/evalertfields.def"
#undef ALERT_ENTITY
#undef ALERT_ID
#undef ALERT_NUMBER

    // Sets the message text, printf-style, whatever its length. Returns its length, -1 for a bad format.
    int fmtMsgString(const char* format, ...) __attribute__((format(printf, 2, 3)));

    // Records the alert in the store and writes it to the log. 0 when recorded; -1 (nothing recorded)
    // when no alert id was set.
    int sendAlert(int notify, int delay, int reserved);

    const TAlertRecord& record() const {
        return m_record;
    }

private:
    TAlertRecord m_record;
};

class CAlertStore {
public:
    static constexpr size_t kCapacity = 1024;

    // Adds one alert, dropping the oldest past kCapacity; fills its sequence number.
    static void add(TAlertRecord& alert);
    // Copies of the kept alerts, oldest first.
    static std::vector<TAlertRecord> snapshot();
    // Alerts sent since the process started (kept or dropped).
    static unsigned long long totalSent();
    // Forgets the kept alerts (the total stays).
    static void clear();
};
