// zycrypto: the platform's one SHA-256, HMAC-SHA256, hex text, constant-time comparison and random
// bytes, over OpenSSL. The message signer and password cipher (msg), the token signer (security) and
// the demo world's key maker all use these. Pure functions; any thread.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

namespace zycrypto {

using Digest = std::array<unsigned char, 32>;

Digest sha256(std::string_view data);
// False only when OpenSSL fails.
bool hmacSha256(std::string_view key, std::string_view data, Digest& out);

// Lower-case hex, two digits per byte, most significant nibble first.
void appendHex(std::string& out, const void* data, size_t size);
std::string toHex(const void* data, size_t size);
inline std::string toHex(std::string_view bytes) {
    return toHex(bytes.data(), bytes.size());
}
// Either case; false (and `out` untouched) on an odd length or a non-hex character.
bool fromHex(std::string_view hex, std::string& out);

// Constant-time equality of two byte strings (false when their lengths differ).
bool sameBytes(std::string_view a, std::string_view b);

// Bytes from the operating system's generator; false when it cannot give them.
bool randomBytes(void* out, size_t size);

}  // namespace zycrypto
