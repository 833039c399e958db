// A localised event: collects message arguments, renders catalogue messages in its locale and records
// events in the process's event log. Also a logger (EvDebug). A value of the thread that builds it.
#pragma once

#include "platform/errors/argumentinfo.h"
#include "platform/log/evdebug.h"

class EvEvent : public EvDebug {
public:
    EvEvent();
    ~EvEvent() override;

    void setLocaleId(unsigned long locale) { m_locale = locale; }
    // The event's locale. False when none is set or the catalogue does not know it; `locale` then
    // holds English (US), the locale messages are rendered in instead.
    bool getLocaleId(unsigned long& locale) const;

    bool addArgument(const void* value, int type) { return m_arguments.AddArgument(value, type); }
    // Appends every argument of the list, in order; a null list adds nothing.
    void AppendArguments(const ArgumentInfo* list);
    EvEvent& operator<<(const char* text) {
        addArgument(text, ArgumentInfo::kTextArgument);
        return *this;
    }
    EvEvent& operator<<(const ArgumentInfo* list) {
        AppendArguments(list);
        return *this;
    }
    const ArgumentInfo& getArguments() const { return m_arguments; }

    // Renders message `id` with the event's arguments into buffer: at most size bytes with the NUL.
    // A message the catalogue lacks renders as a notice naming its id and arguments. Returns the
    // characters written.
    int evPrintf(unsigned long id, char* buffer, unsigned long size, unsigned long locale);

    // Records event `id` with the event's arguments in the event log (EvEventLog) and in the debug log.
    // jobId: the job the event concerns (0: none); severity: 0 information, 1 warning, 2 error.
    int MinorEvent(int id, long long jobId, int severity);

private:
    unsigned long m_locale = 0;  // 0: none set
    ArgumentInfo m_arguments;
};
