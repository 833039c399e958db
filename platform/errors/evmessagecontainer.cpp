#include "platform/errors/evmessagecontainer.h"

#include "platform/errors/evevent.h"
#include "platform/log/evdebug.h"

EvMessageContainer& EvMessageContainer::operator=(const EvMessageContainer& other) {
    if (this == &other) return *this;
    Clear();
    m_messageId = other.m_messageId;
    m_messageFlags = other.m_messageFlags;
    m_arguments = other.m_arguments;
    m_entities = other.m_entities;
    return *this;
}

void EvMessageContainer::Clear() {
    m_arguments.Clear();
    m_messageId = 0;
    m_messageFlags = 0;
    m_entities.Clear();
}

void EvMessageContainer::SetMessageID(int id, bool clearArguments) {
    m_messageId = id;
    if (clearArguments) m_arguments.Clear();
}

std::string getErrorMsgContainer(EvMessageContainer& container, unsigned long locale) {
    EvEvent event;
    event.setLocaleId(locale);
    if (!event.getLocaleId(locale)) {
        EvDebug log(nullptr);
        log.setPrefixMessage("ErrorContainer");
        log.debugLvl(
            0, "WARNING: event.getLocaleId() failed to return LocalId. US_NO_LOCALE_ID_SET will be used.");
    }
    event << &container.GetArguments();
    char buffer[4104];
    buffer[0] = '\0';
    event.evPrintf(static_cast<unsigned long>(static_cast<unsigned int>(container.GetMessageID())), buffer,
                   sizeof(buffer), locale);
    return std::string(buffer);
}

void getErrorMsgContainer(std::string& text, EvMessageContainer& container, unsigned long locale) {
    text = getErrorMsgContainer(container, locale);
}
