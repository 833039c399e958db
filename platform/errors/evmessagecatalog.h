// The message catalogue (compiled in from evmessages.def) and the rendering of a message's numbered
// placeholders. Read-only after start-up: callable from any thread.
#pragma once

#include <cstddef>
#include <string>

#include "platform/errors/argumentinfo.h"

class EvMessageCatalog {
public:
    static constexpr unsigned long kEnglishUS = 0x0409;  // the locale used when none is set or known

    // The format of message `id` in `locale`, else in the locale's language, else in English; null
    // when the catalogue has no such message.
    static const char* findFormat(unsigned long id, unsigned long locale);
    // True when some message has a text in this locale or its language.
    static bool knowsLocale(unsigned long locale);

    // Replaces %1, %2, ... with the arguments (a missing argument renders empty) and %% with %.
    static std::string expand(const char* format, const ArgumentInfo& arguments);
    // Copies text into buffer as at most size - 1 bytes and a NUL, never splitting a UTF-8 character;
    // returns the bytes copied. Nothing is written when size is 0.
    static size_t copyTruncated(const std::string& text, char* buffer, size_t size);
};
