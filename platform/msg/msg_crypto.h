// Small OpenSSL helpers shared by the message component's password cipher and message signer. Any thread.
#pragma once

#include <array>
#include <string>
#include <string_view>

using MsgDigest = std::array<unsigned char, 32>;

MsgDigest msgSha256(std::string_view data);
// False only when OpenSSL fails.
bool msgHmacSha256(std::string_view key, std::string_view data, MsgDigest& out);
std::string msgToHex(const unsigned char* data, size_t size);
bool msgFromHex(std::string_view hex, std::string& out);
// Constant-time equality of two byte strings of equal length (false when lengths differ).
bool msgSameBytes(std::string_view a, std::string_view b);
