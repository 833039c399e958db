// How password fields travel inside message XML: deterministically enciphered (AES-256-CTR under a
// synthetic IV, HMAC-SHA256 of the value) so the value never shows in clear in XML or logs and the same
// message always writes the same text. The key is the platform's own; this keeps secrets out of sight,
// it is not end-to-end secrecy. Any thread.
#pragma once

#include <string>
#include <string_view>

// Hex text of the enciphered value; empty on an OpenSSL failure.
std::string msgEncipherSecret(std::string_view plain);
// False when the text is not one msgEncipherSecret wrote (bad hex, too short, or tampered).
bool msgDecipherSecret(std::string_view hex, std::string& plain);
