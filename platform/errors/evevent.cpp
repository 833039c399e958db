#include "platform/errors/evevent.h"

#include <cstdio>

#include "platform/errors/eveventlog.h"
#include "platform/errors/evmessagecatalog.h"
#include "platform/threads/hubclock.h"

EvEvent::EvEvent() : EvDebug(nullptr) {}

EvEvent::~EvEvent() = default;

bool EvEvent::getLocaleId(unsigned long& locale) const {
    if (!EvMessageCatalog::knowsLocale(m_locale)) {
        locale = EvMessageCatalog::kEnglishUS;
        return false;
    }
    locale = m_locale;
    return true;
}

void EvEvent::AppendArguments(const ArgumentInfo* list) {
    if (list == nullptr) return;
    for (size_t i = 0; i < list->size(); ++i) {
        m_arguments.AddArgument(list->text(i).c_str(), list->type(i));
    }
}

int EvEvent::evPrintf(unsigned long id, char* buffer, unsigned long size, unsigned long locale) {
    std::string text;
    if (const char* format = EvMessageCatalog::findFormat(id, locale)) {
        text = EvMessageCatalog::expand(format, m_arguments);
    } else {
        debugLvl(-1, "evPrintf: message 0x%lx is not in the message catalogue", id);
        char head[64];
        std::snprintf(head, sizeof(head), "Message 0x%lx", id);
        text = head;
        for (size_t i = 0; i < m_arguments.size(); ++i) text += " [" + m_arguments.text(i) + "]";
    }
    return static_cast<int>(EvMessageCatalog::copyTruncated(text, buffer, size));
}

int EvEvent::MinorEvent(int id, long long jobId, int severity) {
    EvEventRecord record;
    record.eventId = id;
    record.jobId = jobId;
    record.severity = severity;
    getLocaleId(record.locale);
    for (size_t i = 0; i < m_arguments.size(); ++i) record.arguments.push_back(m_arguments.text(i));
    char text[4104];
    evPrintf(static_cast<unsigned int>(id), text, sizeof(text), record.locale);
    record.text = text;
    record.raisedAt = CHubClock::real().epochSeconds();
    debugLvl(0, "EVENT 0x%x job [%lld] severity [%d]: %s", static_cast<unsigned>(id), jobId, severity, text);
    EvEventLog::instance().record(std::move(record));
    return 0;
}
