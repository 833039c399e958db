#include "platform/security/evalertex.h"

#include <cstdio>
#include <ctime>
#include <deque>

#include "platform/log/evdebug.h"
#include "platform/threads/hubclock.h"
#include "platform/threads/hubmutex.h"

namespace {

struct Store {
    CHubMutex mutex;
    std::deque<TAlertRecord> alerts GUARDED_BY(mutex);
    unsigned long long total GUARDED_BY(mutex) = 0;
};

Store& store() {
    static Store* s = new Store;  // never destroyed: alerts may be sent while the process exits
    return *s;
}

}  // namespace

EvAlertEx::EvAlertEx() {
    Clear();
}

EvAlertEx::~EvAlertEx() = default;

void EvAlertEx::Clear() {
    m_record = TAlertRecord();
}

#define ALERT_ENTITY(setter, id, name)                            \
    void EvAlertEx::setter(long idValue, const char* nameValue) { \
        m_record.id = idValue;                                    \
        m_record.name = nameValue ? nameValue : "";               \
    }
#define ALERT_ID(setter, id)                            \
    void EvAlertEx::setter(long idValue, const char*) { \
        m_record.id = idValue;                          \
    }
#define ALERT_NUMBER(setter, member)     \
    void EvAlertEx::setter(long value) { \
        m_record.member = value;         \
    }
#include "platform/security/evalertfields.def"
#undef ALERT_ENTITY
#undef ALERT_ID
#undef ALERT_NUMBER

int EvAlertEx::fmtMsgString(const char* format, ...) {
    if (format == nullptr) return -1;
    va_list ap;
    va_start(ap, format);
    va_list again;
    va_copy(again, ap);
    int n = std::vsnprintf(nullptr, 0, format, ap);
    va_end(ap);
    if (n < 0) {
        va_end(again);
        return -1;
    }
    std::string text(static_cast<size_t>(n) + 1, '\0');
    std::vsnprintf(text.data(), text.size(), format, again);
    va_end(again);
    text.resize(static_cast<size_t>(n));
    m_record.message = std::move(text);
    return n;
}

int EvAlertEx::sendAlert(int notify, int delay, int reserved) {
    EvDebug log(nullptr);
    log.setPrefixMessage("ALERT");
    if (m_record.alertId == 0) {
        log.debugLvl(0, "ERROR: alert without an alert id not sent");
        return -1;
    }
    TAlertRecord sent = m_record;
    sent.sendArgs[0] = notify;
    sent.sendArgs[1] = delay;
    sent.sendArgs[2] = reserved;
    sent.raisedAt = CHubClock::real().epochSeconds();
    CAlertStore::add(sent);
    log.debugLvl(0,
                 "alert [%ld] #%llu condition [%ld] kelmarch [%ld] client [%ld] instance [%ld] appType [%ld] "
                 "backupSet [%ld] whom [%ld]: %s",
                 sent.alertId, sent.sequence, sent.condition, sent.kelmarchId, sent.clientId, sent.instanceId,
                 sent.appTypeId, sent.backupsetId, sent.whomId, sent.message.c_str());
    return 0;
}

void CAlertStore::add(TAlertRecord& alert) {
    Store& s = store();
    CHubMutexLock lock(s.mutex);
    alert.sequence = ++s.total;
    s.alerts.push_back(alert);
    while (s.alerts.size() > kCapacity) s.alerts.pop_front();
}

std::vector<TAlertRecord> CAlertStore::snapshot() {
    Store& s = store();
    CHubMutexLock lock(s.mutex);
    return std::vector<TAlertRecord>(s.alerts.begin(), s.alerts.end());
}

unsigned long long CAlertStore::totalSent() {
    Store& s = store();
    CHubMutexLock lock(s.mutex);
    return s.total;
}

void CAlertStore::clear() {
    Store& s = store();
    CHubMutexLock lock(s.mutex);
    s.alerts.clear();
}
