#include "platform/crypto/zycrypto.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <climits>

namespace zycrypto {

Digest sha256(std::string_view data) {
    Digest out{};
    unsigned int len = 0;
    EVP_Digest(data.data(), data.size(), out.data(), &len, EVP_sha256(), nullptr);
    return out;
}

bool hmacSha256(std::string_view key, std::string_view data, Digest& out) {
    if (key.size() > INT_MAX) return false;
    unsigned int len = 0;
    return HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
                reinterpret_cast<const unsigned char*>(data.data()), data.size(), out.data(),
                &len) != nullptr &&
           len == out.size();
}

void appendHex(std::string& out, const void* data, size_t size) {
    static const char digits[] = "0123456789abcdef";
    const auto* bytes = static_cast<const unsigned char*>(data);
    size_t at = out.size();
    out.resize(at + size * 2);
    for (size_t n = 0; n < size; ++n) {
        out[at + 2 * n] = digits[bytes[n] >> 4];
        out[at + 2 * n + 1] = digits[bytes[n] & 15];
    }
}

std::string toHex(const void* data, size_t size) {
    std::string out;
    appendHex(out, data, size);
    return out;
}

bool fromHex(std::string_view hex, std::string& out) {
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    if (hex.size() % 2) return false;
    std::string bytes(hex.size() / 2, '\0');
    for (size_t n = 0; n < bytes.size(); ++n) {
        int hi = nibble(hex[2 * n]), lo = nibble(hex[2 * n + 1]);
        if (hi < 0 || lo < 0) return false;
        bytes[n] = static_cast<char>(hi << 4 | lo);
    }
    out = std::move(bytes);
    return true;
}

bool sameBytes(std::string_view a, std::string_view b) {
    return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

bool randomBytes(void* out, size_t size) {
    return size <= INT_MAX && RAND_bytes(static_cast<unsigned char*>(out), static_cast<int>(size)) == 1;
}

}  // namespace zycrypto
