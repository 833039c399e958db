// Password strings carried by messages. A pstring holds a secret in memory; the message layer writes
// it only enciphered and shows it only masked. Plain values: one thread at a time.
#pragma once

#include <string>
#include <string_view>

#include "platform/errors/bstring.h"

class pstring : public bstring {
public:
    pstring() = default;
    pstring(const bstring& value, int encryptType) : bstring(value), m_encryptType(encryptType) {}

    int encryptType() const { return m_encryptType; }
    // A value enciphered under a key this process does not hold, kept as the text it came as so that a
    // relay passes it on unchanged to a holder of the key; its text is that ciphertext, never the secret.
    static pstring sealedValue(const std::string& cipherText, int encryptType) {
        pstring p(bstring(cipherText), encryptType);
        p.m_sealed = true;
        return p;
    }
    bool sealed() const { return m_sealed; }
    // What logs show instead of the value.
    static constexpr std::string_view kMask = "********";

private:
    int m_encryptType = 1;
    bool m_sealed = false;
};
