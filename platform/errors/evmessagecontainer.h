// A localised message waiting to be rendered: its id in the message catalogue, its arguments and the
// entities it concerns. A value of the thread that builds it; copies are independent.
#pragma once

#include <cstdint>
#include <string>

#include "platform/errors/argumentinfo.h"

// The entities a message concerns (both 0: none).
class EvMessageEntities {
public:
    EvMessageEntities() { Clear(); }
    void Clear() {
        m_clientId = 0;
        m_jobId = 0;
    }
    void setClientId(uint64_t id) { m_clientId = id; }
    void setJobId(uint64_t id) { m_jobId = id; }
    uint64_t getClientId() const { return m_clientId; }
    uint64_t getJobId() const { return m_jobId; }
    bool operator==(const EvMessageEntities&) const = default;

private:
    uint64_t m_clientId;
    uint64_t m_jobId;
};

class EvMessageContainer {
public:
    EvMessageContainer() { Clear(); }
    EvMessageContainer(const EvMessageContainer& other) { *this = other; }
    EvMessageContainer& operator=(const EvMessageContainer& other);
    ~EvMessageContainer() = default;

    void Clear();

    int GetMessageID() const { return m_messageId; }
    // Sets the id; clearArguments drops the arguments given so far.
    void SetMessageID(int id, bool clearArguments);
    ArgumentInfo& GetArguments() { return m_arguments; }
    const ArgumentInfo& GetArguments() const { return m_arguments; }

    // Appends a text argument; arguments are numbered %1, %2, ... in the order given.
    EvMessageContainer& operator<<(const char* text) {
        m_arguments << text;
        return *this;
    }

    // Severity of the message for the event log (0: the catalogue's own).
    int GetMessageFlags() const { return m_messageFlags; }
    void SetMessageFlags(int flags) { m_messageFlags = flags; }
    EvMessageEntities& GetEntities() { return m_entities; }
    const EvMessageEntities& GetEntities() const { return m_entities; }

private:
    ArgumentInfo m_arguments;
    int m_messageId = 0;  // 0: none
    int m_messageFlags = 0;
    EvMessageEntities m_entities;
};

// The container's message rendered in `locale` (falling back to English, with a logged warning when the
// locale is not known); at most 4,103 characters; empty when nothing could be rendered.
std::string getErrorMsgContainer(EvMessageContainer& container, unsigned long locale);
void getErrorMsgContainer(std::string& text, EvMessageContainer& container, unsigned long locale);
