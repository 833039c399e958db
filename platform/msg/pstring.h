// Password strings carried by messages. A pstring holds a secret in memory; the message layer writes
// it only enciphered and shows it only masked. Plain values: one thread at a time.
#pragma once

#include <string_view>

#include "platform/errors/bstring.h"

class pstring : public bstring {
public:
    pstring() = default;
    pstring(const bstring& value, int encryptType) : bstring(value), m_encryptType(encryptType) {}

    int encryptType() const { return m_encryptType; }
    // What logs show instead of the value.
    static constexpr std::string_view kMask = "********";

private:
    int m_encryptType = 1;
};
